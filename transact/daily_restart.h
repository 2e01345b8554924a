// The daily restart: the first read of each new calendar day in the module
// discards the pending input of its port before the transaction.
#pragma once

#include <atomic>

#include "link/port_record.h"
#include "sarnmd.h"
#include "transact/day_clock.h"

namespace sarn {

// Day of the month the module last restarted on; 0 until the first read
// after the module is loaded. Shared by every context.
extern std::atomic<int> g_iRestartDay;

// Restarts the context's communication: discards the pending input of its
// open port and logs the warm start. What WarmStart does; always SARN_OK.
// pPort is the context's port when the caller holds it already (a read), or
// null: the restart then takes the port's turn itself.
ResultCode RestartLine(DriverContext* pContext, const PortHold* pPort = nullptr);

// Does the restart once per new calendar day, for the first read that sees
// the day change: when reads on several contexts cross midnight at the same
// time, exactly one of them restarts (its own port) and logs it.
void DailyRestart(DriverContext* pContext, const PortHold* pPort = nullptr);

}  // namespace sarn
