#include "session.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "address/gtc_memory.h"
#include "cli.h"
#include "explain.h"
#include "gate_words.h"
#include "gateway_port.h"
#include "hostlog/log_messages.h"
#include "port_check.h"

namespace sarnhost {

volatile sig_atomic_t g_bInterrupted = 0;

namespace {

using Clock = std::chrono::steady_clock;

void OnInterrupt(int) {
  g_bInterrupted = 1;
}

// Line n (from 1) of a file, or "".
std::string FileLine(const std::string& path, long n) {
  std::ifstream in(path);
  std::string line;
  for (long k = 1; k <= n && std::getline(in, line); ++k) {
    if (k == n) return line;
  }
  return "";
}

// What the driver says of an initialization-file line it refused or of a
// setting it assumed (at level 32, shown without -v).
const sarn::LogMessage* const kIntFileWarnings[] = {
    &sarn::kMsgIntFileIllegalLine, &sarn::kMsgIntFileIllegalFormat,  &sarn::kMsgIntFileCheckIfg,
    &sarn::kMsgIntFileCheckSwap,   &sarn::kMsgIntFileCheckFloatSwap, &sarn::kMsgIntFileCheckLongAddr,
    &sarn::kMsgIntFileCheckRtsCts, &sarn::kMsgIntFileCheckEcho,
};

bool IsIntFileWarning(const std::string& text) {
  return std::any_of(std::begin(kIntFileWarnings), std::end(kIntFileWarnings),
                     [&text](const sarn::LogMessage* pMessage) { return LoggedAs(text, *pMessage); });
}

// For an ignored line that is a key set off by blanks: the driver reads
// the switch keys and IFG only from the first column (a BUS line may be
// indented), which the bare "Illegal line" does not say.
std::string IndentHint(const std::string& line) {
  const size_t nStart = line.find_first_not_of(" \t");
  if (nStart == 0 || nStart == std::string::npos) return "";
  for (const char* pszKey : {"SWAP", "FLOATSWAP", "LONGADDR", "RTSCTS", "ECHO", "IFG"}) {
    const size_t nLen = strlen(pszKey);
    if (strncasecmp(line.c_str() + nStart, pszKey, nLen) != 0) continue;
    const char cNext = line.size() > nStart + nLen ? line[nStart + nLen] : '\0';
    if (cNext == ' ' || cNext == '\t' || cNext == '=') {
      return std::string(": ") + pszKey + " must start in the first column, without the blanks before it";
    }
  }
  return "";
}

// Initialization-file lines the driver refused, shown without -v ("Illegal
// line 3 in Int File"), after it named the file in a trace.
void WarnAboutIntFile(const std::vector<LogLine>& lines) {
  std::string file = "the initialization file";
  for (const LogLine& l : lines) {
    LoggedFields fields;
    if (LoggedAs(l.text, sarn::kMsgIntFileReading, &fields)) file = fields.text[0];
    if (!IsIntFileWarning(l.text)) continue;
    long lLine = 0;
    std::string quoted;
    if (LoggedAs(l.text, sarn::kMsgIntFileIllegalLine, &lLine)) quoted = FileLine(file, lLine);
    fprintf(stderr, "sarnhost: warning: %s: %s%s%s%s%s\n", file.c_str(), WithoutTag(l.text).c_str(),
            quoted.empty() ? "" : " ('", quoted.c_str(), quoted.empty() ? "" : "'): the driver ignored it",
            IndentHint(quoted).c_str());
  }
}

// The name the driver is given: the path when it fits, a short name under
// /dev/ as it is (the driver looks for it there), otherwise /dev/fd/N.
std::string DriverPortName(const std::string& port, PortAlias& alias, std::string& error) {
  if (IsGatewayPort(port)) return kGatewayPortName;
  const std::string path = DevicePath(port);
  if (path.size() <= kMaxPortName) return path;
  if (port != path && port.size() <= kMaxPortName) return port;
  return alias.NameFor(path, error);
}

LineSettings LineFromOptions(const Options& o, LineSettings line) {
  if (o.lBaud >= 0) line.wBaud = static_cast<uint16_t>(o.lBaud);
  if (o.lDataBits >= 0) line.wDataBits = static_cast<uint16_t>(o.lDataBits);
  if (o.lParity >= 0) line.wParity = static_cast<uint16_t>(o.lParity);
  if (o.lStopBits >= 0) line.wStopBits = static_cast<uint16_t>(o.lStopBits);
  return line;
}

// After a failed ColdStart: one line with the driver's reason, the
// system's words where it logged them. The port check before found nothing,
// so the reason is the driver's alone.
void ColdStartFailed(const Options& o, ResultCode rc, const std::vector<LogLine>& lines) {
  const std::string why = PortFailureReason(lines);
  fprintf(stderr, "sarnhost: the driver could not open %s (ColdStart returned %d%s%s)\n", o.port.c_str(), rc,
          why.empty() ? "" : ": ", why.c_str());
}

// Element k of a GTC bit block by its own gate address; "" for register areas.
std::string GtcElementText(const Gate& gate, int k, bool bHexBase) {
  unsigned uAddress = 0;
  if (gate.spec.iMemType == SARN_MEM_COILS) {
    uAddress = sarn::kGtcFirstVariableGate + static_cast<unsigned>(k);  // a block of them starts at the first
  } else if (gate.spec.iMemType == SARN_MEM_INPUTS) {
    uAddress = static_cast<unsigned>(sarn::GtcInputGate(gate.spec.iAddress + k));
  } else {
    return "";
  }
  char sz[16];
  snprintf(sz, sizeof sz, bHexBase ? "%04X" : "%04u", uAddress);
  return gate.text.substr(0, 3) + sz;
}

// The memory type digit of a gate's values: a register pair block's values
// are 32-bit ones of its table.
char ValueMemoryDigit(const Gate& gate) {
  if (!gate.bPairs) return static_cast<char>('0' + gate.spec.iMemType);
  const bool bInput = gate.spec.iMemType == SARN_MEM_INPUT_REGISTERS;
  if (gate.iPairType == kTypeFloat) return bInput ? '5' : '7';
  return bInput ? '6' : '8';
}

// The name of the value at controller lSlave, memory type cMem, reference
// lRef: its gate text where one says it, else sarnhost's dotted form
// ("150.40001", "1.410000"), which it reads back the same way.
std::string ValueName(Session& s, long lSlave, char cMem, long lRef, bool bPairs) {
  const bool bHex = s.HexBase();
  const bool b32 = cMem >= '5';
  char sz[32];
  if (SlaveFitsText(lSlave, bHex) && lRef <= (bHex ? 0xFFFF : 9999) && !bPairs && (!b32 || lRef % 2 == 1)) {
    snprintf(sz, sizeof sz, bHex ? "%02lX%c%04lX" : "%02ld%c%04ld", lSlave, cMem, lRef);
  } else {
    snprintf(sz, sizeof sz, "%ld.%c%04ld", lSlave, cMem, lRef);
  }
  return sz;
}

// mbpoll's own naming of a 32-bit value shown in mbpoll's word order where
// that differs from the driver's: no gate text reads it so.
std::string MbpollLabel(Session& s, const Gate& gate, long lRef) {
  static const char* const kTypes[] = {"", "", "", "", "", "3:float", "3:int", "4:float", "4:int"};
  const std::string ref = s.o.bFromZero ? "-0 -r " + std::to_string(lRef - 1) : "-r " + std::to_string(lRef);
  return "-a " + std::to_string(gate.spec.iPlcAddr) + " -t " + kTypes[ValueMemoryDigit(gate) - '0'] + " " + ref +
         (gate.bHighFirst ? " -B" : "");
}

}  // namespace

bool DriverHighFirst(Session& s, bool bFloat) {
  return (s.inst.Context()->wFlags & (bFloat ? SARN_FLAG_FLOATSWAP : SARN_FLAG_SWAP)) == 0;
}

std::string Label(Session& s, const Gate& gate, int k) {
  if (s.Gtc()) {
    const std::string text = gate.bBlock ? GtcElementText(gate, k, s.HexBase()) : gate.text;
    return text.empty() ? gate.text + "[" + std::to_string(k) + "]" : text;
  }
  const bool b32 = gate.spec.iBits == 32 || gate.bPairs;
  const long lRef = gate.lRef + (b32 ? 2 : 1) * k;
  if (!ShownInDriverOrder(s, gate) && gate.lRef > 0) return MbpollLabel(s, gate, lRef);
  if (!gate.bBlock && gate.text.find('.') == std::string::npos && !gate.bPairs) return gate.text;  // as given
  if (gate.lRef <= 0) return gate.text + "[" + std::to_string(k) + "]";
  return ValueName(s, gate.spec.iPlcAddr, ValueMemoryDigit(gate), lRef, gate.bPairs);
}

void CatchInterrupts() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

std::string LineName(const LineSettings& line) {
  return std::to_string(line.wBaud) + " " + std::to_string(line.wDataBits) + ParityName(line.wParity) +
         StopBitsName(line.wStopBits);
}

bool LoadDriver(const Options& o, Driver& driver, std::string& error) {
  if (!o.driverPath.empty()) return driver.Load(o.driverPath, error);
  std::string tried;
  for (const std::string& path : DriverCandidates()) {
    std::string why;
    if (driver.Load(path, why)) return true;
    tried += (tried.empty() ? "" : "; ") + why;
  }
  error = tried;
  return false;
}

void DriverLog::Start(int iVerbose) {
  const char* pszFile = getenv("KORVEN_LOG");
  const char* pszLevel = getenv("KORVEN_LEVEL");
  const bool bLevelSet = pszLevel != nullptr && *pszLevel != '\0';
  const int iUserLevel = bLevelSet ? atoi(pszLevel) : 0;
  const int iLevel = bLevelSet ? iUserLevel : iVerbose > 0 ? 8 : 32;
  if (pszFile != nullptr && *pszFile != '\0') {
    userFile_ = pszFile;
    iFileLevel_ = iLevel;
  } else if (iVerbose > 0) {
    iShowLevel_ = iLevel;
  }
  if (!tap_.Start() && !bLevelSet) setenv("KORVEN_LEVEL", iVerbose > 0 ? "8" : "32", 1);
}

std::vector<LogLine> DriverLog::Take() {
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

int WithPort(const Options& o, const Driver& driver, const DriverInfo& info, DriverLog& log, int32_t iDefaultTimeout,
             const std::function<int(Session&)>& body) {
  if (o.port.empty()) return Usage("no port given: give the device first, or --port DEVICE (e.g. /dev/ttyUSB0)");
  const int32_t iDriverNr = o.lDriverNr >= 0 ? static_cast<int32_t>(o.lDriverNr) : kDefaultDriverNr;
  GatewaySession gateway;
  std::string error;
  if (IsGatewayPort(o.port) && !gateway.Enter(o.port, iDriverNr, error)) {
    fprintf(stderr, "sarnhost: %s\n", error.c_str());
    return SARN_LINE_FAIL;
  }
  PortCheck check = IsGatewayPort(o.port) ? PortCheck{} : CheckPort(DevicePath(o.port));
  if (check.problem != PortProblem::kNone) {
    fprintf(stderr, "sarnhost: %s\n", check.message.c_str());
    return SARN_LINE_FAIL;
  }
  PortAlias alias;
  const std::string name = DriverPortName(o.port, alias, error);
  if (name.empty()) {
    fprintf(stderr, "sarnhost: %s\n", error.c_str());
    return SARN_LINE_FAIL;
  }
  const LineSettings line = LineFromOptions(o, info.defaultLine);
  const int32_t iTimeout = o.lTimeout >= 0 ? static_cast<int32_t>(o.lTimeout) : iDefaultTimeout;
  Instance inst(driver, iDriverNr, info.iContextSize);
  const ResultCode rc = inst.ColdStart(name, true, iTimeout, line);
  alias.Release();
  const std::vector<LogLine> lines = log.Take();
  IntFileFacts intFile = FindIntFile(lines, iDriverNr);
  if (o.iVerbose > 0) {
    fprintf(stderr, "sarnhost: driver %s, ColdStart(driver %d, %s, %s, time-out %d0 ms) -> %d\n", driver.Path().c_str(),
            iDriverNr, name.c_str(), LineName(line).c_str(), iTimeout, rc);
    fprintf(stderr, "sarnhost: initialization file: %s\n", IntFileDescription(intFile).c_str());
  } else {
    WarnAboutIntFile(lines);
  }
  WarnAboutOtherCase(intFile);
  if (rc != 0) {
    ColdStartFailed(o, rc, lines);
    return rc;
  }
  Session session{o, inst, log, name, line, iTimeout, std::move(intFile)};
  int result = body(session);
  const ResultCode rcEnd = inst.EndSarn();
  log.Take();
  if (rcEnd != 0) {
    fprintf(stderr, "sarnhost: the driver could not close %s (EndSarn returned %d)\n", o.port.c_str(), rcEnd);
    if (result == 0) result = rcEnd;
  }
  return result;
}

int ParseGate(Session& s, const std::string& text, int32_t iCount, Gate& gate) {
  if (!s.HexBase()) {
    const std::string warning = DecimalBaseWarning(text);
    if (!warning.empty()) fprintf(stderr, "sarnhost: warning: %s\n", warning.c_str());
  }
  const int32_t iDataType = s.o.iType >= 0 ? s.o.iType : DefaultDataType(text);
  s.log.Take();
  const ResultCode rc = s.inst.Parse(text, iDataType, iCount, gate);
  const std::vector<LogLine> lines = s.log.Take();
  if (rc != 0) {
    fprintf(stderr, "sarnhost: gate '%s' refused: %s\n", Printable(text).c_str(),
            GateRefusal(lines, gate, GateSetting{s.Gtc(), s.HexBase()}).c_str());
    return kExitUsage;
  }
  if (gate.bBlock && !TypeFitsMemory(iDataType, gate.spec.iMemType, false)) {
    fprintf(stderr, "sarnhost: gate '%s' refused: data type %s does not fit a block of %s values\n", text.c_str(),
            DataTypeName(iDataType), MemoryTypeName(gate.spec.iMemType, s.Gtc()));
    return kExitUsage;
  }
  // Nobody answers a broadcast: a read would wait out every attempt, and a
  // write would be reported as unanswered though every controller took it.
  if (gate.spec.iPlcAddr == 0) {
    fprintf(stderr, "sarnhost: gate '%s' refused: %s\n", Printable(text).c_str(), kBroadcastWords);
    return kExitUsage;
  }
  if (!s.Gtc() && text.size() >= 7) {
    const std::string digits = text.substr(3, 4);
    char* pEnd = nullptr;
    const unsigned long ulAddress = strtoul(digits.c_str(), &pEnd, s.HexBase() ? 16 : 10);
    if (*pEnd == '\0') gate.lRef = static_cast<long>(ulAddress);
  }
  gate.bHighFirst = DriverHighFirst(s, gate.iDataType == kTypeFloat);
  if (s.o.iVerbose > 0 && gate.spec.iBits == 32) {
    fprintf(stderr, "sarnhost: %s holds its 32-bit values %s\n", text.c_str(), WordOrderWords(s, gate).c_str());
  }
  return 0;
}

namespace {

// "0130002[10]": value 10 of the block at 0130002, as Label() names it
// where no gate text does. A GTC register area is read whole; another
// block up to the value.
int ElementGate(Session& s, const std::string& text, size_t nOpen, int32_t iCount, Gate& gate) {
  const std::string base = text.substr(0, nOpen);
  long lIndex = 0;
  if (!cli::ParseLong(text.substr(nOpen + 1, text.size() - nOpen - 2), 0, 1999, lIndex) || iCount >= 0) {
    return Usage("'" + text + "' names one value of a block as GATE[INDEX], INDEX from 0, without a count");
  }
  int32_t iBlock = static_cast<int32_t>(lIndex + 1);
  const int iArea = base.size() == 7 ? base[6] - '0' : 0;
  if (s.Gtc() && base.size() == 7 && base[2] == '3' && iArea >= 1 && iArea <= sarn::kGtcAreaCount) {
    iBlock = sarn::kGtcAreaLength[iArea - 1];
  }
  if (int rc = ParseGate(s, base, iBlock, gate); rc != 0) return rc;
  if (static_cast<size_t>(lIndex) >= ValueCount(gate)) {
    return Usage("'" + text + "': the block at " + base + " holds " + std::to_string(ValueCount(gate)) + " values");
  }
  gate.iOnly = static_cast<int32_t>(lIndex);
  return 0;
}

}  // namespace

int TextGate(Session& s, const std::string& text, int32_t iCount, Gate& gate) {
  const size_t nOpen = text.find('[');
  if (nOpen != std::string::npos && nOpen > 0 && text.back() == ']') return ElementGate(s, text, nOpen, iCount, gate);
  long lSlave = 0, lRef = 0;
  MbpollType type;
  if (!ParseDottedName(text, lSlave, type, lRef)) return ParseGate(s, text, iCount, gate);
  return MbpollGate(s, type, lSlave, lRef, iCount, DriverHighFirst(s, type.bFloat), gate);
}

long FirstReference(const Options& o) {
  return o.bFromZero ? o.lRef + 1 : o.lRef;
}

namespace {

// Where mbpoll's options name what a gate text cannot: a controller above
// the text's two digits, a reference above its four, a 32-bit value at an
// even reference. The text then names what the driver can parse, and the
// fields are set after: the controller and the address directly, as a host
// may; 32-bit values as register pairs that sarnhost combines itself.
struct MbpollNaming {
  MbpollType type;
  bool bDirectAddress = false;
  bool bPairs = false;
  long lValues = 1;

  MbpollNaming(Session& s, const MbpollType& t, long lRef, int32_t iCount) : type(t), lValues(iCount < 0 ? 1 : iCount) {
    bDirectAddress = !s.Gtc() && lRef > (s.HexBase() ? 0xFFFF : 9999);
    bPairs = type.b32 && (lRef % 2 == 0 || bDirectAddress);
  }
  // The registers or bits the request spans.
  long Span() const { return type.b32 ? 2 * lValues : lValues; }
  MbpollType TextType() const {
    MbpollType t = type;
    if (bPairs) t.b32 = t.bFloat = false;
    return t;
  }
};

// The gate's name in messages and rows: its text where one can name it
// (register pairs have none: their gate text would name one value).
std::string MbpollName(Session& s, const MbpollNaming& n, long lSlave, long lRef) {
  std::string error;
  if (!SlaveFitsText(lSlave, s.HexBase()) || n.bDirectAddress || n.bPairs) return DirectGateName(lSlave, n.type, lRef);
  return MbpollGateText(lSlave, n.type, lRef, s.HexBase(), error);
}

}  // namespace

int MbpollGate(Session& s, const MbpollType& type, long lSlave, long lRef, int32_t iCount, bool bHighFirst,
               Gate& gate) {
  const MbpollNaming n(s, type, lRef, iCount);
  if (lRef - 1 + n.Span() > 65536) {
    fprintf(stderr, "sarnhost: references %ld to %ld run past 65536, the last a request can reach\n", lRef,
            lRef - 1 + n.Span());
    return kExitUsage;
  }
  std::string error;
  const std::string text = MbpollGateText(lSlave, n.TextType(), n.bDirectAddress ? 1 : lRef, s.HexBase(), error);
  if (text.empty()) {
    fprintf(stderr, "sarnhost: %s\n", error.c_str());
    return kExitUsage;
  }
  const int32_t iParseCount = n.bPairs ? static_cast<int32_t>(2 * n.lValues) : iCount;
  if (int rc = ParseGate(s, text, iParseCount, gate); rc != 0) return rc;
  gate.bPairs = n.bPairs;
  gate.iPairType = n.type.bFloat ? kTypeFloat : kTypeInt32;
  gate.bHighFirst = bHighFirst;
  gate.lRef = lRef;
  if (n.bDirectAddress) gate.spec.iAddress = static_cast<int32_t>(lRef - 1);
  if (!SlaveFitsText(lSlave, s.HexBase())) gate.spec.iPlcAddr = static_cast<int32_t>(lSlave);
  gate.text = MbpollName(s, n, lSlave, lRef);
  if (s.o.iVerbose > 0) {
    fprintf(stderr, "sarnhost: -a %ld -t %s -r %ld -c %d is gate %s%s%s%s\n", lSlave, MbpollTypeText(type).c_str(),
            lRef, iCount < 0 ? 1 : iCount, gate.text.c_str(),
            iCount > 0 ? (", a block of " + std::to_string(iCount)).c_str() : "",
            n.bPairs ? ", read as 16-bit registers, two a value" : "",
            type.b32 ? (", 32-bit values " + WordOrderWords(s, gate)).c_str() : "");
  }
  return 0;
}

bool ShownInDriverOrder(Session& s, const Gate& gate) {
  if (gate.spec.iBits != 32 && !gate.bPairs) return true;
  return gate.bHighFirst == DriverHighFirst(s, ValueType(gate) == kTypeFloat);
}

std::string WordOrderWords(Session& s, const Gate& gate) {
  const bool bFloat = ValueType(gate) == kTypeFloat;
  const std::string order = gate.bHighFirst ? "high word first" : "low word first";
  if (s.o.bMbpoll) return order + (gate.bHighFirst ? " (-B)" : " (mbpoll's order without -B)");
  // Gate texts and dotted names: the driver's order, as the file sets it.
  return order + " (" + (bFloat ? "FLOATSWAP" : "SWAP") + (gate.bHighFirst ? " = NO" : " = YES") + " in " +
         IntFileForSettings(s.intFile) + ")";
}

TxResult Transact(Session& s, const Gate& gate, bool bWrite, std::vector<uint8_t>& buffer) {
  DriverContext* pCtx = s.inst.Context();
  s.log.Take();
  // The host owns the context: emptied buffers show exactly this
  // transaction's last request and reply afterwards.
  memset(pCtx->txBuf, 0, sizeof pCtx->txBuf);
  memset(pCtx->rxBuf, 0, sizeof pCtx->rxBuf);
  TxResult r;
  const auto t0 = Clock::now();
  r.rc = bWrite ? s.inst.Write(gate, buffer) : s.inst.Read(gate, buffer);
  r.dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  const std::vector<LogLine> lines = s.log.Take();
  const std::string advice = s.bLateAdvised ? "" : LateAnswerAdvice(lines, s.iTimeout);
  if (!advice.empty()) {
    fprintf(stderr, "sarnhost: %s\n", advice.c_str());
    s.bLateAdvised = true;
  }
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
    facts.bEchoSet = (pCtx->wFlags & SARN_FLAG_ECHO) != 0;
    facts.intFile = IntFileForSettings(s.intFile);
    facts.line = LineName(s.line);
    r.outcome = Explain(r.rc, lines, facts);
  }
  return r;
}

ResultCode Reopen(Session& s, const LineSettings& line) {
  s.inst.CloseCom();
  PortAlias alias;
  std::string error;
  const std::string name = DriverPortName(s.o.port, alias, error);
  if (name.empty()) return SARN_LINE_FAIL;
  const ResultCode rc = s.inst.ChangeParams(name, s.iTimeout, line);
  s.log.Take();
  if (rc == 0) {
    s.portName = name;
    s.line = line;
  }
  return rc;
}

}  // namespace sarnhost
