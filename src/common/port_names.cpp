#include "common/port_names.h"

#include <cstring>

#include "common/text.h"

void format_device_path(int32_t port_number, char* out) {
  const size_t length = append_text(out, kDevicePathSize, 0, "\\\\.\\COM");
  append_number(out, kDevicePathSize, length, port_number);
}

bool port_device_file(PortName port, const char* ports_folder, char* out, size_t size) {
  if (port.device_file != nullptr) {
    const size_t length = std::strlen(port.device_file);
    if (length >= size) return false;
    std::memcpy(out, port.device_file, length + 1);
    return true;
  }
  if (port.number <= 0) return false;
  size_t length = 0;
  if (ports_folder != nullptr) {
    length = append_text(out, size, length, ports_folder);
    length = append_text(out, size, length, "/com");
    length = append_number(out, size, length, port.number);
  } else {
    length = append_text(out, size, length, "/dev/ttyS");
    length = append_number(out, size, length, port.number - 1);
  }
  return length < size;
}
