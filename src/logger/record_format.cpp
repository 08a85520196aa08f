#include "logger/record_format.h"

#include <cstdio>

size_t format_record(int32_t reading, char* out) {
  // The subtraction wraps like the device's 32-bit arithmetic: -2147483648 logs as 2147483136.
  const int32_t logged = int32_t(uint32_t(reading) - uint32_t(kReadingOffset));
  return size_t(std::snprintf(out, kMaxRecordLength + 1, "%4d\n", int(logged)));
}
