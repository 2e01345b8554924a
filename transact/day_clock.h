// The calendar day the read transaction's daily restart compares with.
#pragma once

namespace sarn {

using DayOfMonthFn = int (*)();

// Day of the month (1 to 31) of the current local time.
int CurrentDayOfMonth();

// Loads the C library's time-zone data now; the first conversion to local
// time would otherwise allocate it in the middle of a transaction.
void PrimeDayClock();

// Replaces the clock (tests set a day of their own); nullptr restores the
// system's local time.
void SetDayOfMonthSource(DayOfMonthFn pfnSource);

}  // namespace sarn
