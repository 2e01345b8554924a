// A host stand-in on Windows: loads sarnmd.dll by name with LoadLibraryA,
// calls SarnMain through the address GetProcAddress yields, and reads what
// the driver logged through korven.dll from the file named by KORVEN_LOG.
//
// Every test loads the module afresh, so its module-wide state (the stop
// flag, the daily-restart day) starts as after a host's load.
//
// With SARN_WINE_COM set to a port name (such as COM5) whose device is a
// simulated controller (plcsim --fill) on an 8N1 line, reads and writes run
// against it as well.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "sarnmd.h"

namespace {

#ifdef _WIN64
// The records a 64-bit host hands over, as it lays them out: 8-byte
// pointers and port handle.
static_assert(sizeof(void*) == 8, "the driver DLL is a 64-bit module");
static_assert(sizeof(DriverRequest) == 32 && sizeof(GateTransfer) == 56 && sizeof(GateSpec) == 40);
static_assert(sizeof(DriverInfo) == 48 && sizeof(DriverContext) == SARN_CONTEXT_SIZE && SARN_CONTEXT_SIZE == 1264);
#else
// The records a 32-bit host hands over, as it lays them out.
static_assert(sizeof(void*) == 4, "the driver DLL is a 32-bit module");
static_assert(sizeof(DriverRequest) == 20 && sizeof(GateTransfer) == 44 && sizeof(GateSpec) == 36);
static_assert(sizeof(DriverInfo) == 32 && sizeof(DriverContext) <= SARN_CONTEXT_SIZE);
#endif

constexpr int kTrace = 8;
constexpr int kReport = 32;

constexpr int32_t kTypeWord = 0;
constexpr int32_t kTypeBit = 6;

std::string g_scratchDir;  // current directory of the tests
std::string g_logPath;     // KORVEN_LOG

// Makes a fresh scratch directory, makes it the current directory (where
// the driver looks for its initialization file) and points KORVEN_LOG into it.
class ScratchEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char szTemp[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof szTemp, szTemp), 0u);
    g_scratchDir = std::string(szTemp) + "sarn_load_" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(g_scratchDir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    GetCurrentDirectoryA(sizeof szHome_, szHome_);
    ASSERT_TRUE(SetCurrentDirectoryA(g_scratchDir.c_str()));
    g_logPath = g_scratchDir + "\\korven.log";
    ASSERT_EQ(_putenv_s("KORVEN_LOG", g_logPath.c_str()), 0);
  }
  void TearDown() override {
    SetCurrentDirectoryA(szHome_);
    DeleteFileA(g_logPath.c_str());
    for (const char* pszFile : {"\\SARNMD3.INT", "\\SARNMD4.INT"}) DeleteFileA((g_scratchDir + pszFile).c_str());
    RemoveDirectoryA(g_scratchDir.c_str());
  }

 private:
  char szHome_[MAX_PATH] = "";
};

struct LogLine {
  int iLevel;
  std::string text;
};

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteFileA(g_logPath.c_str());
    Load();
    memset(context_, 0, sizeof context_);
  }
  void TearDown() override {
    if (hModule_ != nullptr) FreeLibrary(hModule_);
  }

  void Load() {
    hModule_ = LoadLibraryA("sarnmd.dll");
    ASSERT_NE(hModule_, nullptr) << "LoadLibraryA failed, error " << GetLastError();
    pfnSarnMain_ = reinterpret_cast<SarnMainFn>(reinterpret_cast<void*>(GetProcAddress(hModule_, "SarnMain")));
    ASSERT_NE(pfnSarnMain_, nullptr);
  }
  void Unload() {
    ASSERT_TRUE(FreeLibrary(hModule_));
    hModule_ = nullptr;
    pfnSarnMain_ = nullptr;
  }

  DriverContext* Context() { return reinterpret_cast<DriverContext*>(context_); }

  ResultCode Call(int32_t iOpCode, void* pParam, int32_t iDriverNr = 1) {
    DriverRequest request{Context(), iOpCode, iDriverNr, 0, pParam};
    return pfnSarnMain_(&request);
  }

  ResultCode ColdStart(const char* pszPort, int32_t bEnable, int32_t iTimeout, LineSettings line,
                       int32_t iDriverNr = 1) {
    ColdStartParams params{};
    strncpy(params.szPort, pszPort, sizeof params.szPort - 1);
    params.bEnable = bEnable;
    params.iTimeout = iTimeout;
    params.line = line;
    return Call(SARN_OP_COLD_START, &params, iDriverNr);
  }

  // Parses a single gate and fills a transfer record from it, as a host
  // keeps the parsed fields with the gate.
  GateTransfer Gate(const char* pszText, int32_t iDataType, void* pData, int32_t iCount = 1) {
    GateSpec spec{pszText, 0, iDataType, iCount, 0, 0, 0, 0, 0};
    const int32_t iOp = iCount == 1 ? SARN_OP_SINGLE_ADDRESS_PARSER : SARN_OP_BLOCK_ADDRESS_PARSER;
    EXPECT_EQ(Call(iOp, &spec), SARN_OK) << pszText;
    return GateTransfer{pszText, 0, spec.iPlcAddr, spec.iMemType, spec.iAddress, spec.iBitNr, spec.iBits, iDataType,
                        iCount,  0, pData};
  }

  // The lines the driver logged through korven.dll so far.
  static std::vector<LogLine> Logged() {
    std::vector<LogLine> lines;
    std::ifstream file(g_logPath, std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
      const size_t tab1 = line.find('\t');
      const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
      if (tab2 == std::string::npos) {
        lines.push_back({-1, line});
        continue;
      }
      lines.push_back({atoi(line.substr(tab1 + 1, tab2 - tab1 - 1).c_str()), line.substr(tab2 + 1)});
    }
    return lines;
  }
  static int Count(int iLevel, const std::string& text) {
    int n = 0;
    for (const LogLine& line : Logged()) n += line.iLevel == iLevel && line.text == text;
    return n;
  }
  static std::string Dump() {
    std::ifstream file(g_logPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  HMODULE hModule_ = nullptr;
  SarnMainFn pfnSarnMain_ = nullptr;
  // The block a host allocates for a context, of the size GetSarnInfo reports.
  alignas(8) unsigned char context_[SARN_CONTEXT_SIZE];
};

TEST_F(LoadTest, ExportsSarnMainAndImportsErrFromKorven) {
  // cdecl, undecorated: no "_SarnMain" and no "SarnMain@4".
  EXPECT_EQ(GetProcAddress(hModule_, "_SarnMain"), nullptr);
  EXPECT_EQ(GetProcAddress(hModule_, "SarnMain@4"), nullptr);
  // The loader brought korven.dll in for the driver's import of err.
  HMODULE hKorven = GetModuleHandleA("korven.dll");
  ASSERT_NE(hKorven, nullptr);
  EXPECT_NE(GetProcAddress(hKorven, "err"), nullptr);
}

TEST_F(LoadTest, GetSarnInfoWorksWithoutAContext) {
  DriverInfo info;
  memset(&info, 0xA5, sizeof info);
  DriverRequest request{nullptr, SARN_OP_GET_SARN_INFO, 0, 0, &info};
  ASSERT_EQ(pfnSarnMain_(&request), SARN_OK);
  EXPECT_EQ(info.iInfoId, 70);
  EXPECT_STREQ(info.pszDriverName, "Modicon Modbus ASCII");
  ASSERT_NE(info.pszBanner, nullptr);
  EXPECT_EQ(strlen(info.pszBanner), 205u);
  EXPECT_EQ(info.iContextSize, SARN_CONTEXT_SIZE);
  EXPECT_EQ(info.iInfoA, 4);
  EXPECT_EQ(info.defaultLine.wBaud, 9600);
  EXPECT_EQ(info.defaultLine.wDataBits, 7);
  EXPECT_EQ(info.defaultLine.wStopBits, 2);
  EXPECT_EQ(info.defaultLine.wParity, 2);
  EXPECT_EQ(info.iInfoB, 3);
}

TEST_F(LoadTest, ColdStartWithoutPortLogsThroughKorven) {
  ASSERT_EQ(ColdStart("COM1", 0, 100, {9600, 7, 2, 2}), SARN_OK);
  EXPECT_EQ(Context()->hCom, nullptr);
  EXPECT_EQ(Count(kTrace, "SARNMD> ReadIntFile() no initfile found, defaults used"), 1) << Dump();
  EXPECT_EQ(Count(kReport, "SARNMD> Protocol = Modbus"), 1) << Dump();
  EXPECT_EQ(Count(kReport, "SARNMD> Inter Frame Gap = 0 msec."), 1) << Dump();
  // korven's line: local time with milliseconds, level, text, CR-less end.
  const std::string log = Dump();
  const std::regex version(
      "(^|\n)\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\t8\tSARNMD> version compiled on [^\r\n]+ at time "
      "\\d{2}:\\d{2}:\\d{2}\n");
  EXPECT_TRUE(std::regex_search(log, version)) << log;
}

TEST_F(LoadTest, ParsesGateTexts) {
  ASSERT_EQ(ColdStart("COM1", 0, 100, {9600, 7, 2, 2}), SARN_OK);
  struct Case {
    const char* pszText;
    int32_t iDataType;
    ResultCode rc;
    int32_t iPlcAddr, iMemType, iAddress, iBitNr, iBits;
    const char* pszMessage;  // logged at level 8 on a refusal, or ""
  };
  const Case kCases[] = {
      {"0140001", kTypeWord, SARN_OK, 1, 4, 0, -1, 16, ""},
      {"0140010F", kTypeBit, SARN_OK, 1, 4, 9, 15, 1, ""},
      {"0170003", 3, SARN_OK, 1, 7, 1, -1, 32, ""},
      {"9900001", kTypeBit, SARN_OK, 99, 0, 0, -1, 1, ""},
      {"0140000", kTypeWord, SARN_REFUSED, 0, 0, 0, 0, 0, "SARNMD> Parse() illegal addr. 0 for Modbus"},
      {"0a40001", kTypeWord, SARN_REFUSED, 0, 0, 0, 0, 0, "SARNMD> Parse() #1, illegal char #1, a"},
      {"0170004", 3, SARN_REFUSED, 0, 0, 0, 0, 0, "SARNMD> Parse() 32 bit gates must have ODD address for MODBUS"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.pszText);
    GateSpec spec{c.pszText, 0x1234, c.iDataType, 1, 0, 0, 0, 0, 0};
    ASSERT_EQ(Call(SARN_OP_SINGLE_ADDRESS_PARSER, &spec), c.rc);
    EXPECT_EQ(spec.iHost1, 0x1234);
    if (c.rc == SARN_OK) {
      EXPECT_EQ(spec.iPlcAddr, c.iPlcAddr);
      EXPECT_EQ(spec.iMemType, c.iMemType);
      EXPECT_EQ(spec.iAddress, c.iAddress);
      EXPECT_EQ(spec.iBitNr, c.iBitNr);
      EXPECT_EQ(spec.iBits, c.iBits);
    } else {
      EXPECT_EQ(Count(kTrace, c.pszMessage), 1) << Dump();
    }
  }
  GateSpec block{"0140001", 0, kTypeWord, 10, 0, 0, 0, 0, 0};
  EXPECT_EQ(Call(SARN_OP_BLOCK_ADDRESS_PARSER, &block), SARN_OK);
}

// The initialization file is read in text mode: CR LF line ends are lines.
TEST_F(LoadTest, ReadsAnInitializationFileWithCrLfLines) {
  {
    std::ofstream file(g_scratchDir + "\\SARNMD3.INT", std::ios::binary);
    file << "BUS = GTC, HEX\r\nSWAP = YES\r\nIFG = 20\r\n";
  }
  ASSERT_EQ(ColdStart("COM1", 0, 100, {9600, 7, 2, 2}, 3), SARN_OK);
  DeleteFileA((g_scratchDir + "\\SARNMD3.INT").c_str());
  EXPECT_EQ(Context()->cProtocol, 1);
  EXPECT_EQ(Context()->cBase, 'H');
  EXPECT_EQ(Context()->wFlags, SARN_FLAG_SWAP);
  EXPECT_EQ(Context()->iIfg, 20);
  EXPECT_EQ(Count(kTrace, "SARNMD> ReadIntFile() reading initfile 'SARNMD03.INT'") +
                Count(kTrace, "SARNMD> ReadIntFile() reading initfile 'SARNMD3.INT'"),
            1)
      << Dump();
  EXPECT_EQ(Dump().find("Illegal"), std::string::npos) << Dump();
}

TEST_F(LoadTest, ColdStartOnNulThenAReadTimesOut) {
  ASSERT_EQ(ColdStart("NUL", 1, 10, {9600, 7, 2, 2}), SARN_OK) << Dump();
  EXPECT_NE(Context()->hCom, nullptr);
  // The fields after the handle are where the host looks for them.
  EXPECT_STREQ(Context()->port.szName, "NUL");
  EXPECT_EQ(Context()->port.line.wBaud, 9600);
  EXPECT_EQ(Context()->port.line.wParity, 2);
  EXPECT_EQ(Context()->port.wControl, 0x0303);
  EXPECT_EQ(Context()->bWriting, 0);
  EXPECT_EQ(Count(kReport, "SARNMD> ModBus/GTC 32bit driver installed"), 1) << Dump();

  unsigned char cell[4] = {0x11, 0x22, 0x33, 0x44};
  GateTransfer gate = Gate("0140001", kTypeWord, cell);
  const DWORD dwStart = GetTickCount();
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &gate), SARN_LINE_FAIL);
  // The null device delivers nothing at once: no read waits out the time-out.
  EXPECT_LT(GetTickCount() - dwStart, 5000u);
  const unsigned char kUntouched[4] = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(memcmp(cell, kUntouched, sizeof cell), 0);

  EXPECT_EQ(Count(kReport, "Restart Communication succeed"), 1) << Dump();
  EXPECT_EQ(Count(kTrace, "SARNMD> Receive() #1: timeout (iRead=0)"), 3) << Dump();
  for (int iRetry = 1; iRetry <= 3; ++iRetry) {
    EXPECT_EQ(Count(kTrace, "SARNMD> DoRead() error reading reply, retry " + std::to_string(iRetry)), 1) << Dump();
  }
  EXPECT_EQ(Count(kTrace, "SARNMD> SingleRead() , ret val is 2 for '0140001'"), 1) << Dump();

  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), SARN_OK);
  EXPECT_EQ(Context()->hCom, nullptr);
  EXPECT_EQ(Context()->bComOpen, 0);
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &gate), SARN_REFUSED);
}

TEST_F(LoadTest, ColdStartOnAMissingPortFails) {
  EXPECT_EQ(ColdStart("COM199", 1, 10, {9600, 7, 2, 2}), SARN_LINE_FAIL);
  EXPECT_EQ(Context()->hCom, nullptr);
  EXPECT_EQ(Count(kReport, "SARNMD> ColdStart() error opening COM port"), 1) << Dump();
}

TEST_F(LoadTest, EndSarnStopsTheModuleUntilItIsLoadedAgain) {
  ASSERT_EQ(ColdStart("NUL", 1, 10, {9600, 7, 2, 2}), SARN_OK);
  ASSERT_EQ(Call(SARN_OP_END_SARN, nullptr), SARN_OK);
  EXPECT_EQ(Context()->hCom, nullptr);
  EXPECT_EQ(Count(kTrace, "SARNMD> EndSarn()"), 1) << Dump();

  DriverInfo info;
  memset(&info, 0xA5, sizeof info);
  EXPECT_EQ(Call(SARN_OP_GET_SARN_INFO, &info), SARN_OK);
  EXPECT_EQ(info.iInfoId, static_cast<int32_t>(0xA5A5A5A5));
  EXPECT_EQ(Call(99, nullptr), SARN_OK);

  Unload();
  Load();
  EXPECT_EQ(Call(SARN_OP_GET_SARN_INFO, &info), SARN_OK);
  EXPECT_EQ(info.iInfoId, 70);
  EXPECT_EQ(Call(99, nullptr), SARN_LINE_FAIL);
}

// Reads and writes on a real COM port, when one is given: the controller
// simulator with its tables filled (the holding register at gate address k
// holds k) at address 1.
TEST_F(LoadTest, ReadsAndWritesOnAComPort) {
  const char* pszPort = getenv("SARN_WINE_COM");
  if (pszPort == nullptr || *pszPort == '\0') GTEST_SKIP() << "SARN_WINE_COM not set";
  // 9600 baud, 8 data bits, no parity, one stop bit; reply time-out 1 s.
  ASSERT_EQ(ColdStart(pszPort, 1, 100, {9600, 8, 0, 0}), SARN_OK) << Dump();

  unsigned char cell[4] = {};
  GateTransfer reg = Gate("0140011", kTypeWord, cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &reg), SARN_OK) << Dump();
  uint16_t w = 0;
  memcpy(&w, cell + 2, sizeof w);
  EXPECT_EQ(w, 11);

  uint16_t block[8] = {};
  GateTransfer regs = Gate("0140001", kTypeWord, block, 8);
  ASSERT_EQ(Call(SARN_OP_BLOCK_READ, &regs), SARN_OK) << Dump();
  for (int k = 0; k < 8; ++k) EXPECT_EQ(block[k], k + 1) << k;

  unsigned char value[4] = {0, 0, 0x34, 0x12};  // 0x1234 in the cell's second half
  GateTransfer target = Gate("0140101", kTypeWord, value);
  ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &target), SARN_OK) << Dump();
  unsigned char back[4] = {};
  GateTransfer readBack = Gate("0140101", kTypeWord, back);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &readBack), SARN_OK) << Dump();
  memcpy(&w, back + 2, sizeof w);
  EXPECT_EQ(w, 0x1234);

  // RTS raised around each request (RTSCTS in the initialization file). A
  // pseudo-terminal has no modem lines, so Wine may refuse the RTS changes;
  // the transaction goes through all the same.
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), SARN_OK);
  {
    std::ofstream file(g_scratchDir + "\\SARNMD4.INT", std::ios::binary);
    file << "RTSCTS = YES\r\n";
  }
  ASSERT_EQ(ColdStart(pszPort, 1, 100, {9600, 8, 0, 0}, 4), SARN_OK) << Dump();
  DeleteFileA((g_scratchDir + "\\SARNMD4.INT").c_str());
  ASSERT_EQ(Context()->cRtsCts, 1);
  memset(cell, 0, sizeof cell);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &reg, 4), SARN_OK) << Dump();
  memcpy(&w, cell + 2, sizeof w);
  EXPECT_EQ(w, 11);
  ASSERT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), SARN_OK);

  // A controller address nobody answers: three time-outs of 200 ms each.
  ASSERT_EQ(ColdStart(pszPort, 1, 20, {9600, 8, 0, 0}), SARN_OK) << Dump();
  GateTransfer absent = Gate("0740001", kTypeWord, cell);
  EXPECT_EQ(Call(SARN_OP_SINGLE_READ, &absent), SARN_LINE_FAIL);
  EXPECT_EQ(Count(kTrace, "SARNMD> SingleRead() , ret val is 2 for '0740001'"), 1) << Dump();
  EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr), SARN_OK);
}

// Reads and writes through a serial device server, when gateways are given
// (raw TCP and RFC 2217, ser2net in front of the simulator): the driver
// reaches them through Winsock, routed by GATEWAY = in its file.
TEST_F(LoadTest, ReadsAndWritesThroughAGateway) {
  int nGateways = 0;
  for (const char* pszVar : {"SARN_WINE_GATEWAY_RAW", "SARN_WINE_GATEWAY_RFC2217"}) {
    const char* pszAddress = getenv(pszVar);
    if (pszAddress == nullptr || *pszAddress == '\0') continue;
    ++nGateways;
    {
      std::ofstream file(g_scratchDir + "\\SARNMD5.INT", std::ios::binary);
      file << "GATEWAY = " << pszAddress << "\r\n";
    }
    // ser2net gives the line to one connection at a time, and frees it a
    // moment after the last one closed: the host tries again.
    ResultCode rc = SARN_LINE_FAIL;
    for (int i = 0; i < 20 && rc != SARN_OK; ++i) {
      if (i > 0) Sleep(100);
      rc = ColdStart("COM9", 1, 100, {9600, 8, 0, 0}, 5);
    }
    ASSERT_EQ(rc, SARN_OK) << pszAddress << Dump();
    DeleteFileA((g_scratchDir + "\\SARNMD5.INT").c_str());
    unsigned char value[4] = {0, 0, 0x21, 0x43};
    GateTransfer target = Gate("0140102", kTypeWord, value);
    ASSERT_EQ(Call(SARN_OP_SINGLE_WRITE, &target, 5), SARN_OK) << pszAddress << Dump();
    unsigned char back[4] = {};
    GateTransfer readBack = Gate("0140102", kTypeWord, back);
    ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &readBack, 5), SARN_OK) << pszAddress << Dump();
    uint16_t w = 0;
    memcpy(&w, back + 2, sizeof w);
    EXPECT_EQ(w, 0x4321) << pszAddress;
    EXPECT_EQ(Call(SARN_OP_CLOSE_COM, nullptr, 5), SARN_OK);
  }
  if (nGateways == 0) GTEST_SKIP() << "no SARN_WINE_GATEWAY_RAW or SARN_WINE_GATEWAY_RFC2217";
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new ScratchEnvironment);
  return RUN_ALL_TESTS();
}
