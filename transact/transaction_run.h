// The retry routine the read and the write transaction share: the passes of
// one request under the retry budget, on a line that has settled.
#pragma once

#include "link/frame.h"
#include "link/port_turn.h"
#include "sarnmd.h"

namespace sarn {

// One transaction under way: its request, its reply and what its passes saw.
struct TransactionRun {
  DriverRequest* pRequest = nullptr;
  char* pszText = nullptr;  // the request frame (the context's txBuf)
  int iLen = 0;             // its length, CR LF included
  int iReplyLen = 0;        // characters of the last reply read
  LastError last;           // what went wrong last
  bool bAnswered = false;   // the pass got a complete exception reply from its controller
};

// One pass: send the request, receive and check its reply; a PassState.
using PassFn = int (*)(TransactionRun* pRun, int iAttempt);

// The traces of a transaction's passes after the first: the request length
// once, then the attempts left and the last reply length.
struct PassTrace {
  const char* pszLenFormat;
  const char* pszPassFormat;
};

// Runs passes of pRun until one succeeds or the budget is spent; the caller
// holds the turn of the context's port. Before the first request a line left
// unsettled by an earlier transaction is let go quiet; a transaction in which
// a pass may have left a reply in flight (no reply, a partial, garbled or
// foreign one) leaves the line unsettled for the next. A pass answered by an
// exception reply leaves nothing in flight. Returns the final PassState.
int RunTransaction(TransactionRun* pRun, const PortTurn* pTurn, PassFn pfnPass, const PassTrace& trace);

// The host's result of a transaction's final pass state.
ResultCode TransactionResult(int iState);

}  // namespace sarn
