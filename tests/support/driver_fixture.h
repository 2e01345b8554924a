// The unit tests' fixture: a driver instance on the scripted fake platform,
// with frames built independently of the driver and a marked value cell.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver/stop_flag.h"
#include "sarnmd.h"
#include "support/driver_calls.h"
#include "support/fake_platform.h"
#include "support/test_log.h"
#include "transact/daily_restart.h"

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

// The option bits of a context's wFlags as a test name part ("Swap",
// "FloatSwap_LongAddr", "NoFlags").
inline std::string FlagsName(uint16_t wFlags) {
  std::string name;
  const struct {
    uint16_t wBit;
    const char* pszName;
  } kFlags[] = {{SARN_FLAG_SWAP, "Swap"}, {SARN_FLAG_FLOATSWAP, "FloatSwap"}, {SARN_FLAG_LONGADDR, "LongAddr"}};
  for (const auto& f : kFlags) {
    if ((wFlags & f.wBit) == 0) continue;
    if (!name.empty()) name += "_";
    name += f.pszName;
  }
  return name.empty() ? "NoFlags" : name;
}

inline int g_iDay = 8;
inline int TestDay() { return g_iDay; }

// A driver instance on the fake platform's port COM1, cold-started through
// SarnMain with the default line and a one-second reply time-out. The calls
// (Call, ColdStart, Gate, ...) are those of testsupport::DriverCalls.
class DriverFixture : public ::testing::Test, public testsupport::DriverCalls {
 protected:
  void SetUp() override {
    fakeplat::Reset();
    fakeplat::AddDevice("COM1");
    sarn::bStopped = 0;
    g_iDay = 8;
    sarn::SetDayOfMonthSource(&TestDay);
    sarn::g_iRestartDay = g_iDay;  // no daily restart unless a test asks for one
    ASSERT_EQ(ColdStart("COM1"), 0) << testlog::Dump();
    testlog::Clear();
  }

  void TearDown() override {
    sarn::SetDayOfMonthSource(nullptr);
    sarn::bStopped = 0;
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
