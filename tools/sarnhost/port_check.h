// Looking at a serial device before the driver opens it.
//
// Before ColdStart runs, the host looks at the device itself, so that it can
// tell a person whether the device is missing, held by another program, or
// closed to them, with advice (the group to join, the program that holds
// it). A device that passes and still fails to open is reported with the
// system's reason the driver logs.
#pragma once

#include <sys/stat.h>

#include <string>

#include "sarnmd.h"

namespace sarnhost {

enum class PortProblem {
  kNone,
  kMissing,     // no such device
  kPermission,  // exists, but this user may not open it for reading and writing
  kBusy,        // another program holds it (exclusive open, lock)
  kNotSerial,   // exists, but is not a terminal device
  kOther,       // opening failed for another reason
};

struct PortCheck {
  PortProblem problem = PortProblem::kNone;
  std::string message;  // one line, without the program name, for a problem
};

// The device a port name means: a name that is no path (ttyUSB0, pts/3) is
// under /dev/.
std::string DevicePath(const std::string& port);

// Opens the device briefly (non-blocking) and closes it again. "NUL", the
// driver's null device, always passes.
PortCheck CheckPort(const std::string& path);

// The advice for a device this user may not open, from its owner, group
// and mode ("add yourself to the group dialout ...", or who may open it).
std::string PermissionAdvice(const std::string& path, const struct stat& st);

// Longest port name the driver's records hold.
constexpr size_t kMaxPortName = SARN_MAX_PORT_NAME;

// A port name that the driver can take for a device whose path is longer than
// kMaxPortName: the device is opened here and handed over as /dev/fd/N, which
// the driver opens anew. Release() closes the descriptor once the driver has
// opened its own.
class PortAlias {
 public:
  PortAlias() = default;
  ~PortAlias() { Release(); }
  PortAlias(const PortAlias&) = delete;
  PortAlias& operator=(const PortAlias&) = delete;

  // The name to give the driver: the path itself when it fits, otherwise an
  // alias; "" (with error filled) when neither works.
  std::string NameFor(const std::string& path, std::string& error);
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace sarnhost
