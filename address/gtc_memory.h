// The GTC controller's memory as gate addresses name it and requests reach
// it: shared by the address parser and the transactions.
#pragma once

#include <cstdint>

namespace sarn {

// Memory type 3 holds three register areas in one running numbering: 64,
// 42 and 64 values starting at 1, 65 and 107. A block gate names an area by
// its number (1 to 3); a read request addresses it by that number too.
inline constexpr int kGtcAreaCount = 3;
inline constexpr int32_t kGtcAreaStart[kGtcAreaCount] = {1, 65, 107};
inline constexpr int32_t kGtcAreaLength[kGtcAreaCount] = {64, 42, 64};

// The area number of a running register address that starts an area; any
// other address is returned as it is.
inline uint16_t GtcAreaNumber(uint16_t wAddress) {
  for (int k = 0; k < kGtcAreaCount; ++k) {
    if (wAddress == kGtcAreaStart[k]) return static_cast<uint16_t>(k + 1);
  }
  return wAddress;
}

// Memory type 0: the variables, gate addresses 200 to 511, are the bits from
// 161 on. They are read along with the 160 inputs before them (from input 1
// on), and written through a set mask (address 1) or a reset mask (address
// 2) that counts from bit 161.
inline constexpr uint32_t kGtcFirstVariableGate = 200;
inline constexpr uint32_t kGtcLastVariableGate = 511;
inline constexpr int32_t kGtcFirstVariableBit = 161;
inline constexpr int32_t kGtcLeadingInputs = kGtcFirstVariableBit - 1;
inline constexpr uint16_t kGtcFirstInput = 1;
inline constexpr uint16_t kGtcSetMaskAddress = 1;
inline constexpr uint16_t kGtcResetMaskAddress = 2;

// Memory type 1: the inputs, a block from input 1 of at most 1000.
inline constexpr int32_t kGtcInputsStart = 1;

}  // namespace sarn
