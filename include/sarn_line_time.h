// The time a frame needs on the serial line, for the bounds of waits on the
// transmitter (the frame layer's RTS wait, the POSIX layer's write limit).
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

}  // namespace sarn
