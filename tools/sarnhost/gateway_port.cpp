#include "gateway_port.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace sarnhost {

namespace {

// What the driver would read in the current directory, in its order.
std::string IntFileHere(int iDriverNr) {
  char sz[32];
  for (const char* pszForm : {"SARNMD%02d.INT", "SARNMD%d.INT"}) {
    snprintf(sz, sizeof sz, pszForm, iDriverNr);
    std::ifstream in(sz);
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      return text.str();
    }
  }
  std::ifstream in("SARNMD.INT");
  std::stringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

}  // namespace

bool IsGatewayPort(const std::string& port) {
  return port.rfind("socket://", 0) == 0 || port.rfind("rfc2217://", 0) == 0;
}

bool GatewaySession::Enter(const std::string& address, int iDriverNr, std::string& error) {
  std::string content = IntFileHere(iDriverNr);
  if (!content.empty() && content.back() != '\n') content += '\n';
  content += "GATEWAY = " + address + "\n";
  char cwd[PATH_MAX];
  char dir[] = "/tmp/sarnhost-gateway-XXXXXX";
  if (getcwd(cwd, sizeof cwd) == nullptr || mkdtemp(dir) == nullptr) {
    error = "cannot make a scratch directory for the gateway's initialization file";
    return false;
  }
  dir_ = dir;
  char name[32];
  snprintf(name, sizeof name, "/SARNMD%02d.INT", iDriverNr);
  file_ = dir_ + name;
  std::ofstream out(file_);
  out << content;
  if (!out.flush() || chdir(dir) != 0) {
    error = "cannot write " + file_;
    return false;
  }
  oldCwd_ = cwd;
  return true;
}

GatewaySession::~GatewaySession() {
  if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) perror("chdir");
  if (!file_.empty()) unlink(file_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

}  // namespace sarnhost
