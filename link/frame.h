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

// LRC over sCount hexadecimal characters (sCount / 2 bytes) of a frame body.
uint8_t CalcLrc(const char* pszText, uint16_t sCount);

// True when the two hexadecimal digits at iLen - 4 of a complete reply of
// iLen characters are the LRC of everything between its ':' and them.
bool ReplyLrcMatches(const char* pszReply, int iLen);

// Completes the request in pszText (LRC, CR, LF over positions iLen - 2 on)
// and transmits iLen + 2 bytes. Returns 0, or 2 when not all were written.
int Send(DriverContext* pContext, char* pszText, int iLen);

// Reads one reply frame into pBuf (the context's rxBuf); *pRead is the
// number of characters read. Returns a ReceiveResult.
int Receive(const GateTransfer* pTransfer, DriverContext* pContext, char* pBuf, int* pRead);

}  // namespace sarn
