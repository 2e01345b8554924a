// Several serial lines driven at once, as a host with a thread per line does:
// four contexts on four threads, each against its own simulated controller
// on its own pseudo-terminal, every kind of operation mixed in. Every result
// and every value read back must be what the line alone would give. Built
// with SARN_TSAN (scripts/tsan.sh) this is the data-race check.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plcsim.h"
#include "sarnmd.h"

namespace {

// Each thread's log lines at the per-request level, kept by the thread.
thread_local std::vector<std::string> t_traces;

}  // namespace

extern "C" int err(int iLevel, const char* pszFormat, ...) {
  if (iLevel != 8) return 0;
  char szText[1024];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  t_traces.emplace_back(szText);
  return 0;
}

namespace {

constexpr int kLines = 4;
constexpr int kRounds = 30;
constexpr int kBlock = 12;

struct Line {
  plcsim::Simulator sim;
  std::string link;                   // the port name: the pty under /dev/ ("pts/N")
  std::vector<std::string> failures;  // what went wrong on this line
  std::vector<std::string> traces;    // its log lines, handed over at the end
  uint16_t lastSingle = 0;
};

class Host {
 public:
  explicit Host(Line* pLine) : line_(*pLine) {}

  ResultCode Call(int32_t iOpCode, void* pParam) {
    DriverRequest request{&ctx_, iOpCode, 0, 0, pParam};
    return SarnMain(&request);
  }

  void Expect(bool bOk, const std::string& what) {
    if (!bOk) line_.failures.push_back(what);
  }

  GateTransfer Gate(const char* pszText, int32_t iCount, void* pData) {
    GateSpec spec{};
    spec.pszAddress = pszText;
    spec.iCount = iCount;
    Expect(Call(iCount > 0 ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, &spec) == 0,
           std::string("gate ") + pszText);
    return GateTransfer{
        pszText, 0,    spec.iPlcAddr, spec.iMemType, spec.iAddress, spec.iBitNr, spec.iBits, 0, iCount > 0 ? iCount : 1,
        0,       pData};
  }

  void Run(int iLine) {
    ColdStartParams cold{};
    snprintf(cold.szPort, sizeof cold.szPort, "%s", line_.link.c_str());
    cold.bEnable = 1;
    cold.iTimeout = 100;
    cold.line = {9600, 7, 2, 2};
    Expect(Call(SARN_OP_COLD_START, &cold) == 0, "cold start");
    t_traces.clear();  // the cold start's report

    uint8_t out[4] = {};
    uint8_t in[4] = {};
    uint16_t outBlock[kBlock] = {};
    uint16_t inBlock[kBlock] = {};
    GateTransfer writeOne = Gate("0140003", 0, out);
    GateTransfer readOne = Gate("0140003", 0, in);
    GateTransfer writeBlock = Gate("0140101", kBlock, outBlock);
    GateTransfer readBlock = Gate("0140101", kBlock, inBlock);
    GateTransfer readPattern = Gate("0130011", 0, in);  // input register 11: 1011 by the simulator's pattern

    for (int round = 0; round < kRounds; ++round) {
      const std::string at = " (round " + std::to_string(round) + ")";
      const uint16_t value = static_cast<uint16_t>(iLine * 1000 + round);
      memcpy(out + 2, &value, 2);
      Expect(Call(SARN_OP_SINGLE_WRITE, &writeOne) == 0, "single write" + at);
      memset(in, 0, sizeof in);
      Expect(Call(SARN_OP_SINGLE_READ, &readOne) == 0, "single read" + at);
      uint16_t got = 0;
      memcpy(&got, in + 2, 2);
      Expect(got == value, "value read back" + at);
      line_.lastSingle = value;

      for (int k = 0; k < kBlock; ++k) outBlock[k] = static_cast<uint16_t>(value * 7 + k);
      Expect(Call(SARN_OP_BLOCK_WRITE, &writeBlock) == 0, "block write" + at);
      memset(inBlock, 0, sizeof inBlock);
      Expect(Call(SARN_OP_BLOCK_READ, &readBlock) == 0, "block read" + at);
      Expect(memcmp(inBlock, outBlock, sizeof inBlock) == 0, "block read back" + at);

      memset(in, 0, sizeof in);
      Expect(Call(SARN_OP_SINGLE_READ, &readPattern) == 0, "input register read" + at);
      memcpy(&got, in + 2, 2);
      Expect(got == 1011, "input register value" + at);

      if (round % 7 == 3) {
        Expect(Call(SARN_OP_CLOSE_COM, nullptr) == 0, "CloseCom" + at);
        Expect(Call(SARN_OP_REOPEN_COM, nullptr) == 0, "ReOpenCom" + at);
      }
      if (round % 5 == 2) {
        // New parameters for a closed port: it opens again with them.
        Expect(Call(SARN_OP_CLOSE_COM, nullptr) == 0, "CloseCom before ChangeSarnParams" + at);
        DriverParams change{};
        snprintf(change.szPort, sizeof change.szPort, "%s", line_.link.c_str());
        change.iTimeout = 50 + round;
        change.line = {9600, 7, 2, 2};
        Expect(Call(SARN_OP_CHANGE_SARN_PARAMS, &change) == 0, "ChangeSarnParams" + at);
      }
    }
    Expect(Call(SARN_OP_CLOSE_COM, nullptr) == 0, "final CloseCom");
    line_.traces = t_traces;
  }

 private:
  Line& line_;
  DriverContext ctx_{};
};

TEST(ConcurrentLinesTest, FourLinesAtOnceWithEveryOperationMixed) {
  Line lines[kLines];
  for (int i = 0; i < kLines; ++i) {
    lines[i].sim.FillPattern();
    const std::string path = lines[i].sim.OpenPty();
    ASSERT_FALSE(path.empty());
    // Port names hold 11 characters: each pty by its short name, "pts/N".
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;
    lines[i].link = path.substr(5);
  }

  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kLines; ++i) {
    threads.emplace_back([&, i] {
      Host host(&lines[i]);
      // Start together, so that the lines overlap from the first call on.
      ++ready;
      while (ready.load() < kLines) std::this_thread::yield();
      host.Run(i);
    });
  }
  for (auto& thread : threads) thread.join();

  int iRestarts = 0;
  for (int i = 0; i < kLines; ++i) {
    SCOPED_TRACE("line " + std::to_string(i));
    EXPECT_TRUE(lines[i].failures.empty()) << lines[i].failures.size() << " failures, first: " << lines[i].failures[0];
    for (const std::string& trace : lines[i].traces) {
      if (trace == "SARNMD> WarmStart()") {
        ++iRestarts;
      } else {
        ADD_FAILURE() << "logged: " << trace;
      }
    }
    // Each simulator holds what its own line wrote last, nothing of the others'.
    EXPECT_EQ(lines[i].sim.Holding(2), lines[i].lastSingle);
    const uint16_t last = static_cast<uint16_t>(i * 1000 + kRounds - 1);
    for (int k = 0; k < kBlock; ++k)
      EXPECT_EQ(lines[i].sim.Holding(static_cast<uint16_t>(100 + k)), static_cast<uint16_t>(last * 7 + k));
  }
  // The daily restart of the first read of the day: once per module, at
  // most once per line.
  EXPECT_LE(iRestarts, kLines);
}

// A block copied from another names the same port. Their transactions take
// turns on the line: on two threads each read gets its own register's value
// and each write lands, and no read takes the other's answer.
TEST(ConcurrentLinesTest, TwoBlocksOnOnePortTakeTurns) {
  plcsim::Simulator sim;
  sim.FillPattern();
  const std::string path = sim.OpenPty();
  ASSERT_FALSE(path.empty());
  const std::string link = path.substr(5);  // "pts/N", the short name of the pty under /dev/

  DriverContext original{};
  ColdStartParams cold{};
  snprintf(cold.szPort, sizeof cold.szPort, "%s", link.c_str());
  cold.bEnable = 1;
  cold.iTimeout = 100;
  cold.line = {9600, 8, 0, 0};
  DriverRequest start{&original, SARN_OP_COLD_START, 0, 0, &cold};
  ASSERT_EQ(SarnMain(&start), 0);
  DriverContext copy = original;

  std::atomic<int> nWrong{0};
  auto run = [&](DriverContext* pContext, uint16_t wRegister) {
    for (int round = 0; round < kRounds; ++round) {
      uint8_t cell[4] = {};
      const uint16_t value = static_cast<uint16_t>(wRegister * 100 + round);
      memcpy(cell + 2, &value, 2);
      GateTransfer t{"gate", 0, 1, SARN_MEM_HOLDING_REGISTERS, wRegister, -1, 16, 0, 1, 0, cell};
      DriverRequest write{pContext, SARN_OP_SINGLE_WRITE, 0, 0, &t};
      if (SarnMain(&write) != 0) ++nWrong;
      memset(cell, 0, sizeof cell);
      DriverRequest read{pContext, SARN_OP_SINGLE_READ, 0, 0, &t};
      uint16_t got = 0;
      if (SarnMain(&read) == 0) memcpy(&got, cell + 2, 2);
      if (got != value) ++nWrong;
    }
  };
  std::thread first(run, &original, 10);
  std::thread second(run, &copy, 20);
  first.join();
  second.join();
  DriverRequest close{&original, SARN_OP_CLOSE_COM, 0, 0, nullptr};
  EXPECT_EQ(SarnMain(&close), 0);
  EXPECT_EQ(nWrong, 0);
}

}  // namespace
