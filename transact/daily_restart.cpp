#include "transact/daily_restart.h"

#include "hostlog/host_log.h"
#include "link/port.h"

namespace sarn {

std::atomic<int> iRestartDay{0};

ResultCode RestartLine(DriverContext* pContext) {
  if (pContext->bComOpen != 0 && pContext->hCom != kNoHandle) PortFlushInput(pContext->hCom);
  err(kLogTrace, "SARNMD> WarmStart()");
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
    err(kLogReport, "Restart Communication failed, rc=%d", rc);
  } else {
    err(kLogReport, "Restart Communication succeed");
  }
}

}  // namespace sarn
