// Opening a port from a PortSettings record, as the tests of the port and
// frame layers do.
#pragma once

#include "link/port.h"
#include "sarn_handle.h"

namespace testsupport {

// Opens the port pPort describes; its handle, or kNoHandle.
inline SarnHandle OpenSettings(const PortSettings* pPort) {
  SarnHandle hCom = sarn::kNoHandle;
  if (sarn::PortOpen(pPort->szName, &pPort->line, pPort->wControl, &hCom) != sarn::kPortOk) return sarn::kNoHandle;
  return hCom;
}

}  // namespace testsupport
