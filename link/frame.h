// Modbus ASCII frames: the LRC, sending a request and receiving its reply.
//
// The transaction says once, when it builds a request, what its reply must
// look like (ExpectedReply); ReceiveReply reads a reply from the port, checks
// it against that and hands back what the head said (ReplyHead) with a Fault.
#pragma once

#include <cstdint>

#include "link/fault.h"
#include "link/port_record.h"
#include "link/request_writer.h"
#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// The reply a request asks for.
struct ExpectedReply {
  uint8_t cController = 0;
  uint8_t cFunction = 0;
  bool bEcho = false;        // a write's echo; else a read reply with data
  uint16_t wByteCount = 0;   // read replies: data bytes the request implies
  uint16_t wEchoField = 0;   // echoes: the register or coil address repeated
  uint16_t wEchoValue = 0;   // echoes: the value (functions 5, 6) or quantity (15, 16) repeated
  const char* pszGate = "";  // the gate text, for log messages
};

// What a reply's head said, as far as it was read. Fields the reply did not
// carry, or that were no numbers, are 0.
struct ReplyHead {
  int iLen = 0;  // characters read
  uint32_t dwController = 0;
  uint32_t dwFunction = 0;
  uint32_t dwByteCount = 0;      // read replies
  uint32_t dwEchoField = 0;      // echoes
  uint32_t dwEchoValue = 0;      // echoes
  uint32_t dwExceptionCode = 0;  // exception replies
};

// LRC over sCount hexadecimal characters (sCount / 2 bytes) of a frame body.
uint8_t CalcLrc(const char* pszText, uint16_t sCount);

// True when the two hexadecimal digits at iLen - 4 of a complete reply of
// iLen characters are the LRC of everything between its ':' and them.
bool ReplyLrcMatches(const char* pszReply, int iLen);

// Completes the request the writer holds (its LRC, CR and LF after the
// fields written) and transmits it on the held port, after the context's
// inter-frame gap, with RTS raised around it when the context asks for that,
// and reads the request's own echo back on a line that has one. The port's
// ledger counts the answer the request is owed. Fault::kNone, or
// Fault::kNotSent.
Fault Send(DriverContext* pContext, const PortHold* pPort, const RequestWriter& request);

// Reads one reply frame into pBuf (SARN_FRAME_BUF characters) in the pieces
// its head announces, and checks it against what the request expects:
// controller, function, exception, length; then for a read reply its CR LF,
// LRC and byte count, for an echo its LRC and repeated fields. The data of a
// read reply is the transaction's to judge.
Fault ReceiveReply(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead);

// Logs a trace when the characters read as a refused reply are those of the
// request just sent (pszRequest, iRequestLen characters), byte for byte: the
// line echoes each request (a two-wire RS-485 adapter) and the driver was not
// told so (ECHO = YES). A reply that passed is never so noted: a single
// write's correct answer repeats its request.
void NoteOwnRequest(const char* pszRequest, int iRequestLen, const char* pszReply, Fault fault, const ReplyHead* pHead);

// The reading half of ReceiveReply: the frame in its pieces, with its
// controller, function and exception checked, its content not.
Fault ReceiveFrame(const PortHold* pPort, const ExpectedReply* pExpected, char* pBuf, ReplyHead* pHead);

}  // namespace sarn
