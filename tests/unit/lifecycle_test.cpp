// Lifecycle operations over the scripted fake platform.
#include <gtest/gtest.h>

#include <cctype>

#include "support/driver_fixture.h"

namespace {

class LifecycleTest : public testdrv::DriverFixture {
 protected:
  DriverParams Change(const char* pszPort, int32_t iTimeout, uint16_t wBaud) {
    DriverParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", pszPort);
    params.iTimeout = iTimeout;
    params.line = {wBaud, 8, 0, 0};
    return params;
  }
};

TEST_F(LifecycleTest, ColdStartOpensTheDefaultLineAndAppliesTheTimeout) {
  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  memset(&ctx, 0, sizeof ctx);
  ctx.bWriting = 1;
  testlog::Clear();
  ASSERT_EQ(ColdStart("COM1", 1, 30), 0);
  EXPECT_NE(ctx.hCom, SarnHandle{});
  EXPECT_EQ(ctx.bComOpen, 1);
  EXPECT_EQ(ctx.bWriting, 0);
  EXPECT_STREQ(ctx.port.szName, "COM1");
  EXPECT_EQ(ctx.port.wControl, 0x0303);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 300u);
  const sarn::PlatLine line = fakeplat::LastLine();
  EXPECT_EQ(line.dwBaudRate, 9600u);
  EXPECT_EQ(line.cByteSize, 7);
  EXPECT_EQ(line.cParity, 2);
  EXPECT_EQ(line.cStopBits, 2);
  ASSERT_FALSE(testlog::Lines().empty());
  EXPECT_EQ(testlog::Lines()[0].iLevel, 8);
  // "SARNMD> version compiled on Nov 23 2004 at time 10:57:19", with this build's date and time.
  const std::string version = testlog::Lines()[0].text;
  const std::string prefix = "SARNMD> version compiled on ";
  ASSERT_EQ(version.size(), prefix.size() + 11 + 9 + 8) << version;
  EXPECT_EQ(version.substr(0, prefix.size()), prefix);
  EXPECT_EQ(version.substr(prefix.size(), 11), __DATE__);
  EXPECT_EQ(version.substr(prefix.size() + 11, 9), " at time ");
  const std::string time = version.substr(prefix.size() + 20);
  EXPECT_TRUE(time[2] == ':' && time[5] == ':' && isdigit(time[0]) && isdigit(time[7])) << version;
  EXPECT_EQ(testlog::Count(32, "SARNMD> ModBus/GTC 32bit driver installed"), 1);
  EXPECT_EQ(testlog::Count(32, "SARNMD> Protocol = Modbus"), 1);
}

TEST_F(LifecycleTest, ColdStartWithoutCommunicationOpensNothing) {
  memset(&ctx.port, 0x41, sizeof ctx.port);
  fakeplat::Reset();
  ASSERT_EQ(ColdStart("COM1", 0), 0);
  EXPECT_EQ(ctx.hCom, SarnHandle{});
  EXPECT_EQ(ctx.bComOpen, 0);
  EXPECT_STREQ(ctx.port.szName, "");
  EXPECT_EQ(ctx.port.wControl, 0x0303);
  EXPECT_EQ(fakeplat::CountCalls("Open"), 0);
  GateTransfer t{};
  uint32_t cell = 0;
  t.pData = &cell;
  t.pszName = "0140001";
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
}

TEST_F(LifecycleTest, FailedOpenKeepsTheEnableValue) {
  testlog::Clear();
  ASSERT_EQ(ColdStart("COM9", 5), 2);
  EXPECT_EQ(ctx.bComOpen, 5);
  EXPECT_EQ(ctx.hCom, SarnHandle{});
  EXPECT_EQ(testlog::Count(32, "SARNMD> ColdStart() error opening COM port"), 1);
  const int iQueries = fakeplat::CountCalls("GetQueues");
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_WARM_START, nullptr), 0);
  EXPECT_EQ(testlog::Count(8, "SARNMD> WarmStart()"), 1);
  EXPECT_EQ(fakeplat::CountCalls("GetQueues"), iQueries);
}

TEST_F(LifecycleTest, OverlongPortNameIsRefusedNotCut) {
  fakeplat::AddDevice("COM12345678");
  ColdStartParams params{};
  memcpy(params.szPort, "COM123456789", 12);  // twelve characters, no terminator
  params.bEnable = 1;
  params.iTimeout = 100;
  params.line = {9600, 7, 2, 2};
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  const int iOpens = fakeplat::CountCalls("Open");
  EXPECT_EQ(Call(SARN_OP_COLD_START, &params), 2);
  EXPECT_EQ(fakeplat::CountCalls("Open"), iOpens);
  EXPECT_EQ(testlog::Count(32, "SARNMD> ColdStart() error opening COM port"), 1);
}

TEST_F(LifecycleTest, RepeatedColdStartClosesTheEarlierPortFirst) {
  ASSERT_EQ(fakeplat::OpenHandleCount(), 1);
  EXPECT_EQ(ColdStart("COM1"), 0);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
  EXPECT_NE(ctx.hCom, SarnHandle{});
}

TEST_F(LifecycleTest, ChangeKeepsTimeoutAndLineWhenAskedTo) {
  const LineSettings line = ctx.port.line;
  for (int32_t iKeep : {0, -1}) {
    DriverParams params = Change("COM2", iKeep, 0);
    fakeplat::AddDevice("COM2");
    EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0);
    EXPECT_EQ(ctx.iTimeout, 100);
    EXPECT_STREQ(ctx.port.szName, "COM2");
    EXPECT_EQ(memcmp(&ctx.port.line, &line, sizeof line), 0);
    EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u);
    ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  }
  DriverParams params = Change("COM1", 20, 19200);
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0);
  EXPECT_EQ(ctx.iTimeout, 20);
  EXPECT_EQ(ctx.port.line.wBaud, 19200);
  EXPECT_EQ(ctx.port.wControl, 0x0303);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 200u);
}

TEST_F(LifecycleTest, ChangeToAMissingPortLeavesTheOldOneClosed) {
  DriverParams params = Change("COM7", 0, 0);
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 2);
  EXPECT_EQ(ctx.hCom, SarnHandle{});
  EXPECT_EQ(ctx.bComOpen, 0);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
  EXPECT_STREQ(ctx.port.szName, "COM7");
  EXPECT_EQ(testlog::Count(32, "SARNMD> ChangeSarnParams() open new COM port failed"), 1);
}

// The open port is closed first, so the exclusive device opens again with
// the new line and no handle is left behind.
TEST_F(LifecycleTest, SamePortWhileOpenIsClosedFirstAndOpensAgain) {
  const int nOpens = fakeplat::CountCalls("Open");
  DriverParams params = Change("COM1", 0, 19200);
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::CountCalls("Close"), 1);
  EXPECT_EQ(fakeplat::CountCalls("Open"), nOpens + 1);
  EXPECT_EQ(fakeplat::LastLine().dwBaudRate, 19200u);
  EXPECT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 0);
  EXPECT_EQ(ctx.bComOpen, 1);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
}

TEST_F(LifecycleTest, CloseAndReopenUseThePortDefaultTimeout) {
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(ctx.bComOpen, 0);
  EXPECT_EQ(ctx.hCom, SarnHandle{});
  ctx.bComOpen = 3;
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);  // nothing open: nothing changes
  EXPECT_EQ(ctx.bComOpen, 3);
  ASSERT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 0);
  EXPECT_EQ(ctx.bComOpen, 1);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u);
  EXPECT_TRUE(testlog::Lines().empty());
}

TEST_F(LifecycleTest, CloseFailureKeepsTheHandle) {
  const SarnHandle hOld = ctx.hCom;
  fakeplat::FailNext(fakeplat::Fail::Close);
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 2);
  EXPECT_EQ(ctx.hCom, hOld);
  EXPECT_EQ(ctx.bComOpen, 1);
}

TEST_F(LifecycleTest, EndSarnStopsTheModuleEvenWhenTheCloseFails) {
  fakeplat::FailNext(fakeplat::Fail::Close);
  EXPECT_EQ(Call(SARN_OP_END_SARN, nullptr), 2);
  EXPECT_EQ(testlog::IndexOf("SARNMD> EndSarn() error closing COM port"), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> EndSarn()"), 1);
  EXPECT_EQ(testlog::Lines()[0].iLevel, 32);
  // Every request on every context now answers 0 and does nothing.
  DriverContext other{};
  ColdStartParams params{};
  DriverRequest request{&other, SARN_OP_COLD_START, 0, 0, &params};
  testlog::Clear();
  EXPECT_EQ(SarnMain(&request), 0);
  EXPECT_TRUE(testlog::Lines().empty());
  EXPECT_EQ(other.cBase, 0);
}

}  // namespace

namespace {

class TimeoutTest : public LifecycleTest {};

TEST_F(TimeoutTest, ZeroOrNegativeTimeoutKeepsThePortDefaultInsteadOfWaitingForever) {
  for (int32_t iTimeout : {0, -1, -100, INT32_MIN}) {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    ASSERT_EQ(ColdStart("COM1", 1, iTimeout), 0);
    EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u) << iTimeout;
    DriverParams params = Change("COM2", iTimeout == 0 || iTimeout == -1 ? -7 : iTimeout, 0);
    fakeplat::AddDevice("COM2");
    ASSERT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 0);
    EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u) << iTimeout;
  }
}

}  // namespace
