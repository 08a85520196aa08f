#include "common/port_names.h"

#include <cstdio>

void format_device_path(int32_t port_number, char* out) {
  std::snprintf(out, kDevicePathSize, "\\\\.\\COM%d", int(port_number));
}

bool port_device_file(int32_t port_number, const char* ports_folder, char* out, size_t size) {
  if (port_number <= 0) return false;
  const int length = ports_folder != nullptr
                         ? std::snprintf(out, size, "%s/com%d", ports_folder, int(port_number))
                         : std::snprintf(out, size, "/dev/ttyS%d", int(port_number) - 1);
  return length > 0 && size_t(length) < size;
}
