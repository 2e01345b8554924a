// The calendar day the read transaction's daily restart compares with.
#pragma once

namespace sarn {

using DayOfMonthFn = int (*)();

// Day of the month (1 to 31) of the current local time.
int CurrentDayOfMonth();

// Replaces the clock (tests set a day of their own); nullptr restores the
// system's local time.
void SetDayOfMonthSource(DayOfMonthFn pfnSource);

}  // namespace sarn
