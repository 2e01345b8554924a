// Lines behind a serial device server: the gateway an instance's
// initialization file names (GATEWAY = socket://HOST:PORT or
// rfc2217://HOST:PORT). The port is then opened at that address in place of
// the port name the host gives, so that a host that can name only a COM
// port still drives a line behind a gateway.
//
// One route per driver instance, kept by its context's address in a fixed
// table shared by every thread; nothing is allocated.
#pragma once

#include <cstddef>

#include "sarn_handle.h"
#include "sarnmd.h"

namespace sarn {

// Room for a gateway address, terminator included.
inline constexpr size_t kGatewayAddressSize = kMaxGatewayAddress + 1;

// Routes the context's port to the gateway pszAddress; an empty address
// clears the route. False when every route is taken.
bool SetGatewayRoute(const DriverContext* pContext, const char* pszAddress);
// The context's gateway address into pszAddress (kGatewayAddressSize);
// false, with pszAddress empty, when it has none.
bool GatewayRoute(const DriverContext* pContext, char* pszAddress);

}  // namespace sarn
