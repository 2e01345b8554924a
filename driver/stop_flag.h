// The stop flag of the entry point, shared by every context.
#pragma once

#include <atomic>
#include <cstdint>

namespace sarn {

// 1 once EndSarn ran: every later request, on any context and any thread,
// answers 0 and does nothing.
extern std::atomic<int32_t> bStopped;

}  // namespace sarn
