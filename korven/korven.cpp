// Stand-in for the host library's log function.
//
// One line per call: local timestamp with milliseconds, a tab, the level, a
// tab, the formatted text. The line goes to standard error, or is appended to
// the file named by KORVEN_LOG. The line is written with one write() so that
// lines of concurrent writers do not interleave.
#include "korven.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr size_t kLineMax = 2048;

size_t FormatTimestamp(char* pBuf, size_t nSize) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  size_t n = strftime(pBuf, nSize, "%Y-%m-%d %H:%M:%S", &local);
  int m = snprintf(pBuf + n, nSize - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
  return n + (m > 0 ? static_cast<size_t>(m) : 0);
}

void WriteLine(const char* pLine, size_t nLen) {
  int fd = STDERR_FILENO;
  const char* pszPath = getenv("KORVEN_LOG");
  bool bOwnFile = pszPath != nullptr && *pszPath != '\0';
  if (bOwnFile) {
    fd = open(pszPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      fd = STDERR_FILENO;
      bOwnFile = false;
    }
  }
  while (nLen > 0) {
    ssize_t w = write(fd, pLine, nLen);
    if (w <= 0) break;
    pLine += w;
    nLen -= static_cast<size_t>(w);
  }
  if (bOwnFile) close(fd);
}

}  // namespace

extern "C" KORVEN_API int err(int iLevel, const char* pszFormat, ...) {
  char szLine[kLineMax];
  size_t n = FormatTimestamp(szLine, sizeof szLine);
  int m = snprintf(szLine + n, sizeof szLine - n, "\t%d\t", iLevel);
  n += m > 0 ? static_cast<size_t>(m) : 0;
  if (pszFormat != nullptr) {
    va_list args;
    va_start(args, pszFormat);
    m = vsnprintf(szLine + n, sizeof szLine - n, pszFormat, args);
    va_end(args);
    if (m > 0) n += static_cast<size_t>(m);
  }
  // Keep room for the line end; an over-long text is cut.
  if (n > sizeof szLine - 2) n = sizeof szLine - 2;
  szLine[n++] = '\n';
  WriteLine(szLine, n);
  return 0;
}
