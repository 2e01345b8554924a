// Failure texts in Windows terms: the call and its GetLastError() code.
#include <stdio.h>
#include <windows.h>

#include "platform/failure_text.h"

namespace sarn {

int LastSystemError() {
  return static_cast<int>(GetLastError());
}

void SetSystemError(int iErr) {
  SetLastError(static_cast<DWORD>(iErr));
}

size_t FormatFailure(char* pszText, size_t size, const char* pszWhat, int iErr) {
  const int n = snprintf(pszText, size, "%s: GetLastError() = %lu", pszWhat, static_cast<unsigned long>(iErr));
  if (n < 0) {
    pszText[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace sarn
