// The COM port backend on Windows, over the Win32 serial API.
#include <stdio.h>
#include <windows.h>

#include "platform/port_backend.h"
#include "platform/win32_dcb.h"

namespace sarn {

namespace {

// Queue sizes recommended to the serial driver once the line is set.
constexpr DWORD kQueueSize = 1200;

HANDLE g_handles[kMaxOpenPorts];

HANDLE HandleOf(const PortSlot* pPort) {
  return g_handles[pPort->iIndex];
}

bool Failed(PortSlot* pPort, const char* pszCall) {
  return SlotFailed(pPort, pszCall);
}

bool GetDcb(PortSlot* pPort, DCB* pDcb) {
  ZeroMemory(pDcb, sizeof *pDcb);
  pDcb->DCBlength = sizeof *pDcb;
  return GetCommState(HandleOf(pPort), pDcb) != FALSE || Failed(pPort, "GetCommState");
}

// A read ends at its total time-out alone: no interval or per-character
// time-out, and no write time-out. All of them 0 would make a read wait
// for ever; a time-out of 0 is therefore "take what has arrived", which
// Win32 spells as an interval time-out of MAXDWORD.
bool ComSetReadTimeout(PortSlot* pPort, uint32_t dwMs) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadTotalTimeoutConstant = dwMs;
  if (dwMs == 0) timeouts.ReadIntervalTimeout = MAXDWORD;
  if (!SetCommTimeouts(HandleOf(pPort), &timeouts)) return Failed(pPort, "SetCommTimeouts");
  pPort->dwReadTimeoutMs = dwMs;
  return true;
}

bool ComGetReadTimeout(PortSlot* pPort, uint32_t* pdwMs) {
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(HandleOf(pPort), &timeouts)) return Failed(pPort, "GetCommTimeouts");
  // An interval time-out of MAXDWORD with no total is "return at once": 0.
  *pdwMs = timeouts.ReadTotalTimeoutConstant;
  return true;
}

bool ComOpen(PortSlot* pPort, const char* pszName, PlatOpenFault* pFault) {
  HANDLE hPort =
      CreateFileA(pszName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hPort == INVALID_HANDLE_VALUE || hPort == nullptr) {
    NoteOpenFailure(pszName, "CreateFile", nullptr, static_cast<int>(GetLastError()));
    return false;
  }
  // A disk file or a pipe is no serial line (COM ports are character devices).
  if (GetFileType(hPort) != FILE_TYPE_CHAR) {
    CloseHandle(hPort);
    *pFault = kOpenFaultNotCharDevice;
    NoteOpenFailure(pszName, "CreateFile (not a character device)", nullptr, ERROR_BAD_DEVICE);
    SetLastError(ERROR_BAD_DEVICE);
    return false;
  }
  g_handles[pPort->iIndex] = hPort;
  // A port keeps the time-outs its last user left, which may make a read
  // wait for ever: it gets its own at once.
  ComSetReadTimeout(pPort, pPort->dwReadTimeoutMs);
  return true;
}

bool ComClose(PortSlot* pPort) {
  const bool bClosed = CloseHandle(HandleOf(pPort)) != FALSE;
  g_handles[pPort->iIndex] = nullptr;
  return bClosed || Failed(pPort, "CloseHandle");
}

bool ComGetLine(PortSlot* pPort, PlatLine* pLine) {
  DCB dcb;
  if (!GetDcb(pPort, &dcb)) return false;
  *pLine = LineFromDcb(dcb);
  return true;
}

// The port's current DCB is read again and the line set in it, so that the
// fields the line does not name keep the values the port already had.
bool ComSetLine(PortSlot* pPort, const PlatLine& line) {
  DCB dcb;
  if (!GetDcb(pPort, &dcb)) return false;
  LineToDcb(line, &dcb);
  if (!SetCommState(HandleOf(pPort), &dcb)) return Failed(pPort, "SetCommState");
  SetupComm(HandleOf(pPort), kQueueSize, kQueueSize);  // a recommendation: its result does not matter
  return true;
}

bool ComGetQueues(PortSlot* pPort, PlatQueues* pQueues) {
  DWORD dwErrors = 0;
  COMSTAT stat{};
  if (!ClearCommError(HandleOf(pPort), &dwErrors, &stat)) return Failed(pPort, "ClearCommError");
  pQueues->cbInQue = stat.cbInQue;
  pQueues->cbOutQue = stat.cbOutQue;
  return true;
}

bool ComRead(PortSlot* pPort, char* pBuf, uint32_t dwCount, uint32_t* pRead) {
  DWORD dwRead = 0;
  const BOOL bOk = ReadFile(HandleOf(pPort), pBuf, dwCount, &dwRead, nullptr);
  *pRead = dwRead;
  return bOk != FALSE || Failed(pPort, "ReadFile");
}

bool ComWrite(PortSlot* pPort, const char* pBuf, uint32_t dwCount, uint32_t* pWritten) {
  DWORD dwWritten = 0;
  const BOOL bOk = WriteFile(HandleOf(pPort), pBuf, dwCount, &dwWritten, nullptr);
  *pWritten = dwWritten;
  return bOk != FALSE || Failed(pPort, "WriteFile");
}

bool ComSetRts(PortSlot* pPort, bool bRaised) {
  if (EscapeCommFunction(HandleOf(pPort), bRaised ? SETRTS : CLRRTS)) return true;
  return Failed(pPort, bRaised ? "EscapeCommFunction (RTS on)" : "EscapeCommFunction (RTS off)");
}

bool ComRtsByDevice(PortSlot* pPort) {
  // Windows offers RTS_CONTROL_TOGGLE, but few serial drivers honour it: RTS
  // stays with the caller.
  return SlotRefused(pPort, "RTS_CONTROL_TOGGLE (left to the caller)", ERROR_NOT_SUPPORTED);
}

}  // namespace

const PortBackend kWin32Serial = {
    "COM port",   ComOpen, ComClose, ComGetLine, ComSetLine,     ComGetReadTimeout,   ComSetReadTimeout,
    ComGetQueues, ComRead, ComWrite, ComSetRts,  ComRtsByDevice, DescribeSlotFailure,
};

}  // namespace sarn
