#include "link/line_ledger.h"

#include "link/hex.h"

namespace sarn {
namespace {

// The shortest intact frame: address, function and LRC.
constexpr uint16_t kMinFrameDigits = 6;
// FNV-1a, for recognising the request's own echo.
constexpr uint32_t kHashStart = 2166136261u;
constexpr uint32_t kHashPrime = 16777619u;

uint32_t HashChar(uint32_t dwHash, char c) {
  return (dwHash ^ static_cast<uint8_t>(c)) * kHashPrime;
}

uint64_t OwedSentMs(const LineLedger* pLedger, int k) {
  return pLedger->sentMs[(pLedger->iOldest + k) % kLedgerDepth];
}

void DropOldest(LineLedger* pLedger) {
  pLedger->iOldest = static_cast<uint8_t>((pLedger->iOldest + 1) % kLedgerDepth);
  --pLedger->nOwed;
}

uint32_t Elapsed(uint64_t fromMs, uint64_t toMs) {
  const uint64_t elapsed = toMs > fromMs ? toMs - fromMs : 0;
  return elapsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed);
}

// Notes an answer discarded while settling, later than the reply time-out.
// Which request it answers is not known; its delay is reckoned from the
// latest one it can answer that went out more than a time-out before it.
void NoteLateDiscarded(LineLedger* pLedger, uint64_t nowMs, uint8_t cController) {
  uint32_t dwDelay = 0;
  for (int k = pLedger->nOwed - 1; k >= 0 && dwDelay == 0; --k) {
    const uint32_t dwSince = Elapsed(OwedSentMs(pLedger, k), nowMs);
    if (dwSince > pLedger->dwTimeoutMs) dwDelay = dwSince;
  }
  if (dwDelay != 0) LedgerNoteLate(pLedger, dwDelay, cController);
}

// A frame ended at nowMs, intact or not: a garbled answer shows the
// controller's pace as well as a good one. The longest delay seen grows
// with it; an answer in time lets it fade by a quarter, so that the waits
// shrink again once a slow spell is over.
void ObserveFrameEnd(LineLedger* pLedger, uint64_t nowMs) {
  if (pLedger->nOwed == 0) return;
  const uint32_t dwDelay = Elapsed(OwedSentMs(pLedger, 0), nowMs);
  if (dwDelay > pLedger->dwObservedMs) {
    pLedger->dwObservedMs = dwDelay;
  } else if (dwDelay <= pLedger->dwTimeoutMs) {
    pLedger->dwObservedMs -= pLedger->dwObservedMs / 4;
  }
}

// An intact frame ended at nowMs: it pays the oldest answer owed.
void PayOldest(LineLedger* pLedger, uint64_t nowMs, uint8_t cController) {
  if (pLedger->nOwed == 0) return;  // nobody asked for it here
  const uint32_t dwDelay = Elapsed(OwedSentMs(pLedger, 0), nowMs);
  if (pLedger->bSettling && dwDelay > pLedger->dwTimeoutMs) NoteLateDiscarded(pLedger, nowMs, cController);
  DropOldest(pLedger);
}

// A frame ended intact: it pays an answer unless it is the request's echo.
void FrameEnded(LineLedger* pLedger, uint64_t nowMs) {
  const bool bOwnEcho = pLedger->nChars == pLedger->nOwnLen && pLedger->dwHash == pLedger->dwOwnHash;
  if (!bOwnEcho) PayOldest(pLedger, nowMs, pLedger->cAddress);
}

// One character inside a frame; false when it breaks the frame.
bool TakeFrameChar(LineLedger* pLedger, char c, uint64_t nowMs) {
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
  ObserveFrameEnd(pLedger, nowMs);
  if (c == '\n' && pLedger->bCr) {
    // The LRC makes the sum of every byte, itself included, zero.
    if (pLedger->nDigits >= kMinFrameDigits && pLedger->cSum == 0) FrameEnded(pLedger, nowMs);
  }
  return false;
}

}  // namespace

void LedgerStart(LineLedger* pLedger, uint32_t dwTimeoutMs) {
  *pLedger = LineLedger{};
  pLedger->dwTimeoutMs = dwTimeoutMs;
}

void LedgerNoteSent(LineLedger* pLedger, uint64_t nowMs, int nFrames, const char* pszEchoOnly, uint32_t dwLen) {
  pLedger->nOwnLen = 0;
  if (pszEchoOnly != nullptr && dwLen <= UINT16_MAX) {
    pLedger->nOwnLen = static_cast<uint16_t>(dwLen);
    pLedger->dwOwnHash = kHashStart;
    for (uint32_t i = 0; i < dwLen; ++i) pLedger->dwOwnHash = HashChar(pLedger->dwOwnHash, pszEchoOnly[i]);
  }
  for (int i = 0; i < nFrames; ++i) {
    if (pLedger->nOwed == kLedgerDepth) DropOldest(pLedger);
    pLedger->sentMs[(pLedger->iOldest + pLedger->nOwed) % kLedgerDepth] = nowMs;
    ++pLedger->nOwed;
  }
}

void LedgerNoteInput(LineLedger* pLedger, const char* pBytes, uint32_t dwCount, uint64_t nowMs) {
  if (dwCount == 0) return;
  for (uint32_t i = 0; i < dwCount; ++i) {
    const char c = pBytes[i];
    if (c == ':') {
      // A frame start; one under way without its end was broken off.
      pLedger->bInFrame = true;
      pLedger->bCr = false;
      pLedger->nDigits = 0;
      pLedger->cSum = 0;
      pLedger->nChars = 1;
      pLedger->dwHash = HashChar(kHashStart, c);
    } else if (pLedger->bInFrame) {
      pLedger->bInFrame = TakeFrameChar(pLedger, c, nowMs);
    }
  }
}

bool LedgerOwes(const LineLedger* pLedger) {
  return pLedger->nOwed > 0 || pLedger->bInFrame;
}

uint32_t LedgerPaceMs(const LineLedger* pLedger) {
  return pLedger->dwObservedMs > pLedger->dwTimeoutMs ? pLedger->dwObservedMs : pLedger->dwTimeoutMs;
}

uint32_t LedgerQuietMs(const LineLedger* pLedger) {
  const uint64_t wait = uint64_t{LedgerPaceMs(pLedger)} + LedgerPaceMs(pLedger) / 4;
  return wait > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wait);
}

void LedgerSettled(LineLedger* pLedger) {
  pLedger->nOwed = 0;
  pLedger->bInFrame = false;
}

void LedgerNoteLate(LineLedger* pLedger, uint32_t dwMs, uint8_t cController) {
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

}  // namespace sarn
