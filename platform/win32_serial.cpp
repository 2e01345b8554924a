// The platform seam on Windows, over the Win32 serial API.
#include <stdio.h>
#include <windows.h>

#include "platform/serial_platform.h"
#include "platform/win32_dcb.h"

namespace sarn {

namespace {

// Queue sizes recommended to the serial driver once the line is set.
constexpr DWORD kQueueSize = 1200;
// Read time-out of a port just opened, until its user sets one.
constexpr uint32_t kOpeningReadTimeoutMs = 1000;

bool GetDcb(SarnHandle hPort, DCB* pDcb) {
  ZeroMemory(pDcb, sizeof *pDcb);
  pDcb->DCBlength = sizeof *pDcb;
  return GetCommState(hPort, pDcb) != FALSE;
}

}  // namespace

SarnHandle PlatOpen(const char* pszName, PlatOpenFault* pFault) {
  PlatOpenFault fault = kOpenFaultOther;
  if (pFault == nullptr) pFault = &fault;
  *pFault = kOpenFaultOther;
  HANDLE hPort =
      CreateFileA(pszName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  // A valid handle is never null, so null can stand for "none".
  if (hPort == INVALID_HANDLE_VALUE || hPort == nullptr) return kNoHandle;
  // A disk file or a pipe is no serial line (COM ports and NUL are character devices).
  if (GetFileType(hPort) != FILE_TYPE_CHAR) {
    CloseHandle(hPort);
    *pFault = kOpenFaultNotCharDevice;
    SetLastError(ERROR_BAD_DEVICE);
    return kNoHandle;
  }
  // A port keeps the time-outs its last user left, which may make a read
  // wait for ever: it gets its own at once. The null device has none to set
  // (the call fails there), and its reads return at once anyway.
  PlatSetReadTimeout(hPort, kOpeningReadTimeoutMs);
  *pFault = kOpenFaultNone;
  return hPort;
}

bool PlatClose(SarnHandle hPort) {
  return CloseHandle(hPort) != FALSE;
}

bool PlatGetLine(SarnHandle hPort, PlatLine* pLine) {
  DCB dcb;
  if (!GetDcb(hPort, &dcb)) return false;
  *pLine = LineFromDcb(dcb);
  return true;
}

// The port's current DCB is read again and the line set in it, so that the
// fields the line does not name keep the values the port already had.
bool PlatSetLine(SarnHandle hPort, const PlatLine* pLine) {
  DCB dcb;
  if (!GetDcb(hPort, &dcb)) return false;
  LineToDcb(*pLine, &dcb);
  if (!SetCommState(hPort, &dcb)) return false;
  SetupComm(hPort, kQueueSize, kQueueSize);  // a recommendation: its result does not matter
  return true;
}

bool PlatGetReadTimeout(SarnHandle hPort, uint32_t* pdwMs) {
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(hPort, &timeouts)) return false;
  // An interval time-out of MAXDWORD with no total is "return at once": 0.
  *pdwMs = timeouts.ReadTotalTimeoutConstant;
  return true;
}

// A read ends at its total time-out alone: no interval or per-character
// time-out, and no write time-out. All of them 0 would make a read wait
// for ever; a time-out of 0 is therefore "take what has arrived", which
// Win32 spells as an interval time-out of MAXDWORD.
bool PlatSetReadTimeout(SarnHandle hPort, uint32_t dwMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = dwMs;
  if (dwMs == 0) timeouts.ReadIntervalTimeout = MAXDWORD;
  return SetCommTimeouts(hPort, &timeouts) != FALSE;
}

bool PlatGetQueues(SarnHandle hPort, PlatQueues* pQueues) {
  DWORD dwErrors = 0;
  COMSTAT stat{};
  if (!ClearCommError(hPort, &dwErrors, &stat)) return false;
  pQueues->cbInQue = stat.cbInQue;
  pQueues->cbOutQue = stat.cbOutQue;
  return true;
}

bool PlatRead(SarnHandle hPort, void* pBuf, uint32_t dwCount, uint32_t* pRead) {
  DWORD dwRead = 0;
  const BOOL bOk = ReadFile(hPort, pBuf, dwCount, &dwRead, nullptr);
  *pRead = dwRead;
  return bOk != FALSE;
}

bool PlatWrite(SarnHandle hPort, const void* pBuf, uint32_t dwCount, uint32_t* pWritten) {
  DWORD dwWritten = 0;
  const BOOL bOk = WriteFile(hPort, pBuf, dwCount, &dwWritten, nullptr);
  *pWritten = dwWritten;
  return bOk != FALSE;
}

bool PlatSetRts(SarnHandle hPort, bool bRaised) {
  return EscapeCommFunction(hPort, bRaised ? SETRTS : CLRRTS) != FALSE;
}

bool PlatRtsByDevice(SarnHandle) {
  // Windows offers RTS_CONTROL_TOGGLE, but few serial drivers honour it: RTS
  // stays with the caller.
  SetLastError(ERROR_NOT_SUPPORTED);
  return false;
}

void PlatSleep(uint32_t dwMilliseconds) {
  Sleep(dwMilliseconds);
}

uint64_t PlatNowMs() {
  return GetTickCount64();
}

// The calling thread's last error: the port layer asks right after the call
// that failed, before anything else can change it.
size_t PlatDescribeFailure(SarnHandle, char* pszText, size_t size) {
  if (size == 0) return 0;
  const int n = snprintf(pszText, size, "GetLastError() = %lu", static_cast<unsigned long>(GetLastError()));
  if (n < 0) {
    pszText[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

size_t PlatDescribeOpenFailure(const char*, char* pszText, size_t size) {
  return PlatDescribeFailure(nullptr, pszText, size);
}

}  // namespace sarn
