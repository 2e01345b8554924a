// Port handle values every layer of the driver compares with. Internal to
// the driver: not installed with sarnmd.h.
#pragma once

#include <cstddef>

#include "sarnmd.h"

namespace sarn {

// The handle of no port; a valid handle is never this value.
inline constexpr SarnHandle kNoHandle = SarnHandle{};

// Ports the module holds open at once. The POSIX layer's table of open ports
// has this many slots, and the module records the owner of each handle it
// opened in a table of the same size.
inline constexpr int kMaxOpenPorts = SARN_MAX_OPEN_PORTS;
static_assert(kMaxOpenPorts >= 256, "the module holds at least 256 ports open");

// Longest address of a serial device server a port opens
// ("rfc2217://HOST:PORT"), without its terminator; other port names fit the
// 11 characters of a port name field.
inline constexpr size_t kMaxGatewayAddress = 63;

// Room for what the platform tells of a failed call on a port, in its own
// terms, terminator included.
inline constexpr size_t kFailureTextSize = 160;

}  // namespace sarn
