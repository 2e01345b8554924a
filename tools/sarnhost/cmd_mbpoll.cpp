// mbpoll's form: "sarnhost DEVICE [options] [VALUE...]" without a command
// word. Values after the device are written; otherwise the named values are
// read round after round (-1: once), shown as mbpoll shows them:
//
//   -- Polling slave 1...
//   [1]: 	11
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "commands.h"

namespace sarnhost {

namespace {

// The values' block length: -c, or a single gate for one value.
int32_t BlockCount(const Options& o) {
  return o.lCount > 1 ? static_cast<int32_t>(o.lCount) : -1;
}

int WriteOnce(Session& s) {
  const size_t nValues = s.o.args.size();
  return WriteGates(s, "", s.o.args, [nValues](const Gate&, const std::vector<Value>&) {
    printf("Written %zu references.\n", nValues);
  });
}

// What mbpoll counts while it polls, and shows when Ctrl-C ends it.
struct PollCounts {
  long lSent = 0, lAnswered = 0, lFailed = 0;
};

// What the polling thread and the waiting one share: the counts and the
// output are changed under the mutex, so that the statistics after Ctrl-C
// never run through a round's lines.
struct PollShared {
  std::mutex mutex;
  std::condition_variable cv;
  PollCounts counts;
  int iWorst = 0;  // the worst result of the reads that ended
  bool bFinished = false;
  std::atomic<bool> bStop{false};
};

void PrintStatistics(const Options& o, const PollCounts& c) {
  const double dLoss =
      c.lSent > 0 ? 100.0 * static_cast<double>(c.lSent - c.lAnswered) / static_cast<double>(c.lSent) : 0;
  printf("--- %s poll statistics ---\n%ld frames transmitted, %ld received, %ld errors, %.1f%% frame loss\n",
         o.port.c_str(), c.lSent, c.lAnswered, c.lFailed, dLoss);
  fflush(stdout);
}

// One round: every controller's values, or the reason they failed. A read
// counts once it has ended; one that Ctrl-C leaves behind does not.
void PollRound(Session& s, const std::vector<Gate>& gates, const MbpollType& type, PollShared& sh) {
  const Options& o = s.o;
  const long lStep = type.b32 ? 2 : 1;
  for (size_t g = 0; g < gates.size() && !sh.bStop; ++g) {
    if (!o.bQuiet) {
      std::lock_guard lock(sh.mutex);
      printf("-- Polling slave %ld...%s\n", o.slaves[g], o.lRounds == 1 ? "" : " Ctrl-C to stop)");
      fflush(stdout);
    }
    std::vector<Value> values;
    const int rc = ReadGate(s, gates[g], values);
    std::lock_guard lock(sh.mutex);
    ++sh.counts.lSent;
    ++(rc == 0 ? sh.counts.lAnswered : sh.counts.lFailed);
    sh.iWorst = std::max(sh.iWorst, rc);
    for (size_t k = 0; k < values.size(); ++k) {
      printf("[%ld]: \t%s\n", o.lRef + static_cast<long>(k) * lStep, MbpollValue(values[k], type).c_str());
    }
    fflush(stdout);
  }
}

void PollRounds(Session& s, const std::vector<Gate>& gates, PollShared& sh) {
  const Options& o = s.o;
  MbpollType type;
  ParseMbpollType(o.mbType, type);
  auto next = std::chrono::steady_clock::now();
  for (long lRound = 1; !sh.bStop && (o.lRounds == 0 || lRound <= o.lRounds); ++lRound) {
    PollRound(s, gates, type, sh);
    if (o.lRounds != 0 && lRound >= o.lRounds) break;
    next += std::chrono::milliseconds(o.lInterval);
    std::unique_lock lock(sh.mutex);
    sh.cv.wait_until(lock, next, [&] { return sh.bStop.load(); });
  }
  std::lock_guard lock(sh.mutex);
  sh.bFinished = true;
  sh.cv.notify_all();
}

}  // namespace

int CmdMbpoll(Session& s) {
  const Options& o = s.o;
  if (!o.args.empty()) return WriteOnce(s);
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, "", BlockCount(o), gates); rc != 0) return rc;
  CatchInterrupts();
  PollShared sh;
  // The reads run on a thread of their own, so that Ctrl-C is answered
  // within the attempt under way, as poll answers it. Signals go to this thread.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread poller([&] { PollRounds(s, gates, sh); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  std::unique_lock lock(sh.mutex);
  while (!sh.bFinished && !g_bInterrupted) sh.cv.wait_for(lock, std::chrono::milliseconds(20));
  sh.bStop = true;
  sh.cv.notify_all();
  // A read under way may end within a moment; otherwise it is left behind.
  const bool bDone = sh.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return sh.bFinished; });
  // Ended by Ctrl-C (or SIGTERM) rather than by its count: mbpoll's summary.
  if (g_bInterrupted && o.lRounds != 1) PrintStatistics(o, sh.counts);
  const int iWorst = sh.iWorst;
  lock.unlock();
  if (!bDone) {
    fflush(stderr);
    _exit(iWorst);
  }
  poller.join();
  return iWorst;
}

}  // namespace sarnhost
