// How a port number names a port: the device path that every message shows ("\\.\COM5"), which
// is also the port's name on Windows, and the device file behind it on Linux.
#pragma once

#include <cstddef>
#include <cstdint>

// "\\.\COM<n>" in plain decimal; `out` holds at least kDevicePathSize bytes.
constexpr size_t kDevicePathSize = 19;
void format_device_path(int32_t port_number, char* out);

// The device file of COM n on Linux: the entry com<n> of `ports_folder` when one is named (links
// to USB adapters or test terminals), otherwise the n-th on-board port, /dev/ttyS<n-1>. False
// for a number no port has, or a name longer than `size` allows.
bool port_device_file(int32_t port_number, const char* ports_folder, char* out, size_t size);
