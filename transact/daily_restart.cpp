#include "transact/daily_restart.h"

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/port.h"
#include "link/port_turn.h"

namespace sarn {

std::atomic<int> iRestartDay{0};

ResultCode RestartLine(DriverContext* pContext) {
  if (pContext->bComOpen != 0 && pContext->hCom != kNoHandle) {
    // Not in the middle of another block's transaction on the same port.
    PortTurn turn;
    TakePortTurn(pContext->hCom, &turn);
    PortFlushInput(pContext->hCom);
    GivePortTurn(&turn);
  }
  SARN_LOG(kMsgWarmStart);
  return SARN_OK;
}

void DailyRestart(DriverContext* pContext) {
  const int iDay = CurrentDayOfMonth();
  int iSeen = iRestartDay.load();
  if (iDay == iSeen) return;
  // Only the read that moves the remembered day on restarts; a read that
  // lost the race to another thread finds the day taken already.
  if (!iRestartDay.compare_exchange_strong(iSeen, iDay)) return;
  const ResultCode rc = RestartLine(pContext);
  if (rc != SARN_OK) {
    SARN_LOG(kMsgRestartFailed, rc);
  } else {
    SARN_LOG(kMsgRestartSucceeded);
  }
}

}  // namespace sarn
