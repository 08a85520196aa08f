// The zone reader beside the C library's own: every zone file of the system and a few rules
// written out give the offset that localtime_r gives, at both ends of every span between 1900 and
// 2100 (so at every change of summer time) and within it.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "common/time_zone.h"
#include "zone_file_bytes.h"

namespace {

constexpr int64_t k1900 = -2208988800;
constexpr int64_t k2100 = 4102444800;

int32_t library_offset(int64_t utc_s) {
  const time_t instant = time_t(utc_s);
  tm local;
  return localtime_r(&instant, &local) != nullptr ? int32_t(local.tm_gmtoff) : INT32_MIN;
}

// Walks the spans of a zone from `first` to `last` as `span_at` gives them, with the C library
// set to `tz`; returns how many spans disagreed (and says where).
int disagreements(const std::string& tz, int64_t first, int64_t last,
                  const std::function<bool(int64_t, ZoneSpan*)>& span_at) {
  setenv("TZ", tz.c_str(), 1);
  tzset();
  int wrong = 0;
  int spans = 0;
  for (int64_t at = first; at < last && wrong < 3; ++spans) {
    ZoneSpan span;
    if (!span_at(at, &span) || span.from_s > at || span.until_s <= at) {
      ADD_FAILURE() << tz << ": no span at " << at;
      return wrong + 1;
    }
    const int64_t until = span.until_s < last ? span.until_s : last;
    const int64_t from = span.from_s > first ? span.from_s : first;
    for (int64_t instant : {from, at, from + (until - from) / 2, until - 1}) {
      const int32_t expected = library_offset(instant);
      if (expected != span.offset_s) {
        ADD_FAILURE() << tz << " at " << instant << ": " << span.offset_s << " s, the C library "
                      << expected << " s (span " << span.from_s << " to " << span.until_s << ")";
        ++wrong;
        break;
      }
    }
    at = until;
  }
  EXPECT_GT(spans, 0) << tz;
  return wrong;
}

TEST(TimeZoneBesideTheCLibrary, EveryZoneFileOfTheSystem) {
  const std::filesystem::path folder = kZoneFolder;
  if (!std::filesystem::exists(folder / "Etc/UTC")) {
    GTEST_SKIP() << "no zone database in " << folder << ": apt-get install tzdata";
  }
  int zones = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    // posix/ holds the same files again.
    if (!entry.is_regular_file() || entry.path().string().find("/posix/") != std::string::npos) {
      continue;
    }
    std::ifstream stream(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(stream), {}};
    if (bytes.compare(0, 4, "TZif") != 0) continue;
    ++zones;
    const ZoneFile file = zone_file_of(&bytes);
    disagreements(entry.path().string(), k1900, k2100,
                  [&](int64_t at, ZoneSpan* span) { return file_zone_span(file, at, span); });
  }
  EXPECT_GT(zones, 300);
}

TEST(TimeZoneBesideTheCLibrary, RulesWrittenOut) {
  for (const char* rule : {"JST-9", "NST+3:30", "<+0545>-5:45", "CET-1CEST,M3.5.0,M10.5.0/3",
                           "AEST-10AEDT,M10.1.0,M4.1.0/3", "<-02>2<-01>,M3.5.0/-1,M10.5.0/0",
                           "IST-1GMT0,M10.5.0,M3.5.0/1", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",
                           "EST5EDT,M3.2.0/2:30:15,M11.1.0", "AAA0BBB,J60/0,J300/23",
                           "AAA0BBB,59/0,300/-5", "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1"}) {
    disagreements(rule, 0, k2100,
                  [&](int64_t at, ZoneSpan* span) { return rule_zone_span(rule, at, span); });
  }
}

}  // namespace
