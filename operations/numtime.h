#pragma once
// The calendar and clock helpers of the number and time operations, for tests
// and benchmarks.
#include <cstdint>

// Days of a month (1-12) of a year of the proleptic Gregorian calendar.
int DaysInMonth(int64_t year, int month);
// Moves a date by days as a day-by-day walk would: forwards past a month's
// length to day 1 of the next month, backwards below day 1 to the last day of
// the previous one. A day outside its month is walked until it is inside;
// from there it takes constant time. False (date untouched) for a month
// outside 1-12.
bool StepDate(int64_t& year, int& month, int64_t& day, int64_t days);
// The wait of "Sleep(" in milliseconds: -1 returns at once (negative or not a
// number), 0 has no limit, a positive fraction of a millisecond waits 1 ms.
int64_t SleepLimitMs(double seconds);
// mktime of a local time (year, month or day 0 or less: today's); -1 when the
// calendar time does not fit 32 bits.
int32_t MakeLocalTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second);
