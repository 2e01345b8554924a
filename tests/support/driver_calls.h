// Calls into the driver through SarnMain on one context, as a host does.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sarnmd.h"
#include "support/test_log.h"

namespace testsupport {

struct DriverCalls {
  DriverContext ctx{};

  ResultCode Call(int32_t iOpCode, void* pParam, int32_t iDriverNr = 0) {
    DriverRequest request{&ctx, iOpCode, iDriverNr, 0, pParam};
    return SarnMain(&request);
  }

  // ColdStart with communication on the named port and the default line.
  ResultCode ColdStartOn(const std::string& port, int32_t iTimeout) {
    ColdStartParams params{};
    snprintf(params.szPort, sizeof params.szPort, "%s", port.c_str());
    params.bEnable = 1;
    params.iTimeout = iTimeout;
    params.line = {9600, 7, 2, 2};
    return Call(SARN_OP_COLD_START, &params);
  }

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

  // A gate the test expects the driver to accept; the parser's log is dropped.
  GateTransfer Gate(const char* pszText, int32_t iDataType, int32_t iCount, void* pData) {
    ResultCode rc = 0;
    GateTransfer t = ParseGate(pszText, iDataType, iCount, pData, &rc);
    EXPECT_EQ(rc, 0) << pszText << "\n" << testlog::Dump();
    testlog::Clear();
    return t;
  }
};

}  // namespace testsupport
