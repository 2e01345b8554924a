// The kinds of port on Windows, and the seam's clock.
#include <string.h>
#include <windows.h>

#include "platform/port_backend.h"

namespace sarn {

const PortBackend* ChoosePortBackend(const char* pszName) {
  if (_stricmp(pszName, "NUL") == 0) return &kNullPort;
  if (PlatIsGatewayName(pszName)) return &kGatewayPort;
  return &kWin32Serial;
}

void PlatSleep(uint32_t dwMilliseconds) {
  Sleep(dwMilliseconds);
}

uint64_t PlatNowMs() {
  return GetTickCount64();
}

}  // namespace sarn
