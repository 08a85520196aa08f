// The texts of a record and of a row of test.csv.
#include <gtest/gtest.h>

#include <string>

#include "logger/record_format.h"
#include "logger/time_row.h"

namespace {

std::string record_of(int32_t reading) {
  char text[kMaxRecordLength + 1];
  return std::string(text, format_record(reading, text));
}

TEST(RecordFormat, RightAlignsTheReadingMinus512) {
  const struct {
    int32_t reading;
    const char* record;
  } cases[] = {
      {512, "   0\n"},
      {0, "-512\n"},
      {511, "  -1\n"},
      {600, "  88\n"},
      {1023, " 511\n"},
      {10511, "9999\n"},
      {10512, "10000\n"},
      {-488, "-1000\n"},
      {2147483647, "2147483135\n"},
      {-2147483136, "-2147483648\n"},
      {-2147483648, "2147483136\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(record_of(c.reading), c.record) << c.reading;
}

// A row of test.csv: the local time with milliseconds, its offset from UTC in minutes, the
// reading, and what test.dat holds for it. The rows were worked out with Python's datetime.
TEST(TimeRow, IsTheLocalTimeAndItsOffsetInMinutesThenTheReadingAndItsValue) {
  const struct {
    const char* name;
    WallTime time;
    int32_t reading;
    const char* row;
  } cases[] = {
      {"Tokyo", {1796808601234000, 32400}, 600, "2026-12-09T18:30:01.234,540,600,88\n"},
      {"UTC", {1796808601234000, 0}, 512, "2026-12-09T09:30:01.234,0,512,0\n"},
      {"India +05:30", {1796808600000000, 19800}, 0, "2026-12-09T15:00:00.000,330,0,-512\n"},
      {"Newfoundland -03:30",
       {1796808600005000, -12600},
       -7,
       "2026-12-09T06:00:00.005,-210,-7,-519\n"},
      {"Berlin: the last millisecond of winter time",
       {1774745999999000, 3600},
       601,
       "2026-03-29T01:59:59.999,60,601,89\n"},
      {"Berlin: the first of summer time",
       {1774746000000000, 7200},
       602,
       "2026-03-29T03:00:00.000,120,602,90\n"},
      {"Berlin: the last of summer time",
       {1792889999999000, 7200},
       603,
       "2026-10-25T02:59:59.999,120,603,91\n"},
      {"Berlin: the hour again, in winter time",
       {1792890000000000, 3600},
       604,
       "2026-10-25T02:00:00.000,60,604,92\n"},
      {"New York in summer",
       {1783180800000000, -14400},
       10512,
       "2026-07-04T12:00:00.000,-240,10512,10000\n"},
      {"the last microsecond of a year is cut, not rounded into the next",
       {1798761599999999, 0},
       2147483647,
       "2026-12-31T23:59:59.999,0,2147483647,2147483135\n"},
      {"midnight, a new year",
       {1798761600000000, 0},
       -2147483648,
       "2027-01-01T00:00:00.000,0,-2147483648,2147483136\n"},
      {"a leap day", {1835438400000000, 0}, -488, "2028-02-29T12:00:00.000,0,-488,-1000\n"},
      {"an offset of seconds only is no minute of offset",
       {1796808600000000, -30},
       512,
       "2026-12-09T09:29:30.000,0,512,0\n"},
      {"Kathmandu +05:45", {1796808600000000, 20700}, 512, "2026-12-09T15:15:00.000,345,512,0\n"},
      {"Kiribati +14:00", {1796808600000000, 50400}, 512, "2026-12-09T23:30:00.000,840,512,0\n"},
      {"the longest offset a 32-bit count of seconds holds",
       {1796808600000000, -2147483647 - 1},
       -2147483648,
       "1958-11-21T06:15:52.000,-35791394,-2147483648,2147483136\n"},
      {"the local date a day ahead of UTC's",
       {1767195000000000, 32400},
       1023,
       "2026-01-01T00:30:00.000,540,1023,511\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char time[kLocalTimeLength];
    const size_t length = format_local_time(c.time, time);
    EXPECT_LE(length, kLocalTimeLength);
    char row[kMostRowLength];
    const size_t row_length = format_time_row(time, length, c.reading, row);
    EXPECT_LE(row_length, kMostRowLength);
    EXPECT_EQ(std::string(row, row_length), c.row);
  }
}

}  // namespace
