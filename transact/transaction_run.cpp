#include "transact/transaction_run.h"

#include "hostlog/host_log.h"
#include "transact/pass_state.h"
#include "transact/retry_budget.h"

namespace sarn {
namespace {

// Lets a line that an earlier transaction left unsettled go quiet, so that a
// late answer to that transaction is not taken for this one's.
void SettleBeforeRequest(const DriverContext* pContext, const PortTurn* pTurn) {
  if (!PortUnsettled(pTurn)) return;
  uint32_t dwDiscarded = 0;
  if (SettleLine(pContext->hCom, &dwDiscarded)) {
    err(kLogTrace, "SARNMD> SettleLine() %u bytes discarded, line quiet", static_cast<unsigned>(dwDiscarded));
  } else {
    err(kLogTrace, "SARNMD> SettleLine() %u bytes discarded, line still busy, request sent anyway",
        static_cast<unsigned>(dwDiscarded));
  }
  MarkPortUnsettled(pTurn, false);
}

}  // namespace

int RunTransaction(TransactionRun* pRun, const PortTurn* pTurn, PassFn pfnPass, const PassTrace& trace) {
  SettleBeforeRequest(pRun->pRequest->pContext, pTurn);
  RetryBudget budget;
  int iState = kPassOk;
  bool bInFlight = false;
  do {
    if (!budget.StartPass(iState, trace.pszLenFormat, pRun->iLen, trace.pszPassFormat, pRun->iReplyLen)) break;
    pRun->bAnswered = false;
    iState = pfnPass(pRun, budget.Attempt());
    if (iState != kPassOk && !pRun->bAnswered) bInFlight = true;
  } while (budget.AnotherPass(iState));
  if (bInFlight) MarkPortUnsettled(pTurn, true);
  return iState;
}

ResultCode TransactionResult(int iState) {
  // A reply of another request, to the last, is a refusal of this one.
  return iState == kPassWrongReply ? SARN_REFUSED : iState;
}

}  // namespace sarn
