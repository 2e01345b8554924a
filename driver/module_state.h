// State that belongs to the loaded module and is shared by every context.
#pragma once

#include <cstdint>

namespace sarn {

// 1 once EndSarn ran: every later request answers 0 and does nothing.
extern int32_t bStopped;

// Last-error byte of the transaction under way.
enum : uint8_t {
  kLastErrorNone = 0,
  kLastErrorSend = 1,       // a frame was not sent completely
  kLastErrorFrameStart = 4, // the start of a reply frame was not received
  kLastErrorException = 8,  // an exception reply came
};
extern uint8_t cLastError;

}  // namespace sarn
