#include "logger/record_format.h"

char* format_decimal(int32_t value, char* out) {
  char reversed[10];
  uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  size_t count = 0;
  do {
    reversed[count++] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *out++ = '-';
  while (count > 0) *out++ = reversed[--count];
  return out;
}

size_t format_record(int32_t reading, char* out) {
  // The subtraction wraps like the device's 32-bit arithmetic: -2147483648 logs as 2147483136.
  const int32_t logged = int32_t(uint32_t(reading) - uint32_t(kReadingOffset));
  // "%4d\n", written out by hand: a record a line at the device's full speed, and a printf each
  // would be a tenth of the loop's time.
  char number[11];
  const size_t length = size_t(format_decimal(logged, number) - number);
  size_t at = 0;
  for (; at + length < 4; ++at) out[at] = ' ';
  for (size_t i = 0; i < length; ++i) out[at++] = number[i];
  out[at++] = '\n';
  return at;
}
