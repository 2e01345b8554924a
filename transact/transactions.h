// Read and write transactions.
#pragma once

#include "sarnmd.h"

namespace sarn {

// Read function code of each memory type; -1 where there is none.
inline constexpr int kReadFunction[9] = {1, 2, -1, 4, 3, 4, 4, 3, 3};

// Whether a gate's memory type is one the address parser produces (0 to 8
// without 2). Transactions refuse any other unsent.
inline bool KnownMemType(int32_t iMemType) {
  return iMemType >= 0 && iMemType <= 8 && kReadFunction[iMemType] >= 0;
}

ResultCode SingleRead(DriverRequest* pRequest);
ResultCode BlockRead(DriverRequest* pRequest);
int DoRead(DriverRequest* pRequest);
// Formats the read request into pszText; *piLen becomes 15.
// Returns 0, or 1 when the request cannot be formed (nothing is written).
int BuildReadRequest(DriverRequest* pRequest, char* pszText, int* piLen);
// Converts the reply data (from position 7 of rxBuf, iDataLen characters
// before the LRC) into the host buffer. Returns 0, or 1 when nothing was
// stored: iBits unknown, too few data characters, or a non-hex character.
int DecodeReadReply(DriverRequest* pRequest, const char* pszData, int iDataLen);

ResultCode SingleWrite(DriverRequest* pRequest);
ResultCode BlockWrite(DriverRequest* pRequest);
int WriteGtcBits(DriverRequest* pRequest, unsigned char set);
int DoWrite(DriverRequest* pRequest, char* pszText, int iLen);

}  // namespace sarn
