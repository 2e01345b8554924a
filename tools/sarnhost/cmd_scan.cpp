// scan: which controllers answer on the line, at which line settings.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "address/gtc_memory.h"
#include "commands.h"

namespace sarnhost {

namespace {

using Clock = std::chrono::steady_clock;

// A probe the controller does not answer: the driver sends kProbeAttempts
// requests, each waiting the reply time-out after it has left; then, before
// the next request (or the port's close), it waits for the line to be quiet,
// up to kSettleTimeouts reply time-outs after the last attempt.
constexpr int kProbeAttempts = 3;
constexpr int kSettleTimeouts = 3;
// A probe's request, ":AA0300000001LL" with CR LF, in characters.
constexpr int kProbeRequestChars = 17;
// What this host adds to each probe (the call, the log, the progress line).
constexpr double kHostSecondsPerProbe = 0.01;

// The longest one silent probe takes at a line setting, with a reply
// time-out of iTimeout (10 ms units).
double SilentProbeSeconds(int32_t iTimeout, const LineSettings& line) {
  const double dTimeout = iTimeout / 100.0;
  const double dStopBits = line.wStopBits == 0 ? 1 : line.wStopBits == 1 ? 1.5 : 2;
  const double dCharBits = 1 + line.wDataBits + (line.wParity != 0 ? 1 : 0) + dStopBits;
  const double dRequest = kProbeRequestChars * dCharBits / (line.wBaud > 0 ? line.wBaud : 1);
  return kProbeAttempts * (dRequest + dTimeout) + kSettleTimeouts * dTimeout + kHostSecondsPerProbe;
}

struct ScanHit {
  long lAddress;
  LineSettings line;
  std::string answer;
  bool bGarbled;
};

struct ScanState {
  std::vector<LineSettings> settings;
  Gate probe;
  const char* pszRest = "40001";
  bool bProgress = false;
  std::vector<ScanHit> hits;
  size_t nAnswered = 0;
  long nProbed = 0;
};

// Name of the probe gate for a controller address, for the driver's log.
std::string ProbeName(Session& s, long lAddress, const char* pszRest) {
  char sz[32];
  if (s.HexBase()) {
    snprintf(sz, sizeof sz, "%02lX%s", lAddress, pszRest);
  } else if (lAddress <= 99) {
    snprintf(sz, sizeof sz, "%02ld%s", lAddress, pszRest);
  } else {
    snprintf(sz, sizeof sz, "controller %ld", lAddress);
  }
  return sz;
}

std::vector<LineSettings> Settings(Session& s) {
  std::vector<LineSettings> settings;
  const std::vector<long> bauds = s.o.bauds.empty() ? std::vector<long>{s.line.wBaud} : s.o.bauds;
  const std::vector<long> parities = s.o.parities.empty() ? std::vector<long>{s.line.wParity} : s.o.parities;
  for (long lBaud : bauds) {
    for (long lParity : parities) {
      LineSettings line = s.line;
      line.wBaud = static_cast<uint16_t>(lBaud);
      line.wParity = static_cast<uint16_t>(lParity);
      settings.push_back(line);
    }
  }
  return settings;
}

// Probes one controller address; any answer, an exception too, shows that a
// controller is there.
void Probe(Session& s, ScanState& st, const LineSettings& line, long lAddress) {
  if (st.bProgress) {
    fprintf(stderr, "\r\x1b[Kscanning %s: controller %ld (%ld..%ld), %zu answered", LineName(line).c_str(), lAddress,
            s.o.lFrom, s.o.lTo, st.nAnswered);
  }
  Gate gate = st.probe;
  gate.text = ProbeName(s, lAddress, st.pszRest);
  gate.spec.iPlcAddr = static_cast<int32_t>(lAddress);
  std::vector<uint8_t> buffer;
  TxResult r = Transact(s, gate, false, buffer);
  ++st.nProbed;
  if (r.rc == 0) {
    st.hits.push_back({lAddress, line, "answered", false});
    ++st.nAnswered;
  } else if (r.outcome.bAnswered) {
    st.hits.push_back({lAddress, line, "answered " + r.outcome.shortText, false});
    ++st.nAnswered;
  } else if (r.outcome.bGarbled) {
    st.hits.push_back({lAddress, line, "garbled reply: " + r.outcome.shortText, true});
  }
}

void PrintScanTable(Session& s, const ScanState& st, double dSeconds) {
  const Options& o = s.o;
  printf("scan of %s: controllers %ld to %ld at", o.port.c_str(), o.lFrom, o.lTo);
  for (size_t i = 0; i < st.settings.size(); ++i) {
    printf("%s %s", i == 0 ? "" : ",", LineName(st.settings[i]).c_str());
  }
  printf(", %ld probes in %.1f s%s\n", st.nProbed, dSeconds, g_bInterrupted ? " (interrupted)" : "");
  if (st.hits.empty()) {
    printf("no controller answered\n");
    return;
  }
  printf("%-10s  %-14s  %s\n", "controller", "line", "answer");
  for (const ScanHit& h : st.hits)
    printf("%-10ld  %-14s  %s\n", h.lAddress, LineName(h.line).c_str(), h.answer.c_str());
  if (st.hits.size() > st.nAnswered) {
    printf("(garbled replies come from a controller at another line setting, or from noise)\n");
  }
}

}  // namespace

// The most a whole scan takes when no controller answers: every address at
// every setting, and a settle for each change of setting.
double ScanBoundSeconds(Session& s, const std::vector<LineSettings>& settings) {
  double dSeconds = 0;
  for (const LineSettings& line : settings) {
    dSeconds += static_cast<double>(s.o.lTo - s.o.lFrom + 1) * SilentProbeSeconds(s.iTimeout, line);
    dSeconds += kSettleTimeouts * s.iTimeout / 100.0;
  }
  return dSeconds;
}

// Probes every address at one setting, while the bound allows one more
// silent probe; false when it stopped at the bound.
bool ProbeAll(Session& s, ScanState& st, const LineSettings& line, double dBound, Clock::time_point t0) {
  const double dProbe = SilentProbeSeconds(s.iTimeout, line);
  for (long lAddress = s.o.lFrom; lAddress <= s.o.lTo && !g_bInterrupted; ++lAddress) {
    if (std::chrono::duration<double>(Clock::now() - t0).count() + dProbe > dBound) return false;
    Probe(s, st, line, lAddress);
  }
  return true;
}

int CmdScan(Session& s) {
  const Options& o = s.o;
  ScanState st;
  st.settings = Settings(s);
  // The probe: holding register 1 (GTC: register area 1, read as a block).
  const bool bGtc = s.Gtc();
  if (ResultCode rc =
          bGtc ? ParseGate(s, "0130001", sarn::kGtcAreaLength[0], st.probe) : ParseGate(s, "0140001", -1, st.probe);
      rc != 0) {
    return rc;
  }
  st.pszRest = bGtc ? "30001" : "40001";
  CatchInterrupts();
  st.bProgress = isatty(STDERR_FILENO) && o.iVerbose == 0;
  // The bound, whole seconds up, is said before the first probe, wherever the output goes, and kept.
  const double dBound = std::ceil(ScanBoundSeconds(s, st.settings));
  fprintf(stderr, "sarnhost: scanning controllers %ld to %ld on %s at %zu line setting%s, at most %.0f s\n", o.lFrom,
          o.lTo, o.port.c_str(), st.settings.size(), st.settings.size() == 1 ? "" : "s", dBound);
  fflush(stderr);
  const auto t0 = Clock::now();
  bool bWithinBound = true;
  for (size_t i = 0; i < st.settings.size() && !g_bInterrupted && bWithinBound; ++i) {
    const LineSettings& line = st.settings[i];
    if ((i > 0 || memcmp(&line, &s.line, sizeof line) != 0) && Reopen(s, line) != 0) {
      fprintf(stderr, "sarnhost: the driver could not open %s at %s\n", o.port.c_str(), LineName(line).c_str());
      continue;
    }
    bWithinBound = ProbeAll(s, st, line, dBound, t0);
  }
  if (st.bProgress) fprintf(stderr, "\r\x1b[K");
  if (!bWithinBound) {
    fprintf(stderr,
            "sarnhost: scan stopped at its bound of %.0f s: replies that had to be retried took longer than "
            "silence; scan fewer addresses at a time\n",
            dBound);
  }
  PrintScanTable(s, st, std::chrono::duration<double>(Clock::now() - t0).count());
  return st.nAnswered > 0 ? 0 : SARN_LINE_FAIL;
}

}  // namespace sarnhost
