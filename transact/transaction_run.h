// The retry routine the read and the write transaction share: the passes of
// one request under the retry budget, on a line that has settled.
#pragma once

#include "hostlog/log_messages.h"
#include "link/fault.h"
#include "link/frame.h"
#include "link/port_record.h"
#include "link/request_writer.h"
#include "sarnmd.h"

namespace sarn {

// One transaction under way: its request, the reply it expects, and what
// its passes saw.
struct TransactionRun {
  DriverRequest* pRequest = nullptr;
  const PortHold* pPort = nullptr;  // the context's port, held for the transaction
  RequestWriter request;            // the request's fields, in the context's txBuf
  ExpectedReply expected;           // built with the request
  ReplyHead head;                   // of the last reply read
  bool bAnswered = false;           // some attempt got a reply, of whatever kind
  // Whether "received 0x80 error code" was logged since the last request
  // that failed to go out or whose reply had no frame start: a run of
  // exception replies is logged once.
  bool bExceptionNoted = false;
};

// Judges the reply of a pass in its transaction's terms: logs what the
// fault the frame layer found means, or checks what only the transaction can
// (a read's data) when it found none. Returns the pass's fault.
using JudgeFn = Fault (*)(TransactionRun* pRun, Fault fault, int iAttempt);

// How a transaction's passes are judged, traced and retried.
struct PassPolicy {
  JudgeFn pfnJudge;
  const LogMessage& sendError;    // a request that did not go out, with the attempt's number
  const LogMessage& lenMessage;   // the request length, traced once after the first pass
  const LogMessage& passMessage;  // the attempts left and the last reply length, before every further pass
  // Writes retry an exception reply of code 1, 6, 7, 8 or another on the
  // budget of replies to other requests, as they retry those; reads spend a
  // send attempt on it.
  bool bExceptionRetriedAsOtherRequest;
};

// Runs passes of pRun (send the request, receive the reply, judge it) until
// one succeeds or the budget is spent, on the port pRun holds. Before the
// first request the answers an earlier transaction left in flight are let
// come (the port's ledger knows them: every attempt sent whose answer was
// not read); afterwards an answer that came later than the reply time-out
// is reported. Returns the last pass's fault.
Fault RunTransaction(TransactionRun* pRun, const PassPolicy& policy);

// The turnaround a write to every controller leaves the line before the
// next request: the time controllers take to carry it out.
inline constexpr uint32_t kBroadcastTurnaroundMs = 100;
// Sends pRun's request to every controller (address 0) once, on a line that
// has settled: no controller answers it, so no answer is awaited or owed.
// Returns after the request has left and the controllers' turnaround.
Fault RunBroadcast(TransactionRun* pRun);

// Runs a read or write on the context's port, holding the port's turn for
// the whole of it: every request and retry, a bit update's register read
// and a GTC block's two masks. A context without an open port runs it on no
// port, where it fails.
using PortOperation = ResultCode (*)(DriverRequest* pRequest, const PortHold* pPort);
ResultCode OnContextPort(DriverRequest* pRequest, PortOperation fnOperation);

// What a host is told of a transaction that ended in fault: 0 done, 1
// refused or failed on content, 2 failed on the port or the line.
ResultCode HostResult(Fault fault);

}  // namespace sarn
