// plcsim: serves a simulated Modbus ASCII controller on a pseudo-terminal, a
// serial device or a loopback TCP port until SIGINT or SIGTERM.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cli.h"
#include "plcsim.h"

namespace {

struct Settings {
  plcsim::Options sim;
  bool bPty = false, bFill = false, bHelp = false;
  std::string device;
  std::string listenHost;  // --listen: loopback host and port
  long lListenPort = -1;
  long lBaud = -1, lPace = 0, lLate = 0, lTableSize = 10000, lSeed = -1;
  long lSilent = 0, lLrc = 0, lGarble = 0;
  bool bVerbose = false;
};

const char kIntro[] =
    "Usage: plcsim (--pty | --device PATH [--baud N] | --listen HOST:PORT) [options]\n"
    "Simulates a Modbus ASCII controller (slave) for testing the driver.\n"
    "\n";

const char kFillHelp[] =
    "fill the tables with a pattern by gate address k, which\n"
    "counts from 1 (Modbus address k - 1 on the wire):\n"
    "  holding register k = k, input register k = 1000 + k,\n"
    "  coil k = 1 when k % 3 == 0, input k = 1 when k % 2 == 0;\n"
    "  so gate 0140011 reads 11 and 0130005 reads 1005;\n"
    "  GTC bit n = 1 when n % 2 == 0,\n"
    "  GTC register i of area a = a * 1000 + i (i from 0)\n"
    "(otherwise everything starts at 0)";

const char kLateHelp[] =
    "answer every request MS milliseconds late, one at a\n"
    "time, as a slow controller: a request that comes while\n"
    "it works on another is answered MS after that one's\n"
    "answer";

const char kLateEachHelp[] =
    "answer every request MS milliseconds after its own\n"
    "request, also while earlier answers are on their way,\n"
    "as a converter or radio link that holds replies back";

const char kLineTimeHelp[] =
    "keep the time of a line of BAUD baud, BITS bits a\n"
    "character (default 11, as 7E2): hear a request only\n"
    "when its last character could have arrived, send\n"
    "replies and --echo one character at a time at that\n"
    "rate (instead of --pace-baud)";

const char kDuplicateHelp[] =
    "send PCT % of the answers twice: the copy right behind\n"
    "the first, or MS milliseconds (drawn from MS..MAX)\n"
    "after the first ended";

const char kLateSomeHelp[] =
    "answer PCT % of the requests MS milliseconds (drawn\n"
    "from MS..MAX) after their own request, answering the\n"
    "requests that follow in the meantime";

const char kExceptionHelp[] =
    "answer exception CODE to every request that touches\n"
    "REF: TABLE:N with mbpoll's table (0 coils, 1 discrete\n"
    "inputs, 3 input registers, 4 holding registers) and N\n"
    "counted from 1 (4:11 is gate 0140011), or * for every\n"
    "request (repeatable; the first that matches answers)";

const char kListenHelp[] =
    "serve Modbus ASCII over TCP on HOST:PORT, one connection\n"
    "at a time, as a controller with an Ethernet port; HOST\n"
    "is a loopback address (127.0.0.1 or localhost), PORT 0\n"
    "takes a free port; the address served is printed as the\n"
    "first line of standard output";

// Reads "HOST:PORT" with a loopback host and a port 0..65535.
cli::Setter ListenAddress(Settings& s) {
  return [&s](const std::string& v) {
    const size_t colon = v.rfind(':');
    long port = 0;
    if (colon == std::string::npos || !cli::ParseLong(v.substr(colon + 1), 0, 65535, port)) {
      return std::string("HOST:PORT with PORT 0..65535 (such as 127.0.0.1:5020)");
    }
    const std::string host = v.substr(0, colon);
    if (!plcsim::LoopbackHost(host)) {
      return "'" + host + "' is not a loopback address: plcsim serves only 127.x.x.x or localhost";
    }
    s.listenHost = host;
    s.lListenPort = port;
    return std::string();
  };
}

// Reads "MS" or "MIN-MAX", milliseconds 0..600000 with MAX no less than MIN.
bool ParseMsRange(const std::string& text, uint32_t& minMs, uint32_t& maxMs) {
  const size_t dash = text.find('-');
  long lo = 0, hi = 0;
  if (!cli::ParseLong(text.substr(0, dash), 0, 600000, lo)) return false;
  hi = lo;
  if (dash != std::string::npos && !cli::ParseLong(text.substr(dash + 1), lo, 600000, hi)) return false;
  minMs = static_cast<uint32_t>(lo);
  maxMs = static_cast<uint32_t>(hi);
  return true;
}

// Reads "PCT:MS[-MAX]", or "PCT" alone (delay 0) when the delay is optional.
bool ParseShare(const std::string& text, bool delayOptional, int& percent, uint32_t& minMs, uint32_t& maxMs) {
  const size_t colon = text.find(':');
  long pct = 0;
  if (!cli::ParseLong(text.substr(0, colon), 0, 100, pct)) return false;
  if (colon == std::string::npos) {
    if (!delayOptional) return false;
    minMs = maxMs = 0;
  } else if (!ParseMsRange(text.substr(colon + 1), minMs, maxMs)) {
    return false;
  }
  percent = static_cast<int>(pct);
  return true;
}

cli::Setter LineTime(plcsim::Options& o) {
  return [&o](const std::string& v) {
    const size_t comma = v.find(',');
    long baud = 0, bits = 11;
    if (!cli::ParseLong(v.substr(0, comma), 1, 4000000, baud) ||
        (comma != std::string::npos && !cli::ParseLong(v.substr(comma + 1), 7, 12, bits))) {
      return std::string("BAUD 1..4000000, optionally ,BITS 7..12 (such as 9600 or 9600,10)");
    }
    o.lineTimeBaud = static_cast<uint32_t>(baud);
    o.bitsPerChar = static_cast<int>(bits);
    return std::string();
  };
}

cli::Setter Duplicate(plcsim::Options& o) {
  return [&o](const std::string& v) {
    if (ParseShare(v, true, o.duplicatePercent, o.duplicateDelayMinMs, o.duplicateDelayMaxMs)) return std::string();
    return std::string("PCT 0..100, optionally :MS or :MS-MAX (such as 5, 5:200 or 5:200-800)");
  };
}

cli::Setter LateSome(plcsim::Options& o) {
  return [&o](const std::string& v) {
    if (ParseShare(v, false, o.lateSomePercent, o.lateSomeMinMs, o.lateSomeMaxMs)) return std::string();
    return std::string("PCT:MS or PCT:MS-MAX, PCT 0..100 (such as 10:1500 or 10:1000-3000)");
  };
}

std::vector<cli::Option> Table(Settings& s) {
  using namespace cli;
  auto exception = [&s](const std::string& v) {
    plcsim::ExceptionRule rule;
    if (!plcsim::ParseExceptionRule(v, rule)) return std::string("TABLE:N=CODE such as 4:11=2, or *=CODE; CODE 1..255");
    s.sim.exceptions.push_back(rule);
    return std::string();
  };
  auto lateEach = [&s](const std::string& v) {
    if (!cli::ParseLong(v, 0, 600000, s.lLate)) return std::string("a number 0..600000");
    s.sim.lateEachOwn = true;
    return std::string();
  };
  auto address = [&s](const std::string& v) {
    long n = 0;
    if (!ParseLong(v, 0, 255, n)) return std::string("a number 0..255");
    s.sim.addresses.push_back(static_cast<int>(n));
    return std::string();
  };
  return {
      Flag(0, "pty", s.bPty,
           "create a pseudo-terminal and serve it; the path to open\nis printed as the first line of standard output"),
      Text(0, "device", "PATH", s.device, "serve a serial device (raw 8N1)"),
      Number(0, "baud", "N", s.lBaud, 0, 4000000, "line speed of --device (default 9600)"),
      Custom(0, "listen", "HOST:PORT", ListenAddress(s), kListenHelp),
      Custom(0, "address", "N", address, "controller address to answer, 0..255 (repeatable;\ndefault 1)"),
      Flag(0, "gtc", s.sim.gtc,
           "GTC variant: function 2 reads bits 1..1000, function 4\nreads register area 1, 2 or 3 (64, 42, 64 "
           "values),\nfunction 15 sets (address 1) or resets (address 2) the\nmasked bits 161..472"),
      Number(0, "pace-baud", "N", s.lPace, 0, 4000000,
             "send replies one character at a time at N baud\n(10 bits a character)"),
      Custom(0, "line-time", "BAUD[,BITS]", LineTime(s.sim), kLineTimeHelp),
      Number(0, "table-size", "N", s.lTableSize, 0, 65535,
             "coils, inputs and registers at addresses 0..N-1\n(default 10000)"),
      Flag(0, "fill", s.bFill, kFillHelp),
      Flag('v', nullptr, s.bVerbose, "print each request and its reply to standard error"),
      Flag('h', "help", s.bHelp, "show this text"),
      Heading("\nFaults on demand (percentages are drawn per request it would answer):"),
      Number(0, "silent", "PCT", s.lSilent, 0, 100, "say nothing to PCT % of the requests"),
      Number(0, "late", "MS", s.lLate, 0, 600000, kLateHelp),
      Number(0, "delay", "MS", s.lLate, 0, 600000, "the same as --late"),
      Custom(0, "late-each", "MS", lateEach, kLateEachHelp),
      Custom(0, "late-some", "PCT:MS[-MAX]", LateSome(s.sim), kLateSomeHelp),
      Custom(0, "duplicate", "PCT[:MS[-MAX]]", Duplicate(s.sim), kDuplicateHelp),
      Custom(0, "exception", "REF=CODE", exception, kExceptionHelp),
      Number(0, "lrc-errors", "PCT", s.lLrc, 0, 100, "reply with a wrong LRC to PCT % of the requests"),
      Number(0, "garble", "PCT", s.lGarble, 0, 100,
             "replace one character of PCT % of the replies by line\nnoise (a character that is not a hex digit)"),
      Flag(0, "echo", s.sim.echo,
           "send every character received straight back before\nanything else, as a two-wire RS-485 adapter does"),
      Number(0, "seed", "N", s.lSeed, 0, 4294967295L, "seed of the draws (default: the time)"),
  };
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "plcsim: %s (try --help)\n", message.c_str());
  return 2;
}

// Moves what the table filled into the simulator's options; "" or what is wrong.
std::string Finish(Settings& s, const std::vector<std::string>& positionals) {
  if (!positionals.empty()) return "unexpected argument '" + positionals[0] + "'";
  const bool listen = s.lListenPort >= 0;
  const int lines = (s.bPty ? 1 : 0) + (s.device.empty() ? 0 : 1) + (listen ? 1 : 0);
  if (lines != 1) {
    return "give exactly one of --pty, --device PATH and --listen HOST:PORT";
  }
  if (s.lBaud >= 0 && s.device.empty()) return "--baud applies to --device only";
  plcsim::Options& o = s.sim;
  if (o.addresses.empty()) o.addresses.push_back(1);
  if (s.lBaud >= 0) o.deviceBaud = static_cast<uint32_t>(s.lBaud);
  if (!s.device.empty() && !plcsim::SupportedBaud(o.deviceBaud)) {
    return "unsupported speed " + std::to_string(o.deviceBaud) + " for --baud";
  }
  o.paceBaud = static_cast<uint32_t>(s.lPace);
  o.replyDelayMs = static_cast<uint32_t>(s.lLate);
  o.tableSize = static_cast<uint16_t>(s.lTableSize);
  o.silentPercent = static_cast<int>(s.lSilent);
  o.lrcErrorPercent = static_cast<int>(s.lLrc);
  o.garblePercent = static_cast<int>(s.lGarble);
  o.verbose = s.bVerbose;
  o.seed = s.lSeed >= 0 ? static_cast<uint32_t>(s.lSeed) : static_cast<uint32_t>(time(nullptr));
  return "";
}

// Serves until SIGINT or SIGTERM; the exit status.
int Serve(const Settings& s) {
  // SIGINT and SIGTERM are taken by sigwait below; block them before the
  // serving thread starts so that it inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  plcsim::Simulator sim(s.sim);
  if (s.bFill) sim.FillPattern();
  if (s.bPty) {
    std::string path = sim.OpenPty();
    if (path.empty()) {
      std::fprintf(stderr, "plcsim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
      return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  } else if (s.lListenPort >= 0) {
    const int port = sim.Listen(s.listenHost, static_cast<uint16_t>(s.lListenPort));
    if (port < 0) {
      std::fprintf(stderr, "plcsim: cannot listen on %s:%ld: %s\n", s.listenHost.c_str(), s.lListenPort,
                   std::strerror(errno));
      return 1;
    }
    std::printf("%s:%d\n", s.listenHost.c_str(), port);
    std::fflush(stdout);
  } else if (!sim.OpenDevice(s.device)) {
    std::fprintf(stderr, "plcsim: cannot open %s: %s\n", s.device.c_str(), std::strerror(errno));
    return 1;
  }
  int sig = 0;
  sigwait(&signals, &sig);
  sim.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  s.sim.addresses.clear();
  const std::vector<cli::Option> table = Table(s);
  std::vector<std::string> positionals;
  if (std::string why = cli::Parse(table, argc, argv, positionals); !why.empty()) return Fail(why);
  if (s.bHelp) {
    std::printf("%s%s\nRuns until SIGINT or SIGTERM, then exits 0.\n", kIntro, cli::Help(table).c_str());
    return 0;
  }
  if (std::string why = Finish(s, positionals); !why.empty()) return Fail(why);
  return Serve(s);
}
