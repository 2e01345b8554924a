// What is in flight on a port: the answers the line still owes, what it has
// shown of the controller's delay, and whether it keeps line time.
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
// A serial line carries one character in a character time. An answer cannot
// begin before its request has left the port, nor be complete before its own
// characters could have crossed the line after it. Once the line has shown
// that it keeps that time (its answers have never come sooner), a frame that
// came sooner than the oldest request owed allows is no answer at all: a
// stray (an answer sent twice, one later than every recovery, an adapter's
// echo). It pays nothing and is counted, and so is a frame that comes when
// nothing is owed. A medium that keeps no line time (a pseudo-terminal, a
// USB device without a UART) delivers answers sooner than its baud rate
// allows: there the rule stays off.
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
// Answers in a row that came no sooner than the line allows before the
// line is taken to keep time.
inline constexpr uint8_t kLedgerAnswersInTime = 4;

// What the line has shown of one controller, for whoever wants to know how
// the controllers on a port answer.
struct ControllerFacts {
  uint8_t cAddress = 0;      // 0: a free place (no controller answers at 0)
  uint32_t dwLongestMs = 0;  // the longest delay from a request to the end of its answer
  uint32_t dwLateMs = 0;     // the longest answer later than the reply time-out
};
// Controllers a port keeps the facts of; once all places are taken, the
// place taken longest ago goes to the next controller.
inline constexpr int kLedgerControllers = 8;

// One answer owed: when its request began to go out, and its length.
struct OwedAnswer {
  uint64_t sentMs = 0;
  uint16_t wRequestLen = 0;
};

struct LineLedger {
  uint32_t dwTimeoutMs = 0;  // the port's reply time-out
  uint32_t dwCharUs = 0;     // one character's time on the line; 0: not known
  // The answers still owed, oldest first, in a ring.
  OwedAnswer owed[kLedgerDepth] = {};
  uint8_t iOldest = 0;
  uint8_t nOwed = 0;
  // The longest delay from a send to the end of a frame after it (the
  // oldest owed), fading as answers come in time.
  uint32_t dwObservedMs = 0;
  // The settle does not take the line for quiet before this time: the
  // answers of a transaction whose attempts all timed out may come up to
  // the settle's bound after the last attempt.
  uint64_t quietFloorMs = 0;
  // While settling, every answer that pays is one the transaction gave up
  // on: those later than the reply time-out are noted.
  bool bSettling = false;
  // An answer later than the reply time-out, not yet reported.
  uint32_t dwLateMs = 0;
  uint8_t cLateController = 0;
  // What the line has shown of each controller that answered on it.
  ControllerFacts controllers[kLedgerControllers] = {};
  uint8_t iNextPlace = 0;
  // The transaction under way: when its last request had left, its echo
  // read (0: none yet), and when the earliest of its attempts that got no
  // answer in time had left (0: none).
  uint64_t leftMs = 0;
  uint64_t unansweredLeftMs = 0;
  // The frame being read: ':' seen, and its hexadecimal digits so far.
  bool bInFrame = false;
  bool bCr = false;
  uint16_t nDigits = 0;
  uint8_t cSum = 0;      // of the whole bytes so far
  uint8_t cHigh = 0;     // the first digit of a byte not yet whole
  uint8_t cAddress = 0;  // the frame's first byte: the controller's address
  uint16_t nChars = 0;   // of the frame, its ':' included
  uint32_t dwHash = 0;   // of the frame's characters so far
  uint64_t startUs = 0;  // latest time its ':' can have arrived
  // The last request sent: a frame that is that request byte for byte may
  // be its echo. A read request's echo is always one (no read reply has a
  // read request's form); another's only once, before its answer, and only
  // where the line is known to echo or the frame came while the request was
  // still leaving. 0 length: none.
  uint16_t nOwnLen = 0;
  uint32_t dwOwnHash = 0;
  uint64_t ownSentMs = 0;
  bool bOwnIsRead = false;
  bool bEchoPending = false;  // the last request's echo has not come yet
  // What the line has shown.
  bool bEchoes = false;  // it echoes requests, and the driver was not told so
  bool bEchoReported = false;
  bool bKeepsTime = false;      // answers come no sooner than the line allows
  uint8_t nInTime = 0;          // answers in a row that did
  uint8_t nEarlySinceSent = 0;  // frames discarded as too early since the last request
  // Frames that were no answer (strays and echoes), ever: a reader compares
  // it before and after a read to learn that what it read was none.
  uint32_t nNotAnswers = 0;
  uint32_t nStrays = 0;          // of which strays
  uint16_t nLastStrayLen = 0;    // characters of the last stray
  bool bLastStrayEarly = false;  // it came too soon, rather than unowed
  bool bWantQuiet = false;       // a stray came: the next request waits for a quiet line
  // An answer came too soon for the request yet no faster than the line:
  // the next request waits for a quiet line, until that has found the line
  // quiet kLedgerAnswersInTime times in a row (a peer that hears a request
  // at once rather than a line out of step).
  bool bQuietForEarly = false;
  uint8_t nHearsAtOnce = 0;
};

// A port just opened: nothing owed, the reply time-out dwTimeoutMs, one
// character dwCharUs microseconds on the line (0: unknown, no line time).
void LedgerStart(LineLedger* pLedger, uint32_t dwTimeoutMs, uint32_t dwCharUs = 0);
// A request of dwLen characters (CR LF included) began to go out at sentMs
// and went out whole: the line owes its answer, unless it went to every
// controller. pszRequest, when given, is its text, for recognising its echo.
enum class SentKind : uint8_t {
  kWrite,      // owes its answer; its echo would look like the answer
  kRead,       // owes its answer; its echo is never one
  kBroadcast,  // to controller 0: owes nothing, no controller answers it
};
void LedgerNoteSent(LineLedger* pLedger, uint64_t sentMs, uint32_t dwLen, const char* pszRequest = nullptr,
                    SentKind kind = SentKind::kWrite);
// Bytes read from the line at nowMs, whatever reads them.
void LedgerNoteInput(LineLedger* pLedger, const char* pBytes, uint32_t dwCount, uint64_t nowMs);
// Whether an answer, or the rest of a frame, may still come.
bool LedgerOwes(const LineLedger* pLedger);
// Whether the frame under way began sooner than the oldest request owed
// could have been answered, on a line that keeps time: its rest is no
// answer either.
bool LedgerFrameBeganEarly(const LineLedger* pLedger);
// The request just sent had left at nowMs: its answer is awaited from now.
void LedgerNoteLeft(LineLedger* pLedger, uint64_t nowMs);
// An attempt got no answer in time: its answer, taken later, is a late
// one. Where a frame was discarded as too
// early since its request, that frame may have been the answer: the line
// does not keep time after all, and the rule is off until it shows again
// that it does.
void LedgerNoteNoAnswer(LineLedger* pLedger);
// The controller's pace as the line has shown it: the longest delay seen,
// never less than the reply time-out.
uint32_t LedgerPaceMs(const LineLedger* pLedger);
// How long a quiet line is waited on for the next answer owed: the pace
// with a quarter more.
uint32_t LedgerQuietMs(const LineLedger* pLedger);
// A few character times, the span of silence that tells a line that has
// stopped sending; at least a few milliseconds, for devices that deliver in
// bursts.
uint32_t LedgerIdleMs(const LineLedger* pLedger);
// The quiet wait before a request ended, having discarded dwDiscarded
// bytes: where it was for an answer that came too soon, it tells whether
// the line was out of step.
void LedgerNoteQuietWait(LineLedger* pLedger, uint32_t dwDiscarded);
// The line went quiet, or was given up on: nothing is owed any more (the
// pace seen and the controllers' facts are kept), and the next transaction
// starts.
void LedgerSettled(LineLedger* pLedger);
// Notes an answer later than the reply time-out: one a transaction took
// after an attempt timed out, dwMs after that attempt went out.
void LedgerNoteLate(LineLedger* pLedger, uint32_t dwMs, uint8_t cController);
// A transaction took, at nowMs, an answer of cController: when an earlier
// attempt of it got no answer in time, the answer is that attempt's, and
// is noted as late when it came later than the reply time-out after that
// attempt had left.
void LedgerNoteAnswerTaken(LineLedger* pLedger, uint64_t nowMs, uint8_t cController);
// What the line has shown of cController, or nullptr when it has not
// answered on this port.
const ControllerFacts* LedgerControllerFacts(const LineLedger* pLedger, uint8_t cController);
// The slowest answer later than the reply time-out noted since the last
// call, if any: its delay and its controller. An answer discarded while
// settling counts from the latest request it can answer that went out more
// than a time-out before it, so that requests lost on the way do not make
// the controller look slower than it is.
bool LedgerTakeLate(LineLedger* pLedger, uint32_t* pdwMs, unsigned* puController);

}  // namespace sarn
