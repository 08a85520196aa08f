// A zone file's bytes held in a string, read as the zone reader reads a file, for the tests and
// the fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/time_zone.h"

inline size_t read_string_at(void* context, uint64_t offset, void* out, size_t size) {
  const std::string& bytes = *static_cast<const std::string*>(context);
  if (offset >= bytes.size()) return 0;
  const size_t got = size_t(std::min<uint64_t>(size, bytes.size() - offset));
  std::memcpy(out, bytes.data() + offset, got);
  return got;
}

inline ZoneFile zone_file_of(const std::string* bytes) {
  return ZoneFile{const_cast<std::string*>(bytes), read_string_at};
}
