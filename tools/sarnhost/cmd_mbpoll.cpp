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
  const Options& o = s.o;
  if (o.bCountGiven && static_cast<size_t>(o.lCount) != o.args.size()) {
    return Usage("-c " + std::to_string(o.lCount) + " but " + std::to_string(o.args.size()) + " values given");
  }
  const int32_t iCount = o.args.size() > 1 ? static_cast<int32_t>(o.args.size()) : -1;
  std::vector<Gate> gates;
  if (int rc = NamedGates(s, "", iCount, gates); rc != 0) return rc;
  int iWorst = 0;
  for (const Gate& gate : gates) {
    std::vector<uint8_t> buffer;
    if (int rc = WriteValues(s, gate, o.args, buffer); rc != 0) return rc;
    TxResult r = Transact(s, gate, true, buffer);
    if (r.rc != 0) {
      fprintf(stderr, "sarnhost: writing '%s' failed: %s\n", gate.text.c_str(), r.outcome.longText.c_str());
      iWorst = std::max(iWorst, static_cast<int>(r.rc));
    } else {
      printf("Written %zu references.\n", o.args.size());
    }
  }
  return iWorst;
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
    std::vector<uint8_t> buffer;
    TxResult r = Transact(s, gates[g], false, buffer);
    ++counts.lSent;
    ++(r.rc == 0 ? counts.lAnswered : counts.lFailed);
    if (r.rc != 0) {
      fflush(stdout);
      fprintf(stderr, "sarnhost: reading '%s' failed: %s\n", gates[g].text.c_str(), r.outcome.longText.c_str());
      iWorst = std::max(iWorst, static_cast<int>(r.rc));
      continue;
    }
    const std::vector<Value> values = ReadValues(s, gates[g], buffer);
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
