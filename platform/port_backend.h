// Kinds of port behind the platform seam.
//
// Each kind of port (a serial device, the null device "NUL", the Win32
// serial port, the scripted fake of the tests) is a backend: a table of the
// operations the seam needs of it. The table is chosen by name when a port
// opens and kept in the port's slot, so that no call branches on what kind
// of port it serves; adding a kind of port is adding a backend and naming it
// in its platform's choice.
//
// The slots are the seam's (platform/port_table.cpp): a handle is a slot
// number + 1. A slot holds what every kind of port has (its read time-out,
// the name it was opened by, the call that failed last); a backend keeps the
// rest in a table of its own indexed by the slot's number. The seam checks
// the handle and the arguments before a backend sees a call, and serialises
// opening and closing; a port is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/failure_text.h"
#include "platform/serial_platform.h"

namespace sarn {

struct PortSlot {
  bool bUsed = false;
  // Its close failed and its backend gave it up: no call reaches it, and the
  // slot stays taken until closed again. A backend whose close fails
  // without setting this leaves the port open.
  bool bCloseFailed = false;
  int iIndex = 0;  // the slot's number, for the backend's own table
  const struct PortBackend* pBackend = nullptr;
  uint32_t dwReadTimeoutMs = 0;
  char szName[kFailureNameSize] = {};  // as opened, for the failure it leaves when closed
  const char* pszFailed = nullptr;     // the call that failed last; null: none
  int iFailedCode = 0;                 // and the system's error code
};

// The operations of one kind of port. Each returns true on success; on a
// failure it notes what failed in the slot (SlotFailed, SlotRefused).
struct PortBackend {
  const char* pszKind;  // "serial device", "null device"...
  // Opens pszName into the slot; false with *pFault and the system's error
  // code set, and what failed noted under the name (NoteOpenFailure).
  bool (*Open)(PortSlot* pSlot, const char* pszName, PlatOpenFault* pFault);
  bool (*Close)(PortSlot* pSlot);
  bool (*GetLine)(PortSlot* pSlot, PlatLine* pLine);
  bool (*SetLine)(PortSlot* pSlot, const PlatLine& line);
  bool (*GetReadTimeout)(PortSlot* pSlot, uint32_t* pdwMs);
  bool (*SetReadTimeout)(PortSlot* pSlot, uint32_t dwMs);
  bool (*GetQueues)(PortSlot* pSlot, PlatQueues* pQueues);
  // Reads up to dwCount (at least 1) bytes within the read time-out.
  bool (*Read)(PortSlot* pSlot, char* pBuf, uint32_t dwCount, uint32_t* pRead);
  bool (*Write)(PortSlot* pSlot, const char* pBuf, uint32_t dwCount, uint32_t* pWritten);
  bool (*SetRts)(PortSlot* pSlot, bool bRaised);
  bool (*RtsByDevice)(PortSlot* pSlot);
  size_t (*DescribeFailure)(const PortSlot* pSlot, char* pszText, size_t size);
  // Asks the device to discard the input it holds and has not delivered (a
  // gateway's buffer); null where there is none to ask.
  bool (*PurgeInput)(PortSlot* pSlot) = nullptr;
};

// The backend that serves a port of that name on this platform.
const PortBackend* ChoosePortBackend(const char* pszName);

// Notes in the slot that pszCall failed with the system's last error, and
// fails (the error kept).
bool SlotFailed(PortSlot* pSlot, const char* pszCall);
// Fails with iErr as the system's error, noted as a failure of pszCall.
bool SlotRefused(PortSlot* pSlot, const char* pszCall, int iErr);
// What the slot's last failure was, in the platform's terms.
size_t DescribeSlotFailure(const PortSlot* pSlot, char* pszText, size_t size);
// The read time-out kept in the slot, for backends whose device keeps none.
bool SlotReadTimeout(PortSlot* pSlot, uint32_t* pdwMs);
bool SetSlotReadTimeout(PortSlot* pSlot, uint32_t dwMs);

// The null device "NUL", the same everywhere: writes succeed, reads deliver
// nothing at once, its line and time-out calls succeed.
extern const PortBackend kNullPort;
#ifdef _WIN32
// A COM port, through the Win32 serial API.
extern const PortBackend kWin32Serial;
#else
// A serial device (a tty) through POSIX termios.
extern const PortBackend kPosixDevice;
#endif
// A line behind a serial device server: "socket://HOST:PORT" (raw TCP) or
// "rfc2217://HOST:PORT" (Telnet with the COM port option).
extern const PortBackend kGatewayPort;

}  // namespace sarn
