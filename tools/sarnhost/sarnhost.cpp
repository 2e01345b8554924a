// sarnhost: a host for the SARNMD driver, for commissioning a serial line.
//
// Loads the driver library, starts one driver instance on a serial port and
// reads, writes or polls gates through it, the way a supervisory host does;
// or runs the demo against simulated controllers. See --help.
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "demo.h"
#include "driver_host.h"
#include "log_tap.h"
#include "port_check.h"

namespace sarnhost {
namespace {

// Exit statuses besides the driver's result codes 0, 1 and 2.
constexpr int kExitUsage = 64;
constexpr int kExitNoDriver = 69;

constexpr int32_t kDefaultTimeout = 100;  // 10 ms units: one second
constexpr int32_t kDefaultDriverNr = 1;

struct Options {
  std::string command;
  std::vector<std::string> args;
  std::string driverPath;
  std::string port;
  // Line settings and the rest: -1 means "not given, use the default".
  long lBaud = -1, lDataBits = -1, lParity = -1, lStopBits = -1;
  long lTimeout = -1, lDriverNr = -1;
  int32_t iType = -1;
  long lInterval = 1000;
  long lCount = 0;  // poll rounds, 0 until interrupted
  bool bVerbose = false;
  bool bHelp = false;
};

volatile sig_atomic_t g_bInterrupted = 0;

void OnInterrupt(int) {
  g_bInterrupted = 1;
}

int Usage(const std::string& message) {
  fprintf(stderr, "sarnhost: %s (try --help)\n", message.c_str());
  return kExitUsage;
}

const char* ParityName(long lParity) {
  static const char* const kNames[] = {"N", "O", "E", "M", "S"};
  return lParity >= 0 && lParity <= 4 ? kNames[lParity] : "?";
}

const char* StopBitsName(long lStop) {
  static const char* const kNames[] = {"1", "1.5", "2"};
  return lStop >= 0 && lStop <= 2 ? kNames[lStop] : "?";
}

void PrintHelp(const DriverInfo* pInfo) {
  char szBaud[32] = "the driver's", szBits[32] = "the driver's", szParity[32] = "the driver's",
       szStop[32] = "the driver's";
  if (pInfo != nullptr) {
    snprintf(szBaud, sizeof szBaud, "%u", pInfo->defaultLine.wBaud);
    snprintf(szBits, sizeof szBits, "%u", pInfo->defaultLine.wDataBits);
    snprintf(szParity, sizeof szParity, "%s", ParityName(pInfo->defaultLine.wParity));
    snprintf(szStop, sizeof szStop, "%s", StopBitsName(pInfo->defaultLine.wStopBits));
  }
  printf(
      "Usage: sarnhost [options] COMMAND [arguments]\n"
      "Reads and writes controller values over a serial line through the SARNMD\n"
      "Modbus ASCII / GTC driver, the way a supervisory host does.\n"
      "\n"
      "Commands:\n"
      "  read GATE [COUNT]     read one gate, or a block of COUNT values from GATE on\n"
      "  write GATE VALUE...   write one value, or several as a block from GATE on\n"
      "  poll GATE...          read the gates round after round (--interval, --count):\n"
      "                        a live table of values, good reads, failures by result\n"
      "                        code and round-trip times, and a summary at the end\n"
      "  demo                  show the driver at work against simulated controllers\n"
      "  info                  show what the driver reports about itself\n"
      "\n"
      "Gate address text, 7 or 8 characters: CC M AAAA [B]\n"
      "  CC    controller address, two digits      M  memory type digit\n"
      "  AAAA  address, four digits, from 1        B  bit number 0..F (optional)\n"
      "  Memory types: 0 coil, 1 discrete input, 3 input register, 4 holding\n"
      "  register, 5 / 7 float in input / holding registers (odd address),\n"
      "  6 / 8 32-bit integer in input / holding registers (odd address).\n"
      "  0140001 is holding register 1 of controller 1, 01400013 its bit 3.\n"
      "  Digits are decimal unless the initialization file says BUS = MODBUS, HEX.\n"
      "  The initialization file SARNMD<N>.INT (or SARNMD.INT) is read from the\n"
      "  current directory: BUS = MODBUS|GTC, DEC|HEX; SWAP, FLOATSWAP, LONGADDR,\n"
      "  RTSCTS = YES|NO; IFG = milliseconds.\n"
      "\n"
      "Options:\n"
      "  -p, --port DEVICE     serial device, e.g. /dev/ttyUSB0 (required but for demo)\n"
      "  -b, --baud N          baud rate, 1..65535 (default %s)\n"
      "  -d, --data-bits N     5, 6, 7 or 8 (default %s)\n"
      "  -P, --parity X        N, O, E, M or S (default %s)\n"
      "  -s, --stop-bits X     1, 1.5 or 2 (default %s)\n"
      "  -t, --timeout N       reply time-out in units of 10 ms (default %d: 1 s)\n"
      "  -n, --driver-nr N     driver number 0..99, which names the initialization\n"
      "                        file SARNMD<N>.INT (default %d)\n"
      "  -T, --type TYPE       data type of the gates: bit, uint16, int16, word, float,\n"
      "                        int32, uint32 (default: from the memory type)\n"
      "  -i, --interval MS     poll: milliseconds from one round to the next\n"
      "                        (default 1000)\n"
      "  -c, --count N         poll: number of rounds (default: until Ctrl-C)\n"
      "      --driver PATH     the driver library (default: next to sarnhost, in the\n"
      "                        install tree's library directory, or in the build tree)\n"
      "  -v, --verbose         also show the driver's per-request traces (log level 8)\n"
      "  -h, --help            show this text\n"
      "\n"
      "Values are shown as the gate holds them: bits 0 or 1, 16-bit registers in\n"
      "decimal and hexadecimal, 32-bit integers, floats. Write values: 0/1/on/off for\n"
      "bits, decimal or 0x-hexadecimal integers, floats.\n"
      "\n"
      "The driver's log goes to standard error as \"timestamp TAB level TAB text\":\n"
      "level 32 (reports) by default, level 8 too with -v. KORVEN_LOG=FILE appends it\n"
      "to FILE instead; KORVEN_LEVEL=N keeps only levels N and above.\n"
      "\n"
      "Exit status: 0 when everything succeeded; otherwise the driver's result code:\n"
      "1 refused (gate text, data type, the controller's reply), 2 failed on the port\n"
      "or the line (no device, port in use, no permission: join the dialout group,\n"
      "no reply); %d for a bad command line, %d when the driver cannot be loaded.\n",
      szBaud, szBits, szParity, szStop, kDefaultTimeout, kDefaultDriverNr, kExitUsage, kExitNoDriver);
}

bool ParseLong(const std::string& text, long lMin, long lMax, long& lValue) {
  if (text.empty()) return false;
  errno = 0;
  char* pEnd = nullptr;
  long v = strtol(text.c_str(), &pEnd, 10);
  if (errno != 0 || *pEnd != '\0' || v < lMin || v > lMax) return false;
  lValue = v;
  return true;
}

bool LooksNumeric(const char* psz) {
  return psz[0] == '-' && (isdigit(static_cast<unsigned char>(psz[1])) || psz[1] == '.');
}

// Parses the command line; returns 0 or the usage exit status (message printed).
int ParseOptions(int argc, char** argv, Options& o) {
  struct Spec {
    const char* pszShort;
    const char* pszLong;
    bool bValue;
  };
  static const Spec kSpecs[] = {
      {"-p", "--port", true},      {"-b", "--baud", true},    {"-d", "--data-bits", true}, {"-P", "--parity", true},
      {"-s", "--stop-bits", true}, {"-t", "--timeout", true}, {"-n", "--driver-nr", true}, {"-T", "--type", true},
      {"-i", "--interval", true},  {"-c", "--count", true},   {nullptr, "--driver", true}, {"-v", "--verbose", false},
      {"-h", "--help", false},
  };
  bool bOptionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (bOptionsEnd || arg.size() < 2 || arg[0] != '-' || LooksNumeric(argv[i])) {
      if (o.command.empty()) {
        o.command = arg;
      } else {
        o.args.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      bOptionsEnd = true;
      continue;
    }
    std::string value;
    bool bInline = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        bInline = true;
      }
    }
    const Spec* pSpec = nullptr;
    for (const Spec& s : kSpecs) {
      if ((s.pszShort != nullptr && arg == s.pszShort) || arg == s.pszLong) pSpec = &s;
    }
    if (pSpec == nullptr) return Usage("unknown option '" + std::string(argv[i]) + "'");
    const std::string name = pSpec->pszLong;
    if (!pSpec->bValue) {
      if (bInline) return Usage("option " + name + " takes no value");
    } else if (!bInline) {
      if (i + 1 >= argc) return Usage("option " + name + " needs a value");
      value = argv[++i];
    }

    auto bad = [&](const std::string& what) { return Usage("bad value '" + value + "' for " + name + ": " + what); };
    if (name == "--port") {
      if (value.empty()) return bad("give a device path");
      o.port = value;
    } else if (name == "--baud") {
      if (!ParseLong(value, 1, 65535, o.lBaud)) {
        return bad("the driver's line settings hold a baud rate of 1..65535");
      }
    } else if (name == "--data-bits") {
      if (!ParseLong(value, 5, 8, o.lDataBits)) return bad("5, 6, 7 or 8");
    } else if (name == "--parity") {
      static const char* const kParities[] = {"N", "O", "E", "M", "S"};
      static const char* const kWords[] = {"none", "odd", "even", "mark", "space"};
      o.lParity = -1;
      for (long k = 0; k < 5; ++k) {
        if (strcasecmp(value.c_str(), kParities[k]) == 0 || strcasecmp(value.c_str(), kWords[k]) == 0) o.lParity = k;
      }
      if (o.lParity < 0) return bad("N, O, E, M or S");
    } else if (name == "--stop-bits") {
      if (value == "1") {
        o.lStopBits = 0;
      } else if (value == "1.5") {
        o.lStopBits = 1;
      } else if (value == "2") {
        o.lStopBits = 2;
      } else {
        return bad("1, 1.5 or 2");
      }
    } else if (name == "--timeout") {
      if (!ParseLong(value, 1, 60000, o.lTimeout)) return bad("1..60000, in units of 10 ms");
    } else if (name == "--driver-nr") {
      if (!ParseLong(value, 0, 99, o.lDriverNr)) return bad("0..99");
    } else if (name == "--type") {
      if (!ParseDataType(value, o.iType)) return bad("bit, uint16, int16, word, float, int32 or uint32");
    } else if (name == "--interval") {
      if (!ParseLong(value, 1, 3600000, o.lInterval)) return bad("1..3600000 milliseconds");
    } else if (name == "--count") {
      if (!ParseLong(value, 1, LONG_MAX, o.lCount)) return bad("a number of rounds, 1 or more");
    } else if (name == "--driver") {
      if (value.empty()) return bad("give the library's path");
      o.driverPath = value;
    } else if (name == "--verbose") {
      o.bVerbose = true;
    } else if (name == "--help") {
      o.bHelp = true;
    }
  }
  return 0;
}

bool LoadDriver(const Options& o, Driver& driver, std::string& error) {
  if (!o.driverPath.empty()) return driver.Load(o.driverPath, error);
  std::vector<std::string> candidates = DriverCandidates();
  std::string tried;
  for (const std::string& path : candidates) {
    std::string why;
    if (driver.Load(path, why)) return true;
    tried += (tried.empty() ? "" : "; ") + why;
  }
  error = tried;
  return false;
}

// The driver's reason for refusing a gate text: its log lines, without the
// tag, or a reason of our own where the driver says nothing.
std::string RefusalReason(const std::vector<LogLine>& lines, const Gate& gate, bool bGtc) {
  std::string reason;
  for (const LogLine& l : lines) {
    std::string text = l.text;
    if (text.rfind("SARNMD> ", 0) == 0) text.erase(0, 8);
    reason += (reason.empty() ? "" : "; ") + text;
  }
  if (!reason.empty()) return reason;
  const std::string& text = gate.text;
  if (text.size() >= 9) return "longer than 8 characters";
  bool bBitNr = text.size() >= 8 && text[7] != ' ';
  if (gate.bBlock && bBitNr) return "a block takes no bit number";
  if (!gate.bBlock) {
    int32_t iMem = gate.spec.iMemType;
    if (bBitNr && iMem >= 5 && iMem <= 8) return "32-bit gates take no bit number";
    return std::string("data type ") + DataTypeName(gate.iDataType) + " does not fit a " + MemoryTypeName(iMem, bGtc) +
           (bBitNr ? " bit" : "");
  }
  return "see the driver's log with -v";
}

// Checks a gate text with the driver's address parser; prints one line and
// returns the result code when it is refused.
ResultCode ParseGate(Instance& inst, const std::string& text, int32_t iType, int32_t iCount, Gate& gate) {
  int32_t iDataType = iType >= 0 ? iType : DefaultDataType(text);
  // Collect the driver's refusal messages, unless its log goes to a file the
  // user chose.
  LogTap tap;
  const char* pszLog = getenv("KORVEN_LOG");
  if (pszLog == nullptr || *pszLog == '\0') tap.Start();
  ResultCode rc = inst.Parse(text, iDataType, iCount, gate);
  std::vector<LogLine> lines = tap.Take();
  tap.Stop();
  bool bGtc = inst.Context()->cProtocol == 1;
  if (rc != 0) {
    fprintf(stderr, "sarnhost: gate '%s' refused: %s\n", text.c_str(), RefusalReason(lines, gate, bGtc).c_str());
    return rc;
  }
  if (gate.bBlock && !TypeFitsMemory(iDataType, gate.spec.iMemType, false)) {
    fprintf(stderr, "sarnhost: gate '%s' refused: data type %s does not fit a block of %s values\n", text.c_str(),
            DataTypeName(iDataType), MemoryTypeName(gate.spec.iMemType, bGtc));
    return SARN_REFUSED;
  }
  return 0;
}

std::string Label(Instance& inst, const Gate& gate, int k) {
  if (!gate.bBlock) return gate.text;
  DriverContext* pCtx = inst.Context();
  std::string text = ElementText(gate, k, pCtx->cBase == 'H', pCtx->cProtocol == 1);
  return text.empty() ? gate.text + "[" + std::to_string(k) + "]" : text;
}

// Starts the driver instance on the port and runs body with it; the result
// is body's, or 2 when the port cannot be used.
int WithPort(const Options& o, const Driver& driver, const DriverInfo& info,
             const std::function<int(Instance&)>& body) {
  if (o.port.empty()) return Usage("no port given: use --port DEVICE, e.g. --port /dev/ttyUSB0");
  PortCheck check = CheckPort(o.port);
  if (check.problem != PortProblem::kNone) {
    fprintf(stderr, "sarnhost: %s\n", check.message.c_str());
    return SARN_LINE_FAIL;
  }
  PortAlias alias;
  std::string error;
  std::string name = alias.NameFor(o.port, error);
  if (name.empty()) {
    fprintf(stderr, "sarnhost: %s\n", error.c_str());
    return SARN_LINE_FAIL;
  }
  LineSettings line = info.defaultLine;
  if (o.lBaud >= 0) line.wBaud = static_cast<uint16_t>(o.lBaud);
  if (o.lDataBits >= 0) line.wDataBits = static_cast<uint16_t>(o.lDataBits);
  if (o.lParity >= 0) line.wParity = static_cast<uint16_t>(o.lParity);
  if (o.lStopBits >= 0) line.wStopBits = static_cast<uint16_t>(o.lStopBits);
  int32_t iTimeout = o.lTimeout >= 0 ? static_cast<int32_t>(o.lTimeout) : kDefaultTimeout;
  int32_t iDriverNr = o.lDriverNr >= 0 ? static_cast<int32_t>(o.lDriverNr) : kDefaultDriverNr;

  Instance inst(driver, iDriverNr, info.iContextSize);
  ResultCode rc = inst.ColdStart(name, true, iTimeout, line);
  alias.Release();
  if (o.bVerbose) {
    fprintf(stderr, "sarnhost: driver %s, ColdStart(driver %d, %s, %u %u%s%s, time-out %d0 ms) -> %d\n",
            driver.Path().c_str(), iDriverNr, name.c_str(), line.wBaud, line.wDataBits, ParityName(line.wParity),
            StopBitsName(line.wStopBits), iTimeout, rc);
  }
  if (rc != 0) {
    fprintf(stderr, "sarnhost: the driver could not open %s (ColdStart returned %d)\n", o.port.c_str(), rc);
    return rc;
  }
  int result = body(inst);
  ResultCode rcEnd = inst.EndSarn();
  if (rcEnd != 0) {
    fprintf(stderr, "sarnhost: the driver could not close %s (EndSarn returned %d)\n", o.port.c_str(), rcEnd);
    if (result == 0) result = rcEnd;
  }
  return result;
}

int CmdRead(const Options& o, Instance& inst) {
  long lCount = -1;
  if (o.args.size() == 2) ParseLong(o.args[1], 1, 65535, lCount);  // checked before the port was opened
  int32_t iCount = static_cast<int32_t>(lCount);
  Gate gate;
  ResultCode rc = ParseGate(inst, o.args[0], o.iType, iCount, gate);
  if (rc != 0) return rc;
  std::vector<uint8_t> buffer;
  rc = inst.Read(gate, buffer);
  if (rc != 0) {
    fprintf(stderr, "sarnhost: reading '%s' failed with result %d (%s)\n", gate.text.c_str(), rc,
            rc == 1 ? "refused, or the controller's reply was refused" : "no valid reply on the line");
    return rc;
  }
  std::vector<Value> values = DecodeBuffer(gate, buffer);
  for (size_t k = 0; k < values.size(); ++k) {
    printf("%s: %s\n", Label(inst, gate, static_cast<int>(k)).c_str(), FormatValue(values[k], gate.iDataType).c_str());
  }
  return 0;
}

int CmdWrite(const Options& o, Instance& inst) {
  const std::string& text = o.args[0];
  size_t nValues = o.args.size() - 1;
  int32_t iCount = nValues > 1 ? static_cast<int32_t>(nValues) : -1;
  Gate gate;
  ResultCode rc = ParseGate(inst, text, o.iType, iCount, gate);
  if (rc != 0) return rc;
  std::vector<Value> values;
  for (size_t k = 1; k < o.args.size(); ++k) {
    Value v;
    std::string error;
    if (!ParseValue(o.args[k], gate.spec.iBits, gate.iDataType, v, error)) {
      fprintf(stderr, "sarnhost: %s for gate '%s' (%s)\n", error.c_str(), text.c_str(), DataTypeName(gate.iDataType));
      return kExitUsage;
    }
    values.push_back(v);
  }
  std::vector<uint8_t> buffer = EncodeBuffer(gate, values);
  rc = inst.Write(gate, buffer);
  if (rc != 0) {
    fprintf(stderr, "sarnhost: writing '%s' failed with result %d (%s)\n", text.c_str(), rc,
            rc == 1 ? "refused, or the controller's reply was refused" : "no valid reply on the line");
    return rc;
  }
  for (size_t k = 0; k < values.size(); ++k) {
    printf("%s: wrote %s\n", Label(inst, gate, static_cast<int>(k)).c_str(),
           FormatValue(values[k], gate.iDataType).c_str());
  }
  return 0;
}

struct PollStats {
  Gate gate;
  std::string value = "-";
  long lGood = 0;
  std::map<int, long> failures;  // result code -> count
  double dLastMs = 0, dMaxMs = 0;
  int iLastRc = -1;
};

void PrintPollTable(const std::vector<PollStats>& stats, FILE* f) {
  fprintf(f, "%-9s %-26s %7s %7s %7s %9s %9s\n", "gate", "value", "good", "fail 1", "fail 2", "last ms", "max ms");
  for (const PollStats& s : stats) {
    auto count = [&](int rc) {
      auto it = s.failures.find(rc);
      return it == s.failures.end() ? 0L : it->second;
    };
    long lOther = 0;
    for (const auto& [rc, n] : s.failures) {
      if (rc != 1 && rc != 2) lOther += n;
    }
    fprintf(f, "%-9s %-26s %7ld %7ld %7ld %9.2f %9.2f%s\n", s.gate.text.c_str(), s.value.c_str(), s.lGood, count(1),
            count(2), s.dLastMs, s.dMaxMs, lOther != 0 ? ("  (" + std::to_string(lOther) + " other)").c_str() : "");
  }
}

int CmdPoll(const Options& o, Instance& inst) {
  std::vector<PollStats> stats(o.args.size());
  for (size_t i = 0; i < o.args.size(); ++i) {
    ResultCode rc = ParseGate(inst, o.args[i], o.iType, -1, stats[i].gate);
    if (rc != 0) return rc;
  }
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESTART;  // let a transaction under way finish undisturbed
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  // In place on a terminal; round by round when the output is kept or the
  // driver's traces would run through the table.
  bool bLive = isatty(STDOUT_FILENO) && !o.bVerbose;
  using Clock = std::chrono::steady_clock;
  auto next = Clock::now();
  int iWorst = 0;
  long lRound = 0;
  int iDrawn = 0;
  while (!g_bInterrupted && (o.lCount == 0 || lRound < o.lCount)) {
    ++lRound;
    for (PollStats& s : stats) {
      std::vector<uint8_t> buffer;
      auto t0 = Clock::now();
      ResultCode rc = inst.Read(s.gate, buffer);
      s.dLastMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      s.dMaxMs = std::max(s.dMaxMs, s.dLastMs);
      s.iLastRc = rc;
      if (rc == 0) {
        ++s.lGood;
        s.value = FormatValue(DecodeBuffer(s.gate, buffer)[0], s.gate.iDataType);
      } else {
        ++s.failures[rc];
        s.value = "failed, result " + std::to_string(rc);
        iWorst = std::max(iWorst, static_cast<int>(rc));
      }
      if (!bLive) {
        printf("round %ld  %-9s %-26s %8.2f ms\n", lRound, s.gate.text.c_str(), s.value.c_str(), s.dLastMs);
      }
      if (g_bInterrupted) break;
    }
    if (bLive) {
      if (iDrawn > 0) printf("\x1b[%dA", iDrawn);
      printf("\x1b[Kpolling %s every %ld ms, round %ld%s (Ctrl-C stops)\n", o.port.c_str(), o.lInterval, lRound,
             o.lCount > 0 ? (" of " + std::to_string(o.lCount)).c_str() : "");
      printf("\x1b[K");
      PrintPollTable(stats, stdout);
      iDrawn = static_cast<int>(stats.size()) + 2;
    }
    fflush(stdout);
    if (o.lCount != 0 && lRound >= o.lCount) break;
    next += std::chrono::milliseconds(o.lInterval);
    while (!g_bInterrupted && Clock::now() < next) {
      std::this_thread::sleep_for(std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(50)));
    }
    if (Clock::now() > next + std::chrono::milliseconds(o.lInterval)) next = Clock::now();
  }

  long lReads = 0, lGood = 0;
  std::map<int, long> failures;
  for (const PollStats& s : stats) {
    lGood += s.lGood;
    lReads += s.lGood;
    for (const auto& [rc, n] : s.failures) {
      failures[rc] += n;
      lReads += n;
    }
  }
  printf("\nsummary after %ld round%s%s:\n", lRound, lRound == 1 ? "" : "s", g_bInterrupted ? " (interrupted)" : "");
  PrintPollTable(stats, stdout);
  printf("%ld reads, %ld good", lReads, lGood);
  for (const auto& [rc, n] : failures) printf(", %ld failed with result %d", n, rc);
  printf("\n");
  return iWorst;
}

// The installation banner is in code page 437; shown with the box-drawing
// characters a terminal understands.
std::string BannerText(const char* pszBanner) {
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszBanner); p != nullptr && *p; ++p) {
    switch (*p) {
      case 8:
        break;
      case 201:
        out += "\u2554";
        break;
      case 205:
        out += "\u2550";
        break;
      case 187:
        out += "\u2557";
        break;
      case 186:
        out += "\u2551";
        break;
      case 200:
        out += "\u255A";
        break;
      case 188:
        out += "\u255D";
        break;
      default:
        out += *p < 128 ? static_cast<char>(*p) : '?';
    }
  }
  return out;
}

int CmdInfo(const Driver& driver, const DriverInfo& info) {
  printf("driver library  %s\n", driver.Path().c_str());
  printf("driver name     %s\n", info.pszDriverName != nullptr ? info.pszDriverName : "?");
  printf("context size    %d bytes\n", info.iContextSize);
  printf("default line    %u baud, %u data bits, parity %s, %s stop bits\n", info.defaultLine.wBaud,
         info.defaultLine.wDataBits, ParityName(info.defaultLine.wParity), StopBitsName(info.defaultLine.wStopBits));
  printf("info fields     id %d, a %d, b %d\n", info.iInfoId, info.iInfoA, info.iInfoB);
  printf("banner%s\n", BannerText(info.pszBanner).c_str());
  return 0;
}

int Main(int argc, char** argv) {
  Options o;
  if (int rc = ParseOptions(argc, argv, o); rc != 0) return rc;

  // The driver's log level: reports only, or traces too with -v; a level the
  // user set stands unless -v asks for more.
  if (o.bVerbose) {
    setenv("KORVEN_LEVEL", "8", 1);
  } else {
    setenv("KORVEN_LEVEL", "32", 0);
  }

  Driver driver;
  std::string error;
  bool bLoaded = LoadDriver(o, driver, error);
  DriverInfo info{};
  if (bLoaded && driver.Info(info) != 0) info = DriverInfo{};
  if (o.bHelp) {
    PrintHelp(bLoaded ? &info : nullptr);
    return 0;
  }
  if (o.command.empty()) return Usage("no command given: read, write, poll, demo or info");

  struct CommandArity {
    const char* pszName;
    size_t nMin, nMax;
    const char* pszUsage;
  };
  static const CommandArity kCommands[] = {
      {"read", 1, 2, "read GATE [COUNT]"},
      {"write", 2, 10000, "write GATE VALUE..."},
      {"poll", 1, 1000, "poll GATE..."},
      {"demo", 0, 0, "demo"},
      {"info", 0, 0, "info"},
  };
  const CommandArity* pCmd = nullptr;
  for (const CommandArity& c : kCommands) {
    if (o.command == c.pszName) pCmd = &c;
  }
  if (pCmd == nullptr) return Usage("unknown command '" + o.command + "'");
  if (o.args.size() < pCmd->nMin || o.args.size() > pCmd->nMax) {
    return Usage(std::string("usage: sarnhost [options] ") + pCmd->pszUsage);
  }

  if (!bLoaded) {
    fprintf(stderr, "sarnhost: cannot load the driver: %s (give its path with --driver)\n", error.c_str());
    return kExitNoDriver;
  }
  if (info.iContextSize <= 0) {
    fprintf(stderr, "sarnhost: %s did not report a context size: not a usable driver\n", driver.Path().c_str());
    return kExitNoDriver;
  }

  long lCount = 0;
  if (o.command == "read" && o.args.size() == 2 && !ParseLong(o.args[1], 1, 65535, lCount)) {
    return Usage("bad COUNT '" + o.args[1] + "': a number of values, 1 or more");
  }

  if (o.command == "info") return CmdInfo(driver, info);
  if (o.command == "demo") return RunDemo(driver, info, o.bVerbose);
  if (o.command == "read") return WithPort(o, driver, info, [&](Instance& inst) { return CmdRead(o, inst); });
  if (o.command == "write") return WithPort(o, driver, info, [&](Instance& inst) { return CmdWrite(o, inst); });
  return WithPort(o, driver, info, [&](Instance& inst) { return CmdPoll(o, inst); });
}

}  // namespace
}  // namespace sarnhost

int main(int argc, char** argv) {
  int rc = sarnhost::Main(argc, argv);
  fflush(stdout);
  return rc;
}
