// Block validation: checks a block gate's address text and length against
// the limits of the protocol and memory type.
#include <cstdint>
#include <cstring>

#include "address/gate_address.h"
#include "address/gtc_memory.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"

namespace sarn {
namespace {

// Largest Modbus block per memory type: the quantities of one read request.
constexpr int32_t kModbusMaxBits = 2000;
constexpr int32_t kModbusMaxRegisters = 125;
constexpr int32_t kModbusMaxPairs = 62;

// GTC limits.
constexpr int32_t kGtcMaxType0 = 312;
constexpr int32_t kGtcMaxType1 = 1000;

ResultCode CheckModbusBlock(const GateSpec* pSpec) {
  switch (pSpec->iMemType) {
    case SARN_MEM_COILS:
    case SARN_MEM_INPUTS:
      if (pSpec->iCount <= kModbusMaxBits) return SARN_OK;
      SARN_LOG(kMsgBlockTooLarge2000);
      return SARN_REFUSED;
    case SARN_MEM_INPUT_REGISTERS:
    case SARN_MEM_HOLDING_REGISTERS:
      if (pSpec->iCount <= kModbusMaxRegisters) return SARN_OK;
      SARN_LOG(kMsgBlockTooLarge125);
      return SARN_REFUSED;
    default:
      if (pSpec->iCount <= kModbusMaxPairs) return SARN_OK;
      SARN_LOG(kMsgBlockTooLarge62);
      return SARN_REFUSED;
  }
}

ResultCode CheckGtcBlock(GateSpec* pSpec) {
  switch (pSpec->iMemType) {
    case SARN_MEM_COILS:
      if (pSpec->iCount > kGtcMaxType0) {
        SARN_LOG(kMsgBlockTooLarge312);
        return SARN_REFUSED;
      }
      if (pSpec->iCount % 8 != 0) {
        SARN_LOG(kMsgBlockLengthNotByteMultiple);
        return SARN_REFUSED;
      }
      if (pSpec->iAddress != kGtcFirstVariableBit) {
        SARN_LOG(kMsgBlockStartMustBe200);
        return SARN_REFUSED;
      }
      return SARN_OK;
    case SARN_MEM_INPUTS:
      if (pSpec->iCount > kGtcMaxType1) {
        SARN_LOG(kMsgBlockTooLarge1000);
        return SARN_REFUSED;
      }
      if (pSpec->iAddress != kGtcInputsStart) {
        SARN_LOG(kMsgBlockStartMustBe1);
        return SARN_REFUSED;
      }
      return SARN_OK;
    case SARN_MEM_INPUT_REGISTERS: {
      if (pSpec->iAddress < 1 || pSpec->iAddress > kGtcAreaCount) {
        SARN_LOG(kMsgBlockWrongAddressOrLength);
        return SARN_REFUSED;
      }
      const int iArea = pSpec->iAddress - 1;
      pSpec->iAddress = kGtcAreaStart[iArea];
      if (pSpec->iCount == kGtcAreaLength[iArea]) return SARN_OK;
      if (kGtcAreaLength[iArea] == kGtcAreaLength[1]) {
        SARN_LOG(kMsgBlockLengthNot42);
      } else {
        SARN_LOG(kMsgBlockLengthNot64);
      }
      return SARN_REFUSED;
    }
    default:
      return SARN_REFUSED;  // refused by Parse already
  }
}

}  // namespace

ResultCode BlockAddressParser(DriverRequest* pRequest) {
  GateSpec* pSpec = static_cast<GateSpec*>(pRequest->pParam);
  if (pSpec->pszAddress == nullptr) return SARN_REFUSED;

  // Blocks have no bit number: a non-blank eighth character refuses it.
  if (strnlen(pSpec->pszAddress, 8) == 8 && pSpec->pszAddress[7] != ' ') return SARN_REFUSED;

  const int iResult = Parse(pRequest);
  if (iResult != SARN_OK) return iResult;

  switch (pRequest->pContext->cProtocol) {
    case SARN_PROTOCOL_MODBUS:
      return CheckModbusBlock(pSpec);
    case SARN_PROTOCOL_GTC:
      return CheckGtcBlock(pSpec);
    default:
      return SARN_REFUSED;  // refused by Parse already
  }
}

}  // namespace sarn
