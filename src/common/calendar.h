// Days since 1970-01-01 and the civil dates of the proleptic Gregorian calendar, for any year a
// 64-bit count of seconds reaches.
#pragma once

#include <cstdint>

struct CivilDate {
  int64_t year;
  int month;  // 1 to 12
  int day;    // 1 to 31
};

// `value` divided by `by` (positive), rounded towards minus infinity.
int64_t floor_divide(int64_t value, int64_t by);

int64_t days_from_civil(int64_t year, int month, int day);
CivilDate civil_from_days(int64_t days);
