// The failure of the last port that did not open, or was given up, kept
// under its name; see failure_text.h.
#include <stdio.h>
#include <string.h>

#include <mutex>

#include "platform/failure_text.h"

namespace sarn {

namespace {

// The last failure kept; szName empty: none.
struct OpenFailure {
  char szName[kFailureNameSize];
  char szText[kFailureTextSize];
};
OpenFailure g_openFailure;
std::mutex g_openFailureLock;

}  // namespace

void NoteOpenFailure(const char* pszName, const char* pszWhat, const char* pszPath, int iErr) {
  const int iSaved = LastSystemError();
  const size_t nameLength = strnlen(pszName, kFailureNameSize);
  char szWhat[kFailureTextSize];
  snprintf(szWhat, sizeof szWhat, "%s%s%s", pszWhat, pszPath ? " " : "", pszPath ? pszPath : "");
  const std::lock_guard<std::mutex> lock(g_openFailureLock);
  g_openFailure.szName[0] = '\0';
  if (nameLength < kFailureNameSize) {
    FormatFailure(g_openFailure.szText, sizeof g_openFailure.szText, szWhat, iErr);
    memcpy(g_openFailure.szName, pszName, nameLength + 1);
  }
  SetSystemError(iSaved);
}

size_t DescribeOpenFailure(const char* pszName, char* pszText, size_t size) {
  if (size == 0) return 0;
  pszText[0] = '\0';
  if (pszName == nullptr) return 0;
  const std::lock_guard<std::mutex> lock(g_openFailureLock);
  if (g_openFailure.szName[0] == '\0' || strcmp(g_openFailure.szName, pszName) != 0) return 0;
  const size_t n = strnlen(g_openFailure.szText, size - 1);
  memcpy(pszText, g_openFailure.szText, n);
  pszText[n] = '\0';
  return n;
}

}  // namespace sarn
