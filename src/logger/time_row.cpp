#include "logger/time_row.h"

#include <cstring>

#include "common/calendar.h"
#include "logger/record_format.h"

namespace {

char* two_digits(char* out, int64_t value) {
  out[0] = char('0' + value / 10 % 10);
  out[1] = char('0' + value % 10);
  return out + 2;
}

}  // namespace

size_t format_local_time(const WallTime& time, char* out) {
  const int64_t local_ms = floor_divide(time.utc_us, 1000) + int64_t(time.utc_offset_s) * 1000;
  const int64_t days = floor_divide(local_ms, 86400000);
  const int64_t of_day = local_ms - days * 86400000;
  const CivilDate date = civil_from_days(days);

  char* at = out;
  at = two_digits(at, date.year / 100);
  at = two_digits(at, date.year % 100);
  *at++ = '-';
  at = two_digits(at, date.month);
  *at++ = '-';
  at = two_digits(at, date.day);
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
