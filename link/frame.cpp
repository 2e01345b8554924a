// Modbus ASCII frames: CalcLrc, Send and Receive.
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
#include "link/hex.h"
#include "link/modbus_codes.h"
#include "link/port.h"
#include "sarn_line_time.h"

namespace sarn {
namespace {

constexpr int kHeadLen = 5;           // ':' + address + function code
constexpr int kExceptionTailLen = 6;  // exception code, LRC, CR, LF
constexpr int kWriteTailLen = 12;     // echoed address and value, LRC, CR, LF
constexpr int kByteCountLen = 2;
constexpr int kAddressPos = 1;        // controller address in requests and replies
constexpr int kFunctionPos = 3;       // function code in requests and replies
constexpr int kExceptionCodePos = 5;  // exception code of an exception reply
// Added to twice the frame's line time for the transmit-queue wait.
constexpr uint32_t kTransmitWaitMarginMs = 1000;

// Logs what an exception code means and returns what it means to the
// transaction: 1 refused for good, 2 a failure of the line side, 4 worth
// another attempt. Each message is the format itself, as every constant
// message is, so a host that keys on the format sees the text.
int ReportException(uint32_t code) {
  switch (code) {
    case kExIllegalFunction:
      err(kLogTrace, "SARNMD> (MB-protocol) Illegal function");
      return kRecvException;
    case kExIllegalAddress:
      err(kLogTrace, "SARNMD> (MB-protocol) Illegal data address");
      return kRecvRejected;
    case kExIllegalValue:
      err(kLogTrace, "SARNMD> (MB-protocol) Illegal data value");
      return kRecvRejected;
    case kExDeviceFailure:
      err(kLogTrace, "SARNMD> (MB-protocol) Failure in associated device");
      return kRecvLine;
    case kExAcknowledge:
      err(kLogTrace, "SARNMD> (MB-protocol) Acknowledge (processing)");
      return kRecvRejected;
    case kExBusy:
      err(kLogTrace, "SARNMD> (MB-protocol) Busy, rejected message");
      return kRecvException;
    case kExNegativeAck:
      err(kLogTrace, "SARNMD> (MB-protocol) Negative acknowledgment");
      return kRecvException;
    case kExMemoryParity:
      err(kLogTrace, "SARNMD> (MB-protocol) Memory parity error");
      return kRecvException;
    default:
      err(kLogTrace, "SARNMD> (MB-protocol error)");
      return kRecvException;
  }
}

// Upper bound for the transmit-queue wait while RTS is raised: twice the
// time the frame needs on the line at the configured rate, plus a second.
// A device that never reports its queue empty cannot hold RTS up forever.
uint32_t TransmitWaitLimitMs(const DriverContext* pContext, int iBytes) {
  return static_cast<uint32_t>(TwiceLineTimeMs(pContext->port.line.wBaud, static_cast<uint32_t>(iBytes))) +
         kTransmitWaitMarginMs;
}

// Waits until the output queue is empty (polled every millisecond), then
// lowers RTS.
void LowerRtsWhenSent(DriverContext* pContext, int iBytes) {
  const uint32_t limit = TransmitWaitLimitMs(pContext, iBytes);
  for (uint32_t waited = 0; waited < limit; ++waited) {
    uint32_t dwPending = 0;
    if (PortOutputQueue(pContext->hCom, &dwPending) != kPortOk) {
      err(kLogTrace, "SARNMD> Send() ClearCommError() failed");
      break;
    }
    PortPause(1);
    if (dwPending == 0) break;
  }
  if (PortSetRts(pContext->hCom, false) != kPortOk) err(kLogTrace, "SARNMD> Send() EscapeCommFunction() failed");
}

// Reads back the iBytes of the request just sent, which a line that hears
// its own transmission (a two-wire RS-485 adapter) delivers before any reply,
// into pScratch. True when they came within the reply time-out, unchanged.
bool OwnEchoHeard(DriverContext* pContext, const char* pszSent, int iBytes, char* pScratch) {
  uint32_t dwGot = 0;
  const int rc = PortRead(pContext->hCom, pScratch, static_cast<uint16_t>(iBytes), &dwGot);
  if (rc != kPortOk || static_cast<int>(dwGot) != iBytes) {
    err(kLogTrace, "SARNMD> Send() echo of the request not received (iRead=%d)", static_cast<int>(dwGot));
    return false;
  }
  if (memcmp(pScratch, pszSent, static_cast<size_t>(iBytes)) != 0) {
    err(kLogTrace, "SARNMD> Send() echo differs from the request sent");
    return false;
  }
  return true;
}

int SendFailed(LastError* pLast) {
  pLast->cByte = kLastErrorSend;
  err(kLogTrace, "SARNMD> SEND> Unable to send message.");
  return kSendFailed;
}

// Reads the head of a reply (':', address, function code) and checks its
// start and controller address.
int ReceiveHead(const GateTransfer* pTransfer, DriverContext* pContext, char* pBuf, LastError* pLast) {
  uint32_t dwGot = 0;
  if (PortRead(pContext->hCom, pBuf, kHeadLen, &dwGot) != kPortOk) {
    err(kLogTrace, "SARNMD> Receive() #1: timeout (iRead=%d)", static_cast<int>(dwGot));
    return kRecvLine;
  }
  if (dwGot != kHeadLen || pBuf[0] != ':') {
    err(kLogTrace, "SARNMD> Receive() Start of frame not received");
    pLast->cByte = kLastErrorFrameStart;
    return kRecvLine;
  }
  uint32_t address = 0;
  if (!ParseHex(pBuf + kAddressPos, 2, &address) || static_cast<int32_t>(address) != pTransfer->iPlcAddr) {
    // Characters that are no hexadecimal address cannot be ours either.
    err(kLogTrace, "SARNMD> Wrong plc addr.%Xh received", address);
    return kRecvWrong;
  }
  return kRecvOk;
}

// Reads the rest of an exception reply after its head and reports its code.
int ReceiveException(uint32_t function, uint32_t requested, DriverContext* pContext, char* pBuf, int* pRead) {
  if (function != (requested | kExceptionFlag)) err(kLogTrace, "SARNMD> Different function with 0x80 returned");
  uint32_t dwGot = 0;
  if (PortRead(pContext->hCom, pBuf + kHeadLen, kExceptionTailLen, &dwGot) != kPortOk) {
    err(kLogTrace, "SARNMD> Receive() timeout 2nd part message (iRead=%d)", static_cast<int>(dwGot));
    return kRecvLine;
  }
  if (dwGot != kExceptionTailLen) {
    err(kLogTrace, "SARNMD> Receive() wrong length 2nd part message iRead=%d", static_cast<int>(dwGot));
    return kRecvWrong;
  }
  *pRead += kExceptionTailLen;
  uint32_t code = 0;
  if (!ParseHex(pBuf + kExceptionCodePos, 2, &code)) code = 0;  // not a code: reported as an unknown one
  return ReportException(code);
}

// Reads a read reply's byte count into pCount (two characters); *piToRead
// becomes the number of characters that follow it: data, LRC, CR, LF.
int ReceiveByteCount(const GateTransfer* pTransfer, DriverContext* pContext, char* pCount, int* piToRead) {
  uint32_t dwGot = 0;
  if (PortRead(pContext->hCom, pCount, kByteCountLen, &dwGot) != kPortOk) {
    err(kLogTrace, "SARNMD> Receive() error reading data part message (iRead=%d)", static_cast<int>(dwGot));
    return kRecvLine;
  }
  char szCount[kByteCountLen + 1] = {pCount[0], pCount[1], '\0'};
  uint32_t byteCount = 0;
  const bool bHex = ParseHex(szCount, kByteCountLen, &byteCount);
  if (dwGot != kByteCountLen) {
    err(kLogTrace, "SARNMD> Receive() wrong length data part message (iRead=%d)", static_cast<int>(dwGot));
    return kRecvLine;
  }
  if (!bHex) {
    // A byte count that is no number: the reply cannot be measured, so it
    // is treated as one that does not belong to the request.
    err(kLogTrace, "SARNMD> Receive() wrong length data part message (iRead=%d)", static_cast<int>(dwGot));
    return kRecvWrong;
  }
  if (byteCount == 0) {
    err(kLogTrace, "SARNMD> Receive() No data returned for '%s' (%2s)", GateName(pTransfer), szCount);
    return kRecvLine;
  }
  *piToRead = 2 * static_cast<int>(byteCount) + 4;
  return kRecvOk;
}

// Reads the last iToRead characters of a reply to pBuf + iPos.
int ReceiveRest(DriverContext* pContext, char* pBuf, int iPos, int iToRead, int* pRead) {
  // At most 255 data bytes: 5 + 2 + 514 characters fit the 600 of rxBuf.
  uint32_t dwGot = 0;
  if (PortRead(pContext->hCom, pBuf + iPos, static_cast<uint16_t>(iToRead), &dwGot) != kPortOk) {
    err(kLogTrace, "SARNMD> Recieve() reading timeout last data part message (iRead=%d)", static_cast<int>(dwGot));
    return kRecvLine;
  }
  *pRead += static_cast<int>(dwGot);
  if (static_cast<int>(dwGot) != iToRead) {
    err(kLogTrace, "SARNMD> Receive() wrong length last data part message. iToRead %d, iRead %d", iToRead,
        static_cast<int>(dwGot));
    return kRecvWrong;
  }
  pBuf[*pRead] = '\0';
  return kRecvOk;
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
  if (iLen < 5 || !ParseHex(pszReply + iLen - 4, 2, &received)) return false;
  return received == CalcLrc(pszReply + 1, static_cast<uint16_t>(iLen - 5));
}

int Send(DriverContext* pContext, char* pszText, int iLen, LastError* pLast) {
  // The LRC, CR, LF and terminator go at iLen - 2 .. iLen + 2.
  if (iLen < 3 || iLen + 3 > SARN_FRAME_BUF) return SendFailed(pLast);
  if (pContext->iIfg != 0) PortPause(pContext->iIfg);
  PortFlushInput(pContext->hCom);

  const uint8_t lrc = CalcLrc(pszText + 1, static_cast<uint16_t>(iLen - 3));
  snprintf(pszText + iLen - 2, 5, "%02X\r\n", lrc);

  if (pContext->cRtsCts != 0 && PortSetRts(pContext->hCom, true) != kPortOk) {
    err(kLogTrace, "SARNMD> Send() EscapeCommFunction() failed");
  }
  const uint32_t dwToWrite = static_cast<uint32_t>(iLen + 2);
  uint32_t dwWritten = 0;
  const int rc = PortWrite(pContext->hCom, pszText, dwToWrite, &dwWritten);
  if (pContext->cRtsCts != 0) LowerRtsWhenSent(pContext, iLen + 2);

  if (rc != kPortOk || dwWritten != dwToWrite) return SendFailed(pLast);
  // Without this, the request's own echo would pass for the reply: a write
  // echo is byte for byte the controller's answer.
  if ((pContext->wFlags & SARN_FLAG_ECHO) != 0 && !OwnEchoHeard(pContext, pszText, iLen + 2, pContext->rxBuf)) {
    return SendFailed(pLast);
  }
  return kSendOk;
}

int Receive(const GateTransfer* pTransfer, DriverContext* pContext, char* pBuf, int* pRead, LastError* pLast) {
  *pRead = 0;
  int rc = ReceiveHead(pTransfer, pContext, pBuf, pLast);
  if (rc != kRecvOk) return rc;
  *pRead += kHeadLen;

  uint32_t function = 0;
  uint32_t requested = 0;
  ParseHex(pContext->txBuf + kFunctionPos, 2, &requested);
  if (!ParseHex(pBuf + kFunctionPos, 2, &function)) {
    err(kLogTrace, "SARNMD> Different function returned");
    return kRecvWrong;
  }
  if ((function & kExceptionFlag) != 0) return ReceiveException(function, requested, pContext, pBuf, pRead);
  if (function != requested) {
    err(kLogTrace, "SARNMD> Different function returned");
    return kRecvWrong;
  }

  // A write's echo has a fixed length; a read reply announces its own.
  int iPos = kHeadLen;
  int iToRead = kWriteTailLen;
  if (pContext->bWriting != 1) {
    rc = ReceiveByteCount(pTransfer, pContext, pBuf + iPos, &iToRead);
    if (rc != kRecvOk) return rc;
    *pRead += kByteCountLen;
    iPos += kByteCountLen;
  }
  return ReceiveRest(pContext, pBuf, iPos, iToRead, pRead);
}

}  // namespace sarn
