// Host value cells and the word order of 32-bit values.
#pragma once

#include <cstdint>
#include <cstring>

#include "sarnmd.h"

namespace sarn {

// A single gate's 4-byte cell: 32-bit values fill it, 16-bit values and
// bits live in its second half (bytes 2 and 3). Copied bytewise: the host's
// buffer need not be aligned.
// Where a 16-bit value (and a GTC bit's state, in its low byte) stands in a
// value cell: the cell's second half.
inline constexpr int kCellHalfPos = 2;

inline uint16_t CellHalf(const void* pCell) {
  uint16_t w;
  memcpy(&w, static_cast<const char*>(pCell) + kCellHalfPos, sizeof w);
  return w;
}
inline void SetCellHalf(void* pCell, uint16_t w) {
  memcpy(static_cast<char*>(pCell) + kCellHalfPos, &w, sizeof w);
}
inline uint32_t CellWord(const void* pCell) {
  uint32_t v;
  memcpy(&v, pCell, sizeof v);
  return v;
}
inline void SetCellWord(void* pCell, uint32_t v) {
  memcpy(pCell, &v, sizeof v);
}

// Element k of a block buffer of 16- or 32-bit values.
inline uint16_t BlockHalf(const void* pData, int k) {
  uint16_t w;
  memcpy(&w, static_cast<const char*>(pData) + 2 * k, sizeof w);
  return w;
}
inline void SetBlockHalf(void* pData, int k, uint16_t w) {
  memcpy(static_cast<char*>(pData) + 2 * k, &w, sizeof w);
}
inline uint32_t BlockWord(const void* pData, int k) {
  return CellWord(static_cast<const char*>(pData) + 4 * k);
}
inline void SetBlockWord(void* pData, int k, uint32_t v) {
  SetCellWord(static_cast<char*>(pData) + 4 * k, v);
}

// The halves of a 32-bit value are exchanged for 32-bit integers (memory
// types 6 and 8) under SWAP and for floating-point values (5 and 7) under
// FLOATSWAP; on the wire the first register is the high half.
inline uint32_t ApplyWordOrder(const DriverContext* pContext, int32_t iMemType, uint32_t value) {
  const bool bInteger = iMemType == SARN_MEM_INPUT_LONGS || iMemType == SARN_MEM_HOLDING_LONGS;
  const bool bFloat = iMemType == SARN_MEM_INPUT_FLOATS || iMemType == SARN_MEM_HOLDING_FLOATS;
  if ((bInteger && (pContext->wFlags & SARN_FLAG_SWAP) != 0) ||
      (bFloat && (pContext->wFlags & SARN_FLAG_FLOATSWAP) != 0)) {
    return (value << 16) | (value >> 16);
  }
  return value;
}

// Register address of a gate on the wire: a 32-bit gate's address counts
// register pairs unless LONGADDR maps it one to one. Low 16 bits.
inline uint16_t WireAddress(const DriverContext* pContext, const GateTransfer* pTransfer) {
  if (pTransfer->iBits == 32 && (pContext->wFlags & SARN_FLAG_LONGADDR) == 0) {
    return static_cast<uint16_t>(static_cast<uint32_t>(pTransfer->iAddress) * 2u);
  }
  return static_cast<uint16_t>(pTransfer->iAddress);
}

}  // namespace sarn
