// Port names that are no serial device, and the RS-485 transmit direction
// handed to the device, through SarnMain over the scripted fake platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "link/port.h"
#include "support/driver_fixture.h"

namespace {

using testdrv::Frame;

const char kOpenError[] = "SARNMD> ColdStart() error opening COM port";
const char kByDriver[] = "SARNMD> RS-485 direction switched by the serial driver";
const char kByToggling[] = "SARNMD> RS-485 direction switched by RTS toggling";

// Every test in a scratch directory of its own, where the driver looks for
// its initialization file.
class PortDeviceTest : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  void SetUp() override {
    static int iRun = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("sarn_dev_" + std::to_string(std::random_device{}()) + "_" + std::to_string(++iRun));
    ASSERT_TRUE(std::filesystem::create_directory(dir_));
    home_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    fakeplat::Reset();
    fakeplat::AddDevice("ttyUSB0");
    fakeplat::AddNonDevice("disk");
    testlog::Clear();
  }
  void TearDown() override {
    Call(SARN_OP_CLOSE_COM, nullptr);
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(dir_);
  }

  static void RtsControl(bool bOn) { std::ofstream("SARNMD.INT") << "RTSCTS = " << (bOn ? "YES" : "NO") << "\n"; }

  std::filesystem::path dir_;
  std::filesystem::path home_;
};

TEST_F(PortDeviceTest, OnlyACharacterDeviceOpensAndAnythingElseIsSaidSo) {
  struct Case {
    const char* pszName;
    int iPortResult;
    ResultCode coldStart;
    bool bNotCharLogged;
  };
  const Case cases[] = {
      {"ttyUSB0", sarn::kPortOk, SARN_OK, false},
      {"disk", sarn::kPortNotCharDevice, SARN_LINE_FAIL, true},
      {"ttyUSB9", sarn::kPortOpenFailed, SARN_LINE_FAIL, false},  // missing: as ever
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    testlog::Clear();
    SarnHandle hCom = sarn::kNoHandle;
    EXPECT_EQ(sarn::PortOpen(c.pszName, &testsupport::kDefaultLine, sarn::kDefaultControl, &hCom), c.iPortResult);
    EXPECT_EQ(hCom != sarn::kNoHandle, c.iPortResult == sarn::kPortOk);
    if (hCom != sarn::kNoHandle) sarn::PortClose(hCom);

    EXPECT_EQ(ColdStart(c.pszName), c.coldStart) << testlog::Dump();
    const std::string notChar = std::string("SARNMD> Port ") + c.pszName + " is not a character device";
    EXPECT_EQ(testlog::Count(32, notChar), c.bNotCharLogged ? 1 : 0) << testlog::Dump();
    EXPECT_EQ(testlog::Count(32, kOpenError), c.coldStart == SARN_OK ? 0 : 1);
    Call(SARN_OP_CLOSE_COM, nullptr);
    EXPECT_EQ(fakeplat::OpenHandleCount(), 0);
  }

  // A new port name that is no device is reported the same way.
  ASSERT_EQ(ColdStart("ttyUSB0"), SARN_OK);
  testlog::Clear();
  DriverParams params{};
  snprintf(params.szPort, sizeof params.szPort, "disk");
  EXPECT_EQ(Call(SARN_OP_CHANGE_SARN_PARAMS, &params), SARN_LINE_FAIL);
  EXPECT_EQ(testlog::Count(32, "SARNMD> Port disk is not a character device"), 1) << testlog::Dump();
}

struct DirectionCase {
  const char* what;
  bool bRtsControl;
  bool bDeviceCan;
  const char* pszReport;  // the cold-start report's line, or none
  bool bAsked;            // whether every open hands RTS to the device
  int iSwitchesPerRead;   // RTS changes on the line in one transaction
};

class DirectionTest : public PortDeviceTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(DirectionTest, TheDeviceSwitchesRtsWhereItCanAndTheColdStartSaysWhich) {
  const DirectionCase& c = GetParam();
  RtsControl(c.bRtsControl);
  fakeplat::SetRtsByDevice(c.bDeviceCan);
  ASSERT_EQ(ColdStart("ttyUSB0"), SARN_OK) << testlog::Dump();
  const int iAsks = fakeplat::CountCalls("RtsByDevice");
  EXPECT_EQ(iAsks > 0, c.bAsked);
  EXPECT_EQ(testlog::Count(32, kByDriver), c.pszReport == kByDriver ? 1 : 0) << testlog::Dump();
  EXPECT_EQ(testlog::Count(32, kByToggling), c.pszReport == kByToggling ? 1 : 0) << testlog::Dump();

  // A read: RTS raised and lowered by the driver only where the device
  // cannot switch it.
  uint8_t cell[4] = {};
  GateTransfer t = Gate("0140001", 0, 0, cell);
  fakeplat::QueueReply(Frame("010302ABCD"), 20);
  ASSERT_EQ(Call(SARN_OP_SINGLE_READ, &t), SARN_OK) << testlog::Dump();
  EXPECT_EQ(fakeplat::RtsSwitches(), c.iSwitchesPerRead);

  // A port opened again is handed over again; the report stays the cold
  // start's alone.
  testlog::Clear();
  ASSERT_EQ(Call(SARN_OP_REOPEN_COM, nullptr), SARN_OK);
  EXPECT_EQ(fakeplat::CountCalls("RtsByDevice"), iAsks + (c.bAsked ? 1 : 0));
  EXPECT_EQ(testlog::Count(kByDriver) + testlog::Count(kByToggling), 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, DirectionTest,
                         ::testing::Values(DirectionCase{"kernel_switches", true, true, kByDriver, true, 0},
                                           DirectionCase{"device_cannot_so_toggled", true, false, kByToggling, true, 2},
                                           DirectionCase{"no_rts_control", false, true, nullptr, false, 0}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
