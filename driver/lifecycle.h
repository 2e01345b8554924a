// Lifecycle operations: start, reconfigure and stop a driver instance.
#pragma once

#include "sarnmd.h"

namespace sarn {

ResultCode ColdStart(DriverRequest* pRequest);
ResultCode WarmStart(DriverRequest* pRequest);
ResultCode EndSarn(DriverRequest* pRequest);
ResultCode CloseCom(DriverRequest* pRequest);
ResultCode ReOpenCom(DriverRequest* pRequest);
ResultCode GetSarnInfo(DriverRequest* pRequest);
ResultCode ChangeSarnParams(DriverRequest* pRequest);

}  // namespace sarn
