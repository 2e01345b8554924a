// The platform seam: the handful of serial-port calls the port layer makes.
//
// Each call mirrors one Win32 serial API call (CreateFileA, CloseHandle,
// GetCommState, SetCommState, GetCommTimeouts, SetCommTimeouts, SetupComm,
// ClearCommError, ReadFile, WriteFile, EscapeCommFunction and Sleep), so the port layer reads the same on every system.
// One implementation is linked in: POSIX termios on Linux, the Win32 API on Windows, or a scripted fake in the unit
// tests. The port layer (link/port.h) is the only caller.
//
// Every call returns true on success and false on failure, except where
// noted. No call allocates memory.
#pragma once

#include <cstdint>

#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// DTR and RTS line modes (the Win32 DCB values).
enum : uint8_t {
  kDtrDisable = 0,
  kDtrEnable = 1,
  kDtrHandshake = 2,
};
enum : uint8_t {
  kRtsDisable = 0,
  kRtsEnable = 1,
  kRtsHandshake = 2,
  kRtsToggle = 3,
};

// Parity and stop-bit codes (the Win32 encodings).
enum : uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
enum : uint8_t { kStopOne = 0, kStopOneHalf = 1, kStopTwo = 2 };

// Line state of an open port (the fields of a Win32 DCB that matter here).
struct PlatLineState {
  uint32_t dwBaudRate = 0;
  uint8_t cByteSize = 8;
  uint8_t cParity = kParityNone;
  uint8_t cStopBits = kStopOne;
  bool fBinary = true;
  bool fParity = false;  // parity checking of received characters
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  uint8_t fDtrControl = kDtrEnable;
  uint8_t fRtsControl = kRtsEnable;
  bool fDsrSensitivity = false;
  bool fOutX = false;       // XON/XOFF on output
  bool fInX = false;        // XON/XOFF on input
  bool fErrorChar = false;  // replace characters with parity errors
  bool fNull = false;       // discard NUL bytes
  bool fAbortOnError = false;
  char cErrorChar = 0;
};

// Read and write time-outs in milliseconds (the Win32 COMMTIMEOUTS).
// A read ends when its count is complete or when ReadTotalTimeoutConstant
// (plus multiplier times count) has run out since it began; all read
// time-outs zero means a read waits until its count is complete. The port
// layer sets the total constant alone; POSIX refuses a read interval or
// multiplier.
struct PlatTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Queue status (the Win32 COMSTAT counts).
struct PlatQueueStatus {
  uint32_t cbInQue = 0;   // bytes received and not yet read
  uint32_t cbOutQue = 0;  // bytes not yet transmitted, the transmitter included where known
};

// EscapeCommFunction codes.
enum : int { kEscapeSetRts = 3, kEscapeClrRts = 4 };

// Why an open failed, where the port layer tells the reasons apart.
enum PlatOpenFault : uint8_t {
  kOpenFaultNone = 0,
  kOpenFaultNotCharDevice = 1,  // the name exists but is a file, a directory, a disk...: no serial line
  kOpenFaultOther = 2,          // missing, busy, not permitted, no slot left...
};

// Opens the device for exclusive reading and writing; only if it exists, and
// only a character device. "NUL" is the null device: writes succeed, reads
// deliver nothing at once. On POSIX a name that does not begin with '/' names
// a device under /dev/ ("ttyUSB0", "pts/3"). Returns kNoHandle on failure,
// with *pFault (when given) telling why; a valid handle is never kNoHandle.
SarnHandle PlatOpen(const char* pszName, PlatOpenFault* pFault = nullptr);
bool PlatClose(SarnHandle hPort);
bool PlatGetLineState(SarnHandle hPort, PlatLineState* pState);
bool PlatSetLineState(SarnHandle hPort, const PlatLineState* pState);
bool PlatGetTimeouts(SarnHandle hPort, PlatTimeouts* pTimeouts);
bool PlatSetTimeouts(SarnHandle hPort, const PlatTimeouts* pTimeouts);
bool PlatSetupQueues(SarnHandle hPort, uint32_t dwInQueue, uint32_t dwOutQueue);
// Reports the queue counts and clears the port's error flags.
bool PlatClearError(SarnHandle hPort, PlatQueueStatus* pStatus);
// Synchronous read bounded by the time-outs; *pRead is what arrived.
bool PlatRead(SarnHandle hPort, void* pBuf, uint32_t dwCount, uint32_t* pRead);
// Synchronous write; *pWritten is what the device took.
bool PlatWrite(SarnHandle hPort, const void* pBuf, uint32_t dwCount, uint32_t* pWritten);
// kEscapeSetRts or kEscapeClrRts. While the device switches RTS itself
// (PlatRtsByDevice), both succeed and change nothing.
bool PlatEscape(SarnHandle hPort, int iFunction);
// Hands RTS to the device for the RS-485 transmit direction where it can
// switch it itself (Linux serial drivers through TIOCSRS485): RTS is then
// raised for exactly as long as the device transmits. True when the device
// switches RTS (asked now or before); false when it cannot, and the caller
// keeps raising and lowering RTS around each frame. PlatClose gives the
// device back the settings it had.
bool PlatRtsByDevice(SarnHandle hPort);
void PlatSleep(uint32_t dwMilliseconds);

}  // namespace sarn
