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
