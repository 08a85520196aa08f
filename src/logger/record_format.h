// One record of the measurement log: the reading minus 512, right-aligned in four places.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kReadingOffset = 512;

// The longest record text is a minus sign, ten digits and the LF.
constexpr size_t kMaxRecordLength = 12;

// Writes the record text for `reading`, ending in LF, to `out` (at least kMaxRecordLength + 1
// bytes) and returns its length, 5 to 12.
size_t format_record(int32_t reading, char* out);

// Writes `value` in decimal, a minus sign before a negative one, to `out` (11 bytes at most) and
// returns the end of what it wrote.
char* format_decimal(int32_t value, char* out);
