#include "link/line_ledger.h"

#include <algorithm>

#include "link/hex.h"
#include "link/modbus_codes.h"

namespace sarn {
namespace {

// The shortest intact frame: address, function and LRC.
constexpr uint16_t kMinFrameDigits = 6;
// FNV-1a, for recognising the request's own echo.
constexpr uint32_t kHashStart = 2166136261u;
constexpr uint32_t kHashPrime = 16777619u;
// The line's times are taken at 15/16 of what the baud rate gives: a UART's
// clock may run a few per cent fast.
constexpr uint64_t kToleranceNum = 15;
constexpr uint64_t kToleranceDen = 16;
// The span of silence that ends a burst: a few characters, and never less
// than a USB adapter's delivery interval.
constexpr uint32_t kIdleChars = 4;
constexpr uint32_t kMinIdleMs = 10;

uint32_t HashChar(uint32_t dwHash, char c) {
  return (dwHash ^ static_cast<uint8_t>(c)) * kHashPrime;
}

const OwedAnswer& Owed(const LineLedger* pLedger, int k) {
  return pLedger->owed[(pLedger->iOldest + k) % kLedgerDepth];
}

void DropOldest(LineLedger* pLedger) {
  pLedger->iOldest = static_cast<uint8_t>((pLedger->iOldest + 1) % kLedgerDepth);
  --pLedger->nOwed;
}

uint32_t Elapsed(uint64_t fromMs, uint64_t toMs) {
  const uint64_t elapsed = toMs > fromMs ? toMs - fromMs : 0;
  return elapsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed);
}

// The earliest time, in microseconds, that nChars characters can have
// crossed the line after a request of wRequestLen characters began to go
// out at sentMs.
uint64_t EarliestUs(const LineLedger* pLedger, uint64_t sentMs, uint32_t nChars) {
  return sentMs * 1000 + uint64_t{nChars} * pLedger->dwCharUs * kToleranceNum / kToleranceDen;
}

// Whether the frame just ended by endUs was complete sooner than its own
// characters could have crossed the line after the request sent at sentMs
// began to leave. Nothing was arriving when the request went out, so on a
// line that keeps time no frame can: the line does not keep time.
bool FasterThanTheLine(const LineLedger* pLedger, uint64_t sentMs, uint64_t endUs) {
  return pLedger->dwCharUs != 0 && endUs < EarliestUs(pLedger, sentMs, pLedger->nChars);
}

// Whether the frame just ended (its ':' by startUs, its end by endUs) came
// sooner than an answer to the request sent at sentMs could have.
bool TooEarly(const LineLedger* pLedger, uint64_t sentMs, uint16_t wRequestLen, uint64_t endUs) {
  if (pLedger->dwCharUs == 0) return false;
  return pLedger->startUs < EarliestUs(pLedger, sentMs, wRequestLen) ||
         endUs < EarliestUs(pLedger, sentMs, uint32_t{wRequestLen} + pLedger->nChars);
}

// Notes an answer discarded while settling, later than the reply time-out.
// Which request it answers is not known; its delay is reckoned from the
// latest one it can answer that went out more than a time-out before it.
void NoteLateDiscarded(LineLedger* pLedger, uint64_t nowMs, uint8_t cController) {
  uint32_t dwDelay = 0;
  for (int k = pLedger->nOwed - 1; k >= 0 && dwDelay == 0; --k) {
    const uint32_t dwSince = Elapsed(Owed(pLedger, k).sentMs, nowMs);
    if (dwSince > pLedger->dwTimeoutMs) dwDelay = dwSince;
  }
  if (dwDelay != 0) LedgerNoteLate(pLedger, dwDelay, cController);
}

// A frame ended at nowMs that may be an answer, intact or not: a garbled
// answer shows the controller's pace as well as a good one. The longest
// delay seen grows with it; an answer in time lets it fade by a quarter, so
// that the waits shrink again once a slow spell is over.
void ObserveFrameEnd(LineLedger* pLedger, uint64_t nowMs) {
  if (pLedger->nOwed == 0) return;
  const uint32_t dwDelay = Elapsed(Owed(pLedger, 0).sentMs, nowMs);
  if (dwDelay > pLedger->dwObservedMs) {
    pLedger->dwObservedMs = dwDelay;
  } else if (dwDelay <= pLedger->dwTimeoutMs) {
    pLedger->dwObservedMs -= pLedger->dwObservedMs / 4;
  }
}

// The place of cController's facts: its own, or a place given to it.
ControllerFacts* PlaceOf(LineLedger* pLedger, uint8_t cController) {
  for (ControllerFacts& facts : pLedger->controllers) {
    if (facts.cAddress == cController) return &facts;
  }
  ControllerFacts& place = pLedger->controllers[pLedger->iNextPlace];
  pLedger->iNextPlace = static_cast<uint8_t>((pLedger->iNextPlace + 1) % kLedgerControllers);
  place = ControllerFacts{cController, 0, 0};
  return &place;
}

// An intact frame ended at nowMs: it pays the oldest answer owed.
void PayOldest(LineLedger* pLedger, uint64_t nowMs, uint8_t cController) {
  const uint32_t dwDelay = Elapsed(Owed(pLedger, 0).sentMs, nowMs);
  if (cController != kBroadcastAddress) {
    ControllerFacts* pFacts = PlaceOf(pLedger, cController);
    pFacts->dwLongestMs = std::max(pFacts->dwLongestMs, dwDelay);
  }
  if (pLedger->bSettling && dwDelay > pLedger->dwTimeoutMs) NoteLateDiscarded(pLedger, nowMs, cController);
  DropOldest(pLedger);
}

// An answer came sooner, or no sooner, than the line allows: the line is
// taken to keep time after enough answers in a row that did.
void LearnLineTime(LineLedger* pLedger, bool bEarly) {
  if (pLedger->dwCharUs == 0) return;
  if (bEarly) {
    pLedger->nInTime = 0;
    pLedger->bKeepsTime = false;
  } else if (pLedger->nInTime < kLedgerAnswersInTime) {
    ++pLedger->nInTime;
  }
  if (pLedger->nInTime >= kLedgerAnswersInTime) pLedger->bKeepsTime = true;
}

void NoteStray(LineLedger* pLedger, bool bEarly) {
  pLedger->nHearsAtOnce = 0;
  ++pLedger->nNotAnswers;
  ++pLedger->nStrays;
  pLedger->nLastStrayLen = pLedger->nChars;
  pLedger->bLastStrayEarly = bEarly;
  pLedger->bWantQuiet = true;
  if (bEarly) ++pLedger->nEarlySinceSent;
}

// Whether the frame just ended is the last request's own echo: a read
// request's always; another's once, before its answer: on a line that
// keeps time, when it came while the request was still leaving; elsewhere,
// where the line is known to echo.
bool IsOwnEcho(const LineLedger* pLedger, uint64_t endUs) {
  if (pLedger->nChars != pLedger->nOwnLen || pLedger->dwHash != pLedger->dwOwnHash) return false;
  if (pLedger->bOwnIsRead) return true;
  if (!pLedger->bEchoPending) return false;
  if (pLedger->bKeepsTime) return TooEarly(pLedger, pLedger->ownSentMs, pLedger->nOwnLen, endUs);
  return pLedger->bEchoes;
}

// An intact frame ended, its last character by endUs: an echo, a stray, or
// the oldest answer owed.
void FrameEnded(LineLedger* pLedger, uint64_t nowMs, uint64_t endUs) {
  if (IsOwnEcho(pLedger, endUs)) {
    pLedger->bEchoPending = false;
    // A retried write's first answer, late, comes as early as the retry's
    // echo and is byte for byte the same: with an earlier request owed, the
    // frame proves no echo.
    if (pLedger->bOwnIsRead || pLedger->nOwed <= 1) pLedger->bEchoes = true;
    ++pLedger->nNotAnswers;
    return;
  }
  if (pLedger->nOwed == 0) {
    NoteStray(pLedger, false);  // nobody asked for it here
    return;
  }
  const OwedAnswer& oldest = Owed(pLedger, 0);
  const bool bEarly = TooEarly(pLedger, oldest.sentMs, oldest.wRequestLen, endUs);
  if (bEarly && pLedger->bKeepsTime) {
    NoteStray(pLedger, true);
    return;
  }
  if (FasterThanTheLine(pLedger, oldest.sentMs, endUs)) {
    LearnLineTime(pLedger, true);
  } else if (bEarly) {
    // Too soon for an answer, yet as slow as a line: a stray on a line that
    // keeps time, or an answer from a peer that hears at once. It is taken
    // as the ledger says, and the next request waits for a quiet line, so
    // that a line out of step gets back in step before the rule is learned.
    if (pLedger->nHearsAtOnce < kLedgerAnswersInTime) {
      pLedger->bWantQuiet = true;
      pLedger->bQuietForEarly = true;
    }
  } else {
    LearnLineTime(pLedger, false);
  }
  ObserveFrameEnd(pLedger, nowMs);
  PayOldest(pLedger, nowMs, pLedger->cAddress);
}

// The latest time a character can have arrived: on a line that keeps time,
// each character of a read arrived a character time or more before the one
// after it, and the last by readUs.
uint64_t ArrivedByUs(const LineLedger* pLedger, uint64_t readUs, uint32_t nBehind) {
  const uint64_t before = uint64_t{nBehind} * pLedger->dwCharUs;
  return readUs > before ? readUs - before : 0;
}

// One character inside a frame, nBehind characters before the end of a read
// that returned by readUs; false when it ends or breaks the frame.
bool TakeFrameChar(LineLedger* pLedger, char c, uint64_t nowMs, uint64_t readUs, uint32_t nBehind) {
  ++pLedger->nChars;
  pLedger->dwHash = HashChar(pLedger->dwHash, c);
  const int digit = HexDigit(c);
  if (digit >= 0 && !pLedger->bCr) {
    if (pLedger->nDigits % 2 == 0) {
      pLedger->cHigh = static_cast<uint8_t>(digit);
    } else {
      const uint8_t cByte = static_cast<uint8_t>(pLedger->cHigh << 4 | digit);
      if (pLedger->nDigits == 1) pLedger->cAddress = cByte;
      pLedger->cSum = static_cast<uint8_t>(pLedger->cSum + cByte);
    }
    ++pLedger->nDigits;
    return true;
  }
  if (c == '\r' && !pLedger->bCr && pLedger->nDigits % 2 == 0) {
    pLedger->bCr = true;
    return true;
  }
  // The LRC makes the sum of every byte, itself included, zero.
  if (c == '\n' && pLedger->bCr && pLedger->nDigits >= kMinFrameDigits && pLedger->cSum == 0) {
    FrameEnded(pLedger, nowMs, ArrivedByUs(pLedger, readUs, nBehind));
  } else {
    ObserveFrameEnd(pLedger, nowMs);
  }
  return false;
}

void StartFrame(LineLedger* pLedger, uint64_t atUs) {
  pLedger->bInFrame = true;
  pLedger->bCr = false;
  pLedger->nDigits = 0;
  pLedger->cSum = 0;
  pLedger->nChars = 1;
  pLedger->dwHash = HashChar(kHashStart, ':');
  pLedger->startUs = atUs;
}

}  // namespace

void LedgerStart(LineLedger* pLedger, uint32_t dwTimeoutMs, uint32_t dwCharUs) {
  *pLedger = LineLedger{};
  pLedger->dwTimeoutMs = dwTimeoutMs;
  pLedger->dwCharUs = dwCharUs;
}

void LedgerNoteSent(LineLedger* pLedger, uint64_t sentMs, uint32_t dwLen, const char* pszRequest, SentKind kind) {
  const uint16_t wLen = static_cast<uint16_t>(dwLen > UINT16_MAX ? UINT16_MAX : dwLen);
  pLedger->nOwnLen = 0;
  pLedger->nEarlySinceSent = 0;
  if (pszRequest != nullptr) {
    pLedger->nOwnLen = wLen;
    pLedger->dwOwnHash = kHashStart;
    for (uint32_t i = 0; i < wLen; ++i) pLedger->dwOwnHash = HashChar(pLedger->dwOwnHash, pszRequest[i]);
  }
  pLedger->ownSentMs = sentMs;
  pLedger->bOwnIsRead = kind == SentKind::kRead;
  pLedger->bEchoPending = true;
  if (kind == SentKind::kBroadcast) return;
  if (pLedger->nOwed == kLedgerDepth) DropOldest(pLedger);
  pLedger->owed[(pLedger->iOldest + pLedger->nOwed) % kLedgerDepth] = OwedAnswer{sentMs, wLen};
  ++pLedger->nOwed;
}

void LedgerNoteInput(LineLedger* pLedger, const char* pBytes, uint32_t dwCount, uint64_t nowMs) {
  // The read returned before the next millisecond; on a line that keeps
  // time, each character before the last arrived a character time or more
  // before the one after it.
  const uint64_t readUs = (nowMs + 1) * 1000;
  for (uint32_t i = 0; i < dwCount; ++i) {
    const char c = pBytes[i];
    if (c == ':') {
      // A frame start; one under way without its end was broken off.
      StartFrame(pLedger, ArrivedByUs(pLedger, readUs, dwCount - 1 - i));
    } else if (pLedger->bInFrame) {
      pLedger->bInFrame = TakeFrameChar(pLedger, c, nowMs, readUs, dwCount - 1 - i);
    }
  }
}

bool LedgerOwes(const LineLedger* pLedger) {
  return pLedger->nOwed > 0 || pLedger->bInFrame;
}

bool LedgerFrameBeganEarly(const LineLedger* pLedger) {
  if (!pLedger->bInFrame || !pLedger->bKeepsTime || pLedger->dwCharUs == 0) return false;
  if (pLedger->nOwed == 0) return true;
  const OwedAnswer& oldest = Owed(pLedger, 0);
  return pLedger->startUs < EarliestUs(pLedger, oldest.sentMs, oldest.wRequestLen);
}

void LedgerNoteLeft(LineLedger* pLedger, uint64_t nowMs) {
  pLedger->leftMs = nowMs;
}

void LedgerNoteNoAnswer(LineLedger* pLedger) {
  if (pLedger->unansweredLeftMs == 0) pLedger->unansweredLeftMs = pLedger->leftMs;
  if (pLedger->nEarlySinceSent == 0) return;
  pLedger->bKeepsTime = false;
  pLedger->nInTime = 0;
}

uint32_t LedgerPaceMs(const LineLedger* pLedger) {
  return pLedger->dwObservedMs > pLedger->dwTimeoutMs ? pLedger->dwObservedMs : pLedger->dwTimeoutMs;
}

uint32_t LedgerQuietMs(const LineLedger* pLedger) {
  const uint64_t wait = uint64_t{LedgerPaceMs(pLedger)} + LedgerPaceMs(pLedger) / 4;
  return wait > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wait);
}

uint32_t LedgerIdleMs(const LineLedger* pLedger) {
  const uint32_t dwChars = static_cast<uint32_t>((uint64_t{kIdleChars} * pLedger->dwCharUs + 999) / 1000);
  return dwChars > kMinIdleMs ? dwChars : kMinIdleMs;
}

void LedgerNoteQuietWait(LineLedger* pLedger, uint32_t dwDiscarded) {
  pLedger->bWantQuiet = false;
  if (!pLedger->bQuietForEarly) return;
  pLedger->bQuietForEarly = false;
  if (dwDiscarded != 0) {
    pLedger->nHearsAtOnce = 0;
  } else if (pLedger->nHearsAtOnce < kLedgerAnswersInTime) {
    ++pLedger->nHearsAtOnce;
  }
}

void LedgerSettled(LineLedger* pLedger) {
  pLedger->nOwed = 0;
  pLedger->bInFrame = false;
  pLedger->quietFloorMs = 0;
  pLedger->leftMs = 0;
  pLedger->unansweredLeftMs = 0;
}

void LedgerNoteLate(LineLedger* pLedger, uint32_t dwMs, uint8_t cController) {
  if (cController != kBroadcastAddress) {
    ControllerFacts* pFacts = PlaceOf(pLedger, cController);
    pFacts->dwLateMs = std::max(pFacts->dwLateMs, dwMs);
  }
  if (dwMs <= pLedger->dwLateMs) return;
  pLedger->dwLateMs = dwMs;
  pLedger->cLateController = cController;
}

bool LedgerTakeLate(LineLedger* pLedger, uint32_t* pdwMs, unsigned* puController) {
  if (pLedger->dwLateMs == 0) return false;
  *pdwMs = pLedger->dwLateMs;
  *puController = pLedger->cLateController;
  pLedger->dwLateMs = 0;
  return true;
}

void LedgerNoteAnswerTaken(LineLedger* pLedger, uint64_t nowMs, uint8_t cController) {
  if (pLedger->unansweredLeftMs == 0) return;
  const uint32_t dwMs = Elapsed(pLedger->unansweredLeftMs, nowMs);
  if (dwMs > pLedger->dwTimeoutMs) LedgerNoteLate(pLedger, dwMs, cController);
}

const ControllerFacts* LedgerControllerFacts(const LineLedger* pLedger, uint8_t cController) {
  if (cController == kBroadcastAddress) return nullptr;
  for (const ControllerFacts& facts : pLedger->controllers) {
    if (facts.cAddress == cController) return &facts;
  }
  return nullptr;
}

}  // namespace sarn
