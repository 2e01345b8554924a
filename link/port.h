// The serial port layer: the only code that touches the serial device.
//
// Opens and configures a port from PortSettings, closes it, sets the reply
// time-out, discards pending input, writes a block, reads an exact count,
// switches RTS and reports the output queue. Every routine returns a small
// result code and logs nothing: callers decide what to report. The port
// records and the frame layer reach the device only through these routines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

enum PortResult : int {
  kPortOk = 0,
  kPortOpenFailed = 1,       // opening or setting the time-outs failed
  kPortFlushReadFailed = 1,  // PortFlushInput: the last read of the flush failed
  kPortShortWrite = 2,       // fewer bytes written than asked
  kPortStateUnread = 4,      // reading the line state failed
  kPortStateRejected = 5,    // the line state was not accepted
  kPortIoFailed = 7,         // a read, write or close failed, or a read timed out
  kPortNotCharDevice = 8,    // the name exists but is no character device (a file, a directory, a disk)
};

// Bits of the control word (PortSettings.wControl) that select the DTR and
// RTS modes; the first that is set decides, in this order.
enum : uint16_t {
  kControlDtrOn = 0x0101,
  kControlDtrHandshake = 0x8000,
  kControlRtsOn = 0x0202,
  kControlRtsHandshake = 0x1000,
  kControlRtsToggle = 0x2000,
};
// The control word ColdStart gives a port: DTR and RTS both switched on.
inline constexpr uint16_t kDefaultControl = kControlDtrOn | kControlRtsOn;

// Read time-out a freshly opened port has, in milliseconds.
inline constexpr uint32_t kPortDefaultReadTimeoutMs = 1000;
// Reply time-out used while a flush drains the input, in 10 ms units.
inline constexpr int32_t kFlushTimeout = 5;

// Opens and configures a port; a PortResult, and *phCom the handle or kNoHandle.
// On Linux a name that does not begin with '/' names a device under /dev/
// ("ttyUSB0", "pts/3"); "NUL" is the null device everywhere.
PortResult PortOpen(const char* pszName, const LineSettings* pLine, uint16_t wControl, SarnHandle* phCom);
PortResult PortClose(SarnHandle hCom);
// Sets the reply time-out (units of 10 ms); returns the previous one, or 0
// when the time-outs could not be read or written. A port never runs with a
// read time-out of 0 unless a caller set one (the driver does not: a read
// would then wait for nothing), so 0 tells a failure.
int32_t PortSetTimeout(SarnHandle hCom, int32_t iTimeout);
// A reply time-out in 10 ms units as milliseconds, clamped to what fits.
uint32_t PortTimeoutToMs(int32_t iTimeout);
// Sets the read time-out in milliseconds (a settle window); kPortOk or
// kPortIoFailed.
PortResult PortSetReadTimeoutMs(SarnHandle hCom, uint32_t dwMs);
// Discards the input waiting on the port.
PortResult PortFlushInput(SarnHandle hCom);
// Bytes waiting in the input; kPortOk, or kPortIoFailed when the queue
// could not be read.
PortResult PortInputQueue(SarnHandle hCom, uint32_t* pdwWaiting);
PortResult PortWrite(SarnHandle hCom, const void* pData, uint32_t dwCount, uint32_t* pWritten);
// Reads exactly dwCount bytes unless a read fails or times out; *pRead
// always tells how many arrived.
PortResult PortRead(SarnHandle hCom, void* pBuf, uint16_t wCount, uint32_t* pRead);
// One read of at most wCount bytes: it ends when they have all arrived or
// when the read time-out has run out since it began. kPortOk also when
// nothing came (*pRead 0); kPortIoFailed when the read failed.
PortResult PortReadWindow(SarnHandle hCom, void* pBuf, uint16_t wCount, uint32_t* pRead);
// Raises or lowers RTS; kPortOk or kPortIoFailed.
PortResult PortSetRts(SarnHandle hCom, bool bRaised);
// With RTS control on: hands RTS to the device for the RS-485 transmit
// direction where it can switch it itself (the Linux kernel, TIOCSRS485), so
// that RTS is up for exactly as long as the frame is on the line. True when
// the device switches RTS (asked now or before); PortSetRts then succeeds
// without changing anything. False when the caller keeps switching RTS. The
// device's previous settings come back when the port is closed.
bool PortRtsByDevice(SarnHandle hCom);
// Bytes not yet transmitted, the transmitter included where the device can
// tell; kPortOk, or kPortIoFailed when the queue could not be read.
PortResult PortOutputQueue(SarnHandle hCom, uint32_t* pdwPending);
// Waits dwMs milliseconds (the inter-frame gap, the transmit-queue poll).
void PortPause(uint32_t dwMs);
// The monotonic clock in milliseconds.
uint64_t PortNowMs();
// What the last failed routine on the port failed with, in the system's own
// terms, into pszText (of size `size`); its length, 0 when nothing is known.
size_t PortDescribeFailure(SarnHandle hCom, char* pszText, size_t size);
// The same for a port of that name that PortOpen could not open or gave up.
size_t PortDescribeOpenFailure(const char* pszName, char* pszText, size_t size);

}  // namespace sarn
