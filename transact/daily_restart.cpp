#include "transact/daily_restart.h"

#include "hostlog/host_log.h"
#include "hostlog/log_messages.h"
#include "link/context_port.h"
#include "link/port.h"

namespace sarn {

std::atomic<int> g_iRestartDay{0};

ResultCode RestartLine(DriverContext* pContext, const PortHold* pPort) {
  if (pPort != nullptr) {
    if (CommunicationEnabled(pContext) && HoldsPort(pPort)) QuietHeldPort(pPort);
  } else if (CommunicationEnabled(pContext) && ContextPort(pContext) != kNoHandle) {
    // Not in the middle of another block's transaction on the same port.
    PortHold port;
    TakePort(ContextPort(pContext), &port);
    QuietHeldPort(&port);
    GivePort(&port);
  }
  SARN_LOG(kMsgWarmStart);
  return SARN_OK;
}

void DailyRestart(DriverContext* pContext, const PortHold* pPort) {
  const int iDay = CurrentDayOfMonth();
  int iSeen = g_iRestartDay.load();
  if (iDay == iSeen) return;
  // Only the read that moves the remembered day on restarts; a read that
  // lost the race to another thread finds the day taken already.
  if (!g_iRestartDay.compare_exchange_strong(iSeen, iDay)) return;
  // A restart cannot fail: it discards what input there is, if any.
  RestartLine(pContext, pPort);
  SARN_LOG(kMsgRestartSucceeded);
}

}  // namespace sarn
