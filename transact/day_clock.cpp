#include "transact/day_clock.h"

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

DayOfMonthFn pfnDaySource = nullptr;

}  // namespace

int CurrentDayOfMonth() { return pfnDaySource != nullptr ? pfnDaySource() : LocalDayOfMonth(); }

void PrimeDayClock() { LocalDayOfMonth(); }

void SetDayOfMonthSource(DayOfMonthFn pfnSource) { pfnDaySource = pfnSource; }

}  // namespace sarn
