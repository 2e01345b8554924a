// STUB: replaced by the port layer.
#include "link/port.h"
#include "platform/serial_platform.h"
namespace sarn {
SarnHandle OpenComPort(const PortSettings*) { return kNoHandle; }
int PortOpen(const char*, const LineSettings*, uint16_t, SarnHandle*) { return 1; }
int PortClose(SarnHandle) { return 7; }
int32_t PortSetTimeout(SarnHandle, int32_t) { return 0; }
int PortFlushInput(SarnHandle) { return 1; }
int PortWrite(SarnHandle, const void*, uint32_t, uint32_t*) { return 7; }
int PortRead(SarnHandle, void*, uint16_t, uint32_t*) { return 7; }
}  // namespace sarn
