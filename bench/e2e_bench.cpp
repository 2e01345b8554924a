// End-to-end benchmark: the driver, through SarnMain on the POSIX platform
// layer, reading holding registers over a pseudo-terminal from the
// controller simulator.
//
// Usage: sarn_e2e_bench [--port PATH] [--pace-baud N] [--line-time N] [--regs N]
//                       [--count N] [--reps N] [--warmup N] [--timeout N]
//                       [--gateway raw|rfc2217] [--client raw]
//   --port PATH     a simulator already serving PATH (plcsim --pty --fill);
//                   without it one runs in this process on a pty of its own
//   --pace-baud N   the in-process simulator paces its replies at N baud;
//                   with --port, the pacing of that simulator, for the record
//   --line-time N   the in-process simulator keeps the time of an N-baud 7E2
//                   line both ways (hears a request once it could have
//                   arrived), and the driver is told the line runs at N baud
//   --regs N        registers a read asks for: 1 is a single read (op 5),
//                   more a block read (op 6); default 1
//   --count N       transactions timed in each repetition (0: set-up only,
//                   for counting the set-up's system calls); default 1000
//   --reps N        repetitions; default 1
//   --warmup N      untimed transactions before the first repetition; default 20
//   --timeout N     reply time-out given at cold start, 10 ms units; default 100
//   --gateway KIND  ser2net (raw or rfc2217) in front of the in-process
//                   simulator: the driver reaches it through GATEWAY = in
//                   its initialization file, the bare client through the
//                   raw TCP port
//   --client raw    instead of the driver, a bare client: one write of the
//                   request and blocking reads until the reply's length has
//                   arrived. What it takes is the simulator's and the pty's
//                   share of a transaction; the driver's own is the rest.
//
// Prints one JSON line per repetition with times per transaction: wall
// (mean and median), the calling thread's CPU time, and its voluntary and
// involuntary context switches. The simulator's thread is not counted.
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench_options.h"
#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/ser2net_gateway.h"
#include "transact/daily_restart.h"

namespace {
bool g_bShowLog = false;
}

extern "C" int err(int, const char* pszFormat, ...) {
  // The host's log. The set-up's report is dropped; a timed transaction
  // that succeeds logs nothing, and anything it does log is shown, for it
  // means the figures are not those of clean reads.
  if (!g_bShowLog) return 0;
  va_list args;
  va_start(args, pszFormat);
  std::vfprintf(stderr, pszFormat, args);
  va_end(args);
  std::fputc('\n', stderr);
  return 0;
}

namespace {

struct Args {
  std::string port;
  uint32_t paceBaud = 0;
  uint32_t lineBaud = 0;  // the simulator keeps the time of a line at this speed, the driver's line too
  int regs = 1;
  long count = 1000;
  int reps = 1;
  int warmup = 20;
  int timeout = 100;
  bool bRaw = false;
  std::string gateway;  // "raw" or "rfc2217": through ser2net
};

constexpr char kProgram[] = "sarn_e2e_bench";
constexpr char kUsage[] =
    "[--port PATH] [--pace-baud N] [--line-time N] [--regs N] [--count N] [--reps N] [--warmup N] [--timeout N] "
    "[--gateway raw|rfc2217] [--client raw]";

[[noreturn]] void Usage(const std::string& why) {
  bench::Usage(kProgram, kUsage, why);
}

Args Parse(int argc, char** argv) {
  Args a;
  long lPace = 0, lLine = 0, lRegs = a.regs, lReps = a.reps, lWarmup = a.warmup, lTimeout = a.timeout;
  const std::vector<cli::Option> table = {
      cli::Text(0, "port", "PATH", a.port, "a simulator already serving PATH"),
      cli::Number(0, "pace-baud", "N", lPace, 0, UINT32_MAX, "the simulator paces its replies at N baud"),
      cli::Number(0, "line-time", "N", lLine, 0, 65535,
                  "the simulator keeps the time of an N-baud 7E2 line both ways, the driver is told N baud"),
      cli::Number(0, "regs", "N", lRegs, 1, 125, "registers a read asks for"),
      cli::Number(0, "count", "N", a.count, 0, LONG_MAX, "transactions timed in each repetition"),
      cli::Number(0, "reps", "N", lReps, 1, INT_MAX, "repetitions"),
      cli::Number(0, "warmup", "N", lWarmup, 0, INT_MAX, "untimed transactions before the first repetition"),
      cli::Number(0, "timeout", "N", lTimeout, 0, INT32_MAX, "reply time-out, 10 ms units"),
      cli::Custom(
          0, "gateway", "KIND",
          [&a](const std::string& v) { return (a.gateway = v) == "raw" || v == "rfc2217" ? "" : "raw or rfc2217"; },
          "through ser2net in front of the simulator"),
      cli::Custom(
          0, "client", "raw", [&a](const std::string& v) { return (a.bRaw = v == "raw") ? "" : "raw"; },
          "a bare client instead of the driver"),
  };
  bench::ParseOptions(kProgram, kUsage, table, argc, argv);
  a.paceBaud = static_cast<uint32_t>(lPace);
  a.lineBaud = static_cast<uint32_t>(lLine);
  a.regs = static_cast<int>(lRegs);
  a.reps = static_cast<int>(lReps);
  a.warmup = static_cast<int>(lWarmup);
  a.timeout = static_cast<int>(lTimeout);
  return a;
}

int64_t Ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

ResultCode Call(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request{pContext, iOpCode, 0, 0, pParam};
  return SarnMain(&request);
}

// The bare client: the request written at once, the reply read with blocking
// reads until its length is complete. No time-out: the benchmark's
// simulator always answers.
class RawClient {
 public:
  // On a tty at path, or on a TCP connection to a raw gateway (port not 0).
  RawClient(const std::string& path, int regs, int port) : replyChars_(11 + 4 * regs) {
    if (port != 0) {
      fd_ = sarn_test::ConnectLoopback(port);
      if (fd_ < 0) Usage("cannot connect to the gateway");
    } else {
      fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      termios t;
      if (fd_ < 0 || tcgetattr(fd_, &t) != 0) Usage("cannot open the port");
      cfmakeraw(&t);
      t.c_cc[VMIN] = static_cast<cc_t>(replyChars_ > 255 ? 255 : replyChars_);
      t.c_cc[VTIME] = 0;
      tcsetattr(fd_, TCSANOW, &t);
    }
    snprintf(request_, sizeof request_, ":0103%04X%04X", 0, regs);
    unsigned sum = 0;
    for (int i = 1; i < 13; i += 2) sum += std::stoul(std::string(request_ + i, 2), nullptr, 16);
    snprintf(request_ + 13, sizeof request_ - 13, "%02X\r\n", (256 - (sum & 0xFF)) & 0xFF);
  }
  ~RawClient() { close(fd_); }
  bool Transact() {
    if (write(fd_, request_, 17) != 17) return false;
    int got = 0;
    while (got < replyChars_) {
      const ssize_t n = read(fd_, reply_ + got, static_cast<size_t>(replyChars_ - got));
      if (n <= 0) return false;
      got += static_cast<int>(n);
    }
    return reply_[0] == ':' && reply_[replyChars_ - 1] == '\n';
  }

 private:
  int fd_ = -1;
  int replyChars_;
  char request_[24] = {};
  char reply_[600] = {};
};

}  // namespace

// The simulator in this process when no port is given; the path to open.
std::string SimulatorPath(const Args& a, std::unique_ptr<plcsim::Simulator>* pSim) {
  if (!a.port.empty()) return a.port;
  plcsim::Options options;
  options.paceBaud = a.paceBaud;
  options.lineTimeBaud = a.lineBaud;
  *pSim = std::make_unique<plcsim::Simulator>(options);
  (*pSim)->FillPattern();
  const std::string path = (*pSim)->OpenPty();
  if (path.empty()) Usage("cannot open a pseudo-terminal");
  return path;
}

// With --gateway, starts ser2net in front of the simulator at path and
// routes the driver there (SARNMD00.INT in the working directory); the port
// name to give the driver.
std::string ThroughGateway(const Args& a, const std::string& path,
                           std::unique_ptr<sarn_test::Ser2netGateway>* pGateway) {
  if (a.gateway.empty()) return path;
  if (!a.port.empty()) Usage("--gateway runs its own simulator: no --port");
  *pGateway = std::make_unique<sarn_test::Ser2netGateway>(path);
  if (!(*pGateway)->Start()) Usage("ser2net did not start: " + (*pGateway)->Error());
  const int port = a.gateway == "raw" ? (*pGateway)->RawPort() : (*pGateway)->Rfc2217Port();
  FILE* pFile = fopen("SARNMD00.INT", "w");
  if (pFile == nullptr) Usage("cannot write SARNMD00.INT");
  fprintf(pFile, "GATEWAY = %s://127.0.0.1:%d\n", a.gateway == "raw" ? "socket" : "rfc2217", port);
  fclose(pFile);
  return "COM1";
}

// Cold-starts the driver on path and parses the gate into *pSpec.
void StartDriver(DriverContext* pCtx, const std::string& path, const Args& a, GateSpec* pSpec) {
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", path.c_str());
  params.bEnable = 1;
  params.iTimeout = a.timeout;
  // The driver's default line: 7 data bits, even parity, 2 stop bits.
  params.line = {static_cast<uint16_t>(a.lineBaud != 0 ? a.lineBaud : 9600), 7, 2, 2};
  if (Call(pCtx, SARN_OP_COLD_START, &params) != 0 || pCtx->bComOpen == 0) Usage("cold start failed");
  if (Call(pCtx, a.regs > 1 ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, pSpec) != 0) {
    Usage("gate refused");
  }
}

// Runs the repetitions, printing one JSON line each; the failed
// transactions.
int MeasureReps(const Args& a, const char* pszClient, const std::function<bool()>& transact) {
  int failures = 0;
  std::vector<int64_t> each(static_cast<size_t>(a.count));
  const int replyChars = 11 + 4 * a.regs;
  for (int rep = 0; rep < a.reps && a.count > 0; ++rep) {
    rusage ru0, ru1;
    getrusage(RUSAGE_THREAD, &ru0);
    const int64_t cpu0 = Ns(CLOCK_THREAD_CPUTIME_ID);
    const int64_t wall0 = Ns(CLOCK_MONOTONIC);
    int64_t last = wall0;
    for (long i = 0; i < a.count; ++i) {
      failures += !transact();
      const int64_t now = Ns(CLOCK_MONOTONIC);
      each[static_cast<size_t>(i)] = now - last;
      last = now;
    }
    const int64_t wall = Ns(CLOCK_MONOTONIC) - wall0;
    const int64_t cpu = Ns(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    getrusage(RUSAGE_THREAD, &ru1);

    std::sort(each.begin(), each.end());
    const double n = static_cast<double>(a.count);
    std::printf(
        "{\"client\":\"%s\",\"regs\":%d,\"count\":%ld,\"pace_baud\":%u,\"request_chars\":17,"
        "\"reply_chars\":%d,\"wall_us\":%.3f,\"median_us\":%.3f,\"cpu_us\":%.3f,\"tps\":%.1f,"
        "\"vcsw\":%.2f,\"ivcsw\":%.2f,\"failures\":%d}\n",
        pszClient, a.regs, a.count, a.paceBaud, replyChars, wall / n / 1e3, each[each.size() / 2] / 1e3, cpu / n / 1e3,
        n * 1e9 / static_cast<double>(wall), (ru1.ru_nvcsw - ru0.ru_nvcsw) / n, (ru1.ru_nivcsw - ru0.ru_nivcsw) / n,
        failures);
    std::fflush(stdout);
  }
  return failures;
}

int main(int argc, char** argv) {
  const Args a = Parse(argc, argv);

  // The driver reads SARNMD00.INT from the current directory: run where
  // there is none, so the defaults apply (--gateway writes one).
  char szDir[] = "/tmp/sarn_e2e_XXXXXX";
  if (mkdtemp(szDir) == nullptr || chdir(szDir) != 0) Usage("cannot make a working directory");
  std::unique_ptr<plcsim::Simulator> sim;
  std::unique_ptr<sarn_test::Ser2netGateway> gateway;
  const std::string path = ThroughGateway(a, SimulatorPath(a, &sim), &gateway);
  if (path.size() > 11) Usage("port name longer than 11 characters");

  DriverContext ctx{};
  const bool bBlock = a.regs > 1;
  GateSpec spec{};
  spec.pszAddress = "0140001";
  spec.iCount = bBlock ? a.regs : 0;
  uint16_t regs[125] = {};
  uint8_t cell[4] = {};
  std::unique_ptr<RawClient> raw;
  if (a.bRaw) {
    raw = std::make_unique<RawClient>(path, a.regs, gateway ? gateway->RawPort() : 0);
  } else {
    StartDriver(&ctx, path, a, &spec);
  }
  GateTransfer t{spec.pszAddress,
                 0,
                 spec.iPlcAddr,
                 spec.iMemType,
                 spec.iAddress,
                 spec.iBitNr,
                 spec.iBits,
                 0,
                 bBlock ? a.regs : 1,
                 0,
                 bBlock ? static_cast<void*>(regs) : cell};
  const int32_t op = bBlock ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ;
  auto transact = [&] { return raw ? raw->Transact() : Call(&ctx, op, &t) == 0; };

  // The first read after loading restarts the port (daily restart); the
  // warm-up takes it.
  int failures = 0;
  for (int i = 0; i < a.warmup; ++i) failures += !transact();
  g_bShowLog = true;
  failures += MeasureReps(a, raw ? "raw" : "sarnmd", transact);
  if (!raw && bBlock && regs[a.regs - 1] != a.regs) {
    std::fprintf(stderr, "sarn_e2e_bench: wrong values read (is the simulator filled?)\n");
    failures++;
  }

  if (!raw) Call(&ctx, SARN_OP_CLOSE_COM, nullptr);
  raw.reset();
  gateway.reset();
  sim.reset();
  unlink("SARNMD00.INT");  // --gateway's
  (void)!chdir("/");
  rmdir(szDir);
  return failures == 0 ? 0 : 1;
}
