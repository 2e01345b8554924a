// sarnhost demo: the driver's whole job against simulated controllers.
#pragma once

#include "driver_host.h"

namespace sarnhost {

// Runs the demo with the loaded driver; returns 0 when every step behaved as
// expected, 1 otherwise.
int RunDemo(const Driver& driver, const DriverInfo& info, bool bVerbose);

}  // namespace sarnhost
