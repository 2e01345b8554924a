// The frame layer over the scripted fake platform: LRC, Send and Receive.
#include "link/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "link/port.h"
#include "support/fake_platform.h"
#include "support/open_settings.h"
#include "support/test_log.h"

namespace {

class FrameTest : public ::testing::Test {
 protected:
  DriverContext ctx{};
  sarn::PortHold held;    // the port the frames go over, with no ledger
  bool bWriting = false;  // the request in txBuf is a write, answered by its echo

  void SetUp() override {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    testlog::Clear();
    PortSettings port{};
    strcpy(port.szName, "COM1");
    port.line = {9600, 7, 2, 2};
    port.wControl = 0x0303;
    ctx.hCom = testsupport::OpenSettings(&port);
    ASSERT_NE(ctx.hCom, SarnHandle{});
    sarn::PortSetTimeout(ctx.hCom, 100);
    ctx.bComOpen = 1;
    held.hCom = ctx.hCom;
  }

  // Puts a read request for function `fn` in txBuf, as the transactions do.
  void Request(const char* pszText) { strcpy(ctx.txBuf, pszText); }

  // The reply the request in txBuf asks for, read from its text here as the
  // transactions know it when they build the request.
  sarn::ExpectedReply Expected() const {
    sarn::ExpectedReply expected;
    auto field = [&](int pos, int n) { return std::stoul(std::string(ctx.txBuf + pos, n), nullptr, 16); };
    expected.cController = static_cast<uint8_t>(field(1, 2));
    expected.cFunction = static_cast<uint8_t>(field(3, 2));
    expected.bEcho = bWriting;
    expected.wEchoField = static_cast<uint16_t>(field(5, 4));
    expected.wEchoValue = static_cast<uint16_t>(field(9, 4));
    expected.wByteCount =
        static_cast<uint16_t>(expected.cFunction <= 2 ? (expected.wEchoValue + 7) / 8 : 2 * expected.wEchoValue);
    expected.pszGate = "0140001";
    return expected;
  }

  // Reads a reply as ReceiveReply does, without its content checks.
  sarn::Fault ReceiveFrame(const std::string& reply, int* pRead) {
    if (!reply.empty()) fakeplat::InjectInput(reply);
    const sarn::ExpectedReply expected = Expected();
    sarn::ReplyHead head;
    const sarn::Fault fault = sarn::ReceiveFrame(&held, &expected, ctx.rxBuf, &head);
    *pRead = head.iLen;
    return fault;
  }

  sarn::Fault ReceiveReply(const std::string& reply) {
    fakeplat::InjectInput(reply);
    const sarn::ExpectedReply expected = Expected();
    sarn::ReplyHead head;
    return sarn::ReceiveReply(&held, &expected, ctx.rxBuf, &head);
  }
};

TEST_F(FrameTest, LrcIsTheTwosComplementOfTheByteSum) {
  EXPECT_EQ(sarn::CalcLrc("", 0), 0);
  EXPECT_EQ(sarn::CalcLrc("01030000000A", 12), 0xF2);
  EXPECT_EQ(sarn::CalcLrc("0103020005", 10), 0xF5);
  EXPECT_EQ(sarn::CalcLrc("010302abcd", 10), sarn::CalcLrc("010302ABCD", 10));
  EXPECT_EQ(sarn::CalcLrc("FF01", 4), 0x00);  // sum wraps to 0
}

TEST_F(FrameTest, SendCompletesTheFrameAndTransmitsLenPlusTwo) {
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  ASSERT_EQ(fakeplat::Writes().size(), 1u);
  EXPECT_EQ(fakeplat::Writes()[0], ":01030000000AF2\r\n");
  EXPECT_EQ(ctx.txBuf[17], '\0');
  EXPECT_EQ(fakeplat::CountCalls("Sleep"), 0);      // no inter-frame gap
  EXPECT_EQ(fakeplat::CountCalls("SetRts"), 0);     // RTS untouched
  EXPECT_EQ(fakeplat::CountCalls("GetQueues"), 1);  // the flush's queue query only
  EXPECT_EQ(fakeplat::CountCalls("Read"), 0);
}

TEST_F(FrameTest, SendWaitsTheInterFrameGapAndDiscardsStaleInputFirst) {
  ctx.iIfg = 20;
  fakeplat::InjectInput(":0103020005F5\r\n");
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  const size_t nFirst = fakeplat::Calls().size();
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  std::vector<std::string> order;
  const auto calls = fakeplat::Calls();
  for (size_t i = nFirst; i < calls.size(); ++i) {
    if (calls[i].name == "Sleep") order.push_back("Sleep" + std::to_string(calls[i].arg));
    if (calls[i].name == "Read" || calls[i].name == "Write") order.push_back(calls[i].name);
  }
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order.front(), "Sleep20");
  EXPECT_EQ(order[1], "Read");
  EXPECT_EQ(order.back(), "Write");
  EXPECT_EQ(fakeplat::PendingInput(), 0u);
}

TEST_F(FrameTest, RtsIsLoweredOnlyAfterTheOutputQueueIsReportedEmpty) {
  ctx.cRtsCts = 1;
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  fakeplat::SetOutQueueSequence({0 /* the flush's query */, 9, 3});
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  std::vector<std::string> seq;
  for (const auto& call : fakeplat::Calls()) {
    if (call.name == "SetRts") seq.push_back(call.arg == 1 ? "SETRTS" : "CLRRTS");
    if (call.name == "Write" || call.name == "GetQueues") seq.push_back(call.name);
    if (call.name == "Sleep") seq.push_back("Sleep" + std::to_string(call.arg));
  }
  const std::vector<std::string> expected = {"GetQueues", "SETRTS", "Write",     "GetQueues", "Sleep1",
                                             "GetQueues", "Sleep1", "GetQueues", "Sleep1",    "CLRRTS"};
  EXPECT_EQ(seq, expected);
}

TEST_F(FrameTest, RtsFailuresAreLoggedAndTheFrameStillGoesOut) {
  ctx.cRtsCts = 1;
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  fakeplat::FailNext(fakeplat::Fail::SetRts, 2);
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  EXPECT_EQ(testlog::Count(8, "SARNMD> Send() EscapeCommFunction() failed"), 2);
  EXPECT_EQ(fakeplat::Writes().size(), 1u);
}

TEST_F(FrameTest, PortFailuresAreFollowedByWhatTheSystemSaidOfThem) {
  ctx.cRtsCts = 1;
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  fakeplat::SetFailureText("TIOCMBIS (RTS on): Inappropriate ioctl for device (ENOTTY)");
  fakeplat::FailNext(fakeplat::Fail::SetRts, 1);
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  const auto lines = testlog::Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "SARNMD> Send() EscapeCommFunction() failed");
  EXPECT_EQ(lines[1].text,
            "SARNMD> Send() the system says: TIOCMBIS (RTS on): Inappropriate ioctl for device (ENOTTY)");
  EXPECT_EQ(lines[1].iLevel, 8);
  EXPECT_EQ(lines.size(), 2u) << "the lowering succeeded: nothing more";
}

TEST_F(FrameTest, StatusQueryFailureStopsTheWaitAndStillLowersRts) {
  ctx.cRtsCts = 1;
  strcpy(ctx.txBuf, ":01030000000A\r\n");
  // The flush's query and the first query of the wait fail.
  fakeplat::SetOutQueueSequence({5, 5, 5, 5});
  fakeplat::FailNext(fakeplat::Fail::GetQueues, 2);
  ASSERT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNone);
  EXPECT_EQ(testlog::Count(8, "SARNMD> Send() ClearCommError() failed"), 1);
  EXPECT_EQ(fakeplat::Calls().back().name, "SetRts");
  EXPECT_EQ(fakeplat::Calls().back().arg, 0);
}

TEST_F(FrameTest, ShortOrFailedWritesAreReportedWith2) {
  for (bool bFail : {false, true}) {
    testlog::Clear();
    strcpy(ctx.txBuf, ":01030000000A\r\n");
    if (bFail) {
      fakeplat::FailNext(fakeplat::Fail::Write);
    } else {
      fakeplat::SetNextWriteShort(10);
    }
    EXPECT_EQ(sarn::Send(&ctx, &held, sarn::RequestWriter{ctx.txBuf, 13}), sarn::Fault::kNotSent);
    EXPECT_EQ(testlog::Count(8, "SARNMD> SEND> Unable to send message."), 1);
  }
}

struct ReceiveCase {
  const char* name;
  const char* request;  // txBuf
  bool bWriting;
  std::string reply;
  sarn::Fault result;
  int read;
  const char* message;  // expected log line, or nullptr for none
  bool terminated;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ReceiveCase& c, std::ostream* os) {
  *os << c.name;
}

class ReceiveTable : public FrameTest, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(ReceiveTable, ResultCountAndMessage) {
  const ReceiveCase& c = GetParam();
  Request(c.request);
  bWriting = c.bWriting;
  memset(ctx.rxBuf, 'x', sizeof ctx.rxBuf);
  int iRead = -1;
  EXPECT_EQ(ReceiveFrame(c.reply, &iRead), c.result) << testlog::Dump();
  EXPECT_EQ(iRead, c.read);
  if (c.message != nullptr) {
    EXPECT_EQ(testlog::Count(8, c.message), 1) << testlog::Dump();
  } else {
    EXPECT_TRUE(testlog::Lines().empty()) << testlog::Dump();
  }
  if (c.terminated) {
    EXPECT_EQ(ctx.rxBuf[iRead], '\0');
    EXPECT_EQ(std::string(ctx.rxBuf), c.reply);
  } else {
    EXPECT_EQ(memchr(ctx.rxBuf, '\0', sizeof ctx.rxBuf), nullptr);
  }
}

using F = sarn::Fault;

const char* const kRead3 = ":010300000001FB\r\n";
const char* const kWrite6 = ":010600001234B3\r\n";

INSTANTIATE_TEST_SUITE_P(
    Replies, ReceiveTable,
    ::testing::Values(
        ReceiveCase{"ReadReply", kRead3, false, ":0103020005F5\r\n", F::kNone, 15, nullptr, true},
        ReceiveCase{"ReadReplyLowerCase", kRead3, false, ":010302abcd82\r\n", F::kNone, 15, nullptr, true},
        ReceiveCase{"WriteEcho", kWrite6, true, ":010600001234B3\r\n", F::kNone, 17, nullptr, true},
        ReceiveCase{"WriteEchoNotCheckedForContent", kWrite6, true, ":0106ZZZZZZZZZZ\r\n", F::kNone, 17, nullptr, true},
        ReceiveCase{"NoReply", kRead3, false, "", F::kNoReply, 0, "SARNMD> Receive() #1: timeout (iRead=0)", false},
        ReceiveCase{"HeadCutShort", kRead3, false, ":01", F::kNoReply, 0, "SARNMD> Receive() #1: timeout (iRead=3)",
                    false},
        ReceiveCase{"NoColon", kRead3, false, "#0103020005F5\r\n", F::kNoFrameStart, 0,
                    "SARNMD> Receive() Start of frame not received", false},
        ReceiveCase{"OtherAddress", kRead3, false, ":0203020005F4\r\n", F::kOtherController, 0,
                    "SARNMD> Wrong plc addr.2h received", false},
        ReceiveCase{"AddressNotHex", kRead3, false, ":0G03020005F4\r\n", F::kOtherController, 0,
                    "SARNMD> Wrong plc addr.0h received", false},
        ReceiveCase{"OtherFunction", kRead3, false, ":0104020005F4\r\n", F::kOtherFunction, 5,
                    "SARNMD> Different function returned", false},
        ReceiveCase{"FunctionNotHex", kRead3, false, ":01+3020005F4\r\n", F::kOtherFunction, 5,
                    "SARNMD> Different function returned", false},
        ReceiveCase{"Exception2", kRead3, false, ":0183027A\r\n", F::kExceptionRefused, 11,
                    "SARNMD> (MB-protocol) Illegal data address", false},
        ReceiveCase{"Exception1", kRead3, false, ":0183017B\r\n", F::kException, 11,
                    "SARNMD> (MB-protocol) Illegal function", false},
        ReceiveCase{"Exception3", kRead3, false, ":01830379\r\n", F::kExceptionRefused, 11,
                    "SARNMD> (MB-protocol) Illegal data value", false},
        ReceiveCase{"Exception4", kRead3, false, ":01830478\r\n", F::kExceptionDeviceFailure, 11,
                    "SARNMD> (MB-protocol) Failure in associated device", false},
        ReceiveCase{"Exception5", kRead3, false, ":01830577\r\n", F::kExceptionRefused, 11,
                    "SARNMD> (MB-protocol) Acknowledge (processing)", false},
        ReceiveCase{"Exception6", kRead3, false, ":01830676\r\n", F::kException, 11,
                    "SARNMD> (MB-protocol) Busy, rejected message", false},
        ReceiveCase{"Exception7", kRead3, false, ":01830775\r\n", F::kException, 11,
                    "SARNMD> (MB-protocol) Negative acknowledgment", false},
        ReceiveCase{"Exception8", kRead3, false, ":01830874\r\n", F::kException, 11,
                    "SARNMD> (MB-protocol) Memory parity error", false},
        ReceiveCase{"Exception9", kRead3, false, ":01830973\r\n", F::kException, 11, "SARNMD> (MB-protocol error)",
                    false},
        ReceiveCase{"ExceptionCutShort", kRead3, false, ":018302", F::kBrokenOff, 5,
                    "SARNMD> Receive() timeout 2nd part message (iRead=2)", false},
        ReceiveCase{"ByteCountMissing", kRead3, false, ":0103", F::kBrokenOff, 5,
                    "SARNMD> Receive() error reading data part message (iRead=0)", false},
        ReceiveCase{"ByteCountZero", kRead3, false, ":010300FC\r\n", F::kNoData, 5,
                    "SARNMD> Receive() No data returned for '0140001' (00)", false},
        ReceiveCase{"ByteCountNotHex", kRead3, false, ":0103G20005F5\r\n", F::kUnmeasurable, 5,
                    "SARNMD> Receive() wrong length data part message (iRead=2)", false},
        ReceiveCase{"DataCutShort", kRead3, false, ":0103020005", F::kBrokenOff, 7,
                    "SARNMD> Recieve() reading timeout last data part message (iRead=4)", false},
        ReceiveCase{"WriteEchoCutShort", kWrite6, true, ":01060000123", F::kBrokenOff, 5,
                    "SARNMD> Recieve() reading timeout last data part message (iRead=7)", false}),
    [](const ::testing::TestParamInfo<ReceiveCase>& info) { return std::string(info.param.name); });

TEST_F(FrameTest, ExceptionWithAnotherFunctionIsStillDecodedByItsCode) {
  Request(kRead3);
  int iRead = 0;
  EXPECT_EQ(ReceiveFrame(":01840279\r\n", &iRead), F::kExceptionRefused);
  EXPECT_EQ(testlog::IndexOf("SARNMD> Different function with 0x80 returned"), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> (MB-protocol) Illegal data address"), 1);
}

TEST_F(FrameTest, OtherFunctionStopsAfterTheHead) {
  Request(kRead3);
  int iRead = 0;
  EXPECT_EQ(ReceiveFrame(":0104020005F4\r\n", &iRead), F::kOtherFunction);
  EXPECT_EQ(fakeplat::PendingInput(), 10u);  // the rest was not read
}

TEST_F(FrameTest, ReadReplyIsReadInThreeExactPieces) {
  Request(kRead3);
  int iRead = 0;
  // 125 registers: byte count FA, 500 data characters.
  std::string reply = ":0103FA" + std::string(500, '0');
  uint8_t sum = 0x01 + 0x03 + 0xFA;
  char lrc[3];
  snprintf(lrc, sizeof lrc, "%02X", static_cast<uint8_t>(-sum));
  reply += lrc;
  reply += "\r\n";
  ASSERT_EQ(ReceiveFrame(reply, &iRead), F::kNone);
  EXPECT_EQ(iRead, 511);
  std::vector<int64_t> reads;
  for (const auto& call : fakeplat::Calls())
    if (call.name == "Read") reads.push_back(call.arg);
  EXPECT_EQ(reads, (std::vector<int64_t>{5, 2, 504}));
}

TEST_F(FrameTest, StartOfFrameLossAndAWrongAddressAreToldApart) {
  Request(kRead3);
  int iRead = 0;
  EXPECT_EQ(ReceiveFrame(":0203020005F4\r\n", &iRead), F::kOtherController);
  sarn::PortFlushInput(ctx.hCom);
  EXPECT_EQ(ReceiveFrame("X0103020005F5\r\n", &iRead), F::kNoFrameStart);
}

// A reply read whole is checked against what its request asked for: a read
// reply's CR LF, LRC and byte count, an echo's LRC and repeated fields.
struct ContentCase {
  const char* name;
  const char* request;
  bool bWriting;
  std::string reply;
  sarn::Fault result;
};

void PrintTo(const ContentCase& c, std::ostream* os) {
  *os << c.name;
}

class ContentTable : public FrameTest, public ::testing::WithParamInterface<ContentCase> {};

TEST_P(ContentTable, ReplyIsCheckedAgainstItsRequest) {
  const ContentCase& c = GetParam();
  Request(c.request);
  bWriting = c.bWriting;
  EXPECT_EQ(ReceiveReply(c.reply), c.result) << testlog::Dump();
  EXPECT_EQ(fakeplat::PendingInput(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ContentTable,
    ::testing::Values(ContentCase{"ReadReply", kRead3, false, ":0103020005F5\r\n", F::kNone},
                      ContentCase{"NoCrLf", kRead3, false, ":0103020005F5??", F::kNoTermination},
                      ContentCase{"ReadLrc", kRead3, false, ":0103020005F6\r\n", F::kLrc},
                      ContentCase{"OtherByteCount", kRead3, false, ":01030400050006ED\r\n", F::kOtherByteCount},
                      ContentCase{"Echo", kWrite6, true, ":010600001234B3\r\n", F::kNone},
                      ContentCase{"EchoLowerCase", kWrite6, true, ":010600001234b3\r\n", F::kNone},
                      ContentCase{"EchoLrc", kWrite6, true, ":0106ZZZZZZZZZZ\r\n", F::kLrc},
                      ContentCase{"EchoOfAnotherValue", kWrite6, true, ":010600001235B2\r\n", F::kOtherEcho},
                      ContentCase{"EchoOfAnotherRegister", kWrite6, true, ":010600011234B2\r\n", F::kOtherEcho}),
    [](const ::testing::TestParamInfo<ContentCase>& info) { return std::string(info.param.name); });

}  // namespace
