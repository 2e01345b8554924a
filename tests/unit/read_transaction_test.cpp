// The read transaction over the scripted fake platform: the frames it sends,
// where the values land, its retries and its log.
#include <gtest/gtest.h>

#include <ostream>

#include "support/driver_fixture.h"

namespace {

using testdrv::Cell;
using testdrv::Frame;

class ReadTest : public testdrv::DriverFixture {};

TEST_F(ReadTest, HoldingRegisterLandsInTheSecondHalfOfTheCell) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  fakeplat::QueueReply(":010302ABCD82\r\n");
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  ASSERT_EQ(Writes(), 1);
  EXPECT_EQ(fakeplat::Writes()[0], ":010300000001FB\r\n");
  EXPECT_EQ(cell.Half(), 0xABCD);
  EXPECT_EQ(cell.b[0], 0xEE);
  EXPECT_EQ(cell.b[1], 0xEE);
  EXPECT_TRUE(testlog::Lines().empty()) << testlog::Dump();
}

struct WordCase {
  const char* gate;
  int dataType;
  uint16_t flags;
  const char* request;
  uint32_t expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const WordCase& c, std::ostream* os) { *os << c.gate; }

class WordOrderTable : public ReadTest, public ::testing::WithParamInterface<WordCase> {};

TEST_P(WordOrderTable, ThirtyTwoBitValues) {
  const WordCase& c = GetParam();
  ctx.wFlags = c.flags;
  Cell cell;
  GateTransfer t = Gate(c.gate, c.dataType, 0, cell.b);
  const std::string function = std::string(c.request).substr(3, 2);
  fakeplat::QueueReply(Frame("01" + function + "041234ABCD"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::Writes()[0], c.request);
  EXPECT_EQ(cell.Word(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Gates, WordOrderTable,
    ::testing::Values(WordCase{"0180001", 4, 0, ":010300000002FA\r\n", 0x1234ABCD},
                      WordCase{"0180001", 4, SARN_FLAG_SWAP, ":010300000002FA\r\n", 0xABCD1234},
                      WordCase{"0180001", 4, SARN_FLAG_FLOATSWAP, ":010300000002FA\r\n", 0x1234ABCD},
                      WordCase{"0170001", 3, SARN_FLAG_FLOATSWAP, ":010300000002FA\r\n", 0xABCD1234},
                      WordCase{"0170001", 3, SARN_FLAG_SWAP, ":010300000002FA\r\n", 0x1234ABCD},
                      WordCase{"0160001", 5, SARN_FLAG_SWAP, ":010400000002F9\r\n", 0xABCD1234},
                      WordCase{"0150001", 3, SARN_FLAG_FLOATSWAP, ":010400000002F9\r\n", 0xABCD1234},
                      WordCase{"0180003", 4, 0, ":010300020002F8\r\n", 0x1234ABCD},
                      WordCase{"0180003", 4, SARN_FLAG_LONGADDR, ":010300010002F9\r\n", 0x1234ABCD}),
    [](const ::testing::TestParamInfo<WordCase>& info) {
      return std::string("Gate") + info.param.gate + "_" + testdrv::FlagsName(info.param.flags);
    });

TEST_F(ReadTest, BitOfARegister) {
  for (auto [reg, expected] : {std::pair<const char*, uint16_t>{"0004", 1}, {"0003", 0}, {"FFFB", 0}}) {
    Cell cell;
    GateTransfer t = Gate("01400012", 6, 0, cell.b);
    fakeplat::QueueReply(Frame(std::string("010302") + reg));
    ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
    EXPECT_EQ(fakeplat::Writes().back(), ":010300000001FB\r\n");
    EXPECT_EQ(cell.Half(), expected) << reg;
  }
}

TEST_F(ReadTest, CoilsAndInputs) {
  Cell coil;
  GateTransfer t = Gate("0100005", 6, 0, coil.b);
  fakeplat::QueueReply(Frame("01010101"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(fakeplat::Writes().back(), Frame("010100040001"));
  EXPECT_EQ(coil.Half(), 1);

  uint8_t bits[2] = {0, 0};
  GateTransfer block = Gate("0100001", 6, 10, bits);
  fakeplat::QueueReply(Frame("010102CD01"));
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &block), 0);
  EXPECT_EQ(fakeplat::Writes().back(), ":01010000000AF4\r\n");
  EXPECT_EQ(bits[0], 0xCD);
  EXPECT_EQ(bits[1], 0x01);
}

TEST_F(ReadTest, RegisterBlocks) {
  uint16_t regs[3] = {};
  GateTransfer t = Gate("0130010", 0, 3, regs);
  fakeplat::QueueReply(Frame("010406000100020003"));
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &t), 0);
  EXPECT_EQ(fakeplat::Writes().back(), Frame("010400090003"));
  EXPECT_EQ(regs[0], 1);
  EXPECT_EQ(regs[2], 3);

  ctx.wFlags = SARN_FLAG_SWAP;
  uint32_t longs[2] = {};
  GateTransfer l = Gate("0180001", 4, 2, longs);
  fakeplat::QueueReply(Frame("0103081234ABCD00000001"));
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &l), 0);
  EXPECT_EQ(fakeplat::Writes().back(), Frame("010300000004"));
  EXPECT_EQ(longs[0], 0xABCD1234u);
  EXPECT_EQ(longs[1], 0x00010000u);
}

TEST_F(ReadTest, GtcBlocks) {
  ctx.cProtocol = 1;
  uint8_t bits[1] = {};
  GateTransfer t = Gate("0100200", 6, 8, bits);
  ASSERT_EQ(t.iAddress, 161);
  std::string data(40, '0');
  fakeplat::QueueReply(Frame("010215" + data + "A5"));
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::Writes().back(), ":0102000100A854\r\n");
  EXPECT_EQ(bits[0], 0xA5);

  uint16_t regs[42] = {};
  GateTransfer area2 = Gate("0130002", 0, 42, regs);
  ASSERT_EQ(area2.iAddress, 65);
  std::string values;
  for (int k = 0; k < 42; ++k) {
    char sz[5];
    snprintf(sz, sizeof sz, "%04X", k + 100);
    values += sz;
  }
  fakeplat::QueueReply(Frame("010454" + values));
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &area2), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::Writes().back(), ":01040002002ACF\r\n");
  EXPECT_EQ(regs[41], 141);
}

TEST_F(ReadTest, GtcSingleReadSendsNothing) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  ctx.cProtocol = 1;
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
  EXPECT_EQ(Writes(), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> SingleRead() Only blocks are possible with GTC"), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> SingleRead() , ret val is 1 for '0140001'"), 1);
}

TEST_F(ReadTest, DisabledCommunicationIsRefused) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  ctx.bComOpen = 0;
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleRead() , ret val is 1 for '0140001'"), 1);
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_BLOCK_READ, &t), 1);
  EXPECT_TRUE(testlog::Lines().empty());
  EXPECT_EQ(Writes(), 0);
}

TEST_F(ReadTest, SilentControllerThreeRequestsAndTheirLog) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 2);
  EXPECT_EQ(Writes(), 3);
  std::vector<std::string> expected = {
      "SARNMD> Receive() #1: timeout (iRead=0)",     "SARNMD> DoRead() error reading reply, retry 1",
      "SARNMD> DoRead() : iLenT=15",                 "SARNMD> DoRead() : sRetry=2, iLenR=0",
      "SARNMD> Receive() #1: timeout (iRead=0)",     "SARNMD> DoRead() error reading reply, retry 2",
      "SARNMD> DoRead() : sRetry=1, iLenR=0",        "SARNMD> Receive() #1: timeout (iRead=0)",
      "SARNMD> DoRead() error reading reply, retry 3", "SARNMD> SingleRead() , ret val is 2 for '0140001'"};
  std::vector<std::string> got;
  for (const auto& line : testlog::Lines()) got.push_back(line.text);
  EXPECT_EQ(got, expected);
  EXPECT_EQ(cell.Word(), 0xEEEEEEEEu);
}

struct FailureCase {
  const char* name;
  std::string reply;  // given to every request
  int requests;
  int result;
  const char* line;   // logged once per attempt
  int lineCount;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailureTable : public ReadTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTable, RetriesResultAndUntouchedBuffer) {
  const FailureCase& c = GetParam();
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(c.reply);
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), c.result) << testlog::Dump();
  EXPECT_EQ(Writes(), c.requests);
  EXPECT_EQ(testlog::Count(8, c.line), c.lineCount) << testlog::Dump();
  EXPECT_EQ(cell.Word(), 0xEEEEEEEEu);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FailureTable,
    ::testing::Values(
        FailureCase{"OtherAddress", Frame("0203020005"), 10, 1, "SARNMD> Wrong plc addr.2h received", 10},
        FailureCase{"OtherFunction", Frame("0104020005"), 10, 1, "SARNMD> Different function returned", 10},
        FailureCase{"Exception1", ":0183017B\r\n", 3, 1, "SARNMD> DoRead() received 0x80 error code", 1},
        FailureCase{"Exception2", ":0183027A\r\n", 3, 1, "SARNMD> DoRead() error reading reply, retry 2", 1},
        FailureCase{"Exception4", ":01830478\r\n", 3, 2, "SARNMD> (MB-protocol) Failure in associated device", 3},
        FailureCase{"WrongLrc", ":0103020005F6\r\n", 3, 1, "SARNMD> DoRead() LRC error, retry 3", 1},
        FailureCase{"NoCrLf", ":0103020005F5??", 3, 1, "SARNMD> DoRead() No termination of reply", 3},
        FailureCase{"OtherByteCount", Frame("01030105"), 10, 1,
                    "SARNMD> DoRead() reply with byte count 1, request asked for 2", 10},
        FailureCase{"DataNotHex", Frame("010302") .substr(0, 7) + "00G5" + "F5\r\n", 3, 1,
                    "SARNMD> DoRead() LRC error, retry 1", 1},
        FailureCase{"CutShort", ":0103020005", 3, 2,
                    "SARNMD> Recieve() reading timeout last data part message (iRead=4)", 3}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ReadTest, WrongReceivesCountDownFromNine) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(Frame("0203020005"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
  for (int n = 9; n >= 1; --n) EXPECT_EQ(testlog::Count("SARNMD> Wrong receive (still " + std::to_string(n) + " tries)"), 1);
  EXPECT_EQ(testlog::Count("SARNMD> Wrong receive (still 0 tries)"), 0);
}

TEST_F(ReadTest, NonHexDataWithAMatchingLrcIsNeverDecoded) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  // 'G' is no digit; an LRC computed as if it were 0 matches the driver's.
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":01030200G0FA\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1) << testlog::Dump();
  EXPECT_EQ(cell.Word(), 0xEEEEEEEEu);
}

TEST_F(ReadTest, LongUnterminatedReplyShowsItsLast25Characters) {
  uint16_t regs[10] = {};
  GateTransfer t = Gate("0140001", 0, 10, regs);
  std::string reply = Frame("010314" + std::string(40, '1'));
  reply.replace(reply.size() - 2, 2, "XY");
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(reply);
  EXPECT_EQ(Call(SARN_OP_BLOCK_READ, &t), 1);
  EXPECT_EQ(testlog::Count("SARNMD> DoRead() ... reply+ : '" + reply.substr(reply.size() - 25) + "'"), 3)
      << testlog::Dump();
}

TEST_F(ReadTest, BlockCountsThatCannotBeAskedForAreRefusedUnsent) {
  uint16_t regs[200] = {};
  for (int32_t iCount : {0, -1, 128, 100000}) {
    GateTransfer t = Gate("0140001", 0, 1, regs);
    t.iCount = iCount;
    EXPECT_EQ(Call(SARN_OP_BLOCK_READ, &t), 1) << iCount;
  }
  EXPECT_EQ(Writes(), 0);
}

TEST_F(ReadTest, DailyRestartOnFirstReadAndOnEachNewDay) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  sarn::g_iRestartDay = 0;  // as after loading
  fakeplat::QueueReply(Frame("0103020001"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_EQ(testlog::IndexOf("SARNMD> WarmStart()"), 0);
  EXPECT_EQ(testlog::Count(32, "Restart Communication succeed"), 1);

  testlog::Clear();
  fakeplat::QueueReply(Frame("0103020001"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), 0);
  EXPECT_FALSE(testlog::Contains("SARNMD> WarmStart()"));

  // Past midnight, on another context of the same module.
  testdrv::g_iDay = 9;
  DriverContext other = ctx;
  DriverRequest request{&other, SARN_OP_SINGLE_READ, 0, 0, &t};
  testlog::Clear();
  fakeplat::QueueReply(Frame("0103020001"));
  ASSERT_EQ(SarnMain(&request), 0);
  EXPECT_EQ(testlog::Count(32, "Restart Communication succeed"), 1);
}

}  // namespace
