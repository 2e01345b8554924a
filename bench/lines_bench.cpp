// Lines benchmark: N serial lines polled at once, as a host with a thread per
// line does. Each line is one context on its own thread, calling SarnMain
// for single-register reads against its own simulated controller on its own
// pseudo-terminal, which paces its replies at a baud rate. Every port is
// named in the short form a plant uses, "pts/N" (the device under /dev/).
// The aggregate transactions per second of N lines, set against N times
// those of one line, shows whether the lines get in each other's way; the
// CPU time of the line threads per transaction (the driver's work and the
// kernel's for its system calls, not the simulators') shows whether a
// transaction costs more when there are more lines.
//
// The same runs with a bare master (--clients bare) in place of the driver:
// a loop that writes the 17 request characters and reads the reply with
// poll() and read() on the same paced line, doing nothing a driver could
// leave out, gives the floor of the CPU time per transaction.
//
// Usage: sarn_lines_bench [--lines 1,2,4,8] [--seconds S] [--pace-baud N]
//                         [--regs N] [--reps N] [--clients driver,bare]
//   --lines LIST    line counts to run, comma-separated, 1 to 256; default 1,2,4,8
//   --seconds S     timed seconds per run; default 5
//   --pace-baud N   the simulators pace their replies at N baud; default 19200
//   --regs N        registers a read asks for: 1 a single read (op 5), more a
//                   block read (op 6; the driver only); default 1
//   --reps N        runs of each line count, interleaved; default 3
//   --clients LIST  driver, bare or both, comma-separated; default driver
//
// Prints one JSON line per run: client, lines, transactions, seconds,
// aggregate and per-line transactions per second (slowest and fastest line),
// CPU microseconds per transaction of the line threads and of the whole
// process (the simulators included), failures, the load average before and
// after.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
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
  std::vector<std::string> clients{"driver"};
  std::string sim = "uart";
};

// The comma-separated items of a list option.
std::vector<std::string> Items(const std::string& v) {
  std::vector<std::string> items;
  for (size_t at = 0; at <= v.size();) {
    size_t comma = v.find(',', at);
    if (comma == std::string::npos) comma = v.size();
    items.push_back(v.substr(at, comma - at));
    at = comma + 1;
  }
  return items;
}

// --lines: line counts, each 1 to the most ports the driver opens.
std::string SetLines(const std::string& v, std::vector<int>& lines) {
  lines.clear();
  for (const std::string& item : Items(v)) {
    long n = 0;
    if (!cli::ParseLong(item, 1, SARN_MAX_OPEN_PORTS, n)) return "1 to 256 lines, separated by commas";
    lines.push_back(static_cast<int>(n));
  }
  return "";
}

// --clients: driver, bare or both.
std::string SetClients(const std::string& v, std::vector<std::string>& clients) {
  clients = Items(v);
  for (const std::string& c : clients) {
    if (c != "driver" && c != "bare") return "driver and bare, separated by commas";
  }
  return "";
}

std::string SetSeconds(const std::string& v, double& seconds) {
  char* pEnd = nullptr;
  seconds = std::strtod(v.c_str(), &pEnd);
  return pEnd != v.c_str() && *pEnd == '\0' && seconds > 0 ? "" : "a number of seconds above 0";
}

std::vector<cli::Option> OptionTable(Args& a, long& lPace, long& lRegs, long& lReps) {
  return {
      cli::Custom(
          0, "lines", "LIST", [&a](const std::string& v) { return SetLines(v, a.lines); }, "line counts to run"),
      cli::Custom(
          0, "seconds", "S", [&a](const std::string& v) { return SetSeconds(v, a.seconds); }, "timed seconds per run"),
      cli::Number(0, "pace-baud", "N", lPace, 0, UINT32_MAX, "the simulators pace their replies at N baud"),
      cli::Number(0, "regs", "N", lRegs, 1, 125, "registers a read asks for"),
      cli::Number(0, "reps", "N", lReps, 1, INT_MAX, "runs of each line count, interleaved"),
      cli::Custom(
          0, "clients", "LIST", [&a](const std::string& v) { return SetClients(v, a.clients); },
          "driver, bare or both"),
      cli::Custom(
          0, "sim", "KIND",
          [&a](const std::string& v) { return (a.sim = v) == "uart" || v == "plcsim" ? "" : "uart or plcsim"; },
          "the simulators: uart or plcsim"),
  };
}

constexpr char kProgram[] = "sarn_lines_bench";
constexpr char kUsage[] =
    "[--lines 1,2,4,8] [--seconds S] [--pace-baud N] [--regs N] [--reps N] [--clients driver,bare] "
    "[--sim uart|plcsim]";

[[noreturn]] void Usage(const std::string& why) {
  bench::Usage(kProgram, kUsage, why);
}

Args Parse(int argc, char** argv) {
  Args a;
  long lPace = a.paceBaud, lRegs = a.regs, lReps = a.reps;
  bench::ParseOptions(kProgram, kUsage, OptionTable(a, lPace, lRegs, lReps), argc, argv);
  a.paceBaud = static_cast<uint32_t>(lPace);
  a.regs = static_cast<int>(lRegs);
  a.reps = static_cast<int>(lReps);
  return a;
}

ResultCode Call(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request{pContext, iOpCode, 0, 0, pParam};
  return SarnMain(&request);
}

int64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double ProcessCpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

std::string LoadAverage() {
  char sz[64] = {};
  FILE* f = std::fopen("/proc/loadavg", "r");
  if (f == nullptr) return "";
  if (std::fgets(sz, sizeof sz, f) == nullptr) sz[0] = '\0';
  std::fclose(f);
  std::string s = sz;
  // The three averages only.
  size_t end = 0;
  for (int i = 0; i < 3 && end != std::string::npos; ++i) end = s.find(' ', end + 1);
  return s.substr(0, end);
}

// Controllers that answer as a UART delivers: every pty's request for
// holding registers gets its reply in one piece once the reply's characters
// would have crossed the line (10 bits each at the pace baud rate), the way a
// UART's receive FIFO or a USB adapter hands over a short frame. One thread
// serves all lines (epoll, and a timerfd for the replies due: all replies of
// a run have the same length, so they fall due in the order the requests
// came), so that the serving side stays small next to the masters measured
// even with hundreds of lines; plcsim's simulator (--sim plcsim) takes a
// thread per line and wakes once per character.
class UartLines {
 public:
  UartLines(uint32_t paceBaud, int regs) : regs_(regs) {
    reply_ = ReplyFor(regs);
    replyNs_ = static_cast<int64_t>(reply_.size()) * 10 * 1000000000 / paceBaud;
  }
  ~UartLines() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (const Pty& p : ptys_) {
      close(p.master);
      close(p.slave);
    }
    if (epoll_ >= 0) close(epoll_);
    if (timer_ >= 0) close(timer_);
  }

  // A new line; its slave's name in the short form "pts/N", or "".
  std::string Add() {
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return "";
    const std::string path = ptsname(p.master);
    p.slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // kept: raw, and no hang-up between runs
    termios t;
    if (p.slave < 0 || tcgetattr(p.slave, &t) != 0) return "";
    cfmakeraw(&t);
    if (tcsetattr(p.slave, TCSANOW, &t) != 0) return "";
    ptys_.push_back(std::move(p));
    return path.rfind("/dev/", 0) == 0 ? path.substr(5) : "";
  }

  bool Start() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (epoll_ < 0 || timer_ < 0) return false;
    epoll_event ev{EPOLLIN, {}};
    ev.data.u32 = kTimerTag;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev) != 0) return false;
    for (uint32_t i = 0; i < ptys_.size(); ++i) {
      ev.data.u32 = i;
      if (epoll_ctl(epoll_, EPOLL_CTL_ADD, ptys_[i].master, &ev) != 0) return false;
    }
    thread_ = std::thread(&UartLines::Serve, this);
    return true;
  }

 private:
  static constexpr uint32_t kTimerTag = 0xFFFFFFFFu;
  struct Pty {
    int master = -1;
    int slave = -1;
    std::string frame;
  };
  struct Due {
    int64_t atNs;
    uint32_t line;
  };

  // The reply to a read of `regs` holding registers of controller 1 (all 0).
  static std::string ReplyFor(int regs) {
    std::vector<uint8_t> bytes{1, 3, static_cast<uint8_t>(2 * regs)};
    bytes.resize(bytes.size() + 2 * static_cast<size_t>(regs), 0);
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string text = ":";
    char hex[3];
    for (uint8_t b : bytes) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      text += hex;
    }
    return text + "\r\n";
  }

  static int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
  }

  void ArmTimer() {
    itimerspec its{};
    if (!due_.empty()) {
      const int64_t at = std::max<int64_t>(due_.front().atNs, 1);
      its.it_value = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    }
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &its, nullptr);
  }

  // Takes what the master of line i has; a complete request of controller 1
  // for holding registers schedules the reply.
  void Receive(uint32_t i) {
    char buf[512];
    ssize_t n;
    while ((n = read(ptys_[i].master, buf, sizeof buf)) > 0) {
      for (ssize_t k = 0; k < n; ++k) {
        std::string& frame = ptys_[i].frame;
        if (buf[k] == ':') frame.clear();
        frame += buf[k];
        if (buf[k] != '\n') continue;
        if (frame.compare(0, 5, ":0103") == 0) {
          const bool bWasEmpty = due_.empty();
          due_.push_back({NowNs() + replyNs_, i});
          if (bWasEmpty) ArmTimer();
        }
        frame.clear();
      }
    }
  }

  void SendDue() {
    uint64_t expirations = 0;
    (void)!read(timer_, &expirations, sizeof expirations);
    const int64_t now = NowNs();
    while (!due_.empty() && due_.front().atNs <= now) {
      (void)!write(ptys_[due_.front().line].master, reply_.data(), reply_.size());
      due_.pop_front();
    }
    ArmTimer();
  }

  void Serve() {
    epoll_event events[64];
    while (!stop_) {
      const int n = epoll_wait(epoll_, events, 64, 100);
      for (int k = 0; k < n; ++k) {
        if (events[k].data.u32 == kTimerTag)
          SendDue();
        else
          Receive(events[k].data.u32);
      }
    }
  }

  int regs_;
  std::string reply_;
  int64_t replyNs_;
  std::vector<Pty> ptys_;
  std::deque<Due> due_;
  int epoll_ = -1;
  int timer_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One line: a simulator on its pty and the host's context for it (or the
// bare master's descriptor).
struct Line {
  std::unique_ptr<plcsim::Simulator> sim;
  std::string port;
  DriverContext ctx{};
  int fd = -1;  // the bare master's
  long transactions = 0;
  long failures = 0;
  double seconds = 0;
  int64_t cpuNs = 0;
};

// Starts a simulator and names its pty in the short form "pts/N".
bool StartSimulator(Line* pLine, uint32_t paceBaud) {
  plcsim::Options options;
  options.paceBaud = paceBaud;
  pLine->sim = std::make_unique<plcsim::Simulator>(options);
  pLine->sim->FillPattern();
  const std::string path = pLine->sim->OpenPty();
  if (path.rfind("/dev/", 0) != 0) return false;
  pLine->port = path.substr(5);
  return pLine->port.size() <= SARN_MAX_PORT_NAME;
}

// The bare master's line: the slave opened raw and blocking.
bool OpenBare(Line* pLine) {
  pLine->fd = open(("/dev/" + pLine->port).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t;
  if (pLine->fd < 0 || tcgetattr(pLine->fd, &t) != 0) return false;
  cfmakeraw(&t);
  return tcsetattr(pLine->fd, TCSANOW, &t) == 0;
}

bool OpenLine(Line* pLine, uint32_t paceBaud, bool bBare, UartLines* pUart) {
  if (pUart != nullptr) {
    pLine->port = pUart->Add();
    if (pLine->port.empty() || pLine->port.size() > SARN_MAX_PORT_NAME) return false;
  } else if (!StartSimulator(pLine, paceBaud)) {
    return false;
  }
  if (bBare) return OpenBare(pLine);
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", pLine->port.c_str());
  params.bEnable = 1;
  params.iTimeout = 100;
  params.line = {static_cast<uint16_t>(paceBaud > 65535 ? 9600 : paceBaud), 8, 0, 0};
  return Call(&pLine->ctx, SARN_OP_COLD_START, &params) == 0 && pLine->ctx.bComOpen != 0;
}

// The bare master's transaction: the request for holding register 1 of
// controller 1, then the reply's 15 characters, waited for with poll() and
// taken with read() as they come (1 s at most).
bool BareRead(int fd) {
  static const char kRequest[] = ":010300000001FB\r\n";
  constexpr size_t kReplyLen = 15;  // ":010302" + 4 digits + LRC + CR LF
  if (write(fd, kRequest, sizeof kRequest - 1) != static_cast<ssize_t>(sizeof kRequest - 1)) return false;
  char reply[64];
  size_t got = 0;
  while (got < kReplyLen) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 1000) <= 0) return false;
    const ssize_t n = read(fd, reply + got, sizeof reply - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return got == kReplyLen && reply[0] == ':' && std::memcmp(reply + 1, "010302", 6) == 0;
}

// The bare master's loop, timed as the driver's.
void PollBare(Line* pLine, const std::atomic<int>* pGo, const std::atomic<bool>* pStop) {
  for (int i = 0; i < 3; ++i) BareRead(pLine->fd);
  while (pGo->load() == 0) std::this_thread::yield();
  const auto start = Clock::now();
  const int64_t cpuStart = ThreadCpuNs();
  while (!pStop->load(std::memory_order_relaxed)) {
    if (!BareRead(pLine->fd)) ++pLine->failures;
    ++pLine->transactions;
  }
  pLine->cpuNs = ThreadCpuNs() - cpuStart;
  pLine->seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

// Polls one register (or a block) through the driver until told to stop.
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
  const int64_t cpuStart = ThreadCpuNs();
  while (!pStop->load(std::memory_order_relaxed)) {
    if (Call(&pLine->ctx, op, &t) != 0) ++pLine->failures;
    ++pLine->transactions;
  }
  pLine->cpuNs = ThreadCpuNs() - cpuStart;
  pLine->seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

void RunLines(const Args& a, const std::string& client, int nLines) {
  const bool bBare = client == "bare";
  std::vector<Line> lines(static_cast<size_t>(nLines));
  std::unique_ptr<UartLines> uart;
  if (a.sim == "uart") uart = std::make_unique<UartLines>(a.paceBaud, a.regs);
  for (Line& line : lines)
    if (!OpenLine(&line, a.paceBaud, bBare, uart.get())) Usage("cannot open a line");
  if (uart && !uart->Start()) Usage("cannot serve the lines");
  const std::string loadBefore = LoadAverage();
  const long nLogBefore = g_nLogLines.load();
  std::atomic<int> go{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (Line& line : lines) {
    if (bBare)
      threads.emplace_back(PollBare, &line, &go, &stop);
    else
      threads.emplace_back(Poll, &line, a.regs, &go, &stop);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200 + 4 * nLines));  // set-up and warm-up of every line
  const double processCpuStart = ProcessCpuSeconds();
  go = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(a.seconds));
  stop = true;
  const double processCpu = ProcessCpuSeconds() - processCpuStart;
  for (auto& thread : threads) thread.join();

  long total = 0, failures = 0;
  double tps = 0, slowest = 1e30, fastest = 0, seconds = 0;
  int64_t cpuNs = 0;
  for (Line& line : lines) {
    const double lineTps = line.transactions / line.seconds;
    tps += lineTps;
    slowest = std::min(slowest, lineTps);
    fastest = std::max(fastest, lineTps);
    seconds = std::max(seconds, line.seconds);
    total += line.transactions;
    failures += line.failures;
    cpuNs += line.cpuNs;
    if (bBare)
      close(line.fd);
    else
      Call(&line.ctx, SARN_OP_CLOSE_COM, nullptr);
  }
  const double perTxn = total > 0 ? 1.0 / static_cast<double>(total) : 0;
  std::printf(
      "{\"client\":\"%s\",\"sim\":\"%s\",\"lines\":%d,\"regs\":%d,\"pace_baud\":%u,\"transactions\":%ld,\"seconds\":%."
      "3f,"
      "\"tps\":%.2f,\"line_tps_min\":%.2f,\"line_tps_max\":%.2f,\"cpu_us\":%.2f,\"process_cpu_us\":%.2f,"
      "\"failures\":%ld,\"log_lines\":%ld,\"load_before\":\"%s\",\"load_after\":\"%s\"}\n",
      client.c_str(), a.sim.c_str(), nLines, a.regs, a.paceBaud, total, seconds, tps, slowest, fastest,
      static_cast<double>(cpuNs) / 1e3 * perTxn, processCpu * 1e6 * perTxn, failures, g_nLogLines.load() - nLogBefore,
      loadBefore.c_str(), LoadAverage().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Args a = Parse(argc, argv);
  // No SARNMD0.INT where the driver looks: the defaults apply.
  char szDir[] = "/tmp/sarn_lines_XXXXXX";
  if (mkdtemp(szDir) == nullptr || chdir(szDir) != 0) Usage("cannot make a working directory");
  for (int rep = 0; rep < a.reps; ++rep)
    for (int n : a.lines)
      for (const std::string& client : a.clients) RunLines(a, client, n);
  (void)!chdir("/");
  rmdir(szDir);
  return 0;
}
