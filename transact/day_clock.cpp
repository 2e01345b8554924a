#include "transact/day_clock.h"

#include <atomic>
#include <ctime>

namespace sarn {
namespace {

int LocalDayOfMonth() {
  const time_t now = time(nullptr);
  tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local.tm_mday;
}

// Read by transactions on any thread; set by tests before they start.
std::atomic<DayOfMonthFn> g_pfnDaySource{nullptr};

}  // namespace

int CurrentDayOfMonth() {
  const DayOfMonthFn pfnSource = g_pfnDaySource.load(std::memory_order_acquire);
  return pfnSource != nullptr ? pfnSource() : LocalDayOfMonth();
}

void PrimeDayClock() {
  LocalDayOfMonth();
}

void SetDayOfMonthSource(DayOfMonthFn pfnSource) {
  g_pfnDaySource.store(pfnSource, std::memory_order_release);
}

}  // namespace sarn
