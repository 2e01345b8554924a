// A driver instance on the scripted fake platform, started through SarnMain,
// with helpers to parse gates and run transactions.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/module_state.h"
#include "sarnmd.h"
#include "support/fake_platform.h"
#include "support/test_log.h"
#include "transact/day_clock.h"

namespace testdrv {

// A complete Modbus ASCII frame: ':' + body + LRC + CR LF. The LRC is
// computed here independently of the driver's routine.
inline std::string Frame(const std::string& body) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char lrc[3];
  snprintf(lrc, sizeof lrc, "%02X", (256 - (sum & 0xFF)) & 0xFF);
  return ":" + body + lrc + "\r\n";
}

inline int g_iDay = 8;
inline int TestDay() { return g_iDay; }

class DriverFixture : public ::testing::Test {
 protected:
  DriverContext ctx{};
  int32_t iDriverNr = 0;

  void SetUp() override {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    sarn::bStopped = 0;
    sarn::cLastError = 0;
    g_iDay = 8;
    sarn::SetDayOfMonthSource(&TestDay);
    sarn::iRestartDay = g_iDay;  // no daily restart unless a test asks for one
    ASSERT_EQ(ColdStart("COM1"), 0) << testlog::Dump();
    testlog::Clear();
  }

  void TearDown() override {
    sarn::SetDayOfMonthSource(nullptr);
    sarn::bStopped = 0;
  }

  ResultCode Call(int32_t iOpCode, void* pParam) {
    DriverRequest request{&ctx, iOpCode, iDriverNr, 0, pParam};
    return SarnMain(&request);
  }

  ResultCode ColdStart(const char* pszPort, int32_t bEnable = 1, int32_t iTimeout = 100) {
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", pszPort);
    params.bEnable = bEnable;
    params.iTimeout = iTimeout;
    params.line = {9600, 7, 2, 2};
    return Call(SARN_OP_COLD_START, &params);
  }

  // Parses a gate through the address operations and returns its transfer
  // record, ready for reads and writes; a block when iCount > 0.
  GateTransfer Gate(const char* pszText, int32_t iDataType, int32_t iCount = 0, void* pData = nullptr) {
    GateSpec spec{};
    spec.pszAddress = pszText;
    spec.iDataType = iDataType;
    spec.iCount = iCount;
    const int32_t op = iCount > 0 ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER;
    EXPECT_EQ(Call(op, &spec), 0) << "gate " << pszText << "\n" << testlog::Dump();
    GateTransfer t{};
    t.pszName = pszText;
    t.iPlcAddr = spec.iPlcAddr;
    t.iMemType = spec.iMemType;
    t.iAddress = spec.iAddress;
    t.iBitNr = spec.iBitNr;
    t.iBits = spec.iBits;
    t.iDataType = iDataType;
    t.iCount = iCount > 0 ? iCount : 1;
    t.pData = pData;
    testlog::Clear();
    return t;
  }

  int Writes() const { return static_cast<int>(fakeplat::Writes().size()); }
};

// A 4-byte value cell whose unused half is marked, to see it left alone.
struct Cell {
  uint8_t b[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  uint16_t Half() const {
    uint16_t w;
    memcpy(&w, b + 2, 2);
    return w;
  }
  uint32_t Word() const {
    uint32_t v;
    memcpy(&v, b, 4);
    return v;
  }
  void SetHalf(uint16_t w) { memcpy(b + 2, &w, 2); }
  void SetWord(uint32_t v) { memcpy(b, &v, 4); }
};

}  // namespace testdrv
