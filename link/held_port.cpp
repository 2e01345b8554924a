// The held port's own operations, the only way the layers above reach the
// line: every read and write on it feeds its ledger, and what the ledger
// then tells of the line (a stray frame, an echo the driver was not told
// of, whether the line keeps time) is logged here, where it is read. The
// settle that lets the answers in flight come lives here too.
#include <algorithm>

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/port.h"
#include "link/port_record.h"

namespace sarn {
namespace {

// Scratch size of one read of the quiet wait.
constexpr uint16_t kQuietChunk = 512;

// What the ledger had seen before a read, to log what the read added.
struct LineView {
  uint32_t nStrays = 0;
  bool bKeepsTime = false;
};

LineView ViewOf(const LineLedger* pLedger) {
  return LineView{pLedger->nStrays, pLedger->bKeepsTime};
}

void ReportLine(LineLedger* pLedger, const LineView& before) {
  if (pLedger->nStrays != before.nStrays) {
    const unsigned uLen = pLedger->nLastStrayLen;
    if (pLedger->bLastStrayEarly) {
      SARN_LOG(kMsgStrayEarly, uLen);
    } else {
      SARN_LOG(kMsgStrayUnowed, uLen);
    }
  }
  if (pLedger->bKeepsTime != before.bKeepsTime) {
    if (pLedger->bKeepsTime) {
      SARN_LOG(kMsgLineKeepsTime);
    } else {
      SARN_LOG(kMsgLineKeepsNoTime);
    }
  }
  if (pLedger->bEchoes && !pLedger->bEchoReported) {
    pLedger->bEchoReported = true;
    SARN_LOG(kMsgLineEchoes);
  }
}

// Bytes read on the held port at once: the ledger counts them.
void Noted(const PortHold* pHold, const void* pBytes, uint32_t dwCount) {
  LineLedger* pLedger = pHold->pLedger;
  if (pLedger == nullptr || dwCount == 0) return;
  const LineView before = ViewOf(pLedger);
  LedgerNoteInput(pLedger, static_cast<const char*>(pBytes), dwCount, PortNowMs());
  ReportLine(pLedger, before);
}

// Reads and discards until the line has been quiet for the idle span, for
// at most the reply time-out; the bytes discarded.
uint32_t WaitForQuiet(const PortHold* pHold) {
  const LineLedger* pLedger = pHold->pLedger;
  const uint32_t dwIdle = LedgerIdleMs(pLedger);
  const uint64_t bound = PortNowMs() + std::max(pLedger->dwTimeoutMs, dwIdle);
  if (PortSetReadTimeoutMs(pHold->hCom, dwIdle) != kPortOk) return 0;
  char scratch[kQuietChunk];
  uint32_t dwDiscarded = 0;
  for (;;) {
    uint32_t dwGot = 0;
    if (HeldReadWindow(pHold, scratch, kQuietChunk, &dwGot) != kPortOk || dwGot == 0) break;
    dwDiscarded += dwGot;
    if (PortNowMs() >= bound) break;
  }
  PortSetReadTimeoutMs(pHold->hCom, pLedger->dwTimeoutMs);
  return dwDiscarded;
}

enum class SettleEnd { kQuiet, kBusy, kFailed };

// The settle loop: one character at a time, so that it ends as soon as the
// last answer owed has come; each read waits no longer than the quiet wait
// left or the bound. *pdwWindow is the read time-out it set last (0: none).
SettleEnd WaitOutAnswers(const PortHold* pHold, uint32_t* pdwDiscarded, uint32_t* pdwWindow) {
  const SarnHandle hCom = pHold->hCom;
  LineLedger* pLedger = pHold->pLedger;
  const uint64_t start = PortNowMs();
  const uint64_t waits = std::max<uint64_t>(kSettleWindows, pLedger->nOwed);
  uint64_t quietSince = start;
  while (LedgerOwes(pLedger)) {
    // An answer discarded here may show the controller slower than thought:
    // the wait, and with it the bound, grow with what the line shows.
    const uint64_t quietMs = LedgerQuietMs(pLedger);
    const uint64_t bound = start + waits * LedgerPaceMs(pLedger);
    const uint64_t now = PortNowMs();
    // Answers of attempts that all went unanswered may still come up to the
    // floor: the line is not taken for quiet before it.
    const uint64_t quietEnd = std::max(quietSince + quietMs, pLedger->quietFloorMs);
    if (now >= quietEnd) return SettleEnd::kQuiet;
    if (now >= bound) return SettleEnd::kBusy;
    const uint32_t dwWait = static_cast<uint32_t>(std::min<uint64_t>(std::min(quietEnd, bound) - now, UINT32_MAX));
    if (dwWait != *pdwWindow && PortSetReadTimeoutMs(hCom, dwWait) != kPortOk) return SettleEnd::kFailed;
    *pdwWindow = dwWait;
    char c = 0;
    uint32_t dwGot = 0;
    if (HeldReadWindow(pHold, &c, 1, &dwGot) != kPortOk) return SettleEnd::kFailed;
    if (dwGot != 0) {
      ++*pdwDiscarded;
      quietSince = PortNowMs();
    }
  }
  return SettleEnd::kQuiet;
}

}  // namespace

PortResult HeldReadWindow(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead) {
  const PortResult rc = PortReadWindow(pHold->hCom, pBuf, wCount, pRead);
  Noted(pHold, pBuf, *pRead);
  return rc;
}

PortResult HeldRead(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead) {
  if (pRead != nullptr) *pRead = 0;
  char* pOut = static_cast<char*>(pBuf);
  uint32_t dwSum = 0;
  while (dwSum < wCount) {
    uint32_t dwGot = 0;
    if (HeldReadWindow(pHold, pOut + dwSum, static_cast<uint16_t>(wCount - dwSum), &dwGot) != kPortOk) {
      return kPortIoFailed;
    }
    if (dwGot == 0) return kPortIoFailed;
    dwSum += dwGot;
    if (pRead != nullptr) *pRead = dwSum;
  }
  return kPortOk;
}

void HeldDrainFrame(const PortHold* pHold, char* pScratch, uint16_t wRoom) {
  for (uint16_t i = 0; i < wRoom; ++i) {
    uint32_t dwGot = 0;
    if (HeldReadWindow(pHold, pScratch + i, 1, &dwGot) != kPortOk || dwGot == 0 || pScratch[i] == '\n') return;
  }
}

uint32_t HeldNotAnswers(const PortHold* pHold) {
  return pHold->pLedger != nullptr ? pHold->pLedger->nNotAnswers : 0;
}

uint32_t HeldStrays(const PortHold* pHold) {
  return pHold->pLedger != nullptr ? pHold->pLedger->nStrays : 0;
}

bool HeldInputWaiting(const PortHold* pHold) {
  uint32_t dwWaiting = 0;
  return PortInputQueue(pHold->hCom, &dwWaiting) == kPortOk && dwWaiting != 0;
}

bool HeldFrameBeganEarly(const PortHold* pHold) {
  return pHold->pLedger != nullptr && LedgerFrameBeganEarly(pHold->pLedger);
}

void QuietHeldPort(const PortHold* pHold, bool bQuiet) {
  LineLedger* pLedger = pHold->pLedger;
  if (pLedger == nullptr) {
    PortFlushInput(pHold->hCom);
    return;
  }
  uint32_t dwWaiting = 0;
  const bool bArriving = PortInputQueue(pHold->hCom, &dwWaiting) != kPortOk || dwWaiting != 0;
  if (!bArriving && !bQuiet && !pLedger->bWantQuiet) return;
  const uint32_t dwDiscarded = WaitForQuiet(pHold);
  LedgerNoteQuietWait(pLedger, bArriving ? dwDiscarded + 1 : dwDiscarded);
  if (dwDiscarded != 0) SARN_LOG(kMsgQuietDiscarded, static_cast<unsigned>(dwDiscarded));
}

bool HeldLineClean(const PortHold* pHold, uint32_t nStraysBefore) {
  if (HeldStrays(pHold) != nStraysBefore) return false;
  const LineLedger* pLedger = pHold->pLedger;
  if (pLedger == nullptr) return true;
  // The frame taken may have been another's, with the true answer right
  // behind it: the line must stay quiet for the idle span.
  if (PortSetReadTimeoutMs(pHold->hCom, LedgerIdleMs(pLedger)) != kPortOk) return false;
  char scratch[kQuietChunk];
  uint32_t dwGot = 0;
  const PortResult rc = HeldReadWindow(pHold, scratch, kQuietChunk, &dwGot);
  PortSetReadTimeoutMs(pHold->hCom, pLedger->dwTimeoutMs);
  if (rc == kPortOk && dwGot == 0) return true;
  pHold->pLedger->bWantQuiet = true;
  return false;
}

bool HoldsPort(const PortHold* pHold) {
  return pHold->hCom != kNoHandle;
}

PortResult HeldWrite(const PortHold* pHold, const char* pszRequest, uint32_t dwCount, SentKind kind) {
  uint32_t dwWritten = 0;
  // The request begins to leave no sooner than now: no answer can come
  // before its characters, and the answer's own, have crossed the line.
  const uint64_t sentMs = PortNowMs();
  const PortResult rc = PortWrite(pHold->hCom, pszRequest, dwCount, &dwWritten);
  if (rc != kPortOk) return rc;
  if (dwWritten != dwCount) return kPortShortWrite;
  // The controller answers a request that went out whole, whatever becomes
  // of this attempt.
  if (pHold->pLedger != nullptr) LedgerNoteSent(pHold->pLedger, sentMs, dwCount, pszRequest, kind);
  return kPortOk;
}

PortResult HeldReadEcho(const PortHold* pHold, void* pBuf, uint16_t wCount, uint32_t* pRead) {
  return PortRead(pHold->hCom, pBuf, wCount, pRead);
}

PortResult HeldSetRts(const PortHold* pHold, bool bRaised) {
  return PortSetRts(pHold->hCom, bRaised);
}

PortResult HeldOutputQueue(const PortHold* pHold, uint32_t* pdwPending) {
  return PortOutputQueue(pHold->hCom, pdwPending);
}

size_t HeldDescribeFailure(const PortHold* pHold, char* pszText, size_t size) {
  return PortDescribeFailure(pHold->hCom, pszText, size);
}

void NoteNoAnswer(const PortHold* pHold) {
  if (pHold->pLedger == nullptr) return;
  const LineView before = ViewOf(pHold->pLedger);
  LedgerNoteNoAnswer(pHold->pLedger);
  ReportLine(pHold->pLedger, before);
}

void NoteRequestLeft(const PortHold* pHold) {
  if (pHold->pLedger != nullptr) LedgerNoteLeft(pHold->pLedger, PortNowMs());
}

void NoteAttemptsUnanswered(const PortHold* pHold) {
  LineLedger* pLedger = pHold->pLedger;
  if (pLedger == nullptr || pLedger->leftMs == 0) return;
  pLedger->quietFloorMs = pLedger->leftMs + uint64_t{kSettleWindows} * LedgerPaceMs(pLedger);
}

void NoteAnswerTaken(const PortHold* pHold, uint8_t cController) {
  if (pHold->pLedger != nullptr) LedgerNoteAnswerTaken(pHold->pLedger, PortNowMs(), cController);
}

void SettleHeldPort(const PortHold* pHold) {
  LineLedger* pLedger = pHold->pLedger;
  if (pLedger == nullptr) return;
  if (!LedgerOwes(pLedger)) {
    LedgerSettled(pLedger);
    return;
  }
  uint32_t dwDiscarded = 0;
  uint32_t dwWindow = 0;
  pLedger->bSettling = true;
  const SettleEnd end = WaitOutAnswers(pHold, &dwDiscarded, &dwWindow);
  pLedger->bSettling = false;
  if (dwWindow != 0 && dwWindow != pLedger->dwTimeoutMs) PortSetReadTimeoutMs(pHold->hCom, pLedger->dwTimeoutMs);
  LedgerSettled(pLedger);
  if (end == SettleEnd::kQuiet) {
    SARN_LOG(kMsgSettleQuiet, static_cast<unsigned>(dwDiscarded));
  } else if (end == SettleEnd::kBusy) {
    SARN_LOG(kMsgSettleBusy, static_cast<unsigned>(dwDiscarded));
  } else {
    SARN_LOG(kMsgSettleFailed, static_cast<unsigned>(dwDiscarded));
  }
}

void ReportLateAnswer(const PortHold* pHold) {
  uint32_t dwLateMs = 0;
  unsigned uController = 0;
  if (pHold->pLedger == nullptr || !LedgerTakeLate(pHold->pLedger, &dwLateMs, &uController)) return;
  SARN_LOG(kMsgLateAnswer, uController, static_cast<unsigned>(dwLateMs),
           static_cast<unsigned>(pHold->pLedger->dwTimeoutMs));
}

}  // namespace sarn
