#include "common/port_names.h"

#include <cstdio>
#include <cstring>

void format_device_path(int32_t port_number, char* out) {
  std::snprintf(out, kDevicePathSize, "\\\\.\\COM%d", int(port_number));
}

bool port_device_file(PortName port, const char* ports_folder, char* out, size_t size) {
  if (port.device_file != nullptr) {
    const size_t length = std::strlen(port.device_file);
    if (length >= size) return false;
    std::memcpy(out, port.device_file, length + 1);
    return true;
  }
  if (port.number <= 0) return false;
  const int length = ports_folder != nullptr
                         ? std::snprintf(out, size, "%s/com%d", ports_folder, int(port.number))
                         : std::snprintf(out, size, "/dev/ttyS%d", int(port.number) - 1);
  return length > 0 && size_t(length) < size;
}
