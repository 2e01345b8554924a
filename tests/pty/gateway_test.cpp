// Lines behind a serial device server: ser2net in front of the simulator's
// pseudo-terminal, reached through SarnMain with GATEWAY = in the
// initialization file, raw and with RFC 2217; and the faults a gateway has.
#include <arpa/inet.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "driver/stop_flag.h"
#include "plcsim.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/ser2net_gateway.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

namespace {

constexpr int32_t kTimeout = 50;  // 500 ms
constexpr int32_t kDriverNr = 61;

using Clock = std::chrono::steady_clock;

void WriteIntFile(const std::string& content) {
  FILE* f = fopen("SARNMD61.INT", "w");
  ASSERT_NE(f, nullptr);
  fputs(content.c_str(), f);
  fclose(f);
}

class GatewayTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  plcsim::Simulator sim;
  std::unique_ptr<sarn_test::Ser2netGateway> gateway;
  std::string path;

  void SetUp() override {
    if (!sarn_test::Ser2netGateway::Installed()) GTEST_SKIP() << "ser2net is not installed";
    sarn::bStopped = 0;
    sarn::g_iRestartDay = sarn::CurrentDayOfMonth();
    iDriverNr = kDriverNr;
    path = sim.OpenPty();
    ASSERT_FALSE(path.empty());
    gateway = std::make_unique<sarn_test::Ser2netGateway>(path);
    ASSERT_TRUE(gateway->Start()) << gateway->Error();
  }

  void TearDown() override {
    Call(SARN_OP_END_SARN, nullptr);
    unlink("SARNMD61.INT");
  }

  // ColdStart on "COM1" with the line behind the gateway at the address.
  ResultCode StartOn(const std::string& address, const std::string& more = "") {
    WriteIntFile("GATEWAY = " + address + "\n" + more);
    testlog::Clear();
    return ColdStart("COM1", 1, kTimeout, LineSettings{19200, 8, 0, 0});
  }

  std::string Raw() const { return "socket://127.0.0.1:" + std::to_string(gateway->RawPort()); }
  std::string Rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(gateway->Rfc2217Port()); }

  int ReadHalf(const char* pszGate, uint16_t* pValue) {
    uint8_t cell[4] = {};
    GateTransfer t = Gate(pszGate, 0, 0, cell);
    const int rc = Call(SARN_OP_SINGLE_READ, &t);
    memcpy(pValue, cell + 2, 2);
    return rc;
  }
};

struct KindCase {
  const char* name;
  bool bRfc2217;
};

class GatewayKinds : public GatewayTest, public ::testing::WithParamInterface<KindCase> {};

// Reads, writes and blocks, Modbus and GTC, through either kind
// of gateway; the cold start names the gateway.
TEST_P(GatewayKinds, ReadsAndWritesReachTheController) {
  const std::string address = GetParam().bRfc2217 ? Rfc2217() : Raw();
  sim.SetHolding(0, 0x1234);
  ASSERT_EQ(StartOn(address), 0) << testlog::Dump();
  EXPECT_TRUE(testlog::Contains("SARNMD> Line reached through the gateway " + address)) << testlog::Dump();

  uint16_t value = 0;
  ASSERT_EQ(ReadHalf("0140001", &value), 0) << testlog::Dump();
  EXPECT_EQ(value, 0x1234);
  uint8_t out[4] = {0, 0, 0xCD, 0xAB};
  GateTransfer write = Gate("0140002", 0, 0, out);
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &write), 0) << testlog::Dump();
  EXPECT_EQ(sim.Holding(1), 0xABCD);

  uint16_t regs[4] = {1, 2, 3, 0xFFFF};
  GateTransfer blockWrite = Gate("0140011", 0, 4, regs);
  ASSERT_EQ(Call(SARN_OP_BLOCK_WRITE, &blockWrite), 0) << testlog::Dump();
  uint16_t back[4] = {};
  GateTransfer blockRead = Gate("0140011", 0, 4, back);
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &blockRead), 0) << testlog::Dump();
  EXPECT_EQ(memcmp(back, regs, sizeof regs), 0);

  // The line the host gave reaches the device through RFC 2217 only; the raw
  // gateway keeps its own (9600 baud).
  termios2 t{};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
  close(fd);
  EXPECT_EQ(t.c_ospeed, GetParam().bRfc2217 ? 19200u : 9600u);

  // A GTC controller behind a gateway of the same kind.
  plcsim::Options options;
  options.gtc = true;
  plcsim::Simulator gtc(options);
  sarn_test::Ser2netGateway gtcGateway(gtc.OpenPty());
  ASSERT_TRUE(gtcGateway.Start()) << gtcGateway.Error();
  for (uint16_t i = 0; i < 4; ++i) gtc.SetGtcRegister(2, i, static_cast<uint16_t>(500 + i));
  Call(SARN_OP_CLOSE_COM, nullptr);
  const bool bRfc = GetParam().bRfc2217;
  const int port = bRfc ? gtcGateway.Rfc2217Port() : gtcGateway.RawPort();
  ASSERT_EQ(
      StartOn(std::string(bRfc ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port), "BUS = GTC, DEC\n"), 0)
      << testlog::Dump();
  uint16_t area[42] = {};  // a GTC register area is read whole
  GateTransfer gtcRead = Gate("0130002", 0, 42, area);
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &gtcRead), 0) << testlog::Dump();
  EXPECT_EQ(area[3], 503);
}

INSTANTIATE_TEST_SUITE_P(Gateways, GatewayKinds, ::testing::Values(KindCase{"Raw", false}, KindCase{"Rfc2217", true}),
                         [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

// A loopback port where nothing listens.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// A listener that never accepts, its queue full: a connect to it gets no
// answer, as to a gateway that is off the network.
struct DeafListener {
  int fd = -1;
  int port = 0;
  std::vector<int> queued;
  DeafListener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    // The first connection fills the queue; the next is left waiting.
    for (int i = 0; i < 2; ++i) {
      const int q = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(q, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      queued.push_back(q);
    }
  }
  ~DeafListener() {
    for (int q : queued) close(q);
    close(fd);
  }
};

struct OpenFaultCase {
  const char* name;
  const char* pszWords;  // what the log says of it
  int maxMs;             // how long the cold start may take
};

class GatewayOpenFaults : public GatewayTest, public ::testing::WithParamInterface<OpenFaultCase> {};

// A gateway that cannot be reached: the cold start fails with 2 within its
// bound and says why in words.
TEST_P(GatewayOpenFaults, SaysWhyWithinItsBound) {
  const OpenFaultCase& c = GetParam();
  DeafListener deaf;
  std::string address = "socket://127.0.0.1:" + std::to_string(FreePort());
  if (std::string(c.name) == "NoAnswer") address = "rfc2217://127.0.0.1:" + std::to_string(deaf.port);
  if (std::string(c.name) == "BadAddress") address = "socket://plc.example:502";
  const auto start = Clock::now();
  EXPECT_EQ(StartOn(address), 2);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(ms, c.maxMs);
  EXPECT_NE(testlog::Dump().find(c.pszWords), std::string::npos) << testlog::Dump();
}

INSTANTIATE_TEST_SUITE_P(Gateways, GatewayOpenFaults,
                         ::testing::Values(OpenFaultCase{"NothingListens", "Connection refused (ECONNREFUSED)", 1000},
                                           OpenFaultCase{"NoAnswer", "Connection timed out (ETIMEDOUT)", 6000},
                                           OpenFaultCase{"BadAddress", "HOST an IPv4 address or localhost", 1000}),
                         [](const ::testing::TestParamInfo<OpenFaultCase>& info) {
                           return std::string(info.param.name);
                         });

// A poll that crosses a two-second outage of the gateway: reads fail while it
// is down, each within its bound, and the poll resumes with good reads once
// it is back, without the host opening the port again. No write is sent
// twice.
TEST_P(GatewayKinds, APollRidesOutTheGatewaysRestart) {
  sim.SetHolding(0, 0x0042);
  ASSERT_EQ(StartOn(GetParam().bRfc2217 ? Rfc2217() : Raw()), 0) << testlog::Dump();
  const auto start = Clock::now();
  auto elapsed = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(); };
  int nGood = 0, nFailed = 0, nGoodAfter = 0;
  bool bDown = false, bBack = false;
  while (elapsed() < 5000) {
    if (!bDown && elapsed() > 500) {
      gateway->Stop();
      bDown = true;
    }
    if (!bBack && elapsed() > 2500) {
      ASSERT_TRUE(gateway->Start()) << gateway->Error();
      bBack = true;
    }
    uint16_t value = 0;
    const auto before = Clock::now();
    const int rc = ReadHalf("0140001", &value);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count(), 5000);
    ASSERT_TRUE(rc == 0 || rc == 2) << rc;
    if (rc == 0) {
      EXPECT_EQ(value, 0x0042);
    }
    nGood += rc == 0;
    nFailed += rc != 0;
    nGoodAfter = rc == 0 ? nGoodAfter + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GT(nGood, 10);
  EXPECT_GT(nFailed, 0);
  EXPECT_GT(nGoodAfter, 5) << "the poll resumed\n" << testlog::Dump();

  sim.ClearRequests();
  uint8_t out[4] = {0, 0, 0x07, 0x00};
  GateTransfer write = Gate("0140003", 0, 0, out);
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &write), 0) << testlog::Dump();
  EXPECT_EQ(sim.RequestCount(), 1u);
}

}  // namespace
