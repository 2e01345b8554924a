// Texts that say in Linux terms what a failed system call failed with:
// "TIOCMBIS (RTS on): Inappropriate ioctl for device (ENOTTY)".
//
// Kept for two cases: a call that failed on an open port (its slot keeps the
// call and errno, and formats them here), and a port that did not open or was
// given up, kept here under the port's name until the next such failure.
// Nothing is allocated: the C library's errno texts are constants.
#pragma once

#include <cstddef>

#include "sarn_handle.h"

namespace sarn {

// Longest port name a failure is kept under (longer ones: none is kept). A
// text has kFailureTextSize (sarn_handle.h) of room.
inline constexpr size_t kFailureNameSize = 64;

// "what: description (ENAME)" into pszText (of size `size`, at least 1, cut
// short to fit); its length.
size_t FormatFailure(char* pszText, size_t size, const char* pszWhat, int iErr);

// Keeps what an open of the port pszName, or a call on that port, failed
// with; pszPath, when given, follows pszWhat. Keeps errno. Safe from any
// thread.
void NoteOpenFailure(const char* pszName, const char* pszWhat, const char* pszPath, int iErr);

// The text kept under pszName into pszText (of size `size`); its length, 0
// with pszText empty when the last failure kept was of another name.
size_t DescribeOpenFailure(const char* pszName, char* pszText, size_t size);

}  // namespace sarn
