#include "logger/time_row.h"

#include <cstring>

#include "logger/record_format.h"

namespace {

char* two_digits(char* out, int64_t value) {
  out[0] = char('0' + value / 10 % 10);
  out[1] = char('0' + value % 10);
  return out + 2;
}

int64_t floor_divide(int64_t value, int64_t by) {
  return value / by - (value % by != 0 && (value < 0) != (by < 0));
}

}  // namespace

size_t format_local_time(const WallTime& time, char* out) {
  const int64_t local_ms = floor_divide(time.utc_us, 1000) + int64_t(time.utc_offset_s) * 1000;
  const int64_t days = floor_divide(local_ms, 86400000);
  const int64_t of_day = local_ms - days * 86400000;
  // The civil date of a day count from 1970-01-01, in the proleptic Gregorian calendar.
  const int64_t shifted = days + 719468;
  const int64_t era = floor_divide(shifted, 146097);
  const int64_t of_era = shifted - era * 146097;
  const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
  const int64_t day_of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2);

  char* at = out;
  at = two_digits(at, year / 100);
  at = two_digits(at, year % 100);
  *at++ = '-';
  at = two_digits(at, month);
  *at++ = '-';
  at = two_digits(at, day);
  *at++ = 'T';
  at = two_digits(at, of_day / 3600000);
  *at++ = ':';
  at = two_digits(at, of_day / 60000 % 60);
  *at++ = ':';
  at = two_digits(at, of_day / 1000 % 60);
  *at++ = '.';
  *at++ = char('0' + of_day / 100 % 10);
  at = two_digits(at, of_day % 100);
  *at++ = ',';
  const int64_t offset = time.utc_offset_s;
  const int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  at = format_decimal(int32_t(offset < 0 ? -minutes : minutes), at);
  return size_t(at - out);
}

size_t format_time_row(const char* time_text, size_t time_length, int32_t reading, char* out) {
  std::memcpy(out, time_text, time_length);
  char* at = out + time_length;
  *at++ = ',';
  at = format_decimal(reading, at);
  *at++ = ',';
  at = format_decimal(int32_t(uint32_t(reading) - uint32_t(kReadingOffset)), at);
  *at++ = '\n';
  return size_t(at - out);
}
