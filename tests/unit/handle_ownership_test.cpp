// Port handles and the context blocks they were opened for, over the
// scripted fake platform: handle values a context did not open are never
// closed nor reused, reopening never loses a handle, and the module holds
// SARN_MAX_OPEN_PORTS ports at once.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "platform/serial_platform.h"

namespace {

using testdrv::Frame;

class OwnershipTest : public testdrv::DriverFixture {
 protected:
  // A second context block, as a host that copies one or does not clear it.
  DriverContext other{};

  void SetUp() override {
    DriverFixture::SetUp();
    fakeplat::AddDevice("COM2");
  }

  ResultCode CallOn(DriverContext* pContext, int32_t iOpCode, void* pParam) {
    DriverRequest request{pContext, iOpCode, 0, 0, pParam};
    return SarnMain(&request);
  }

  static ColdStartParams Start(const char* pszPort) {
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", pszPort);
    params.bEnable = 1;
    params.iTimeout = 100;
    params.line = {9600, 7, 2, 2};
    return params;
  }

  static DriverParams Change(const char* pszPort, uint16_t wBaud) {
    DriverParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", pszPort);
    params.line = {wBaud, 8, 0, 0};
    return params;
  }
};

struct ForeignCase {
  const char* name;
  bool bCopy;  // a copy of ctx's block; otherwise a zeroed block holding ctx's handle value
  int32_t iOpCode;
  ResultCode result;
  const char* line;
};

void PrintTo(const ForeignCase& c, std::ostream* os) {
  *os << c.name;
}

class ForeignHandle : public OwnershipTest, public ::testing::WithParamInterface<ForeignCase> {};

// Every lifecycle operation on a block that names ctx's port leaves that
// port open and ctx's: the block is treated as having no port.
TEST_P(ForeignHandle, IsNeverClosedNorTakenForTheBlocksOwn) {
  const ForeignCase& c = GetParam();
  const SarnHandle hOwn = ctx.hCom;
  if (c.bCopy) {
    memcpy(&other, &ctx, sizeof other);
  } else {
    other.hCom = hOwn;
    other.bComOpen = 1;
    snprintf(other.port.szName, sizeof other.port.szName, "COM2");
    other.port.line = {9600, 8, 0, 0};
    other.port.wControl = 0x0303;
  }
  ColdStartParams start = Start("COM2");
  DriverParams change = Change("COM2", 0);
  void* pParam = c.iOpCode == SARN_OP_COLD_START           ? static_cast<void*>(&start)
                 : c.iOpCode == SARN_OP_CHANGE_SARN_PARAMS ? static_cast<void*>(&change)
                                                           : nullptr;
  if (c.bCopy) snprintf(other.port.szName, sizeof other.port.szName, "COM2");
  testlog::Clear();
  const int nCloses = fakeplat::CountCalls("Close");
  EXPECT_EQ(CallOn(&other, c.iOpCode, pParam), c.result) << testlog::Dump();
  sarn::bStopped = 0;  // after EndSarn: to see what became of ctx's port
  EXPECT_EQ(fakeplat::CountCalls("Close"), nCloses);
  EXPECT_NE(other.hCom, hOwn);
  EXPECT_EQ(testlog::Count(8, c.line), 1) << testlog::Dump();

  // ctx still reads through its own port, and closes it.
  EXPECT_EQ(ctx.hCom, hOwn);
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  fakeplat::QueueReply(Frame("0103021234"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(fakeplat::CountCalls("Close"), nCloses + 1);
  EXPECT_EQ(fakeplat::OpenHandleCount(), other.hCom != SarnHandle{} ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, ForeignHandle,
    ::testing::Values(ForeignCase{"CopiedColdStart", true, SARN_OP_COLD_START, 0,
                                  "SARNMD> ColdStart() port handle of another context left alone"},
                      ForeignCase{"UnclearedColdStart", false, SARN_OP_COLD_START, 0,
                                  "SARNMD> ColdStart() port handle of another context left alone"},
                      ForeignCase{"CopiedReOpenCom", true, SARN_OP_REOPEN_COM, 0,
                                  "SARNMD> ReOpenCom() port handle of another context left alone"},
                      ForeignCase{"UnclearedReOpenCom", false, SARN_OP_REOPEN_COM, 0,
                                  "SARNMD> ReOpenCom() port handle of another context left alone"},
                      ForeignCase{"CopiedChangeSarnParams", true, SARN_OP_CHANGE_SARN_PARAMS, 0,
                                  "SARNMD> ChangeSarnParams() port handle of another context left alone"},
                      ForeignCase{"UnclearedChangeSarnParams", false, SARN_OP_CHANGE_SARN_PARAMS, 0,
                                  "SARNMD> ChangeSarnParams() port handle of another context left alone"},
                      ForeignCase{"CopiedCloseCom", true, SARN_OP_CLOSE_COM, 0,
                                  "SARNMD> CloseCom() port handle of another context left alone"},
                      ForeignCase{"UnclearedEndSarn", false, SARN_OP_END_SARN, 0,
                                  "SARNMD> CloseCom() port handle of another context left alone"}),
    [](const ::testing::TestParamInfo<ForeignCase>& info) { return std::string(info.param.name); });

// A handle value the module never opened (garbage in an uncleared block) is
// not handed to the platform's close.
TEST_F(OwnershipTest, UnknownHandleValueIsNotClosed) {
  memset(&other.hCom, 0x77, sizeof other.hCom);  // garbage, on either handle type
  other.bComOpen = 1;
  const int nCloses = fakeplat::CountCalls("Close");
  ColdStartParams start = Start("COM2");
  EXPECT_EQ(CallOn(&other, SARN_OP_COLD_START, &start), 0);
  EXPECT_EQ(fakeplat::CountCalls("Close"), nCloses);
  EXPECT_EQ(CallOn(&other, SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(fakeplat::CountCalls("Close"), nCloses + 1);
}

// A close that fails keeps the handle the context's own: a later close of it
// goes through, and ReOpenCom opens nothing over it.
TEST_F(OwnershipTest, FailedCloseKeepsTheHandleOwned) {
  const SarnHandle hOwn = ctx.hCom;
  fakeplat::FailNext(fakeplat::Fail::Close);
  const int nOpens = fakeplat::CountCalls("Open");
  EXPECT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 2);
  EXPECT_EQ(ctx.hCom, hOwn);
  EXPECT_EQ(ctx.bComOpen, 1);
  EXPECT_EQ(fakeplat::CountCalls("Open"), nOpens);

  fakeplat::FailNext(fakeplat::Fail::Close);
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 2);
  EXPECT_EQ(ctx.hCom, hOwn);
  const int nCloses = fakeplat::CountCalls("Close");
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(fakeplat::CountCalls("Close"), nCloses + 1);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
}

// ChangeSarnParams ignores a failed close and opens the new port all the
// same; ColdStart starts afresh, logging the failure.
TEST_F(OwnershipTest, ChangeAndColdStartGoOnAfterAFailedClose) {
  fakeplat::FailNext(fakeplat::Fail::Close);
  DriverParams change = Change("COM2", 0);
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &change), 0);
  EXPECT_NE(ctx.hCom, SarnHandle{});

  // The device whose close failed may still be held: start on another one.
  fakeplat::AddDevice("COM3");
  fakeplat::FailNext(fakeplat::Fail::Close);
  testlog::Clear();
  EXPECT_EQ(ColdStart("COM3"), 0) << testlog::Dump();
  EXPECT_EQ(testlog::Count(32, "SARNMD> ColdStart() error closing COM port"), 1);
  EXPECT_NE(ctx.hCom, SarnHandle{});
}

struct ReopenCase {
  const char* name;
  const char* port;
};

void PrintTo(const ReopenCase& c, std::ostream* os) {
  *os << c.name;
}

class Reopen : public OwnershipTest, public ::testing::WithParamInterface<ReopenCase> {};

// Reopening an open port, many more times than the module holds ports,
// always succeeds and leaves one handle open; another context still starts.
TEST_P(Reopen, RepeatedReOpenComAndChangeSarnParamsLoseNoHandle) {
  const ReopenCase& c = GetParam();
  ASSERT_EQ(ColdStart(c.port), 0);
  for (int i = 0; i < sarn::kMaxOpenPorts + 44; ++i) {
    ASSERT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 0) << i << "\n" << testlog::Dump();
    DriverParams change = Change(c.port, i % 2 == 0 ? 19200 : 9600);
    ASSERT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &change), 0) << i << "\n" << testlog::Dump();
    ASSERT_EQ(fakeplat::OpenHandleCount(), 1) << i;
  }
  // The new line of the last change took effect on the device.
  if (std::string(c.port) != "NUL") {
    EXPECT_EQ(fakeplat::LastLine().dwBaudRate, 9600u);
  }
  ColdStartParams start = Start("COM2");
  EXPECT_EQ(CallOn(&other, SARN_OP_COLD_START, &start), 0);
  EXPECT_EQ(CallOn(&other, SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ports, Reopen,
                         ::testing::Values(ReopenCase{"NullDevice", "NUL"}, ReopenCase{"ExclusiveDevice", "COM1"}),
                         [](const ::testing::TestParamInfo<ReopenCase>& info) { return std::string(info.param.name); });

// The module holds SARN_MAX_OPEN_PORTS ports at once (at least 256); one
// more fails as a port that would not open, and closing one makes room.
TEST_F(OwnershipTest, ModuleHoldsTheDocumentedNumberOfPorts) {
  static_assert(SARN_MAX_OPEN_PORTS >= 256);
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  auto contexts = std::make_unique<DriverContext[]>(SARN_MAX_OPEN_PORTS + 1);
  ColdStartParams start = Start("NUL");
  for (int i = 0; i < SARN_MAX_OPEN_PORTS; ++i) {
    ASSERT_EQ(CallOn(&contexts[i], SARN_OP_COLD_START, &start), 0) << i;
  }
  DriverContext& last = contexts[SARN_MAX_OPEN_PORTS];
  testlog::Clear();
  EXPECT_EQ(CallOn(&last, SARN_OP_COLD_START, &start), 2);
  EXPECT_EQ(testlog::Count(32, "SARNMD> ColdStart() error opening COM port"), 1);
  EXPECT_EQ(fakeplat::OpenHandleCount(), SARN_MAX_OPEN_PORTS);  // the refused one was closed again

  ASSERT_EQ(CallOn(&contexts[7], SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(CallOn(&last, SARN_OP_COLD_START, &start), 0);
  for (int i = 0; i <= SARN_MAX_OPEN_PORTS; ++i) EXPECT_EQ(CallOn(&contexts[i], SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
}

}  // namespace
