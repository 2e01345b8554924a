// Modbus ASCII frames: the LRC, sending a request, receiving its reply.
//
// A request is ':' + hexadecimal body + LRC + CR LF. A reply is read in two
// or three pieces whose lengths follow from its head (five characters), its
// function code and, for read replies, its byte count, so the reply is never
// read character by character and never beyond what the head announced.
// The device is reached through the port layer only.
#include "link/frame.h"

#include <cstdio>
#include <cstring>

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/frame_layout.h"
#include "link/hex.h"
#include "link/modbus_codes.h"
#include "link/port.h"
#include "sarn_line_time.h"

namespace sarn {
namespace {

// Added to twice the frame's line time for the transmit-queue wait.
constexpr uint32_t kTransmitWaitMarginMs = 1000;
// Frames that were no answer let go by while one reply is awaited; a line
// that sends more is answered as one that sent no reply.
constexpr int kMaxFramesDiscarded = 4;

// What each exception code means: the message logged for it, and how the
// transaction takes it. Each message is the format itself, as every constant
// message is, so a host that keys on the format sees the text.
struct ExceptionMeaning {
  uint32_t code;
  const LogMessage& message;
  Fault fault;
};
const ExceptionMeaning kExceptionMeanings[] = {
    {kExIllegalFunction, kMsgExIllegalFunction, Fault::kException},
    {kExIllegalAddress, kMsgExIllegalAddress, Fault::kExceptionRefused},
    {kExIllegalValue, kMsgExIllegalValue, Fault::kExceptionRefused},
    {kExDeviceFailure, kMsgExDeviceFailure, Fault::kExceptionDeviceFailure},
    {kExAcknowledge, kMsgExAcknowledge, Fault::kExceptionRefused},
    {kExBusy, kMsgExBusy, Fault::kException},
    {kExNegativeAck, kMsgExNegativeAck, Fault::kException},
    {kExMemoryParity, kMsgExMemoryParity, Fault::kException},
};

// Logs what an exception code means and returns how the transaction takes it.
Fault ReportException(uint32_t code) {
  for (const ExceptionMeaning& meaning : kExceptionMeanings) {
    if (meaning.code != code) continue;
    SARN_LOG(meaning.message);
    return meaning.fault;
  }
  SARN_LOG(kMsgExUnknown);
  return Fault::kException;
}

// Upper bound for the transmit-queue wait while RTS is raised: twice the
// time the frame needs on the line at the configured rate, plus a second.
// A device that never reports its queue empty cannot hold RTS up forever.
uint32_t TransmitWaitLimitMs(const DriverContext* pContext, int iBytes) {
  return static_cast<uint32_t>(TwiceLineTimeMs(pContext->port.line.wBaud, static_cast<uint32_t>(iBytes))) +
         kTransmitWaitMarginMs;
}

// Logs a failed RTS switch or queue query, followed by what the system said
// of it where it said something: the first line names the operation as on
// every platform, the second tells a Linux user which ioctl failed and why.
void LogPortFailure(const PortHold* pPort, const LogMessage& message) {
  char szDetail[kFailureTextSize];
  const size_t length = HeldDescribeFailure(pPort, szDetail, sizeof szDetail);
  SARN_LOG(message);
  if (length != 0) SARN_LOG(kMsgSendSystemSays, szDetail);
}

// Waits until the output queue is empty (polled every millisecond), then
// lowers RTS.
void LowerRtsWhenSent(const DriverContext* pContext, const PortHold* pPort, int iBytes) {
  const uint32_t limit = TransmitWaitLimitMs(pContext, iBytes);
  for (uint32_t waited = 0; waited < limit; ++waited) {
    uint32_t dwPending = 0;
    if (HeldOutputQueue(pPort, &dwPending) != kPortOk) {
      LogPortFailure(pPort, kMsgSendQueueFailed);
      break;
    }
    PortPause(1);
    if (dwPending == 0) break;
  }
  if (HeldSetRts(pPort, false) != kPortOk) LogPortFailure(pPort, kMsgSendRtsFailed);
}

// Reads back the iBytes of the request just sent, which a line that hears
// its own transmission (a two-wire RS-485 adapter) delivers before any reply,
// into pScratch. True when they came within the reply time-out, unchanged.
bool OwnEchoHeard(const PortHold* pPort, const char* pszSent, int iBytes, char* pScratch) {
  uint32_t dwGot = 0;
  const PortResult rc = HeldReadEcho(pPort, pScratch, static_cast<uint16_t>(iBytes), &dwGot);
  if (rc != kPortOk || static_cast<int>(dwGot) != iBytes) {
    SARN_LOG(kMsgSendEchoMissing, static_cast<int>(dwGot));
    return false;
  }
  if (memcmp(pScratch, pszSent, static_cast<size_t>(iBytes)) != 0) {
    SARN_LOG(kMsgSendEchoDiffers);
    return false;
  }
  return true;
}

// What a request owes: a request to controller 0 goes to every controller
// and none answers it; a frame equal to a read request can only be that
// request's echo (on an adapter that echoes without ECHO = YES), never an
// answer.
SentKind KindOfRequest(const char* pszText) {
  uint32_t controller = 0;
  uint32_t function = 0;
  if (GetHexField(pszText, kFrameAddressPos, 2, &controller) && controller == kBroadcastAddress) {
    return SentKind::kBroadcast;
  }
  const bool bRead = GetHexField(pszText, kFrameFunctionPos, 2, &function) && function >= kFnReadCoils &&
                     function <= kFnReadInputRegisters;
  return bRead ? SentKind::kRead : SentKind::kWrite;
}

Fault SendFailed() {
  SARN_LOG(kMsgSendFailed);
  return Fault::kNotSent;
}

// Reads the head of a reply (':', address, function code) and checks its
// start and controller address.
Fault ReceiveHead(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead) {
  uint32_t dwGot = 0;
  if (HeldRead(pPort, pBuf, kFrameHeadLen, &dwGot) != kPortOk) {
    SARN_LOG(kMsgReceiveTimeout, static_cast<int>(dwGot));
    return Fault::kNoReply;
  }
  if (dwGot != kFrameHeadLen || pBuf[0] != ':') {
    SARN_LOG(kMsgReceiveNoFrameStart);
    return Fault::kNoFrameStart;
  }
  // Characters that are no hexadecimal address cannot be ours either.
  if (!GetHexField(pBuf, kFrameAddressPos, 2, &pHead->dwController) || pHead->dwController != pExpected->cController) {
    SARN_LOG(kMsgReceiveOtherController, pHead->dwController);
    return Fault::kOtherController;
  }
  return Fault::kNone;
}

// Reads the rest of an exception reply after its head and reports its code.
Fault ReceiveException(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead) {
  if (pHead->dwFunction != (pExpected->cFunction | kExceptionFlag)) {
    SARN_LOG(kMsgReceiveExceptionOfOtherFunction);
  }
  uint32_t dwGot = 0;
  if (HeldRead(pPort, pBuf + kFrameHeadLen, kExceptionTailLen, &dwGot) != kPortOk) {
    SARN_LOG(kMsgReceiveExceptionTimeout, static_cast<int>(dwGot));
    return Fault::kBrokenOff;
  }
  if (dwGot != kExceptionTailLen) {
    SARN_LOG(kMsgReceiveExceptionShort, static_cast<int>(dwGot));
    return Fault::kCutShort;
  }
  pHead->iLen += kExceptionTailLen;
  // A code that is no number is reported as an unknown one.
  if (!GetHexField(pBuf, kExceptionCodePos, 2, &pHead->dwExceptionCode)) pHead->dwExceptionCode = 0;
  return ReportException(pHead->dwExceptionCode);
}

// Reads a read reply's byte count (two characters) after its head; *piToRead
// becomes the number of characters that follow it: data, LRC, CR, LF.
Fault ReceiveByteCount(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead,
                       int* piToRead) {
  char* pCount = pBuf + kReplyByteCountPos;
  uint32_t dwGot = 0;
  if (HeldRead(pPort, pCount, kByteCountLen, &dwGot) != kPortOk) {
    SARN_LOG(kMsgReceiveCountTimeout, static_cast<int>(dwGot));
    return Fault::kBrokenOff;
  }
  char szCount[kByteCountLen + 1] = {pCount[0], pCount[1], '\0'};
  const bool bHex = GetHexField(pBuf, kReplyByteCountPos, kByteCountLen, &pHead->dwByteCount);
  if (dwGot != kByteCountLen) {
    SARN_LOG(kMsgReceiveCountBad, static_cast<int>(dwGot));
    return Fault::kBrokenOff;
  }
  if (!bHex) {
    // A byte count that is no number: the reply cannot be measured, so it
    // is treated as one that does not belong to the request.
    SARN_LOG(kMsgReceiveCountBad, static_cast<int>(dwGot));
    return Fault::kUnmeasurable;
  }
  if (pHead->dwByteCount == 0) {
    SARN_LOG(kMsgReceiveNoData, pExpected->pszGate, szCount);
    return Fault::kNoData;
  }
  pHead->iLen += kByteCountLen;
  *piToRead = 2 * static_cast<int>(pHead->dwByteCount) + kFrameTrailerLen;
  return Fault::kNone;
}

// Reads the last iToRead characters of a reply, after the pHead->iLen read.
Fault ReceiveRest(const PortHold* pPort, char* pBuf, int iToRead, ReplyHead* pHead) {
  // At most 255 data bytes: 5 + 2 + 514 characters fit the 600 of rxBuf.
  uint32_t dwGot = 0;
  if (HeldRead(pPort, pBuf + pHead->iLen, static_cast<uint16_t>(iToRead), &dwGot) != kPortOk) {
    SARN_LOG(kMsgReceiveRestTimeout, static_cast<int>(dwGot));
    return Fault::kBrokenOff;
  }
  pHead->iLen += static_cast<int>(dwGot);
  if (static_cast<int>(dwGot) != iToRead) {
    SARN_LOG(kMsgReceiveRestShort, iToRead, static_cast<int>(dwGot));
    return Fault::kCutShort;
  }
  pBuf[pHead->iLen] = '\0';
  return Fault::kNone;
}

// A read reply read whole: its CR LF, its LRC, and the byte count its
// request implies. Replies carry no transaction number: an intact reply of
// another length is the late answer to an earlier request (or another
// master's), not to this one.
Fault CheckReadReply(const ExpectedReply* pExpected, const char* pszReply, const ReplyHead* pHead) {
  const int iLen = pHead->iLen;
  if (pszReply[iLen - 2] != '\r' || pszReply[iLen - 1] != '\n') return Fault::kNoTermination;
  if (!ReplyLrcMatches(pszReply, iLen)) return Fault::kLrc;
  if (pHead->dwByteCount != pExpected->wByteCount) return Fault::kOtherByteCount;
  return Fault::kNone;
}

// A write echo read whole: its LRC, then the register or coil address and
// the value or quantity it repeats, compared as numbers (lower-case digits
// are the same echo). An echo that differs answers another request: taking
// it would report a write that never happened.
Fault CheckEcho(const ExpectedReply* pExpected, const char* pszEcho, ReplyHead* pHead) {
  if (!ReplyLrcMatches(pszEcho, pHead->iLen)) return Fault::kLrc;
  const bool bNumbers = GetHexField(pszEcho, kFrameFieldPos, 4, &pHead->dwEchoField) &&
                        GetHexField(pszEcho, kFrameValuePos, 4, &pHead->dwEchoValue);
  if (bNumbers && pHead->dwEchoField == pExpected->wEchoField && pHead->dwEchoValue == pExpected->wEchoValue) {
    return Fault::kNone;
  }
  return Fault::kOtherEcho;
}

}  // namespace

uint8_t CalcLrc(const char* pszText, uint16_t sCount) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < sCount; i += 2) {
    // A pair is one byte; a pair that is not hexadecimal adds what its
    // leading digits say (none: nothing), which then fails the comparison.
    uint32_t value = 0;
    if (!ParseHex(pszText + i, 2, &value)) {
      const int high = HexDigit(pszText[i]);
      value = high < 0 ? 0 : static_cast<uint32_t>(high);
    }
    sum = static_cast<uint8_t>(sum + value);
  }
  return static_cast<uint8_t>(-sum);
}

bool ReplyLrcMatches(const char* pszReply, int iLen) {
  uint32_t received = 0;
  // The body runs from after the ':' to the LRC.
  const int iBodyLen = iLen - 1 - kFrameTrailerLen;
  if (iBodyLen < 0 || !ParseHex(pszReply + iLen - kFrameTrailerLen, 2, &received)) return false;
  return received == CalcLrc(pszReply + 1, static_cast<uint16_t>(iBodyLen));
}

Fault Send(DriverContext* pContext, const PortHold* pPort, const RequestWriter& request) {
  char* pszText = request.pszText;
  const int iFields = request.iPos;
  // The LRC, CR, LF and terminator go after the fields.
  if (iFields < 1 || iFields + kFrameTrailerLen + 1 > SARN_FRAME_BUF) return SendFailed();
  if (pContext->iIfg != 0) PortPause(pContext->iIfg);
  QuietHeldPort(pPort);

  const uint8_t lrc = CalcLrc(pszText + 1, static_cast<uint16_t>(iFields - 1));
  snprintf(pszText + iFields, kFrameTrailerLen + 1, "%02X\r\n", lrc);

  if (pContext->cRtsCts != 0 && HeldSetRts(pPort, true) != kPortOk) LogPortFailure(pPort, kMsgSendRtsFailed);
  const int iBytes = SentLength(request);
  const PortResult rc = HeldWrite(pPort, pszText, static_cast<uint32_t>(iBytes), KindOfRequest(pszText));
  if (pContext->cRtsCts != 0) LowerRtsWhenSent(pContext, pPort, iBytes);
  if (rc != kPortOk) return SendFailed();
  // On a line that echoes, the echo comes first. Without reading it here,
  // the request's own echo would pass for the reply: a write echo is byte
  // for byte the controller's answer.
  const bool bEchoed = (pContext->wFlags & SARN_FLAG_ECHO) != 0;
  if (bEchoed && !OwnEchoHeard(pPort, pszText, iBytes, pContext->rxBuf)) return SendFailed();
  NoteRequestLeft(pPort);
  return Fault::kNone;
}

void NoteOwnRequest(const char* pszRequest, int iRequestLen, const char* pszReply, Fault fault,
                    const ReplyHead* pHead) {
  // Characters read before the fault: a reply that announced no data stops
  // after its byte count; the others named here were read whole.
  int iRead = 0;
  if (fault == Fault::kNoData) {
    iRead = kFrameHeadLen + kByteCountLen;
  } else if (fault == Fault::kNoTermination || fault == Fault::kLrc || fault == Fault::kOtherByteCount ||
             fault == Fault::kOtherEcho || fault == Fault::kCutShort || fault == Fault::kBadData) {
    iRead = pHead->iLen;
  }
  // Every reply of the request's controller and function begins as the
  // request does; a reply that announced no data is no more than that, the
  // others must show more to be the request itself.
  const int iHeadAndCount = kFrameHeadLen + kByteCountLen;
  const int iCompared = iRead < iRequestLen ? iRead : iRequestLen;
  if (iCompared < iHeadAndCount || (iCompared == iHeadAndCount && fault != Fault::kNoData)) return;
  if (memcmp(pszRequest, pszReply, static_cast<size_t>(iCompared)) == 0) SARN_LOG(kMsgReceiveOwnRequest, iRead);
}

Fault ReceiveFrame(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead) {
  *pHead = ReplyHead{};
  Fault fault = ReceiveHead(pPort, pExpected, pBuf, pHead);
  if (fault != Fault::kNone) return fault;
  if (HeldFrameBeganEarly(pPort)) {
    // It began before any answer owed could have: it is no answer, and is
    // read to its end so that the next frame is read from its start.
    HeldDrainFrame(pPort, pBuf + kFrameHeadLen, static_cast<uint16_t>(SARN_FRAME_BUF - kFrameHeadLen - 1));
    return Fault::kEarlyFrame;
  }
  pHead->iLen = kFrameHeadLen;

  if (!GetHexField(pBuf, kFrameFunctionPos, 2, &pHead->dwFunction)) {
    SARN_LOG(kMsgReceiveOtherFunction);
    return Fault::kOtherFunction;
  }
  if ((pHead->dwFunction & kExceptionFlag) != 0) return ReceiveException(pPort, pExpected, pBuf, pHead);
  if (pHead->dwFunction != pExpected->cFunction) {
    SARN_LOG(kMsgReceiveOtherFunction);
    return Fault::kOtherFunction;
  }

  // A write's echo has a fixed length; a read reply announces its own.
  int iToRead = kEchoTailLen;
  if (!pExpected->bEcho) {
    fault = ReceiveByteCount(pPort, pExpected, pBuf, pHead, &iToRead);
    if (fault != Fault::kNone) return fault;
  }
  return ReceiveRest(pPort, pBuf, iToRead, pHead);
}

Fault ReceiveReply(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead) {
  Fault fault = Fault::kNone;
  for (int iFrame = 0; iFrame <= kMaxFramesDiscarded; ++iFrame) {
    const uint32_t nNotAnswers = HeldNotAnswers(pPort);
    fault = ReceiveFrame(pPort, pExpected, pBuf, pHead);
    // A frame that was no answer (a stray, or the request's own echo) is
    // let go by: the answer may still come within the time-out.
    if (fault != Fault::kEarlyFrame && HeldNotAnswers(pPort) == nNotAnswers) break;
  }
  if (fault != Fault::kNone) return fault;
  return pExpected->bEcho ? CheckEcho(pExpected, pBuf, pHead) : CheckReadReply(pExpected, pBuf, pHead);
}

}  // namespace sarn
