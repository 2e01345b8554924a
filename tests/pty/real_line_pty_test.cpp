// No wrong value on a real line, end to end through SarnMain on
// pseudo-terminals against the simulator: a late answer of the same shape
// after a failed transaction, two context blocks naming one port on two
// threads, a line that echoes its requests, a stopped module.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/chaos_line.h"
#include "support/driver_calls.h"
#include "support/port_link.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

constexpr int32_t kTimeout = 10;  // 100 ms
constexpr int kTimeoutMs = kTimeout * 10;

// A controller on a pseudo-terminal, reached through a short name.
struct Controller {
  plcsim::Simulator sim;
  std::string path;
  testsupport::PortLink link;
  Controller() : path(sim.OpenPty()) {
    EXPECT_TRUE(link.PointAt(path));
    sim.FillPattern();  // gate address k holds k: holding register 20 is 20
  }
};

uint16_t HalfOf(const uint8_t* cell) {
  uint16_t w;
  memcpy(&w, cell + 2, 2);
  return w;
}

class RealLineTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    testlog::Clear();
  }
  void TearDown() override {
    Call(SARN_OP_CLOSE_COM, nullptr);
    sarn::bStopped = 0;
  }

  void StartOn(const std::string& port) {
    ASSERT_EQ(ColdStart(port, 1, kTimeout, testsupport::kPtyLine), 0) << testlog::Dump();
    testlog::Clear();
  }

  ResultCode ReadHalf(const char* gate, uint16_t* pValue) {
    uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    GateTransfer t = Gate(gate, 0, 0, cell);
    const ResultCode rc = Call(SARN_OP_SINGLE_READ, &t);
    *pValue = HalfOf(cell);
    return rc;
  }

  ResultCode WriteLong(const char* gate, uint32_t value) {
    uint8_t cell[4];
    memcpy(cell, &value, 4);
    GateTransfer t = Gate(gate, SARN_TYPE_INT32, 0, cell);
    return Call(SARN_OP_SINGLE_WRITE, &t);
  }
};

// The first transaction's last attempt is answered after the driver gave up;
// that answer has the shape the second one expects.
TEST_F(RealLineTest, ALateReadReplyIsNotTakenForTheNextRead) {
  Controller plc;
  StartOn(plc.link.Name());
  for (int round = 0; round < 3; ++round) {
    plc.sim.QueueFault({FaultKind::NoReply, 0});
    plc.sim.QueueFault({FaultKind::NoReply, 0});
    plc.sim.QueueFault({FaultKind::Delay, kTimeoutMs + kTimeoutMs / 2});
    uint16_t value = 0;
    ASSERT_EQ(ReadHalf("0140010", &value), 2) << testlog::Dump();
    testlog::Clear();
    ASSERT_EQ(ReadHalf("0140020", &value), 0) << testlog::Dump();
    EXPECT_EQ(value, 20) << testlog::Dump();
    EXPECT_TRUE(testlog::Contains("SARNMD> SettleLine() 15 bytes discarded, line quiet")) << testlog::Dump();
  }
}

// Functions 16 echo only address and quantity: a late echo of the first
// write would report the second done while the controller refused it.
TEST_F(RealLineTest, ALateWriteEchoNeverReportsTheNextWriteDone) {
  Controller plc;
  StartOn(plc.link.Name());
  plc.sim.QueueFault({FaultKind::NoReply, 0});
  plc.sim.QueueFault({FaultKind::NoReply, 0});
  plc.sim.QueueFault({FaultKind::Delay, kTimeoutMs + kTimeoutMs / 2});
  ASSERT_EQ(WriteLong("0180001", 0x11111111), 2) << testlog::Dump();
  plc.sim.SetPersistentFault({FaultKind::Exception, 2});  // refused, not carried out
  EXPECT_NE(WriteLong("0180001", 0x22222222), 0) << testlog::Dump();
  EXPECT_EQ(plc.sim.Holding(0), 0x1111);
  EXPECT_EQ(plc.sim.Holding(1), 0x1111);
}

// A block copied from another names the same port. On two threads their
// transactions take turns on the line, and each read gets its own register.
TEST_F(RealLineTest, TwoBlocksOnOnePortNeverTakeEachOthersAnswers) {
  Controller plc;
  StartOn(plc.link.Name());
  DriverContext copy;
  memcpy(&copy, &ctx, sizeof copy);

  std::atomic<int> nWrong{0};
  std::atomic<int> nGood{0};
  auto reader = [&](DriverContext* pContext, const char* gate, uint16_t expected) {
    testsupport::DriverCalls calls;
    calls.ctx = *pContext;  // parses gates on a private copy
    uint8_t cell[4] = {};
    GateTransfer t = calls.Gate(gate, 0, 0, cell);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
      DriverRequest request{pContext, SARN_OP_SINGLE_READ, 0, 0, &t};
      if (SarnMain(&request) != 0) continue;
      (HalfOf(cell) == expected ? nGood : nWrong)++;
    }
  };
  std::thread first(reader, &ctx, "0140010", 10);
  std::thread second(reader, &copy, "0140020", 20);
  first.join();
  second.join();
  EXPECT_EQ(nWrong, 0);
  EXPECT_GT(nGood, 20);
}

// CloseCom on the block that opened the port waits for the transaction that
// a copy of it runs there, and a copy's transactions afterwards fail.
TEST_F(RealLineTest, ClosingAPortWaitsForTheTransactionOfACopy) {
  Controller plc;
  StartOn(plc.link.Name());
  DriverContext copy;
  memcpy(&copy, &ctx, sizeof copy);
  plc.sim.QueueFault({FaultKind::Delay, kTimeoutMs / 2});
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140020", 0, 0, cell);
  ResultCode rcCopy = 9;
  std::thread reader([&] {
    DriverRequest request{&copy, SARN_OP_SINGLE_READ, 0, 0, &t};
    rcCopy = SarnMain(&request);
  });
  ASSERT_TRUE(plc.sim.WaitForRequests(1, 2000));
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  reader.join();
  EXPECT_EQ(rcCopy, 0);
  EXPECT_EQ(HalfOf(cell), 20);
  DriverRequest again{&copy, SARN_OP_SINGLE_READ, 0, 0, &t};
  EXPECT_EQ(SarnMain(&again), 2);
}

// A two-wire adapter between the driver and the controller: it echoes every
// request to the driver.
struct EchoRun {
  Controller plc;
  testsupport::ChaosLine line{plc.path, 7};
  testsupport::PortLink link;
  EchoRun() {
    testsupport::ChaosOptions options;
    options.bEcho = true;
    line.SetOptions(options);
    EXPECT_TRUE(link.PointAt(line.DriverPath()));
  }
};

void WriteIntFile(int32_t iDriverNr, const char* pszContent) {
  char name[32];
  snprintf(name, sizeof name, "SARNMD%02d.INT", iDriverNr);
  FILE* f = fopen(name, "w");
  ASSERT_NE(f, nullptr);
  fputs(pszContent, f);
  fclose(f);
}

// With ECHO = YES in the initialization file the echo is read back first; a
// controller that does not answer never gives a write reported done.
TEST_F(RealLineTest, WithTheEchoKeyReadsAndWritesAreRightAndASilentControllerFails) {
  EchoRun run;
  iDriverNr = 57;
  WriteIntFile(iDriverNr, "ECHO = YES\n");
  ASSERT_EQ(ColdStart(run.link.Name(), 1, kTimeout, testsupport::kPtyLine), 0);
  unlink("SARNMD57.INT");
  EXPECT_TRUE(testlog::Contains("SARNMD> Echo of requests on the line = YES")) << testlog::Dump();

  uint16_t value = 0;
  EXPECT_EQ(ReadHalf("0140020", &value), 0) << testlog::Dump();
  EXPECT_EQ(value, 20);
  EXPECT_EQ(WriteLong("0180031", 0x12345678), 0) << testlog::Dump();
  EXPECT_EQ(run.plc.sim.Holding(30), 0x1234);
  // Controller 2 is not on the line: only the adapter's echo comes back.
  EXPECT_EQ(WriteLong("0280031", 0x0BADF00D), 2) << testlog::Dump();
  EXPECT_EQ(ReadHalf("0240020", &value), 2);
}

TEST_F(RealLineTest, WithoutTheEchoKeyAReadOnAnEchoingLineNeverTakesTheEcho) {
  EchoRun run;
  ASSERT_EQ(ColdStart(run.link.Name(), 1, kTimeout, testsupport::kPtyLine), 0);
  uint16_t value = 0;
  EXPECT_NE(ReadHalf("0140020", &value), 0);
  EXPECT_EQ(value, 0xEEEE);
}

// After EndSarn on one context the module is stopped: another line's reads
// and writes fail, and nothing reaches its controller.
TEST_F(RealLineTest, AfterEndSarnAnotherLineSendsNothing) {
  Controller mine;
  Controller other;
  StartOn(mine.link.Name());
  testsupport::DriverCalls second;
  ASSERT_EQ(second.ColdStart(other.link.Name(), 1, kTimeout, testsupport::kPtyLine), 0);
  uint8_t cell[4] = {0xEE, 0xEE, 0x34, 0x12};
  GateTransfer t = second.Gate("0140020", 0, 0, cell);
  ASSERT_EQ(Call(SARN_OP_END_SARN, nullptr), 0);
  other.sim.ClearRequests();
  EXPECT_EQ(second.Call(SARN_OP_SINGLE_READ, &t), 2);
  EXPECT_EQ(second.Call(SARN_OP_SINGLE_WRITE, &t), 2);
  EXPECT_EQ(HalfOf(cell), 0x1234);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(other.sim.RequestCount(), 0u);
  sarn::bStopped = 0;
  second.Call(SARN_OP_CLOSE_COM, nullptr);
}

}  // namespace
