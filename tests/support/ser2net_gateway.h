// A serial device server in front of a serial device, for tests: ser2net run
// as a child process, serving one device on two loopback TCP ports, one raw
// and one with Telnet and RFC 2217 (remote serial port control), as the
// gateways that put RS-485 lines on Ethernet do.
#pragma once

#include <sys/types.h>

#include <string>

namespace sarn_test {

// A TCP connection to 127.0.0.1:port, blocking; the descriptor (close-on-exec)
// or -1.
int ConnectLoopback(int port);

class Ser2netGateway {
 public:
  // Whether a ser2net program can be run (found on PATH); tests skip when not.
  static bool Installed();

  // Serves devicePath (such as a simulator's pseudo-terminal) at 9600 8N1,
  // ignoring modem lines; nothing runs before Start().
  explicit Ser2netGateway(std::string devicePath);
  ~Ser2netGateway();  // stops ser2net and removes its files
  Ser2netGateway(const Ser2netGateway&) = delete;
  Ser2netGateway& operator=(const Ser2netGateway&) = delete;

  // Starts ser2net, the first time on two free loopback ports, afterwards on
  // the same ones, and waits up to 5 s until both listen. False, with the
  // reason in Error(), when it does not come up (it is then stopped).
  bool Start();
  // SIGTERM, then SIGKILL after 2 s; reaps it. Open connections are closed.
  // Safe to call when not running.
  void Stop();
  // Stop() then Start(), on the same ports: a gateway's outage.
  bool Restart();
  bool Running() const { return pid_ > 0; }

  int RawPort() const { return rawPort_; }          // bytes as they are
  int Rfc2217Port() const { return rfc2217Port_; }  // Telnet with RFC 2217
  // Why Start() failed, with what ser2net printed.
  const std::string& Error() const { return error_; }

 private:
  bool WriteConfig();
  bool WaitListening(int timeoutMs);
  std::string Log() const;

  std::string device_;
  std::string dir_;  // temporary: the configuration, ser2net's output and pid file
  int rawPort_ = 0;
  int rfc2217Port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

}  // namespace sarn_test
