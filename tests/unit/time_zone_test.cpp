// What TZ names: a rule written out, or a file of the zone database.
#include "common/time_zone.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The rules as the C library reads them without any file; everything else it looks up as a file.
TEST(TimeZone, ARuleIsANameOfThreeLettersOrMoreAndAnOffset) {
  const struct {
    const char* tz;
    bool rule;
  } cases[] = {
      {"JST-9", true},
      {"EST5EDT", true},
      {"EST5EDT,M3.2.0,M11.1.0", true},
      {"CET-1CEST,M3.5.0,M10.5.0/3", true},
      {"UTC0", true},
      {"NST+3:30", true},
      {"<+09>-9", true},
      {"<-0330>3:30", true},
      {"garbage123", true},  // an offset of 123 hours, as the C library takes it
      {"Asia/Tokyo", false},
      {"Nowhere/City", false},
      {"UTC", false},
      {"Nowhere", false},
      {"JS-9", false},
      {"<>-9", false},
      {"<+09-9", false},
      {":JST-9", false},
      {"/usr/share/zoneinfo/UTC", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(time_zone_is_a_rule(c.tz), c.rule) << c.tz;
}

TEST(TimeZone, AZoneNameIsAFileOfTheZoneDatabase) {
  const struct {
    const char* tz;
    const char* zone_folder;  // TZDIR, or null
    const char* file;         // null: no file
  } cases[] = {
      {"Asia/Tokyo", nullptr, "/usr/share/zoneinfo/Asia/Tokyo"},
      {":Asia/Tokyo", nullptr, "/usr/share/zoneinfo/Asia/Tokyo"},
      {"Nowhere/City", nullptr, "/usr/share/zoneinfo/Nowhere/City"},
      {"UTC", "/opt/zones", "/opt/zones/UTC"},
      {"/etc/localtime", nullptr, "/etc/localtime"},
      {":/etc/localtime", "/opt/zones", "/etc/localtime"},
      {"", nullptr, nullptr},
      {":", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    char file[64];
    const bool named = time_zone_file(c.tz, c.zone_folder, file, sizeof file);
    EXPECT_EQ(named, c.file != nullptr) << c.tz;
    if (named && c.file != nullptr) {
      EXPECT_STREQ(file, c.file) << c.tz;
    }
  }
  // A name longer than the room for it names no file rather than a part of one.
  char small[16];
  EXPECT_FALSE(time_zone_file("America/Argentina/Buenos_Aires", nullptr, small, sizeof small));
  EXPECT_TRUE(time_zone_file("/etc/localtime", nullptr, small, sizeof small));
  EXPECT_STREQ(small, "/etc/localtime");
}

}  // namespace
