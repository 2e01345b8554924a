// sarnhost: a host for the SARNMD driver, for commissioning a serial line.
//
// Loads the driver library, starts one driver instance on a serial port and
// reads, writes, polls or scans through it, the way a supervisory host does;
// or runs the demo against simulated controllers. See --help.
//
// Quiet by default: a command prints its values and nothing else; a failure
// is one line that says why, in words taken from the driver's log of that
// transaction. -v shows the driver's log, -vv also each transaction's frames.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "demo.h"
#include "driver_host.h"
#include "explain.h"
#include "log_tap.h"
#include "port_check.h"

namespace sarnhost {
namespace {

// Exit statuses besides the driver's result codes 0, 1 and 2.
constexpr int kExitUsage = 64;
constexpr int kExitNoDriver = 69;
constexpr int kExitCantCreate = 73;

constexpr int32_t kDefaultTimeout = 100;     // 10 ms units: one second
constexpr int32_t kDefaultScanTimeout = 10;  // scan: 100 ms, three attempts per controller
constexpr int32_t kDefaultDriverNr = 1;

using Clock = std::chrono::steady_clock;

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
  int iVerbose = 0;
  bool bHelp = false;
  // mbpoll's way of naming values (after the command word).
  bool bMbpoll = false, bMbCountGiven = false;
  long lSlave = 1, lRef = 1, lMbCount = 1;
  std::string mbType = "4";
  // scan
  long lFrom = 1, lTo = 247;
  std::vector<long> bauds, parities;
  // poll
  std::string csvPath;
};

volatile sig_atomic_t g_bInterrupted = 0;

void OnInterrupt(int) {
  g_bInterrupted = 1;
}

// Ctrl-C and SIGTERM only set the flag; SA_RESTART lets a transaction under
// way run on undisturbed in the driver.
void CatchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
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

// "9600 7E2"
std::string LineName(const LineSettings& line) {
  return std::to_string(line.wBaud) + " " + std::to_string(line.wDataBits) + ParityName(line.wParity) +
         StopBitsName(line.wStopBits);
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
      "                        a live table of values, good and failed reads with\n"
      "                        the reason in words and round-trip times, and a\n"
      "                        summary at the end (also after Ctrl-C)\n"
      "  scan                  find the controllers that answer on the line\n"
      "                        (--from, --to, --bauds, --parities); a table at the end\n"
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
      "  Digits are decimal unless the initialization file says BUS = MODBUS, HEX;\n"
      "  a letter A..F among decimal digits ends the number there (warned about).\n"
      "  The initialization file SARNMD<N>.INT (or SARNMD.INT) is read from the\n"
      "  current directory: BUS = MODBUS|GTC, DEC|HEX; SWAP, FLOATSWAP, LONGADDR,\n"
      "  RTSCTS = YES|NO; IFG = milliseconds.\n"
      "\n"
      "mbpoll's options instead of gate texts, after the command word:\n"
      "  -a N      slave (controller) address (default 1)\n"
      "  -t T      0 coils, 1 discrete inputs, 3 input registers, 4 holding registers\n"
      "            (default); 3:int, 4:int 32-bit integers, 3:float, 4:float floats\n"
      "  -r N      first reference, counted from 1 (default 1)\n"
      "  -c N      number of values (default 1; write: the number of values given)\n"
      "  e.g. read -a 1 -t 4 -r 1 -c 2 reads holding registers 1 and 2 of controller 1\n"
      "  (gate 0140001, a block of 2); write -a 1 -t 4 -r 10 4321; poll -a 2 -t 3 -c 4\n"
      "\n"
      "Options:\n"
      "  -p, --port DEVICE     serial device, e.g. /dev/ttyUSB0 (required but for demo)\n"
      "  -b, --baud N          baud rate, 1..65535: the driver's line settings hold it in\n"
      "                        16 bits, so 115200 cannot be asked for (default %s)\n"
      "  -d, --data-bits N     5, 6, 7 or 8 (default %s)\n"
      "  -P, --parity X        N, O, E, M or S (default %s)\n"
      "  -s, --stop-bits X     1, 1.5 or 2 (default %s)\n"
      "  -t, --timeout N       reply time-out in units of 10 ms (default %d: 1 s;\n"
      "                        scan: %d). After the command word -t is mbpoll's type.\n"
      "  -n, --driver-nr N     driver number 0..99, which names the initialization\n"
      "                        file SARNMD<N>.INT (default %d)\n"
      "  -T, --type TYPE       data type of the gates: bit, uint16, int16, word, float,\n"
      "                        int32, uint32 (default: from the memory type)\n"
      "  -i, --interval MS     poll: milliseconds from one round to the next\n"
      "                        (default 1000)\n"
      "  -c, --count N         poll: number of rounds (default: until Ctrl-C). After\n"
      "                        the command word -c is mbpoll's number of values.\n"
      "      --csv FILE        poll: append a line per read to FILE: time, gate,\n"
      "                        value, result in words, round-trip time in ms\n"
      "      --from N, --to N  scan: controller addresses, 0..255 (default 1 to 247)\n"
      "      --bauds LIST      scan: baud rates to try, e.g. 9600,19200 (default --baud)\n"
      "      --parities LIST   scan: parities to try, e.g. E,N (default --parity)\n"
      "      --driver PATH     the driver library (default: next to sarnhost, in the\n"
      "                        install tree's library directory, or in the build tree)\n"
      "  -v, --verbose         show the driver's log (levels 8 and 32) and the gate\n"
      "                        texts built from mbpoll's options; -vv also the request\n"
      "                        and reply frames of each transaction\n"
      "  -h, --help            show this text\n"
      "\n"
      "Values are shown as the gate holds them: bits 0 or 1, 16-bit registers in\n"
      "decimal and hexadecimal, 32-bit integers, floats. Write values: 0/1/on/off for\n"
      "bits, decimal or 0x-hexadecimal integers, floats.\n"
      "\n"
      "A failure is one line on standard error that says why: no reply (with the\n"
      "attempts and time-out), the controller's exception, an LRC error, ...\n"
      "The driver's log (\"timestamp TAB level TAB text\") is shown with -v.\n"
      "KORVEN_LOG=FILE appends it to FILE instead (level 32 and up, level 8 and up\n"
      "with -v); KORVEN_LEVEL=N keeps only levels N and above there.\n"
      "\n"
      "Exit status: 0 when everything succeeded (scan: a controller answered);\n"
      "otherwise the driver's result code: 1 refused (gate text, data type, the\n"
      "controller's reply), 2 failed on the port or the line (no device, port in use,\n"
      "no permission: join the dialout group, no reply); %d for a bad command line,\n"
      "%d when the driver cannot be loaded, %d when the CSV file cannot be written.\n",
      szBaud, szBits, szParity, szStop, kDefaultTimeout, kDefaultScanTimeout, kDefaultDriverNr, kExitUsage,
      kExitNoDriver, kExitCantCreate);
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

bool ParseParity(const std::string& value, long& lParity) {
  static const char* const kParities[] = {"N", "O", "E", "M", "S"};
  static const char* const kWords[] = {"none", "odd", "even", "mark", "space"};
  for (long k = 0; k < 5; ++k) {
    if (strcasecmp(value.c_str(), kParities[k]) == 0 || strcasecmp(value.c_str(), kWords[k]) == 0) {
      lParity = k;
      return true;
    }
  }
  return false;
}

// A comma-separated list, each item checked by parse; false on an empty item.
bool ParseList(const std::string& text, const std::function<bool(const std::string&, long&)>& parse,
               std::vector<long>& values) {
  values.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    long v = 0;
    if (!parse(item, v)) return false;
    if (std::find(values.begin(), values.end(), v) == values.end()) values.push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !values.empty();
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
      {"-p", "--port", true},      {"-b", "--baud", true},      {"-d", "--data-bits", true},
      {"-P", "--parity", true},    {"-s", "--stop-bits", true}, {"-t", "--timeout", true},
      {"-n", "--driver-nr", true}, {"-T", "--type", true},      {"-i", "--interval", true},
      {"-c", "--count", true},     {nullptr, "--driver", true}, {"-v", "--verbose", false},
      {"-h", "--help", false},     {nullptr, "--csv", true},    {nullptr, "--from", true},
      {nullptr, "--to", true},     {nullptr, "--bauds", true},  {nullptr, "--parities", true},
  };
  // mbpoll's options, after the command word.
  static const Spec kMbpoll[] = {
      {"-a", "slave", true}, {"-t", "type", true}, {"-r", "reference", true}, {"-c", "count", true}};
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
    if (arg == "-vv") {
      o.iVerbose = std::max(o.iVerbose, 2);
      continue;
    }
    if (!o.command.empty()) {
      const Spec* pMb = nullptr;
      for (const Spec& s : kMbpoll) {
        if (arg == s.pszShort) pMb = &s;
      }
      if (pMb != nullptr) {
        if (i + 1 >= argc) return Usage("option " + arg + " needs a value");
        std::string value = argv[++i];
        o.bMbpoll = true;
        auto bad = [&](const std::string& what) {
          return Usage("bad value '" + value + "' for " + arg + " (" + pMb->pszLong + "): " + what);
        };
        if (arg == "-a") {
          if (!ParseLong(value, 0, 255, o.lSlave)) return bad("a controller address 0..255");
        } else if (arg == "-t") {
          if (!ValidMbpollType(value)) return bad("0, 1, 3 or 4, or 3:int, 3:float, 4:int, 4:float");
          o.mbType = value;
        } else if (arg == "-r") {
          if (!ParseLong(value, 1, 65535, o.lRef)) return bad("a reference counted from 1");
        } else {
          if (!ParseLong(value, 1, 2000, o.lMbCount)) return bad("a number of values, 1..2000");
          o.bMbCountGiven = true;
        }
        continue;
      }
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
    auto baud = [](const std::string& text, long& v) { return ParseLong(text, 1, 65535, v); };
    if (name == "--port") {
      if (value.empty()) return bad("give a device path");
      o.port = value;
    } else if (name == "--baud") {
      if (!baud(value, o.lBaud)) {
        return bad("the driver's line settings hold a baud rate of 1..65535 (16 bits): 115200 cannot be asked for");
      }
    } else if (name == "--data-bits") {
      if (!ParseLong(value, 5, 8, o.lDataBits)) return bad("5, 6, 7 or 8");
    } else if (name == "--parity") {
      if (!ParseParity(value, o.lParity)) return bad("N, O, E, M or S");
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
      ++o.iVerbose;
    } else if (name == "--help") {
      o.bHelp = true;
    } else if (name == "--csv") {
      if (value.empty()) return bad("give a file name");
      o.csvPath = value;
    } else if (name == "--from") {
      if (!ParseLong(value, 0, 255, o.lFrom)) return bad("a controller address 0..255");
    } else if (name == "--to") {
      if (!ParseLong(value, 0, 255, o.lTo)) return bad("a controller address 0..255");
    } else if (name == "--bauds") {
      if (!ParseList(value, baud, o.bauds)) return bad("baud rates of 1..65535, separated by commas");
    } else if (name == "--parities") {
      if (!ParseList(value, ParseParity, o.parities)) return bad("N, O, E, M or S, separated by commas");
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

// The driver's log: collected, so that failures can be told in words, and
// shown on standard error with -v, or passed on to the file the user named in
// KORVEN_LOG.
class DriverLog {
 public:
  // Starts collecting; without a collecting file the log goes where the
  // environment says, as the log library does by itself.
  void Start(int iVerbose) {
    const char* pszFile = getenv("KORVEN_LOG");
    const char* pszLevel = getenv("KORVEN_LEVEL");
    bool bLevelSet = pszLevel != nullptr && *pszLevel != '\0';
    int iUserLevel = bLevelSet ? atoi(pszLevel) : 0;
    if (pszFile != nullptr && *pszFile != '\0') {
      userFile_ = pszFile;
      iFileLevel_ = iVerbose > 0 ? 8 : bLevelSet ? iUserLevel : 32;
    } else if (iVerbose > 0) {
      iShowLevel_ = bLevelSet ? std::min(iUserLevel, 8) : 8;
    }
    if (!tap_.Start()) setenv("KORVEN_LEVEL", iVerbose > 0 ? "8" : "32", iVerbose > 0 ? 1 : 0);
  }

  // Lines logged since the last call, after showing or passing them on.
  std::vector<LogLine> Take() {
    std::vector<LogLine> lines = tap_.Take();
    std::string forFile;
    for (const LogLine& l : lines) {
      if (!userFile_.empty()) {
        if (l.iLevel >= iFileLevel_) forFile += l.raw + "\n";
      } else if (l.iLevel >= iShowLevel_) {
        fprintf(stderr, "%s\n", l.raw.c_str());
      }
    }
    if (!forFile.empty()) {
      int fd = open(userFile_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0) {
        (void)!write(fd, forFile.data(), forFile.size());
        close(fd);
      }
    }
    return lines;
  }

 private:
  LogTap tap_;
  int iShowLevel_ = INT_MAX;  // standard error: nothing unless -v
  std::string userFile_;
  int iFileLevel_ = 32;
};

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

// One driver instance on the port, with what the commands need around it.
struct Session {
  const Options& o;
  Instance& inst;
  DriverLog& log;
  std::string portName;  // the name the driver was given
  LineSettings line;
  int32_t iTimeout;

  bool Gtc() { return inst.Context()->cProtocol == SARN_PROTOCOL_GTC; }
  bool HexBase() { return inst.Context()->cBase == 'H'; }
};

// Checks a gate text with the driver's address parser; prints one line and
// returns the result code when it is refused.
ResultCode ParseGate(Session& s, const std::string& text, int32_t iCount, Gate& gate) {
  if (!s.HexBase()) {
    std::string warning = DecimalBaseWarning(text);
    if (!warning.empty()) fprintf(stderr, "sarnhost: warning: %s\n", warning.c_str());
  }
  int32_t iDataType = s.o.iType >= 0 ? s.o.iType : DefaultDataType(text);
  s.log.Take();
  ResultCode rc = s.inst.Parse(text, iDataType, iCount, gate);
  std::vector<LogLine> lines = s.log.Take();
  if (rc != 0) {
    fprintf(stderr, "sarnhost: gate '%s' refused: %s\n", text.c_str(), RefusalReason(lines, gate, s.Gtc()).c_str());
    return rc;
  }
  if (gate.bBlock && !TypeFitsMemory(iDataType, gate.spec.iMemType, false)) {
    fprintf(stderr, "sarnhost: gate '%s' refused: data type %s does not fit a block of %s values\n", text.c_str(),
            DataTypeName(iDataType), MemoryTypeName(gate.spec.iMemType, s.Gtc()));
    return SARN_REFUSED;
  }
  return 0;
}

std::string Label(Session& s, const Gate& gate, int k) {
  if (!gate.bBlock) return gate.text;
  std::string text = ElementText(gate, k, s.HexBase(), s.Gtc());
  return text.empty() ? gate.text + "[" + std::to_string(k) + "]" : text;
}

// What one read or write came to.
struct TxResult {
  ResultCode rc = 0;
  Outcome outcome;  // filled when rc is not 0
  double dMs = 0;   // round-trip time of the whole transaction
};

// Runs one read or write and explains a failure from the driver's log of it.
// With -vv the frames left in the context's buffers are shown.
TxResult Transact(Session& s, const Gate& gate, bool bWrite, std::vector<uint8_t>& buffer) {
  DriverContext* pCtx = s.inst.Context();
  s.log.Take();
  // The host owns the context: emptied buffers show exactly this
  // transaction's last request and reply afterwards.
  memset(pCtx->txBuf, 0, sizeof pCtx->txBuf);
  memset(pCtx->rxBuf, 0, sizeof pCtx->rxBuf);
  TxResult r;
  auto t0 = Clock::now();
  r.rc = bWrite ? s.inst.Write(gate, buffer) : s.inst.Read(gate, buffer);
  r.dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  std::vector<LogLine> lines = s.log.Take();
  if (s.o.iVerbose >= 2) {
    fprintf(stderr, "sarnhost: %s request %s\n", gate.text.c_str(),
            PrintableFrame(pCtx->txBuf, sizeof pCtx->txBuf).c_str());
    fprintf(stderr, "sarnhost: %s reply   %s\n", gate.text.c_str(),
            PrintableFrame(pCtx->rxBuf, sizeof pCtx->rxBuf).c_str());
  }
  if (r.rc != 0) {
    TransactionFacts facts;
    facts.iPlcAddr = gate.spec.iPlcAddr;
    facts.iMemType = gate.spec.iMemType;
    facts.bGtc = s.Gtc();
    facts.iTimeout = s.iTimeout;
    facts.pszReply = pCtx->rxBuf;
    facts.nReplySize = sizeof pCtx->rxBuf;
    r.outcome = Explain(r.rc, lines, facts);
  }
  return r;
}

// Gives the driver the port again with other line settings (scan): the port
// is closed and opened anew through ChangeSarnParams.
ResultCode Reopen(Session& s, const LineSettings& line) {
  s.inst.CloseCom();
  PortAlias alias;
  std::string error;
  std::string name = alias.NameFor(s.o.port, error);
  if (name.empty()) return SARN_LINE_FAIL;
  ResultCode rc = s.inst.ChangeParams(name, s.iTimeout, line);
  s.log.Take();
  if (rc == 0) {
    s.portName = name;
    s.line = line;
  }
  return rc;
}

// Starts the driver instance on the port and runs body with it; the result
// is body's, or 2 when the port cannot be used.
int WithPort(const Options& o, const Driver& driver, const DriverInfo& info, DriverLog& log, int32_t iDefaultTimeout,
             const std::function<int(Session&)>& body) {
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
  int32_t iTimeout = o.lTimeout >= 0 ? static_cast<int32_t>(o.lTimeout) : iDefaultTimeout;
  int32_t iDriverNr = o.lDriverNr >= 0 ? static_cast<int32_t>(o.lDriverNr) : kDefaultDriverNr;

  Instance inst(driver, iDriverNr, info.iContextSize);
  ResultCode rc = inst.ColdStart(name, true, iTimeout, line);
  alias.Release();
  std::vector<LogLine> lines = log.Take();
  if (o.iVerbose > 0) {
    fprintf(stderr, "sarnhost: driver %s, ColdStart(driver %d, %s, %s, time-out %d0 ms) -> %d\n", driver.Path().c_str(),
            iDriverNr, name.c_str(), LineName(line).c_str(), iTimeout, rc);
  }
  if (rc != 0) {
    std::string why;
    for (const LogLine& l : lines) {
      if (l.text.find("error") != std::string::npos) why = l.text;
    }
    fprintf(stderr, "sarnhost: the driver could not open %s (ColdStart returned %d%s%s)\n", o.port.c_str(), rc,
            why.empty() ? "" : ": ", why.c_str());
    return rc;
  }
  Session session{o, inst, log, name, line, iTimeout};
  int result = body(session);
  ResultCode rcEnd = inst.EndSarn();
  log.Take();
  if (rcEnd != 0) {
    fprintf(stderr, "sarnhost: the driver could not close %s (EndSarn returned %d)\n", o.port.c_str(), rcEnd);
    if (result == 0) result = rcEnd;
  }
  return result;
}

bool Is32BitType(const std::string& mbType) {
  return mbType.find(':') != std::string::npos;
}

// The gate text mbpoll's options name, shown with -v; "" after a message.
std::string MbpollGate(Session& s, long lRef) {
  std::string error;
  std::string text = MbpollGateText(s.o.lSlave, s.o.mbType, lRef, s.HexBase(), error);
  if (text.empty()) fprintf(stderr, "sarnhost: %s\n", error.c_str());
  return text;
}

void ShowMbpollGate(Session& s, const std::string& text, long lCount) {
  if (s.o.iVerbose == 0) return;
  fprintf(stderr, "sarnhost: -a %ld -t %s -r %ld -c %ld is gate %s%s\n", s.o.lSlave, s.o.mbType.c_str(), s.o.lRef,
          lCount, text.c_str(), lCount > 1 ? (", a block of " + std::to_string(lCount)).c_str() : "");
}

int CmdRead(Session& s) {
  std::string text;
  long lCount = -1;
  if (s.o.bMbpoll) {
    text = MbpollGate(s, s.o.lRef);
    if (text.empty()) return kExitUsage;
    if (s.o.lMbCount > 1) lCount = s.o.lMbCount;
    ShowMbpollGate(s, text, s.o.lMbCount);
  } else {
    text = s.o.args[0];
    if (s.o.args.size() == 2) ParseLong(s.o.args[1], 1, 65535, lCount);  // checked before the port was opened
  }
  Gate gate;
  ResultCode rc = ParseGate(s, text, static_cast<int32_t>(lCount), gate);
  if (rc != 0) return rc;
  std::vector<uint8_t> buffer;
  TxResult r = Transact(s, gate, false, buffer);
  if (r.rc != 0) {
    fprintf(stderr, "sarnhost: reading '%s' failed: %s\n", gate.text.c_str(), r.outcome.longText.c_str());
    return r.rc;
  }
  std::vector<Value> values = DecodeBuffer(gate, buffer);
  for (size_t k = 0; k < values.size(); ++k) {
    printf("%s: %s\n", Label(s, gate, static_cast<int>(k)).c_str(), FormatValue(values[k], gate.iDataType).c_str());
  }
  return 0;
}

int CmdWrite(Session& s) {
  std::string text;
  std::vector<std::string> valueTexts;
  if (s.o.bMbpoll) {
    valueTexts = s.o.args;
    if (s.o.bMbCountGiven && static_cast<size_t>(s.o.lMbCount) != valueTexts.size()) {
      return Usage("-c " + std::to_string(s.o.lMbCount) + " but " + std::to_string(valueTexts.size()) +
                   " values given");
    }
    text = MbpollGate(s, s.o.lRef);
    if (text.empty()) return kExitUsage;
    ShowMbpollGate(s, text, static_cast<long>(valueTexts.size()));
  } else {
    text = s.o.args[0];
    valueTexts.assign(s.o.args.begin() + 1, s.o.args.end());
  }
  int32_t iCount = valueTexts.size() > 1 ? static_cast<int32_t>(valueTexts.size()) : -1;
  Gate gate;
  ResultCode rc = ParseGate(s, text, iCount, gate);
  if (rc != 0) return rc;
  std::vector<Value> values;
  for (const std::string& vt : valueTexts) {
    Value v;
    std::string error;
    if (!ParseValue(vt, gate.spec.iBits, gate.iDataType, v, error)) {
      fprintf(stderr, "sarnhost: %s for gate '%s' (%s)\n", error.c_str(), text.c_str(), DataTypeName(gate.iDataType));
      return kExitUsage;
    }
    values.push_back(v);
  }
  std::vector<uint8_t> buffer = EncodeBuffer(gate, values);
  TxResult r = Transact(s, gate, true, buffer);
  if (r.rc != 0) {
    fprintf(stderr, "sarnhost: writing '%s' failed: %s\n", text.c_str(), r.outcome.longText.c_str());
    return r.rc;
  }
  for (size_t k = 0; k < values.size(); ++k) {
    printf("%s: wrote %s\n", Label(s, gate, static_cast<int>(k)).c_str(),
           FormatValue(values[k], gate.iDataType).c_str());
  }
  return 0;
}

// ---------------------------------------------------------------- poll

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Local time with milliseconds: "2026-12-08 15:40:01.123".
std::string Timestamp() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  char sz[48];
  size_t n = strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S", &local);
  snprintf(sz + n, sizeof sz - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
  return sz;
}

struct PollRow {
  Gate gate;
  std::string value = "waiting";
  long lGood = 0, lFailed = 0;
  std::map<std::string, long> failures;  // reason -> count
  double dLastMs = 0, dMaxMs = 0;
};

// What the polling thread and the drawing thread share.
struct PollState {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<PollRow> rows;
  long lRound = 0;
  int iWorst = 0;
  bool bFinished = false;
  unsigned long ulVersion = 0;  // counts changes, for redrawing
  std::atomic<bool> bStop{false};
};

std::vector<std::string> PollTable(const std::vector<PollRow>& rows) {
  std::vector<std::string> lines;
  char sz[256];
  snprintf(sz, sizeof sz, "%-9s %-34s %7s %7s %9s %9s", "gate", "value", "good", "failed", "last ms", "max ms");
  lines.push_back(sz);
  for (const PollRow& r : rows) {
    snprintf(sz, sizeof sz, "%-9s %-34s %7ld %7ld %9.2f %9.2f", r.gate.text.c_str(), r.value.c_str(), r.lGood,
             r.lFailed, r.dLastMs, r.dMaxMs);
    lines.push_back(sz);
  }
  return lines;
}

// Draws the live table over the previous one. Every line starts at the left
// margin and is cleared first, whatever the terminal echoed (^C) meanwhile.
void DrawLive(const Options& o, PollState& st, int& iDrawn) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(st.mutex);
    char sz[256];
    snprintf(sz, sizeof sz, "polling %s every %ld ms, round %ld%s (Ctrl-C stops)", o.port.c_str(), o.lInterval,
             st.lRound, o.lCount > 0 ? (" of " + std::to_string(o.lCount)).c_str() : "");
    lines.push_back(sz);
    for (std::string& l : PollTable(st.rows)) lines.push_back(std::move(l));
  }
  std::string out;
  if (iDrawn > 0) out += "\x1b[" + std::to_string(iDrawn) + "A";
  for (const std::string& l : lines) out += "\r\x1b[K" + l + "\n";
  fputs(out.c_str(), stdout);
  fflush(stdout);
  iDrawn = static_cast<int>(lines.size());
}

void PollLoop(Session& s, PollState& st, bool bLive, FILE* pCsv) {
  const Options& o = s.o;
  auto next = Clock::now();
  size_t nRows = st.rows.size();
  for (long lRound = 1; !st.bStop && (o.lCount == 0 || lRound <= o.lCount); ++lRound) {
    {
      std::lock_guard lock(st.mutex);
      st.lRound = lRound;
      ++st.ulVersion;
    }
    st.cv.notify_all();
    for (size_t i = 0; i < nRows && !st.bStop; ++i) {
      const Gate& gate = st.rows[i].gate;  // never changed while polling
      std::vector<uint8_t> buffer;
      TxResult r = Transact(s, gate, false, buffer);
      std::string value, plain, result = "ok";
      if (r.rc == 0) {
        Value v = DecodeBuffer(gate, buffer)[0];
        value = FormatValue(v, gate.iDataType);
        plain = PlainValue(v, gate.iDataType);
      } else {
        value = r.outcome.shortText;
        result = r.outcome.shortText;
      }
      {
        std::lock_guard lock(st.mutex);
        PollRow& row = st.rows[i];
        row.dLastMs = r.dMs;
        row.dMaxMs = std::max(row.dMaxMs, r.dMs);
        row.value = value;
        if (r.rc == 0) {
          ++row.lGood;
        } else {
          ++row.lFailed;
          ++row.failures[r.outcome.shortText];
          st.iWorst = std::max(st.iWorst, static_cast<int>(r.rc));
        }
        ++st.ulVersion;
      }
      st.cv.notify_all();
      if (pCsv != nullptr) {
        fprintf(pCsv, "%s,%s,%s,%s,%.2f\n", Timestamp().c_str(), CsvField(gate.text).c_str(), CsvField(plain).c_str(),
                CsvField(result).c_str(), r.dMs);
        fflush(pCsv);
      }
      if (!bLive) {
        printf("round %ld  %-9s %-34s %8.2f ms\n", lRound, gate.text.c_str(), value.c_str(), r.dMs);
        fflush(stdout);
      }
    }
    if (o.lCount != 0 && lRound >= o.lCount) break;
    next += std::chrono::milliseconds(o.lInterval);
    {
      std::unique_lock lock(st.mutex);
      st.cv.wait_until(lock, next, [&] { return st.bStop.load(); });
    }
    if (Clock::now() > next + std::chrono::milliseconds(o.lInterval)) next = Clock::now();
  }
  {
    std::lock_guard lock(st.mutex);
    st.bFinished = true;
    ++st.ulVersion;
  }
  st.cv.notify_all();
}

void PrintPollSummary(PollState& st, bool bLive, bool bInterrupted) {
  std::lock_guard lock(st.mutex);
  long lReads = 0, lGood = 0, lFailed = 0;
  std::map<std::string, long> failures;
  for (const PollRow& r : st.rows) {
    lGood += r.lGood;
    lFailed += r.lFailed;
    for (const auto& [why, n] : r.failures) failures[why] += n;
  }
  lReads = lGood + lFailed;
  // On a terminal: clears what it echoed (^C) and starts at the left margin.
  printf("%s\nsummary after %ld round%s%s:\n", bLive ? "\r\x1b[K" : "", st.lRound, st.lRound == 1 ? "" : "s",
         bInterrupted ? " (interrupted)" : "");
  for (const std::string& l : PollTable(st.rows)) printf("%s\n", l.c_str());
  printf("%ld reads, %ld good", lReads, lGood);
  if (lFailed > 0) {
    printf(", %ld failed:", lFailed);
    const char* pszSep = " ";
    for (const auto& [why, n] : failures) {
      printf("%s%ld %s", pszSep, n, why.c_str());
      pszSep = ", ";
    }
  }
  printf("\n");
  fflush(stdout);
}

int CmdPoll(Session& s) {
  const Options& o = s.o;
  std::vector<std::string> texts;
  if (o.bMbpoll) {
    long lStep = Is32BitType(o.mbType) ? 2 : 1;
    for (long k = 0; k < o.lMbCount; ++k) {
      std::string text = MbpollGate(s, o.lRef + k * lStep);
      if (text.empty()) return kExitUsage;
      texts.push_back(text);
    }
    if (o.iVerbose > 0) {
      std::string list;
      for (const std::string& t : texts) list += " " + t;
      fprintf(stderr, "sarnhost: -a %ld -t %s -r %ld -c %ld are gates%s\n", o.lSlave, o.mbType.c_str(), o.lRef,
              o.lMbCount, list.c_str());
    }
  } else {
    texts = o.args;
  }
  PollState st;
  st.rows.resize(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    ResultCode rc = ParseGate(s, texts[i], -1, st.rows[i].gate);
    if (rc != 0) return rc;
  }
  FILE* pCsv = nullptr;
  if (!o.csvPath.empty()) {
    pCsv = fopen(o.csvPath.c_str(), "a");
    if (pCsv == nullptr) {
      fprintf(stderr, "sarnhost: cannot write the CSV file %s: %s\n", o.csvPath.c_str(), strerror(errno));
      return kExitCantCreate;
    }
    if (ftell(pCsv) == 0) fprintf(pCsv, "time,gate,value,result,ms\n");
    fflush(pCsv);
  }

  // In place on a terminal; round by round when the output is kept or the
  // driver's log would run through the table.
  const bool bLive = isatty(STDOUT_FILENO) && o.iVerbose == 0;
  CatchInterrupts();
  int iDrawn = 0;
  st.lRound = 1;  // the first round starts at once: the table never says "round 0"
  if (bLive) DrawLive(o, st, iDrawn);  // at once: every row "waiting"

  // The transactions run on their own thread, so that Ctrl-C is answered at
  // once even while one of them waits out its time-outs. Signals go to this
  // thread.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread poller([&] { PollLoop(s, st, bLive, pCsv); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  unsigned long ulDrawn = 0;
  while (true) {
    std::unique_lock lock(st.mutex);
    st.cv.wait_for(lock, std::chrono::milliseconds(50));
    bool bFinished = st.bFinished;
    bool bChanged = st.ulVersion != ulDrawn;
    ulDrawn = st.ulVersion;
    lock.unlock();
    if (g_bInterrupted || bFinished) break;
    if (bLive && bChanged) DrawLive(o, st, iDrawn);
  }
  const bool bInterrupted = g_bInterrupted != 0;
  st.bStop = true;
  st.cv.notify_all();
  bool bDone = false;
  {
    // A transaction under way may end within a moment; otherwise it is left
    // behind: the summary comes now and the process ends with it.
    std::unique_lock lock(st.mutex);
    bDone = st.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return st.bFinished; });
  }
  if (bLive && !bInterrupted) DrawLive(o, st, iDrawn);
  PrintPollSummary(st, bLive, bInterrupted);
  int iWorst = 0;
  {
    std::lock_guard lock(st.mutex);
    iWorst = st.iWorst;
  }
  if (!bDone) {
    if (pCsv != nullptr) fflush(pCsv);
    fflush(stderr);
    _exit(iWorst);
  }
  poller.join();
  if (pCsv != nullptr) fclose(pCsv);
  return iWorst;
}

// ---------------------------------------------------------------- scan

struct ScanHit {
  long lAddress;
  LineSettings line;
  std::string answer;
  bool bGarbled;
};

// Name of the probe gate for a controller address, for the driver's log.
std::string ProbeName(Session& s, long lAddress, const char* pszRest) {
  char sz[32];
  if (s.HexBase()) {
    snprintf(sz, sizeof sz, "%02lX%s", lAddress, pszRest);
  } else if (lAddress <= 99) {
    snprintf(sz, sizeof sz, "%02ld%s", lAddress, pszRest);
  } else {
    snprintf(sz, sizeof sz, "controller %ld", lAddress);
  }
  return sz;
}

int CmdScan(Session& s) {
  const Options& o = s.o;
  std::vector<LineSettings> settings;
  std::vector<long> bauds = o.bauds.empty() ? std::vector<long>{s.line.wBaud} : o.bauds;
  std::vector<long> parities = o.parities.empty() ? std::vector<long>{s.line.wParity} : o.parities;
  for (long lBaud : bauds) {
    for (long lParity : parities) {
      LineSettings line = s.line;
      line.wBaud = static_cast<uint16_t>(lBaud);
      line.wParity = static_cast<uint16_t>(lParity);
      settings.push_back(line);
    }
  }
  // The probe: holding register 1 (GTC: register area 1, read as a block).
  // Any answer, an exception too, shows that a controller is there.
  Gate probe;
  const bool bGtc = s.Gtc();
  ResultCode rc = bGtc ? ParseGate(s, "0130001", 64, probe) : ParseGate(s, "0140001", -1, probe);
  if (rc != 0) return rc;
  const char* pszRest = bGtc ? "30001" : "40001";

  CatchInterrupts();
  const bool bProgress = isatty(STDERR_FILENO) && o.iVerbose == 0;
  const long nAddresses = o.lTo - o.lFrom + 1;
  const double dWorst = static_cast<double>(settings.size()) * static_cast<double>(nAddresses) * 3 * s.iTimeout / 100.0;
  if (o.iVerbose > 0 || bProgress) {
    fprintf(stderr, "sarnhost: scanning controllers %ld to %ld on %s at %zu line setting%s, at most %.0f s\n", o.lFrom,
            o.lTo, o.port.c_str(), settings.size(), settings.size() == 1 ? "" : "s", dWorst);
  }
  auto t0 = Clock::now();
  std::vector<ScanHit> hits;
  size_t nAnswered = 0;
  long nProbed = 0;
  for (size_t i = 0; i < settings.size() && !g_bInterrupted; ++i) {
    const LineSettings& line = settings[i];
    if (i > 0 || memcmp(&line, &s.line, sizeof line) != 0) {
      if (Reopen(s, line) != 0) {
        fprintf(stderr, "sarnhost: the driver could not open %s at %s\n", o.port.c_str(), LineName(line).c_str());
        continue;
      }
    }
    for (long lAddress = o.lFrom; lAddress <= o.lTo && !g_bInterrupted; ++lAddress) {
      if (bProgress) {
        fprintf(stderr, "\r\x1b[Kscanning %s: controller %ld (%ld..%ld), %zu answered", LineName(line).c_str(),
                lAddress, o.lFrom, o.lTo, nAnswered);
      }
      Gate gate = probe;
      gate.text = ProbeName(s, lAddress, pszRest);
      gate.spec.iPlcAddr = static_cast<int32_t>(lAddress);
      std::vector<uint8_t> buffer;
      TxResult r = Transact(s, gate, false, buffer);
      ++nProbed;
      if (r.rc == 0) {
        hits.push_back({lAddress, line, "answered", false});
        ++nAnswered;
      } else if (r.outcome.bAnswered) {
        hits.push_back({lAddress, line, "answered " + r.outcome.shortText, false});
        ++nAnswered;
      } else if (r.outcome.bGarbled) {
        hits.push_back({lAddress, line, "garbled reply: " + r.outcome.shortText, true});
      }
    }
  }
  if (bProgress) fprintf(stderr, "\r\x1b[K");
  double dSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

  printf("scan of %s: controllers %ld to %ld at", o.port.c_str(), o.lFrom, o.lTo);
  for (size_t i = 0; i < settings.size(); ++i) printf("%s %s", i == 0 ? "" : ",", LineName(settings[i]).c_str());
  printf(", %ld probes in %.1f s%s\n", nProbed, dSeconds, g_bInterrupted ? " (interrupted)" : "");
  if (hits.empty()) {
    printf("no controller answered\n");
  } else {
    printf("%-10s  %-14s  %s\n", "controller", "line", "answer");
    for (const ScanHit& h : hits) {
      printf("%-10ld  %-14s  %s\n", h.lAddress, LineName(h.line).c_str(), h.answer.c_str());
    }
    size_t nGarbled = hits.size() - nAnswered;
    if (nGarbled > 0) {
      printf("(garbled replies come from a controller at another line setting, or from noise)\n");
    }
  }
  return nAnswered > 0 ? 0 : SARN_LINE_FAIL;
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

  Driver driver;
  std::string error;
  bool bLoaded = LoadDriver(o, driver, error);
  DriverInfo info{};
  if (bLoaded && driver.Info(info) != 0) info = DriverInfo{};
  if (o.bHelp) {
    PrintHelp(bLoaded ? &info : nullptr);
    return 0;
  }
  if (o.command.empty()) return Usage("no command given: read, write, poll, scan, demo or info");

  struct CommandArity {
    const char* pszName;
    size_t nMin, nMax;      // arguments with gate texts
    size_t nMbMin, nMbMax;  // arguments with mbpoll's options
    const char* pszUsage;
  };
  static const CommandArity kCommands[] = {
      {"read", 1, 2, 0, 0, "read GATE [COUNT], or read -a SLAVE -t TYPE -r REF [-c COUNT]"},
      {"write", 2, 10000, 1, 10000, "write GATE VALUE..., or write -a SLAVE -t TYPE -r REF VALUE..."},
      {"poll", 1, 1000, 0, 0, "poll GATE..., or poll -a SLAVE -t TYPE -r REF [-c COUNT]"},
      {"scan", 0, 0, 0, 0, "scan [--from N] [--to N] [--bauds LIST] [--parities LIST]"},
      {"demo", 0, 0, 0, 0, "demo"},
      {"info", 0, 0, 0, 0, "info"},
  };
  const CommandArity* pCmd = nullptr;
  for (const CommandArity& c : kCommands) {
    if (o.command == c.pszName) pCmd = &c;
  }
  if (pCmd == nullptr) return Usage("unknown command '" + o.command + "'");
  const bool bGates = o.command == "read" || o.command == "write" || o.command == "poll";
  if (o.bMbpoll && !bGates) return Usage("-a, -t, -r and -c after the command word belong to read, write and poll");
  size_t nMin = o.bMbpoll ? pCmd->nMbMin : pCmd->nMin, nMax = o.bMbpoll ? pCmd->nMbMax : pCmd->nMax;
  if (o.args.size() < nMin || o.args.size() > nMax) {
    return Usage(std::string("usage: sarnhost [options] ") + pCmd->pszUsage);
  }
  if (!o.csvPath.empty() && o.command != "poll") return Usage("--csv belongs to poll");
  if ((!o.bauds.empty() || !o.parities.empty()) && o.command != "scan") {
    return Usage("--bauds and --parities belong to scan");
  }
  if (o.lFrom > o.lTo) return Usage("--from " + std::to_string(o.lFrom) + " is above --to " + std::to_string(o.lTo));

  if (!bLoaded) {
    fprintf(stderr, "sarnhost: cannot load the driver: %s (give its path with --driver)\n", error.c_str());
    return kExitNoDriver;
  }
  if (info.iContextSize <= 0) {
    fprintf(stderr, "sarnhost: %s did not report a context size: not a usable driver\n", driver.Path().c_str());
    return kExitNoDriver;
  }

  long lCount = 0;
  if (o.command == "read" && !o.bMbpoll && o.args.size() == 2 && !ParseLong(o.args[1], 1, 65535, lCount)) {
    return Usage("bad COUNT '" + o.args[1] + "': a number of values, 1 or more");
  }

  if (o.command == "info" || o.command == "demo") {
    // The demo shows the driver's log itself; -v adds the traces.
    if (o.iVerbose > 0) {
      setenv("KORVEN_LEVEL", "8", 1);
    } else {
      setenv("KORVEN_LEVEL", "32", 0);
    }
    if (o.command == "info") return CmdInfo(driver, info);
    return RunDemo(driver, info, o.iVerbose > 0);
  }

  DriverLog log;
  log.Start(o.iVerbose);
  if (o.command == "read") return WithPort(o, driver, info, log, kDefaultTimeout, CmdRead);
  if (o.command == "write") return WithPort(o, driver, info, log, kDefaultTimeout, CmdWrite);
  if (o.command == "scan") return WithPort(o, driver, info, log, kDefaultScanTimeout, CmdScan);
  return WithPort(o, driver, info, log, kDefaultTimeout, CmdPoll);
}

}  // namespace
}  // namespace sarnhost

int main(int argc, char** argv) {
  int rc = sarnhost::Main(argc, argv);
  fflush(stdout);
  return rc;
}
