#include "common/time_zone.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool time_zone_is_a_rule(const char* tz) {
  const char* at = tz;
  if (*at == '<') {
    const char* end = std::strchr(at, '>');
    if (end == nullptr || end == at + 1) return false;
    at = end + 1;
  } else {
    while (is_letter(*at)) ++at;
    if (at - tz < 3) return false;
  }
  if (*at == '+' || *at == '-') ++at;
  return *at >= '0' && *at <= '9';
}

bool time_zone_file(const char* tz, const char* zone_folder, char* out, size_t size) {
  const char* name = tz[0] == ':' ? tz + 1 : tz;
  if (name[0] == '\0') return false;
  const int length = name[0] == '/' ? std::snprintf(out, size, "%s", name)
                                    : std::snprintf(out, size, "%s/%s",
                                                    zone_folder ? zone_folder : kZoneFolder, name);
  return length > 0 && size_t(length) < size;
}
