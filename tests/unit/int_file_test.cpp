// The initialization file: names, line pieces, keys and their messages, and
// the settings summary.
#include "config/int_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "sarnmd.h"
#include "support/test_log.h"

namespace {

using Logged = std::vector<std::pair<int, std::string>>;

const char kIllegal[] = "SARNMD> Illegal format of Int File:";
const char kSwapCheck[] = "SARNMD> Check for SWAP = in your int file. Assuming NO swap";
const char kFloatCheck[] = "SARNMD> Check for FLOATSWAP = in your int file. Assuming NO swap";
const char kLongCheck[] = "SARNMD> Check for LONGADDR = in your int file. Assuming NO switching";
const char kRtsCheck[] = "SARNMD> Check for RTSCTS = in your int file. Assuming NO switching";
const char kEchoCheck[] = "SARNMD> Check for ECHO = in your int file. Assuming NO echo";
const char kIfgCheck[] = "SARNMD> Check for IFG = in your int file. Assuming IFG = 0";
const char kNoProtocol[] = "SARNMD> No protocol given! - ";
const char kDefaultProtocol[] = "SARNMD> Default protocol used: Protocol=Modbus";
const char kNoBase[] = "SARNMD> No base given! - ";
const char kDefaultBase[] = "SARNMD> Default base used: Base=Decimal";

std::string IllegalLine(int iLine) {
  return "SARNMD> Illegal line " + std::to_string(iLine) + " in Int File";
}

// Runs every test in a fresh scratch directory, which is the current
// directory the driver looks in.
class IntFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // Windows has no mkdtemp: _mktemp_s picks the name, the directory is made here.
    std::string temp = (std::filesystem::temp_directory_path() / "sarn_int_XXXXXX").string();
    ASSERT_EQ(_mktemp_s(temp.data(), temp.size() + 1), 0);
    ASSERT_TRUE(std::filesystem::create_directory(temp));
    dir_ = temp;
#else
    char szTemplate[] = "/tmp/sarn_int_XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    dir_ = szTemplate;
#endif
    home_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    ResetContext();
  }
  void TearDown() override {
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(dir_);
  }

  // The context as cold start hands it over: defaults set, the rest garbage.
  void ResetContext() {
    memset(&context_, 0x5A, sizeof context_);
    context_.cProtocol = 0;
    context_.cBase = 'D';
    context_.wFlags = 0;
    context_.cRtsCts = 0;
    context_.iIfg = 0;
    testlog::Clear();
  }

  static void Write(const char* pszName, const std::string& content) {
    std::ofstream(pszName, std::ios::binary) << content;
  }

  void Read(int iDriverNr) {
    DriverRequest request{&context_, SARN_OP_COLD_START, iDriverNr, 0, nullptr};
    sarn::ReadIntFile(&request);
  }

  // What was logged while the file was read: between the line naming the
  // file and the summary.
  static Logged FileMessages() {
    Logged out;
    bool bIn = false;
    for (const testlog::Line& line : testlog::Lines()) {
      if (line.text.rfind("SARNMD> Protocol = ", 0) == 0) break;
      if (bIn) out.emplace_back(line.iLevel, line.text);
      if (line.text.rfind("SARNMD> ReadIntFile() reading initfile", 0) == 0) bIn = true;
    }
    return out;
  }

  std::filesystem::path dir_;
  std::filesystem::path home_;
  DriverContext context_;
};

struct FileCase {
  const char* pszContent;
  char cProtocol;
  char cBase;
  uint16_t wFlags;
  uint8_t cRtsCts;
  uint16_t iIfg;
  Logged logged;
};

const FileCase kCases[] = {
    // BUS lines
    {"BUS = MODBUS, HEX\nSWAP = YES\nFLOATSWAP = NO\nLONGADDR = NO\nRTSCTS = YES\nIFG = 20\n", 0, 'H', 2, 1, 20, {}},
    {"BUS = GTC\n", 1, 'D', 0, 0, 0, {{32, kNoBase}, {32, kDefaultBase}}},
    {"BUS = , HEX\n", 0, 'H', 0, 0, 0, {{32, kNoProtocol}, {32, kDefaultProtocol}}},
    {"bus=modbus,hex\n", 0, 'H', 0, 0, 0, {}},
    {"   BUS   =   GTC ,   DECIMAL\n", 1, 'D', 0, 0, 0, {}},
    {"BUS = MODBUS ASCII, HEXADECIMAL\n", 0, 'H', 0, 0, 0, {}},
    {"BUS = GTC, HEX\nBUS = PROFIBUS, OCTAL\n",
     0,
     'D',
     0,
     0,
     0,
     {{32, kNoProtocol}, {32, kDefaultProtocol}, {32, kNoBase}, {32, kDefaultBase}}},
    {"BUS = GTC HEX\n", 1, 'D', 0, 0, 0, {{32, kNoBase}, {32, kDefaultBase}}},
    {"BUS\t= GTC, HEX\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"BUSSES = GTC, HEX\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    // switch keys
    {"SWAP=YES\n", 0, 'D', 2, 0, 0, {}},
    {"SWAP   =   yes\n", 0, 'D', 2, 0, 0, {}},
    {"SWAP\t=\tYES\n", 0, 'D', 2, 0, 0, {}},
    {"SWAP = YES", 0, 'D', 2, 0, 0, {}},
    {"SWAP = YESTERDAY\n", 0, 'D', 2, 0, 0, {}},
    {"SWAP = YES\nSWAP = NONE\n", 0, 'D', 0, 0, 0, {}},
    {"SWAP = YES\nSWAP = NO", 0, 'D', 0, 0, 0, {}},
    {"SWAP = YES\nSWAP = Y\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kSwapCheck}}},
    {"SWAP = YE\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kSwapCheck}}},
    {"SWAP = Y", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"SWAP =\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {" SWAP = YES\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"FLOATSWAP = YES\n", 0, 'D', 4, 0, 0, {}},
    {"LONGADDR = yes\n", 0, 'D', 8, 0, 0, {}},
    {"RTSCTS = YES\n", 0, 'D', 0, 1, 0, {}},
    {"SWAP = YES\nFLOATSWAP = YES\nLONGADDR = YES\nFLOATSWAP = MAYBE\n",
     0,
     'D',
     10,
     0,
     0,
     {{32, kIllegal}, {32, kFloatCheck}}},
    {"LONGADDR = YES\nLONGADDR = 1\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kLongCheck}}},
    {"RTSCTS = YES\nRTSCTS = ON\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kRtsCheck}}},
    // ECHO: a line that hears its own requests
    {"ECHO = YES\n", 0, 'D', SARN_FLAG_ECHO, 0, 0, {}},
    {"echo=yes\nSWAP = YES\n", 0, 'D', SARN_FLAG_ECHO | SARN_FLAG_SWAP, 0, 0, {}},
    {"ECHO = YES\nECHO = NO\n", 0, 'D', 0, 0, 0, {}},
    {"ECHO = YES\nECHO = ON\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kEchoCheck}}},
    {" ECHO = YES\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    // IFG
    {"IFG = 20\n", 0, 'D', 0, 0, 20, {}},
    {"IFG=20MS\n", 0, 'D', 0, 0, 20, {}},
    {"IFG = 5\nIFG = 0\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kIfgCheck}}},
    {"IFG = 5\nIFG = 65536\n", 0, 'D', 0, 0, 0, {}},
    {"IFG = 65537\n", 0, 'D', 0, 0, 1, {}},
    {"IFG = 4294967297\n", 0, 'D', 0, 0, 1, {}},
    {"IFG = X\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"IFG = -1\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"IFG = +7\n", 0, 'D', 0, 0, 7, {}},
    {"IFG=+65537\n", 0, 'D', 0, 0, 1, {}},
    {"IFG = +0\n", 0, 'D', 0, 0, 0, {{32, kIllegal}, {32, kIfgCheck}}},
    {"IFG = +-7\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"IFG = + 7\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {" IFG = 20\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    // empty and unknown lines, numbering
    {"\n\n\n", 0, 'D', 0, 0, 0, {}},
    {"   \n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"; comment\n", 0, 'D', 0, 0, 0, {{32, IllegalLine(1)}}},
    {"\nBUS = GTC, HEX\n\nPARITY = EVEN\nIFG = 3\n# end",
     1,
     'H',
     0,
     0,
     3,
     {{32, IllegalLine(4)}, {32, IllegalLine(6)}}},
    {"SWAP = YES\r\n\r\nIFG = 7\r\nSWAP =\r\n", 0, 'D', 2, 0, 7, {{32, IllegalLine(4)}}},
};

TEST_F(IntFileTest, FileContentsSetTheContextAndLogTheirFaults) {
  for (const FileCase& c : kCases) {
    SCOPED_TRACE(::testing::Message() << "file: \"" << c.pszContent << "\"");
    ResetContext();
    Write("SARNMD.INT", c.pszContent);
    DriverContext before;
    memcpy(&before, &context_, sizeof before);
    Read(3);
    EXPECT_EQ(context_.cProtocol, c.cProtocol);
    EXPECT_EQ(context_.cBase, c.cBase);
    EXPECT_EQ(context_.wFlags, c.wFlags);
    EXPECT_EQ(context_.cRtsCts, c.cRtsCts);
    EXPECT_EQ(context_.iIfg, c.iIfg);
    EXPECT_EQ(FileMessages(), c.logged) << testlog::Dump();
    // Nothing but the five settings is touched.
    before.cProtocol = context_.cProtocol;
    before.cBase = context_.cBase;
    before.wFlags = context_.wFlags;
    before.cRtsCts = context_.cRtsCts;
    before.iIfg = context_.iIfg;
    EXPECT_EQ(memcmp(&before, &context_, sizeof before), 0);
  }
}

TEST_F(IntFileTest, SummaryListsModbusSettingsButNotRtsCts) {
  Write("SARNMD.INT", "BUS = MODBUS, HEX\nFLOATSWAP = YES\nLONGADDR = YES\nRTSCTS = YES\nIFG = 250\n");
  Read(1);
  const Logged expected = {
      {8, "SARNMD> ReadIntFile() reading initfile 'SARNMD.INT'"},
      {32, "SARNMD> Protocol = Modbus"},
      {32, "SARNMD> Base = Hexadecimal"},
      {32, "SARNMD> Word swap of int 32bit gates = NO"},
      {32, "SARNMD> Word swap of float gates = YES"},
      {32, "SARNMD> Long word addres mapping = YES"},
      {32, "SARNMD> Inter Frame Gap = 250 msec."},
  };
  Logged logged;
  for (const testlog::Line& line : testlog::Lines()) logged.emplace_back(line.iLevel, line.text);
  EXPECT_EQ(logged, expected);
}

// The echo setting is reported when set, for GTC lines too; a file without
// it reports nothing new (the other summaries above).
TEST_F(IntFileTest, SummaryReportsALineThatEchoesItsRequests) {
  Write("SARNMD.INT", "BUS = GTC, DEC\nECHO = YES\n");
  Read(1);
  ASSERT_EQ(testlog::Lines().size(), 4u) << testlog::Dump();
  EXPECT_EQ(testlog::Lines()[3].iLevel, 32);
  EXPECT_EQ(testlog::Lines()[3].text, "SARNMD> Echo of requests on the line = YES");
}

TEST_F(IntFileTest, SummaryForGtcStopsAfterTheBase) {
  Write("SARNMD.INT", "BUS = GTC, DEC\nSWAP = YES\n");
  Read(1);
  ASSERT_EQ(testlog::Lines().size(), 3u) << testlog::Dump();
  EXPECT_EQ(testlog::Lines()[1].text, "SARNMD> Protocol = GTC");
  EXPECT_EQ(testlog::Lines()[2].text, "SARNMD> Base = Decimal");
  EXPECT_EQ(context_.wFlags, 2);
}

TEST_F(IntFileTest, WithoutAFileTheDefaultsStayAndAreReported) {
  context_.cBase = 'H';  // whatever cold start left is kept
  context_.iIfg = 9;
  Read(4);
  EXPECT_EQ(context_.cBase, 'H');
  EXPECT_EQ(context_.iIfg, 9);
  EXPECT_EQ(testlog::Count(8, "SARNMD> ReadIntFile() no initfile found, defaults used"), 1);
  EXPECT_EQ(testlog::Count(32, "SARNMD> Protocol = Modbus"), 1);
  EXPECT_EQ(testlog::Count(32, "SARNMD> Inter Frame Gap = 9 msec."), 1);
  EXPECT_EQ(testlog::Lines().size(), 7u) << testlog::Dump();
}

TEST_F(IntFileTest, NamesArePreferredTwoDigitsThenOneThenNone) {
  Write("SARNMD05.INT", "IFG = 1\n");
  Write("SARNMD5.INT", "IFG = 2\n");
  Write("SARNMD.INT", "IFG = 3\n");
  Write("SARNMD005.INT", "IFG = 4\n");
  const std::pair<const char*, int> kSteps[] = {{"SARNMD05.INT", 1}, {"SARNMD5.INT", 2}, {"SARNMD.INT", 3}};
  for (const auto& [pszName, iIfg] : kSteps) {
    testlog::Clear();
    Read(5);
    EXPECT_EQ(context_.iIfg, iIfg);
    EXPECT_TRUE(testlog::Contains(std::string("SARNMD> ReadIntFile() reading initfile '") + pszName + "'"))
        << testlog::Dump();
    std::filesystem::remove(pszName);
  }

  Write("SARNMD12.INT", "IFG = 12\n");
  Write("SARNMD.INT", "IFG = 3\n");
  Read(12);
  EXPECT_EQ(context_.iIfg, 12);
  std::filesystem::remove("SARNMD12.INT");
  Read(12);
  EXPECT_EQ(context_.iIfg, 3);
}

TEST_F(IntFileTest, OpenIntFileLeavesTheLastNameTriedAndNeverOpensACutName) {
  char szName[32];
  EXPECT_EQ(sarn::OpenIntFile("SARNMD", szName, sizeof szName, 7), nullptr);
  EXPECT_STREQ(szName, "SARNMD.INT");

  // "SARNMD07.INT" cut to 8 characters would be "SARNMD0", which exists.
  Write("SARNMD0", "IFG = 1\n");
  char szShort[8];
  EXPECT_EQ(sarn::OpenIntFile("SARNMD", szShort, sizeof szShort, 7), nullptr);
  EXPECT_EQ(sarn::OpenIntFile("SARNMD", szShort, 0, 7), nullptr);

  Write("SARNMD7.INT", "");
  FILE* pFile = sarn::OpenIntFile("SARNMD", szName, sizeof szName, 7);
  ASSERT_NE(pFile, nullptr);
  EXPECT_STREQ(szName, "SARNMD7.INT");
  fclose(pFile);
}

TEST_F(IntFileTest, LongLinesAreReadIn255CharacterPiecesEachCounted) {
  const std::string kIfg9 = "IFG = 9";
  // 254 characters and the newline: one piece.
  // 255 characters and the newline: the newline is a piece of its own.
  // 255 junk characters then a key: the key is a line of its own.
  // 600 characters: three pieces.
  const std::string content = kIfg9 + std::string(254 - kIfg9.size(), ' ') + "\n" +  // line 1
                              "JUNK\n" +                                             // line 2
                              kIfg9 + std::string(255 - kIfg9.size(), ' ') + "\n" +  // lines 3, 4
                              "JUNK\n" +                                             // line 5
                              std::string(255, 'X') + "SWAP = YES\n" +               // lines 6, 7
                              std::string(600, 'a') + "\n" +                         // lines 8 to 10
                              "JUNK\n";                                              // line 11
  Write("SARNMD.INT", content);
  Read(0);
  EXPECT_EQ(context_.iIfg, 9);
  EXPECT_EQ(context_.wFlags, 2);
  const Logged expected = {{32, IllegalLine(2)}, {32, IllegalLine(5)},  {32, IllegalLine(6)}, {32, IllegalLine(8)},
                           {32, IllegalLine(9)}, {32, IllegalLine(10)}, {32, IllegalLine(11)}};
  EXPECT_EQ(FileMessages(), expected) << testlog::Dump();
}

TEST_F(IntFileTest, ParseBusLineTakesOnlyBusLines) {
  struct Case {
    const char* pszLine;
    int iResult;
  };
  const Case kLines[] = {
      {"BUS = GTC, HEX", 1}, {"BUS=", 1},       {"  BUS  =  ,", 1}, {"BUS", 0}, {"BUS GTC", 0},
      {"\tBUS = GTC", 0},    {"XBUS = GTC", 0}, {"SWAP = YES", 0},  {"", 0},
  };
  for (const Case& c : kLines) {
    context_.cProtocol = 7;
    context_.cBase = 'Q';
    EXPECT_EQ(sarn::ParseBusLine(c.pszLine, &context_), c.iResult) << c.pszLine;
    if (c.iResult == 0) {
      EXPECT_EQ(context_.cProtocol, 7) << c.pszLine;
      EXPECT_EQ(context_.cBase, 'Q') << c.pszLine;
    }
  }
}

}  // namespace
