// The platform seam on Windows: each call is the Win32 serial API call it
// is named after, with the seam's records copied to and from the Win32 ones.
#include <windows.h>

#include "platform/serial_platform.h"

namespace sarn {

namespace {

// Copies the fields the seam carries into a DCB; every other field (XON/XOFF
// limits and characters, EofChar, EvtChar, fTXContinueOnXoff) is left as the
// DCB holds it.
void ToDcb(const PlatLineState& state, DCB* pDcb) {
  pDcb->BaudRate = state.dwBaudRate;
  pDcb->ByteSize = state.cByteSize;
  pDcb->Parity = state.cParity;
  pDcb->StopBits = state.cStopBits;
  pDcb->fBinary = state.fBinary;
  pDcb->fParity = state.fParity;
  pDcb->fOutxCtsFlow = state.fOutxCtsFlow;
  pDcb->fOutxDsrFlow = state.fOutxDsrFlow;
  pDcb->fDtrControl = state.fDtrControl;
  pDcb->fDsrSensitivity = state.fDsrSensitivity;
  pDcb->fOutX = state.fOutX;
  pDcb->fInX = state.fInX;
  pDcb->fErrorChar = state.fErrorChar;
  pDcb->fNull = state.fNull;
  pDcb->fRtsControl = state.fRtsControl;
  pDcb->fAbortOnError = state.fAbortOnError;
  pDcb->ErrorChar = state.cErrorChar;
}

void FromDcb(const DCB& dcb, PlatLineState* pState) {
  pState->dwBaudRate = dcb.BaudRate;
  pState->cByteSize = dcb.ByteSize;
  pState->cParity = dcb.Parity;
  pState->cStopBits = dcb.StopBits;
  pState->fBinary = dcb.fBinary != 0;
  pState->fParity = dcb.fParity != 0;
  pState->fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
  pState->fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
  pState->fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
  pState->fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
  pState->fDsrSensitivity = dcb.fDsrSensitivity != 0;
  pState->fOutX = dcb.fOutX != 0;
  pState->fInX = dcb.fInX != 0;
  pState->fErrorChar = dcb.fErrorChar != 0;
  pState->fNull = dcb.fNull != 0;
  pState->fAbortOnError = dcb.fAbortOnError != 0;
  pState->cErrorChar = dcb.ErrorChar;
}

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
  *pFault = kOpenFaultNone;
  return hPort;
}

bool PlatClose(SarnHandle hPort) {
  return CloseHandle(hPort) != FALSE;
}

bool PlatGetLineState(SarnHandle hPort, PlatLineState* pState) {
  DCB dcb;
  if (!GetDcb(hPort, &dcb)) return false;
  FromDcb(dcb, pState);
  return true;
}

// The seam's record holds only the fields the port layer sets, so the port's
// current DCB is read again and those fields are changed in it: the rest
// keeps the values the port already had.
bool PlatSetLineState(SarnHandle hPort, const PlatLineState* pState) {
  DCB dcb;
  if (!GetDcb(hPort, &dcb)) return false;
  ToDcb(*pState, &dcb);
  return SetCommState(hPort, &dcb) != FALSE;
}

bool PlatGetTimeouts(SarnHandle hPort, PlatTimeouts* pTimeouts) {
  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(hPort, &timeouts)) return false;
  pTimeouts->ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
  pTimeouts->ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
  pTimeouts->ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
  pTimeouts->WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
  pTimeouts->WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
  return true;
}

bool PlatSetTimeouts(SarnHandle hPort, const PlatTimeouts* pTimeouts) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = pTimeouts->ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = pTimeouts->ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = pTimeouts->ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = pTimeouts->WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = pTimeouts->WriteTotalTimeoutConstant;
  return SetCommTimeouts(hPort, &timeouts) != FALSE;
}

bool PlatSetupQueues(SarnHandle hPort, uint32_t dwInQueue, uint32_t dwOutQueue) {
  return SetupComm(hPort, dwInQueue, dwOutQueue) != FALSE;
}

bool PlatClearError(SarnHandle hPort, PlatQueueStatus* pStatus) {
  DWORD dwErrors = 0;
  COMSTAT stat{};
  if (!ClearCommError(hPort, &dwErrors, &stat)) return false;
  pStatus->cbInQue = stat.cbInQue;
  pStatus->cbOutQue = stat.cbOutQue;
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

bool PlatEscape(SarnHandle hPort, int iFunction) {
  switch (iFunction) {
    case kEscapeSetRts:
      return EscapeCommFunction(hPort, SETRTS) != FALSE;
    case kEscapeClrRts:
      return EscapeCommFunction(hPort, CLRRTS) != FALSE;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
  }
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

}  // namespace sarn
