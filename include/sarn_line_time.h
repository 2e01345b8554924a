// The time a frame needs on the serial line, for the bounds of waits on the
// transmitter (the frame layer's RTS wait, the POSIX layer's write limit),
// and the time of one character, for telling what the line can have carried.
// Internal to the driver: not installed with sarnmd.h.
#pragma once

#include <cstdint>

namespace sarn {

// Speed assumed while a port's speed is not known: the slowest common rate,
// so that a bound derived from it is never too short.
inline constexpr uint32_t kUnknownBaudFallback = 300;
// Bits a character takes on the line at most: start, 8 data, parity, 2 stop.
inline constexpr uint32_t kBitsPerCharacter = 12;

// Twice the milliseconds dwBytes characters take at dwBaud (rounded down).
inline uint64_t TwiceLineTimeMs(uint32_t dwBaud, uint32_t dwBytes) {
  if (dwBaud == 0) dwBaud = kUnknownBaudFallback;
  return uint64_t{dwBytes} * kBitsPerCharacter * 1000u * 2u / dwBaud;
}

// Microseconds one character takes at dwBaud: a start bit, the data bits,
// a parity bit unless cParity is 0 (none), and one, one and a half or two
// stop bits (cStopBits 0, 1, 2); 0 when the rate is not known.
inline uint32_t CharTimeUs(uint32_t dwBaud, uint32_t dwDataBits, uint8_t cParity, uint8_t cStopBits) {
  if (dwBaud == 0) return 0;
  const uint32_t dwHalfBits = 2 * (1 + dwDataBits + (cParity != 0 ? 1 : 0)) + (cStopBits == 0 ? 2 : cStopBits + 2);
  return static_cast<uint32_t>(uint64_t{dwHalfBits} * 500000u / dwBaud);
}

}  // namespace sarn
