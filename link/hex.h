// Hexadecimal digits of frame text.
#pragma once

#include <cstdint>

namespace sarn {

// Value of one hexadecimal digit (either case), or -1.
inline int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads exactly nDigits hexadecimal digits; false (and *pValue untouched)
// when any of them is not a digit, so a malformed field is never taken for
// a number.
inline bool ParseHex(const char* pText, int nDigits, uint32_t* pValue) {
  uint32_t value = 0;
  for (int i = 0; i < nDigits; ++i) {
    const int digit = HexDigit(pText[i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *pValue = value;
  return true;
}

}  // namespace sarn
