// Block validation: checks a block gate's address text and length against
// the limits of the protocol and memory type.
#include <cstdint>
#include <cstring>

#include "address/gate_address.h"
#include "hostlog/host_log.h"

namespace sarn {
namespace {

// Largest Modbus block per memory type: the quantities of one read request.
constexpr int32_t kModbusMaxBits = 2000;
constexpr int32_t kModbusMaxRegisters = 125;
constexpr int32_t kModbusMaxPairs = 62;

// GTC limits.
constexpr int32_t kGtcMaxType0 = 312;
constexpr int32_t kGtcType0Start = 161;  // gate address 200
constexpr int32_t kGtcMaxType1 = 1000;
constexpr int32_t kGtcType1Start = 1;

// The three GTC areas of memory type 3 in one running numbering: 64, 42 and
// 64 values starting at 1, 65 and 107. The text names an area by its number.
constexpr int32_t kGtcAreaStart[3] = {1, 65, 107};
constexpr int32_t kGtcAreaLength[3] = {64, 42, 64};

ResultCode CheckModbusBlock(const GateSpec* pSpec) {
  switch (pSpec->iMemType) {
    case 0:
    case 1:
      if (pSpec->iCount <= kModbusMaxBits) return 0;
      err(kLogTrace, "SARNMD> BlockParse() block too large (max. 2000)");
      return 1;
    case 3:
    case 4:
      if (pSpec->iCount <= kModbusMaxRegisters) return 0;
      err(kLogTrace, "SARNMD> BlockParse() block too large (max. 125)");
      return 1;
    default:
      if (pSpec->iCount <= kModbusMaxPairs) return 0;
      err(kLogTrace, "SARNMD> BlockParse() block too large (max. 62)");
      return 1;
  }
}

ResultCode CheckGtcBlock(GateSpec* pSpec) {
  switch (pSpec->iMemType) {
    case 0:
      if (pSpec->iCount > kGtcMaxType0) {
        err(kLogTrace, "SARNMD> BlockParse() block too large (max. 312)");
        return 1;
      }
      if (pSpec->iCount % 8 != 0) {
        err(kLogTrace, "SARNMD> BlockParse() block length must be a multiple of 8");
        return 1;
      }
      if (pSpec->iAddress != kGtcType0Start) {
        err(kLogTrace, "SARNMD> BlockParse() Startaddress must be 200");
        return 1;
      }
      return 0;
    case 1:
      if (pSpec->iCount > kGtcMaxType1) {
        err(kLogTrace, "SARNMD> BlockParse() block too large (max. 1000)");
        return 1;
      }
      if (pSpec->iAddress != kGtcType1Start) {
        err(kLogTrace, "SARNMD> BlockParse() Startaddress must be 1");
        return 1;
      }
      return 0;
    case 3: {
      if (pSpec->iAddress < 1 || pSpec->iAddress > 3) {
        err(kLogTrace, "SARNMD> BlockParse() Wrong blockaddress or blocklength");
        return 1;
      }
      const int iArea = pSpec->iAddress - 1;
      pSpec->iAddress = kGtcAreaStart[iArea];
      if (pSpec->iCount == kGtcAreaLength[iArea]) return 0;
      if (kGtcAreaLength[iArea] == 42) {
        err(kLogTrace, "SARNMD> BlockParse() blocklength is not 42");
      } else {
        err(kLogTrace, "SARNMD> BlockParse() blocklength is not 64");
      }
      return 1;
    }
    default:
      return 1;  // refused by Parse already
  }
}

}  // namespace

ResultCode BlockAddressParser(DriverRequest* pRequest) {
  GateSpec* pSpec = static_cast<GateSpec*>(pRequest->pParam);
  if (pSpec->pszAddress == nullptr) return 1;

  // Blocks have no bit number: a non-blank eighth character refuses it.
  if (strnlen(pSpec->pszAddress, 8) == 8 && pSpec->pszAddress[7] != ' ') return 1;

  const int iResult = Parse(pRequest);
  if (iResult != 0) return iResult;

  switch (pRequest->pContext->cProtocol) {
    case 0:
      return CheckModbusBlock(pSpec);
    case 1:
      return CheckGtcBlock(pSpec);
    default:
      return 1;  // refused by Parse already
  }
}

}  // namespace sarn
