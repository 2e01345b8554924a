// Turns of the ports: a table of per-port locks and settled flags, keyed by
// handle value. Nothing is allocated: the table has a slot for every port the
// module can hold open at once.
#include "link/port_turn.h"

#include <atomic>
#include <cstdint>
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

int FindOrClaim(SarnHandle hCom) {
  const int iFound = Find(hCom);
  if (iFound >= 0) return iFound;
  const std::lock_guard<std::mutex> claim(g_claimLock);
  int i = Find(hCom);
  if (i >= 0) return i;
  i = FreeSlot(hCom);
  g_turns[i].bUnsettled.store(false, std::memory_order_relaxed);
  g_turns[i].hCom.store(hCom, std::memory_order_release);
  return i;
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

void ForgetPortTurn(SarnHandle hCom) {
  if (hCom == kNoHandle) return;
  const std::lock_guard<std::mutex> claim(g_claimLock);
  const int i = Find(hCom);
  if (i < 0) return;
  g_turns[i].bUnsettled.store(false, std::memory_order_relaxed);
  g_turns[i].hCom.store(kNoHandle, std::memory_order_release);
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
