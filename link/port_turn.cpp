// Turns of the ports: a table of per-port locks and settled flags, keyed by
// handle value. Nothing is allocated: the table has a slot for every port the
// module can hold open at once.
#include "link/port_turn.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "link/port.h"

namespace sarn {
namespace {

struct TurnSlot {
  std::atomic<SarnHandle> hCom{kNoHandle};
  std::recursive_mutex lock;
  std::atomic<bool> bUnsettled{false};
};

TurnSlot g_turns[kMaxOpenPorts];
// Serialises giving a handle a slot and taking it away; a transaction that
// finds its handle's slot reads the table without it.
std::mutex g_claimLock;

// Names of ports closed while unsettled: a late answer may still come on
// the line after the port is opened again under the same name. An empty
// entry is free. Guarded by g_claimLock.
char g_unsettledNames[kMaxOpenPorts][SARN_MAX_PORT_NAME + 1];

// Input read per settle window.
constexpr uint16_t kSettleChunk = 256;

// Where the search for a handle's slot starts. Win32 handles are multiples
// of four, POSIX handles small numbers: either spreads over the table.
template <typename Handle>
uintptr_t HandleBits(Handle hCom) {
  if constexpr (std::is_pointer_v<Handle>) {
    return reinterpret_cast<uintptr_t>(hCom) >> 2;
  } else {
    return static_cast<uintptr_t>(hCom);
  }
}

int HomeSlot(SarnHandle hCom) {
  return static_cast<int>(HandleBits(hCom) % kMaxOpenPorts);
}

int Find(SarnHandle hCom) {
  const int iHome = HomeSlot(hCom);
  for (int k = 0; k < kMaxOpenPorts; ++k) {
    const int i = (iHome + k) % kMaxOpenPorts;
    if (g_turns[i].hCom.load(std::memory_order_acquire) == hCom) return i;
  }
  return -1;
}

// A slot nobody holds, for a handle without one. When every slot names a
// handle (ports that vanished without being closed), one that no transaction
// holds is taken over.
int FreeSlot(SarnHandle hCom) {
  const int iFree = Find(kNoHandle);
  if (iFree >= 0) return iFree;
  const int iHome = HomeSlot(hCom);
  for (int k = 0; k < kMaxOpenPorts; ++k) {
    const int i = (iHome + k) % kMaxOpenPorts;
    if (g_turns[i].lock.try_lock()) {
      g_turns[i].lock.unlock();
      return i;
    }
  }
  return iHome;  // every slot busy: share one; turns are then only coarser
}

// The slot of hCom, given one when it has none; g_claimLock is held.
int ClaimLocked(SarnHandle hCom) {
  int i = Find(hCom);
  if (i >= 0) return i;
  i = FreeSlot(hCom);
  g_turns[i].bUnsettled.store(false, std::memory_order_relaxed);
  g_turns[i].hCom.store(hCom, std::memory_order_release);
  return i;
}

int FindOrClaim(SarnHandle hCom) {
  const int iFound = Find(hCom);
  if (iFound >= 0) return iFound;
  const std::lock_guard<std::mutex> claim(g_claimLock);
  return ClaimLocked(hCom);
}

// The entry of g_unsettledNames holding pszName, or -1; g_claimLock is held.
int FindUnsettledName(const char* pszName) {
  for (int i = 0; i < kMaxOpenPorts; ++i) {
    if (g_unsettledNames[i][0] != '\0' && strncmp(g_unsettledNames[i], pszName, SARN_MAX_PORT_NAME + 1) == 0) return i;
  }
  return -1;
}

// Remembers pszName as unsettled; g_claimLock is held. With every entry
// taken, the first is overwritten: the names are a safeguard, not a record.
void RememberUnsettledName(const char* pszName) {
  if (FindUnsettledName(pszName) >= 0) return;
  int iFree = -1;
  for (int i = 0; i < kMaxOpenPorts && iFree < 0; ++i) {
    if (g_unsettledNames[i][0] == '\0') iFree = i;
  }
  if (iFree < 0) iFree = 0;
  strncpy(g_unsettledNames[iFree], pszName, SARN_MAX_PORT_NAME);
  g_unsettledNames[iFree][SARN_MAX_PORT_NAME] = '\0';
}

// Forgets hCom's slot; g_claimLock is held. True when it was unsettled.
bool ForgetLocked(SarnHandle hCom) {
  const int i = Find(hCom);
  if (i < 0) return false;
  const bool bUnsettled = g_turns[i].bUnsettled.load(std::memory_order_relaxed);
  g_turns[i].bUnsettled.store(false, std::memory_order_relaxed);
  g_turns[i].hCom.store(kNoHandle, std::memory_order_release);
  return bUnsettled;
}

}  // namespace

void TakePortTurn(SarnHandle hCom, PortTurn* pTurn) {
  pTurn->iSlot = -1;
  if (hCom == kNoHandle) return;
  for (;;) {
    const int i = FindOrClaim(hCom);
    g_turns[i].lock.lock();
    // The port may have been closed, and its slot given to another, while
    // this thread waited: then it looks again.
    if (g_turns[i].hCom.load(std::memory_order_acquire) == hCom) {
      pTurn->iSlot = i;
      return;
    }
    g_turns[i].lock.unlock();
  }
}

void GivePortTurn(PortTurn* pTurn) {
  if (pTurn->iSlot < 0) return;
  g_turns[pTurn->iSlot].lock.unlock();
  pTurn->iSlot = -1;
}

bool PortUnsettled(const PortTurn* pTurn) {
  return pTurn->iSlot >= 0 && g_turns[pTurn->iSlot].bUnsettled.load(std::memory_order_relaxed);
}

void MarkPortUnsettled(const PortTurn* pTurn, bool bUnsettled) {
  if (pTurn->iSlot >= 0) g_turns[pTurn->iSlot].bUnsettled.store(bUnsettled, std::memory_order_relaxed);
}

void StartPortTurn(SarnHandle hCom, const char* pszName) {
  if (hCom == kNoHandle) return;
  const std::lock_guard<std::mutex> claim(g_claimLock);
  ForgetLocked(hCom);
  const int iName = FindUnsettledName(pszName);
  if (iName < 0) return;
  g_unsettledNames[iName][0] = '\0';
  g_turns[ClaimLocked(hCom)].bUnsettled.store(true, std::memory_order_relaxed);
}

void RetirePortTurn(SarnHandle hCom, const char* pszName) {
  if (hCom == kNoHandle) return;
  const std::lock_guard<std::mutex> claim(g_claimLock);
  if (ForgetLocked(hCom) && pszName[0] != '\0') RememberUnsettledName(pszName);
}

bool SettleLine(SarnHandle hCom, uint32_t* pdwDiscarded) {
  *pdwDiscarded = 0;
  char scratch[kSettleChunk];
  for (int iWindow = 0; iWindow < kSettleWindows; ++iWindow) {
    uint32_t dwGot = 0;
    if (PortReadWindow(hCom, scratch, kSettleChunk, &dwGot) != kPortOk) return false;
    *pdwDiscarded += dwGot;
    if (dwGot == 0) return true;
  }
  return false;
}

}  // namespace sarn
