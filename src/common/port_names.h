// How the operator names a port, and what the names become: the device path that every message
// shows for COM n ("\\.\COM5"), which is also the port's name on Windows, and the device file
// behind a port on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// COM n by its number, or (on Linux) the device file itself, as the operator gave it.
struct PortName {
  int32_t number;           // COM n, when there is no device file
  const char* device_file;  // "/dev/ttyUSB0", or null
};

// "\\.\COM<n>" in plain decimal; `out` holds at least kDevicePathSize bytes.
constexpr size_t kDevicePathSize = 19;
void format_device_path(int32_t port_number, char* out);

// The device file of a port on Linux: a device file named by the operator is that file; COM n is
// the entry com<n> of `ports_folder` when one is named (links to USB adapters or test terminals),
// otherwise the n-th on-board port, /dev/ttyS<n-1>. False for a number no port has, or a name
// longer than `size` allows.
bool port_device_file(PortName port, const char* ports_folder, char* out, size_t size);
