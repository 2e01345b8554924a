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

// A memory type 1 gate address names an input in the controller's running
// bit numbering. Gate addresses 200 to 719 count one by one, bits 161 to 680
// (as the variables do); below them and from 801 to 1199 each ten counts as
// eight bits, so a last digit of 8 lands on the next ten's 0 and a last
// digit of 9 names no bit, and the upper tens go on from bit 681.
inline constexpr int32_t kGtcLowInputGates = 199;  // 1 to 199, by tens
inline constexpr int32_t kGtcLastRunInputGate = 719;
inline constexpr int32_t kGtcFirstHighInputGate = 801;  // to 1199, by tens
inline constexpr int32_t kGtcLastHighInputGate = 1199;
inline constexpr int32_t kGtcRunInputOffset =
    static_cast<int32_t>(kGtcFirstVariableGate) - kGtcFirstVariableBit;  // gate address minus bit, in the run
inline constexpr int32_t kGtcHighInputBits = 40;  // bits the upper tens count beyond what their digits say

// The running bit of input gate address a; -1 when a names none.
constexpr int32_t GtcInputBit(int32_t a) {
  const bool bTens = (a >= 1 && a <= kGtcLowInputGates) || (a >= kGtcFirstHighInputGate && a <= kGtcLastHighInputGate);
  if (bTens && a % 10 != 9) return (a / 10) * 8 + a % 10 + (a >= kGtcFirstHighInputGate ? kGtcHighInputBits : 0);
  if (a >= static_cast<int32_t>(kGtcFirstVariableGate) && a <= kGtcLastRunInputGate) return a - kGtcRunInputOffset;
  return -1;
}

// The input gate address of running bit n (1 to 1000). Where the tens give a
// bit two names (18 and 20), the one ending in 0, unless that one names
// another bit or none (200 is bit 161, and 1200 is past the inputs): then
// the one ending in 8.
constexpr int32_t GtcInputGate(int32_t n) {
  if (n > kGtcLeadingInputs && n <= kGtcLastRunInputGate - kGtcRunInputOffset) return n + kGtcRunInputOffset;
  const int32_t m = n > kGtcLeadingInputs ? n - kGtcHighInputBits : n;
  const int32_t a = (m / 8) * 10 + m % 8;
  return GtcInputBit(a) == n ? a : a - 2;
}

}  // namespace sarn
