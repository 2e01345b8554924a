// Gate address parsing (operation 3) and block validation (operation 4).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "address/gate_address.h"
#include "address/gtc_memory.h"
#include "hostlog/host_log.h"
#include "sarnmd.h"
#include "support/test_log.h"

namespace {

constexpr char kModbus = 0;
constexpr char kGtc = 1;
constexpr int kUnset = 0x7EADBEEF;  // output fields before the call

struct Config {
  char cProtocol;
  char cBase;
  uint16_t wFlags;
};
constexpr Config kModbusDec{kModbus, 'D', 0};
constexpr Config kModbusHex{kModbus, 'H', 0};
constexpr Config kModbusLong{kModbus, 'D', SARN_FLAG_LONGADDR};
constexpr Config kGtcDec{kGtc, 'D', 0};
constexpr Config kGtcHex{kGtc, 'H', 0};

class AddressTest : public ::testing::Test {
 protected:
  void SetUp() override { testlog::Clear(); }

  // Prepares context and spec; output fields start as kUnset.
  void Prepare(const Config& setup, const char* pszText, int32_t iDataType = 0, int32_t iCount = 1) {
    memset(&context_, 0x5A, sizeof context_);
    context_.cProtocol = setup.cProtocol;
    context_.cBase = setup.cBase;
    context_.wFlags = setup.wFlags;
    spec_ = GateSpec{pszText, 0x1234, iDataType, iCount, kUnset, kUnset, kUnset, kUnset, kUnset};
    request_ = DriverRequest{&context_, SARN_OP_SINGLE_ADDRESS_PARSER, 1, 0, &spec_};
  }

  // Runs fn and checks that it left the context alone.
  template <typename Fn>
  int Run(Fn fn) {
    DriverContext before = context_;
    const int iResult = fn(&request_);
    EXPECT_EQ(memcmp(&before, &context_, sizeof context_), 0) << "context changed";
    EXPECT_EQ(spec_.iHost1, 0x1234);
    return iResult;
  }

  // Expects exactly one log line, at level 8, or none for an empty message.
  static void ExpectLog(const std::string& message) {
    if (message.empty()) {
      EXPECT_TRUE(testlog::Lines().empty()) << testlog::Dump();
    } else {
      EXPECT_EQ(testlog::Lines().size(), 1u) << testlog::Dump();
      EXPECT_EQ(testlog::Count(sarn::kLogTrace, message), 1) << testlog::Dump();
    }
  }

  DriverContext context_;
  GateSpec spec_;
  DriverRequest request_;
};

// ------------------------------------------------------------------ Parse

struct ParseCase {
  Config setup;
  const char* pszText;
  int iPlcAddr, iMemType, iAddress, iBitNr, iBits;
};

TEST_F(AddressTest, ParseDecodesAcceptedTexts) {
  const ParseCase kCases[] = {
      // Modbus, both bases; addresses 1-based in the text, 0-based out.
      {kModbusDec, "0140001", 1, 4, 0, -1, 16},
      {kModbusDec, "0140010F", 1, 4, 9, 15, 1},
      {kModbusDec, "9900001", 99, 0, 0, -1, 1},
      {kModbusDec, "0019999", 0, 1, 9998, -1, 1},
      {kModbusDec, "0000001", 0, 0, 0, -1, 1},
      {kModbusDec, "00400017", 0, 4, 0, 7, 1},
      {kModbusDec, "1A40001", 1, 4, 0, -1, 16},  // decimal reading stops at A
      {kModbusDec, "014001A", 1, 4, 0, -1, 16},  // address reads as 1
      {kModbusHex, "FF40010", 255, 4, 15, -1, 16},
      {kModbusHex, "00400FF", 0, 4, 254, -1, 16},
      {kModbusHex, "0A4FFFFF", 10, 4, 65534, 15, 1},
      // 32-bit gates: odd gate address, halved after making it 0-based.
      {kModbusDec, "0170003", 1, 7, 1, -1, 32},
      {kModbusDec, "0169999", 1, 6, 4999, -1, 32},
      {kModbusDec, "0180101", 1, 8, 50, -1, 32},
      {kModbusDec, "01700031", 1, 7, 1, 1, 32},  // bit number kept, size stays 32
      {kModbusHex, "0180011", 1, 8, 8, -1, 32},  // 0x11 = 17
      {kModbusLong, "0170003", 1, 7, 1, -1, 32},
      {kModbusLong, "0170004", 1, 7, 1, -1, 32},
      {kModbusLong, "0180002", 1, 8, 0, -1, 32},
      {kModbusLong, "0140002", 1, 4, 1, -1, 16},  // LONGADDR leaves 16-bit gates alone
      // GTC, memory type 0.
      {kGtcDec, "0100200", 1, 0, 161, -1, 1},
      {kGtcDec, "0100511", 1, 0, 472, -1, 1},
      {kGtcHex, "01000C8", 1, 0, 161, -1, 1},  // 0xC8 = 200
      // GTC, memory type 1.
      {kGtcDec, "0110001", 1, 1, 1, -1, 1},
      {kGtcDec, "0110017", 1, 1, 15, -1, 1},
      {kGtcDec, "0110018", 1, 1, 16, -1, 1},
      {kGtcDec, "0110020", 1, 1, 16, -1, 1},
      {kGtcDec, "0110200", 1, 1, 161, -1, 1},
      {kGtcDec, "0110719", 1, 1, 680, -1, 1},
      {kGtcDec, "0110801", 1, 1, 681, -1, 1},
      {kGtcDec, "0111198", 1, 1, 1000, -1, 1},
      {kGtcDec, "01100013", 1, 1, 1, 3, 1},
      // GTC, memory type 3: raw, no range check, not 0-based.
      {kGtcDec, "0130000", 1, 3, 0, -1, 16},
      {kGtcDec, "0139999", 1, 3, 9999, -1, 16},
      {kGtcHex, "013FFFF", 1, 3, 65535, -1, 16},
      {kGtcDec, "01300025", 1, 3, 2, 5, 1},
  };
  for (const ParseCase& c : kCases) {
    SCOPED_TRACE(std::string(c.pszText) + (c.setup.cBase == 'H' ? " hex" : " dec") +
                 (c.setup.cProtocol == kGtc ? " GTC" : " Modbus"));
    testlog::Clear();
    Prepare(c.setup, c.pszText);
    ASSERT_EQ(Run(sarn::Parse), 0);
    EXPECT_EQ(spec_.iPlcAddr, c.iPlcAddr);
    EXPECT_EQ(spec_.iMemType, c.iMemType);
    EXPECT_EQ(spec_.iAddress, c.iAddress);
    EXPECT_EQ(spec_.iBitNr, c.iBitNr);
    EXPECT_EQ(spec_.iBits, c.iBits);
    ExpectLog("");
  }
}

struct RefusalCase {
  Config setup;
  const char* pszText;
  const char* pszMessage;  // "" for a silent refusal
};

TEST_F(AddressTest, ParseRefusesWithItsMessage) {
  const std::string kChar = "SARNMD> Parse() #1, illegal char #";
  const RefusalCase kCases[] = {
      // Length: nine or more characters, silently.
      {kModbusDec, "014000100", ""},
      {kModbusDec, "0140001  ", ""},
      // Character sets, first offending position.
      {kModbusDec, "", "SARNMD> Parse() #1, illegal char #0,  "},
      {kModbusDec, "014001", "SARNMD> Parse() #1, illegal char #6,  "},
      {kModbusDec, "0a40001", "SARNMD> Parse() #1, illegal char #1, a"},
      {kModbusDec, "0120001", "SARNMD> Parse() #1, illegal char #2, 2"},
      {kModbusDec, "0190001", "SARNMD> Parse() #1, illegal char #2, 9"},
      {kModbusDec, "01A0001", "SARNMD> Parse() #1, illegal char #2, A"},
      {kModbusDec, "0140 01", "SARNMD> Parse() #1, illegal char #4,  "},
      {kModbusDec, "0140001f", "SARNMD> Parse() #1, illegal char #7, f"},
      {kModbusDec, "0140001G", "SARNMD> Parse() #1, illegal char #7, G"},
      {kModbusHex, "-140001", "SARNMD> Parse() #1, illegal char #0, -"},
      {kModbusHex, "0X40001", "SARNMD> Parse() #1, illegal char #1, X"},
      // Numbers: first character not a digit of the base.
      {kModbusDec, "A140001", "SARNMD> Parse() illegal PLC address"},
      {kModbusDec, "014A001", "SARNMD> Parse() illegal address"},
      {kGtcDec, "013F001", "SARNMD> Parse() illegal address"},
      // Modbus address rules.
      {kModbusDec, "0140000", "SARNMD> Parse() illegal addr. 0 for Modbus"},
      {kModbusDec, "0140A01", "SARNMD> Parse() illegal addr. 0 for Modbus"},
      {kModbusLong, "0170000", "SARNMD> Parse() illegal addr. 0 for Modbus"},
      {kModbusDec, "0170004", "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS"},
      {kModbusDec, "01800021", "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS"},
      {kModbusHex, "016000A", "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS"},
      // GTC ranges.
      {kGtcDec, "0100199", "SARNMD> Parse() Illegal variable nr. Must be between 199 and 512"},
      {kGtcDec, "0100512", "SARNMD> Parse() Illegal variable nr. Must be between 199 and 512"},
      {kGtcDec, "0100000", "SARNMD> Parse() Illegal variable nr. Must be between 199 and 512"},
      {kGtcDec, "0110000", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0110019", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0110199", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0110720", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0110800", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0111199", "SARNMD> Parse() Illegal variable nr."},
      {kGtcDec, "0111200", "SARNMD> Parse() Illegal variable nr."},
      {kGtcHex, "011FFFF", "SARNMD> Parse() Illegal variable nr."},
      // GTC memory types, with the padded nine-character text.
      {kGtcDec, "0140001", "SARNMD> Parse() Illegal memory type for GTC in gate '0140001  '"},
      {kGtcDec, "01800015", "SARNMD> Parse() Illegal memory type for GTC in gate '01800015 '"},
      {kGtcDec, "0150001", "SARNMD> Parse() Illegal memory type for GTC in gate '0150001  '"},
  };
  for (const RefusalCase& c : kCases) {
    SCOPED_TRACE(std::string("'") + c.pszText + "'");
    testlog::Clear();
    Prepare(c.setup, c.pszText);
    EXPECT_EQ(Run(sarn::Parse), 1);
    ExpectLog(c.pszMessage);
  }
}

TEST_F(AddressTest, ParseRefusesAnUnknownProtocol) {
  for (char cProtocol : {char{2}, char{-1}, 'M'}) {
    testlog::Clear();
    Prepare({cProtocol, 'D', 0}, "0130001");
    EXPECT_EQ(Run(sarn::Parse), 1);
    ExpectLog("SARNMD> Parse() Illegal program step");
  }
}

TEST_F(AddressTest, AnyBaseButHIsDecimal) {
  for (char cBase : {'D', 'h', 'X', '\0'}) {
    testlog::Clear();
    Prepare({kModbus, cBase, 0}, "1B40012");
    ASSERT_EQ(Run(sarn::Parse), 0);
    EXPECT_EQ(spec_.iPlcAddr, 1);
    EXPECT_EQ(spec_.iAddress, 11);
  }
}

TEST_F(AddressTest, FieldsWrittenBeforeTheRefusalKeepTheirValues) {
  Prepare(kModbusDec, "424A001");
  EXPECT_EQ(Run(sarn::Parse), 1);
  EXPECT_EQ(spec_.iPlcAddr, 42);
  EXPECT_EQ(spec_.iMemType, kUnset);

  Prepare(kModbusDec, "A140001");
  EXPECT_EQ(Run(sarn::Parse), 1);
  EXPECT_EQ(spec_.iPlcAddr, kUnset);
}

TEST_F(AddressTest, TextIsNeverReadPastNineCharacters) {
  // Nine characters and no terminator, in a block of exactly that size: the
  // sanitizer build catches any read beyond it.
  for (const char* pszNine : {"0140001  ", "014000100"}) {
    SCOPED_TRACE(pszNine);
    std::unique_ptr<char[]> pText(new char[9]);
    memcpy(pText.get(), pszNine, 9);
    Prepare(kModbusDec, pText.get());
    EXPECT_EQ(Run(sarn::Parse), 1);
    EXPECT_EQ(Run(sarn::SingleAddressParser), 1);
    EXPECT_EQ(Run(sarn::BlockAddressParser), 1);
    EXPECT_EQ(spec_.iPlcAddr, kUnset);
    ExpectLog("");
  }
}

TEST_F(AddressTest, NullAddressTextIsRefused) {
  Prepare(kModbusDec, nullptr);
  EXPECT_EQ(Run(sarn::Parse), 1);
  EXPECT_EQ(Run(sarn::SingleAddressParser), 1);
  EXPECT_EQ(Run(sarn::BlockAddressParser), 1);
  EXPECT_EQ(spec_.iPlcAddr, kUnset);
}

// ---------------------------------------------------- SingleAddressParser

struct TypeCase {
  Config setup;
  const char* pszText;
  const char* pszAccepted;  // data types 0..6 accepted, as digits
};

TEST_F(AddressTest, SingleAddressParserChecksTheDataType) {
  const TypeCase kCases[] = {
      {kModbusDec, "0140001", "012"}, {kModbusDec, "0130001", "012"}, {kModbusDec, "0140010F", "6"},
      {kModbusDec, "01300100", "6"},  {kModbusDec, "0100001", "6"},   {kModbusDec, "0110015", "6"},
      {kModbusDec, "0150001", "3"},   {kModbusDec, "0170001", "3"},   {kModbusDec, "0160001", "45"},
      {kModbusDec, "0180001", "45"},  {kModbusDec, "01700031", ""},   {kModbusDec, "01500010", ""},
      {kModbusDec, "01600011", ""},   {kModbusDec, "01800011", ""},   {kModbusLong, "0180002", "45"},
      {kGtcDec, "0100200", "6"},      {kGtcDec, "0110001", "6"},      {kGtcDec, "0130005", "012"},
      {kGtcDec, "01300052", "6"},
  };
  for (const TypeCase& c : kCases) {
    for (int32_t iType = -1; iType <= 7; ++iType) {
      SCOPED_TRACE(std::string(c.pszText) + " type " + std::to_string(iType));
      testlog::Clear();
      Prepare(c.setup, c.pszText, iType);
      const bool bAccepted = iType >= 0 && iType <= 6 && strchr(c.pszAccepted, '0' + iType) != nullptr;
      EXPECT_EQ(Run(sarn::SingleAddressParser), bAccepted ? 0 : 1);
      ExpectLog("");  // data-type refusals are silent
    }
  }
}

TEST_F(AddressTest, SingleAddressParserPassesParseRefusalsOn) {
  Prepare(kModbusDec, "0140000", 0);
  EXPECT_EQ(Run(sarn::SingleAddressParser), 1);
  ExpectLog("SARNMD> Parse() illegal addr. 0 for Modbus");
}

// ---------------------------------------------------- BlockAddressParser

struct BlockCase {
  Config setup;
  const char* pszText;
  int32_t iCount;
  int iResult;
  int iAddress;  // expected iAddress, or kUnset to skip the check
  const char* pszMessage;
};

TEST_F(AddressTest, BlockAddressParserChecksLengthAndStart) {
  const BlockCase kCases[] = {
      // Modbus limits, no lower bound.
      {kModbusDec, "0100001", 2000, 0, 0, ""},
      {kModbusDec, "0100001", 2001, 1, 0, "SARNMD> BlockParse() block too large (max. 2000)"},
      {kModbusDec, "0140001", 125, 0, 0, ""},
      {kModbusDec, "0130001", 126, 1, 0, "SARNMD> BlockParse() block too large (max. 125)"},
      {kModbusDec, "0140001", 126, 1, 0, "SARNMD> BlockParse() block too large (max. 125)"},
      {kModbusDec, "0170001", 62, 0, 0, ""},
      {kModbusDec, "0170001", 63, 1, 0, "SARNMD> BlockParse() block too large (max. 62)"},
      {kModbusDec, "0180003", 63, 1, 1, "SARNMD> BlockParse() block too large (max. 62)"},
      {kModbusDec, "0140001", 0, 0, 0, ""},
      {kModbusDec, "0140001", -5, 0, 0, ""},
      {kModbusLong, "0180004", 62, 0, 1, ""},
      // A bit number refuses the block before parsing, silently.
      {kModbusDec, "01400015", 1, 1, kUnset, ""},
      {kModbusDec, "0140000F", 1, 1, kUnset, ""},
      {kGtcDec, "01300011", 64, 1, kUnset, ""},
      // Parse refusals come through with their message.
      {kModbusDec, "0140000", 1, 1, kUnset, "SARNMD> Parse() illegal addr. 0 for Modbus"},
      {kModbusDec, "014001", 1, 1, kUnset, "SARNMD> Parse() #1, illegal char #6,  "},
      // GTC memory type 0.
      {kGtcDec, "0100200", 312, 0, 161, ""},
      {kGtcDec, "0100200", 320, 1, 161, "SARNMD> BlockParse() block too large (max. 312)"},
      {kGtcDec, "0100200", 100, 1, 161, "SARNMD> BlockParse() block length must be a multiple of 8"},
      {kGtcDec, "0100208", 8, 1, 169, "SARNMD> BlockParse() Startaddress must be 200"},
      {kGtcDec, "0100208", 9, 1, 169, "SARNMD> BlockParse() block length must be a multiple of 8"},
      // GTC memory type 1.
      {kGtcDec, "0110001", 1000, 0, 1, ""},
      {kGtcDec, "0110001", 1001, 1, 1, "SARNMD> BlockParse() block too large (max. 1000)"},
      {kGtcDec, "0110002", 10, 1, 2, "SARNMD> BlockParse() Startaddress must be 1"},
      {kGtcDec, "0110002", 1001, 1, 2, "SARNMD> BlockParse() block too large (max. 1000)"},
      // GTC memory type 3: area number to running start.
      {kGtcDec, "0130001", 64, 0, 1, ""},
      {kGtcDec, "0130002", 42, 0, 65, ""},
      {kGtcDec, "0130003", 64, 0, 107, ""},
      {kGtcHex, "0130003", 64, 0, 107, ""},
      {kGtcDec, "0130001", 42, 1, 1, "SARNMD> BlockParse() blocklength is not 64"},
      {kGtcDec, "0130002", 64, 1, 65, "SARNMD> BlockParse() blocklength is not 42"},
      {kGtcDec, "0130003", 42, 1, 107, "SARNMD> BlockParse() blocklength is not 64"},
      {kGtcDec, "0130000", 64, 1, 0, "SARNMD> BlockParse() Wrong blockaddress or blocklength"},
      {kGtcDec, "0130004", 64, 1, 4, "SARNMD> BlockParse() Wrong blockaddress or blocklength"},
      {kGtcDec, "0140001", 1, 1, kUnset, "SARNMD> Parse() Illegal memory type for GTC in gate '0140001  '"},
  };
  for (const BlockCase& c : kCases) {
    SCOPED_TRACE(std::string(c.pszText) + (c.setup.cProtocol == kGtc ? " GTC" : " Modbus") + " count " +
                 std::to_string(c.iCount));
    testlog::Clear();
    Prepare(c.setup, c.pszText, 0x5A5A, c.iCount);
    EXPECT_EQ(Run(sarn::BlockAddressParser), c.iResult);
    if (c.iAddress != kUnset) {
      EXPECT_EQ(spec_.iAddress, c.iAddress);
    }
    EXPECT_EQ(spec_.iCount, c.iCount);
    ExpectLog(c.pszMessage);
  }
}

// Every input bit a block reaches has a gate address that names it again,
// and every input gate address names a bit whose gate address it is, or the
// other of the bit's two names.
TEST(GtcInputNumbering, GateOfEachBitNamesThatBit) {
  for (int32_t n = 1; n <= 1000; ++n) {
    const int32_t a = sarn::GtcInputGate(n);
    EXPECT_EQ(sarn::GtcInputBit(a), n) << "bit " << n << ", gate " << a;
  }
  for (int32_t a = 0; a <= 1300; ++a) {
    const int32_t n = sarn::GtcInputBit(a);
    if (n < 0) continue;
    const int32_t b = sarn::GtcInputGate(n);
    EXPECT_TRUE(b == a || (a % 10 == 8 && b == a + 2) || (a % 10 == 0 && b == a - 2)) << "gate " << a << ", bit " << n;
  }
  EXPECT_EQ(sarn::GtcInputGate(160), 198);
  EXPECT_EQ(sarn::GtcInputGate(161), 200);
  EXPECT_EQ(sarn::GtcInputGate(16), 20);
  EXPECT_EQ(sarn::GtcInputGate(1000), 1198);
}

}  // namespace
