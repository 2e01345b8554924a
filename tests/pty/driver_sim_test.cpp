// The driver end to end through SarnMain on a real pseudo-terminal against
// the controller simulator: the frames as the controller receives them, the
// values in the host's buffers, retries counted at the controller.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/port_link.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

class DriverSimTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  plcsim::Simulator sim;
  testsupport::PortLink link;  // what the driver opens: a link to the serving pty

  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    ASSERT_TRUE(link.PointAt(sim.OpenPty()));
    Start(20);
  }

  void TearDown() override {
    Call(SARN_OP_CLOSE_COM, nullptr);
    sarn::bStopped = 0;
  }

  void Start(int32_t iTimeout, bool bGtc = false) {
    Call(SARN_OP_CLOSE_COM, nullptr);
    ASSERT_EQ(ColdStart(link.Name(), 1, iTimeout), 0) << testlog::Dump();
    ctx.cProtocol = bGtc ? 1 : 0;
    testlog::Clear();
    sim.ClearRequests();
  }

  std::vector<std::string> Requests() { return sim.Requests(); }
};

uint16_t Half(const uint8_t* pCell) {
  uint16_t w;
  memcpy(&w, pCell + 2, 2);
  return w;
}

TEST_F(DriverSimTest, ReadExamplesOnTheWireAndInTheBuffers) {
  sim.SetHolding(0, 0xABCD);
  uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  GateTransfer reg = Gate("0140001", 0, 0, cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &reg), 0) << testlog::Dump();
  EXPECT_EQ(Requests(), std::vector<std::string>{":010300000001FB\r\n"});
  EXPECT_EQ(Half(cell), 0xABCD);
  EXPECT_EQ(cell[0], 0xEE);

  sim.SetHolding(0, 0x1234);
  sim.SetHolding(1, 0xABCD);
  uint32_t value = 0;
  GateTransfer l = Gate("0180001", 4, 0, &value);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &l), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":010300000002FA\r\n"});
  EXPECT_EQ(value, 0x1234ABCDu);
  ctx.wFlags = SARN_FLAG_SWAP;
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &l), 0);
  EXPECT_EQ(value, 0xABCD1234u);

  ctx.wFlags = 0;
  GateTransfer l3 = Gate("0180003", 4, 0, &value);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &l3), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":010300020002F8\r\n"});

  sim.SetHolding(0, 0x0004);
  GateTransfer bit = Gate("01400012", 6, 0, cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &bit), 0);
  EXPECT_EQ(Half(cell), 1);

  for (int k = 0; k < 10; ++k) sim.SetCoil(static_cast<uint16_t>(k), (0x01CD >> k) & 1);
  uint8_t coils[2] = {};
  GateTransfer block = Gate("0100001", 6, 10, coils);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &block), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":01010000000AF4\r\n"});
  EXPECT_EQ(coils[0], 0xCD);
  EXPECT_EQ(coils[1], 0x01);

  uint16_t regs[125] = {};
  for (int k = 0; k < 125; ++k) sim.SetInputReg(static_cast<uint16_t>(100 + k), static_cast<uint16_t>(7 * k));
  GateTransfer inputs = Gate("0130101", 0, 125, regs);
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &inputs), 0);
  EXPECT_EQ(regs[0], 0);
  EXPECT_EQ(regs[124], 7 * 124);
}

TEST_F(DriverSimTest, WriteExamplesOnTheWireAndInTheController) {
  uint8_t cell[4] = {};
  uint16_t w = 0x1234;
  memcpy(cell + 2, &w, 2);
  GateTransfer reg = Gate("0140001", 0, 0, cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &reg), 0) << testlog::Dump();
  EXPECT_EQ(Requests(), std::vector<std::string>{":010600001234B3\r\n"});
  EXPECT_EQ(sim.Holding(0), 0x1234);

  w = 1;
  memcpy(cell + 2, &w, 2);
  GateTransfer coil = Gate("0100001", 6, 0, cell);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &coil), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":01050000FF00FB\r\n"});
  EXPECT_TRUE(sim.Coil(0));

  uint32_t value = 0x12345678;
  GateTransfer l = Gate("0180001", 4, 0, &value);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &l), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":0110000000020412345678D5\r\n"});
  EXPECT_EQ(sim.Holding(0), 0x1234);
  EXPECT_EQ(sim.Holding(1), 0x5678);

  sim.SetHolding(0, 0x0003);
  w = 1;
  memcpy(cell + 2, &w, 2);
  GateTransfer bit = Gate("01400012", 6, 0, cell);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &bit), 0);
  EXPECT_EQ(Requests(), (std::vector<std::string>{":010300000001FB\r\n", ":010600000007F2\r\n"}));
  EXPECT_EQ(sim.Holding(0), 0x0007);

  uint8_t coils[2] = {0xCD, 0x01};
  GateTransfer cblock = Gate("0100001", 6, 10, coils);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_BLOCK_WRITE, &cblock), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":010F0000000A02CD0116\r\n"});
  for (int k = 0; k < 10; ++k) EXPECT_EQ(sim.Coil(static_cast<uint16_t>(k)), ((0x01CD >> k) & 1) != 0) << k;

  uint16_t regs[2] = {1, 2};
  GateTransfer rblock = Gate("0140001", 0, 2, regs);
  sim.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_BLOCK_WRITE, &rblock), 0);
  EXPECT_EQ(Requests(), std::vector<std::string>{":0110000000020400010002E6\r\n"});
  EXPECT_EQ(sim.Holding(1), 2);
}

TEST_F(DriverSimTest, GtcReadsAndSetResetMasks) {
  sim.Stop();
  plcsim::Options options;
  options.gtc = true;
  plcsim::Simulator gtc(options);
  ASSERT_TRUE(link.PointAt(gtc.OpenPty()));
  Start(20, true);
  gtc.ClearRequests();

  gtc.SetGtcBit(161, true);
  gtc.SetGtcBit(168, true);
  uint8_t bits[1] = {};
  GateTransfer t = Gate("0100200", 6, 8, bits);
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(gtc.Requests(), std::vector<std::string>{":0102000100A854\r\n"});
  EXPECT_EQ(bits[0], 0x81);

  uint8_t cell[4] = {0, 0, 1, 0};
  GateTransfer single = Gate("0100215", 6, 0, cell);
  gtc.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &single), 0) << testlog::Dump();
  EXPECT_EQ(gtc.Requests(), std::vector<std::string>{":010F000100100200805D\r\n"});
  EXPECT_TRUE(gtc.GtcBit(176));

  uint8_t mask[2] = {0x05, 0x80};
  GateTransfer block = Gate("0100200", 6, 16, mask);
  gtc.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_BLOCK_WRITE, &block), 0);
  EXPECT_EQ(gtc.Requests(), (std::vector<std::string>{":010F0002001002FA7F63\r\n", ":010F0001001002058058\r\n"}));
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(gtc.GtcBit(static_cast<uint16_t>(161 + i)), ((0x8005 >> i) & 1) != 0) << i;
  }

  uint16_t area[42] = {};
  for (int i = 0; i < 42; ++i) gtc.SetGtcRegister(2, static_cast<uint16_t>(i), static_cast<uint16_t>(500 + i));
  GateTransfer regs = Gate("0130002", 0, 42, area);
  gtc.ClearRequests();
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &regs), 0);
  EXPECT_EQ(gtc.Requests(), std::vector<std::string>{":01040002002ACF\r\n"});
  EXPECT_EQ(area[41], 541);

  // Single reads and non-bit writes send nothing with GTC.
  gtc.ClearRequests();
  GateTransfer reg{"0140001", 0, 1, 4, 0, -1, 16, 0, 1, 0, cell};
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &reg), 1);
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &reg), 1);
  EXPECT_EQ(gtc.RequestCount(), 0u);
  Call(SARN_OP_CLOSE_COM, nullptr);
}

struct RetryCase {
  const char* name;
  Fault fault;
  size_t requests;
  int result;
  const char* line;
  int lineCount;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const RetryCase& c, std::ostream* os) {
  *os << c.name;
}

class RetryTable : public DriverSimTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryTable, RequestsCountedAtTheController) {
  const RetryCase& c = GetParam();
  sim.SetHolding(0, 0x4321);
  uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  sim.SetPersistentFault(c.fault);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), c.result) << testlog::Dump();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(sim.RequestCount(), c.requests);
  EXPECT_EQ(testlog::Count(8, c.line), c.lineCount) << testlog::Dump();
  EXPECT_EQ(cell[0] + cell[1] + cell[2] + cell[3], 4 * 0xEE);
  // Twelve requests at most, each with at most three reads of 200 ms.
  EXPECT_LT(seconds, 12 * 3 * 0.2 + 2.0);
  sim.ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RetryTable,
    ::testing::Values(
        RetryCase{"Silent", {FaultKind::NoReply, 0}, 3, 2, "SARNMD> Receive() #1: timeout (iRead=0)", 3},
        RetryCase{"OtherAddress", {FaultKind::OtherAddress, 2}, 10, 1, "SARNMD> Wrong plc addr.2h received", 10},
        RetryCase{"Exception1", {FaultKind::Exception, 1}, 3, 1, "SARNMD> DoRead() received 0x80 error code", 1},
        RetryCase{"Exception2", {FaultKind::Exception, 2}, 3, 1, "SARNMD> (MB-protocol) Illegal data address", 3},
        RetryCase{"BadLrc", {FaultKind::BadLrc, 0}, 3, 1, "SARNMD> DoRead() LRC error, retry 2", 1},
        RetryCase{"NoCrLf", {FaultKind::NoCrLf, 0}, 3, 1, "SARNMD> DoRead() No termination of reply", 3},
        RetryCase{"CutShort",
                  {FaultKind::Truncate, 9},
                  3,
                  2,
                  "SARNMD> Recieve() reading timeout last data part message (iRead=2)",
                  3},
        RetryCase{"Garbage", {FaultKind::Garbage, 3}, 3, 2, "SARNMD> Receive() Start of frame not received", 3}),
    [](const ::testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

TEST_F(DriverSimTest, OneFaultyReplyIsRecoveredByTheRetry) {
  sim.SetHolding(0, 0x4321);
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  sim.QueueFault({FaultKind::BadLrc, 0});
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(sim.RequestCount(), 2u);
  EXPECT_EQ(Half(cell), 0x4321);
}

// A pty has no modem lines: with RTS control on, each switch fails, and the
// log says so in the words every platform uses and then in Linux terms. The
// value still comes.
TEST_F(DriverSimTest, RtsControlOnALineWithoutRtsSaysWhatFailedInLinuxTerms) {
  ctx.cRtsCts = 1;
  sim.SetHolding(0, 0x2468);
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(Half(cell), 0x2468);
  EXPECT_EQ(testlog::Count(8, "SARNMD> Send() EscapeCommFunction() failed"), 2);
  EXPECT_EQ(
      testlog::Count(8, "SARNMD> Send() the system says: TIOCMBIS (RTS on): Inappropriate ioctl for device (ENOTTY)"),
      1);
  EXPECT_EQ(
      testlog::Count(8, "SARNMD> Send() the system says: TIOCMBIC (RTS off): Inappropriate ioctl for device (ENOTTY)"),
      1);
}

TEST_F(DriverSimTest, SilentControllerTimesOutAfterAboutTheTimeout) {
  Start(30);
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  sim.SetPersistentFault({FaultKind::NoReply, 0});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 2);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 3 * 0.3 - 0.05);
  EXPECT_LT(seconds, 3 * 0.3 + 1.5);
}

TEST_F(DriverSimTest, FirstReadAfterLoadingRestarts) {
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  sarn::g_iRestartDay = 0;
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> WarmStart()"), 0);
  EXPECT_EQ(testlog::Count(32, "Restart Communication succeed"), 1);
  testlog::Clear();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_TRUE(testlog::Lines().empty());
}

}  // namespace
