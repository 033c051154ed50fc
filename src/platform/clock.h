// The program's one source of "now". Every reading of the wall clock goes
// through here so that tests can set the time.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace platform {

using SystemTime = std::chrono::system_clock::time_point;

// Local time broken down, as the program's texts and ids need it.
struct LocalTime {
    int year = 0, month = 0, day = 0;      // month 1..12, day 1..31
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int weekday = 0;                       // 0 = Sunday
    int utcOffsetMinutes = 0;              // east of UTC, as the zone had it then
};

SystemTime Now();
LocalTime NowLocal();
LocalTime ToLocal(SystemTime t);
SystemTime FromLocal(const LocalTime& lt);  // millisecond honoured, weekday and offset ignored

// "07" for 7: the two-digit fields of the program's times and dates.
std::string TwoDigits(int v);

// Tests replace the clock; an empty function restores the system clock.
void SetClockForTesting(std::function<SystemTime()> clock);

}  // namespace platform
