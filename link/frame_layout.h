// Where the fields of a Modbus ASCII frame stand, and a helper to get them
// (link/request_writer.h puts them). Positions count characters from the frame's ':'.
//
//   request     : AA FF RRRR VVVV [NN DD..] LRC CR LF   (AA controller, FF function)
//   read reply  : AA FF NN DD..             LRC CR LF   (NN data bytes)
//   write echo  : AA FF RRRR VVVV           LRC CR LF   (R address, V value or quantity)
//   exception   : AA FF|80 EE               LRC CR LF
#pragma once

#include <cstdint>

#include "link/hex.h"

namespace sarn {

inline constexpr int kFrameAddressPos = 1;   // controller address, two digits
inline constexpr int kFrameFunctionPos = 3;  // function code, two digits
inline constexpr int kFrameHeadLen = 5;      // ':', address, function code

inline constexpr int kFrameFieldPos = 5;        // requests and echoes: register or coil address, four digits
inline constexpr int kFrameValuePos = 9;        // requests and echoes: value or quantity, four digits
inline constexpr int kFrameWriteCountPos = 13;  // multiple writes: data byte count, two digits
inline constexpr int kFrameWriteDataPos = 15;   // multiple writes: data, two digits a byte

inline constexpr int kReplyByteCountPos = 5;  // read replies: data byte count, two digits
inline constexpr int kReplyDataPos = 7;       // read replies: data, two digits a byte
inline constexpr int kExceptionCodePos = 5;   // exception replies: the code, two digits

inline constexpr int kByteCountLen = 2;
inline constexpr int kExceptionTailLen = 6;  // exception code, LRC, CR, LF
inline constexpr int kEchoTailLen = 12;      // echoed address and value, LRC, CR, LF
inline constexpr int kFrameTrailerLen = 4;   // LRC, CR, LF
inline constexpr int kLrcLen = 2;            // two hexadecimal digits

inline constexpr int kMaxDataBytes = 255;  // what a byte count of two digits can say

// The number in nDigits hexadecimal digits at iPos; false (and *pValue
// untouched) when any of them is not a digit.
inline bool GetHexField(const char* pszFrame, int iPos, int nDigits, uint32_t* pValue) {
  return ParseHex(pszFrame + iPos, nDigits, pValue);
}

}  // namespace sarn
