// A row of test.csv: when the line came, in local time and the local time's offset from UTC in
// minutes, the reading, and the value test.dat holds for it.
//   2026-12-09T18:30:01.234,540,600,88
// The time is ISO 8601's local time without an offset, which a spreadsheet (LibreOffice Calc)
// takes for a date and a time as it opens the file, and which Python's datetime.fromisoformat,
// pandas and gnuplot read as it stands; the offset, a plain number of its own, gives the instant
// without a guess, across a change of offset (summer time) too: UTC is the time minus the offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h"

constexpr const char* kTimesFileName = "test.csv";
constexpr char kTimesHeader[] = "time,utc_offset_minutes,reading,value\n";

// The longest text of a time and its offset: "YYYY-MM-DDThh:mm:ss.mmm", a comma, and up to nine
// characters of minutes ("540", "-210"; a whole 32-bit offset in seconds needs nine).
constexpr size_t kLocalTimeLength = 23 + 1 + 9;

// The longest row: the time, two commas, two numbers of up to 11 characters and the LF.
constexpr size_t kMostRowLength = kLocalTimeLength + 2 + 2 * 11 + 1;

// Writes the local time of `time` and, after a comma, its offset in minutes to `out` (at most
// kLocalTimeLength bytes, no NUL): the UTC time moved by the offset, whose seconds, if any, are
// left out of the offset's minutes. Milliseconds are cut, not rounded, so that a time never reads
// later than it was. Returns the length.
size_t format_local_time(const WallTime& time, char* out);

// Writes the row for `reading` after the time text of its read to `out` (kMostRowLength bytes):
// the reading, and the reading minus 512 wrapped to 32 bits as test.dat has it; ends in LF.
size_t format_time_row(const char* time_text, size_t time_length, int32_t reading, char* out);
