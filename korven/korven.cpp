// Stand-in for the host library's log function.
//
// One line per call: local timestamp with milliseconds, a tab, the level, a
// tab, the formatted text. The line goes to standard error, or is appended to
// the file named by KORVEN_LOG. The line is written with one write() (on
// Windows one WriteFile on a handle opened for appending only), and the
// writes of the threads of one process take turns under a lock, so a line
// is written whole even when the device takes it in pieces; lines of other
// processes appending to the same file do not interleave with them either.
#include "korven.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr size_t kLineMax = 2048;

#if defined(_WIN32)

size_t FormatTimestamp(char* pBuf, size_t nSize) {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  int n = snprintf(pBuf, nSize, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour,
                   st.wMinute, st.wSecond, st.wMilliseconds);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

SRWLOCK g_writeLock = SRWLOCK_INIT;

void WriteLine(const char* pLine, size_t nLen) {
  AcquireSRWLockExclusive(&g_writeLock);
  HANDLE hOut = GetStdHandle(STD_ERROR_HANDLE);
  const char* pszPath = getenv("KORVEN_LOG");
  bool bOwnFile = pszPath != nullptr && *pszPath != '\0';
  if (bOwnFile) {
    hOut = CreateFileA(pszPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hOut == INVALID_HANDLE_VALUE) {
      hOut = GetStdHandle(STD_ERROR_HANDLE);
      bOwnFile = false;
    }
  }
  while (nLen > 0 && hOut != nullptr && hOut != INVALID_HANDLE_VALUE) {
    DWORD dwWritten = 0;
    if (!WriteFile(hOut, pLine, static_cast<DWORD>(nLen), &dwWritten, nullptr) || dwWritten == 0) break;
    pLine += dwWritten;
    nLen -= dwWritten;
  }
  if (bOwnFile) CloseHandle(hOut);
  ReleaseSRWLockExclusive(&g_writeLock);
}

#else

size_t FormatTimestamp(char* pBuf, size_t nSize) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  localtime_r(&tv.tv_sec, &local);
  size_t n = strftime(pBuf, nSize, "%Y-%m-%d %H:%M:%S", &local);
  int m = snprintf(pBuf + n, nSize - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
  return n + (m > 0 ? static_cast<size_t>(m) : 0);
}

pthread_mutex_t g_writeLock = PTHREAD_MUTEX_INITIALIZER;

void WriteLine(const char* pLine, size_t nLen) {
  pthread_mutex_lock(&g_writeLock);
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
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    pLine += w;
    nLen -= static_cast<size_t>(w);
  }
  if (bOwnFile) close(fd);
  pthread_mutex_unlock(&g_writeLock);
}

#endif

}  // namespace

extern "C" KORVEN_API int err(int iLevel, const char* pszFormat, ...) {
  // KORVEN_LEVEL drops lines below that level (unset or empty: none dropped).
  const char* pszMinLevel = getenv("KORVEN_LEVEL");
  if (pszMinLevel != nullptr && *pszMinLevel != '\0' && iLevel < atoi(pszMinLevel)) return 0;
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
