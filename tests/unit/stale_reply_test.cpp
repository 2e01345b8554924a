// Replies that belong to another request, over the scripted fake platform.
//
// Modbus ASCII replies carry no transaction number. A reply that comes after
// the driver gave up on its request is read as the answer to the next one;
// when its shape differs from what the next request asks for (another byte
// count, an echo of another address, value or quantity) it must be refused
// and the request sent again, and the true answer that follows must be taken.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "driver_fixture.h"

namespace {

using testdrv::Frame;

// n registers of four hex digits each: first, first + step, ...
std::string Regs(int n, unsigned first, unsigned step = 1) {
  std::string out;
  char sz[5];
  for (int k = 0; k < n; ++k) {
    snprintf(sz, sizeof sz, "%04X", (first + step * static_cast<unsigned>(k)) & 0xFFFFu);
    out += sz;
  }
  return out;
}

// The bytes a host buffer holds after a read of n 16-bit values.
std::vector<uint8_t> Halves(int n, unsigned first, unsigned step = 1) {
  std::vector<uint8_t> out(2 * static_cast<size_t>(n));
  for (size_t k = 0; k < out.size() / 2; ++k) {
    const uint16_t w = static_cast<uint16_t>(first + step * static_cast<unsigned>(k));
    memcpy(out.data() + 2 * k, &w, 2);
  }
  return out;
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) {
  return bytes;
}

// A single gate's buffer: bytes 0 and 1 untouched (0xEE), the value in 2, 3.
std::vector<uint8_t> Cell16(uint16_t w) {
  std::vector<uint8_t> out = {0xEE, 0xEE, 0, 0};
  memcpy(out.data() + 2, &w, 2);
  return out;
}

class StaleReplyTest : public testdrv::DriverFixture {};

struct StaleReadCase {
  const char* name;
  bool bGtc;
  const char* gate;
  int32_t iDataType;
  int32_t iCount;  // 0: a single gate
  std::string stale;
  std::string reply;
  std::vector<uint8_t> expected;  // the host buffer afterwards
  const char* line;               // logged for the stale reply
};

void PrintTo(const StaleReadCase& c, std::ostream* os) {
  *os << c.name;
}

class StaleRead : public StaleReplyTest, public ::testing::WithParamInterface<StaleReadCase> {};

// The stale reply is refused without touching the buffer, a new request goes
// out, and its answer is taken.
TEST_P(StaleRead, IsRefusedAndTheTrueAnswerTaken) {
  const StaleReadCase& c = GetParam();
  ctx.cProtocol = c.bGtc ? 1 : 0;
  std::vector<uint8_t> buffer(c.expected.size(), 0xEE);
  GateTransfer t = Gate(c.gate, c.iDataType, c.iCount, buffer.data());
  const int32_t op = c.iCount > 0 ? SARN_OP_BLOCK_READ : SARN_OP_SINGLE_READ;

  fakeplat::QueueReply(c.stale);
  fakeplat::QueueReply(c.reply);
  ASSERT_EQ(Call(op, &t), 0) << testlog::Dump();
  EXPECT_EQ(buffer, c.expected);
  ASSERT_EQ(Writes(), 2);
  EXPECT_EQ(fakeplat::Writes()[0], fakeplat::Writes()[1]);  // the same request again
  EXPECT_EQ(testlog::Count(8, c.line), 1) << testlog::Dump();
  EXPECT_EQ(testlog::Count(8, "SARNMD> Wrong receive (still 9 tries)"), 1);

  // Stale replies only: never taken, the buffer keeps what it held.
  std::vector<uint8_t> untouched(c.expected.size(), 0xEE);
  t.pData = untouched.data();
  testlog::Clear();
  const int nBefore = Writes();
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(c.stale);
  EXPECT_EQ(Call(op, &t), 1) << testlog::Dump();
  EXPECT_EQ(Writes() - nBefore, 10);
  EXPECT_EQ(testlog::Count(8, c.line), 10);
  EXPECT_EQ(untouched, std::vector<uint8_t>(c.expected.size(), 0xEE));
}

INSTANTIATE_TEST_SUITE_P(
    Reads, StaleRead,
    ::testing::Values(
        // A 4-register block's reply read for one register: its first
        // register would be taken for the gate's value.
        StaleReadCase{"FourRegistersForOne", false, "0140001", 0, 0, Frame("010308" + Regs(4, 0x1111, 0x1111)),
                      Frame("0103020005"), Cell16(5), "SARNMD> DoRead() reply with byte count 8, request asked for 2"},
        StaleReadCase{"OneRegisterForAPair", false, "0180001", 4, 0, Frame("0103021234"), Frame("010304ABCD1234"),
                      Bytes({0x34, 0x12, 0xCD, 0xAB}), "SARNMD> DoRead() reply with byte count 2, request asked for 4"},
        StaleReadCase{"SixteenCoilsForOne", false, "0100001", 6, 0, Frame("010102FFFF"), Frame("01010100"), Cell16(0),
                      "SARNMD> DoRead() reply with byte count 2, request asked for 1"},
        StaleReadCase{"OneCoilForTen", false, "0100001", 6, 10, Frame("01010101"), Frame("010102CD01"),
                      Bytes({0xCD, 0x01}), "SARNMD> DoRead() reply with byte count 1, request asked for 2"},
        StaleReadCase{"InputsOfAnotherCount", false, "0110001", 6, 9, Frame("010203FFFFFF"), Frame("0102020301"),
                      Bytes({0x03, 0x01}), "SARNMD> DoRead() reply with byte count 3, request asked for 2"},
        StaleReadCase{"HundredTwentyFiveRegistersForFour", false, "0140001", 0, 4, Frame("0103FA" + Regs(125, 0x9000)),
                      Frame("010308" + Regs(4, 0x0100)), Halves(4, 0x0100),
                      "SARNMD> DoRead() reply with byte count 250, request asked for 8"},
        StaleReadCase{"InputRegistersOfAnotherCount", false, "0130001", 0, 2, Frame("010406" + Regs(3, 0x7000)),
                      Frame("010404" + Regs(2, 0x0A0B)), Halves(2, 0x0A0B),
                      "SARNMD> DoRead() reply with byte count 6, request asked for 4"},
        // GTC: the bit block reads 160 inputs along (21 bytes for 8 bits),
        // register area 2 holds 42 values.
        StaleReadCase{"GtcBitsOfAnotherCount", true, "0100200", 6, 8, Frame("010216" + std::string(44, '0')),
                      Frame("010215" + std::string(40, '0') + "A5"), Bytes({0xA5}),
                      "SARNMD> DoRead() reply with byte count 22, request asked for 21"},
        StaleReadCase{"GtcAreaOneForAreaTwo", true, "0130002", 0, 42, Frame("010480" + Regs(64, 1000)),
                      Frame("010454" + Regs(42, 2000)), Halves(42, 2000),
                      "SARNMD> DoRead() reply with byte count 128, request asked for 84"}),
    [](const ::testing::TestParamInfo<StaleReadCase>& info) { return std::string(info.param.name); });

struct StaleEchoCase {
  const char* name;
  bool bGtc;
  const char* gate;
  int32_t iDataType;
  int32_t iCount;             // 0: a single gate
  std::vector<uint8_t> data;  // the host buffer to write
  std::string stale;          // an echo of another request
  std::string echo;           // the true echo
  const char* line;           // logged for the stale echo
};

void PrintTo(const StaleEchoCase& c, std::ostream* os) {
  *os << c.name;
}

class StaleEcho : public StaleReplyTest, public ::testing::WithParamInterface<StaleEchoCase> {};

// An echo of another request never makes a write return 0: the request is
// sent again and the true echo taken.
TEST_P(StaleEcho, IsRefusedAndTheTrueEchoTaken) {
  const StaleEchoCase& c = GetParam();
  ctx.cProtocol = c.bGtc ? 1 : 0;
  std::vector<uint8_t> data = c.data;
  GateTransfer t = Gate(c.gate, c.iDataType, c.iCount, data.data());
  const int32_t op = c.iCount > 0 ? SARN_OP_BLOCK_WRITE : SARN_OP_SINGLE_WRITE;

  fakeplat::QueueReply(c.stale);
  fakeplat::QueueReply(c.echo);
  ASSERT_EQ(Call(op, &t), 0) << testlog::Dump();
  ASSERT_EQ(Writes(), 2);
  EXPECT_EQ(fakeplat::Writes()[0], fakeplat::Writes()[1]);
  EXPECT_EQ(testlog::Count(8, c.line), 1) << testlog::Dump();
  EXPECT_EQ(ctx.bWriting, 0);

  testlog::Clear();
  const int nBefore = Writes();
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(c.stale);
  EXPECT_EQ(Call(op, &t), 1) << testlog::Dump();
  EXPECT_EQ(Writes() - nBefore, 10);
  EXPECT_EQ(testlog::Count(8, c.line), 10);
  EXPECT_EQ(ctx.bWriting, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, StaleEcho,
    ::testing::Values(StaleEchoCase{"OtherRegister",
                                    false,
                                    "0140001",
                                    0,
                                    0,
                                    {0, 0, 0x34, 0x12},
                                    Frame("010600091234"),
                                    Frame("010600001234"),
                                    "SARNMD> DoWrite() echo of another request: address 9h, value or quantity 1234h"},
                      StaleEchoCase{"OtherValue",
                                    false,
                                    "0140001",
                                    0,
                                    0,
                                    {0, 0, 0x34, 0x12},
                                    Frame("010600000099"),
                                    Frame("010600001234"),
                                    "SARNMD> DoWrite() echo of another request: address 0h, value or quantity 99h"},
                      StaleEchoCase{"CoilSwitchedTheOtherWay",
                                    false,
                                    "0100003",
                                    6,
                                    0,
                                    {0, 0, 1, 0},
                                    Frame("010500020000"),
                                    Frame("01050002FF00"),
                                    "SARNMD> DoWrite() echo of another request: address 2h, value or quantity 0h"},
                      StaleEchoCase{"PairOfAnotherQuantity",
                                    false,
                                    "0180001",
                                    4,
                                    0,
                                    {0x78, 0x56, 0x34, 0x12},
                                    Frame("011000000001"),
                                    Frame("011000000002"),
                                    "SARNMD> DoWrite() echo of another request: address 0h, value or quantity 1h"},
                      StaleEchoCase{"RegistersOfAnotherQuantity",
                                    false,
                                    "0140001",
                                    0,
                                    2,
                                    {1, 0, 2, 0},
                                    Frame("011000000004"),
                                    Frame("011000000002"),
                                    "SARNMD> DoWrite() echo of another request: address 0h, value or quantity 4h"},
                      StaleEchoCase{"CoilsAtAnotherAddress",
                                    false,
                                    "0100001",
                                    6,
                                    10,
                                    {0xCD, 0x01},
                                    Frame("010F0010000A"),
                                    Frame("010F0000000A"),
                                    "SARNMD> DoWrite() echo of another request: address 10h, value or quantity Ah"},
                      // A GTC set request echoed as a reset, and a mask of another width.
                      StaleEchoCase{"GtcResetForSet",
                                    true,
                                    "0100200",
                                    6,
                                    0,
                                    {0, 0, 1, 0},
                                    Frame("010F00020008"),
                                    Frame("010F00010008"),
                                    "SARNMD> DoWrite() echo of another request: address 2h, value or quantity 8h"},
                      StaleEchoCase{"GtcMaskOfAnotherWidth",
                                    true,
                                    "0100200",
                                    6,
                                    0,
                                    {0, 0, 1, 0},
                                    Frame("010F00010010"),
                                    Frame("010F00010008"),
                                    "SARNMD> DoWrite() echo of another request: address 1h, value or quantity 10h"},
                      // Fields that are no numbers cannot repeat the request.
                      StaleEchoCase{"EchoNotHex",
                                    false,
                                    "0140001",
                                    0,
                                    0,
                                    {0, 0, 0x34, 0x12},
                                    ":010600001G34C4\r\n",
                                    Frame("010600001234"),
                                    "SARNMD> DoWrite() echo of another request: address 0h, value or quantity 0h"}),
    [](const ::testing::TestParamInfo<StaleEchoCase>& info) { return std::string(info.param.name); });

// Echoes are compared as numbers: lower-case digits are the same echo, taken
// at once.
TEST_F(StaleReplyTest, LowerCaseEchoIsTheSameEcho) {
  uint8_t cell[4] = {0, 0, 0xCD, 0xAB};
  GateTransfer t = Gate("0140011", 0, 0, cell);
  fakeplat::QueueReply(Frame("0106000aabcd"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
  EXPECT_EQ(Writes(), 1);

  uint16_t regs[2] = {0x0A0B, 0x0C0D};
  GateTransfer b = Gate("0140011", 0, 2, regs);
  fakeplat::QueueReply(Frame("0110000a0002"));
  EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &b), 0) << testlog::Dump();
  EXPECT_EQ(Writes(), 2);
}

// A bit update is a read and a write: a stale reply to either is refused,
// and the bit is written into the register value that the read returned.
TEST_F(StaleReplyTest, BitUpdateTakesNeitherAStaleReadNorAStaleEcho) {
  uint8_t cell[4] = {0, 0, 1, 0};
  GateTransfer t = Gate("01400012", 6, 0, cell);
  fakeplat::QueueReply(Frame("010304FFFFFFFF"));  // two registers for one
  fakeplat::QueueReply(Frame("0103020003"));
  fakeplat::QueueReply(Frame("01060000FFFF"));  // echo of another value
  fakeplat::QueueReply(Frame("010600000007"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
  ASSERT_EQ(Writes(), 4);
  EXPECT_EQ(fakeplat::Writes()[3], Frame("010600000007"));
}

}  // namespace
