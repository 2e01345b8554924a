// The initialization file SARNMD<n>.INT, read once per cold start.
#pragma once

#include <cstddef>
#include <cstdio>

#include "sarnmd.h"

namespace sarn {

// Reads the file named after the request's driver number and sets
// cProtocol, cBase, wFlags, cRtsCts and iIfg of its context; logs the
// settings in force.
void ReadIntFile(DriverRequest* pRequest);

// Tries "<base><nr:02>.INT", "<base><nr>.INT", "<base>.INT" in the current
// directory; returns the first that opens, or nullptr. pszName holds the
// name tried last.
FILE* OpenIntFile(const char* pszBase, char* pszName, size_t nNameSize, int iDriverNr);

// 1 when the (upper-cased) line is a BUS line, which then sets cProtocol
// and cBase; 0 otherwise.
int ParseBusLine(const char* pszLine, DriverContext* pContext);

}  // namespace sarn
