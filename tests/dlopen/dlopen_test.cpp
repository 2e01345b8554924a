// The built driver as a host loads it: dlopen, SarnMain by name, and the log
// arriving in the host library's err() (not the C library's err(3), which
// would end this process).
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sarnmd.h"
#include "support/port_link.h"

namespace {

namespace fs = std::filesystem;

// The driver, loaded once for the whole test program, as a host does.
class LoadedDriver {
 public:
  static LoadedDriver& Get() {
    static LoadedDriver driver;
    return driver;
  }
  SarnMainFn pfnMain = nullptr;
  void* hModule = nullptr;

 private:
  LoadedDriver() {
    hModule = dlopen(SARN_DRIVER_PATH, RTLD_NOW | RTLD_LOCAL);
    if (hModule != nullptr) pfnMain = reinterpret_cast<SarnMainFn>(dlsym(hModule, "SarnMain"));
  }
};

class HostTest : public ::testing::Test {
 protected:
  fs::path dir;
  fs::path oldCwd;
  fs::path logPath;
  DriverContext* pContext = nullptr;
  std::string context;

  void SetUp() override {
    ASSERT_NE(LoadedDriver::Get().pfnMain, nullptr) << dlerror();
    char szTemplate[] = "/tmp/sarnhost-XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    dir = szTemplate;
    oldCwd = fs::current_path();
    fs::current_path(dir);
    logPath = dir / "korven.log";
    setenv("KORVEN_LOG", logPath.c_str(), 1);

    DriverInfo info{};
    ASSERT_EQ(Call(nullptr, SARN_OP_GET_SARN_INFO, &info), 0);
    context.assign(static_cast<size_t>(info.iContextSize), '\0');
    pContext = reinterpret_cast<DriverContext*>(context.data());
  }

  void TearDown() override {
    unsetenv("KORVEN_LOG");
    fs::current_path(oldCwd);
    fs::remove_all(dir);
  }

  ResultCode Call(DriverContext* pCtx, int32_t iOpCode, void* pParam, int32_t iDriverNr = 0) {
    DriverRequest request{pCtx, iOpCode, iDriverNr, 0, pParam};
    return LoadedDriver::Get().pfnMain(&request);
  }

  std::string Log() const {
    std::ifstream in(logPath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // True when the log has a line "<timestamp>\t<level>\t<text>".
  bool Logged(int iLevel, const std::string& text) const {
    std::istringstream lines(Log());
    std::string line;
    const std::string tail = "\t" + std::to_string(iLevel) + "\t" + text;
    while (std::getline(lines, line)) {
      if (line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
          line.find('\t') == line.size() - tail.size())
        return true;
    }
    return false;
  }

  ColdStartParams Params(const std::string& port, int32_t bEnable = 1) {
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
    params.bEnable = bEnable;
    params.iTimeout = 20;
    params.line = {9600, 7, 2, 2};
    return params;
  }
};

// A pseudo-terminal; the driver opens its slave side.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) slave = ptsname(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

TEST_F(HostTest, GetSarnInfoWithoutAContext) {
  DriverInfo info{};
  ASSERT_EQ(Call(nullptr, SARN_OP_GET_SARN_INFO, &info), 0);
  EXPECT_EQ(info.iInfoId, 70);
  EXPECT_EQ(info.iContextSize, 1256);
  EXPECT_EQ(info.iInfoA, 4);
  EXPECT_EQ(info.iInfoB, 3);
  EXPECT_EQ(info.defaultLine.wBaud, 9600);
  EXPECT_EQ(info.defaultLine.wDataBits, 7);
  EXPECT_EQ(info.defaultLine.wStopBits, 2);
  EXPECT_EQ(info.defaultLine.wParity, 2);
  EXPECT_STREQ(info.pszDriverName, "Modicon Modbus ASCII");
  EXPECT_EQ(strlen(info.pszBanner), 205u);
}

TEST_F(HostTest, RefusedGateIsLoggedAtLevel8ThroughTheHostLibrary) {
  ColdStartParams params = Params("", 0);
  ASSERT_EQ(Call(pContext, SARN_OP_COLD_START, &params), 0);
  GateSpec spec{};
  spec.pszAddress = "0a40001";
  spec.iDataType = 0;
  EXPECT_EQ(Call(pContext, SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 1);
  EXPECT_TRUE(Logged(8, "SARNMD> Parse() #1, illegal char #1, a")) << Log();
}

TEST_F(HostTest, ColdStartOnAPseudoTerminalWithTheDefaultLine) {
  Pty pty;
  ASSERT_FALSE(pty.slave.empty());
  testsupport::PortLink link(pty.slave);
  ASSERT_FALSE(link.Name().empty());
  ColdStartParams params = Params(link.Name());
  ASSERT_EQ(Call(pContext, SARN_OP_COLD_START, &params), 0) << Log();
  EXPECT_NE(pContext->hCom, SarnHandle{});
  EXPECT_TRUE(Logged(32, "SARNMD> ModBus/GTC 32bit driver installed")) << Log();
  EXPECT_TRUE(Logged(8, "SARNMD> ReadIntFile() no initfile found, defaults used")) << Log();
  EXPECT_EQ(Call(pContext, SARN_OP_CLOSE_COM, nullptr), 0);
}

TEST_F(HostTest, ColdStartOnAMissingDevice) {
  ColdStartParams params = Params("/dev/nosuch");
  EXPECT_EQ(Call(pContext, SARN_OP_COLD_START, &params), 2);
  EXPECT_TRUE(Logged(32, "SARNMD> ColdStart() error opening COM port")) << Log();
  EXPECT_EQ(pContext->hCom, SarnHandle{});
}

TEST_F(HostTest, InitializationFileTakesEffectThroughColdStart) {
  std::ofstream(dir / "SARNMD07.INT") << "BUS = MODBUS, HEX\nSWAP = YES\nIFG = 20\n";
  ColdStartParams params = Params("", 0);
  ASSERT_EQ(Call(pContext, SARN_OP_COLD_START, &params, 7), 0);
  EXPECT_EQ(pContext->cBase, 'H');
  EXPECT_EQ(pContext->wFlags, SARN_FLAG_SWAP);
  EXPECT_EQ(pContext->iIfg, 20);
  EXPECT_TRUE(Logged(8, "SARNMD> ReadIntFile() reading initfile 'SARNMD07.INT'")) << Log();
  EXPECT_TRUE(Logged(32, "SARNMD> Base = Hexadecimal")) << Log();
  EXPECT_TRUE(Logged(32, "SARNMD> Inter Frame Gap = 20 msec.")) << Log();
  // Hexadecimal gate addresses now parse: controller FF, register 0x10.
  GateSpec spec{};
  spec.pszAddress = "FF40010";
  ASSERT_EQ(Call(pContext, SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 0);
  EXPECT_EQ(spec.iPlcAddr, 255);
  EXPECT_EQ(spec.iAddress, 15);
}

TEST_F(HostTest, NullDeviceOpensAndAReadTimesOut) {
  ColdStartParams params = Params("NUL");
  ASSERT_EQ(Call(pContext, SARN_OP_COLD_START, &params), 0) << Log();
  GateSpec spec{};
  spec.pszAddress = "0140001";
  ASSERT_EQ(Call(pContext, SARN_OP_SINGLE_ADDRESS_PARSER, &spec), 0);
  uint32_t cell = 0;
  GateTransfer t{"0140001", 0, spec.iPlcAddr, spec.iMemType, spec.iAddress, spec.iBitNr, spec.iBits, 0, 1, 0, &cell};
  EXPECT_EQ(Call(pContext, SARN_OP_SINGLE_READ, &t), 2);
  EXPECT_TRUE(Logged(8, "SARNMD> Receive() #1: timeout (iRead=0)")) << Log();
  EXPECT_TRUE(Logged(8, "SARNMD> SingleRead() , ret val is 2 for '0140001'")) << Log();
  EXPECT_EQ(Call(pContext, SARN_OP_CLOSE_COM, nullptr), 0);
}

}  // namespace
