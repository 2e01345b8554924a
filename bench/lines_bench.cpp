// Lines benchmark: N serial lines polled at once, as a host with a thread per
// line does. Each line is one context on its own thread, calling SarnMain
// for single-register reads against its own simulated controller on its own
// pseudo-terminal, which paces its replies at a baud rate. The aggregate
// transactions per second of N lines, set against N times those of one line,
// shows whether the lines get in each other's way.
//
// Usage: sarn_lines_bench [--lines 1,2,4,8] [--seconds S] [--pace-baud N]
//                         [--regs N] [--reps N]
//   --lines LIST    line counts to run, comma-separated; default 1,2,4,8
//   --seconds S     timed seconds per run; default 5
//   --pace-baud N   the simulators pace their replies at N baud; default 19200
//   --regs N        registers a read asks for: 1 a single read (op 5), more a
//                   block read (op 6); default 1
//   --reps N        runs of each line count, interleaved; default 3
//
// Prints one JSON line per run: lines, transactions, seconds, aggregate and
// per-line transactions per second (slowest and fastest line), failures.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plcsim.h"
#include "sarnmd.h"

namespace {
std::atomic<long> g_nLogLines{0};
}

// The host's log: counted, not written. A timed transaction that succeeds
// logs nothing.
extern "C" int err(int, const char*, ...) {
  g_nLogLines.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

namespace {

using Clock = std::chrono::steady_clock;

struct Args {
  std::vector<int> lines{1, 2, 4, 8};
  double seconds = 5;
  uint32_t paceBaud = 19200;
  int regs = 1;
  int reps = 3;
};

[[noreturn]] void Usage(const char* pszWhy) {
  std::fprintf(stderr, "sarn_lines_bench: %s\n", pszWhy);
  std::fprintf(stderr,
               "usage: sarn_lines_bench [--lines 1,2,4,8] [--seconds S] [--pace-baud N] [--regs N] [--reps N]\n");
  std::exit(2);
}

Args Parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage(("missing value for " + arg).c_str());
    const std::string v = argv[++i];
    if (arg == "--lines") {
      a.lines.clear();
      for (size_t at = 0; at < v.size();) {
        size_t comma = v.find(',', at);
        if (comma == std::string::npos) comma = v.size();
        a.lines.push_back(std::atoi(v.substr(at, comma - at).c_str()));
        at = comma + 1;
      }
    } else if (arg == "--seconds") {
      a.seconds = std::atof(v.c_str());
    } else if (arg == "--pace-baud") {
      a.paceBaud = static_cast<uint32_t>(std::atol(v.c_str()));
    } else if (arg == "--regs") {
      a.regs = std::atoi(v.c_str());
    } else if (arg == "--reps") {
      a.reps = std::atoi(v.c_str());
    } else {
      Usage(("unknown option " + arg).c_str());
    }
  }
  for (int n : a.lines)
    if (n < 1 || n > 16) Usage("--lines takes 1 to 16 lines");
  if (a.regs < 1 || a.regs > 125 || a.seconds <= 0 || a.reps < 1) Usage("bad value");
  return a;
}

ResultCode Call(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request{pContext, iOpCode, 0, 0, pParam};
  return SarnMain(&request);
}

// One line: a simulator on its pty and the host's context for it.
struct Line {
  std::unique_ptr<plcsim::Simulator> sim;
  std::string port;
  DriverContext ctx{};
  long transactions = 0;
  long failures = 0;
  double seconds = 0;
};

bool OpenLine(Line* pLine, uint32_t paceBaud, int index) {
  plcsim::Options options;
  options.paceBaud = paceBaud;
  pLine->sim = std::make_unique<plcsim::Simulator>(options);
  pLine->sim->FillPattern();
  const std::string path = pLine->sim->OpenPty();
  if (path.empty()) return false;
  // Port names hold 11 characters: a short link in the working directory.
  pLine->port = "ln" + std::to_string(index);
  unlink(pLine->port.c_str());
  if (symlink(path.c_str(), pLine->port.c_str()) != 0) return false;
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", pLine->port.c_str());
  params.bEnable = 1;
  params.iTimeout = 100;
  params.line = {static_cast<uint16_t>(paceBaud > 65535 ? 9600 : paceBaud), 8, 0, 0};
  return Call(&pLine->ctx, SARN_OP_COLD_START, &params) == 0 && pLine->ctx.bComOpen != 0;
}

// Polls one register (or a block) until told to stop.
void Poll(Line* pLine, int regs, const std::atomic<int>* pGo, const std::atomic<bool>* pStop) {
  const bool bBlock = regs > 1;
  GateSpec spec{};
  spec.pszAddress = "0140001";
  spec.iCount = bBlock ? regs : 0;
  if (Call(&pLine->ctx, bBlock ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, &spec) != 0) {
    pLine->failures = 1;
    return;
  }
  uint16_t values[125] = {};
  uint8_t cell[4] = {};
  GateTransfer t{spec.pszAddress,
                 0,
                 spec.iPlcAddr,
                 spec.iMemType,
                 spec.iAddress,
                 spec.iBitNr,
                 spec.iBits,
                 0,
                 bBlock ? regs : 1,
                 0,
                 bBlock ? static_cast<void*>(values) : cell};
  const int32_t op = bBlock ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ;
  for (int i = 0; i < 3; ++i) Call(&pLine->ctx, op, &t);  // the daily restart among them
  while (pGo->load() == 0) std::this_thread::yield();
  const auto start = Clock::now();
  while (!pStop->load(std::memory_order_relaxed)) {
    if (Call(&pLine->ctx, op, &t) != 0) ++pLine->failures;
    ++pLine->transactions;
  }
  pLine->seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

void RunLines(const Args& a, int nLines) {
  std::vector<Line> lines(static_cast<size_t>(nLines));
  for (int i = 0; i < nLines; ++i)
    if (!OpenLine(&lines[static_cast<size_t>(i)], a.paceBaud, i)) Usage("cannot open a line");
  const long nLogBefore = g_nLogLines.load();
  std::atomic<int> go{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (Line& line : lines) threads.emplace_back(Poll, &line, a.regs, &go, &stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // set-up and warm-up of every line
  go = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(a.seconds));
  stop = true;
  for (auto& thread : threads) thread.join();

  long total = 0, failures = 0;
  double tps = 0, slowest = 1e30, fastest = 0, seconds = 0;
  for (Line& line : lines) {
    const double lineTps = line.transactions / line.seconds;
    tps += lineTps;
    slowest = std::min(slowest, lineTps);
    fastest = std::max(fastest, lineTps);
    seconds = std::max(seconds, line.seconds);
    total += line.transactions;
    failures += line.failures;
    Call(&line.ctx, SARN_OP_CLOSE_COM, nullptr);
    unlink(line.port.c_str());
  }
  std::printf(
      "{\"lines\":%d,\"regs\":%d,\"pace_baud\":%u,\"transactions\":%ld,\"seconds\":%.3f,\"tps\":%.2f,"
      "\"line_tps_min\":%.2f,\"line_tps_max\":%.2f,\"failures\":%ld,\"log_lines\":%ld}\n",
      nLines, a.regs, a.paceBaud, total, seconds, tps, slowest, fastest, failures, g_nLogLines.load() - nLogBefore);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = Parse(argc, argv);
  // No SARNMD0.INT where the driver looks: the defaults apply.
  char szDir[] = "/tmp/sarn_lines_XXXXXX";
  if (mkdtemp(szDir) == nullptr || chdir(szDir) != 0) Usage("cannot make a working directory");
  for (int rep = 0; rep < a.reps; ++rep)
    for (int n : a.lines) RunLines(a, n);
  (void)!chdir("/");
  rmdir(szDir);
  return 0;
}
