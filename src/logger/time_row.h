// A row of test.csv: when the line came, the reading, and the value test.dat holds for it.
//   2026-12-09T18:30:01.234+09:00,600,88
// The time is local, with milliseconds and the UTC offset (+00:00 for UTC, never Z), as ISO 8601
// writes it, so that a spreadsheet, Python's datetime.fromisoformat and gnuplot read it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h"

constexpr const char* kTimesFileName = "test.csv";
constexpr char kTimesHeader[] = "time,reading,value\n";

// "YYYY-MM-DDThh:mm:ss.mmm+hh:mm"
constexpr size_t kLocalTimeLength = 29;

// The longest row: the time, two commas, two numbers of up to 11 characters and the LF.
constexpr size_t kMostRowLength = kLocalTimeLength + 2 + 2 * 11 + 1;

// Writes the local time of `time` to `out` (kLocalTimeLength bytes, no NUL): the UTC time moved by
// the offset, whose seconds, if any, are left out of the offset's text. Milliseconds are cut, not
// rounded, so that a time never reads later than it was. Returns the length.
size_t format_local_time(const WallTime& time, char* out);

// Writes the row for `reading` after the time text of its read to `out` (kMostRowLength bytes):
// the reading, and the reading minus 512 wrapped to 32 bits as test.dat has it; ends in LF.
size_t format_time_row(const char* time_text, size_t time_length, int32_t reading, char* out);
