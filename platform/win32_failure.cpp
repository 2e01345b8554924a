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

// The system's words for the code, where it has them: "No connection could
// be made because the target machine actively refused it (error 10061)".
size_t FormatFailure(char* pszText, size_t size, const char* pszWhat, int iErr) {
  char szWords[kFailureTextSize] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(iErr), 0, szWords, sizeof szWords, nullptr);
  while (n > 0 && (szWords[n - 1] == '\r' || szWords[n - 1] == '\n' || szWords[n - 1] == '.' || szWords[n - 1] == ' '))
    szWords[--n] = '\0';
  const int iLen = n > 0
                       ? snprintf(pszText, size, "%s: %s (error %d)", pszWhat, szWords, iErr)
                       : snprintf(pszText, size, "%s: GetLastError() = %lu", pszWhat, static_cast<unsigned long>(iErr));
  if (iLen < 0) {
    pszText[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(iLen) < size ? static_cast<size_t>(iLen) : size - 1;
}

}  // namespace sarn
