// The host's log function for the fuzz targets: every message is formatted,
// so that a format argument that does not fit its conversion (a text without
// a terminator, a wrong type) is noticed by the sanitizers, and then dropped.
#include <cstdarg>
#include <cstdio>

#include "fuzz_check.h"

namespace fuzzcheck {
long g_nLogLines = 0;
}

extern "C" int err(int, const char* pszFormat, ...) {
  char szText[2048];
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof szText, pszFormat, args);
  va_end(args);
  ++fuzzcheck::g_nLogLines;
  return 0;
}
