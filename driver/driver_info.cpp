// GetSarnInfo: the driver's name, banner, context size and default line.
#include <cstddef>

#include "driver/lifecycle.h"

namespace sarn {
namespace {

// Installation banner in code page 437: a double-line box 67 columns wide.
// \xC9 top-left, \xCD horizontal, \xBB top-right, \xBA vertical,
// \xC8 bottom-left, \xBC bottom-right.
#define SARN_EDGE65                                                          \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD" \
  "\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD\xCD"
constexpr char kBanner[] =
    "\b\n"
    "\xC9" SARN_EDGE65
    "\xBB\n"
    "\xBA  ModBus/GTC (ASCII protocol) 32 Bit driver Installed.           \xBA\n"
    "\xC8" SARN_EDGE65 "\xBC";
#undef SARN_EDGE65
static_assert(sizeof kBanner - 1 == 205, "the banner is 205 characters");

constexpr char kDriverName[] = "Modicon Modbus ASCII";

}  // namespace

ResultCode GetSarnInfo(DriverRequest* pRequest) {
  auto* pInfo = static_cast<DriverInfo*>(pRequest->pParam);
  pInfo->iInfoId = 70;
  pInfo->pszDriverName = kDriverName;
  pInfo->pszBanner = kBanner;
  pInfo->iContextSize = SARN_CONTEXT_SIZE;
  pInfo->iInfoA = 4;
  pInfo->defaultLine.wBaud = 9600;
  pInfo->defaultLine.wDataBits = 7;
  pInfo->defaultLine.wStopBits = 2;
  pInfo->defaultLine.wParity = 2;
  pInfo->iInfoB = 3;
  return SARN_OK;
}

}  // namespace sarn
