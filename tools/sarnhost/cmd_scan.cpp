// scan: which controllers answer on the line, at which line settings.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "address/gtc_memory.h"
#include "commands.h"

namespace sarnhost {

namespace {

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
  const double dWorst =
      static_cast<double>(st.settings.size()) * static_cast<double>(o.lTo - o.lFrom + 1) * 3 * s.iTimeout / 100.0;
  if (o.iVerbose > 0 || st.bProgress) {
    fprintf(stderr, "sarnhost: scanning controllers %ld to %ld on %s at %zu line setting%s, at most %.0f s\n", o.lFrom,
            o.lTo, o.port.c_str(), st.settings.size(), st.settings.size() == 1 ? "" : "s", dWorst);
  }
  const auto t0 = std::chrono::steady_clock::now();
  for (size_t i = 0; i < st.settings.size() && !g_bInterrupted; ++i) {
    const LineSettings& line = st.settings[i];
    if ((i > 0 || memcmp(&line, &s.line, sizeof line) != 0) && Reopen(s, line) != 0) {
      fprintf(stderr, "sarnhost: the driver could not open %s at %s\n", o.port.c_str(), LineName(line).c_str());
      continue;
    }
    for (long lAddress = o.lFrom; lAddress <= o.lTo && !g_bInterrupted; ++lAddress) Probe(s, st, line, lAddress);
  }
  if (st.bProgress) fprintf(stderr, "\r\x1b[K");
  PrintScanTable(s, st, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  return st.nAnswered > 0 ? 0 : SARN_LINE_FAIL;
}

}  // namespace sarnhost
