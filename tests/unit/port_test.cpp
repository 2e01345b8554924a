// The serial port layer over the scripted fake platform.
#include "link/port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/serial_platform.h"
#include "support/fake_platform.h"
#include "support/open_settings.h"

namespace {

using fakeplat::Fail;
using sarn::kNoHandle;

constexpr LineSettings k9600_7E2{9600, 7, 2, 2};

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
  }

  // Opens COM1 with the settings ColdStart uses; the port is at 1000 ms.
  SarnHandle OpenCom1() {
    SarnHandle hCom = kNoHandle;
    EXPECT_EQ(sarn::PortOpen("COM1", &k9600_7E2, 0x0303, &hCom), 0);
    EXPECT_NE(hCom, kNoHandle);
    return hCom;
  }

  static std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const auto& call : fakeplat::Calls()) names.push_back(call.name);
    return names;
  }

  static std::vector<int64_t> ArgsOf(const std::string& name) {
    std::vector<int64_t> args;
    for (const auto& call : fakeplat::Calls())
      if (call.name == name) args.push_back(call.arg);
    return args;
  }
};

TEST_F(PortTest, OpenFailuresReturnTheirCodeAndLeaveNoHandleOpen) {
  struct Case {
    const char* pszWhat;
    Fail fail;
    int iExpected;
  };
  const Case cases[] = {
      {"open", Fail::Open, 1},
      {"read line", Fail::GetLine, 4},
      {"set read time-out", Fail::SetReadTimeout, 1},
      {"set line", Fail::SetLine, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszWhat);
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    fakeplat::FailNext(c.fail);
    SarnHandle hCom = kNoHandle;
    EXPECT_EQ(sarn::PortOpen("COM1", &k9600_7E2, 0x0303, &hCom), c.iExpected);
    EXPECT_EQ(hCom, kNoHandle);
    EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
    // Once the failure is used up the same port opens.
    PortSettings settings{"COM1", k9600_7E2, 0x0303};
    SarnHandle hAgain = testsupport::OpenSettings(&settings);
    EXPECT_NE(hAgain, kNoHandle);
    EXPECT_EQ(sarn::PortClose(hAgain), 0);
  }
}

TEST_F(PortTest, UnknownOrBusyPortsAndOverlongNamesDoNotOpen) {
  PortSettings unknown{"COM9", k9600_7E2, 0x0303};
  EXPECT_EQ(testsupport::OpenSettings(&unknown), kNoHandle);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 0);

  SarnHandle hCom = OpenCom1();
  PortSettings busy{"COM1", k9600_7E2, 0x0303};
  EXPECT_EQ(testsupport::OpenSettings(&busy), kNoHandle);
  EXPECT_EQ(fakeplat::OpenHandleCount(), 1);
  EXPECT_EQ(sarn::PortClose(hCom), 0);
  EXPECT_EQ(sarn::PortClose(hCom), 7) << "closing twice";

  // Eleven characters fit; a field of 12 without a terminator is refused
  // before the platform sees it, so no shortened name is ever opened.
  fakeplat::AddDevice("ABCDEFGHIJK");
  fakeplat::AddDevice("ABCDEFGHIJKL");
  PortSettings eleven{"ABCDEFGHIJK", k9600_7E2, 0x0303};
  hCom = testsupport::OpenSettings(&eleven);
  EXPECT_NE(hCom, kNoHandle);
  sarn::PortClose(hCom);
  PortSettings twelve;
  memcpy(twelve.szName, "ABCDEFGHIJKL", 12);
  twelve.line = k9600_7E2;
  twelve.wControl = 0x0303;
  int iOpens = fakeplat::CountCalls("Open");
  EXPECT_EQ(testsupport::OpenSettings(&twelve), kNoHandle);
  EXPECT_EQ(sarn::PortOpen("ABCDEFGHIJKLMNOP", &k9600_7E2, 0x0303, &hCom), 1);
  EXPECT_EQ(hCom, kNoHandle);
  EXPECT_EQ(fakeplat::CountCalls("Open"), iOpens);
}

TEST_F(PortTest, OpenReadsTheLineThenSetsTheTimeoutAndTheLine) {
  sarn::PlatLine odd;
  odd.dwBaudRate = 300;
  odd.cDtrMode = sarn::kDtrHandshake;
  odd.cRtsMode = sarn::kRtsToggle;
  fakeplat::SetInitialLine(odd);

  SarnHandle hCom = kNoHandle;
  const LineSettings line{19200, 0x0107, 0x0102, 0x0203};  // only the low bytes count
  ASSERT_EQ(sarn::PortOpen("COM1", &line, 0x0303, &hCom), 0);

  EXPECT_EQ(CallNames(), (std::vector<std::string>{"Open", "GetLine", "SetReadTimeout", "SetLine"}));
  sarn::PlatLine s = fakeplat::LastLine();
  EXPECT_EQ(s.dwBaudRate, 19200u);
  EXPECT_EQ(s.cByteSize, 7);
  EXPECT_EQ(s.cStopBits, 2);
  EXPECT_EQ(s.cParity, 3);
  EXPECT_EQ(s.cDtrMode, sarn::kDtrEnable);
  EXPECT_EQ(s.cRtsMode, sarn::kRtsEnable);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u);
}

TEST_F(PortTest, ControlWordSelectsDtrAndRtsModes) {
  struct Case {
    uint16_t wControl;
    uint8_t cDtr;
    uint8_t cRts;
  };
  const Case cases[] = {
      {0x0303, sarn::kDtrEnable, sarn::kRtsEnable},     {0x8000, sarn::kDtrHandshake, sarn::kRtsDisable},
      {0x3000, sarn::kDtrDisable, sarn::kRtsHandshake}, {0x0100, sarn::kDtrEnable, sarn::kRtsDisable},
      {0x0001, sarn::kDtrEnable, sarn::kRtsDisable},    {0x8101, sarn::kDtrEnable, sarn::kRtsDisable},
      {0x2000, sarn::kDtrDisable, sarn::kRtsToggle},    {0x1202, sarn::kDtrDisable, sarn::kRtsEnable},
      {0x0000, sarn::kDtrDisable, sarn::kRtsDisable},   {0x0200, sarn::kDtrDisable, sarn::kRtsEnable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "wControl 0x" << std::hex << c.wControl);
    SarnHandle hCom = kNoHandle;
    ASSERT_EQ(sarn::PortOpen("COM1", &k9600_7E2, c.wControl, &hCom), 0);
    EXPECT_EQ(fakeplat::LastLine().cDtrMode, c.cDtr);
    EXPECT_EQ(fakeplat::LastLine().cRtsMode, c.cRts);
    sarn::PortClose(hCom);
  }
}

TEST_F(PortTest, NulOpensWithoutConfigurationAndNeverDeliversInput) {
  SarnHandle hCom = kNoHandle;
  ASSERT_EQ(sarn::PortOpen("NUL", &k9600_7E2, 0x0303, &hCom), 0);
  EXPECT_EQ(CallNames(), std::vector<std::string>{"Open"});

  uint32_t dwWritten = 0;
  EXPECT_EQ(sarn::PortWrite(hCom, "abc", 3, &dwWritten), 0);
  EXPECT_EQ(dwWritten, 3u);
  char buf[8];
  uint32_t dwRead = 99;
  EXPECT_EQ(sarn::PortRead(hCom, buf, 5, &dwRead), 7);
  EXPECT_EQ(dwRead, 0u);
  EXPECT_EQ(fakeplat::NowMs(), 0u);
  EXPECT_EQ(sarn::PortClose(hCom), 0);

  // The name is compared exactly: "nul" is an ordinary port.
  fakeplat::AddDevice("nul");
  ASSERT_EQ(sarn::PortOpen("nul", &k9600_7E2, 0x0303, &hCom), 0);
  EXPECT_EQ(fakeplat::CountCalls("SetLine"), 1);
}

TEST_F(PortTest, SetTimeoutReturnsThePreviousValueInTenMillisecondUnits) {
  SarnHandle hCom = OpenCom1();
  int iSetsAfterOpen = fakeplat::CountCalls("SetReadTimeout");

  EXPECT_EQ(sarn::PortSetTimeout(hCom, 100), 100);
  EXPECT_EQ(fakeplat::CountCalls("SetReadTimeout"), iSetsAfterOpen) << "value already in place: nothing written";

  EXPECT_EQ(sarn::PortSetTimeout(hCom, 30), 100);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 300u);
  EXPECT_EQ(sarn::PortSetTimeout(hCom, 0), 30);
  EXPECT_EQ(sarn::PortSetTimeout(hCom, 7), 0) << "previous 0 ms reads as 0";

  fakeplat::FailNext(Fail::GetReadTimeout);
  EXPECT_EQ(sarn::PortSetTimeout(hCom, 50), 0);
  fakeplat::FailNext(Fail::SetReadTimeout);
  EXPECT_EQ(sarn::PortSetTimeout(hCom, 50), 0);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 70u) << "a failed set leaves the time-outs";

  // Out-of-range values are clamped, never wrapped round into a short time-out.
  sarn::PortSetTimeout(hCom, INT32_MAX);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), UINT32_MAX);
  sarn::PortSetTimeout(hCom, -5);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 0u);
}

TEST_F(PortTest, FlushDrainsWaitingInputInChunksAndRestoresTheTimeout) {
  SarnHandle hCom = OpenCom1();
  fakeplat::InjectInput(std::string(1300, 'x'));
  size_t firstCall = fakeplat::Calls().size();

  EXPECT_EQ(sarn::PortFlushInput(hCom), 0);
  EXPECT_EQ(fakeplat::PendingInput(), 0u);
  EXPECT_EQ(ArgsOf("Read"), (std::vector<int64_t>{512, 512, 512}));
  EXPECT_EQ(ArgsOf("SetReadTimeout"), (std::vector<int64_t>{1000, 50, 1000}));
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u);
  // The last, short read waited out the 50 ms flush time-out.
  EXPECT_EQ(fakeplat::NowMs(), 50u);
  EXPECT_GT(fakeplat::Calls().size(), firstCall);

  // Nothing waiting: one status query and nothing else.
  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  hCom = OpenCom1();
  size_t before = fakeplat::Calls().size();
  EXPECT_EQ(sarn::PortFlushInput(hCom), 0);
  auto calls = fakeplat::Calls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_EQ(calls.back().name, "GetQueues");
}

TEST_F(PortTest, FlushFailuresAndFallbacks) {
  SarnHandle hCom = OpenCom1();

  // Status query fails: drain anyway.
  fakeplat::FailNext(Fail::GetQueues);
  fakeplat::InjectInput("abc");
  EXPECT_EQ(sarn::PortFlushInput(hCom), 0);
  EXPECT_EQ(fakeplat::CountCalls("Read"), 1);
  EXPECT_EQ(fakeplat::PendingInput(), 0u);

  // The read fails: 1, and the time-out is restored all the same.
  fakeplat::InjectInput("abc");
  fakeplat::FailNext(Fail::Read);
  EXPECT_EQ(sarn::PortFlushInput(hCom), 1);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 1000u);

  // A previous time-out of 0 cannot be told from a failure: the port keeps 50 ms.
  sarn::PortSetTimeout(hCom, 0);
  fakeplat::InjectInput("abc");
  EXPECT_EQ(sarn::PortFlushInput(hCom), 0);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), 50u);
}

TEST_F(PortTest, WriteReportsShortAndFailedWrites) {
  SarnHandle hCom = OpenCom1();
  uint32_t dwWritten = 99;
  EXPECT_EQ(sarn::PortWrite(hCom, "0123456789", 10, &dwWritten), 0);
  EXPECT_EQ(dwWritten, 10u);
  EXPECT_EQ(sarn::PortWrite(hCom, "0123456789", 10, nullptr), 0);

  fakeplat::SetNextWriteShort(4);
  EXPECT_EQ(sarn::PortWrite(hCom, "0123456789", 10, &dwWritten), 2);
  EXPECT_EQ(dwWritten, 4u);

  dwWritten = 99;
  fakeplat::FailNext(Fail::Write);
  EXPECT_EQ(sarn::PortWrite(hCom, "0123456789", 10, &dwWritten), 7);
  EXPECT_EQ(dwWritten, 99u) << "left untouched on failure";
  EXPECT_EQ(fakeplat::Writes(), (std::vector<std::string>{"0123456789", "0123456789", "0123"}));
}

TEST_F(PortTest, ReadCollectsTheCountAcrossPieces) {
  SarnHandle hCom = OpenCom1();
  char buf[16] = {};
  uint32_t dwRead = 0;

  // 5 at once, 7 more within the time-out.
  sarn::PortWrite(hCom, "?", 1, nullptr);
  fakeplat::QueueReply({{"01234", 0}, {"5678901", 600}});
  sarn::PortWrite(hCom, "?", 1, nullptr);
  EXPECT_EQ(sarn::PortRead(hCom, buf, 12, &dwRead), 0);
  EXPECT_EQ(dwRead, 12u);
  EXPECT_EQ(std::string(buf, 12), "012345678901");
  EXPECT_EQ(fakeplat::NowMs(), 600u);

  // Only 5 arrive: 7 with the 5 counted, after the time-out has run out.
  fakeplat::QueueReply("abcde");
  sarn::PortWrite(hCom, "?", 1, nullptr);
  uint64_t start = fakeplat::NowMs();
  EXPECT_EQ(sarn::PortRead(hCom, buf, 12, &dwRead), 7);
  EXPECT_EQ(dwRead, 5u);
  EXPECT_GE(fakeplat::NowMs() - start, 1000u);

  // A reply that trickles in is complete as long as each piece comes within
  // one time-out of the read that waits for it; each read asks for the rest.
  fakeplat::QueueReply({{"ab", 900}, {"cd", 1800}, {"ef", 2700}});
  sarn::PortWrite(hCom, "?", 1, nullptr);
  size_t firstRead = ArgsOf("Read").size();
  EXPECT_EQ(sarn::PortRead(hCom, buf, 6, &dwRead), 0);
  EXPECT_EQ(dwRead, 6u);
  auto asks = ArgsOf("Read");
  EXPECT_EQ(std::vector<int64_t>(asks.begin() + firstRead, asks.end()), (std::vector<int64_t>{6, 4, 2}));

  // A failing read: 7, with what came before it counted.
  fakeplat::InjectInput("xyz");
  fakeplat::FailNext(Fail::Read, 2);
  EXPECT_EQ(sarn::PortRead(hCom, buf, 4, &dwRead), 7);
  EXPECT_EQ(dwRead, 0u);
  EXPECT_EQ(sarn::PortRead(hCom, buf, 4, nullptr), 7);
}

// The fake's own script, which the tests of the upper layers lean on.
TEST_F(PortTest, FakeScriptsRepliesQueuesAndTime) {
  SarnHandle hCom = OpenCom1();

  // Replies answer writes in order; a write with no reply gets nothing.
  fakeplat::QueueReply("first", 10);
  fakeplat::QueueNoReply();
  fakeplat::QueueReply({{"th", 5}, {"ird", 2000}});
  sarn::PortWrite(hCom, "1", 1, nullptr);
  sarn::PortWrite(hCom, "2", 1, nullptr);
  sarn::PortWrite(hCom, "3", 1, nullptr);
  EXPECT_EQ(fakeplat::PendingInput(), 10u);
  EXPECT_EQ(fakeplat::ArrivedInput(), 0u);

  // cbInQue counts only what has arrived; cbOutQue follows its sequence.
  fakeplat::SetOutQueueSequence({3, 1});
  sarn::PlatQueues status;
  std::vector<uint32_t> outs;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(sarn::PlatGetQueues(hCom, &status));
    outs.push_back(status.cbOutQue);
  }
  EXPECT_EQ(outs, (std::vector<uint32_t>{3, 1, 0}));
  sarn::PlatSleep(9);
  ASSERT_TRUE(sarn::PlatGetQueues(hCom, &status));
  EXPECT_EQ(status.cbInQue, 2u) << "\"th\" at 5 ms";
  sarn::PlatSleep(1);
  ASSERT_TRUE(sarn::PlatGetQueues(hCom, &status));
  EXPECT_EQ(status.cbInQue, 7u) << "and \"first\" at 10 ms";

  // With the read time-out 0 a read takes what has arrived and returns at
  // once: no read waits without a deadline.
  ASSERT_TRUE(sarn::PlatSetReadTimeout(hCom, 0));
  char buf[32];
  uint32_t dwRead = 0;
  ASSERT_TRUE(sarn::PlatRead(hCom, buf, 32, &dwRead));
  EXPECT_EQ(std::string(buf, dwRead), "thfirst");
  ASSERT_TRUE(sarn::PlatRead(hCom, buf, 32, &dwRead));
  EXPECT_EQ(dwRead, 0u);
  EXPECT_EQ(fakeplat::NowMs(), 10u);
  sarn::PlatSleep(1990);
  ASSERT_TRUE(sarn::PlatRead(hCom, buf, 32, &dwRead));
  EXPECT_EQ(std::string(buf, dwRead), "ird");
  EXPECT_EQ(sarn::PlatNowMs(), 2000u);
}

}  // namespace
