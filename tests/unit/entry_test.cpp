// The entry point: the stop flag, the table and the context-free GetSarnInfo.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/stop_flag.h"
#include "sarnmd.h"
#include "support/test_log.h"

namespace {

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sarn::bStopped = 0;
    testlog::Clear();
  }
  void TearDown() override { sarn::bStopped = 0; }
};

TEST_F(EntryTest, EmptySlotsAndCodesOutsideTheTableAnswer2AndLeaveTheContextAlone) {
  DriverContext context;
  memset(&context, 0x5A, sizeof context);
  DriverContext before = context;
  for (int32_t iCode : {0, 8, 9, 16, 17, -1, 1000, INT32_MIN}) {
    DriverRequest request{&context, iCode, 0, 0, nullptr};
    EXPECT_EQ(SarnMain(&request), 2) << "code " << iCode;
  }
  EXPECT_EQ(memcmp(&context, &before, sizeof context), 0);
  EXPECT_TRUE(testlog::Lines().empty());
}

TEST_F(EntryTest, GetSarnInfoWorksWithoutAContext) {
  DriverInfo info{};
  DriverRequest request{nullptr, SARN_OP_GET_SARN_INFO, 0, 0, &info};
  ASSERT_EQ(SarnMain(&request), 0);
  EXPECT_EQ(info.iInfoId, 70);
  EXPECT_STREQ(info.pszDriverName, "Modicon Modbus ASCII");
#ifdef _WIN64
  EXPECT_EQ(info.iContextSize, 1264);  // the 8-byte Windows port handle
#else
  EXPECT_EQ(info.iContextSize, 1256);
#endif
  EXPECT_EQ(info.iInfoA, 4);
  EXPECT_EQ(info.defaultLine.wBaud, 9600);
  EXPECT_EQ(info.defaultLine.wDataBits, 7);
  EXPECT_EQ(info.defaultLine.wStopBits, 2);
  EXPECT_EQ(info.defaultLine.wParity, 2);
  EXPECT_EQ(info.iInfoB, 3);
  ASSERT_NE(info.pszBanner, nullptr);
  EXPECT_EQ(strlen(info.pszBanner), 205u);
  EXPECT_TRUE(testlog::Lines().empty());
}

TEST_F(EntryTest, BannerDrawsA67ColumnDoubleBox) {
  DriverInfo info{};
  DriverRequest request{nullptr, SARN_OP_GET_SARN_INFO, 0, 0, &info};
  ASSERT_EQ(SarnMain(&request), 0);
  const std::string banner = info.pszBanner;
  const std::string edge(65, '\xCD');
  const std::string text = "ModBus/GTC (ASCII protocol) 32 Bit driver Installed.";
  EXPECT_EQ(banner, "\b\n\xC9" + edge + "\xBB\n\xBA  " + text + std::string(11, ' ') + "\xBA\n\xC8" + edge + "\xBC");
}

TEST_F(EntryTest, NullRecordsAreRefusedNotDereferenced) {
  EXPECT_EQ(SarnMain(nullptr), 1);
  DriverInfo info{};
  DriverRequest noParam{nullptr, SARN_OP_GET_SARN_INFO, 0, 0, nullptr};
  EXPECT_EQ(SarnMain(&noParam), 1);
  GateSpec spec{};
  DriverRequest noContext{nullptr, SARN_OP_SINGLE_ADDRESS_PARSER, 0, 0, &spec};
  EXPECT_EQ(SarnMain(&noContext), 1);
  (void)info;
}

// A stopped module sends nothing. Reads and writes say so with 2, so that a
// host never takes an untouched cell for a value or an unsent write for done;
// every other request answers 0 and changes nothing.
TEST_F(EntryTest, WhileStoppedReadsAndWritesFailUnsentAndTheRestAnswer0) {
  sarn::bStopped = 1;
  DriverInfo info;
  memset(&info, 0x33, sizeof info);
  DriverInfo before = info;
  DriverRequest request{nullptr, SARN_OP_GET_SARN_INFO, 0, 0, &info};
  EXPECT_EQ(SarnMain(&request), 0);
  EXPECT_EQ(memcmp(&info, &before, sizeof info), 0);
  for (int32_t iCode = -1; iCode <= 17; ++iCode) {
    const bool bTransfer = iCode == SARN_OP_SINGLE_READ || iCode == SARN_OP_BLOCK_READ ||
                           iCode == SARN_OP_SINGLE_WRITE || iCode == SARN_OP_BLOCK_WRITE;
    testlog::Clear();
    DriverRequest any{nullptr, iCode, 0, 0, nullptr};
    EXPECT_EQ(SarnMain(&any), bTransfer ? 2 : 0) << "code " << iCode;
    EXPECT_EQ(testlog::IndexOf("SARNMD> SarnMain() driver stopped by EndSarn(), request not sent") >= 0, bTransfer)
        << "code " << iCode;
  }
  EXPECT_EQ(SarnMain(nullptr), 0);
}

}  // namespace
