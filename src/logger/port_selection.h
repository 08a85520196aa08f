// Which port the logger opens and the device path that names it in every message.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t kDefaultPortNumber = 3;

// The port number from the first argument, the default with none; an argument that does not
// start with a number gives 0, a port that never exists.
int32_t port_number_from_arguments(int argc, char** argv);

// "\\.\COM<n>" in plain decimal; `out` holds at least kDevicePathSize bytes.
constexpr size_t kDevicePathSize = 19;
void format_device_path(int32_t port_number, char* out);

// The device file of COM n on Linux: the entry com<n> of `ports_folder` when one is named (links
// to USB adapters or test terminals), otherwise the n-th on-board port, /dev/ttyS<n-1>. False
// for a number no port has, or a name longer than `size` allows.
bool port_device_file(int32_t port_number, const char* ports_folder, char* out, size_t size);
