// STUB: replaced by the scripted fake platform.
#include "platform/serial_platform.h"
namespace sarn {
SarnHandle PlatOpen(const char*) { return kNoHandle; }
bool PlatClose(SarnHandle) { return false; }
bool PlatGetLineState(SarnHandle, PlatLineState*) { return false; }
bool PlatSetLineState(SarnHandle, const PlatLineState*) { return false; }
bool PlatGetTimeouts(SarnHandle, PlatTimeouts*) { return false; }
bool PlatSetTimeouts(SarnHandle, const PlatTimeouts*) { return false; }
bool PlatSetupQueues(SarnHandle, uint32_t, uint32_t) { return false; }
bool PlatClearError(SarnHandle, PlatQueueStatus*) { return false; }
bool PlatRead(SarnHandle, void*, uint32_t, uint32_t*) { return false; }
bool PlatWrite(SarnHandle, const void*, uint32_t, uint32_t*) { return false; }
uint32_t PlatLastError() { return 0; }
bool PlatEscape(SarnHandle, int) { return false; }
void PlatSleep(uint32_t) {}
}  // namespace sarn
