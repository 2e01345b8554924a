// Initialization files through ColdStart (called through SarnMain) with
// communication disabled.
//
// Input: byte 0 selects the driver number and which of the names the file
// gets (SARNMD05.INT, SARNMD5.INT, SARNMD.INT, SARNMD12.INT); the rest is
// the file. It is written into a scratch directory, which is the working
// directory while the driver runs.
#include <unistd.h>

#include <cstring>
#include <string>

#include "driver/stop_flag.h"
#include "fuzz_check.h"
#include "sarnmd.h"

namespace {

struct NameChoice {
  const char* pszFile;
  int32_t iDriverNr;
};
constexpr NameChoice kNames[] = {{"SARNMD05.INT", 5}, {"SARNMD5.INT", 5}, {"SARNMD.INT", 5}, {"SARNMD12.INT", 12}};

constexpr const char* kFiles[] = {"SARNMD05.INT", "SARNMD5.INT", "SARNMD.INT", "SARNMD12.INT", nullptr};

const char* g_pszDir = nullptr;

void RemoveFiles() {
  for (const NameChoice& n : kNames) unlink(n.pszFile);
}

// Whether some line of the file, after leading blanks when bBlanks, begins
// with pszKey, letters compared without regard to case. Lines are cut in
// pieces of 255 characters as the reader cuts them; a piece that continues a
// line counts as a line of its own.
bool SomeLineBegins(const uint8_t* pData, size_t nSize, const char* pszKey, bool bBlanks) {
  size_t i = 0;
  while (i < nSize) {
    size_t nStart = i;
    size_t nEnd = i;
    while (nEnd < nSize && nEnd - nStart < 255 && pData[nEnd] != '\n') ++nEnd;
    size_t p = nStart;
    if (bBlanks) {
      while (p < nEnd && pData[p] == ' ') ++p;
    }
    size_t k = 0;
    while (pszKey[k] != '\0' && p + k < nEnd && (pData[p + k] & ~0x20) == pszKey[k]) ++k;
    if (pszKey[k] == '\0') return true;
    i = nEnd < nSize && pData[nEnd] == '\n' ? nEnd + 1 : nEnd;
    if (nEnd == nStart && i == nStart) ++i;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_pszDir = fuzzcheck::ScratchDir(kFiles);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  fuzzcheck::Reader in(pData, nSize);
  const NameChoice& name = kNames[in.Byte() % 4];
  const uint8_t* pFile = in.Here();
  const size_t nFile = in.Left();

  fuzzcheck::InDir scratch(g_pszDir);
  RemoveFiles();
  FILE* pOut = fopen(name.pszFile, "wb");
  FUZZ_CHECK(pOut != nullptr);
  FUZZ_CHECK(fwrite(pFile, 1, nFile, pOut) == nFile);
  fclose(pOut);

  sarn::bStopped = 0;
  DriverContext ctx{};
  memset(ctx.txBuf, 'T', sizeof ctx.txBuf);
  ColdStartParams params{};
  memcpy(params.szPort, "COM1", 5);
  params.bEnable = 0;
  params.iTimeout = 100;
  DriverRequest request{&ctx, SARN_OP_COLD_START, name.iDriverNr, 0, &params};
  const long nLinesBefore = fuzzcheck::g_nLogLines;
  FUZZ_CHECK(SarnMain(&request) == 0);

  // The version line, the file line and the settings are always logged.
  FUZZ_CHECK(fuzzcheck::g_nLogLines - nLinesBefore >= 4);
  FUZZ_CHECK(ctx.bComOpen == 0);
  FUZZ_CHECK(ctx.hCom == 0);
  FUZZ_CHECK(ctx.iTimeout == 100);
  FUZZ_CHECK(ctx.bWriting == 0);
  FUZZ_CHECK(ctx.cProtocol == SARN_PROTOCOL_MODBUS || ctx.cProtocol == SARN_PROTOCOL_GTC);
  FUZZ_CHECK(ctx.cBase == 'D' || ctx.cBase == 'H');
  FUZZ_CHECK((ctx.wFlags & ~(SARN_FLAG_SWAP | SARN_FLAG_FLOATSWAP | SARN_FLAG_LONGADDR)) == 0);
  FUZZ_CHECK(ctx.cRtsCts == 0 || ctx.cRtsCts == 1);
  FUZZ_CHECK(ctx.port.szName[0] == '\0');
  for (char c : ctx.txBuf) FUZZ_CHECK(c == 'T');
  // Settings whose key appears on no line keep their defaults.
  if (!SomeLineBegins(pFile, nFile, "BUS", true)) FUZZ_CHECK(ctx.cProtocol == SARN_PROTOCOL_MODBUS && ctx.cBase == 'D');
  if (!SomeLineBegins(pFile, nFile, "IFG", false)) FUZZ_CHECK(ctx.iIfg == 0);
  if (!SomeLineBegins(pFile, nFile, "RTSCTS", false)) FUZZ_CHECK(ctx.cRtsCts == 0);
  if (!SomeLineBegins(pFile, nFile, "SWAP", false)) FUZZ_CHECK((ctx.wFlags & SARN_FLAG_SWAP) == 0);
  if (!SomeLineBegins(pFile, nFile, "LONGADDR", false)) FUZZ_CHECK((ctx.wFlags & SARN_FLAG_LONGADDR) == 0);
  return 0;
}
