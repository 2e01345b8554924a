// One transaction at a time on each port, and the port's settled state.
//
// Two context blocks may name the same port (a block copied from another, or
// one the host did not clear), and a host may break its promise and run two
// transactions on one block at once. Their requests and replies must never
// interleave on the line, or each would take the other's answer. A
// transaction therefore holds its port's turn from its first request to its
// last retry; closing a port waits for the transaction under way on it.
//
// A port is unsettled after a transaction that may have left a reply in
// flight (an attempt that timed out, a partial or garbled reply, a reply of
// another request): a late answer could then be taken for the next request's.
// The next transaction first lets the line go quiet (SettleLine).
//
// The turn is re-entrant on one thread: the register read of a bit update
// runs inside the write that holds the turn.
#pragma once

#include <cstdint>

#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// The turn a transaction holds; iSlot is -1 while it holds none.
struct PortTurn {
  int iSlot = -1;
};

// Waits until no transaction of another thread runs on hCom, then holds
// its turn. A handle of no port takes no turn (the transaction then fails
// on the port by itself).
void TakePortTurn(SarnHandle hCom, PortTurn* pTurn);
// Gives the turn back; nothing when none is held.
void GivePortTurn(PortTurn* pTurn);

bool PortUnsettled(const PortTurn* pTurn);
void MarkPortUnsettled(const PortTurn* pTurn, bool bUnsettled);

// A port just opened as pszName: it starts settled, whatever an earlier port
// with the same handle value left behind, unless a port of that name was
// closed while unsettled (a host that reopens its port after a failure): a
// late answer may still be on that line.
void StartPortTurn(SarnHandle hCom, const char* pszName);
// A port closed (or given up): its turn is forgotten, and its name
// remembered if it was unsettled.
void RetirePortTurn(SarnHandle hCom, const char* pszName);

// Discards input until the line has been quiet for one read time-out of the
// port, reading at most kSettleWindows windows of that time-out; the bytes
// discarded go to *pdwDiscarded. True when the line went quiet, false when
// it was still busy (or failed) after the last window.
inline constexpr int kSettleWindows = 3;
bool SettleLine(SarnHandle hCom, uint32_t* pdwDiscarded);

}  // namespace sarn
