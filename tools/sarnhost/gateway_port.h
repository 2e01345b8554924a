// A line behind a serial device server: --port socket://HOST:PORT or
// rfc2217://HOST:PORT. The driver learns a gateway from its initialization
// file (GATEWAY =), so for the session sarnhost works in a directory of its
// own with a copy of the file the driver would have read in the current
// one, the GATEWAY line added.
#pragma once

#include <string>

namespace sarnhost {

// Whether the port names a gateway rather than a device.
bool IsGatewayPort(const std::string& port);

// The port name the driver is given for a gateway (its initialization file
// routes it to the address).
inline const char kGatewayPortName[] = "GATEWAY";

class GatewaySession {
 public:
  GatewaySession() = default;
  ~GatewaySession();
  GatewaySession(const GatewaySession&) = delete;
  GatewaySession& operator=(const GatewaySession&) = delete;
  // Moves into a scratch directory whose SARNMD<nr>.INT routes driver nr to
  // the address; false with the reason in error.
  bool Enter(const std::string& address, int iDriverNr, std::string& error);

 private:
  std::string oldCwd_;
  std::string dir_;
  std::string file_;
};

}  // namespace sarnhost
