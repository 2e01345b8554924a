// Texts that say in the platform's terms what a failed call failed with:
// "TIOCMBIS (RTS on): Inappropriate ioctl for device (ENOTTY)" on Linux,
// "SetCommState: GetLastError() = 87" on Windows.
//
// Kept for two cases: a call that failed on an open port (its slot keeps the
// call and the error code, and formats them here), and a port that did not
// open or was given up, kept here under the port's name until the next such
// failure. Nothing is allocated.
#pragma once

#include <cstddef>

#include "sarn_handle.h"

#ifndef _WIN32
#include <errno.h>
#endif

namespace sarn {

// Longest port name a failure is kept under (longer ones: none is kept). A
// text has kFailureTextSize (sarn_handle.h) of room.
inline constexpr size_t kFailureNameSize = 64;

// The error codes the seam and its backends fail with, in the platform's
// numbering.
#ifdef _WIN32
inline constexpr int kErrBadHandle = 6;         // ERROR_INVALID_HANDLE
inline constexpr int kErrInvalid = 87;          // ERROR_INVALID_PARAMETER
inline constexpr int kErrNoSlot = 4;            // ERROR_TOO_MANY_OPEN_FILES
inline constexpr int kErrNotSupported = 50;     // ERROR_NOT_SUPPORTED
inline constexpr int kErrTimedOut = 10060;      // WSAETIMEDOUT
inline constexpr int kErrNotConnected = 10057;  // WSAENOTCONN
inline constexpr int kErrReset = 10054;         // WSAECONNRESET
#else
inline constexpr int kErrBadHandle = EBADF;
inline constexpr int kErrInvalid = EINVAL;
inline constexpr int kErrNoSlot = EMFILE;
inline constexpr int kErrNotSupported = ENOTTY;
inline constexpr int kErrTimedOut = ETIMEDOUT;
inline constexpr int kErrNotConnected = ENOTCONN;
inline constexpr int kErrReset = ECONNRESET;
#endif

// The calling thread's last error (errno, GetLastError()), and setting it.
int LastSystemError();
void SetSystemError(int iErr);

// "what: description" into pszText (of size `size`, at least 1, cut short
// to fit); its length.
size_t FormatFailure(char* pszText, size_t size, const char* pszWhat, int iErr);

// Keeps what an open of the port pszName, or a call on that port, failed
// with; pszPath, when given, follows pszWhat. Keeps the system's last error.
// Safe from any thread.
void NoteOpenFailure(const char* pszName, const char* pszWhat, const char* pszPath, int iErr);

// The text kept under pszName into pszText (of size `size`); its length, 0
// with pszText empty when the last failure kept was of another name.
size_t DescribeOpenFailure(const char* pszName, char* pszText, size_t size);

}  // namespace sarn
