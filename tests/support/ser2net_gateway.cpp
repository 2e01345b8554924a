#include "support/ser2net_gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace sarn_test {

namespace {

using Clock = std::chrono::steady_clock;

// ser2net's path: on PATH, or in /usr/sbin where Debian puts it and which an
// ordinary user's PATH may lack. "" when there is none.
std::string Ser2netPath() {
  std::string dirs = getenv("PATH") ? getenv("PATH") : "";
  dirs += ":/usr/sbin:/usr/local/sbin";
  std::istringstream in(dirs);
  for (std::string dir; std::getline(in, dir, ':');) {
    const std::string path = (dir.empty() ? std::string(".") : dir) + "/ser2net";
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A loopback port nobody uses now: the kernel picks it for a socket that is
// closed again at once, before ser2net binds it.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof addr;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

// Whether a socket listens on 127.0.0.1:port, from the kernel's table (state
// 0A is LISTEN). Asked this way rather than by connecting, which would make
// ser2net open the device for a client that goes at once.
bool Listening(int port) {
  std::ifstream table("/proc/net/tcp");
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (address == local && state == "0A") return true;
  }
  return false;
}

}  // namespace

int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Ser2netGateway::Installed() {
  return !Ser2netPath().empty();
}

Ser2netGateway::Ser2netGateway(std::string devicePath) : device_(std::move(devicePath)) {}

Ser2netGateway::~Ser2netGateway() {
  Stop();
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool Ser2netGateway::Start() {
  Stop();
  error_.clear();
  const std::string program = Ser2netPath();
  if (program.empty()) {
    error_ = "ser2net is not installed";
    return false;
  }
  if (!WriteConfig()) return false;
  // Everything the child needs is made before fork(): between fork() and
  // exec() a process with threads may only make async-signal-safe calls.
  const std::string config = dir_ + "/ser2net.yaml", pidFile = dir_ + "/ser2net.pid", log = dir_ + "/ser2net.log";
  // -n -d: in the foreground, debug output to the log; -u: no UUCP lock file
  // for the device.
  std::vector<std::string> args = {program, "-n", "-d", "-u", "-c", config, "-P", pidFile};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
    close_range(3, ~0U, 0);  // no descriptor of the test (a connection, a terminal) lives on in ser2net
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error_ = "fork failed";
    return false;
  }
  return WaitListening(5000);
}

void Ser2netGateway::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

bool Ser2netGateway::Restart() {
  Stop();
  return Start();
}

// Two connections to the one device; ser2net lets one client at a time use
// it. A new client takes the device over (kickolduser), as a master that
// reconnects after losing its connection needs. "local": a pseudo-terminal
// has no modem lines to wait for.
bool Ser2netGateway::WriteConfig() {
  if (dir_.empty()) {
    char dir[] = "/tmp/sarn-ser2net-XXXXXX";
    if (!mkdtemp(dir)) {
      error_ = "cannot create a temporary directory";
      return false;
    }
    dir_ = dir;
  }
  if (rawPort_ == 0) rawPort_ = FreePort();
  if (rfc2217Port_ == 0) rfc2217Port_ = FreePort();
  std::ofstream out(dir_ + "/ser2net.yaml");
  const std::string connector = "  connector: serialdev," + device_ + ",9600n81,local\n";
  const std::string options = "  options:\n    kickolduser: true\n";
  out << "%YAML 1.1\n---\n"
      << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
      << connector << options << "\n"
      << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
      << connector << options;
  out.close();
  if (!out || rawPort_ == 0 || rfc2217Port_ == 0) {
    error_ = "cannot write the configuration or find free ports";
    return false;
  }
  return true;
}

bool Ser2netGateway::WaitListening(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Listening(rawPort_) || !Listening(rfc2217Port_)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "ser2net exited (status " + std::to_string(status) + "): " + Log();
      return false;
    }
    if (Clock::now() >= deadline) {
      Stop();
      error_ = "ser2net did not listen within " + std::to_string(timeoutMs) + " ms: " + Log();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string Ser2netGateway::Log() const {
  std::ifstream in(dir_ + "/ser2net.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace sarn_test
