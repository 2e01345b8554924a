// Modbus ASCII frames: the LRC, sending a request and receiving its reply.
#pragma once

#include <cstdint>

#include "sarnmd.h"

namespace sarn {

// Results of Receive.
enum ReceiveResult : int {
  kRecvOk = 0,         // a complete reply was read
  kRecvRejected = 1,   // exception 2, 3 or 5
  kRecvLine = 2,       // nothing or too little, no ':', byte count 0, exception 4
  kRecvWrong = 3,      // a reply that does not belong to the request
  kRecvException = 4,  // exception 1, 6, 7, 8 or another code
};

// Results of Send.
enum SendResult : int {
  kSendOk = 0,
  kSendFailed = 2,  // not all of the frame was written
};

// The last-error byte of one transaction: what went wrong in it last. Each
// transaction keeps its own, so transactions on different contexts running
// at the same time never see each other's.
enum : uint8_t {
  kLastErrorNone = 0,
  kLastErrorSend = 1,        // a frame was not sent completely
  kLastErrorFrameStart = 4,  // the start of a reply frame was not received
  kLastErrorException = 8,   // an exception reply came
};
struct LastError {
  uint8_t cByte = kLastErrorNone;
};

// Gate text for log messages; never null.
inline const char* GateName(const GateTransfer* pTransfer) {
  return pTransfer->pszName != nullptr ? pTransfer->pszName : "";
}

// LRC over sCount hexadecimal characters (sCount / 2 bytes) of a frame body.
uint8_t CalcLrc(const char* pszText, uint16_t sCount);

// True when the two hexadecimal digits at iLen - 4 of a complete reply of
// iLen characters are the LRC of everything between its ':' and them.
bool ReplyLrcMatches(const char* pszReply, int iLen);

// Completes the request in pszText (LRC, CR, LF over positions iLen - 2 on)
// and transmits iLen + 2 bytes. Returns a SendResult; a failure sets the
// transaction's last-error byte.
int Send(DriverContext* pContext, char* pszText, int iLen, LastError* pLast);

// Reads one reply frame into pBuf (the context's rxBuf); *pRead is the
// number of characters read. Returns a ReceiveResult; a reply without its
// frame start sets the transaction's last-error byte.
int Receive(const GateTransfer* pTransfer, DriverContext* pContext, char* pBuf, int* pRead, LastError* pLast);

}  // namespace sarn
