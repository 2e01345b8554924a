#include "transact/transaction_run.h"

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/context_port.h"
#include "link/port.h"
#include "sarn_line_time.h"
#include "transact/retry_budget.h"

namespace sarn {
namespace {

// A retry after a time-out: an answer to an earlier attempt that is
// arriving as the retry is due answers the same question. It is read, not
// discarded before the retry goes out; true when it passed the frame
// layer's checks.
bool EarlierAnswerTaken(TransactionRun* pRun) {
  // The inter-frame gap is kept before the check too: an answer that comes
  // during it would otherwise be discarded by the retry's own gap.
  const DriverContext* pContext = pRun->pRequest->pContext;
  if (pContext->iIfg != 0) PortPause(pContext->iIfg);
  if (!HeldInputWaiting(pRun->pPort)) return false;
  return ReceiveReply(pRun->pPort, &pRun->expected, pRun->pRequest->pContext->rxBuf, &pRun->head) == Fault::kNone;
}

// One pass: send the request, receive the reply and judge it.
Fault RunPass(TransactionRun* pRun, const PassPolicy& policy, int iAttempt, bool bAfterTimeOut) {
  if (bAfterTimeOut && EarlierAnswerTaken(pRun)) return policy.pfnJudge(pRun, Fault::kNone, iAttempt);
  DriverContext* pContext = pRun->pRequest->pContext;
  if (Send(pContext, pRun->pPort, pRun->request) != Fault::kNone) {
    pRun->bExceptionNoted = false;
    SARN_LOG(policy.sendError, iAttempt);
    return Fault::kNotSent;
  }
  const Fault fault = ReceiveReply(pRun->pPort, &pRun->expected, pContext->rxBuf, &pRun->head);
  if (fault != Fault::kNone) {
    NoteOwnRequest(pRun->request.pszText, SentLength(pRun->request), pContext->rxBuf, fault, &pRun->head);
  }
  if (fault == Fault::kNoFrameStart) pRun->bExceptionNoted = false;
  return policy.pfnJudge(pRun, fault, iAttempt);
}

// An attempt whose answer did not come in time, and an answer taken after
// it: the controller answered later than the reply time-out (or the
// attempt's request was lost on the way, which the line cannot tell).
void WatchForLateAnswer(TransactionRun* pRun, Fault fault) {
  if (fault == Fault::kNoReply) {
    NoteNoAnswer(pRun->pPort);
  } else {
    pRun->bAnswered = true;
  }
  if (fault == Fault::kNone) NoteAnswerTaken(pRun->pPort, pRun->expected.cController);
}

bool SpendsOtherRequestBudget(Fault fault, const PassPolicy& policy) {
  return IsOtherRequest(fault) || (policy.bExceptionRetriedAsOtherRequest && fault == Fault::kException);
}

// Traces every pass but the first: the request length once, then the send
// attempts left and the last reply's length; and a reply of another request,
// with the attempts left for those, when one is to be tried again.
void TraceRetry(const TransactionRun* pRun, const PassPolicy& policy, const RetryBudget& budget, bool bOtherRequest,
                bool* pbLenTraced) {
  if (budget.Retrying()) {
    if (!*pbLenTraced) err(policy.lenMessage.iLevel, policy.lenMessage.pszFormat, LengthWithLrc(pRun->request));
    *pbLenTraced = true;
    err(policy.passMessage.iLevel, policy.passMessage.pszFormat, budget.sRetry, pRun->head.iLen);
  }
  if (bOtherRequest && budget.sTries != 0) SARN_LOG(kMsgWrongReceive, budget.sTries);
}

}  // namespace

Fault RunTransaction(TransactionRun* pRun, const PassPolicy& policy) {
  // A late answer to an earlier transaction is not taken for this one's.
  SettleHeldPort(pRun->pPort);
  RetryBudget budget;
  Fault fault = Fault::kNone;
  bool bLenTraced = false;
  do {
    const bool bOtherRequest = SpendsOtherRequestBudget(fault, policy);
    TraceRetry(pRun, policy, budget, bOtherRequest, &bLenTraced);
    if (!budget.StartPass(bOtherRequest)) break;
    fault = RunPass(pRun, policy, budget.Attempt(), fault == Fault::kNoReply);
    WatchForLateAnswer(pRun, fault);
  } while (budget.AnotherPass(fault != Fault::kNone));
  // Not one attempt was answered: their answers are owed at the controller's
  // pace, which the line may not have shown yet.
  if (!pRun->bAnswered) NoteAttemptsUnanswered(pRun->pPort);
  ReportLateAnswer(pRun->pPort);
  return fault;
}

Fault RunBroadcast(TransactionRun* pRun) {
  SettleHeldPort(pRun->pPort);
  DriverContext* pContext = pRun->pRequest->pContext;
  if (Send(pContext, pRun->pPort, pRun->request) != Fault::kNone) return Fault::kNotSent;
  SARN_LOG(kMsgWriteBroadcast);
  // Every controller works on it at once, once it has left the port (the
  // line time at the widest character): the line is given their turnaround
  // before the next request.
  const uint64_t lineMs =
      TwiceLineTimeMs(pContext->port.line.wBaud, static_cast<uint32_t>(SentLength(pRun->request))) / 2;
  PortPause(static_cast<uint32_t>(lineMs) + kBroadcastTurnaroundMs);
  return Fault::kNone;
}

ResultCode OnContextPort(DriverRequest* pRequest, PortOperation fnOperation) {
  PortHold port;
  TakePort(ContextPort(pRequest->pContext), &port);
  const ResultCode rc = fnOperation(pRequest, &port);
  GivePort(&port);
  return rc;
}

ResultCode HostResult(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return SARN_OK;
    case Fault::kStopped:
    case Fault::kNotSent:
    case Fault::kLineDoubtful:
    case Fault::kNoReply:
    case Fault::kNoFrameStart:
    case Fault::kBrokenOff:
    case Fault::kNoData:
    case Fault::kEarlyFrame:
    case Fault::kExceptionDeviceFailure:
      return SARN_LINE_FAIL;
    default:
      // Refused unsent, a GTC mask not written, a reply of another request,
      // an exception, a reply that failed a check.
      return SARN_REFUSED;
  }
}

}  // namespace sarn
