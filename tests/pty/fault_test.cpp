// The driver on a pseudo-terminal under line faults: the controller's end
// vanishing in the middle of a transaction and coming back, garbage, partial
// frames and late replies to earlier requests, and the time every operation
// takes when nothing good comes back.
//
// A pty's path belongs to the pair, and a new pair usually gets a new one.
// The tests reach the controller through a symbolic link of at most 11
// characters that is pointed at whichever pty serves at the moment, so that
// ReOpenCom with the stored port name finds the controller again; the other
// way back is ChangeSarnParams with the new path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/port_link.h"
#include "support/test_log.h"
#include "support/thread_wait.h"
#include "transact/daily_restart.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

constexpr int32_t kTimeout = 10;  // 100 ms
constexpr double kTimeoutS = kTimeout / 100.0;
// Twelve requests at most, each with at most three reads of one time-out;
// generous slack for a shared machine.
constexpr double kBoundS = 12 * 3 * kTimeoutS + 2.0;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class FaultTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  plcsim::Simulator sim;
  testsupport::PortLink link;  // what the driver opens: a link to the serving pty
  pid_t driverThread = 0;      // the thread that calls the driver

  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    driverThread = testsupport::ThreadId();
    ASSERT_FALSE(link.Name().empty());
    ServeNewPty();
    ASSERT_EQ(ColdStart(link.Name(), 1, kTimeout, testsupport::kPtyLine), 0) << testlog::Dump();
    testlog::Clear();
    sim.ClearRequests();
  }

  void TearDown() override { Call(SARN_OP_CLOSE_COM, nullptr); }

  // Serves a new pty and points the link at it.
  std::string ServeNewPty() {
    const std::string path = sim.OpenPty();
    EXPECT_FALSE(path.empty());
    EXPECT_TRUE(link.PointAt(path));
    return path;
  }

  // Returns once nothing more is coming on the line: every reply that the
  // simulator still owes has been written, and the driver's next transaction
  // discards what it did not read. The simulator answers requests in the
  // order they came, so the request of a read from a controller it does not
  // serve (and never answers) is recorded only after everything before it
  // has been answered.
  void QuietLine() {
    uint8_t cell[4] = {};
    GateTransfer fence = Gate("0240001", 0, 0, cell);
    Call(SARN_OP_SINGLE_READ, &fence);  // fails: nobody answers controller 2
    const std::string fenceFrame = plcsim::MakeFrame("020300000001");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto recorded = [&] {
      for (const std::string& r : sim.Requests())
        if (r == fenceFrame) return true;
      return false;
    };
    while (!recorded() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(recorded()) << "the simulator never received " << fenceFrame;
    testlog::Clear();
  }

  // Waits (two seconds at most) until the simulator has taken in n requests,
  // then a tenth of a second more, for any further request on the line.
  void WaitForRequests(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (sim.RequestCount() < n && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  // Runs one operation and returns its result, checking its duration.
  ResultCode Timed(int32_t iOpCode, GateTransfer* pTransfer, double boundS = kBoundS) {
    const auto start = std::chrono::steady_clock::now();
    const ResultCode rc = Call(iOpCode, pTransfer);
    const double seconds = SecondsSince(start);
    EXPECT_LT(seconds, boundS) << "operation " << iOpCode << " on " << pTransfer->pszName;
    return rc;
  }
};

// A host buffer of n bytes, all 0xEE, to tell whether a failed read wrote to it.
std::vector<uint8_t> Marked(size_t n) {
  return std::vector<uint8_t>(n, 0xEE);
}
bool Untouched(const std::vector<uint8_t>& buffer) {
  for (uint8_t b : buffer)
    if (b != 0xEE) return false;
  return true;
}
uint16_t HalfOf(const std::vector<uint8_t>& cell) {
  uint16_t w;
  memcpy(&w, cell.data() + 2, 2);
  return w;
}

TEST_F(FaultTest, ControllerVanishesMidTransactionAndComesBackThroughReOpenCom) {
  sim.SetHolding(0, 0x1234);
  auto cell = Marked(4);
  GateTransfer reg = Gate("0140001", 0, 0, cell.data());

  // The controller sits on the request; its end of the line closes while the
  // driver waits for the reply.
  sim.QueueFault({FaultKind::Delay, 5000});
  std::thread vanish([this] {
    sim.WaitForRequests(1, 5000);
    EXPECT_TRUE(testsupport::WaitUntilThreadSleeps(driverThread, 5000)) << "the driver never waited for the reply";
    sim.Stop();
  });
  EXPECT_EQ(Timed(SARN_OP_SINGLE_READ, &reg), 2) << testlog::Dump();
  vanish.join();
  EXPECT_TRUE(Untouched(cell));

  // While it is gone every transaction fails on the line, at once.
  uint16_t regs[4] = {1, 2, 3, 4};
  GateTransfer block = Gate("0140001", 0, 4, regs);
  GateTransfer bit = Gate("01400013", 6, 0, cell.data());
  for (int32_t op : {SARN_OP_SINGLE_READ, SARN_OP_SINGLE_WRITE}) EXPECT_EQ(Timed(op, &reg), 2) << op;
  for (int32_t op : {SARN_OP_BLOCK_READ, SARN_OP_BLOCK_WRITE}) EXPECT_EQ(Timed(op, &block), 2) << op;
  EXPECT_EQ(Timed(SARN_OP_SINGLE_WRITE, &bit), 2);
  EXPECT_TRUE(Untouched(cell));
  EXPECT_EQ(Call(SARN_OP_WARM_START, nullptr), 0);

  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(ctx.hCom, 0u);
  ServeNewPty();
  sim.SetHolding(0, 0x5678);
  ASSERT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 0);
  testlog::Clear();
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &reg), 0) << testlog::Dump();
  EXPECT_EQ(HalfOf(cell), 0x5678);
  cell[2] = 1;
  cell[3] = 0;
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &reg), 0) << testlog::Dump();
  EXPECT_EQ(sim.Holding(0), 1);
}

TEST_F(FaultTest, ControllerComesBackOnAnotherPathThroughChangeSarnParams) {
  sim.SetHolding(0, 0x0042);
  auto cell = Marked(4);
  GateTransfer reg = Gate("0140001", 0, 0, cell.data());
  sim.Stop();
  EXPECT_EQ(Timed(SARN_OP_SINGLE_READ, &reg), 2);

  const std::string path = sim.OpenPty();  // a new pty, not reached by the link
  ASSERT_FALSE(path.empty());
  testsupport::PortLink other(path);  // under another short name
  ASSERT_FALSE(other.Name().empty());
  DriverParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", other.Name().c_str());
  params.iTimeout = kTimeout;
  ASSERT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0) << testlog::Dump();
  EXPECT_STREQ(ctx.port.szName, other.Name().c_str());
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &reg), 0) << testlog::Dump();
  EXPECT_EQ(HalfOf(cell), 0x0042);
}

struct OneFaultCase {
  const char* name;
  Fault fault;
  size_t requests;  // requests the read needs, the good one included
};

class OneFault : public FaultTest, public ::testing::WithParamInterface<OneFaultCase> {};

// One damaged, late or foreign reply, then good ones: the retry delivers the
// right value, whatever the shape of the read.
TEST_P(OneFault, RetryDeliversTheRightValue) {
  const OneFaultCase& c = GetParam();
  for (uint16_t k = 0; k < 8; ++k) sim.SetHolding(k, static_cast<uint16_t>(0x1010 * (k + 1)));

  auto cell = Marked(4);
  GateTransfer single = Gate("0140002", 0, 0, cell.data());
  sim.ClearRequests();
  sim.QueueFault(c.fault);
  ASSERT_EQ(Timed(SARN_OP_SINGLE_READ, &single), 0) << testlog::Dump();
  EXPECT_EQ(HalfOf(cell), 0x2020);
  EXPECT_EQ(cell[0], 0xEE);
  // A late answer to the first request ends the read while the simulator,
  // which serves one request at a time, may not have taken the second in yet.
  WaitForRequests(c.requests);
  EXPECT_EQ(sim.RequestCount(), c.requests);

  uint32_t value = 0;
  GateTransfer pair = Gate("0180003", 4, 0, &value);
  sim.QueueFault(c.fault);
  ASSERT_EQ(Timed(SARN_OP_SINGLE_READ, &pair), 0) << testlog::Dump();
  EXPECT_EQ(value, 0x30304040u);

  uint16_t regs[5] = {};
  GateTransfer block = Gate("0140004", 0, 5, regs);
  sim.QueueFault(c.fault);
  ASSERT_EQ(Timed(SARN_OP_BLOCK_READ, &block), 0) << testlog::Dump();
  for (int k = 0; k < 5; ++k) EXPECT_EQ(regs[k], 0x1010 * (k + 4)) << k;

  // Writes: the value reaches the controller once the echo is good.
  uint8_t out[4] = {0, 0, 0x34, 0x12};
  GateTransfer write = Gate("0140008", 0, 0, out);
  sim.QueueFault(c.fault);
  ASSERT_EQ(Timed(SARN_OP_SINGLE_WRITE, &write), 0) << testlog::Dump();
  EXPECT_EQ(sim.Holding(7), 0x1234);
}

INSTANTIATE_TEST_SUITE_P(Faults, OneFault,
                         ::testing::Values(OneFaultCase{"Silent", {FaultKind::NoReply, 0}, 2},
                                           // Later than the time-out: the reply to the first request
                                           // arrives during the second attempt and answers it.
                                           OneFaultCase{"Late", {FaultKind::Delay, 160}, 2},
                                           OneFaultCase{"OtherAddress", {FaultKind::OtherAddress, 7}, 2},
                                           OneFaultCase{"OtherFunction", {FaultKind::OtherFunction, 4}, 2},
                                           OneFaultCase{"Busy", {FaultKind::Exception, 6}, 2},
                                           OneFaultCase{"BadLrc", {FaultKind::BadLrc, 0}, 2},
                                           OneFaultCase{"NoCrLf", {FaultKind::NoCrLf, 0}, 2},
                                           OneFaultCase{"HeadOnly", {FaultKind::Truncate, 3}, 2},
                                           OneFaultCase{"CutInData", {FaultKind::Truncate, 9}, 2},
                                           OneFaultCase{"NoLineEnd", {FaultKind::Truncate, 13}, 2},
                                           OneFaultCase{"Garbage", {FaultKind::Garbage, 5}, 2}),
                         [](const ::testing::TestParamInfo<OneFaultCase>& info) {
                           return std::string(info.param.name);
                         });

// Replies to an earlier transaction that come after it has given up must not
// be taken for the replies of the next one. A reply of another shape (other
// function code, other byte count) is refused and retried; the host gets the
// right value or a failure with its buffer untouched, never another gate's
// value. (A late reply of the same shape, such as one holding register for
// another, carries nothing that tells it apart: Modbus ASCII replies name
// neither the address nor the request. Only a reply time-out longer than the
// controller's slowest answer keeps those out.)
TEST_F(FaultTest, LateRepliesOfAnEarlierTransactionAreNeverTakenForTheNext) {
  sim.FillPattern();  // by gate address k: holding k, coil (k % 3 == 0), input register 1000 + k
  sim.SetHolding(4, 0xAAAA);
  sim.SetHolding(5, 0x5555);
  auto earlierCell = Marked(4);
  GateTransfer earlier = Gate("0140001", 0, 0, earlierCell.data());

  struct Next {
    const char* gate;
    int32_t iDataType;
    int32_t iCount;
    size_t bytes;
    std::vector<uint8_t> expected;
  };
  const Next nexts[] = {
      {"0180005", 4, 0, 4, {0x55, 0x55, 0xAA, 0xAA}},  // 32 bits from registers 4, 5: byte count 4
      {"0100004", 6, 8, 1, {0x24}},                    // coils 4..11 (6 and 9 set): function 1
      {"0130003", 0, 2, 4, {0xEB, 0x03, 0xEC, 0x03}},  // input registers 3, 4: function 4
  };
  for (const Next& n : nexts) {
    SCOPED_TRACE(n.gate);
    // The earlier read gives up after three time-outs; its replies follow.
    sim.ClearFaults();
    sim.QueueFault({FaultKind::Delay, static_cast<int>(3 * kTimeout * 10 + 150)});
    EXPECT_EQ(Timed(SARN_OP_SINGLE_READ, &earlier), 2);
    EXPECT_TRUE(Untouched(earlierCell));

    auto buffer = Marked(n.bytes);
    GateTransfer next = Gate(n.gate, n.iDataType, n.iCount, buffer.data());
    const ResultCode rc = Timed(n.iCount > 0 ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ, &next);
    if (rc == 0) {
      EXPECT_EQ(buffer, n.expected) << testlog::Dump();
    } else {
      EXPECT_TRUE(Untouched(buffer)) << testlog::Dump();
    }
    // Once the line is quiet the next read is right.
    QuietLine();
    ASSERT_EQ(Call(n.iCount > 0 ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ, &next), 0) << testlog::Dump();
    EXPECT_EQ(buffer, n.expected);
  }
}

// Every operation under every persistent fault fails (or, for late replies
// that answer a repeated request, succeeds with the right value) within its
// bound, never writing a wrong value into the host's buffer.
TEST_F(FaultTest, EveryOperationStaysWithinItsBoundUnderPersistentFaults) {
  const Fault faults[] = {{FaultKind::NoReply, 0},   {FaultKind::Delay, 130},      {FaultKind::Garbage, 3},
                          {FaultKind::Truncate, 9},  {FaultKind::OtherAddress, 9}, {FaultKind::Exception, 1},
                          {FaultKind::Exception, 2}, {FaultKind::BadLrc, 0},       {FaultKind::NoCrLf, 0}};
  for (const Fault& f : faults) {
    SCOPED_TRACE(static_cast<int>(f.kind));
    for (uint16_t k = 0; k < 10; ++k) sim.SetHolding(k, static_cast<uint16_t>(0x0100 + k));
    sim.SetPersistentFault(f);

    auto cell = Marked(4);
    GateTransfer reg = Gate("0140001", 0, 0, cell.data());
    if (Timed(SARN_OP_SINGLE_READ, &reg) == 0) {
      EXPECT_EQ(HalfOf(cell), 0x0100);
    } else {
      EXPECT_TRUE(Untouched(cell));
    }

    auto regs = Marked(20);
    GateTransfer block = Gate("0140001", 0, 10, regs.data());
    if (Timed(SARN_OP_BLOCK_READ, &block) == 0) {
      for (int k = 0; k < 10; ++k) EXPECT_EQ(regs[2 * k] | regs[2 * k + 1] << 8, 0x0100 + k);
    } else {
      EXPECT_TRUE(Untouched(regs));
    }

    std::vector<uint8_t> out = {0, 0, 0x01, 0x00};
    GateTransfer write = Gate("0140001", 0, 0, out.data());
    Timed(SARN_OP_SINGLE_WRITE, &write);
    GateTransfer blockWrite = Gate("0140001", 0, 10, regs.data());
    Timed(SARN_OP_BLOCK_WRITE, &blockWrite);
    // A bit update is a read transaction and then a write transaction.
    GateTransfer bit = Gate("01400013", 6, 0, out.data());
    Timed(SARN_OP_SINGLE_WRITE, &bit, 2 * kBoundS);
    sim.ClearFaults();
    QuietLine();  // late replies drain
  }
}

}  // namespace
