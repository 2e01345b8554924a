// The read transaction.
//
// One request, one reply, retried: up to three send attempts, and up to nine
// further attempts for replies that do not belong to the request. The host's
// buffer is written only after a reply passed every check.
#include <cstdio>

#include "address/gtc_memory.h"
#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/context_port.h"
#include "link/frame.h"
#include "link/frame_layout.h"
#include "link/hex.h"
#include "link/modbus_codes.h"
#include "link/request_writer.h"
#include "transact/daily_restart.h"
#include "transact/transaction_run.h"
#include "transact/transactions.h"
#include "transact/value_codec.h"

namespace sarn {
namespace {

constexpr int kMaxReplyDataChars = 2 * kMaxDataBytes;
constexpr int kGtcSkipChars = kGtcLeadingInputs / 8 * 2;
constexpr int kReplyTailShown = 25;

bool IsSingleRead(const DriverRequest* pRequest) {
  return pRequest->iOpCode == SARN_OP_SINGLE_READ;
}

bool IsGtcBitBlock(const DriverContext* pContext, const GateTransfer* pTransfer) {
  return pContext->cProtocol == SARN_PROTOCOL_GTC && pTransfer->iMemType == SARN_MEM_COILS;
}

// Hexadecimal characters of a single gate's reply data, or -1.
int SingleDataChars(const GateTransfer* pTransfer) {
  switch (pTransfer->iBits) {
    case 1:
      return pTransfer->iBitNr == -1 ? 2 : 4;
    case 16:
      return 4;
    case 32:
      return 8;
    default:
      return -1;
  }
}

// Hexadecimal characters of a block's reply data, or -1; more than a reply
// can carry for blocks too large.
int BlockDataChars(const DriverContext* pContext, const GateTransfer* pTransfer) {
  const int64_t count = pTransfer->iCount;
  switch (pTransfer->iBits) {
    case 1:
      return static_cast<int>((count + 7) / 8 * 2 + (IsGtcBitBlock(pContext, pTransfer) ? kGtcSkipChars : 0));
    case 16:
      return static_cast<int>(count > kMaxReplyDataChars ? kMaxReplyDataChars + 1 : count * 4);
    case 32:
      return static_cast<int>(count > kMaxReplyDataChars ? kMaxReplyDataChars + 1 : count * 8);
    default:
      return -1;
  }
}

// Hexadecimal characters of reply data the decoder converts, or -1 when the
// value size is not one it knows.
int DataCharsNeeded(const DriverRequest* pRequest) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  return IsSingleRead(pRequest) ? SingleDataChars(pTransfer) : BlockDataChars(pRequest->pContext, pTransfer);
}

bool AllHex(const char* pszText, int nChars) {
  for (int i = 0; i < nChars; ++i)
    if (HexDigit(pszText[i]) < 0) return false;
  return true;
}

uint32_t HexAt(const char* pszText, int nDigits) {
  uint32_t value = 0;
  ParseHex(pszText, nDigits, &value);
  return value;
}

void LogUnterminatedReply(const char* pszReply, int iLenR) {
  SARN_LOG(kMsgReadNoTermination);
  if (iLenR < kReplyTailShown) {
    SARN_LOG(kMsgReadReplyShown, pszReply);
  } else {
    SARN_LOG(kMsgReadReplyTailShown, pszReply + iLenR - kReplyTailShown);
  }
}

// Data bytes a reply to a read of wQuantity values with iFunction carries: a
// bit each for functions 1 and 2 (packed, rounded up to whole bytes), two
// bytes a register for functions 3 and 4. Taken from the request as it goes
// out, so it holds for GTC requests too.
uint16_t ReplyByteCount(int iFunction, uint16_t wQuantity) {
  const uint32_t quantity = wQuantity;
  return static_cast<uint16_t>(iFunction <= static_cast<int>(kFnReadInputs) ? (quantity + 7) / 8 : 2 * quantity);
}

// Checks the data of a reply that passed the frame layer's checks: a reply
// that carries too few data characters for the gate, or characters that are
// no hexadecimal digits, is refused and retried; it is never decoded.
Fault CheckReadData(DriverRequest* pRequest, int iLenR, int iAttempt) {
  const char* pszReply = pRequest->pContext->rxBuf;
  const int iNeeded = DataCharsNeeded(pRequest);
  const int iDataLen = iLenR - kReplyDataPos - kFrameTrailerLen;
  if (iNeeded > iDataLen || (iNeeded > 0 && !AllHex(pszReply + kReplyDataPos, iNeeded))) {
    SARN_LOG(kMsgReadBadData, iAttempt);
    return Fault::kBadData;
  }
  return Fault::kNone;
}

// Judges a read's reply: one that passed the frame layer's checks has its
// data checked; for one that failed them, or did not come, logs what that
// means for the read (the frame layer has reported replies of another
// controller or function, and of no measurable length).
Fault JudgeReadReply(TransactionRun* pRun, Fault fault, int iAttempt) {
  switch (fault) {
    case Fault::kNone:
      return CheckReadData(pRun->pRequest, pRun->head.iLen, iAttempt);
    case Fault::kException:
      // Exception 1, 6, 7, 8 or another code: a refusal, tried again; a run
      // of them is logged once.
      if (!pRun->bExceptionNoted) SARN_LOG(kMsgReadException);
      pRun->bExceptionNoted = true;
      break;
    case Fault::kNoTermination:
      LogUnterminatedReply(pRun->pRequest->pContext->rxBuf, pRun->head.iLen);
      break;
    case Fault::kLrc:
      SARN_LOG(kMsgReadLrc, iAttempt);
      break;
    case Fault::kOtherByteCount:
      SARN_LOG(kMsgReadOtherByteCount, static_cast<int>(pRun->head.dwByteCount),
               static_cast<int>(pRun->expected.wByteCount));
      break;
    default:
      if (!IsOtherRequest(fault)) SARN_LOG(kMsgReadReplyError, iAttempt);
      break;
  }
  return fault;
}

// Whether the gate's fields can be put on the wire: fields no parser
// produced cannot.
bool ReadFieldsValid(const DriverRequest* pRequest) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (!KnownMemType(pTransfer->iMemType)) return false;
  if (pTransfer->iPlcAddr < 0 || pTransfer->iPlcAddr > 0xFF) return false;
  // A bit number beyond the register would be decoded as another bit; a
  // coil or an input has no register to take a bit from.
  if (pTransfer->iBitNr < -1 || pTransfer->iBitNr > 15) return false;
  if (IsSingleRead(pRequest) && IsBitType(pTransfer->iMemType) && pTransfer->iBitNr != -1) return false;
  // A block must ask for at least one value and for no more than one reply
  // can carry.
  return IsSingleRead(pRequest) || (pTransfer->iCount >= 1 && DataCharsNeeded(pRequest) <= kMaxReplyDataChars);
}

void DecodeSingle(const DriverContext* pContext, const GateTransfer* pTransfer, const char* pszData) {
  void* pData = pTransfer->pData;
  switch (pTransfer->iBits) {
    case 1:
      if (pTransfer->iBitNr == -1) {
        SetCellHalf(pData, static_cast<uint16_t>(HexAt(pszData, 2)));
      } else {
        const uint32_t reg = HexAt(pszData, 4);
        SetCellHalf(pData, static_cast<uint16_t>((reg >> (pTransfer->iBitNr & 15)) & 1u));
      }
      break;
    case 16:
      SetCellHalf(pData, static_cast<uint16_t>(HexAt(pszData, 4)));
      break;
    case 32:
      SetCellWord(pData, ApplyWordOrder(pContext, pTransfer->iMemType, HexAt(pszData, 8)));
      break;
  }
}

void DecodeBlock(const DriverContext* pContext, const GateTransfer* pTransfer, const char* pszData) {
  void* pData = pTransfer->pData;
  switch (pTransfer->iBits) {
    case 1: {
      const char* pszBytes = pszData + (IsGtcBitBlock(pContext, pTransfer) ? kGtcSkipChars : 0);
      const int nBytes = (pTransfer->iCount + 7) / 8;
      for (int k = 0; k < nBytes; ++k)
        static_cast<uint8_t*>(pData)[k] = static_cast<uint8_t>(HexAt(pszBytes + 2 * k, 2));
      break;
    }
    case 16:
      for (int k = 0; k < pTransfer->iCount; ++k)
        SetBlockHalf(pData, k, static_cast<uint16_t>(HexAt(pszData + 4 * k, 4)));
      break;
    case 32:
      for (int k = 0; k < pTransfer->iCount; ++k) {
        SetBlockWord(pData, k, ApplyWordOrder(pContext, pTransfer->iMemType, HexAt(pszData + 8 * k, 8)));
      }
      break;
  }
}

// The read on its held port: the daily restart, the request, its passes
// and the decoding of the reply that passed every check.
Fault DoRead(DriverRequest* pRequest, const PortHold* pPort) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (pTransfer->pData == nullptr) return Fault::kRefusedUnsent;
  if (pTransfer->iPlcAddr == static_cast<int32_t>(kBroadcastAddress)) {
    SARN_LOG(kMsgReadBroadcast, GateName(pTransfer));
    return Fault::kRefusedUnsent;
  }
  DriverContext* pContext = pRequest->pContext;
  DailyRestart(pContext, pPort);

  TransactionRun run{};
  run.pRequest = pRequest;
  run.pPort = pPort;
  Fault fault = BuildReadRequest(pRequest, pContext->txBuf, &run.request, &run.expected);
  if (fault == Fault::kNone) {
    fault = RunTransaction(&run, {JudgeReadReply, kMsgReadSendError, kMsgReadLen, kMsgReadPass, false});
  }
  if (fault == Fault::kNone) fault = DecodeReadReply(pRequest, pContext->rxBuf + kReplyDataPos);
  return fault;
}

ResultCode BlockReadOnPort(DriverRequest* pRequest, const PortHold* pPort) {
  if (!CommunicationEnabled(pRequest->pContext)) return SARN_REFUSED;
  const ResultCode rc = HostResult(DoRead(pRequest, pPort));
  if (rc != SARN_OK) {
    SARN_LOG(kMsgBlockReadResult, rc, GateName(static_cast<const GateTransfer*>(pRequest->pParam)));
  }
  return rc;
}

ResultCode SingleReadOnPort(DriverRequest* pRequest, const PortHold* pPort) {
  return HostResult(SingleReadFault(pRequest, pPort));
}

}  // namespace

Fault SingleReadFault(DriverRequest* pRequest, const PortHold* pPort) {
  const DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  // Refused unsent when the module's communication is off, and for GTC.
  Fault fault = Fault::kRefusedUnsent;
  if (CommunicationEnabled(pContext) && pContext->cProtocol == SARN_PROTOCOL_GTC) {
    SARN_LOG(kMsgSingleReadGtc);
  } else if (CommunicationEnabled(pContext)) {
    fault = DoRead(pRequest, pPort);
  }
  if (fault != Fault::kNone) SARN_LOG(kMsgSingleReadResult, HostResult(fault), GateName(pTransfer));
  return fault;
}

ResultCode SingleRead(DriverRequest* pRequest) {
  return OnContextPort(pRequest, SingleReadOnPort);
}

ResultCode BlockRead(DriverRequest* pRequest) {
  return OnContextPort(pRequest, BlockReadOnPort);
}

Fault BuildReadRequest(DriverRequest* pRequest, char* pszText, RequestWriter* pWriter, ExpectedReply* pExpected) {
  const DriverContext* pContext = pRequest->pContext;
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (!ReadFieldsValid(pRequest)) return Fault::kRefusedUnsent;

  uint16_t wAddress = WireAddress(pContext, pTransfer);
  const uint32_t uPerValue = IsPairDataType(pTransfer->iDataType) ? 2u : 1u;
  uint16_t wQuantity = static_cast<uint16_t>(static_cast<uint32_t>(pTransfer->iCount) * uPerValue);
  int iFunction = kReadFunction[pTransfer->iMemType];

  if (pContext->cProtocol == SARN_PROTOCOL_GTC) {
    if (pTransfer->iMemType == SARN_MEM_COILS) {
      // GTC bits are read from input 1 on; the decoder skips the first 160.
      iFunction = kFnReadInputs;
      wAddress = kGtcFirstInput;
      wQuantity = static_cast<uint16_t>(wQuantity + kGtcLeadingInputs);
    } else if (pTransfer->iMemType == SARN_MEM_INPUT_REGISTERS) {
      // Register areas are addressed by their number.
      wAddress = GtcAreaNumber(wAddress);
    }
  }

  *pWriter = StartRequest(pszText, static_cast<uint8_t>(pTransfer->iPlcAddr), static_cast<uint8_t>(iFunction));
  PutWord(pWriter, wAddress);
  PutWord(pWriter, wQuantity);
  if (pExpected != nullptr) {
    *pExpected = ExpectedReply{};
    pExpected->cController = static_cast<uint8_t>(pTransfer->iPlcAddr);
    pExpected->cFunction = static_cast<uint8_t>(iFunction);
    pExpected->wByteCount = ReplyByteCount(iFunction, wQuantity);
    pExpected->pszGate = GateName(pTransfer);
  }
  return Fault::kNone;
}

Fault DecodeReadReply(DriverRequest* pRequest, const char* pszData) {
  const auto* pTransfer = static_cast<const GateTransfer*>(pRequest->pParam);
  if (DataCharsNeeded(pRequest) < 0) return Fault::kBadData;
  if (IsSingleRead(pRequest)) {
    DecodeSingle(pRequest->pContext, pTransfer, pszData);
  } else {
    DecodeBlock(pRequest->pContext, pTransfer, pszData);
  }
  return Fault::kNone;
}

}  // namespace sarn
