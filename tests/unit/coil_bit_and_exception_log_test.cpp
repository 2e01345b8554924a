// Coil and input gates with a bit digit, and how exception messages reach
// the host's log, over the scripted fake platform.
#include <gtest/gtest.h>

#include <ostream>

#include "driver_fixture.h"

namespace {

using testdrv::Frame;

class CoilBitTest : public testdrv::DriverFixture {
 protected:
  ResultCode ParseSingle(const char* pszText, int32_t iDataType) {
    GateSpec spec{};
    spec.pszAddress = pszText;
    spec.iDataType = iDataType;
    return Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec);
  }
};

struct BitGateCase {
  const char* text;
  bool bHex;
  int32_t iDataType;
  ResultCode result;
  const char* line;  // logged at level 8, or "" for nothing
};

// A coil or a discrete input is one bit: a bit digit on it is refused with a
// reason; bits of registers stay accepted.
TEST_F(CoilBitTest, BitDigitOnCoilsAndInputsIsRefused) {
  const char* kRefused = "SARNMD> Parse() bit number not allowed for memory types 0 and 1";
  const BitGateCase kCases[] = {
      {"01000010", false, 6, 1, kRefused}, {"0100001F", false, 6, 1, kRefused}, {"01100015", false, 6, 1, kRefused},
      {"0100FFF0", true, 6, 1, kRefused},  {"0110000A", true, 6, 1, kRefused},  {"0100001", false, 6, 0, ""},
      {"0110001", false, 6, 0, ""},        {"01400012", false, 6, 0, ""},       {"0130001F", false, 6, 0, ""},
  };
  for (const BitGateCase& c : kCases) {
    SCOPED_TRACE(c.text);
    ctx.cBase = c.bHex ? 'H' : 'D';
    testlog::Clear();
    EXPECT_EQ(ParseSingle(c.text, c.iDataType), c.result);
    if (c.line[0] == '\0') {
      EXPECT_TRUE(testlog::Lines().empty()) << testlog::Dump();
    } else {
      EXPECT_EQ(testlog::Count(8, c.line), 1) << testlog::Dump();
    }
  }
}

// The fields such a gate got from an earlier parse are refused before
// anything is sent: a write would otherwise read a holding register and
// switch the coil from that register's bit.
TEST_F(CoilBitTest, CoilWithABitNumberIsNeitherReadNorWritten) {
  for (int32_t iBitNr : {0, 3, 15}) {
    uint8_t cell[4] = {0, 0, 0, 0};
    GateTransfer t{};
    t.pszName = "01000013";
    t.iPlcAddr = 1;
    t.iMemType = 0;
    t.iAddress = 0;
    t.iBitNr = iBitNr;
    t.iBits = 1;
    t.iDataType = 6;
    t.iCount = 1;
    t.pData = cell;
    fakeplat::QueueReply(Frame("01030200F0"));
    fakeplat::QueueReply(Frame("01050000FF00"));
    EXPECT_EQ(Call(SARN_OP_SINGLE_WRITE, &t), 1) << iBitNr;
    EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1) << iBitNr;
    t.iMemType = 1;
    EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &t), 1) << iBitNr;
  }
  EXPECT_EQ(Writes(), 0);
}

struct ExceptionCase {
  int code;
  const char* message;
};

void PrintTo(const ExceptionCase& c, std::ostream* os) { *os << c.code; }

class ExceptionLog : public testdrv::DriverFixture, public ::testing::WithParamInterface<ExceptionCase> {};

// Each exception message reaches the host's err() as the format itself, as
// every constant message does, not as "%s" with the text as an argument.
TEST_P(ExceptionLog, MessageIsTheFormat) {
  const ExceptionCase& c = GetParam();
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  char szBody[7];
  snprintf(szBody, sizeof szBody, "0183%02X", c.code);
  for (int i = 0; i < 3; ++i) fakeplat::QueueReply(Frame(szBody));
  Call(SARN_OP_SINGLE_READ, &t);
  int nLines = 0;
  for (const testlog::Line& line : testlog::Lines()) {
    if (line.text != c.message) continue;
    ++nLines;
    EXPECT_EQ(line.iLevel, 8);
    EXPECT_EQ(line.format, c.message);
  }
  EXPECT_GE(nLines, 1) << testlog::Dump();
}

INSTANTIATE_TEST_SUITE_P(Codes, ExceptionLog,
                         ::testing::Values(ExceptionCase{1, "SARNMD> (MB-protocol) Illegal function"},
                                           ExceptionCase{2, "SARNMD> (MB-protocol) Illegal data address"},
                                           ExceptionCase{3, "SARNMD> (MB-protocol) Illegal data value"},
                                           ExceptionCase{4, "SARNMD> (MB-protocol) Failure in associated device"},
                                           ExceptionCase{5, "SARNMD> (MB-protocol) Acknowledge (processing)"},
                                           ExceptionCase{6, "SARNMD> (MB-protocol) Busy, rejected message"},
                                           ExceptionCase{7, "SARNMD> (MB-protocol) Negative acknowledgment"},
                                           ExceptionCase{8, "SARNMD> (MB-protocol) Memory parity error"},
                                           ExceptionCase{9, "SARNMD> (MB-protocol error)"}),
                         [](const ::testing::TestParamInfo<ExceptionCase>& info) {
                           return "Code" + std::to_string(info.param.code);
                         });

}  // namespace
