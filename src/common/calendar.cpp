#include "common/calendar.h"

// Both ways count in eras of 400 years (146097 days) from 0000-03-01, so that the leap day is the
// last of its year.

int64_t floor_divide(int64_t value, int64_t by) {
  return value / by - (value % by != 0 && (value < 0) != (by < 0));
}

int64_t days_from_civil(int64_t year, int month, int day) {
  const int64_t from_march = year - (month <= 2);
  const int64_t era = floor_divide(from_march, 400);
  const int64_t year_of_era = from_march - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(int64_t days) {
  const int64_t shifted = days + 719468;
  const int64_t era = floor_divide(shifted, 146097);
  const int64_t of_era = shifted - era * 146097;
  const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const int day = int(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  const int month = int(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  return CivilDate{year_of_era + era * 400 + (month <= 2), month, day};
}
