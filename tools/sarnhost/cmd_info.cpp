// info and --version: what the driver reports about itself, in words.
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "explain.h"
#include "gateway_port.h"
#include "hostlog/log_messages.h"
#include "int_file_name.h"
#include "log_tap.h"
#include "port_check.h"

namespace sarnhost {

namespace {

// The installation banner is in code page 437; shown with the box-drawing
// characters a terminal understands.
std::string BannerText(const char* pszBanner) {
  struct Glyph {
    unsigned char c;
    const char* pszUtf8;
  };
  static const Glyph kGlyphs[] = {{201, "\u2554"}, {205, "\u2550"}, {187, "\u2557"},
                                  {186, "\u2551"}, {200, "\u255A"}, {188, "\u255D"}};
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszBanner); p != nullptr && *p; ++p) {
    if (*p == 8) continue;
    std::string glyph = *p < 128 ? std::string(1, static_cast<char>(*p)) : "?";
    for (const Glyph& g : kGlyphs) {
      if (g.c == *p) glyph = g.pszUtf8;
    }
    out += glyph;
  }
  return out;
}

// The library file itself, with the version in its name (libsarnmd.so.1.0.0).
std::string RealFile(const std::string& path) {
  char sz[PATH_MAX];
  return realpath(path.c_str(), sz) != nullptr ? sz : path;
}

// The driver's cold-start report on the null device (no port is opened):
// its build and the initialization file it read.
std::vector<LogLine> ColdStartReport(const Driver& driver, const DriverInfo& info, int32_t iDriverNr) {
  LogTap tap;
  if (!tap.Start()) return {};
  Instance inst(driver, iDriverNr, info.iContextSize);
  inst.ColdStart("NUL", false, kDefaultTimeout, info.defaultLine);
  inst.EndSarn();
  return tap.Take();
}

// The driver's version message as a format: its date and time are the
// driver's build stamp, which differs from the one compiled in here.
std::string VersionFormat() {
  std::string format = sarn::kMsgVersion.pszFormat;
  for (const char* pszStamp : {__DATE__, __TIME__}) {
    const size_t at = format.find(pszStamp);
    if (at != std::string::npos) format.replace(at, strlen(pszStamp), "%s");
  }
  return format;
}

// The driver's statement of its build; "" when it says none.
std::string DriverBuild(const std::vector<LogLine>& report) {
  const std::string format = VersionFormat();
  const sarn::LogMessage version{sarn::kMsgVersion.iLevel, format.c_str(), sarn::kMsgVersion.pszName};
  for (const LogLine& l : report) {
    if (LoggedAs(l.text, version)) return WithoutTag(l.text);
  }
  return "";
}

}  // namespace

int CmdInfo(const Driver& driver, const DriverInfo& info, int32_t iDriverNr, const std::string& port) {
  const IntFileFacts intFile = FindIntFile(ColdStartReport(driver, info, iDriverNr), iDriverNr);
  printf("driver library    %s\n", RealFile(driver.Path()).c_str());
  printf("driver name       %s\n", info.pszDriverName != nullptr ? info.pszDriverName : "(none given)");
  printf("context size      %d bytes for each driver instance (port)\n", info.iContextSize);
  printf("default line      %u baud, %u data bits, %s parity, %s stop bits\n", info.defaultLine.wBaud,
         info.defaultLine.wDataBits, info.defaultLine.wParity == 0 ? "no" : ParityWord(info.defaultLine.wParity),
         StopBitsName(info.defaultLine.wStopBits));
  printf("identification    %d, with the numbers %d and %d: reported for the host, not used by the driver\n",
         info.iInfoId, info.iInfoA, info.iInfoB);
  printf("init file         %s\n", IntFileDescription(intFile).c_str());
  if (IsGatewayPort(port)) {
    printf("port              %s: a line behind a gateway (%s); sarnhost routes the driver there with GATEWAY =\n",
           port.c_str(), port.rfind("rfc2217", 0) == 0 ? "Telnet, the line set by RFC 2217" : "raw TCP");
  } else if (!port.empty()) {
    // The port is looked at as every command looks at it first; the driver does not open it here.
    const PortCheck check = CheckPort(DevicePath(port));
    printf("port              %s\n", check.problem == PortProblem::kNone
                                         ? (DevicePath(port) + ": present, and no other program holds it").c_str()
                                         : check.message.c_str());
  }
  printf("banner%s\n", BannerText(info.pszBanner).c_str());
  WarnAboutOtherCase(intFile);
  return 0;
}

void PrintVersion(const Driver* pDriver, const DriverInfo* pInfo) {
  printf("sarnhost %s\n", SARNHOST_VERSION);
  if (pDriver == nullptr || pInfo == nullptr) {
    printf("driver: not loaded (give its path with --driver)\n");
    return;
  }
  const std::string build = DriverBuild(ColdStartReport(*pDriver, *pInfo, kDefaultDriverNr));
  printf("driver %s (%s)%s%s\n", RealFile(pDriver->Path()).c_str(),
         pInfo->pszDriverName != nullptr ? pInfo->pszDriverName : "?", build.empty() ? "" : ", ", build.c_str());
}

}  // namespace sarnhost
