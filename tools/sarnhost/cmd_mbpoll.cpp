// mbpoll's form: "sarnhost DEVICE [options] [VALUE...]" without a command
// word. Values after the device are written; otherwise the named values are
// read round after round (-1: once), shown as mbpoll shows them:
//
//   -- Polling slave 1...
//   [1]: 	11
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

void PrintStatistics(const Options& o, const PollCounts& c) {
  const double dLoss =
      c.lSent > 0 ? 100.0 * static_cast<double>(c.lSent - c.lAnswered) / static_cast<double>(c.lSent) : 0;
  printf("--- %s poll statistics ---\n%ld frames transmitted, %ld received, %ld errors, %.1f%% frame loss\n",
         o.port.c_str(), c.lSent, c.lAnswered, c.lFailed, dLoss);
  fflush(stdout);
}

// One round: every controller's values, or the reason they failed.
int PollRound(Session& s, const std::vector<Gate>& gates, const MbpollType& type, PollCounts& counts) {
  const Options& o = s.o;
  const long lStep = type.b32 ? 2 : 1;
  int iWorst = 0;
  for (size_t g = 0; g < gates.size() && !g_bInterrupted; ++g) {
    if (!o.bQuiet) printf("-- Polling slave %ld...%s\n", o.slaves[g], o.lRounds == 1 ? "" : " Ctrl-C to stop)");
    std::vector<Value> values;
    const int rc = ReadGate(s, gates[g], values);
    ++counts.lSent;
    ++(rc == 0 ? counts.lAnswered : counts.lFailed);
    if (rc != 0) {
      iWorst = std::max(iWorst, rc);
      continue;
    }
    for (size_t k = 0; k < values.size(); ++k) {
      printf("[%ld]: \t%s\n", o.lRef + static_cast<long>(k) * lStep, MbpollValue(values[k], type).c_str());
    }
  }
  fflush(stdout);
  return iWorst;
}

}  // namespace

int CmdMbpoll(Session& s) {
  const Options& o = s.o;
  if (!o.args.empty()) return WriteOnce(s);
  MbpollType type;
  ParseMbpollType(o.mbType, type);
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, "", BlockCount(o), gates); rc != 0) return rc;
  CatchInterrupts();
  int iWorst = 0;
  PollCounts counts;
  auto next = std::chrono::steady_clock::now();
  for (long lRound = 1; !g_bInterrupted && (o.lRounds == 0 || lRound <= o.lRounds); ++lRound) {
    iWorst = std::max(iWorst, PollRound(s, gates, type, counts));
    if (o.lRounds != 0 && lRound >= o.lRounds) break;
    next += std::chrono::milliseconds(o.lInterval);
    while (!g_bInterrupted && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long>(o.lInterval, 20)));
    }
  }
  // Ended by Ctrl-C (or SIGTERM) rather than by its count: mbpoll's summary.
  if (g_bInterrupted && o.lRounds != 1) PrintStatistics(o, counts);
  return iWorst;
}

}  // namespace sarnhost
