// The write transactions.
//
// Modbus writes use functions 5, 6, 15 and 16; a bit inside a register is
// written by reading the register, changing the bit and writing it back.
// GTC writes bits of memory type 0 through a set or reset mask.
#include <cstdio>
#include <cstring>

#include "address/gtc_memory.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/context_port.h"
#include "link/frame.h"
#include "link/frame_layout.h"
#include "link/hex.h"
#include "link/modbus_codes.h"
#include "link/request_writer.h"
#include "transact/transaction_run.h"
#include "transact/transactions.h"
#include "transact/value_codec.h"

namespace sarn {
namespace {

constexpr int kGateTextCopy = 16;  // room for a gate text and then some
// A bit gate's text: the register's seven characters, then the bit digit.
constexpr size_t kGateBitDigitPos = 7;

constexpr uint16_t kPairQuantity = 2;  // registers of one 32-bit value
constexpr uint8_t kPairBytes = 4;      // data bytes of one 32-bit value
constexpr int kMaskBitsPerByte = 8;

bool IsInputType(int32_t iMemType) {
  return iMemType == SARN_MEM_INPUTS || iMemType == SARN_MEM_INPUT_REGISTERS || iMemType == SARN_MEM_INPUT_FLOATS ||
         iMemType == SARN_MEM_INPUT_LONGS;
}

bool AddressFits(const GateTransfer* pTransfer) {
  return pTransfer->iPlcAddr >= 0 && pTransfer->iPlcAddr <= 0xFF;
}

// Reads the holding register a bit gate lives in, for a bit update. The
// read's own request record carries a copy of the gate text with the bit
// digit blanked; the copy is bounded whatever the host's text holds.
Fault ReadRegisterForBit(DriverRequest* pRequest, const PortHold* pPort, uint16_t* pwRegister) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  char szName[kGateTextCopy] = {};
  const char* pszSource = GateName(pTransfer);
  const size_t nLen = strnlen(pszSource, sizeof szName - 1);
  memcpy(szName, pszSource, nLen);
  if (nLen > kGateBitDigitPos) szName[kGateBitDigitPos] = ' ';

  uint8_t cell[4] = {};
  GateTransfer read{};
  read.pszName = szName;
  read.iPlcAddr = pTransfer->iPlcAddr;
  read.iMemType = SARN_MEM_HOLDING_REGISTERS;
  read.iAddress = pTransfer->iAddress;
  read.iBitNr = -1;
  read.iBits = 16;
  read.iDataType = SARN_TYPE_UINT16;
  read.iCount = 1;
  read.pData = cell;
  DriverRequest request{pRequest->pContext, SARN_OP_SINGLE_READ, 0, 0, &read};
  const Fault fault = SingleReadFault(&request, pPort);
  *pwRegister = CellHalf(cell);
  return fault;
}

// The echo a write of iFunction to wField asks for: the controller address,
// the function, the register or coil address and, for functions 5 and 6 the
// value, for 15 and 16 the quantity.
ExpectedReply EchoOf(const GateTransfer* pTransfer, uint32_t function, uint32_t field, uint32_t value) {
  ExpectedReply expected;
  expected.cController = static_cast<uint8_t>(pTransfer->iPlcAddr);
  expected.cFunction = static_cast<uint8_t>(function);
  expected.bEcho = true;
  expected.wEchoField = static_cast<uint16_t>(field);
  expected.wEchoValue = static_cast<uint16_t>(value);
  expected.pszGate = GateName(pTransfer);
  return expected;
}

Fault SingleWriteGtc(DriverRequest* pRequest, const PortHold* pPort) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pTransfer->iMemType != SARN_MEM_COILS) {
    SARN_LOG(kMsgSingleWriteGtcType);
    return Fault::kRefusedUnsent;
  }
  // The bit's state is the low byte of the cell's half (little-endian).
  const uint8_t set = static_cast<const uint8_t*>(pTransfer->pData)[kCellHalfPos];
  if (WriteGtcBits(pRequest, pPort, set) != Fault::kNone) {
    SARN_LOG(kMsgSingleWriteGtcBitFailed, GateName(pTransfer));
    return Fault::kMaskNotWritten;
  }
  return Fault::kNone;
}

// Whether the fields of a Modbus single write can be put on the wire. A
// memory type no parser produces would be written as a holding register,
// and a coil with a bit number would run the register bit update.
bool SingleWriteFieldsValid(const GateTransfer* pTransfer) {
  return KnownMemType(pTransfer->iMemType) && AddressFits(pTransfer) && pTransfer->iBitNr >= -1 &&
         pTransfer->iBitNr <= 15 && !(pTransfer->iMemType == SARN_MEM_COILS && pTransfer->iBitNr != -1);
}

// The value a bit gate's register takes: the register as read, with the
// gate's bit set or cleared; the failed read's fault, or
// Fault::kLineDoubtful when the line was not clean around the read.
Fault MergeBitIntoRegister(DriverRequest* pRequest, const PortHold* pPort, uint32_t* pValue) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  const uint16_t wMask = static_cast<uint16_t>(~(1u << pTransfer->iBitNr));
  const uint16_t wBits = static_cast<uint16_t>(*pValue << pTransfer->iBitNr);
  uint16_t wRegister = 0;
  // The read goes out on a quiet line; a stray frame around it may have
  // been taken for its answer, or come from a line out of step: the
  // register is then not written from it.
  QuietHeldPort(pPort, true);
  const uint32_t nStrays = HeldStrays(pPort);
  const Fault fault = ReadRegisterForBit(pRequest, pPort, &wRegister);
  if (fault != Fault::kNone) {
    SARN_LOG(kMsgSingleWriteBitReadFailed, HostResult(fault));
    return fault;
  }
  if (!HeldLineClean(pPort, nStrays)) {
    SARN_LOG(kMsgSingleWriteBitLineDoubtful, GateName(pTransfer));
    return Fault::kLineDoubtful;
  }
  *pValue = wBits != 0 ? (wRegister | wBits) : (wRegister & wMask);
  return Fault::kNone;
}

// Formats a Modbus single write: a 32-bit value with function 16 (two
// registers, four bytes), a coil with function 5, a register with function 6.
// Returns the request's writer; *pExpected its echo.
RequestWriter FormatSingleWrite(char* pszText, const GateTransfer* pTransfer, uint16_t wAddress, uint32_t value,
                                ExpectedReply* pExpected) {
  const uint8_t cPlc = static_cast<uint8_t>(pTransfer->iPlcAddr);
  if (pTransfer->iBits == 32) {
    *pExpected = EchoOf(pTransfer, kFnWriteRegisters, wAddress, kPairQuantity);
    RequestWriter request = StartRequest(pszText, cPlc, kFnWriteRegisters);
    PutWord(&request, wAddress);
    PutWord(&request, kPairQuantity);
    PutByte(&request, kPairBytes);
    PutLong(&request, value);
    return request;
  }
  const bool bCoil = pTransfer->iMemType == SARN_MEM_COILS;
  const uint8_t cFunction = bCoil ? kFnWriteCoil : kFnWriteRegister;
  const uint16_t wValue = bCoil ? (value != 0 ? kCoilOn : 0) : static_cast<uint16_t>(value & 0xFFFFu);
  *pExpected = EchoOf(pTransfer, cFunction, wAddress, wValue);
  RequestWriter request = StartRequest(pszText, cPlc, cFunction);
  PutWord(&request, wAddress);
  PutWord(&request, wValue);
  return request;
}

// Data bytes of a Modbus block write, or -1 for a value size no parser produces.
int64_t BlockDataBytes(const GateTransfer* pTransfer) {
  const int64_t count = pTransfer->iCount;
  switch (pTransfer->iBits) {
    case 1:
      return (count + 7) / 8;
    case 16:
      return 2 * count;
    case 32:
      return 4 * count;
    default:
      return -1;
  }
}

// Formats a Modbus block write of nBytes data bytes: bits with function 15,
// registers with function 16. Returns the request's writer.
RequestWriter FormatBlockWrite(char* pszText, const DriverContext* pContext, const GateTransfer* pTransfer, int nBytes,
                               ExpectedReply* pExpected) {
  const uint32_t function = pTransfer->iBits == 1 ? kFnWriteCoils : kFnWriteRegisters;
  const uint16_t wQuantity = static_cast<uint16_t>(pTransfer->iBits == 32 ? 2 * pTransfer->iCount : pTransfer->iCount);
  const uint16_t wAddress = WireAddress(pContext, pTransfer);
  *pExpected = EchoOf(pTransfer, function, wAddress, wQuantity);
  RequestWriter request =
      StartRequest(pszText, static_cast<uint8_t>(pTransfer->iPlcAddr), static_cast<uint8_t>(function));
  PutWord(&request, wAddress);
  PutWord(&request, wQuantity);
  PutByte(&request, static_cast<uint8_t>(nBytes));
  const void* pData = pTransfer->pData;
  switch (pTransfer->iBits) {
    case 1:
      for (int k = 0; k < nBytes; ++k) PutByte(&request, static_cast<const uint8_t*>(pData)[k]);
      break;
    case 16:
      for (int k = 0; k < pTransfer->iCount; ++k) PutWord(&request, BlockHalf(pData, k));
      break;
    case 32:
      for (int k = 0; k < pTransfer->iCount; ++k) {
        PutLong(&request, ApplyWordOrder(pContext, pTransfer->iMemType, BlockWord(pData, k)));
      }
      break;
  }
  return request;
}

// GTC block write: the reset mask of the bits that are off, then the set
// mask of those that are on.
// The reset and the set mask go out on one turn of the port: no other
// block's write comes between them.
ResultCode BlockWriteGtc(DriverRequest* pRequest, const PortHold* pPort) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pTransfer->iMemType != SARN_MEM_COILS) {
    SARN_LOG(kMsgBlockWriteGtcType);
    return SARN_REFUSED;
  }
  Fault fault = pTransfer->pData == nullptr ? Fault::kRefusedUnsent : WriteGtcBits(pRequest, pPort, 0);
  if (fault == Fault::kNone) fault = WriteGtcBits(pRequest, pPort, 1);
  if (fault != Fault::kNone) {
    SARN_LOG(kMsgBlockWriteGtcBitFailed, GateName(pTransfer));
    return HostResult(Fault::kMaskNotWritten);
  }
  return SARN_OK;
}

// The mask byte that holds a single GTC bit (the last of its mask; the bytes
// before it are clear).
uint8_t GtcBitMaskByte(int32_t iAddress) {
  return static_cast<uint8_t>(1u << ((iAddress - kGtcFirstVariableBit) % kMaskBitsPerByte));
}

// Judges a write's echo: for one that failed the frame layer's checks, or
// did not come, logs what that means for the write (the frame layer has
// reported replies of another controller or function, and exceptions).
Fault JudgeWriteEcho(TransactionRun* pRun, Fault fault, int iAttempt) {
  switch (fault) {
    case Fault::kNone:
      break;
    case Fault::kLrc:
      SARN_LOG(kMsgWriteLrc, iAttempt);
      break;
    case Fault::kOtherEcho:
      // Handled like a reply from another controller.
      SARN_LOG(kMsgWriteOtherEcho, pRun->head.dwEchoField, pRun->head.dwEchoValue);
      break;
    case Fault::kException:
      // Retried like a reply to another request.
      break;
    default:
      if (!IsOtherRequest(fault)) SARN_LOG(kMsgWriteReplyError, iAttempt);
      break;
  }
  return fault;
}

// A Modbus single write, its bit update included: the register read of a
// bit update and its write hold the port together, so that no other block's
// write to that register comes between them.
Fault SingleWriteModbus(DriverRequest* pRequest, const PortHold* pPort) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  uint32_t value = pTransfer->iBits == 32 ? ApplyWordOrder(pContext, pTransfer->iMemType, CellWord(pTransfer->pData))
                                          : CellHalf(pTransfer->pData);
  if (pTransfer->iBitNr != -1) {
    const Fault fault = MergeBitIntoRegister(pRequest, pPort, &value);
    if (fault != Fault::kNone) return fault;
  }

  ExpectedReply echo;
  const RequestWriter request =
      FormatSingleWrite(pContext->txBuf, pTransfer, WireAddress(pContext, pTransfer), value, &echo);
  const Fault fault = WriteOnPort(pRequest, pPort, request, echo);
  if (fault != Fault::kNone) SARN_LOG(kMsgSingleWriteResult, HostResult(fault), GateName(pTransfer));
  return fault;
}

ResultCode SingleWriteOnPort(DriverRequest* pRequest, const PortHold* pPort) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (!CommunicationEnabled(pContext)) return SARN_REFUSED;
  if (pTransfer->pData == nullptr) return SARN_REFUSED;
  if (IsInputType(pTransfer->iMemType)) {
    SARN_LOG(kMsgSingleWriteInputType);
    return SARN_REFUSED;
  }
  if (pContext->cProtocol == SARN_PROTOCOL_GTC) return HostResult(SingleWriteGtc(pRequest, pPort));
  if (!SingleWriteFieldsValid(pTransfer)) return SARN_REFUSED;
  return HostResult(SingleWriteModbus(pRequest, pPort));
}

ResultCode BlockWriteOnPort(DriverRequest* pRequest, const PortHold* pPort) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pContext->cProtocol == SARN_PROTOCOL_GTC) return BlockWriteGtc(pRequest, pPort);
  // The function follows the value size alone: a block of inputs or input
  // registers would land in the coils or holding registers of the same
  // addresses, a write the host never asked for.
  if (IsInputType(pTransfer->iMemType)) {
    SARN_LOG(kMsgBlockWriteInputType);
    return SARN_REFUSED;
  }

  const int64_t nBytes = BlockDataBytes(pTransfer);
  if (nBytes < 0) return SARN_REFUSED;
  // The byte count field has two hex digits, and the frame must fit txBuf:
  // a block of no values or of more than 255 bytes is refused unsent, as is
  // a memory type no parser produces.
  if (pTransfer->iCount < 1 || nBytes > kMaxDataBytes || pTransfer->pData == nullptr || !AddressFits(pTransfer) ||
      !KnownMemType(pTransfer->iMemType)) {
    SARN_LOG(kMsgBlockWriteResult, 1u, GateName(pTransfer));
    return SARN_REFUSED;
  }
  ExpectedReply echo;
  const RequestWriter request = FormatBlockWrite(pContext->txBuf, pContext, pTransfer, static_cast<int>(nBytes), &echo);
  const ResultCode rc = HostResult(WriteOnPort(pRequest, pPort, request, echo));
  if (rc != SARN_OK) SARN_LOG(kMsgBlockWriteResult, rc, GateName(pTransfer));
  return rc;
}

}  // namespace

ResultCode SingleWrite(DriverRequest* pRequest) {
  return OnContextPort(pRequest, SingleWriteOnPort);
}

ResultCode BlockWrite(DriverRequest* pRequest) {
  return OnContextPort(pRequest, BlockWriteOnPort);
}

Fault WriteGtcBits(DriverRequest* pRequest, const PortHold* pPort, unsigned char set) {
  DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (set != 0 && set != 1) return Fault::kRefusedUnsent;

  const bool bSingle = pTransfer->iCount == 1;
  // A single bit's mask reaches up to and including the byte holding it.
  // In 16-bit arithmetic, done unsigned so that no address can overflow.
  const uint16_t wSpan = static_cast<uint16_t>(static_cast<uint32_t>(pTransfer->iAddress) -
                                               static_cast<uint32_t>(kGtcFirstVariableBit - kMaskBitsPerByte));
  const int c =
      bSingle ? static_cast<int16_t>(static_cast<int16_t>(wSpan) & ~(kMaskBitsPerByte - 1)) : pTransfer->iCount;
  const int n = c / kMaskBitsPerByte;
  // Settable bits start at 161; a mask of no byte or of more than a byte
  // count can say cannot be formed.
  if (n < 1 || n > kMaxDataBytes || !AddressFits(pTransfer) ||
      (bSingle && pTransfer->iAddress < kGtcFirstVariableBit)) {
    return Fault::kRefusedUnsent;
  }

  char* pszText = pContext->txBuf;
  const uint16_t wMaskAddress = set == 1 ? kGtcSetMaskAddress : kGtcResetMaskAddress;
  RequestWriter request = StartRequest(pszText, static_cast<uint8_t>(pTransfer->iPlcAddr), kFnWriteCoils);
  PutWord(&request, wMaskAddress);
  PutWord(&request, static_cast<uint16_t>(c));
  PutByte(&request, static_cast<uint8_t>(n));
  const auto* pBytes = static_cast<const uint8_t*>(pTransfer->pData);
  for (int j = 0; j < n; ++j) {
    if (bSingle) {
      PutByte(&request, j == n - 1 ? GtcBitMaskByte(pTransfer->iAddress) : 0);
    } else {
      PutByte(&request, set == 1 ? pBytes[j] : static_cast<uint8_t>(~pBytes[j]));
    }
  }
  const ExpectedReply echo = EchoOf(pTransfer, kFnWriteCoils, wMaskAddress, static_cast<unsigned>(c));
  return WriteOnPort(pRequest, pPort, request, echo);
}

Fault WriteOnPort(DriverRequest* pRequest, const PortHold* pPort, const RequestWriter& request,
                  const ExpectedReply& expected) {
  DriverContext* pContext = pRequest->pContext;
  pContext->bWriting = 1;
  TransactionRun run{};
  run.pRequest = pRequest;
  run.pPort = pPort;
  run.request = request;
  run.expected = expected;
  const Fault fault =
      expected.cController == kBroadcastAddress
          ? RunBroadcast(&run)
          : RunTransaction(&run, {JudgeWriteEcho, kMsgWriteSendError, kMsgWriteLen, kMsgWritePass, true});
  pContext->bWriting = 0;
  return fault;
}

}  // namespace sarn
