#include "driver/module_state.h"

namespace sarn {

int32_t bStopped = 0;
uint8_t cLastError = kLastErrorNone;

}  // namespace sarn
