// What a careless host can pass: counts of zero, negative or huge, null
// buffers and texts, unterminated and overlong texts, memory types, bit
// numbers, value sizes and controller addresses that no parser produced.
// Every operation answers with a result code and nothing is read or written
// outside the host's records. Buffers are allocated with their exact size,
// so that the sanitizer build sees any access beyond them.
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "support/driver_fixture.h"

namespace {

using testdrv::Frame;

class BadInputTest : public testdrv::DriverFixture {
 protected:
  // A gate record as the parser would give it for holding register 1.
  GateTransfer Register(void* pData, int32_t iCount = 1) {
    GateTransfer t{};
    t.pszName = "0140001";
    t.iPlcAddr = 1;
    t.iMemType = 4;
    t.iBitNr = -1;
    t.iBits = 16;
    t.iCount = iCount;
    t.pData = pData;
    return t;
  }

  // A text of exactly these characters on the heap, without a terminator.
  static std::unique_ptr<char[]> Unterminated(const char* pszChars) {
    const size_t n = strlen(pszChars);
    std::unique_ptr<char[]> text(new char[n]);
    memcpy(text.get(), pszChars, n);
    return text;
  }
};

struct CountCase {
  int32_t iBits;
  int32_t iDataType;
  int32_t iCount;
  bool bSent;  // a frame of this size fits a request and its reply
};

// Block reads and writes with counts the block parser would not have
// passed, each with a buffer of exactly the bytes the count describes (or
// four bytes where that is nonsense).
TEST_F(BadInputTest, BlockCountsOutsideTheLimitsAreRefusedUnsent) {
  const CountCase cases[] = {
      {16, 0, 0, false},       {16, 0, -1, false},         {16, 0, INT_MIN, false}, {16, 0, INT_MAX, false},
      {16, 0, 128, false},     {16, 0, 65536 + 2, false},  {1, 6, 0, false},        {1, 6, -8, false},
      {1, 6, 2041, false},     {1, 6, INT_MAX, false},     {32, 4, 0, false},       {32, 4, 64, false},
      {32, 4, INT_MIN, false}, {32, 4, 0x40000001, false},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "bits " << c.iBits << " count " << c.iCount);
    const int64_t bytes = c.iCount > 0 && c.iCount <= 4096
                              ? (c.iBits == 1 ? (int64_t{c.iCount} + 7) / 8 : int64_t{c.iCount} * c.iBits / 8)
                              : 4;
    std::vector<uint8_t> buffer(static_cast<size_t>(bytes), 0xEE);
    GateTransfer t = Register(buffer.data(), c.iCount);
    t.iBits = c.iBits;
    t.iDataType = c.iDataType;
    t.iMemType = c.iBits == 1 ? 0 : c.iBits == 32 ? 8 : 4;
    fakeplat::QueueReply(Frame("0103" + std::string(500, '0')));
    EXPECT_EQ(Call(SARN_OP_BLOCK_READ, &t), 1);
    EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1);
    EXPECT_EQ(Writes(), 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer.size(), 0xEE), buffer);
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    ASSERT_EQ(ColdStart("COM1"), 0);
  }
}

// The largest frames that still fit: 255 data bytes in a reply and in a
// write request, with buffers of exactly that size.
TEST_F(BadInputTest, LargestFittingBlocksStayInsideTheirBuffers) {
  for (int32_t iCount : {2040, 127}) {
    const bool bBits = iCount == 2040;
    std::vector<uint8_t> buffer(bBits ? 255 : 254, 0x5A);
    GateTransfer t = Register(buffer.data(), iCount);
    if (bBits) {
      t.iMemType = 0;
      t.iBits = 1;
      t.iDataType = 6;
    }
    const std::string data(2 * buffer.size(), 'A');
    char count[3];
    snprintf(count, sizeof count, "%02X", static_cast<unsigned>(buffer.size()));
    fakeplat::QueueReply(Frame(std::string(bBits ? "0101" : "0103") + count + data));
    ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &t), 0) << testlog::Dump();
    EXPECT_EQ(buffer, std::vector<uint8_t>(buffer.size(), 0xAA));

    fakeplat::QueueReply(Frame(std::string(bBits ? "010F0000" : "01100000") + (bBits ? "07F8" : "007F")));
    ASSERT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 0) << testlog::Dump();
    EXPECT_EQ(fakeplat::Writes().back().size(), 2 * buffer.size() + 17 + 2);
  }
}

// A reply that carries more data than the host asked for answers another
// request: it is never decoded, and nothing beyond the buffer is touched.
TEST_F(BadInputTest, LongerReplyThanAskedForIsNeverDecoded) {
  std::vector<uint16_t> regs(3, 0xEEEE);
  GateTransfer t = Register(regs.data(), 3);
  fakeplat::QueueReply(Frame("0103FA" + std::string(500, '1')));
  EXPECT_NE(Call(SARN_OP_BLOCK_READ, &t), 0) << testlog::Dump();
  EXPECT_EQ(regs, std::vector<uint16_t>(3, 0xEEEE));

  uint8_t cell[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  GateTransfer single = Register(cell);
  fakeplat::QueueReply(Frame("0103FA" + std::string(500, '2')));
  EXPECT_NE(Call(SARN_OP_SINGLE_READ, &single), 0);
  EXPECT_EQ(std::vector<uint8_t>(cell, cell + 4), std::vector<uint8_t>(4, 0xEE));
}

// A single gate's count is not a block length: whatever it holds, nothing
// outside the 4-byte cell is touched. The read request carries the count's low
// 16 bits as its quantity, as for every read, so a one-register reply does not
// answer it and the cell stays as it was; the write sends the value half of
// the cell.
TEST_F(BadInputTest, SingleGateWithAnyCountTouchesOnlyItsCell) {
  const struct {
    int32_t iCount;
    const char* pszQuantity;
  } cases[] = {{0, "0000"}, {-1, "FFFF"}, {INT_MAX, "FFFF"}, {INT_MIN, "0000"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "count " << c.iCount);
    auto cell = std::make_unique<uint8_t[]>(4);
    memset(cell.get(), 0xEE, 4);
    GateTransfer t = Register(cell.get(), c.iCount);
    fakeplat::QueueReply(Frame("0103020005"));
    EXPECT_NE(Call(SARN_OP_SINGLE_READ, &t), 0) << testlog::Dump();
    EXPECT_EQ(fakeplat::Writes().back(), Frame(std::string("01030000") + c.pszQuantity));
    EXPECT_EQ(std::vector<uint8_t>(cell.get(), cell.get() + 4), (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE}));

    cell[2] = 0x34;
    cell[3] = 0x12;
    fakeplat::QueueReply(Frame("010600001234"));
    EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
    EXPECT_EQ(fakeplat::Writes().back(), Frame("010600001234"));
    EXPECT_EQ(std::vector<uint8_t>(cell.get(), cell.get() + 4), (std::vector<uint8_t>{0xEE, 0xEE, 0x34, 0x12}));
  }
}

TEST_F(BadInputTest, NullBuffersAndNamesAreRefusedOrLoggedAsEmpty) {
  GateTransfer t = Register(nullptr);
  for (int32_t op : {SARN_OP_SINGLE_READ, SARN_OP_BLOCK_READ, SARN_OP_SINGLE_WRITE, SARN_OP_BLOCK_WRITE}) {
    EXPECT_EQ(Call(op, &t), 1) << op;
  }
  EXPECT_EQ(Writes(), 0);

  // A gate without a name still fails with its messages.
  uint8_t cell[4] = {};
  GateTransfer unnamed = Register(cell);
  unnamed.pszName = nullptr;
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &unnamed), 2);
  EXPECT_EQ(testlog::Count(8, "SARNMD> SingleRead() , ret val is 2 for ''"), 1) << testlog::Dump();
  unnamed.iBitNr = 3;  // bit update: the read copies the name
  unnamed.iBits = 1;
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &unnamed), 2);

  GateSpec spec{};
  spec.pszAddress = nullptr;
  EXPECT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  EXPECT_EQ(Call(SARN_OP_BLOCK_ADDRESS_PARSER, &spec), 1);
}

TEST_F(BadInputTest, UnterminatedAndOverlongGateTextsAreRefused) {
  // Nine characters with no terminator: the parsers look at no more.
  const auto nine = Unterminated("014000100");
  GateSpec spec{};
  spec.pszAddress = nine.get();
  spec.iCount = 1;
  EXPECT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  EXPECT_EQ(Call(SARN_OP_BLOCK_ADDRESS_PARSER, &spec), 1);
  const auto nineBlank = Unterminated("0140001  ");
  spec.pszAddress = nineBlank.get();
  EXPECT_EQ(Call(SARN_OP_BLOCK_ADDRESS_PARSER, &spec), 1);

  std::string longText(1000, '1');
  spec.pszAddress = longText.c_str();
  EXPECT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  EXPECT_EQ(Call(SARN_OP_BLOCK_ADDRESS_PARSER, &spec), 1);
  EXPECT_TRUE(testlog::Lines().empty()) << testlog::Dump();

  // Characters outside ASCII, and an empty text.
  for (const char* pszText : {"\xFF\xFE\x80\x01", "",
                              "01\xB4"
                              "0001"}) {
    spec.pszAddress = pszText;
    EXPECT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  }

  // A bit update copies the gate's name; a long one is copied bounded.
  uint8_t cell[4] = {0, 0, 1, 0};
  GateTransfer t = Register(cell);
  t.pszName = longText.c_str();
  t.iBitNr = 0;
  t.iBits = 1;
  fakeplat::QueueReply(Frame("0103020000"));
  fakeplat::QueueReply(Frame("010600000001"));
  EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 0) << testlog::Dump();
}

TEST_F(BadInputTest, PortNamesOfTwelveCharactersAreRefused) {
  fakeplat::AddDevice("COM123456789");
  DriverParams params{};
  memcpy(params.szPort, "COM123456789", 12);
  params.iTimeout = 100;
  testlog::Clear();
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), 2);
  EXPECT_EQ(testlog::Count(32, "SARNMD> ChangeSarnParams() open new COM port failed"), 1);
  EXPECT_EQ(ctx.port.szName[0], '\0');
  EXPECT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), 2);
}

struct FieldCase {
  const char* what;
  int32_t iPlcAddr;
  int32_t iMemType;
  int32_t iBitNr;
  int32_t iBits;
};

// Gate fields no parser produces are refused before anything is sent, by
// reads and writes alike; none of them reaches the wire.
TEST_F(BadInputTest, FieldsNoParserProducesAreRefusedUnsent) {
  const FieldCase cases[] = {
      {"plc -1", -1, 4, -1, 16},        {"plc 256", 256, 4, -1, 16},   {"plc max", INT_MAX, 4, -1, 16},
      {"type 2", 1, 2, -1, 16},         {"type 9", 1, 9, -1, 16},      {"type -1", 1, -1, -1, 16},
      {"type min", 1, INT_MIN, -1, 16}, {"bit 16", 1, 4, 16, 1},       {"bit -2", 1, 4, -2, 1},
      {"bit max", 1, 4, INT_MAX, 1},    {"bit min", 1, 4, INT_MIN, 1},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto cell = std::make_unique<uint8_t[]>(4);
    memset(cell.get(), 0xEE, 4);
    GateTransfer t = Register(cell.get());
    t.iPlcAddr = c.iPlcAddr;
    t.iMemType = c.iMemType;
    t.iBitNr = c.iBitNr;
    t.iBits = c.iBits;
    for (int32_t op : {SARN_OP_SINGLE_READ, SARN_OP_SINGLE_WRITE}) EXPECT_EQ(Call(op, &t), 1) << op;
    std::vector<uint8_t> block(4, 0xEE);
    GateTransfer b = t;
    b.iBitNr = -1;
    b.iBits = 16;
    b.iCount = 2;
    b.pData = block.data();
    if (c.iBitNr == -1) {
      for (int32_t op : {SARN_OP_BLOCK_READ, SARN_OP_BLOCK_WRITE}) EXPECT_EQ(Call(op, &b), 1) << op;
    }
    EXPECT_EQ(Writes(), 0);
    EXPECT_EQ(cell[0] & cell[1] & cell[2] & cell[3], 0xEE);
    EXPECT_EQ(block, std::vector<uint8_t>(4, 0xEE));
  }
}

// Value sizes other than 1, 16 and 32: a read decodes nothing into the
// buffer (1 after the reply), a block write sends nothing.
TEST_F(BadInputTest, ValueSizesOtherThan1_16_32StoreNothing) {
  for (int32_t iBits : {0, 8, 64, -1, INT_MAX}) {
    auto cell = std::make_unique<uint8_t[]>(4);
    memset(cell.get(), 0xEE, 4);
    GateTransfer t = Register(cell.get());
    t.iBits = iBits;
    fakeplat::QueueReply(Frame("010302ABCD"));
    EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1) << iBits;
    fakeplat::QueueReply(Frame("010302ABCD"));
    EXPECT_EQ(Call(SARN_OP_BLOCK_READ, &t), 1) << iBits;
    EXPECT_EQ(cell[0] & cell[1] & cell[2] & cell[3], 0xEE) << iBits;
    const int iSent = Writes();
    EXPECT_EQ(Call(SARN_OP_BLOCK_WRITE, &t), 1) << iBits;
    EXPECT_EQ(Writes(), iSent);
  }
}

// GTC writes with counts and addresses outside the variable range: refused
// without a frame, nothing read beyond the host's mask bytes.
TEST_F(BadInputTest, GtcMasksOutsideTheVariablesAreRefused) {
  ctx.cProtocol = 1;
  struct {
    int32_t iAddress;
    int32_t iCount;
  } cases[] = {{161, 0}, {161, -8}, {161, 2048}, {161, INT_MAX}, {0, 1}, {-5, 1}, {INT_MIN, 1}, {INT_MAX, 1}};
  for (const auto& c : cases) {
    const size_t bytes = c.iCount > 1 && c.iCount < 4096 ? static_cast<size_t>(c.iCount + 7) / 8 : 4;
    std::vector<uint8_t> data(bytes, 0x01);
    GateTransfer t = Register(data.data(), c.iCount);
    t.iMemType = 0;
    t.iAddress = c.iAddress;
    t.iBits = 1;
    t.iDataType = 6;
    const int32_t op = c.iCount == 1 ? SARN_OP_SINGLE_WRITE : SARN_OP_BLOCK_WRITE;
    EXPECT_EQ(Call(op, &t), 1) << c.iAddress << " " << c.iCount;
  }
  EXPECT_EQ(Writes(), 0);
}

TEST_F(BadInputTest, HugeTimeoutIsClampedNotWrapped) {
  ASSERT_EQ(ColdStart("COM1", 1, INT_MAX), 0);
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), UINT32_MAX);
  ASSERT_EQ(ColdStart("COM1", 1, 429496730), 0);  // 10 times this is just above 2^32
  EXPECT_EQ(fakeplat::ReadTimeoutMs(), UINT32_MAX);
}

}  // namespace
