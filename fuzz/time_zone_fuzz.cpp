// libFuzzer target: the zone reader fed any zone file and any rule, at any instant a clock gives.
// Whatever the bytes, an answer is a span that holds the instant, and a rule's offset is within
// a day of UTC, a second more for summer time's hour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/time_zone.h"
#include "zone_file_bytes.h"

namespace {

void check_span(const ZoneSpan& span, int64_t utc_s) {
  if (span.from_s > utc_s || span.until_s <= utc_s) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  // An instant within 2^39 s of 1970, either way.
  uint64_t raw = 0;
  std::memcpy(&raw, data, 5);
  const int64_t utc_s = int64_t(raw) - (int64_t(1) << 39);
  const std::string bytes(reinterpret_cast<const char*>(data + 5), size - 5);
  ZoneSpan span;
  if (file_zone_span(zone_file_of(&bytes), utc_s, &span)) check_span(span, utc_s);
  const std::string rule(bytes.c_str());
  if (rule_zone_span(rule.c_str(), utc_s, &span)) {
    check_span(span, utc_s);
    if (span.offset_s > 25 * 3600 || span.offset_s < -25 * 3600) std::abort();
  }
  return 0;
}
