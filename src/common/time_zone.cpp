#include "common/time_zone.h"

#include <initializer_list>

#include "common/calendar.h"
#include "common/text.h"

namespace {

// ---- A rule written out: std offset [dst [offset] [,start[/time],end[/time]]]

// A day of the year on which summer time starts or ends, and the local time of the change.
struct Change {
  char kind;  // 'J': day 1 to 365 without 29 February; 'D': day 0 to 365; 'M': month.week.weekday
  int day;
  int month;
  int week;     // 1 to 5, 5 the last
  int weekday;  // 0 Sunday to 6
  int32_t time_s;
};

struct Rule {
  int32_t standard_s;  // offsets east of Greenwich
  int32_t summer_s;
  bool has_summer;
  Change start;
  Change end;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A number of one to `most_digits` digits, at most `most`.
bool take_number(const char** at, int most_digits, int most, int* value) {
  int digits = 0;
  *value = 0;
  while (is_digit(**at) && digits < most_digits) {
    *value = *value * 10 + (**at - '0');
    ++*at;
    ++digits;
  }
  return digits > 0 && *value <= most;
}

bool take_name(const char** at) {
  const char* start = *at;
  if (**at == '<') {
    ++*at;
    while (is_letter(**at) || is_digit(**at) || **at == '+' || **at == '-') ++*at;
    if (**at != '>' || *at - start - 1 < 3) return false;
    ++*at;
    return true;
  }
  while (is_letter(**at)) ++*at;
  return *at - start >= 3;
}

// [+-]hh[:mm[:ss]] in seconds, the hours at most `most_hours`.
bool take_time(const char** at, int most_hours, int32_t* seconds) {
  const bool negative = **at == '-';
  if (**at == '+' || **at == '-') ++*at;
  int hours = 0;
  int minutes = 0;
  int rest = 0;
  if (!take_number(at, 3, most_hours, &hours)) return false;
  if (**at == ':') {
    ++*at;
    if (!take_number(at, 2, 59, &minutes)) return false;
    if (**at == ':') {
      ++*at;
      if (!take_number(at, 2, 59, &rest)) return false;
    }
  }
  const int32_t total = hours * 3600 + minutes * 60 + rest;
  *seconds = negative ? -total : total;
  return true;
}

bool take_change(const char** at, Change* change) {
  *change = Change{};
  change->time_s = 2 * 3600;
  if (**at == 'M') {
    ++*at;
    change->kind = 'M';
    if (!take_number(at, 2, 12, &change->month) || change->month < 1 || *(*at)++ != '.' ||
        !take_number(at, 1, 5, &change->week) || change->week < 1 || *(*at)++ != '.' ||
        !take_number(at, 1, 6, &change->weekday)) {
      return false;
    }
  } else if (**at == 'J') {
    ++*at;
    change->kind = 'J';
    if (!take_number(at, 3, 365, &change->day) || change->day < 1) return false;
  } else {
    change->kind = 'D';
    if (!take_number(at, 3, 365, &change->day)) return false;
  }
  if (**at == '/') {
    ++*at;
    if (!take_time(at, 167, &change->time_s)) return false;
  }
  return true;
}

// POSIX writes offsets west of Greenwich; they are kept east of it.
bool take_offset(const char** at, int32_t* east_s) {
  int32_t west_s = 0;
  if (!take_time(at, 24, &west_s)) return false;
  *east_s = -west_s;
  return true;
}

bool parse_rule(const char* text, Rule* rule) {
  const char* at = text;
  *rule = Rule{};
  if (!take_name(&at) || !take_offset(&at, &rule->standard_s)) return false;
  if (*at == '\0') return true;
  if (!take_name(&at)) return false;
  rule->has_summer = true;
  rule->summer_s = rule->standard_s + 3600;
  if (*at != ',' && *at != '\0' && !take_offset(&at, &rule->summer_s)) return false;
  if (*at == '\0') {
    rule->start = Change{'M', 0, 3, 2, 0, 2 * 3600};
    rule->end = Change{'M', 0, 11, 1, 0, 2 * 3600};
    return true;
  }
  return *at++ == ',' && take_change(&at, &rule->start) && *at++ == ',' &&
         take_change(&at, &rule->end) && *at == '\0';
}

bool is_leap_year(int64_t year) {
  return days_from_civil(year, 3, 1) - days_from_civil(year, 2, 28) == 2;
}

// The day (since 1970) on which `change` falls in `year`.
int64_t change_day(const Change& change, int64_t year) {
  const int64_t first_of_year = days_from_civil(year, 1, 1);
  if (change.kind == 'J') {
    return first_of_year + change.day - 1 + (is_leap_year(year) && change.day >= 60);
  }
  if (change.kind == 'D') return first_of_year + change.day;
  const int64_t first = days_from_civil(year, change.month, 1);
  const int64_t next_month = change.month == 12 ? days_from_civil(year + 1, 1, 1)
                                                : days_from_civil(year, change.month + 1, 1);
  // 1970-01-01 was a Thursday.
  const int64_t first_weekday = first + 4 - floor_divide(first + 4, 7) * 7;
  int64_t day = first + (change.weekday - first_weekday + 7) % 7 + (change.week - 1) * 7;
  while (day >= next_month) day -= 7;
  return day;
}

struct Moment {
  int64_t at_s;
  int32_t offset_after_s;
};

bool rule_span(const Rule& rule, int64_t utc_s, ZoneSpan* span) {
  if (!rule.has_summer) {
    *span = ZoneSpan{rule.standard_s, INT64_MIN, INT64_MAX};
    return true;
  }
  // The changes of the year around the instant and of the years on either side, in order; the
  // start of summer time at the same instant as an end goes after it, so that a zone in summer
  // time the whole year (an end on 31 December at 25:00, a start on 1 January at 0:00) stays in it.
  const int64_t year = civil_from_days(floor_divide(utc_s, 86400)).year;
  Moment moments[6];
  int count = 0;
  for (int64_t y = year - 1; y <= year + 1; ++y) {
    const Moment end = {change_day(rule.end, y) * 86400 + rule.end.time_s - rule.summer_s,
                        rule.standard_s};
    const Moment start = {change_day(rule.start, y) * 86400 + rule.start.time_s - rule.standard_s,
                          rule.summer_s};
    for (const Moment& moment : {end, start}) {
      int place = count++;
      for (; place > 0 && moments[place - 1].at_s > moment.at_s; --place) {
        moments[place] = moments[place - 1];
      }
      moments[place] = moment;
    }
  }
  *span = ZoneSpan{moments[0].offset_after_s == rule.summer_s ? rule.standard_s : rule.summer_s,
                   INT64_MIN, INT64_MAX};
  for (const Moment& moment : moments) {
    if (moment.at_s <= utc_s) {
      span->offset_s = moment.offset_after_s;
      span->from_s = moment.at_s;
    } else if (span->until_s == INT64_MAX) {
      span->until_s = moment.at_s;
    }
  }
  return true;
}

// ---- A zone file: a header, the changes' instants, their types' indexes, the types (offset,
// summer time, name), the names, leap seconds and two flags a type; from version 2 on the same
// again with 64-bit instants, and the rule for after the last change between two newlines.

constexpr size_t kHeaderSize = 44;
constexpr size_t kTypeSize = 6;
constexpr size_t kMostRuleLength = 127;

struct Counts {
  uint32_t ut_flags;
  uint32_t standard_flags;
  uint32_t leaps;
  uint32_t changes;
  uint32_t types;
  uint32_t name_bytes;
};

uint32_t big_endian_32(const unsigned char* bytes) {
  return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

bool read_exactly(const ZoneFile& file, uint64_t offset, void* out, size_t size) {
  return file.read_at(file.context, offset, out, size) == size;
}

// The header at `offset`: its version ('\0', '2', '3', ...) and counts.
bool read_header(const ZoneFile& file, uint64_t offset, char* version, Counts* counts) {
  unsigned char header[kHeaderSize];
  if (!read_exactly(file, offset, header, sizeof header)) return false;
  if (header[0] != 'T' || header[1] != 'Z' || header[2] != 'i' || header[3] != 'f') return false;
  *version = char(header[4]);
  uint32_t* fields[] = {&counts->ut_flags, &counts->standard_flags, &counts->leaps,
                        &counts->changes,  &counts->types,          &counts->name_bytes};
  for (int i = 0; i < 6; ++i) *fields[i] = big_endian_32(header + 20 + 4 * i);
  // A type is chosen by one byte; its flags, when there, are one a type.
  return counts->types >= 1 && counts->types <= 256 &&
         (counts->ut_flags == 0 || counts->ut_flags == counts->types) &&
         (counts->standard_flags == 0 || counts->standard_flags == counts->types);
}

// The bytes of the data after a header, for instants of `time_size` bytes.
uint64_t data_size(const Counts& counts, uint64_t time_size) {
  return counts.changes * (time_size + 1) + uint64_t(counts.types) * kTypeSize + counts.name_bytes +
         counts.leaps * (time_size + 4) + counts.standard_flags + counts.ut_flags;
}

struct Layout {
  Counts counts;
  uint64_t time_size;
  uint64_t instants;  // where the changes' instants start
  uint64_t end;       // of the data, where a rule may follow
  bool may_have_rule;
};

bool read_layout(const ZoneFile& file, Layout* layout) {
  char version = '\0';
  if (!read_header(file, 0, &version, &layout->counts)) return false;
  layout->time_size = 4;
  layout->instants = kHeaderSize;
  layout->may_have_rule = version >= '2';
  if (layout->may_have_rule) {
    const uint64_t second = kHeaderSize + data_size(layout->counts, 4);
    if (!read_header(file, second, &version, &layout->counts)) return false;
    layout->time_size = 8;
    layout->instants = second + kHeaderSize;
  }
  layout->end = layout->instants + data_size(layout->counts, layout->time_size);
  return true;
}

bool read_instant(const ZoneFile& file, const Layout& layout, uint32_t index, int64_t* instant) {
  unsigned char bytes[8];
  if (!read_exactly(file, layout.instants + index * layout.time_size, bytes, layout.time_size)) {
    return false;
  }
  if (layout.time_size == 4) {
    *instant = int32_t(big_endian_32(bytes));
  } else {
    *instant = int64_t(uint64_t(big_endian_32(bytes)) << 32 | big_endian_32(bytes + 4));
  }
  return true;
}

// The offset of the type that the change `index` leads to, or type 0's for -1.
bool read_offset_after(const ZoneFile& file, const Layout& layout, int64_t index,
                       int32_t* offset_s) {
  unsigned char type = 0;
  const uint64_t indexes = layout.instants + layout.counts.changes * layout.time_size;
  if (index >= 0 &&
      (!read_exactly(file, indexes + uint64_t(index), &type, 1) || type >= layout.counts.types)) {
    return false;
  }
  unsigned char bytes[kTypeSize];
  const uint64_t types = indexes + layout.counts.changes;
  if (!read_exactly(file, types + type * kTypeSize, bytes, sizeof bytes)) return false;
  *offset_s = int32_t(big_endian_32(bytes));
  return true;
}

// The rule after the data, when there is one and it is a rule: "\nRULE\n".
bool read_rule(const ZoneFile& file, const Layout& layout, Rule* rule) {
  if (!layout.may_have_rule) return false;
  char text[kMostRuleLength + 3];
  const size_t got = file.read_at(file.context, layout.end, text, sizeof text - 1);
  if (got < 2 || text[0] != '\n') return false;
  size_t length = 1;
  while (length < got && text[length] != '\n') ++length;
  if (length == got || length == 1) return false;
  text[length] = '\0';
  return parse_rule(text + 1, rule);
}

}  // namespace

bool rule_zone_span(const char* rule_text, int64_t utc_s, ZoneSpan* span) {
  Rule rule;
  return parse_rule(rule_text, &rule) && rule_span(rule, utc_s, span);
}

bool file_zone_span(const ZoneFile& file, int64_t utc_s, ZoneSpan* span) {
  Layout layout;
  if (!read_layout(file, &layout)) return false;
  // How many changes are at or before the instant.
  uint32_t low = 0;
  uint32_t high = layout.counts.changes;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    int64_t instant = 0;
    if (!read_instant(file, layout, middle, &instant)) return false;
    if (instant <= utc_s) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  *span = kUtcAlways;
  if (low > 0 && !read_instant(file, layout, low - 1, &span->from_s)) return false;
  if (low < layout.counts.changes) {
    if (!read_instant(file, layout, low, &span->until_s)) return false;
    return read_offset_after(file, layout, int64_t(low) - 1, &span->offset_s);
  }
  // After the last change the rule holds, bounded by that change; without one, the last type.
  Rule rule;
  ZoneSpan ruled;
  if (read_rule(file, layout, &rule) && rule_span(rule, utc_s, &ruled)) {
    span->offset_s = ruled.offset_s;
    if (ruled.from_s > span->from_s) span->from_s = ruled.from_s;
    span->until_s = ruled.until_s;
    return true;
  }
  return read_offset_after(file, layout, int64_t(low) - 1, &span->offset_s);
}

bool time_zone_file(const char* tz, const char* zone_folder, char* out, size_t size) {
  const char* name = tz[0] == ':' ? tz + 1 : tz;
  if (name[0] == '\0') return false;
  size_t length = 0;
  if (name[0] != '/') {
    length = append_text(out, size, length, zone_folder ? zone_folder : kZoneFolder);
    length = append_text(out, size, length, "/");
  }
  return append_text(out, size, length, name) < size;
}
