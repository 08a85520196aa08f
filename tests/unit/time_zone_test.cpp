// The local time's offset as TZ names it: a rule written out, or a file of the zone database.
#include "common/time_zone.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zone_file_bytes.h"

namespace {

constexpr int64_t kAlwaysFrom = INT64_MIN;
constexpr int64_t kAlwaysUntil = INT64_MAX;

// Instants of 2026 and 2028, UTC.
constexpr int64_t k2026July1 = 1782864000;
constexpr int64_t k2026March29At1 = 1774746000;    // the EU's summer time starts
constexpr int64_t k2026October25At1 = 1792890000;  // and ends
constexpr int64_t k2026December10At12 = 1796904000;

struct RuleCase {
  const char* rule;
  int64_t utc_s;
  int32_t offset_s;
  int64_t from_s;
  int64_t until_s;
};

void PrintTo(const RuleCase& c, std::ostream* out) {
  *out << c.rule << " at " << c.utc_s;
}

class TimeZoneRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(TimeZoneRule, GivesTheOffsetAndTheSpanItHoldsFor) {
  const RuleCase& c = GetParam();
  ZoneSpan span = {};
  ASSERT_TRUE(rule_zone_span(c.rule, c.utc_s, &span));
  EXPECT_EQ(span.offset_s, c.offset_s);
  EXPECT_EQ(span.from_s, c.from_s);
  EXPECT_EQ(span.until_s, c.until_s);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, TimeZoneRule,
    ::testing::Values(
        RuleCase{"JST-9", k2026July1, 9 * 3600, kAlwaysFrom, kAlwaysUntil},
        RuleCase{"UTC0", k2026July1, 0, kAlwaysFrom, kAlwaysUntil},
        RuleCase{"NST+3:30", k2026July1, -12600, kAlwaysFrom, kAlwaysUntil},
        RuleCase{"<+0545>-5:45", k2026July1, 20700, kAlwaysFrom, kAlwaysUntil},
        RuleCase{"<-0330>3:30", k2026July1, -12600, kAlwaysFrom, kAlwaysUntil},
        // Summer, winter, and the instants of the changes themselves.
        RuleCase{"CET-1CEST,M3.5.0,M10.5.0/3", k2026July1, 7200, k2026March29At1,
                 k2026October25At1},
        RuleCase{"CET-1CEST,M3.5.0,M10.5.0/3", k2026March29At1, 7200, k2026March29At1,
                 k2026October25At1},
        RuleCase{"CET-1CEST,M3.5.0,M10.5.0/3", k2026March29At1 - 1, 3600, 1761440400,
                 k2026March29At1},
        RuleCase{"CET-1CEST,M3.5.0,M10.5.0/3", k2026October25At1, 3600, k2026October25At1,
                 1806195600},
        // Without dates: the second Sunday of March and the first of November, at 2:00.
        RuleCase{"EST5EDT", k2026December10At12, -5 * 3600, 1793512800, 1805007600},
        // The southern hemisphere: summer across the year's end.
        RuleCase{"AEST-10AEDT,M10.1.0,M4.1.0/3", k2026July1, 10 * 3600, 1775318400, 1791043200},
        RuleCase{"AEST-10AEDT,M10.1.0,M4.1.0/3", k2026December10At12, 11 * 3600, 1791043200,
                 1806768000},
        // Changes at negative local times, as Greenland's.
        RuleCase{"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", k2026July1, -3600, k2026March29At1,
                 k2026October25At1},
        // Summer time all year: an end at 25:00 on the last day meets the next start.
        RuleCase{"EST5EDT4,0/0,J365/25", k2026July1, -4 * 3600, 1767243600, 1798779600},
        // In a leap year J60 is 1 March, and day 59 (counted from 0) is 29 February.
        RuleCase{"AAA0BBB,J60/0,J61/0", 1835524800, 3600, 1835481600, 1835564400},
        RuleCase{"AAA0BBB,59/0,60/0", 1835438400, 3600, 1835395200, 1835478000}),
    [](const auto& info) { return std::to_string(info.index); });

TEST(TimeZone, WhatIsNoRuleGivesNoOffset) {
  for (const char* text : {"",
                           "UTC",
                           "Asia/Tokyo",
                           "JS-9",
                           "<>-9",
                           "<+9>-9",
                           "<+09-9",
                           "JST",
                           "JST-25",
                           "JST-9x",
                           "garbage123",
                           "NST+3:60",
                           "CET-1CEST,M3.5.0",
                           "CET-1CEST,M13.5.0,M10.5.0",
                           "CET-1CEST,M3.6.0,M10.5.0",
                           "CET-1CEST,M3.5.7,M10.5.0",
                           "CET-1CEST,J0,J365",
                           "CET-1CEST,366,0",
                           "CET-1CEST,M3.5.0/168,M10.5.0",
                           "EST5EDT,M3.2.0,M11.1.0x"}) {
    ZoneSpan span;
    EXPECT_FALSE(rule_zone_span(text, k2026July1, &span)) << text;
  }
}

// A zone file in memory: instants of changes, the type each leads to, the types' offsets, and the
// rule after the last change; `version` '\0' writes the 32-bit data alone.
struct ZoneFileParts {
  char version = '2';
  std::vector<int64_t> changes;
  std::vector<uint8_t> indexes;
  std::vector<int32_t> offsets;
  std::string rule;
};

void put_big_endian(std::string* out, uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out->push_back(char(value >> shift));
}

void put_zone_data(std::string* out, char version, const ZoneFileParts& parts, int time_size) {
  *out += "TZif";
  out->push_back(version);
  out->append(15, '\0');
  // UT flags, standard flags, leap seconds, changes, types, name bytes.
  for (size_t count :
       {size_t(0), size_t(0), size_t(0), parts.changes.size(), parts.offsets.size(), size_t(4)}) {
    put_big_endian(out, count, 4);
  }
  for (int64_t change : parts.changes) put_big_endian(out, uint64_t(change), time_size);
  for (uint8_t index : parts.indexes) out->push_back(char(index));
  for (int32_t offset : parts.offsets) {
    put_big_endian(out, uint32_t(offset), 4);
    out->append(2, '\0');  // summer time or not, where its name starts
  }
  out->append("ZZZ", 4);
}

std::string zone_file_bytes(const ZoneFileParts& parts) {
  std::string out;
  put_zone_data(&out, parts.version, parts, 4);
  if (parts.version != '\0') {
    put_zone_data(&out, parts.version, parts, 8);
    out += "\n" + parts.rule + "\n";
  }
  return out;
}

bool span_of_file(const std::string& bytes, int64_t utc_s, ZoneSpan* span) {
  return file_zone_span(zone_file_of(&bytes), utc_s, span);
}

// A zone of the mean local time (type 0), then standard time, summer time and standard time
// again at three instants, and the EU's rule after them.
constexpr int64_t kStandard = -1000000000;
constexpr int64_t kSummer = 1000000000;
constexpr int64_t kLast = 1100000000;  // November 2004

ZoneFileParts european_zone() {
  ZoneFileParts parts;
  parts.changes = {kStandard, kSummer, kLast};
  parts.indexes = {1, 2, 1};
  parts.offsets = {3208, 3600, 7200};
  parts.rule = "CET-1CEST,M3.5.0,M10.5.0/3";
  return parts;
}

TEST(TimeZone, AZoneFileGivesTheTypeOfTheLastChangeAndThenItsRule) {
  const struct {
    const char* what;
    int64_t utc_s;
    int32_t offset_s;
    int64_t from_s;
    int64_t until_s;
  } cases[] = {
      {"before the first change: the first type", kStandard - 1, 3208, kAlwaysFrom, kStandard},
      {"at a change", kStandard, 3600, kStandard, kSummer},
      {"between changes", kSummer + 5, 7200, kSummer, kLast},
      // The rule's span, begun no earlier than the last change.
      {"after the last change, in the rule's winter", kLast + 1, 3600, kLast, 1111885200},
      {"years after it, in the rule's summer", k2026July1, 7200, k2026March29At1,
       k2026October25At1},
  };
  const std::string bytes = zone_file_bytes(european_zone());
  for (const auto& c : cases) {
    ZoneSpan span = {};
    ASSERT_TRUE(span_of_file(bytes, c.utc_s, &span)) << c.what;
    EXPECT_EQ(span.offset_s, c.offset_s) << c.what;
    EXPECT_EQ(span.from_s, c.from_s) << c.what;
    EXPECT_EQ(span.until_s, c.until_s) << c.what;
  }
}

TEST(TimeZone, AZoneFileWithoutARuleKeepsItsLastType) {
  ZoneFileParts without_rule = european_zone();
  without_rule.rule = "";
  ZoneFileParts first_version = european_zone();
  first_version.version = '\0';
  for (const ZoneFileParts& parts : {without_rule, first_version}) {
    ZoneSpan span = {};
    ASSERT_TRUE(span_of_file(zone_file_bytes(parts), k2026July1, &span));
    EXPECT_EQ(span.offset_s, 3600);
    EXPECT_EQ(span.from_s, kLast);
    EXPECT_EQ(span.until_s, kAlwaysUntil);
  }
  // A zone without changes is its rule, always.
  ZoneFileParts fixed;
  fixed.offsets = {32400};
  fixed.rule = "JST-9";
  ZoneSpan span = {};
  ASSERT_TRUE(span_of_file(zone_file_bytes(fixed), k2026July1, &span));
  EXPECT_EQ(span.offset_s, 32400);
  EXPECT_EQ(span.from_s, kAlwaysFrom);
  EXPECT_EQ(span.until_s, kAlwaysUntil);
}

TEST(TimeZone, WhatIsNoZoneFileGivesNoOffset) {
  const std::string whole = zone_file_bytes(european_zone());
  ZoneFileParts no_types = european_zone();
  no_types.offsets.clear();
  ZoneFileParts index_out_of_range = european_zone();
  index_out_of_range.indexes = {1, 3, 1};
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"not TZif", "TZjf" + whole.substr(4)},
      {"cut in the changes", whole.substr(0, whole.size() - 60)},
      {"no types", zone_file_bytes(no_types)},
      {"an index beyond the types", zone_file_bytes(index_out_of_range)},
  };
  for (const auto& c : cases) {
    ZoneSpan span;
    EXPECT_FALSE(span_of_file(c.bytes, kSummer + 5, &span)) << c.what;
  }
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
