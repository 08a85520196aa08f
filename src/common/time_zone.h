// The local time's offset from UTC, as TZ names it: a file of the zone database (the "TZif"
// format), or a rule written out in TZ itself ("JST-9", "CET-1CEST,M3.5.0,M10.5.0/3"), which is
// also how such a file gives the times after its last listed change. It is read here rather than
// by the C library, whose time zone code and its reading of the file through stdio would bring
// over 100 KiB of its pages into every run.
//
// An answer is a span: the offset and the instants between which it holds, so that the zone is
// looked at again only when the clock leaves the span (at a change of summer time).
#pragma once

#include <cstddef>
#include <cstdint>

// The zone database's folder where TZDIR names none.
constexpr const char* kZoneFolder = "/usr/share/zoneinfo";

// The system's zone when TZ is not set.
constexpr const char* kSystemZoneFile = "/etc/localtime";

// `offset_s` (east of Greenwich positive) holds from `from_s` until before `until_s`, both UTC
// seconds since 1970.
struct ZoneSpan {
  int32_t offset_s;
  int64_t from_s;
  int64_t until_s;
};

constexpr ZoneSpan kUtcAlways = {0, INT64_MIN, INT64_MAX};

// The span of the rule `rule` (NUL-terminated) that holds at `utc_s`; false when `rule` is no
// rule: names of three letters or more (or any three characters in angle brackets, "<+09>"),
// offsets of at most 24 hours, dates and times as POSIX has them (Jn, n, Mm.w.d), times of the
// change from -167 to 167 hours as zone files write them. Summer time without dates changes on
// the second Sunday of March and the first of November, as the zone database's default does.
bool rule_zone_span(const char* rule, int64_t utc_s, ZoneSpan* span);

// A zone file's bytes, read where asked: `read_at` returns how many it read, fewer only at the
// file's end.
struct ZoneFile {
  void* context;
  size_t (*read_at)(void* context, uint64_t offset, void* out, size_t size);
};

// The span of the zone file that holds at `utc_s`; false when the file is no zone file (no
// "TZif", or counts and indexes that do not fit together). Before its first change the file's
// first type holds; after its last, its rule, or else the last change's type. Leap seconds of
// the "right/" zones are not applied: they move a change by less than a minute.
bool file_zone_span(const ZoneFile& file, int64_t utc_s, ZoneSpan* span);

// The zone database's file that `tz` names: a path from '/' as it stands, anything else under
// `zone_folder` (TZDIR's, or kZoneFolder when null); a leading ':' is no part of the name. False
// for an empty name, or one longer than `size`.
bool time_zone_file(const char* tz, const char* zone_folder, char* out, size_t size);
