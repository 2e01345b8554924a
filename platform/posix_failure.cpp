// Failure texts in Linux terms: the errno's description and name.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform/failure_text.h"

namespace sarn {

int LastSystemError() {
  return errno;
}

void SetSystemError(int iErr) {
  errno = iErr;
}

size_t FormatFailure(char* pszText, size_t size, const char* pszWhat, int iErr) {
  const char* pszName = strerrorname_np(iErr);
  const char* pszDesc = strerrordesc_np(iErr);
  const int n =
      snprintf(pszText, size, "%s: %s (%s)", pszWhat, pszDesc ? pszDesc : "unknown error", pszName ? pszName : "?");
  if (n < 0) {
    pszText[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace sarn
