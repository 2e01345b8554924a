// Soak test: many transactions through SarnMain against the controller
// simulator on a pseudo-terminal, with about one reply in a hundred faulted
// at random.
//
// Checked throughout: no wrong value ever reaches a host buffer (reads are
// compared with the simulator's tables, which only this test writes; a
// failed read leaves the buffer as it was), a write reported as done has
// taken effect, every result is 0, 1 or 2. A check that fails is counted and
// the run goes on, so the report says how many; the run fails unless none. Checked at the end: no file
// descriptor leaked across the run and its CloseCom/ReOpenCom cycles, and
// the heap did not grow.
//
// With SOAK_CHAOS=1 the faults come from a misbehaving line between the
// driver and the simulator instead (support/chaos_line.h): a two-wire adapter
// that echoes every request (ECHO = YES), now and then garbling or losing the
// echo; replies delivered up to 1.9 reply time-outs late, lost or garbled;
// and a slow controller: spells of one to six replies, starting with about
// one new request in a hundred, each 1.1 to 2.5 reply time-outs late, in
// half of the spells working on one request at a time (a retry sent
// meanwhile is answered a whole delay after the first answer). Nothing waits
// for late replies to land: the driver must never take one for the answer to
// a later request.
//
// With SOAK_LINE_TIME=BAUD the simulator keeps the time of a line at that
// speed, both ways, and sends frames that answer nothing: one answer in a
// hundred twice, one in a hundred beyond every recovery. The driver learns
// that the line keeps time and discards what comes sooner than an answer
// could; what it cannot tell apart costs at most the one read it lands in,
// so the run fails when the wrong values outnumber those frames.
//
// Environment: SOAK_TRANSACTIONS (default 100000), SOAK_SEED (default: the
// time), SOAK_TIMEOUT (reply time-out in 10 ms units, default 2), SOAK_CHAOS,
// SOAK_LINE_TIME.
#include <dirent.h>
#include <malloc.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plcsim.h"
#include "sarnmd.h"
#include "support/chaos_line.h"
#include "support/port_link.h"

namespace {

// ---------------------------------------------------------------- the log
// The host's err(): keeps the last lines for a report, allocates nothing.
constexpr int kKeptLines = 48;
char g_szLines[kKeptLines][256];
long g_nLines = 0;

void DumpLog() {
  const long nFirst = g_nLines > kKeptLines ? g_nLines - kKeptLines : 0;
  for (long i = nFirst; i < g_nLines; ++i) fprintf(stderr, "    log: %s\n", g_szLines[i % kKeptLines]);
}

}  // namespace

extern "C" int err(int, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(g_szLines[g_nLines % kKeptLines], sizeof g_szLines[0], pszFormat, args);
  va_end(args);
  ++g_nLines;
  return 0;
}

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

long EnvNumber(const char* pszName, long lDefault) {
  const char* pszValue = getenv(pszName);
  return pszValue != nullptr && *pszValue != '\0' ? strtol(pszValue, nullptr, 10) : lDefault;
}

int OpenFdCount() {
  int n = 0;
  if (DIR* pDir = opendir("/proc/self/fd")) {
    while (readdir(pDir) != nullptr) ++n;
    closedir(pDir);
  }
  return n - 3;  // ".", ".." and the directory's own descriptor
}

size_t HeapInUse() {
  return mallinfo2().uordblks;
}

enum Op {
  kReadRegister,
  kReadInputRegister,
  kReadCoil,
  kReadInput,
  kReadRegisterBit,
  kReadLong,
  kReadFloat,
  kReadRegisterBlock,
  kReadCoilBlock,
  kReadLongBlock,
  kWriteRegister,
  kWriteCoil,
  kWriteRegisterBit,
  kWriteLong,
  kWriteRegisterBlock,
  kWriteCoilBlock,
  kWriteLongBlock,
  kOpCount
};

const char* const kOpNames[kOpCount] = {
    "read register",    "read input register", "read coil",           "read input",      "read register bit",
    "read long",        "read float",          "read register block", "read coil block", "read long block",
    "write register",   "write coil",          "write register bit",  "write long",      "write register block",
    "write coil block", "write long block"};

bool IsWrite(Op op) {
  return op >= kWriteRegister;
}

class Soak {
 public:
  Soak(uint32_t seed, int32_t iTimeout, bool bChaos, uint32_t uLineBaud)
      : sim_(SimulatorOptions(seed, iTimeout, uLineBaud)),
        rng_(seed),
        iTimeout_(iTimeout),
        bChaos_(bChaos),
        uLineBaud_(uLineBaud) {}

  // On a line that keeps time (uLineBaud, 8N1), the controller also sends
  // frames that answer nothing: one answer in a hundred twice (right behind
  // it, or up to two time-outs later), one in a hundred five to six
  // time-outs late, beyond every recovery.
  static plcsim::Options SimulatorOptions(uint32_t seed, int32_t iTimeout, uint32_t uLineBaud) {
    plcsim::Options options;
    if (uLineBaud == 0) return options;
    const uint32_t uTimeoutMs = static_cast<uint32_t>(iTimeout) * 10;
    options.lineTimeBaud = uLineBaud;
    options.bitsPerChar = 10;
    options.duplicatePercent = 1;
    options.duplicateDelayMaxMs = 2 * uTimeoutMs;
    options.lateSomePercent = 1;
    options.lateSomeMinMs = 5 * uTimeoutMs;
    options.lateSomeMaxMs = 6 * uTimeoutMs;
    options.seed = seed;
    return options;
  }

  // Frames the controller sent that answer nothing: each may cost the one
  // read it lands in, where the line's time cannot tell it apart.
  long Strays() const { return static_cast<long>(sim_.DuplicatesSent() + sim_.LateSomeSent()); }

  bool Start() {
    sim_.FillPattern();
    // Port names hold 11 characters: the driver opens the pty through a link.
    std::string pty = sim_.OpenPty();
    if (bChaos_ && !pty.empty()) pty = StartChaos(pty);
    if (pty.empty() || !link_.PointAt(pty)) {
      fprintf(stderr, "soak: no pseudo-terminal (%s)\n", pty.c_str());
      return false;
    }
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", link_.Name().c_str());
    params.bEnable = 1;
    params.iTimeout = iTimeout_;
    params.line = {static_cast<uint16_t>(uLineBaud_ != 0 ? uLineBaud_ : 9600), 8, 0, 0};
    if (Call(SARN_OP_COLD_START, &params) != 0) {
      fprintf(stderr, "soak: cold start failed\n");
      DumpLog();
      return false;
    }
    // Settings an initialization file would give: 32-bit integers swapped.
    ctx_.cProtocol = 0;
    ctx_.cBase = 'D';
    ctx_.wFlags = SARN_FLAG_SWAP;
    if (bChaos_) ctx_.wFlags |= SARN_FLAG_ECHO;
    return true;
  }

  // The misbehaving line in front of the simulator; the driver's side of it.
  std::string StartChaos(const std::string& simPty) {
    chaos_ = std::make_unique<testsupport::ChaosLine>(simPty, static_cast<uint32_t>(rng_()));
    testsupport::ChaosOptions options;
    options.bEcho = true;
    options.iEchoFaultPct = 1;
    options.iDelayPct = 3;
    options.uMaxDelayMs = static_cast<uint32_t>(iTimeout_) * 10 * 19 / 10;
    options.iDropPct = 1;
    options.iGarblePct = 1;
    options.iSlowPct = 1;
    options.iSlowSpell = 6;
    options.uSlowMinMs = static_cast<uint32_t>(iTimeout_) * 10 * 11 / 10;
    options.uSlowMaxMs = static_cast<uint32_t>(iTimeout_) * 10 * 25 / 10;
    options.iSlowBusyPct = 50;
    chaos_->SetOptions(options);
    return chaos_->DriverPath();
  }

  // Closes and reopens the port both ways: ReOpenCom keeps the port layer's
  // default read time-out, so ChangeSarnParams then applies the reply
  // time-out again.
  bool CyclePort() {
    bool bOk = Call(SARN_OP_CLOSE_COM, nullptr) == 0 && ctx_.hCom == 0;
    bOk = bOk && Call(SARN_OP_REOPEN_COM, nullptr) == 0 && ctx_.hCom != 0;
    bOk = bOk && Call(SARN_OP_CLOSE_COM, nullptr) == 0;
    DriverParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", link_.Name().c_str());
    params.iTimeout = iTimeout_;
    bOk = bOk && Call(SARN_OP_CHANGE_SARN_PARAMS, &params) == 0 && ctx_.hCom != 0;
    ++nPortCycles_;
    if (!bOk) {
      fprintf(stderr, "soak: port cycle %ld failed\n", nPortCycles_);
      DumpLog();
    }
    return bOk;
  }

  void Stop() { Call(SARN_OP_CLOSE_COM, nullptr); }
  long Wrong() const { return nWrong_; }

  // One transaction of a randomly chosen kind, sometimes with faults queued
  // for its replies. False when a check failed.
  bool Transaction(long n) {
    const Op op = static_cast<Op>(Uniform(0, kOpCount - 1));
    sim_.ClearRequests();

    // About one reply in a hundred is faulted: one transaction in a hundred
    // gets a burst of one to three faults, which its retries then meet.
    int nQueued = 0;
    uint32_t uLateMs = 0;
    if (!bChaos_ && Uniform(0, 99) == 0) {
      const int nBurst = Uniform(0, 9) < 8 ? 1 : Uniform(2, 3);
      for (int i = 0; i < nBurst; ++i) {
        const Fault f = RandomFault();
        if (f.kind == FaultKind::Delay) uLateMs += static_cast<uint32_t>(f.arg);
        sim_.QueueFault(f);
        ++nQueued;
      }
    }

    const bool bOk = Run(op, n);
    const int nRequests = static_cast<int>(sim_.RequestCount());
    nRequests_ += nRequests;
    nFaults_ += nQueued < nRequests ? nQueued : nRequests;
    if (nQueued > 0) {
      ++nFaultedTransactions_;
      // A reply that comes after the driver gave up on it cannot be told
      // from the reply to the next request of the same function and length
      // (Modbus ASCII carries no transaction number); the driver's flush
      // before each request discards it once it has arrived. Let late
      // replies land before the next transaction.
      if (uLateMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(uLateMs + 10));
      sim_.ClearFaults();
    }
    const int nMinimal = op == kWriteRegisterBit ? 2 : 1;
    if (rcLast_ == 0 && nRequests > nMinimal) {
      ++nRecovered_;
      if (nQueued == 0) ++nUnfaultedRetries_;
    }
    if (rcLast_ != 0 && nQueued == 0) ++nUnfaultedFailures_;
    ++nResults_[rcLast_ >= 0 && rcLast_ <= 2 ? rcLast_ : 3];
    ++nByOp_[op];
    return bOk;
  }

  void Report(long nTransactions, double seconds) const {
    printf("soak: %ld transactions in %.1f s (%.0f per second), %ld requests on the line\n", nTransactions, seconds,
           nTransactions / (seconds > 0 ? seconds : 1), nRequests_);
    printf("soak: faults injected %ld (%.2f%% of replies) in %ld transactions\n", nFaults_,
           nRequests_ > 0 ? 100.0 * nFaults_ / nRequests_ : 0.0, nFaultedTransactions_);
    printf("soak: results: 0 done %ld, 1 refused %ld, 2 line failure %ld, other %ld\n", nResults_[0], nResults_[1],
           nResults_[2], nResults_[3]);
    printf(
        "soak: retries recovered %ld (of them without an injected fault %ld); failures without an injected "
        "fault %ld\n",
        nRecovered_, nUnfaultedRetries_, nUnfaultedFailures_);
    printf("soak: port cycles (CloseCom/ReOpenCom/ChangeSarnParams) %ld\n", nPortCycles_);
    printf("soak: wrong values or results %ld\n", nWrong_);
    for (int op = 0; op < kOpCount; ++op) printf("soak:   %-22s %ld\n", kOpNames[op], nByOp_[op]);
    if (chaos_) {
      const testsupport::ChaosCounts c = chaos_->Counts();
      printf(
          "soak: chaos line: %ld requests (echo lost or garbled %ld), %ld replies: %ld late (up to %u ms), %ld "
          "lost, %ld garbled\n",
          c.nRequests, c.nEchoFaults, c.nReplies, c.nDelayed, static_cast<unsigned>(iTimeout_) * 10 * 19 / 10,
          c.nDropped, c.nGarbled);
      printf("soak: slow controller: %ld replies %u-%u ms late, %ld of them one request at a time\n", c.nSlow,
             static_cast<unsigned>(iTimeout_) * 10 * 11 / 10, static_cast<unsigned>(iTimeout_) * 10 * 25 / 10,
             c.nSlowBusy);
    }
  }

 private:
  ResultCode Call(int32_t iOpCode, void* pParam) {
    DriverRequest request{&ctx_, iOpCode, 0, 0, pParam};
    return SarnMain(&request);
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  Fault RandomFault() {
    switch (Uniform(0, 8)) {
      case 0:
        return {FaultKind::NoReply, 0};
      case 1:
        return {FaultKind::BadLrc, 0};
      case 2:
        return {FaultKind::Garbage, Uniform(1, 4)};
      case 3:
        return {FaultKind::Truncate, Uniform(1, 15)};
      case 4:
        return {FaultKind::OtherAddress, Uniform(2, 247)};
      case 5: {
        static constexpr int kCodes[] = {1, 2, 3, 4, 5, 6, 7, 8, 11};
        return {FaultKind::Exception, kCodes[Uniform(0, 8)]};
      }
      case 6:
        return {FaultKind::NoCrLf, 0};
      case 7:
        return {FaultKind::OtherFunction, Uniform(0, 1) == 0 ? 0x11 : 0x2B};
      default:
        // Within the reply time-out, or beyond it so that a retry meets it.
        return {FaultKind::Delay, Uniform(0, 1) == 0 ? Uniform(1, 5) : 10 * iTimeout_ + Uniform(5, 15)};
    }
  }

  // Parses the gate through the address operation a host would call.
  bool Parse(const char* pszText, int32_t iDataType, int32_t iCount, bool bBlock, GateTransfer* pTransfer) {
    GateSpec spec{};
    spec.pszAddress = pszText;
    spec.iDataType = iDataType;
    spec.iCount = iCount;
    if (Call(bBlock ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, &spec) != 0) {
      fprintf(stderr, "soak: gate %s (type %d, count %d) refused\n", pszText, iDataType, iCount);
      DumpLog();
      return false;
    }
    *pTransfer = GateTransfer{pszText,     0,          spec.iPlcAddr, spec.iMemType,       spec.iAddress,
                              spec.iBitNr, spec.iBits, iDataType,     bBlock ? iCount : 1, 0,
                              nullptr};
    return true;
  }

  // Counts a failed check and reports the first few; the run goes on.
  bool Mismatch(long n, Op op, const char* pszText, const char* pszWhat) {
    if (++nWrong_ <= 5) {
      fprintf(stderr, "soak: transaction %ld (%s of %s, result %d): %s\n", n, kOpNames[op], pszText, rcLast_, pszWhat);
      DumpLog();
    }
    return true;
  }

  static uint32_t Long(uint16_t wHigh, uint16_t wLow) { return static_cast<uint32_t>(wHigh) << 16 | wLow; }
  static uint32_t Swapped(uint32_t v) { return v << 16 | v >> 16; }

  // A gate chosen for one transaction. Gate addresses count from 1; the
  // tables from 0.
  struct Gate {
    char szText[24] = "";
    int iFirst = 0;  // the first gate address
    int32_t iDataType = 0;
    int32_t iCount = 1;
    bool bBlock = false;
    uint16_t First() const { return static_cast<uint16_t>(iFirst - 1); }  // first table address
  };

  // Chooses at random a gate of the kind op transfers. False for an op no
  // gate is chosen for.
  bool ChooseGate(Op op, Gate* pGate) {
    const int kTable = 10000;
    Gate& g = *pGate;
    g.iFirst = Uniform(1, kTable - 1);
    switch (op) {
      case kReadRegister:
      case kWriteRegister:
        snprintf(g.szText, sizeof g.szText, "014%04d", g.iFirst);
        break;
      case kReadInputRegister:
        snprintf(g.szText, sizeof g.szText, "013%04d", g.iFirst);
        break;
      case kReadCoil:
      case kWriteCoil:
        snprintf(g.szText, sizeof g.szText, "010%04d", g.iFirst), g.iDataType = 6;
        break;
      case kReadInput:
        snprintf(g.szText, sizeof g.szText, "011%04d", g.iFirst), g.iDataType = 6;
        break;
      case kReadRegisterBit:
      case kWriteRegisterBit:
        snprintf(g.szText, sizeof g.szText, "014%04d%X", g.iFirst, Uniform(0, 15)), g.iDataType = 6;
        break;
      case kReadLong:
      case kWriteLong:
        g.iFirst |= 1, snprintf(g.szText, sizeof g.szText, "018%04d", g.iFirst), g.iDataType = 4;
        break;
      case kReadFloat:
        g.iFirst |= 1, snprintf(g.szText, sizeof g.szText, "017%04d", g.iFirst), g.iDataType = 3;
        break;
      case kReadRegisterBlock:
      case kWriteRegisterBlock:
        g.iCount = Uniform(1, op == kReadRegisterBlock ? 125 : 123);
        g.iFirst = Uniform(1, kTable - g.iCount);
        snprintf(g.szText, sizeof g.szText, "014%04d", g.iFirst);
        g.bBlock = true;
        break;
      case kReadCoilBlock:
      case kWriteCoilBlock:
        g.iCount = Uniform(1, op == kReadCoilBlock ? 2000 : 1968);
        g.iFirst = Uniform(1, kTable - g.iCount);
        snprintf(g.szText, sizeof g.szText, "010%04d", g.iFirst);
        g.iDataType = 6;
        g.bBlock = true;
        break;
      case kReadLongBlock:
      case kWriteLongBlock:
        g.iCount = Uniform(1, op == kReadLongBlock ? 62 : 61);
        g.iFirst = Uniform(1, kTable - 2 * g.iCount) | 1;
        snprintf(g.szText, sizeof g.szText, "018%04d", g.iFirst);
        g.iDataType = 4;
        g.bBlock = true;
        break;
      default:
        return false;
    }
    return true;
  }

  // The host's buffer, filled with noise. Writes: values that differ from
  // what the controller holds, so that a write reported as done without
  // effect is seen.
  void FillBuffer(Op op, const Gate& g, const GateTransfer& t) {
    const uint16_t a = g.First();
    const int iBit = t.iBitNr;
    const int32_t iCount = g.iCount;
    size_t nBytes = 4;
    if (g.bBlock) nBytes = t.iBits == 1 ? (iCount + 7) / 8 : t.iBits == 16 ? 2 * iCount : 4 * iCount;
    buffer_.assign(nBytes, 0);
    for (uint8_t& b : buffer_) b = static_cast<uint8_t>(rng_());

    auto half = [&](uint16_t w) { memcpy(buffer_.data() + 2, &w, 2); };
    switch (op) {
      case kWriteRegister:
        half(static_cast<uint16_t>(sim_.Holding(a) + Uniform(1, 0xFFFE)));
        break;
      case kWriteCoil:
        half(sim_.Coil(a) ? 0 : 1);
        break;
      case kWriteRegisterBit:
        half(((sim_.Holding(a) >> iBit) & 1) != 0 ? 0 : 1);
        break;
      case kWriteLong: {
        const uint32_t v =
            Swapped(Long(sim_.Holding(a), sim_.Holding(a + 1))) ^ static_cast<uint32_t>(Uniform(1, 0x7FFFFFFF));
        memcpy(buffer_.data(), &v, 4);
        break;
      }
      case kWriteCoilBlock:
        // Bits beyond the count in the last byte are not written.
        for (int k = 0; k < iCount; ++k) {
          const bool bNow = sim_.Coil(static_cast<uint16_t>(a + k));
          uint8_t& b = buffer_[k / 8];
          b = static_cast<uint8_t>(bNow ? b & ~(1 << (k % 8)) : b | (1 << (k % 8)));
        }
        break;
      default:
        break;
    }
  }

  // The second half of the host buffer's cell, where a single 16-bit or bit
  // value goes.
  uint16_t CellHalf() const {
    uint16_t w;
    memcpy(&w, buffer_.data() + 2, 2);
    return w;
  }

  // The k-th 32-bit cell of the host buffer.
  uint32_t CellWord(int k) const {
    uint32_t v;
    memcpy(&v, buffer_.data() + 4 * k, 4);
    return v;
  }

  // One transaction of op on a random gate, checked.
  bool Run(Op op, long n) {
    Gate g;
    if (!ChooseGate(op, &g)) return false;
    GateTransfer t{};
    if (!Parse(g.szText, g.iDataType, g.iCount, g.bBlock, &t)) return false;

    // The host's buffer and a copy to compare with.
    FillBuffer(op, g, t);
    const std::vector<uint8_t> before = buffer_;
    t.pData = buffer_.data();

    const int32_t iOp = g.bBlock ? (IsWrite(op) ? SARN_OP_BLOCK_WRITE : SARN_OP_BLOCK_READ)
                                 : (IsWrite(op) ? SARN_OP_SINGLE_WRITE : SARN_OP_SINGLE_READ);
    rcLast_ = Call(iOp, &t);
    if (rcLast_ < 0 || rcLast_ > 2) return Mismatch(n, op, g.szText, "result outside 0, 1, 2");
    if (ctx_.bWriting != 0) return Mismatch(n, op, g.szText, "bWriting left set");
    if (IsWrite(op) || rcLast_ != 0) {
      if (buffer_ != before) return Mismatch(n, op, g.szText, "host buffer changed");
    }
    if (rcLast_ != 0) return true;
    return IsWrite(op) ? CheckWritten(op, n, g, t.iBitNr) : CheckRead(op, n, g, t.iBitNr, before);
  }

  // A read reported as done: the host's buffer holds what the controller
  // holds; a single 16-bit or bit value leaves the cell's first half as it
  // was.
  bool CheckRead(Op op, long n, const Gate& g, int iBit, const std::vector<uint8_t>& before) {
    const uint16_t a = g.First();
    const char* szText = g.szText;
    const int32_t iCount = g.iCount;
    auto untouchedHalf = [&]() { return memcmp(buffer_.data(), before.data(), 2) == 0; };
    switch (op) {
      case kReadRegister:
        if (CellHalf() != sim_.Holding(a) || !untouchedHalf()) return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadInputRegister:
        if (CellHalf() != sim_.InputReg(a) || !untouchedHalf()) return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadCoil:
        if (CellHalf() != (sim_.Coil(a) ? 1 : 0) || !untouchedHalf()) return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadInput:
        if (CellHalf() != (sim_.Input(a) ? 1 : 0) || !untouchedHalf()) return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadRegisterBit:
        if (CellHalf() != ((sim_.Holding(a) >> iBit) & 1) || !untouchedHalf())
          return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadLong:
        if (CellWord(0) != Swapped(Long(sim_.Holding(a), sim_.Holding(a + 1))))
          return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadFloat:
        if (CellWord(0) != Long(sim_.Holding(a), sim_.Holding(a + 1))) return Mismatch(n, op, szText, "wrong value");
        break;
      case kReadRegisterBlock:
        for (int k = 0; k < iCount; ++k) {
          uint16_t w;
          memcpy(&w, buffer_.data() + 2 * k, 2);
          if (w != sim_.Holding(static_cast<uint16_t>(a + k))) return Mismatch(n, op, szText, "wrong value in block");
        }
        break;
      case kReadCoilBlock:
        for (int k = 0; k < iCount; ++k) {
          if (((buffer_[k / 8] >> (k % 8)) & 1) != (sim_.Coil(static_cast<uint16_t>(a + k)) ? 1 : 0))
            return Mismatch(n, op, szText, "wrong bit in block");
        }
        break;
      case kReadLongBlock:
        for (int k = 0; k < iCount; ++k) {
          const uint16_t r = static_cast<uint16_t>(a + 2 * k);
          if (CellWord(k) != Swapped(Long(sim_.Holding(r), sim_.Holding(r + 1))))
            return Mismatch(n, op, szText, "wrong value in block");
        }
        break;
      default:
        break;
    }
    return true;
  }

  // A write reported as done: the controller holds what the host's buffer
  // holds.
  bool CheckWritten(Op op, long n, const Gate& g, int iBit) {
    const uint16_t a = g.First();
    const char* szText = g.szText;
    const int32_t iCount = g.iCount;
    switch (op) {
      case kWriteRegister:
        if (sim_.Holding(a) != CellHalf()) return Mismatch(n, op, szText, "write reported done, not in the controller");
        break;
      case kWriteCoil:
        if (sim_.Coil(a) != (CellHalf() != 0))
          return Mismatch(n, op, szText, "write reported done, not in the controller");
        break;
      case kWriteRegisterBit:
        if (((sim_.Holding(a) >> iBit) & 1) != CellHalf())
          return Mismatch(n, op, szText, "write reported done, not in the controller");
        break;
      case kWriteLong:
        if (Swapped(Long(sim_.Holding(a), sim_.Holding(a + 1))) != CellWord(0))
          return Mismatch(n, op, szText, "write reported done, not in the controller");
        break;
      case kWriteRegisterBlock:
        for (int k = 0; k < iCount; ++k) {
          uint16_t w;
          memcpy(&w, buffer_.data() + 2 * k, 2);
          if (sim_.Holding(static_cast<uint16_t>(a + k)) != w)
            return Mismatch(n, op, szText, "block write reported done, not in the controller");
        }
        break;
      case kWriteCoilBlock:
        for (int k = 0; k < iCount; ++k) {
          if (sim_.Coil(static_cast<uint16_t>(a + k)) != (((buffer_[k / 8] >> (k % 8)) & 1) != 0))
            return Mismatch(n, op, szText, "block write reported done, not in the controller");
        }
        break;
      case kWriteLongBlock:
        for (int k = 0; k < iCount; ++k) {
          const uint16_t r = static_cast<uint16_t>(a + 2 * k);
          if (Swapped(Long(sim_.Holding(r), sim_.Holding(r + 1))) != CellWord(k))
            return Mismatch(n, op, szText, "block write reported done, not in the controller");
        }
        break;
      default:
        break;
    }
    return true;
  }

  plcsim::Simulator sim_;
  std::mt19937 rng_;
  int32_t iTimeout_;
  bool bChaos_;
  uint32_t uLineBaud_;
  std::unique_ptr<testsupport::ChaosLine> chaos_;
  DriverContext ctx_{};
  testsupport::PortLink link_;
  std::vector<uint8_t> buffer_;
  ResultCode rcLast_ = 0;
  long nRequests_ = 0, nFaults_ = 0, nFaultedTransactions_ = 0, nRecovered_ = 0, nUnfaultedRetries_ = 0;
  long nUnfaultedFailures_ = 0, nPortCycles_ = 0, nWrong_ = 0;
  long nResults_[4] = {};
  long nByOp_[kOpCount] = {};
};

}  // namespace

// No file descriptor leaked and the heap did not grow over the run.
bool ResourcesKept(int nFdBefore, int nFdAfter, size_t nHeapBefore, size_t nHeapAfter) {
  bool bOk = true;
  printf("soak: file descriptors %d before, %d after; heap in use %zu before, %zu after\n", nFdBefore, nFdAfter,
         nHeapBefore, nHeapAfter);
  if (nFdAfter != nFdBefore) {
    fprintf(stderr, "soak: file descriptors leaked\n");
    bOk = false;
  }
  // The driver allocates nothing; the test's own containers and the
  // simulator's settle during the warm-up. glibc's per-thread caches count
  // as memory in use and fill up over a run, by up to some hundred
  // kilobytes: ctest switches them off (GLIBC_TUNABLES), which leaves only
  // the allocator's bookkeeping to allow for.
  const bool bThreadCaches =
      getenv("GLIBC_TUNABLES") == nullptr || strstr(getenv("GLIBC_TUNABLES"), "glibc.malloc.tcache_count=0") == nullptr;
  const size_t nHeapSlack = bThreadCaches ? 512 * 1024 : 16 * 1024;
  if (nHeapAfter > nHeapBefore + nHeapSlack) {
    fprintf(stderr, "soak: heap grew by %zu bytes\n", nHeapAfter - nHeapBefore);
    bOk = false;
  }
  return bOk;
}

int main() {
  const long nTransactions = EnvNumber("SOAK_TRANSACTIONS", 100000);
  const uint32_t seed = static_cast<uint32_t>(EnvNumber("SOAK_SEED", static_cast<long>(time(nullptr))));
  const int32_t iTimeout = static_cast<int32_t>(EnvNumber("SOAK_TIMEOUT", 2));
  const bool bChaos = EnvNumber("SOAK_CHAOS", 0) != 0;
  const uint32_t uLineBaud = static_cast<uint32_t>(EnvNumber("SOAK_LINE_TIME", 0));
  printf("soak: %ld transactions, seed %u (SOAK_SEED=%u repeats the run), reply time-out %d0 ms%s%s\n", nTransactions,
         seed, seed, iTimeout, bChaos ? ", chaos line" : "", uLineBaud != 0 ? ", line keeping time" : "");
  fflush(stdout);

  Soak soak(seed, iTimeout, bChaos, uLineBaud);
  if (!soak.Start()) return 1;

  // Warm up before taking the counts: the first transactions fill the
  // buffers and tables that stay for the rest of the run.
  const long nWarmUp = nTransactions < 200 ? nTransactions : 200;
  const long nCycleEvery = nTransactions >= 20000 ? 2000 : nTransactions >= 1000 ? 200 : 50;
  const auto start = std::chrono::steady_clock::now();
  long n = 0;
  bool bOk = true;
  for (; n < nWarmUp && bOk; ++n) bOk = soak.Transaction(n);
  bOk = bOk && soak.CyclePort();
  const int nFdBefore = OpenFdCount();
  const size_t nHeapBefore = HeapInUse();

  for (; n < nTransactions && bOk; ++n) {
    bOk = soak.Transaction(n);
    if (bOk && n % nCycleEvery == nCycleEvery - 1) bOk = soak.CyclePort();
  }
  bOk = bOk && soak.CyclePort();
  const int nFdAfter = OpenFdCount();
  const size_t nHeapAfter = HeapInUse();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  soak.Report(n, seconds);

  bOk = ResourcesKept(nFdBefore, nFdAfter, nHeapBefore, nHeapAfter) && bOk;
  if (uLineBaud != 0) printf("soak: stray frames the controller sent %ld\n", soak.Strays());
  if (soak.Wrong() > (uLineBaud != 0 ? soak.Strays() : 0)) {
    fprintf(stderr, "soak: %ld wrong values or results\n", soak.Wrong());
    bOk = false;
  }
  soak.Stop();
  printf("soak: %s\n", bOk ? "passed" : "FAILED");
  return bOk ? 0 : 1;
}
