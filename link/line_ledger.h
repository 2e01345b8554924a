// What is in flight on a port: the answers the line still owes, and what it
// has shown of the controller's delay.
//
// Modbus ASCII answers carry no transaction number, and a controller answers
// every request it hears, also one the driver has given up on. Each request
// sent owes the line its answer; every intact frame read from the line,
// whoever reads it, pays the oldest debt, since a controller answers in the
// order it was asked. An answer the driver took, a frame discarded before a
// request and one discarded while settling all count. A garbled frame pays
// nothing: it may be noise, and the true answer still on its way. A
// request's own echo, on a line that echoes, is no answer: it comes at once,
// before the answers to earlier requests, and is read past the ledger where
// the line is known to echo, and recognised where it is not.
//
// The ledger only counts and measures; reading the line is the port layer's.
// It is plain data, allocates nothing, and is used by the one thread that
// holds its port's turn.
#pragma once

#include <cstdint>

namespace sarn {

// Requests whose answers the ledger keeps the send times of; a line that
// owes more forgets the oldest, which are long lost.
inline constexpr int kLedgerDepth = 16;

struct LineLedger {
  uint32_t dwTimeoutMs = 0;  // the port's reply time-out
  // Send times of the answers still owed, oldest first, in a ring.
  uint64_t sentMs[kLedgerDepth] = {};
  uint8_t iOldest = 0;
  uint8_t nOwed = 0;
  // The longest delay from a send to the end of a frame after it (the
  // oldest owed), fading as answers come in time.
  uint32_t dwObservedMs = 0;
  // While settling, every answer that pays is one the transaction gave up
  // on: those later than the reply time-out are noted.
  bool bSettling = false;
  // An answer later than the reply time-out, not yet reported.
  uint32_t dwLateMs = 0;
  uint8_t cLateController = 0;
  // The frame being read: ':' seen, and its hexadecimal digits so far.
  bool bInFrame = false;
  bool bCr = false;
  uint16_t nDigits = 0;
  uint8_t cSum = 0;      // of the whole bytes so far
  uint8_t cHigh = 0;     // the first digit of a byte not yet whole
  uint8_t cAddress = 0;  // the frame's first byte: the controller's address
  uint16_t nChars = 0;   // of the frame, its ':' included
  uint32_t dwHash = 0;   // of the frame's characters so far
  // The last read request sent on a line not known to echo: a frame that is
  // that request byte for byte is its echo, never an answer (no read reply
  // has a read request's form). 0 length: none.
  uint16_t nOwnLen = 0;
  uint32_t dwOwnHash = 0;
};

// A port just opened: nothing owed, the reply time-out dwTimeoutMs.
void LedgerStart(LineLedger* pLedger, uint32_t dwTimeoutMs);
// A request went out whole at nowMs; the line owes nFrames frames for it
// (its answer, and its echo first on a line that echoes). pszEchoOnly, when
// given, is the request (dwLen characters, CR LF included) where a frame
// equal to it can only be its echo: a read request on a line not known to
// echo. Such a frame pays nothing.
void LedgerNoteSent(LineLedger* pLedger, uint64_t nowMs, int nFrames, const char* pszEchoOnly = nullptr,
                    uint32_t dwLen = 0);
// Bytes read from the line at nowMs, whatever reads them.
void LedgerNoteInput(LineLedger* pLedger, const char* pBytes, uint32_t dwCount, uint64_t nowMs);
// Whether an answer, or the rest of a frame, may still come.
bool LedgerOwes(const LineLedger* pLedger);
// The controller's pace as the line has shown it: the longest delay seen,
// never less than the reply time-out.
uint32_t LedgerPaceMs(const LineLedger* pLedger);
// How long a quiet line is waited on for the next answer owed: the pace
// with a quarter more.
uint32_t LedgerQuietMs(const LineLedger* pLedger);
// The line went quiet, or was given up on: nothing is owed any more (the
// pace seen is kept).
void LedgerSettled(LineLedger* pLedger);
// Notes an answer later than the reply time-out: one a transaction took
// after an attempt timed out, dwMs after that attempt went out.
void LedgerNoteLate(LineLedger* pLedger, uint32_t dwMs, uint8_t cController);
// The slowest answer later than the reply time-out noted since the last
// call, if any: its delay and its controller. An answer discarded while
// settling counts from the latest request it can answer that went out more
// than a time-out before it, so that requests lost on the way do not make
// the controller look slower than it is.
bool LedgerTakeLate(LineLedger* pLedger, uint32_t* pdwMs, unsigned* puController);

}  // namespace sarn
