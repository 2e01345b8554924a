// The driver on pseudo-terminals against the simulator: late replies of
// another shape, context blocks that name another context's port, repeated
// reopening, and coil gates with a bit digit. Whatever happens, a result of 0
// comes only with the right value, or for a write the controller performed.
//
// The driver reaches each simulator through a symbolic link of at most 11
// characters.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

namespace {

using plcsim::FaultKind;

constexpr int32_t kTimeout = 10;  // 100 ms
// The first reply to an earlier transaction comes after it gave up (three
// time-outs), while the next transaction waits for its own.
constexpr int kLateMs = 3 * kTimeout * 10 + 100;

// A link of at most 11 characters to a pty the simulator serves.
struct ServedLine {
  plcsim::Simulator sim;
  std::string link;

  ServedLine() {
    char name[] = "/tmp/XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    unlink(name);
    link = name;
    const std::string path = sim.OpenPty();
    EXPECT_FALSE(path.empty());
    EXPECT_EQ(symlink(path.c_str(), link.c_str()), 0);
  }
  ~ServedLine() { unlink(link.c_str()); }
};

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

std::vector<uint8_t> Marked(size_t n) { return std::vector<uint8_t>(n, 0xEE); }

uint16_t HalfOf(const std::vector<uint8_t>& cell) {
  uint16_t w;
  memcpy(&w, cell.data() + 2, 2);
  return w;
}

ColdStartParams StartOn(const std::string& port) {
  ColdStartParams params{};
  snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
  params.bEnable = 1;
  params.iTimeout = kTimeout;
  params.line = {9600, 8, 0, 0};
  return params;
}

ResultCode CallOn(DriverContext* pContext, int32_t iOpCode, void* pParam) {
  DriverRequest request{pContext, iOpCode, 0, 0, pParam};
  return SarnMain(&request);
}

class StaleLineTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  ServedLine line;

  void SetUp() override {
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    ColdStartParams params = StartOn(line.link);
    ASSERT_EQ(Call(SARN_OP_COLD_START, &params), 0) << testlog::Dump();
    line.sim.FillPattern();  // gate address k holds k: holding register 4 is 4
    testlog::Clear();
  }

  void TearDown() override { Call(SARN_OP_CLOSE_COM, nullptr); }

  // An earlier transaction whose first request is answered only after the
  // transaction gave up; its replies come while the next one runs.
  void GiveUpOn(int32_t iOpCode, GateTransfer* pTransfer) {
    line.sim.ClearFaults();
    line.sim.QueueFault({FaultKind::Delay, kLateMs});
    EXPECT_EQ(Call(iOpCode, pTransfer), 2) << testlog::Dump();
  }

  void Drain() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs));
    line.sim.ClearFaults();
    testlog::Clear();
  }
};

struct LateReadCase {
  const char* name;
  const char* earlier;  // a block gate
  int32_t earlierType;
  int32_t earlierCount;
  const char* next;
  int32_t nextType;
  int32_t nextCount;  // 0: a single gate
  std::vector<uint8_t> expected;
};

void PrintTo(const LateReadCase& c, std::ostream* os) { *os << c.name; }

class LateRead : public StaleLineTest, public ::testing::WithParamInterface<LateReadCase> {};

TEST_P(LateRead, OfAnotherByteCountIsNeverTakenForTheNext) {
  const LateReadCase& c = GetParam();
  line.sim.SetHolding(0, 0x0005);
  for (uint16_t k = 10; k < 14; ++k) line.sim.SetHolding(k, static_cast<uint16_t>(0xA000 + k));
  for (uint16_t k = 16; k < 32; ++k) line.sim.SetCoil(k, true);
  line.sim.SetCoil(0, false);

  auto earlierBuffer = Marked(512);
  GateTransfer earlier = Gate(c.earlier, c.earlierType, c.earlierCount, earlierBuffer.data());
  GiveUpOn(SARN_OP_BLOCK_READ, &earlier);

  auto buffer = Marked(c.expected.size());
  GateTransfer next = Gate(c.next, c.nextType, c.nextCount, buffer.data());
  EXPECT_EQ(Call(c.nextCount > 0 ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ, &next), 0) << testlog::Dump();
  EXPECT_EQ(buffer, c.expected) << testlog::Dump();
  Drain();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LateRead,
    ::testing::Values(
        LateReadCase{"FourRegistersThenOne", "0140011", 0, 4, "0140001", 0, 0, {0xEE, 0xEE, 0x05, 0x00}},
        LateReadCase{"SixteenCoilsThenOne", "0100017", 6, 16, "0100001", 6, 0, {0xEE, 0xEE, 0x00, 0x00}},
        LateReadCase{"HundredTwentyFiveRegistersThenFour",
                     "0140001",
                     0,
                     125,
                     "0140201",
                     0,
                     4,
                     {201, 0, 202, 0, 203, 0, 204, 0}}),
    [](const ::testing::TestParamInfo<LateReadCase>& info) { return std::string(info.param.name); });

struct LateEchoCase {
  const char* name;
  const char* earlier;
  int32_t earlierCount;  // 0: a single gate
  std::vector<uint8_t> earlierData;
  const char* next;
  int32_t nextCount;
  std::vector<uint8_t> nextData;
  uint16_t firstRegister;              // of the next write
  std::vector<uint16_t> expected;      // holding registers from it, once the write returned 0
};

void PrintTo(const LateEchoCase& c, std::ostream* os) { *os << c.name; }

class LateEcho : public StaleLineTest, public ::testing::WithParamInterface<LateEchoCase> {};

TEST_P(LateEcho, NeverReportsAWriteThatDidNotHappen) {
  const LateEchoCase& c = GetParam();
  std::vector<uint8_t> earlierData = c.earlierData;
  GateTransfer earlier = Gate(c.earlier, 0, c.earlierCount, earlierData.data());
  GiveUpOn(c.earlierCount > 0 ? SARN_OP_BLOCK_WRITE : SARN_OP_SINGLE_WRITE, &earlier);

  std::vector<uint8_t> nextData = c.nextData;
  GateTransfer next = Gate(c.next, 0, c.nextCount, nextData.data());
  ASSERT_EQ(Call(c.nextCount > 0 ? SARN_OP_BLOCK_WRITE : SARN_OP_SINGLE_WRITE, &next), 0) << testlog::Dump();
  // Read at once: a result of 0 means the controller has the value now.
  for (size_t k = 0; k < c.expected.size(); ++k) {
    EXPECT_EQ(line.sim.Holding(static_cast<uint16_t>(c.firstRegister + k)), c.expected[k]) << k;
  }
  Drain();
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LateEcho,
    ::testing::Values(LateEchoCase{"OtherRegister", "0140011", 0, {0, 0, 0x11, 0x11}, "0140001", 0, {0, 0, 0x22, 0x22},
                                   0, {0x2222}},
                      LateEchoCase{"OtherValue", "0140001", 0, {0, 0, 0x11, 0x11}, "0140001", 0, {0, 0, 0x22, 0x22}, 0,
                                   {0x2222}},
                      LateEchoCase{"OtherQuantity",
                                   "0140001",
                                   4,
                                   {1, 0, 2, 0, 3, 0, 4, 0},
                                   "0140001",
                                   2,
                                   {7, 0, 8, 0},
                                   0,
                                   {7, 8}}),
    [](const ::testing::TestParamInfo<LateEchoCase>& info) { return std::string(info.param.name); });

// A host that copies a context block, or hands over one it did not clear,
// and cold-starts it on another line: the first context keeps its own line.
TEST_F(StaleLineTest, BlockNamingAnotherContextsPortLeavesThatPortAlone) {
  ServedLine lineB;
  line.sim.SetHolding(0, 0x0AAA);
  lineB.sim.SetHolding(0, 0x0BBB);
  for (bool bCopy : {true, false}) {
    SCOPED_TRACE(bCopy ? "copied block" : "uncleared block");
    auto other = std::make_unique<DriverContext>();
    if (bCopy) {
      memcpy(other.get(), &ctx, sizeof ctx);
    } else {
      other->hCom = ctx.hCom;
      other->bComOpen = 1;
    }
    ColdStartParams params = StartOn(lineB.link);
    ASSERT_EQ(CallOn(other.get(), SARN_OP_COLD_START, &params), 0) << testlog::Dump();

    auto cell = Marked(4);
    GateTransfer t = Gate("0140001", 0, 0, cell.data());
    ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
    EXPECT_EQ(HalfOf(cell), 0x0AAA);
    auto otherCell = Marked(4);
    t.pData = otherCell.data();
    ASSERT_EQ(CallOn(other.get(), SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
    EXPECT_EQ(HalfOf(otherCell), 0x0BBB);
    EXPECT_EQ(CallOn(other.get(), SARN_OP_CLOSE_COM, nullptr), 0);
  }
}

struct ReopenCase {
  const char* name;
  bool bNull;
  int rounds;
};

void PrintTo(const ReopenCase& c, std::ostream* os) { *os << c.name; }

class RepeatedReopen : public StaleLineTest, public ::testing::WithParamInterface<ReopenCase> {};

// ReOpenCom and ChangeSarnParams on an open port, the same port each time:
// every call succeeds, a new line takes effect, and no descriptor is left
// behind; other contexts still get their ports.
TEST_P(RepeatedReopen, LosesNoHandle) {
  const ReopenCase& c = GetParam();
  const std::string port = c.bNull ? "NUL" : line.link;
  ColdStartParams params = StartOn(port);
  ASSERT_EQ(Call(SARN_OP_COLD_START, &params), 0);
  const int nDescriptors = OpenDescriptors();
  auto cell = Marked(4);
  GateTransfer t = Gate("0140004", 0, 0, cell.data());
  for (int i = 0; i < c.rounds; ++i) {
    ASSERT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 0) << i << "\n" << testlog::Dump();
    DriverParams change{};
    snprintf(change.szPort, sizeof change.szPort, "%s", port.c_str());
    change.iTimeout = kTimeout;
    change.line = {static_cast<uint16_t>(i % 2 == 0 ? 19200 : 9600), 8, 0, 0};
    ASSERT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &change), 0) << i << "\n" << testlog::Dump();
    if (!c.bNull) {
      ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << i << "\n" << testlog::Dump();
      EXPECT_EQ(HalfOf(cell), 4);
    }
  }
  EXPECT_EQ(OpenDescriptors(), nDescriptors);

  ServedLine lineB;
  auto other = std::make_unique<DriverContext>();
  ColdStartParams paramsB = StartOn(lineB.link);
  EXPECT_EQ(CallOn(other.get(), SARN_OP_COLD_START, &paramsB), 0) << testlog::Dump();
  EXPECT_EQ(CallOn(other.get(), SARN_OP_CLOSE_COM, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Ports, RepeatedReopen,
                         ::testing::Values(ReopenCase{"NullDevice", true, SARN_MAX_OPEN_PORTS + 44},
                                           ReopenCase{"PseudoTerminal", false, 20}),
                         [](const ::testing::TestParamInfo<ReopenCase>& info) { return std::string(info.param.name); });

// A coil with a bit digit: the parser refuses the text, and fields such a
// text produced before are refused unsent. Nothing reaches the controller,
// and the coil is not switched from a holding register's bit.
TEST_F(StaleLineTest, CoilGateWithABitDigitSwitchesNothing) {
  line.sim.SetHolding(0, 0x00F0);
  line.sim.SetCoil(0, false);
  GateSpec spec{};
  spec.pszAddress = "01000014";
  spec.iDataType = 6;
  EXPECT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  EXPECT_EQ(testlog::Count(8, "SARNMD> Parse() bit number not allowed for memory types 0 and 1"), 1);

  uint8_t cell[4] = {0, 0, 0, 0};
  GateTransfer t{"01000014", 0, 1, 0, 0, 4, 1, 6, 1, 0, cell};
  line.sim.ClearRequests();
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(line.sim.RequestCount(), 0u);
  EXPECT_FALSE(line.sim.Coil(0));
}

}  // namespace
