// sarnhost: a host for the SARNMD driver, for commissioning a serial line.
//
// Loads the driver library, starts one driver instance on a serial port and
// reads, writes, polls or scans through it, the way a supervisory host does;
// or runs the demo against simulated controllers. See --help.
//
// Quiet by default: a command prints its values and nothing else; a failure
// is one line that says why, in words taken from the driver's log of that
// transaction. -v shows the driver's log, -vv also each transaction's frames.
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "commands.h"
#include "demo.h"

namespace sarnhost {
namespace {

LineDefaults Defaults(const DriverInfo* pInfo) {
  LineDefaults d;
  if (pInfo == nullptr) return d;
  d.baud = std::to_string(pInfo->defaultLine.wBaud);
  d.dataBits = std::to_string(pInfo->defaultLine.wDataBits);
  d.parity = ParityName(pInfo->defaultLine.wParity);
  d.stopBits = StopBitsName(pInfo->defaultLine.wStopBits);
  return d;
}

// help, --help, --version: answered without a port, with or without a driver.
bool AnswersAlone(const Options& o, const Driver& driver, bool bLoaded, const DriverInfo& info) {
  if (o.command == "help" && !o.args.empty() && !IsCommand(o.args[0])) return false;  // CheckArguments says why
  if (o.bVersion) {
    PrintVersion(bLoaded ? &driver : nullptr, bLoaded ? &info : nullptr);
    return true;
  }
  if (o.bHelp || o.command == "help") {
    PrintHelp(o.command == "help" && !o.args.empty() ? o.args[0] : o.command, Defaults(bLoaded ? &info : nullptr));
    return true;
  }
  return false;
}

int CheckDriver(bool bLoaded, const Driver& driver, const DriverInfo& info, const std::string& error) {
  if (!bLoaded) {
    fprintf(stderr, "sarnhost: cannot load the driver: %s (give its path with --driver)\n", error.c_str());
    return kExitNoDriver;
  }
  if (info.iContextSize <= 0) {
    fprintf(stderr, "sarnhost: %s did not report a context size: not a usable driver\n", driver.Path().c_str());
    return kExitNoDriver;
  }
  return 0;
}

// info and demo show the driver's log themselves; -v adds the traces, and
// KORVEN_LEVEL, when set, has the last word.
int RunAlone(const Options& o, const Driver& driver, const DriverInfo& info) {
  setenv("KORVEN_LEVEL", o.iVerbose > 0 ? "8" : "32", 0);
  if (o.command == "info") {
    return CmdInfo(driver, info, o.lDriverNr >= 0 ? static_cast<int32_t>(o.lDriverNr) : kDefaultDriverNr, o.port);
  }
  return RunDemo(driver, info, o.iVerbose > 0);
}

int Main(int argc, char** argv) {
  Options o;
  if (int rc = ParseCommandLine(argc, argv, o); rc != 0) return rc;
  Driver driver;
  std::string error;
  const bool bLoaded = LoadDriver(o, driver, error);
  DriverInfo info{};
  if (bLoaded && driver.Info(info) != 0) info = DriverInfo{};
  if (AnswersAlone(o, driver, bLoaded, info)) return 0;
  if (o.command.empty() && o.port.empty()) {
    return Usage("no command given: read, write, poll, scan, info, demo or help; or a device, as with mbpoll");
  }
  // --port with neither a command nor mbpoll's naming: nothing says what to do.
  if (o.command.empty() && !o.bMbpoll) {
    return Usage("a command is missing after --port " + o.port + ": read GATE, write GATE VALUE, poll GATE or scan" +
                 " (or mbpoll's form, the device first: sarnhost " + o.port + " -1)");
  }
  if (int rc = CheckArguments(o); rc != 0) return rc;
  if (int rc = CheckDriver(bLoaded, driver, info, error); rc != 0) return rc;
  long lCount = 0;
  if (o.command == "read" && !o.bMbpoll && o.args.size() == 2 && !cli::ParseLong(o.args[1], 1, 65535, lCount)) {
    return Usage("bad COUNT '" + o.args[1] + "': a number of values, 1 or more");
  }
  if (o.command == "info" || o.command == "demo") return RunAlone(o, driver, info);

  DriverLog log;
  log.Start(o.iVerbose);
  if (o.command == "read") return WithPort(o, driver, info, log, kDefaultTimeout, CmdRead);
  if (o.command == "write") return WithPort(o, driver, info, log, kDefaultTimeout, CmdWrite);
  if (o.command == "scan") return WithPort(o, driver, info, log, kDefaultScanTimeout, CmdScan);
  if (o.command == "poll") return WithPort(o, driver, info, log, kDefaultTimeout, CmdPoll);
  return WithPort(o, driver, info, log, kDefaultTimeout, CmdMbpoll);
}

}  // namespace
}  // namespace sarnhost

int main(int argc, char** argv) {
  int rc = sarnhost::Main(argc, argv);
  fflush(stdout);
  return rc;
}
