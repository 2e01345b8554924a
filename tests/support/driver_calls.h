// Calls into the driver through SarnMain on one context, as a host does: the
// one helper every suite uses, over the fake platform (through DriverFixture
// in support/driver_fixture.h) and on pseudo-terminals alike.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sarnmd.h"
#include "support/test_log.h"

namespace testsupport {

// The line the driver uses by default: 9600 baud, 7 data bits, even parity,
// 2 stop bits.
inline constexpr LineSettings kDefaultLine{9600, 7, 2, 2};
// What a pseudo-terminal keeps whatever is asked: 8 data bits, no parity, 1
// stop bit.
inline constexpr LineSettings kPtyLine{9600, 8, 0, 0};

struct DriverCalls {
  DriverContext ctx{};
  int32_t iDriverNr = 0;  // selects the initialization file SARNMD<n>.INT

  ResultCode Call(int32_t iOpCode, void* pParam) {
    DriverRequest request{&ctx, iOpCode, iDriverNr, 0, pParam};
    return SarnMain(&request);
  }

  // ColdStart on the named port with a reply time-out in 10 ms units.
  ResultCode ColdStart(const std::string& port, int32_t bEnable = 1, int32_t iTimeout = 100,
                       LineSettings line = kDefaultLine) {
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
    params.bEnable = bEnable;
    params.iTimeout = iTimeout;
    params.line = line;
    return Call(SARN_OP_COLD_START, &params);
  }

  // ColdStart with communication on the named port and the default line.
  ResultCode ColdStartOn(const std::string& port, int32_t iTimeout) { return ColdStart(port, 1, iTimeout); }

  // The transfer record a host builds from a gate text that the driver's
  // address operations parsed (a block when iCount > 0); *pResult is the
  // parser's result.
  GateTransfer ParseGate(const char* pszText, int32_t iDataType, int32_t iCount, void* pData, ResultCode* pResult) {
    GateSpec spec{};
    spec.pszAddress = pszText;
    spec.iDataType = iDataType;
    spec.iCount = iCount;
    *pResult = Call(iCount > 0 ? SARN_OP_BLOCK_ADDRESS_PARSER : SARN_OP_SINGLE_ADDRESS_PARSER, &spec);
    return GateTransfer{pszText,     0,          spec.iPlcAddr, spec.iMemType,           spec.iAddress,
                        spec.iBitNr, spec.iBits, iDataType,     iCount > 0 ? iCount : 1, 0,
                        pData};
  }

  // A gate the test expects the driver to accept, ready for reads and
  // writes; the parser's log is dropped.
  GateTransfer Gate(const char* pszText, int32_t iDataType, int32_t iCount = 0, void* pData = nullptr) {
    ResultCode rc = 0;
    GateTransfer t = ParseGate(pszText, iDataType, iCount, pData, &rc);
    EXPECT_EQ(rc, 0) << "gate " << pszText << "\n" << testlog::Dump();
    testlog::Clear();
    return t;
  }
};

}  // namespace testsupport
