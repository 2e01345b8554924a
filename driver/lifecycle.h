// Lifecycle operations: start, reconfigure and stop a driver instance.
#pragma once

#include "sarnmd.h"

namespace sarn {

// Control word ColdStart gives the port: DTR and RTS both switched on.
inline constexpr uint16_t kDefaultControl = 0x0303;

ResultCode ColdStart(DriverRequest* pRequest);
ResultCode WarmStart(DriverRequest* pRequest);
ResultCode EndSarn(DriverRequest* pRequest);
ResultCode CloseCom(DriverRequest* pRequest);
ResultCode ReOpenCom(DriverRequest* pRequest);
ResultCode GetSarnInfo(DriverRequest* pRequest);
ResultCode ChangeSarnParams(DriverRequest* pRequest);

}  // namespace sarn
