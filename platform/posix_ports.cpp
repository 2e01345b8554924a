// The kinds of port on Linux, and the seam's clock.
#include <errno.h>
#include <string.h>
#include <time.h>

#include "platform/port_backend.h"

namespace sarn {

const PortBackend* ChoosePortBackend(const char* pszName) {
  if (strcmp(pszName, "NUL") == 0) return &kNullPort;
  if (PlatIsGatewayName(pszName)) return &kGatewayPort;
  return &kPosixDevice;
}

void PlatSleep(uint32_t dwMilliseconds) {
  timespec ts{static_cast<time_t>(dwMilliseconds / 1000), static_cast<long>(dwMilliseconds % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint64_t PlatNowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace sarn
