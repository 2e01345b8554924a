// The table of port records: one lock for the table, one condition variable
// on which transactions wait for a port's turn. Reads and writes on a port
// take neither: its turn is theirs alone while they hold it.
#include "link/port_record.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "link/port.h"
#include "sarn_line_time.h"

namespace sarn {
namespace {

enum class RecordState : uint8_t {
  kFree,
  kOpening,  // taken by an open under way: invisible to transactions
  kOpen,
  kClosing,  // a close under way: invisible to transactions
};

struct PortRecord {
  RecordState eState = RecordState::kFree;
  bool bHeld = false;  // a transaction or a close holds the turn
  int nWaiting = 0;    // threads waiting for the turn
  SarnHandle hCom = kNoHandle;
  const DriverContext* pOwner = nullptr;
  LineLedger ledger;
};

PortRecord g_records[kMaxOpenPorts];
std::mutex g_recordsLock;
std::condition_variable g_turnGiven;

// The record of an open port with that handle, or -1; the lock is held.
int FindOpen(SarnHandle hCom) {
  if (hCom == kNoHandle) return -1;
  for (int i = 0; i < kMaxOpenPorts; ++i) {
    if (g_records[i].eState == RecordState::kOpen && g_records[i].hCom == hCom) return i;
  }
  return -1;
}

// The record of pOwner's port hCom, open or with a close under way, or -1.
int FindOwned(const DriverContext* pOwner, SarnHandle hCom) {
  if (hCom == kNoHandle) return -1;
  for (int i = 0; i < kMaxOpenPorts; ++i) {
    const PortRecord& record = g_records[i];
    if (record.eState != RecordState::kFree && record.eState != RecordState::kOpening && record.hCom == hCom &&
        record.pOwner == pOwner) {
      return i;
    }
  }
  return -1;
}

// The platform hands out only handles that are not open: a record that
// still names a newly opened handle is stale (its port went without the
// module closing it) and is forgotten. The lock is held.
void ForgetStale(SarnHandle hCom) {
  for (PortRecord& record : g_records) {
    if (record.eState == RecordState::kOpen && record.hCom == hCom && !record.bHeld) {
      record.eState = RecordState::kFree;
      record.hCom = kNoHandle;
      record.pOwner = nullptr;
    }
  }
}

int ReserveRecord() {
  const std::lock_guard<std::mutex> lock(g_recordsLock);
  for (int i = 0; i < kMaxOpenPorts; ++i) {
    if (g_records[i].eState == RecordState::kFree) {
      g_records[i].eState = RecordState::kOpening;
      return i;
    }
  }
  return -1;
}

// Waits until record i's turn is free, then holds it; the lock is held.
void HoldTurn(std::unique_lock<std::mutex>* pLock, int i) {
  PortRecord& record = g_records[i];
  ++record.nWaiting;
  g_turnGiven.wait(*pLock, [&record] { return !record.bHeld; });
  --record.nWaiting;
  record.bHeld = true;
}

// Gives record i's turn back; the lock is held.
void ReleaseTurn(int i) {
  g_records[i].bHeld = false;
  if (g_records[i].nWaiting > 0) g_turnGiven.notify_all();
}

// Takes pOwner's port hCom out of the transactions' sight and holds its
// turn once the transaction under way has ended; -1 when it is not pOwner's.
int HoldForClosing(const DriverContext* pOwner, SarnHandle hCom) {
  std::unique_lock<std::mutex> lock(g_recordsLock);
  const int i = FindOwned(pOwner, hCom);
  if (i < 0) return -1;
  g_records[i].eState = RecordState::kClosing;
  HoldTurn(&lock, i);
  return i;
}

// Ends a close of record i: frees it after a close that succeeded, else
// makes it open again.
void EndClosing(int i, bool bClosed) {
  const std::lock_guard<std::mutex> lock(g_recordsLock);
  PortRecord& record = g_records[i];
  if (bClosed) {
    record.eState = RecordState::kFree;
    record.hCom = kNoHandle;
    record.pOwner = nullptr;
  } else {
    record.eState = RecordState::kOpen;
  }
  ReleaseTurn(i);
}

// One character's time on the line the settings name (0 for none).
uint32_t LineCharUs(const LineSettings* pLine) {
  if (pLine == nullptr) return 0;
  return CharTimeUs(pLine->wBaud, pLine->wDataBits & 0xFFu, static_cast<uint8_t>(pLine->wParity & 0xFFu),
                    static_cast<uint8_t>(pLine->wStopBits & 0xFFu));
}

}  // namespace

PortResult OpenPortRecord(const PortOpening& opening, SarnHandle* phCom, bool* pbRtsByDevice) {
  *phCom = kNoHandle;
  if (pbRtsByDevice != nullptr) *pbRtsByDevice = false;
  const int i = ReserveRecord();
  if (i < 0) return kPortOpenFailed;
  SarnHandle hCom = kNoHandle;
  const PortResult rc = PortOpen(opening.pszName, opening.pLine, opening.wControl, &hCom);
  if (rc != kPortOk) {
    const std::lock_guard<std::mutex> lock(g_recordsLock);
    g_records[i].eState = RecordState::kFree;
    return rc;
  }
  if (opening.bRtsByDevice && PortRtsByDevice(hCom) && pbRtsByDevice != nullptr) *pbRtsByDevice = true;
  if (opening.iTimeout > 0) PortSetTimeout(hCom, opening.iTimeout);

  const std::lock_guard<std::mutex> lock(g_recordsLock);
  ForgetStale(hCom);
  PortRecord& record = g_records[i];
  record.hCom = hCom;
  record.pOwner = opening.pOwner;
  LedgerStart(&record.ledger, opening.iTimeout > 0 ? PortTimeoutToMs(opening.iTimeout) : kPortDefaultReadTimeoutMs,
              LineCharUs(opening.pLine));
  record.bHeld = false;
  record.eState = RecordState::kOpen;
  *phCom = hCom;
  return kPortOk;
}

bool OwnsPortRecord(const DriverContext* pOwner, SarnHandle hCom) {
  const std::lock_guard<std::mutex> lock(g_recordsLock);
  const int i = FindOpen(hCom);
  return i >= 0 && g_records[i].pOwner == pOwner;
}

PortResult ClosePortRecord(const DriverContext* pOwner, SarnHandle hCom) {
  const int i = HoldForClosing(pOwner, hCom);
  if (i < 0) return kPortIoFailed;
  const PortHold hold{i, hCom, &g_records[i].ledger};
  SettleHeldPort(&hold);
  ReportLateAnswer(&hold);
  const PortResult rc = PortClose(hCom);
  EndClosing(i, rc == kPortOk);
  return rc;
}

void AbandonPortRecord(const DriverContext* pOwner, SarnHandle hCom) {
  const int i = HoldForClosing(pOwner, hCom);
  PortClose(hCom);
  if (i >= 0) EndClosing(i, true);
}

void TakePort(SarnHandle hCom, PortHold* pHold) {
  *pHold = PortHold{};
  std::unique_lock<std::mutex> lock(g_recordsLock);
  for (;;) {
    const int i = FindOpen(hCom);
    if (i < 0) return;
    if (!g_records[i].bHeld) {
      g_records[i].bHeld = true;
      *pHold = PortHold{i, hCom, &g_records[i].ledger};
      return;
    }
    // The port may be closed, and its record reused, while this thread
    // waits: it looks again when woken.
    ++g_records[i].nWaiting;
    g_turnGiven.wait(lock);
    --g_records[i].nWaiting;
  }
}

void GivePort(PortHold* pHold) {
  if (pHold->iRecord >= 0) {
    const std::lock_guard<std::mutex> lock(g_recordsLock);
    ReleaseTurn(pHold->iRecord);
  }
  *pHold = PortHold{};
}

}  // namespace sarn
