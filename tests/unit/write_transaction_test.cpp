// The write transactions over the scripted fake platform.
#include <gtest/gtest.h>

#include <ostream>

#include "support/driver_fixture.h"

namespace {

using testdrv::Cell;
using testdrv::Frame;

class WriteTest : public testdrv::DriverFixture {
 protected:
  // The controller's echo of a write request: functions 5 and 6 echo the
  // whole request, 15 and 16 its address and quantity.
  static std::string EchoOf(const std::string& request) {
    const std::string body = request.substr(1, request.size() - 5);
    if (body.substr(2, 2) == "05" || body.substr(2, 2) == "06") return request;
    return Frame(body.substr(0, 12));
  }
  // Queues echoes for requests that will be sent, as a healthy controller.
  ResultCode WriteWithEchoes(int32_t iOpCode, GateTransfer* pTransfer, const std::vector<std::string>& requests) {
    for (const auto& r : requests) fakeplat::QueueReply(EchoOf(r));
    const ResultCode rc = Call(iOpCode, pTransfer);
    EXPECT_EQ(fakeplat::Writes(), requests) << testlog::Dump();
    EXPECT_EQ(ctx.bWriting, 0);
    return rc;
  }
};

struct SingleCase {
  const char* gate;
  int dataType;
  uint16_t flags;
  uint32_t value;  // 16-bit values go in the cell's second half
  std::string request;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SingleCase& c, std::ostream* os) {
  *os << c.gate;
}

class SingleWriteTable : public WriteTest, public ::testing::WithParamInterface<SingleCase> {};

TEST_P(SingleWriteTable, FramesOnTheWire) {
  const SingleCase& c = GetParam();
  ctx.wFlags = c.flags;
  Cell cell;
  GateTransfer t = Gate(c.gate, c.dataType, 0, cell.b);
  if (t.iBits == 32) {
    cell.SetWord(c.value);
  } else {
    cell.SetHalf(static_cast<uint16_t>(c.value));
  }
  EXPECT_EQ(WriteWithEchoes(SARN_OP_SINGLE_WRITE, &t, {c.request}), 0);
}

INSTANTIATE_TEST_SUITE_P(Gates, SingleWriteTable,
                         ::testing::Values(SingleCase{"0140001", 0, 0, 0x1234, ":010600001234B3\r\n"},
                                           SingleCase{"0100001", 6, 0, 1, ":01050000FF00FB\r\n"},
                                           SingleCase{"0100001", 6, 0, 0, ":010500000000FA\r\n"},
                                           SingleCase{"0100001", 6, 0, 7, ":01050000FF00FB\r\n"},
                                           SingleCase{"0180001", 4, 0, 0x12345678, ":0110000000020412345678D5\r\n"},
                                           SingleCase{"0180001", 4, SARN_FLAG_SWAP, 0x12345678,
                                                      Frame("01100000000204"
                                                            "56781234")},
                                           SingleCase{"0180001", 4, SARN_FLAG_FLOATSWAP, 0x12345678,
                                                      ":0110000000020412345678D5\r\n"},
                                           SingleCase{"0170003", 3, SARN_FLAG_FLOATSWAP, 0x12345678,
                                                      Frame("01100002000204"
                                                            "56781234")},
                                           SingleCase{"0170003", 3, SARN_FLAG_LONGADDR, 0x12345678,
                                                      Frame("01100001000204"
                                                            "12345678")}),
                         [](const ::testing::TestParamInfo<SingleCase>& info) {
                           char szValue[9];
                           snprintf(szValue, sizeof szValue, "%X", static_cast<unsigned>(info.param.value));
                           return std::string("Gate") + info.param.gate + "_" + testdrv::FlagsName(info.param.flags) +
                                  "_Value" + szValue;
                         });

// Controller 0 is every controller: a write goes out once, owes no answer
// and is done after the controllers' turnaround; a read, which none
// answers, is refused unsent. The next request waits for nothing.
TEST_F(WriteTest, BroadcastWriteGoesOutOnceAndReadIsRefused) {
  Cell cell;
  cell.SetHalf(0x1234);
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  t.iPlcAddr = 0;
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1);
  EXPECT_EQ(Writes(), 0);
  const uint64_t start = fakeplat::NowMs();
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::Writes(), std::vector<std::string>{Frame("000600001234")});
  EXPECT_GE(fakeplat::NowMs() - start, 100u);
  GateTransfer r = Gate("0140001", 0, 0, cell.b);
  fakeplat::QueueReply(Frame("0103020005"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &r), 0);
  for (const testlog::Line& line : testlog::Lines())
    EXPECT_EQ(line.text.rfind("SARNMD> SettleLine()", 0), std::string::npos);
}

TEST_F(WriteTest, BitOfARegisterIsReadModifiedAndWritten) {
  Cell cell;
  GateTransfer t = Gate("01400012", 6, 0, cell.b);
  cell.SetHalf(1);
  fakeplat::QueueReply(Frame("0103020003"));
  fakeplat::QueueReply(":010600000007F2\r\n");
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
  EXPECT_EQ(fakeplat::Writes(), (std::vector<std::string>{":010300000001FB\r\n", ":010600000007F2\r\n"}));

  cell.SetHalf(0);
  fakeplat::QueueReply(Frame("0103020007"));
  fakeplat::QueueReply(Frame("010600000003"));
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0);
  EXPECT_EQ(fakeplat::Writes().back(), Frame("010600000003"));
}

TEST_F(WriteTest, FailedRegisterReadSendsNoWrite) {
  Cell cell;
  GateTransfer t = Gate("01400012", 6, 0, cell.b);
  cell.SetHalf(1);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":0183027A\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 3);
  for (const auto& w : fakeplat::Writes()) EXPECT_EQ(w, ":010300000001FB\r\n");
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleRead() , ret val is 1 for '0140001 '"), 1) << testlog::Dump();
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleWrite() error SingleRead() for spec. dig. gate, rc=1"), 1);
}

TEST_F(WriteTest, BitUpdateCopiesAnOverlongGateTextBounded) {
  Cell cell;
  GateTransfer t = Gate("01400012", 6, 0, cell.b);
  std::string longName(4000, '7');
  t.pszName = longName.c_str();
  cell.SetHalf(1);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":0183027A\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleRead() , ret val is 1 for '7777777 7777777'"), 1) << testlog::Dump();
}

TEST_F(WriteTest, InputTypesAreRefusedUnsentWithEitherProtocol) {
  for (char cProtocol : {0, 1}) {
    for (const char* gate : {"0110001", "0130001", "0150001", "0160001"}) {
      ctx.cProtocol = 0;
      Cell cell;
      GateTransfer t = Gate(gate, gate[2] == '1' ? 6 : gate[2] == '3' ? 0 : gate[2] == '5' ? 3 : 4, 0, cell.b);
      ctx.cProtocol = cProtocol;
      EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
      EXPECT_EQ(testlog::Count(8, "SARNMD> SingleWrite() not allowed for types 1,3,5 and 6"), 1);
      testlog::Clear();
    }
  }
  EXPECT_EQ(Writes(), 0);
}

// A Modbus block write picks its function from the value size alone, so a
// block of inputs or input registers would otherwise land in the coils or
// holding registers at the same addresses and answer 0.
TEST_F(WriteTest, InputTypeBlocksAreRefusedUnsent) {
  const struct {
    const char* gate;
    int32_t iDataType;
    int32_t iCount;
  } cases[] = {{"0110001", 6, 16}, {"0130001", 0, 2}, {"0150001", 3, 2}, {"0160001", 4, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gate);
    uint8_t data[16] = {};
    GateTransfer t = Gate(c.gate, c.iDataType, c.iCount, data);
    EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1);
    EXPECT_EQ(testlog::Count(8, "SARNMD> BlockWrite() not allowed for types 1,3,5 and 6"), 1) << testlog::Dump();
    testlog::Clear();
  }
  EXPECT_EQ(Writes(), 0);
}

TEST_F(WriteTest, Blocks) {
  uint8_t coils[2] = {0xCD, 0x01};
  GateTransfer c = Gate("0100001", 6, 10, coils);
  EXPECT_EQ(WriteWithEchoes(SARN_OP_BLOCK_WRITE, &c, {":010F0000000A02CD0116\r\n"}), 0);

  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  ASSERT_EQ(ColdStart("COM1"), 0);
  uint16_t regs[2] = {1, 2};
  GateTransfer r = Gate("0140001", 0, 2, regs);
  EXPECT_EQ(WriteWithEchoes(SARN_OP_BLOCK_WRITE, &r, {":0110000000020400010002E6\r\n"}), 0);

  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  ASSERT_EQ(ColdStart("COM1"), 0);
  uint32_t value = 0x12345678;
  GateTransfer l = Gate("0180001", 4, 1, &value);
  EXPECT_EQ(WriteWithEchoes(SARN_OP_BLOCK_WRITE, &l, {":0110000000020412345678D5\r\n"}), 0);
}

TEST_F(WriteTest, BlocksThatCannotBeFramedAreRefusedUnsent) {
  uint8_t data[1200] = {};
  GateTransfer t = Gate("0140001", 0, 1, data);
  for (int32_t iCount : {0, -5, 128, 1 << 20}) {
    t.iCount = iCount;
    EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1) << iCount;
  }
  t.iBits = 8;
  t.iCount = 1;
  EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 0);
}

TEST_F(WriteTest, GtcSingleBits) {
  ctx.cProtocol = 1;
  struct {
    const char* gate;
    uint8_t value;
    const char* request;
  } cases[] = {{"0100200", 1, ":010F000100080101E5\r\n"},
               {"0100200", 0, ":010F000200080101E4\r\n"},
               {"0100215", 1, ":010F000100100200805D\r\n"}};
  for (const auto& c : cases) {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    ASSERT_EQ(ColdStart("COM1"), 0);
    ctx.cProtocol = 1;
    Cell cell;
    cell.b[2] = c.value;
    GateTransfer t = Gate(c.gate, 6, 0, cell.b);
    EXPECT_EQ(WriteWithEchoes(SARN_OP_SINGLE_WRITE, &t, {c.request}), 0) << c.gate;
  }
}

TEST_F(WriteTest, GtcValueOtherThan0Or1SendsNothing) {
  ctx.cProtocol = 1;
  Cell cell;
  cell.b[2] = 2;
  GateTransfer t = Gate("0100200", 6, 0, cell.b);
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 0);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleWrite() Failed to write bit '0100200'"), 1);
}

TEST_F(WriteTest, GtcBlockResetsThenSets) {
  ctx.cProtocol = 1;
  uint8_t bits[2] = {0x05, 0x80};
  GateTransfer t = Gate("0100200", 6, 16, bits);
  EXPECT_EQ(WriteWithEchoes(SARN_OP_BLOCK_WRITE, &t, {":010F0002001002FA7F63\r\n", ":010F0001001002058058\r\n"}), 0);
}

TEST_F(WriteTest, GtcBlockWithoutResetSendsNoSet) {
  ctx.cProtocol = 1;
  uint8_t bits[1] = {0x05};
  GateTransfer t = Gate("0100200", 6, 8, bits);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":018F027A\r\n");
  EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 3);
  EXPECT_EQ(testlog::Count(8, "SARNMD> BlockWrite() Failed to write bit '0100200'"), 1);
}

TEST_F(WriteTest, ExceptionRepliesAreRetried) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(":0186017A\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 10);
  for (int n = 9; n >= 1; --n)
    EXPECT_EQ(testlog::Count("SARNMD> Wrong receive (still " + std::to_string(n) + " tries)"), 1);
  EXPECT_EQ(ctx.bWriting, 0);

  fakeplat::Reset();
  fakeplat::AddDevice("COM1");
  ASSERT_EQ(ColdStart("COM1"), 0);
  testlog::Clear();
  for (int i = 0; i < 12; ++i) fakeplat::QueueReply(":01860279\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 3);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(testlog::Count("SARNMD> DoWrite() receive error, retry " + std::to_string(n)), 1) << testlog::Dump();
  }
  EXPECT_EQ(testlog::Count("SARNMD> SingleWrite() exited with rc= 1 for '0140001'"), 1);
}

TEST_F(WriteTest, WrongEchoLrcIsRetried) {
  Cell cell;
  GateTransfer t = Gate("0140001", 0, 0, cell.b);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(":010600001234B4\r\n");
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_EQ(Writes(), 3);
  EXPECT_EQ(testlog::Count("SARNMD> DoWrite() error in crc, retry 3"), 1);
  EXPECT_EQ(testlog::Count("SARNMD> DoWrite() : len=15"), 1);
  EXPECT_EQ(ctx.bWriting, 0);
}

TEST_F(WriteTest, ClosedPortBlockWriteFailsInSendSingleWriteIsRefused) {
  uint16_t regs[1] = {5};
  GateTransfer t = Gate("0140001", 0, 1, regs);
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), 0);
  EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 2);
  EXPECT_EQ(testlog::Count("SARNMD> DoWrite() send error, retry 1"), 1);
  EXPECT_EQ(testlog::Count("SARNMD> DoWrite() send error, retry 3"), 1);
  EXPECT_EQ(testlog::Count("SARNMD> BlockWrite() exited with rc= 2 for '0140001'"), 1);
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1);
  EXPECT_TRUE(testlog::Lines().empty());
}

}  // namespace
