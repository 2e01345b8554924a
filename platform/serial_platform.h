// The platform seam: the serial-port calls the port layer makes, and no more.
//
// Open and close a port, set its line, read with a time-out, write, switch
// RTS, report the input and output queues and pause. One implementation is
// linked in: POSIX termios on Linux, the Win32 serial API on Windows, or a
// scripted fake in the unit tests. The port layer (link/port.h) is the only
// caller.
//
// Every call returns true on success and false on failure, except where
// noted. After a failure on an open port, PlatDescribeFailure tells in the
// platform's own terms what failed. No call allocates memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// DTR and RTS line modes.
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

// Parity and stop-bit codes (the Win32 encodings, which the line settings in
// a context use too).
enum : uint8_t { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
enum : uint8_t { kStopOne = 0, kStopOneHalf = 1, kStopTwo = 2 };

// The line a port runs: speed, framing and the DTR and RTS modes. Everything
// else is the platform's to choose, and each chooses a byte-transparent line:
// no flow control but what the RTS mode asks, no character translation or
// replacement, parity checked on input where the framing has parity.
struct PlatLine {
  uint32_t dwBaudRate = 0;
  uint8_t cByteSize = 8;
  uint8_t cParity = kParityNone;
  uint8_t cStopBits = kStopOne;
  uint8_t cDtrMode = kDtrEnable;
  uint8_t cRtsMode = kRtsEnable;
};

// Bytes waiting in the port's queues.
struct PlatQueues {
  uint32_t cbInQue = 0;   // received and not yet read
  uint32_t cbOutQue = 0;  // not yet transmitted, the transmitter included where known
};

// Why an open failed, where the port layer tells the reasons apart.
enum PlatOpenFault : uint8_t {
  kOpenFaultNone = 0,
  kOpenFaultNotCharDevice = 1,  // the name exists but is a file, a directory, a disk...: no serial line
  kOpenFaultOther = 2,          // missing, busy, not permitted, no slot left...
};

// Opens the device for exclusive reading and writing; only if it exists, and
// only a character device. "NUL" is the null device: writes succeed, reads
// deliver nothing at once, its line and time-out calls succeed. On POSIX a
// name that does not begin with '/' names a device under /dev/ ("ttyUSB0",
// "pts/3"). Returns kNoHandle on failure, with *pFault (when given) telling
// why; a valid handle is never kNoHandle.
SarnHandle PlatOpen(const char* pszName, PlatOpenFault* pFault = nullptr);
bool PlatClose(SarnHandle hPort);
// Whether the name is a serial device server's address, "socket://HOST:PORT"
// or "rfc2217://HOST:PORT", which may be longer than a port name. Reads no
// further into the name than its scheme.
bool PlatIsGatewayName(const char* pszName);
// Reads the line the port runs now.
bool PlatGetLine(SarnHandle hPort, PlatLine* pLine);
// Sets the line; false, and the port unchanged, when the device cannot run
// it (a rate it does not take, a mode the system does not have). On Windows
// this also recommends 1200-byte queues to the driver.
bool PlatSetLine(SarnHandle hPort, const PlatLine* pLine);
// The read time-out in milliseconds: a read ends when its count is complete
// or when this long has passed since it began, with what arrived by then; 0
// means a read takes what has arrived and returns at once. No read waits
// without a deadline: a port has a read time-out from the moment it opens.
// Writes have no time-out of their own.
bool PlatGetReadTimeout(SarnHandle hPort, uint32_t* pdwMs);
bool PlatSetReadTimeout(SarnHandle hPort, uint32_t dwMs);
// Reports the queue counts (and on Windows clears the port's error flags).
bool PlatGetQueues(SarnHandle hPort, PlatQueues* pQueues);
// Synchronous read bounded by the read time-out; *pRead is what arrived.
bool PlatRead(SarnHandle hPort, void* pBuf, uint32_t dwCount, uint32_t* pRead);
// Synchronous write; *pWritten is what the device took.
bool PlatWrite(SarnHandle hPort, const void* pBuf, uint32_t dwCount, uint32_t* pWritten);
// Asks the device to discard the input it holds for the port and has not
// delivered yet (an RFC 2217 gateway's buffer); true where there is none.
bool PlatPurgeInput(SarnHandle hPort);
// Raises or lowers RTS. While the device switches RTS itself
// (PlatRtsByDevice), both succeed and change nothing.
bool PlatSetRts(SarnHandle hPort, bool bRaised);
// Hands RTS to the device for the RS-485 transmit direction where it can
// switch it itself (Linux serial drivers through TIOCSRS485): RTS is then
// raised for exactly as long as the device transmits. True when the device
// switches RTS (asked now or before); false when it cannot, and the caller
// keeps raising and lowering RTS around each frame. PlatClose gives the
// device back the settings it had.
bool PlatRtsByDevice(SarnHandle hPort);
void PlatSleep(uint32_t dwMilliseconds);
// A monotonic clock in milliseconds, for measuring how late answers come.
uint64_t PlatNowMs();
// What the last failed call on the port failed with, in the platform's own
// terms ("TIOCMBIS (RTS on): Inappropriate ioctl for device"), as a
// terminated text in pszText (of size `size`, cut short to fit). Returns its
// length; 0, with pszText empty, when nothing is known.
size_t PlatDescribeFailure(SarnHandle hPort, char* pszText, size_t size);
// The same for a port of that name that did not open, or was closed after a
// call on it failed (the caller gave it up): "open /dev/ttyUSB0: Permission
// denied (EACCES)". 0, with pszText empty, when nothing is known of it.
size_t PlatDescribeOpenFailure(const char* pszName, char* pszText, size_t size);

}  // namespace sarn
