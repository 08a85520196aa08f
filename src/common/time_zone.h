// What TZ asks of the C library, which takes a zone from a file of the zone database, or from a
// rule written out in TZ itself ("JST-9", "EST5EDT,M3.2.0,M11.1.0"), and quietly keeps UTC for
// anything else: so that a zone the system does not have can be told from one it has.
#pragma once

#include <cstddef>

// The zone database's folder where TZDIR names none.
constexpr const char* kZoneFolder = "/usr/share/zoneinfo";

// Whether `tz` is a rule written out: a zone's name of three or more letters (or any name in
// angle brackets, "<+09>") followed by its offset from UTC. A leading ':' asks for a file only.
bool time_zone_is_a_rule(const char* tz);

// The zone database's file that `tz` names: a path from '/' as it stands, anything else under
// `zone_folder` (TZDIR's, or kZoneFolder when null); a leading ':' is no part of the name. False
// for an empty name, or one longer than `size`.
bool time_zone_file(const char* tz, const char* zone_folder, char* out, size_t size);
