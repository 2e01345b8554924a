// plcsim: serves a simulated Modbus ASCII controller on a pseudo-terminal or a
// serial device until SIGINT or SIGTERM.
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "plcsim.h"

namespace {

const char kUsage[] =
    "Usage: plcsim (--pty | --device PATH [--baud N]) [options]\n"
    "Simulates a Modbus ASCII controller (slave) for testing the driver.\n"
    "\n"
    "  --pty            create a pseudo-terminal and serve it; the path to open\n"
    "                   is printed as the first line of standard output\n"
    "  --device PATH    serve a serial device (raw 8N1)\n"
    "  --baud N         line speed of --device (default 9600)\n"
    "  --address N      controller address to answer, 0..255 (repeatable;\n"
    "                   default 1)\n"
    "  --gtc            GTC variant: function 2 reads bits 1..1000, function 4\n"
    "                   reads register area 1, 2 or 3 (64, 42, 64 values),\n"
    "                   function 15 sets (address 1) or resets (address 2) the\n"
    "                   masked bits 161..472\n"
    "  --pace-baud N    send replies one character at a time at N baud\n"
    "                   (10 bits a character)\n"
    "  --late MS        answer every request MS milliseconds late (--delay MS\n"
    "                   is the same)\n"
    "  --table-size N   coils, inputs and registers at addresses 0..N-1\n"
    "                   (default 10000)\n"
    "  --fill           fill the tables with a pattern by gate address k, which\n"
    "                   counts from 1 (Modbus address k - 1 on the wire):\n"
    "                     holding register k = k, input register k = 1000 + k,\n"
    "                     coil k = 1 when k % 3 == 0, input k = 1 when k % 2 == 0;\n"
    "                     so gate 0140011 reads 11 and 0130005 reads 1005;\n"
    "                     GTC bit n = 1 when n % 2 == 0,\n"
    "                     GTC register i of area a = a * 1000 + i (i from 0)\n"
    "                   (otherwise everything starts at 0)\n"
    "  -v               print each request and its reply to standard error\n"
    "\n"
    "Faults on demand (percentages are drawn per request it would answer):\n"
    "  --silent PCT     say nothing to PCT % of the requests\n"
    "  --exception REF=CODE\n"
    "                   answer exception CODE to every request that touches\n"
    "                   REF: TABLE:N with mbpoll's table (0 coils, 1 discrete\n"
    "                   inputs, 3 input registers, 4 holding registers) and N\n"
    "                   counted from 1 (4:11 is gate 0140011), or * for every\n"
    "                   request (repeatable; the first that matches answers)\n"
    "  --lrc-errors PCT reply with a wrong LRC to PCT % of the requests\n"
    "  --garble PCT     replace one character of PCT % of the replies by line\n"
    "                   noise (a character that is not a hex digit)\n"
    "  --echo           send every character received straight back before\n"
    "                   anything else, as a two-wire RS-485 adapter does\n"
    "  --seed N         seed of the draws (default: the time)\n"
    "  --help           show this text\n"
    "\n"
    "Runs until SIGINT or SIGTERM, then exits 0.\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "plcsim: %s (try --help)\n", message.c_str());
  return 2;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return !text.empty() && ec == std::errc() && ptr == end && out <= max;
}

}  // namespace

int main(int argc, char** argv) {
  plcsim::Options options;
  options.addresses.clear();
  bool usePty = false;
  bool fill = false;
  std::string device;
  bool baudGiven = false;
  bool seedGiven = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        hasInlineValue = true;
      }
    }
    // Fetches the option's value: "--opt=V" or "--opt V".
    auto takeValue = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    auto takeNumber = [&](unsigned long max, unsigned long& out, std::string& error) {
      std::string text;
      if (!takeValue(text)) {
        error = "option " + arg + " needs a value";
        return false;
      }
      if (!ParseNumber(text, max, out)) {
        error = "bad value '" + text + "' for " + arg + " (a number 0.." + std::to_string(max) + ")";
        return false;
      }
      return true;
    };
    auto noValue = [&] { return !hasInlineValue; };

    std::string error;
    unsigned long n = 0;
    if (arg == "--help" && noValue()) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--pty" && noValue()) {
      usePty = true;
    } else if (arg == "--device") {
      if (!takeValue(device) || device.empty()) return Fail("option --device needs a path");
    } else if (arg == "--baud") {
      if (!takeNumber(4000000, n, error)) return Fail(error);
      options.deviceBaud = static_cast<uint32_t>(n);
      baudGiven = true;
    } else if (arg == "--address") {
      if (!takeNumber(255, n, error)) return Fail(error);
      options.addresses.push_back(static_cast<int>(n));
    } else if (arg == "--gtc" && noValue()) {
      options.gtc = true;
    } else if (arg == "--pace-baud") {
      if (!takeNumber(4000000, n, error)) return Fail(error);
      options.paceBaud = static_cast<uint32_t>(n);
    } else if (arg == "--late" || arg == "--delay") {
      if (!takeNumber(600000, n, error)) return Fail(error);
      options.replyDelayMs = static_cast<uint32_t>(n);
    } else if (arg == "--table-size") {
      if (!takeNumber(65535, n, error)) return Fail(error);
      options.tableSize = static_cast<uint16_t>(n);
    } else if (arg == "--fill" && noValue()) {
      fill = true;
    } else if (arg == "--silent" || arg == "--lrc-errors" || arg == "--garble") {
      if (!takeNumber(100, n, error)) return Fail(error);
      int& percent = arg == "--silent"       ? options.silentPercent
                     : arg == "--lrc-errors" ? options.lrcErrorPercent
                                             : options.garblePercent;
      percent = static_cast<int>(n);
    } else if (arg == "--exception") {
      std::string text;
      plcsim::ExceptionRule rule;
      if (!takeValue(text)) return Fail("option --exception needs a value");
      if (!plcsim::ParseExceptionRule(text, rule)) {
        return Fail("bad value '" + text + "' for --exception (TABLE:N=CODE such as 4:11=2, or *=CODE; CODE 1..255)");
      }
      options.exceptions.push_back(rule);
    } else if (arg == "--echo" && noValue()) {
      options.echo = true;
    } else if (arg == "--seed") {
      if (!takeNumber(4294967295UL, n, error)) return Fail(error);
      options.seed = static_cast<uint32_t>(n);
      seedGiven = true;
    } else if (arg == "-v") {
      options.verbose = true;
    } else {
      return Fail("unknown option '" + std::string(argv[i]) + "'");
    }
  }

  if (usePty == !device.empty()) return Fail("give exactly one of --pty and --device PATH");
  if (baudGiven && usePty) return Fail("--baud applies to --device only");
  if (options.addresses.empty()) options.addresses.push_back(1);
  if (!seedGiven) options.seed = static_cast<uint32_t>(time(nullptr));
  if (!usePty && !plcsim::SupportedBaud(options.deviceBaud)) {
    return Fail("unsupported speed " + std::to_string(options.deviceBaud) + " for --baud");
  }

  // SIGINT and SIGTERM are taken by sigwait below; block them before the
  // serving thread starts so that it inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  plcsim::Simulator sim(options);
  if (fill) sim.FillPattern();
  if (usePty) {
    std::string path = sim.OpenPty();
    if (path.empty()) {
      std::fprintf(stderr, "plcsim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
      return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  } else if (!sim.OpenDevice(device)) {
    std::fprintf(stderr, "plcsim: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
    return 1;
  }

  int sig = 0;
  sigwait(&signals, &sig);
  sim.Stop();
  return 0;
}
