#include "transact/transaction_run.h"

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "transact/retry_budget.h"

namespace sarn {
namespace {

// Lets a line that an earlier transaction left unsettled go quiet, so that a
// late answer to that transaction is not taken for this one's.
void SettleBeforeRequest(const DriverContext* pContext, const PortTurn* pTurn) {
  if (!PortUnsettled(pTurn)) return;
  uint32_t dwDiscarded = 0;
  if (SettleLine(pContext->hCom, &dwDiscarded)) {
    SARN_LOG(kMsgSettleQuiet, static_cast<unsigned>(dwDiscarded));
  } else {
    SARN_LOG(kMsgSettleBusy, static_cast<unsigned>(dwDiscarded));
  }
  MarkPortUnsettled(pTurn, false);
}

// One pass: send the request, receive the reply and judge it.
Fault RunPass(TransactionRun* pRun, const PassPolicy& policy, int iAttempt) {
  DriverContext* pContext = pRun->pRequest->pContext;
  if (Send(pContext, pRun->pszText, pRun->iLen) != Fault::kNone) {
    pRun->bExceptionNoted = false;
    SARN_LOG(policy.sendError, iAttempt);
    return Fault::kNotSent;
  }
  const Fault fault = ReceiveReply(pContext->hCom, &pRun->expected, pContext->rxBuf, &pRun->head);
  if (fault != Fault::kNone) NoteOwnRequest(pRun->pszText, pRun->iLen + 2, pContext->rxBuf, fault, &pRun->head);
  if (fault == Fault::kNoFrameStart) pRun->bExceptionNoted = false;
  return policy.pfnJudge(pRun, fault, iAttempt);
}

bool SpendsOtherRequestBudget(Fault fault, const PassPolicy& policy) {
  return IsOtherRequest(fault) || (policy.bExceptionRetriedAsOtherRequest && fault == Fault::kException);
}

}  // namespace

Fault RunTransaction(TransactionRun* pRun, const PortTurn* pTurn, const PassPolicy& policy) {
  SettleBeforeRequest(pRun->pRequest->pContext, pTurn);
  RetryBudget budget;
  Fault fault = Fault::kNone;
  bool bInFlight = false;
  do {
    if (!budget.StartPass(SpendsOtherRequestBudget(fault, policy), policy.lenMessage, pRun->iLen, policy.passMessage,
                          pRun->head.iLen)) {
      break;
    }
    fault = RunPass(pRun, policy, budget.Attempt());
    if (fault != Fault::kNone && !IsException(fault)) bInFlight = true;
  } while (budget.AnotherPass(fault != Fault::kNone));
  if (bInFlight) MarkPortUnsettled(pTurn, true);
  return fault;
}

ResultCode HostResult(Fault fault) {
  switch (fault) {
    case Fault::kNone:
      return SARN_OK;
    case Fault::kStopped:
    case Fault::kNotSent:
    case Fault::kNoReply:
    case Fault::kNoFrameStart:
    case Fault::kBrokenOff:
    case Fault::kNoData:
    case Fault::kExceptionDeviceFailure:
      return SARN_LINE_FAIL;
    default:
      // Refused unsent, a reply of another request, an exception, a reply
      // that failed a check.
      return SARN_REFUSED;
  }
}

}  // namespace sarn
