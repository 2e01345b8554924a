#include "options.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "cli.h"
#include "driver_host.h"
#include "gate_words.h"
#include "mbpoll.h"

namespace sarnhost {

namespace {

// Parity codes 0 to 4 and stop-bit codes 0 to 2 of the line settings, by
// the names the options take and the messages show.
struct ParityNames {
  const char* pszLetter;
  const char* pszWord;
};
constexpr ParityNames kParities[] = {{"N", "none"}, {"O", "odd"}, {"E", "even"}, {"M", "mark"}, {"S", "space"}};
constexpr long kParityCount = std::size(kParities);
constexpr const char* kStopBits[] = {"1", "1.5", "2"};
constexpr long kStopBitsCount = std::size(kStopBits);

struct Command {
  const char* pszName;
  const char* pszUsage;  // after "sarnhost [options] "
  const char* pszSummary;
  const char* pszDetail;
  const char* pszExample;
  size_t nMin, nMax;       // arguments with gate texts
  size_t nMbMin, nMbMax;   // arguments with mbpoll's -a, -t, -r
  const char* pszOptions;  // the options its help shows, by short or long name
};

const char kValueOptions[] = " a t r c 0 B port b d P s o timeout n T driver v q h ";
// The device-first form takes mbpoll's options and the line's, not those of
// scan and the CSV file of poll.
const char kMbpollFormOptions[] = " a t r c 0 B 1 l i o m port b d P s timeout n T count driver v q h ";

constexpr size_t kMany = 100000;

const Command kCommands[] = {
    {"read", "read GATE [COUNT] | read -a N -t T -r N [-c N]", "read one gate, or a block of COUNT values from GATE on",
     "Reads once and prints one line per value, 'GATE: value'. -c N is the same as COUNT.\n"
     "-a with several controllers (1,2 or 1:5) reads each in turn.\n",
     "sarnhost --port /dev/ttyUSB0 read 0140001 2\n"
     "sarnhost --port /dev/ttyUSB0 read -a 1 -t 4 -r 1 -c 2      # the same two registers",
     1, 2, 0, 0, kValueOptions},
    {"write", "write GATE VALUE... | write -a N -t T -r N VALUE...",
     "write one value, or several as a block from GATE on",
     "Write values: 0/1/on/off for bits, decimal or 0x-hexadecimal integers, floats.\n"
     "A negative value of -1 or -0 goes after --, as with mbpoll (they are options).\n",
     "sarnhost --port /dev/ttyUSB0 write 0140011 4321\n"
     "sarnhost --port /dev/ttyUSB0 write -a 1 -t 4 -r 21 1 2 3   # registers 21, 22, 23",
     2, kMany, 1, kMany, kValueOptions},
    {"poll", "poll GATE... | poll -a N -t T -r N [-c N]",
     "read the gates round after round: a live table, a summary at the end",
     "Reads every -l/--interval MS (default 1000) for --count rounds (-1: one round; default\n"
     "until Ctrl-C). The table shows each value, good and failed reads with the reason in\n"
     "words and round-trip times; a summary follows, also after Ctrl-C. GATE:COUNT reads a\n"
     "block of COUNT values in one request (GTC gates are always read so).\n"
     "--csv FILE appends a line per value read: time, gate, value, result, ms.\n",
     "sarnhost --port /dev/ttyUSB0 poll 0140001 0170001 -l 500 --count 20\n"
     "sarnhost --port /dev/ttyUSB0 poll 0100200:8                 # GTC: variables 200..207",
     1, 1000, 0, 0, " a t r c 0 B 1 interval i count csv port b d P s o timeout n T driver v h "},
    {"scan", "scan [--from N] [--to N] [--bauds LIST] [--parities LIST]",
     "find the controllers that answer on the line; a table at the end",
     "Probes controllers --from to --to (default 1 to 247) with a read of holding register 1,\n"
     "at each combination of --bauds and --parities, with a reply time-out of 100 ms unless\n"
     "-o or --timeout says otherwise. Ctrl-C stops after the probe under way. It says first\n"
     "how long it may take at most (a silent address: three attempts and the wait for a\n"
     "quiet line after them), and keeps to it.\n",
     "sarnhost --port /dev/ttyUSB0 scan --bauds 9600,19200 --parities E,N --to 32", 0, 0, 0, 0,
     " from to bauds parities port b d P s o timeout n driver v h "},
    {"info", "info", "show what the driver reports about itself",
     "Names the initialization file the driver reads from the current directory; with --port,\n"
     "also whether the device is there and which other program holds it.\n",
     "sarnhost info --port /dev/ttyUSB0", 0, 0, 0, 0, " n port driver v h "},
    {"demo", "demo", "show the driver at work against simulated controllers",
     "Needs no port: the controllers are simulated on pseudo-terminals. -v shows the traces.\n", "sarnhost demo", 0, 0,
     0, 0, " driver v h "},
    {"help", "help [COMMAND]", "show this text, or one command's", "", "sarnhost help poll", 0, 1, 0, 0, " h "},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.pszName) return &c;
  }
  return nullptr;
}

bool ParseParity(const std::string& value, long& lParity) {
  for (long k = 0; k < kParityCount; ++k) {
    if (strcasecmp(value.c_str(), kParities[k].pszLetter) == 0 ||
        strcasecmp(value.c_str(), kParities[k].pszWord) == 0) {
      lParity = k;
      return true;
    }
  }
  return false;
}

// A comma-separated list, each item checked by parse; false on an empty item.
template <typename Parse>
bool ParseList(const std::string& text, Parse parse, std::vector<long>& values) {
  values.clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    long v = 0;
    if (!parse(item, v)) return false;
    if (std::find(values.begin(), values.end(), v) == values.end()) values.push_back(v);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !values.empty();
}

// mbpoll's -a: "1", "1,2", "1:5", or a mix of them ("1,4:6"); lLowest 0
// lets the broadcast address through, for the caller to refuse in words.
bool ParseSlaves(const std::string& text, std::vector<long>& slaves, long lLowest = 1) {
  std::vector<long> items;
  slaves.clear();
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const size_t colon = item.find(':');
    long lFirst = 0, lLast = 0;
    if (!cli::ParseLong(item.substr(0, colon), lLowest, 247, lFirst)) return false;
    lLast = lFirst;
    if (colon != std::string::npos &&
        (!cli::ParseLong(item.substr(colon + 1), lLowest, 247, lLast) || lLast < lFirst)) {
      return false;
    }
    for (long a = lFirst; a <= lLast; ++a) {
      if (std::find(slaves.begin(), slaves.end(), a) == slaves.end()) slaves.push_back(a);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return !slaves.empty();
}

// -o: seconds, 0.01 to 600, as mbpoll takes them; into 10 ms units.
std::string SetSeconds(const std::string& text, long& lTimeout) {
  char* pEnd = nullptr;
  const double d = strtod(text.c_str(), &pEnd);
  if (text.empty() || *pEnd != '\0' || !std::isfinite(d) || d < 0.01 || d > 600) {
    return "seconds, 0.01 to 600 (e.g. 0.5)";
  }
  lTimeout = std::lround(d * 100);
  return "";
}

// The driver's line settings hold the baud rate in a 16-bit field: a rate
// above it is refused with that reason, not only the range.
constexpr char kBaudWhy[] = "1..65535: the driver's line settings hold the baud rate in 16 bits";

std::string SetBaud(const std::string& value, long& lBaud) {
  long lAsked = 0;
  if (cli::ParseLong(value, 1, 65535, lBaud)) return "";
  if (cli::ParseLong(value, 65536, 100000000, lAsked))
    return std::string(kBaudWhy) + ", so " + value + " cannot be asked for";
  return kBaudWhy;
}

std::string SetStopBits(const std::string& value, long& lStop) {
  for (long k = 0; k < kStopBitsCount; ++k) {
    if (value == kStopBits[k]) {
      lStop = k;
      return "";
    }
  }
  return "1, 1.5 or 2";
}

std::string SetMode(const std::string& value) {
  if (strcasecmp(value.c_str(), "ascii") == 0) return "";
  return cli::Reason("-m " + value +
                     ": sarnhost speaks Modbus ASCII (and GTC) over a serial line; mbpoll's -m rtu and -m tcp have "
                     "no meaning here");
}

// mbpoll's value naming: each of -a, -t, -r switches sarnhost to it.
std::string SetSlaves(Options& o, const std::string& v) {
  o.bMbpoll = true;
  if (ParseSlaves(v, o.slaves)) return "";
  std::vector<long> withBroadcast;
  if (ParseSlaves(v, withBroadcast, 0)) return cli::Reason("-a " + v + ": " + kBroadcastWords);
  return "controllers 1..247: N, N,M or N:M";
}

std::string SetTable(Options& o, const std::string& v) {
  o.bMbpoll = true;
  if (!ValidMbpollType(v)) return "0, 1, 3 or 4; 3 and 4 also with :int, :float, :hex or :int16";
  o.mbType = v;
  return "";
}

std::string SetReference(Options& o, const std::string& v) {
  o.bMbpoll = true;
  return cli::ParseLong(v, 0, 65535, o.lRef) ? "" : "a reference 1..65535 (0..65535 with -0)";
}

std::string SetCount(Options& o, const std::string& v) {
  o.bCountGiven = true;
  return cli::ParseLong(v, 1, 2000, o.lCount) ? "" : "a number of values, 1..2000";
}

// scan --from and --to: the controllers 1 to 247; 0, the broadcast
// address, is refused in the words every command uses for it.
std::string SetScanAddress(const char* pszName, const std::string& v, long& lAddress) {
  if (v == "0") return cli::Reason(std::string(pszName) + " 0: " + kBroadcastWords);
  return cli::ParseLong(v, 1, 247, lAddress) ? "" : "a controller address 1..247";
}

std::vector<cli::Option> MbpollOptions(Options& o) {
  using namespace cli;
  auto with = [&o](std::string (*set)(Options&, const std::string&)) {
    return [&o, set](const std::string& v) { return set(o, v); };
  };
  return {
      Custom('a', nullptr, "N", with(SetSlaves), "slave (controller) address 1..247, or several: 1,2 or 1:5"),
      Custom('t', nullptr, "T", with(SetTable),
             "0 coils, 1 discrete inputs, 3 input registers, 4 holding\nregisters (default); 3:int, 4:int 32-bit "
             "integers,\n3:float, 4:float floats; :hex, :int16 registers shown\nin hexadecimal, signed"),
      Custom('r', nullptr, "N", with(SetReference), "first reference, counted from 1 (default 1)"),
      Custom('c', nullptr, "N", with(SetCount), "number of values (default 1; write: the values given)"),
      Flag('0', nullptr, o.bFromZero, "references count from 0 (-r 0 is the first)"),
      Flag('B', nullptr, o.bBigEndian,
           "32-bit values with the high word first (mbpoll's big-\nendian word order); without -B the low word comes "
           "first"),
      Flag('1', nullptr, o.bOnce, "poll only once (--count 1)"),
      Number('l', "interval", "MS", o.lInterval, 1, 3600000,
             "poll: milliseconds from one round to the next\n(default 1000)"),
      Number('i', nullptr, "MS", o.lInterval, 1, 3600000, "the same as -l"),
      Custom(
          'o', nullptr, "SECONDS", [&o](const std::string& v) { return SetSeconds(v, o.lTimeout); },
          "reply time-out in seconds, 0.01..600 (default 1; scan 0.1)"),
      Custom('m', nullptr, "MODE", SetMode, ""),
      Refused('p', nullptr, "PORT",
              "mbpoll's TCP port has no meaning here: give the serial device first, or with --port"),
      Refused('R', nullptr, nullptr, "RTS around each transmission is set in the initialization file (RTSCTS = YES)"),
      Refused('F', nullptr, nullptr, "RTS around each transmission is set in the initialization file (RTSCTS = YES)"),
  };
}

std::vector<cli::Option> LineOptions(Options& o) {
  using namespace cli;
  return {
      Text(0, "port", "DEVICE", o.port,
           "serial device, e.g. /dev/ttyUSB0 or ttyUSB0 (or give it\nfirst, as mbpoll takes it)"),
      Custom(
          'b', "baud", "N", [&o](const std::string& v) { return SetBaud(v, o.lBaud); },
          "baud rate, 1..65535: the driver's line settings hold it in\n16 bits, so 115200 cannot be asked for "
          "(default %BAUD%)"),
      Number('d', "data-bits", "N", o.lDataBits, 5, 8, "5, 6, 7 or 8 (default %BITS%)"),
      Custom(
          'P', "parity", "X",
          [&o](const std::string& v) {
            return ParseParity(v, o.lParity) ? "" : std::string("N, O, E, M or S (or none, odd, even)");
          },
          "none|odd|even (N, O, E, M, S) (default %PARITY%)"),
      Custom(
          's', "stop-bits", "X", [&o](const std::string& v) { return SetStopBits(v, o.lStopBits); },
          "1, 1.5 or 2 (default %STOP%)"),
      Number(0, "timeout", "N", o.lTimeout, 1, 60000,
             "reply time-out in units of 10 ms (default 100: 1 s;\nscan: 10), the same as -o N/100"),
      Number('n', "driver-nr", "N", o.lDriverNr, 0, 99,
             "driver number 0..99, which names the initialization\nfile SARNMD<N>.INT (default 1)"),
      Custom(
          'T', "type", "TYPE",
          [&o](const std::string& v) {
            return ParseDataType(v, o.iType) ? "" : std::string("bit, uint16, int16, word, float, int32 or uint32");
          },
          "data type of the gates: bit, uint16, int16, word, float,\nint32, uint32 (default: from the memory type)"),
  };
}

std::vector<cli::Option> OtherOptions(Options& o) {
  using namespace cli;
  auto baud = [](const std::string& t, long& v) { return ParseLong(t, 1, 65535, v); };
  return {
      Number(0, "count", "N", o.lRounds, 1, 2147483647L, "poll: number of rounds (default: until Ctrl-C)"),
      Text(0, "csv", "FILE", o.csvPath, "poll: append a line per value read to FILE"),
      Custom(
          0, "from", "N", [&o](const std::string& v) { return SetScanAddress("--from", v, o.lFrom); },
          "scan: first controller address, 1..247 (default 1)"),
      Custom(
          0, "to", "N", [&o](const std::string& v) { return SetScanAddress("--to", v, o.lTo); },
          "scan: last controller address, 1..247 (default 247)"),
      Custom(
          0, "bauds", "LIST",
          [&o, baud](const std::string& v) {
            return ParseList(v, baud, o.bauds) ? "" : std::string("baud rates separated by commas, each ") + kBaudWhy;
          },
          "scan: baud rates to try, e.g. 9600,19200 (default -b)"),
      Custom(
          0, "parities", "LIST",
          [&o](const std::string& v) {
            return ParseList(v, ParseParity, o.parities) ? "" : std::string("N, O, E, M or S, separated by commas");
          },
          "scan: parities to try, e.g. E,N (default -P)"),
      Text(0, "driver", "PATH", o.driverPath,
           "the driver library (default: next to sarnhost, in the\ninstall tree's library directory, or in the build "
           "tree)"),
      Counter('v', "verbose", o.iVerbose,
              "show the driver's log (levels 8 and 32) and the gate\ntexts built from -a/-t/-r; -vv also the request "
              "and\nreply frames of each transaction"),
      Flag('q', "quiet", o.bQuiet, "only the values (mbpoll's form: no headings)"),
      Flag('V', "version", o.bVersion, "show the versions of sarnhost and the driver"),
      Flag('h', "help", o.bHelp, "show this text (with a command: that command's)"),
  };
}

std::vector<cli::Option> Table(Options& o) {
  std::vector<cli::Option> table = MbpollOptions(o);
  for (auto& part : {LineOptions(o), OtherOptions(o)}) table.insert(table.end(), part.begin(), part.end());
  return table;
}

// A positional argument that names a serial device rather than a gate text
// or a value: a path, a name under /dev/ (ttyUSB0, pts/3), or NUL.
bool IsDeviceName(const std::string& arg) {
  return arg.find('/') != std::string::npos || arg.rfind("tty", 0) == 0 || arg == "NUL";
}

// A first word that is a device all the same: a name that exists under /dev/
// (a link such as plc0).
bool IsDeviceUnderDev(const std::string& arg) {
  struct stat st {};
  return !arg.empty() && arg.find('/') == std::string::npos && stat(("/dev/" + arg).c_str(), &st) == 0;
}

// Seven or more digits with a leading zero: a gate text (with its bit digit
// when there is one), not a number to write.
bool LooksLikeGateText(const std::string& arg) {
  if (arg.size() < 7 || arg.size() > 8 || arg[0] != '0') return false;
  if (arg.find_first_not_of("0123456789", 0) < 7) return false;
  return arg.size() == 7 || isxdigit(static_cast<unsigned char>(arg[7]));
}

// A number to write (mbpoll's write form): "4242", "-2.5", "0x10", "on".
bool LooksLikeValue(const std::string& arg) {
  if (LooksLikeGateText(arg)) return false;
  if (arg == "on" || arg == "off") return true;
  char* pEnd = nullptr;
  strtod(arg.c_str(), &pEnd);  // decimal, 0x hexadecimal, floats
  return !arg.empty() && *pEnd == '\0';
}

// Edits (insert, delete, replace, swap two neighbours) from a to b.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = tolower(a[i - 1]) == tolower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// "unknown command 'raed' (did you mean read?)", or with the way to read a
// gate text given in its place.
int UnknownCommand(const std::string& word, const std::string& port) {
  const std::string device = port.empty() ? "DEVICE" : port;
  if (LooksLikeGateText(word)) {
    return Usage("unknown command '" + word + "': to read that gate, sarnhost read " + device + " " + word);
  }
  const Command* pNearest = nullptr;
  size_t nBest = 3;
  for (const Command& c : kCommands) {
    const size_t n = EditDistance(word, c.pszName);
    if (n < nBest) {
      nBest = n;
      pNearest = &c;
    }
  }
  if (pNearest != nullptr) return Usage("unknown command '" + word + "' (did you mean " + pNearest->pszName + "?)");
  return Usage("unknown command '" + word + "': the commands are read, write, poll, scan, info, demo and help");
}

// In the device-first form every word after the device is a value to write.
// A command word or a gate text there is surely meant otherwise: nothing is
// written, and the command that reads it is named.
int CheckWriteValues(const Options& o) {
  for (size_t k = 0; k < o.args.size(); ++k) {
    const std::string& arg = o.args[k];
    if (IsCommand(arg)) {
      std::string rest;
      for (size_t m = k + 1; m < o.args.size(); ++m) rest += " " + o.args[m];
      return Usage("'" + arg + "' after the device would be written as a value: the command goes first, sarnhost " +
                   arg + " " + o.port + rest);
    }
    if (LooksLikeGateText(arg)) {
      return Usage("'" + arg + "' looks like a gate text, not a value to write (nothing written): to read it, " +
                   "sarnhost read " + o.port + " " + arg + "; to write, sarnhost write " + o.port + " GATE VALUE");
    }
  }
  return 0;
}

// Sorts the positional arguments into command, device and arguments.
int Positionals(std::vector<std::string> p, Options& o) {
  if (p.empty()) return 0;
  if (IsCommand(p[0])) {
    o.command = p[0];
    p.erase(p.begin());
    if (o.port.empty() && !p.empty() && IsDeviceName(p[0]) && o.command != "help") {
      o.port = p[0];
      p.erase(p.begin());
    }
  } else if (!o.port.empty() && LooksLikeValue(p[0])) {
    // mbpoll's write form with the device given by --port: values only.
    o.bMbpoll = true;
  } else if (IsDeviceName(p[0]) || (o.port.empty() && IsDeviceUnderDev(p[0]))) {
    // mbpoll's form: the device first, write values after it.
    if (!o.port.empty() && o.port != p[0]) return Usage("two devices: --port " + o.port + " and " + p[0]);
    o.port = p[0];
    p.erase(p.begin());
    o.bMbpoll = true;
  } else {
    return UnknownCommand(p[0], o.port);
  }
  o.args = std::move(p);
  return o.command.empty() ? CheckWriteValues(o) : 0;
}

// Whether an option is in a command's list, by its short or long name.
bool Takes(const char* pszList, const cli::Option& opt) {
  const std::string names = pszList;
  const std::string shortName = std::string(" ") + opt.cShort + " ";
  const std::string longName = opt.pszLong != nullptr ? std::string(" ") + opt.pszLong + " " : "";
  return (opt.cShort != 0 && names.find(shortName) != std::string::npos) ||
         (!longName.empty() && names.find(longName) != std::string::npos);
}

// What to say after "read does not take --interval": who does take it.
std::string TakenBy(const Options& o, const cli::Option& opt) {
  // -1 and -0 are options, as with mbpoll: a write value of -1 is meant.
  if (o.command == "write" && (opt.cShort == '0' || opt.cShort == '1')) {
    return ": a value of " + cli::Spelling(opt) + " goes after --";
  }
  std::string takers;
  size_t n = 0;
  for (const Command& c : kCommands) {
    if (!Takes(c.pszOptions, opt)) continue;
    takers += std::string(n++ == 0 ? "" : ", ") + c.pszName;
  }
  if (n == 0) return "";
  return " (" + takers + (n == 1 ? " does)" : " do)");
}

// An option the command does not take is refused rather than ignored;
// --help and --version are answered whatever the command.
int CheckGivenOptions(const Options& o, const std::vector<const cli::Option*>& given) {
  const Command* c = FindCommand(o.command);
  const char* pszList = o.command.empty() ? kMbpollFormOptions : c != nullptr ? c->pszOptions : nullptr;
  if (pszList == nullptr || o.bHelp || o.bVersion) return 0;
  for (const cli::Option* pOpt : given) {
    if (Takes(pszList, *pOpt)) continue;
    const std::string who = o.command.empty() ? "the device-first form" : o.command;
    return Usage(who + " does not take " + cli::Spelling(*pOpt) + TakenBy(o, *pOpt));
  }
  return 0;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

const char kGateHelp[] =
    "Gate address text, 7 or 8 characters: CC M AAAA [B]\n"
    "  CC    controller address, two digits      M  memory type digit\n"
    "  AAAA  address, four digits, from 1        B  bit number 0..F (optional)\n"
    "  Memory types: 0 coil, 1 discrete input, 3 input register, 4 holding\n"
    "  register, 5 / 7 float in input / holding registers (odd address),\n"
    "  6 / 8 32-bit integer in input / holding registers (odd address).\n"
    "  0140001 is holding register 1 of controller 1, 01400013 its bit 3.\n"
    "  Digits are decimal unless the initialization file says BUS = MODBUS, HEX;\n"
    "  a letter A..F among decimal digits ends the number there (warned about).\n"
    "  Controllers above 99 in decimal base: -a (e.g. read -a 150 -t 4 -r 1);\n"
    "  references above 9999: -r (e.g. read -r 12000), or the dotted name\n"
    "  CONTROLLER.TYPEREFERENCE that sarnhost prints for them (read 1.412000,\n"
    "  150.40001); each label printed reads back as the same value.\n"
    "  Controller 0 is the broadcast address, which no controller answers:\n"
    "  refused.\n"
    "  The initialization file SARNMD<N>.INT (or SARNMD.INT) is read from the\n"
    "  current directory: BUS = MODBUS|GTC, DEC|HEX; SWAP, FLOATSWAP, LONGADDR,\n"
    "  RTSCTS, ECHO = YES|NO; IFG = milliseconds; GATEWAY = socket://HOST:PORT\n"
    "  or rfc2217://HOST:PORT. sarnhost info names it.\n"
    "  A line behind a serial device server: --port socket://HOST:PORT (raw TCP)\n"
    "  or --port rfc2217://HOST:PORT (the line set over RFC 2217).\n";

const char kMbpollHelp[] =
    "mbpoll's form: sarnhost [options] DEVICE [VALUE...], with -a, -t, -r, -c as\n"
    "mbpoll takes them (default -a 1 -t 4 -r 1 -c 1): polls every -l MS until\n"
    "Ctrl-C (then mbpoll's statistics), reads once with -1, writes the VALUEs\n"
    "when there are any. -t 4:int and 4:float at an even reference read the two\n"
    "registers and combine them, as mbpoll does. The same options name values\n"
    "after read, write and poll instead of a gate text.\n"
    "  e.g. sarnhost /dev/ttyUSB0 -a 1 -t 4 -r 1 -c 2 -1\n";

const char kTailHelp[] =
    "Values are shown as the gate holds them: bits 0 or 1, 16-bit registers in\n"
    "decimal and hexadecimal, 32-bit integers, floats (mbpoll's form: as mbpoll).\n"
    "A failure is one line on standard error that says why: no reply (with the\n"
    "attempts and time-out), the controller's exception, an LRC error, ...; and\n"
    "what to check next (line settings, wiring, RTSCTS, sarnhost scan).\n"
    "The driver's log (\"timestamp TAB level TAB text\") is shown with -v.\n"
    "KORVEN_LOG=FILE appends it to FILE instead (level 32 and up, level 8 and up\n"
    "with -v); KORVEN_LEVEL=N keeps only levels N and above, with or without -v.\n"
    "\n"
    "Exit status: 0 when everything succeeded (scan: a controller answered);\n"
    "otherwise the driver's result code: 1 refused (a write the driver refuses,\n"
    "the controller's exception or reply), 2 failed on the port or the line (no\n"
    "device, port in use, no permission, e.g. not in the device's group such as\n"
    "dialout; no reply); 64 for a bad command line (also a gate text the driver's\n"
    "parser refuses, an option the command does not take), 69 when the driver\n"
    "cannot be loaded, 73 when the CSV file cannot be written. Where several reads\n"
    "run (poll, mbpoll's polling form, -a 1,2) the worst result of the reads that\n"
    "ended: a read that Ctrl-C leaves behind does not count.\n";

// The help of the options, every one or those a command takes, with the
// driver's line defaults filled in.
std::string OptionsHelp(const LineDefaults& d, const Command* c) {
  Options scratch;
  std::string text =
      cli::Help(Table(scratch), [c](const cli::Option& opt) { return c == nullptr || Takes(c->pszOptions, opt); });
  text = Replace(Replace(text, "%BAUD%", d.baud), "%BITS%", d.dataBits);
  return Replace(Replace(text, "%PARITY%", d.parity), "%STOP%", d.stopBits);
}

void PrintOverview(const std::string& options) {
  printf(
      "Usage: sarnhost [options] COMMAND [arguments]\n"
      "       sarnhost [options] DEVICE [VALUE...]          (mbpoll's form)\n"
      "Reads and writes controller values over a serial line through the SARNMD\n"
      "Modbus ASCII / GTC driver, the way a supervisory host does.\n\n"
      "Commands (sarnhost help COMMAND, or COMMAND --help, shows one):\n");
  for (const Command& c : kCommands) {
    const std::string usage = std::string(c.pszUsage).substr(0, std::string(c.pszUsage).find(" | "));
    if (usage.size() > 21) {
      printf("  %s\n  %-21s %s\n", usage.c_str(), "", c.pszSummary);
    } else {
      printf("  %-21s %s\n", usage.c_str(), c.pszSummary);
    }
  }
  printf("\n%s\n%s\nOptions (one meaning each, before or after the command):\n%s\n%s", kGateHelp, kMbpollHelp,
         options.c_str(), kTailHelp);
}

}  // namespace

bool IsCommand(const std::string& word) {
  return FindCommand(word) != nullptr;
}

const char* ParityName(long lParity) {
  return lParity >= 0 && lParity < kParityCount ? kParities[lParity].pszLetter : "?";
}

const char* ParityWord(long lParity) {
  return lParity >= 0 && lParity < kParityCount ? kParities[lParity].pszWord : "unknown";
}

const char* StopBitsName(long lStop) {
  return lStop >= 0 && lStop < kStopBitsCount ? kStopBits[lStop] : "?";
}

int Usage(const std::string& message) {
  fprintf(stderr, "sarnhost: %s (try --help)\n", message.c_str());
  return kExitUsage;
}

int ParseCommandLine(int argc, char** argv, Options& o) {
  const std::vector<cli::Option> table = Table(o);
  std::vector<std::string> positionals;
  std::vector<const cli::Option*> given;
  if (std::string why = cli::Parse(table, argc, argv, positionals, &given); !why.empty()) return Usage(why);
  if (int rc = Positionals(std::move(positionals), o); rc != 0) return rc;
  if (int rc = CheckGivenOptions(o, given); rc != 0) return rc;
  if (o.bOnce) o.lRounds = 1;
  if (!o.bFromZero && o.lRef < 1) return Usage("bad value '0' for -r: references count from 1 (or use -0)");
  return 0;
}

int CheckArguments(const Options& o) {
  const Command* c = FindCommand(o.command.empty() ? "write" : o.command);
  const bool bGates = o.command == "read" || o.command == "write" || o.command == "poll" || o.command.empty();
  if (o.bMbpoll && !bGates) return Usage("-a, -t and -r name values for read, write and poll");
  const size_t nMin = o.command.empty() ? 0 : o.bMbpoll ? c->nMbMin : c->nMin;
  const size_t nMax = o.bMbpoll ? c->nMbMax : c->nMax;
  if (o.args.empty() && nMin > 0 && !o.bMbpoll) {
    return Usage(o.command + " needs a gate: usage: sarnhost [options] " + c->pszUsage);
  }
  if (o.args.size() < nMin || o.args.size() > nMax)
    return Usage(std::string("usage: sarnhost [options] ") + c->pszUsage);
  if (o.command == "read" && o.bCountGiven && o.args.size() == 2) return Usage("give the count once: -c N or COUNT");
  if (!o.csvPath.empty() && o.command != "poll") return Usage("--csv belongs to poll");
  if ((!o.bauds.empty() || !o.parities.empty()) && o.command != "scan") {
    return Usage("--bauds and --parities belong to scan");
  }
  if (o.lFrom > o.lTo) return Usage("--from " + std::to_string(o.lFrom) + " is above --to " + std::to_string(o.lTo));
  if (o.command == "help" && !o.args.empty() && !IsCommand(o.args[0])) {
    return Usage("no command '" + o.args[0] + "' to help with");
  }
  return 0;
}

void PrintHelp(const std::string& command, const LineDefaults& d) {
  const Command* c = FindCommand(command);
  if (c == nullptr || command == "help") {
    PrintOverview(OptionsHelp(d, nullptr));
    return;
  }
  printf("Usage: sarnhost [options] %s\n%s.\n\n%s", c->pszUsage, c->pszSummary, c->pszDetail);
  printf("%sExample:\n", *c->pszDetail != '\0' ? "\n" : "");
  printf("  %s\n", Replace(c->pszExample, "\n", "\n  ").c_str());
  printf("\nOptions (sarnhost --help for the gate texts and the rest):\n%s", OptionsHelp(d, c).c_str());
}

}  // namespace sarnhost
