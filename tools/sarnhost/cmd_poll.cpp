// poll: reads the gates round after round, with a live table on a terminal
// (round by round lines otherwise), a CSV line per value, and a summary.
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "cli.h"
#include "commands.h"

namespace sarnhost {

namespace {

using Clock = std::chrono::steady_clock;

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

// One value in the table: an element of a read gate.
struct PollRow {
  std::string label;
  std::string value = "waiting";
  long lGood = 0, lFailed = 0;
  std::map<std::string, long> failures;  // reason -> count
  double dLastMs = 0, dMaxMs = 0;
};

// One read per round: a gate, single or a block, and its rows.
struct PollItem {
  Gate gate;
  size_t nFirstRow = 0, nRows = 1;
  size_t nFirstValue = 0;  // the value of the read its first row shows (GATE[k]: k)
};

// What the polling thread and the drawing thread share.
struct PollState {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<PollItem> items;  // never changed while polling
  std::vector<PollRow> rows;
  long lRound = 0;
  int iWorst = 0;
  bool bFinished = false;
  unsigned long ulVersion = 0;  // counts changes, for redrawing
  std::atomic<bool> bStop{false};
  FILE* pCsv = nullptr;
  bool bLive = false;
};

// The gate column is as wide as the longest label ("0130002[10]",
// "150.40001"), at least 9 characters.
int LabelWidth(const std::vector<PollRow>& rows) {
  size_t n = 9;
  for (const PollRow& r : rows) n = std::max(n, r.label.size());
  return static_cast<int>(n);
}

std::vector<std::string> PollTable(const std::vector<PollRow>& rows) {
  std::vector<std::string> lines;
  const int iWidth = LabelWidth(rows);
  char sz[320];
  snprintf(sz, sizeof sz, "%-*s %-34s %7s %7s %9s %9s", iWidth, "gate", "value", "good", "failed", "last ms", "max ms");
  lines.push_back(sz);
  for (const PollRow& r : rows) {
    snprintf(sz, sizeof sz, "%-*s %-34s %7ld %7ld %9.2f %9.2f", iWidth, r.label.c_str(), r.value.c_str(), r.lGood,
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
             st.lRound, o.lRounds > 0 ? (" of " + std::to_string(o.lRounds)).c_str() : "");
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

// Enters one read's outcome into the rows of its item.
void Record(Session& s, PollState& st, const PollItem& item, const TxResult& r, const std::vector<uint8_t>& buffer,
            long lRound) {
  std::vector<Value> values;
  if (r.rc == 0) values = ReadValues(s, item.gate, buffer);
  for (size_t k = 0; k < item.nRows; ++k) {
    std::string value = r.outcome.shortText, plain, result = r.rc == 0 ? "ok" : r.outcome.shortText;
    if (r.rc == 0) {
      value = FormatValue(values[item.nFirstValue + k], ValueType(item.gate));
      plain = PlainValue(values[item.nFirstValue + k], ValueType(item.gate));
    }
    std::string label;
    {
      std::lock_guard lock(st.mutex);
      PollRow& row = st.rows[item.nFirstRow + k];
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
      label = row.label;
    }
    if (st.pCsv != nullptr) {
      fprintf(st.pCsv, "%s,%s,%s,%s,%.2f\n", Timestamp().c_str(), CsvField(label).c_str(), CsvField(plain).c_str(),
              CsvField(result).c_str(), r.dMs);
      fflush(st.pCsv);
    }
    if (!st.bLive) {
      printf("round %ld  %-*s %-34s %8.2f ms\n", lRound, LabelWidth(st.rows), label.c_str(), value.c_str(), r.dMs);
    }
  }
  if (!st.bLive) fflush(stdout);
  st.cv.notify_all();
}

void PollLoop(Session& s, PollState& st) {
  const Options& o = s.o;
  auto next = Clock::now();
  for (long lRound = 1; !st.bStop && (o.lRounds == 0 || lRound <= o.lRounds); ++lRound) {
    {
      std::lock_guard lock(st.mutex);
      st.lRound = lRound;
      ++st.ulVersion;
    }
    st.cv.notify_all();
    for (size_t i = 0; i < st.items.size() && !st.bStop; ++i) {
      std::vector<uint8_t> buffer;
      TxResult r = Transact(s, st.items[i].gate, false, buffer);
      Record(s, st, st.items[i], r, buffer, lRound);
    }
    if (o.lRounds != 0 && lRound >= o.lRounds) break;
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

void PrintPollSummary(PollState& st, bool bInterrupted) {
  std::lock_guard lock(st.mutex);
  long lGood = 0, lFailed = 0;
  std::map<std::string, long> failures;
  for (const PollRow& r : st.rows) {
    lGood += r.lGood;
    lFailed += r.lFailed;
    for (const auto& [why, n] : r.failures) failures[why] += n;
  }
  // On a terminal: clears what it echoed (^C) and starts at the left margin.
  printf("%s\nsummary after %ld round%s%s:\n", st.bLive ? "\r\x1b[K" : "", st.lRound, st.lRound == 1 ? "" : "s",
         bInterrupted ? " (interrupted)" : "");
  for (const std::string& l : PollTable(st.rows)) printf("%s\n", l.c_str());
  printf("%ld reads, %ld good", lGood + lFailed, lGood);
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

// Adds a gate's rows, one per value.
void AddItem(Session& s, PollState& st, const Gate& gate) {
  const bool bOne = gate.iOnly >= 0;
  PollItem item{gate, st.rows.size(), bOne ? 1 : ValueCount(gate), bOne ? static_cast<size_t>(gate.iOnly) : 0};
  for (size_t k = 0; k < item.nRows; ++k) {
    st.rows.emplace_back();
    st.rows.back().label = Label(s, gate, static_cast<int>(item.nFirstValue + k));
  }
  st.items.push_back(item);
}

// "GATE" or "GATE:COUNT"; GTC gates are read as blocks only.
int ParsePollGate(Session& s, const std::string& arg, PollState& st) {
  const size_t colon = arg.find(':');
  const std::string text = arg.substr(0, colon);
  long lCount = -1;
  if (colon != std::string::npos && !cli::ParseLong(arg.substr(colon + 1), 1, 2000, lCount)) {
    return Usage("bad count in '" + arg + "': GATE:COUNT with COUNT 1..2000");
  }
  if (s.Gtc() && lCount < 0 && text.back() != ']') {
    return Usage("GTC gates are read as blocks: give a count, e.g. " + text + ":8 (memory type 0: a multiple of 8; " +
                 "1: up to 1000; 3: the area's 64, 42 or 64)");
  }
  Gate gate;
  if (ResultCode rc = TextGate(s, text, static_cast<int32_t>(lCount), gate); rc != 0) return rc;
  AddItem(s, st, gate);
  return 0;
}

int PollGates(Session& s, PollState& st) {
  if (!s.o.bMbpoll) {
    for (const std::string& arg : s.o.args) {
      if (int rc = ParsePollGate(s, arg, st); rc != 0) return rc;
    }
    return 0;
  }
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, "", s.o.lCount > 1 ? static_cast<int32_t>(s.o.lCount) : -1, gates); rc != 0) return rc;
  for (const Gate& gate : gates) AddItem(s, st, gate);
  return 0;
}

int OpenCsv(const Options& o, PollState& st) {
  if (o.csvPath.empty()) return 0;
  st.pCsv = fopen(o.csvPath.c_str(), "a");
  if (st.pCsv == nullptr) {
    fprintf(stderr, "sarnhost: cannot write the CSV file %s: %s\n", o.csvPath.c_str(), strerror(errno));
    return kExitCantCreate;
  }
  if (ftell(st.pCsv) == 0) fprintf(st.pCsv, "time,gate,value,result,ms\n");
  fflush(st.pCsv);
  return 0;
}

// Redraws until the polling ends or Ctrl-C; whether it was interrupted.
bool Watch(const Options& o, PollState& st, int& iDrawn) {
  unsigned long ulDrawn = 0;
  while (true) {
    std::unique_lock lock(st.mutex);
    st.cv.wait_for(lock, std::chrono::milliseconds(50));
    const bool bFinished = st.bFinished;
    const bool bChanged = st.ulVersion != ulDrawn;
    ulDrawn = st.ulVersion;
    lock.unlock();
    if (g_bInterrupted || bFinished) break;
    if (st.bLive && bChanged) DrawLive(o, st, iDrawn);
  }
  return g_bInterrupted != 0;
}

}  // namespace

int CmdPoll(Session& s) {
  const Options& o = s.o;
  PollState st;
  if (int rc = PollGates(s, st); rc != 0) return rc;
  if (int rc = OpenCsv(o, st); rc != 0) return rc;
  // In place on a terminal; round by round when the output is kept or the
  // driver's log would run through the table.
  st.bLive = isatty(STDOUT_FILENO) && o.iVerbose == 0;
  CatchInterrupts();
  int iDrawn = 0;
  st.lRound = 1;                          // the first round starts at once: the table never says "round 0"
  if (st.bLive) DrawLive(o, st, iDrawn);  // at once: every row "waiting"

  // The transactions run on their own thread, so that Ctrl-C is answered at
  // once even while one of them waits out its time-outs. Signals go to this
  // thread.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread poller([&] { PollLoop(s, st); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  const bool bInterrupted = Watch(o, st, iDrawn);
  st.bStop = true;
  st.cv.notify_all();
  bool bDone = false;
  {
    // A transaction under way may end within a moment; otherwise it is left
    // behind: the summary comes now and the process ends with it.
    std::unique_lock lock(st.mutex);
    bDone = st.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return st.bFinished; });
  }
  if (st.bLive && !bInterrupted) DrawLive(o, st, iDrawn);
  PrintPollSummary(st, bInterrupted);
  int iWorst = 0;
  {
    std::lock_guard lock(st.mutex);
    iWorst = st.iWorst;
  }
  if (!bDone) {
    if (st.pCsv != nullptr) fflush(st.pCsv);
    fflush(stderr);
    _exit(iWorst);
  }
  poller.join();
  if (st.pCsv != nullptr) fclose(st.pCsv);
  return iWorst;
}

}  // namespace sarnhost
