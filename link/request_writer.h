// Writing a request frame, field by field, as the replies are read: ':', the
// controller and function, then 16-bit fields, byte counts and data as
// upper-case hexadecimal digits. The LRC and the end of frame are Send's to
// add, in one place for every request.
#pragma once

#include <cstdint>

#include "link/frame_layout.h"

namespace sarn {

struct RequestWriter {
  char* pszText = nullptr;  // the request buffer (SARN_FRAME_BUF characters)
  int iPos = 0;             // where the next field goes
};

// Puts value as nDigits hexadecimal digits at the writer's place.
inline void PutHexDigits(RequestWriter* pWriter, uint32_t value, int nDigits) {
  for (int i = nDigits - 1; i >= 0; --i) {
    pWriter->pszText[pWriter->iPos + i] = "0123456789ABCDEF"[value & 0xFu];
    value >>= 4;
  }
  pWriter->iPos += nDigits;
}

// ':' with the controller address and the function code.
inline RequestWriter StartRequest(char* pszText, uint8_t cController, uint8_t cFunction) {
  RequestWriter writer{pszText, 0};
  pszText[writer.iPos++] = ':';
  PutHexDigits(&writer, cController, 2);
  PutHexDigits(&writer, cFunction, 2);
  return writer;
}

// A byte: a byte count, a data byte, a mask byte.
inline void PutByte(RequestWriter* pWriter, uint8_t cByte) {
  PutHexDigits(pWriter, cByte, 2);
}

// A 16-bit field: a register or coil address, a quantity, a value.
inline void PutWord(RequestWriter* pWriter, uint16_t wWord) {
  PutHexDigits(pWriter, wWord, 4);
}

// A 32-bit value as two registers, the first word first.
inline void PutLong(RequestWriter* pWriter, uint32_t dwLong) {
  PutHexDigits(pWriter, dwLong, 8);
}

// The request's length with its LRC, before CR LF: what the transactions
// log as its length.
inline int LengthWithLrc(const RequestWriter& writer) {
  return writer.iPos + kLrcLen;
}

// The characters Send puts on the line: the fields, the LRC, CR and LF.
inline int SentLength(const RequestWriter& writer) {
  return writer.iPos + kFrameTrailerLen;
}

}  // namespace sarn
