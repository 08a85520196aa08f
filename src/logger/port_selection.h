// Which port the logger opens: the number in the first argument, or the device file it names.
#pragma once

#include <cstdint>

#include "common/port_names.h"

constexpr int32_t kDefaultPortNumber = 3;

// The port number from the first argument, the default with none; an argument that does not
// start with a number gives 0, a port that never exists.
int32_t port_number_from_arguments(int argc, char** argv);

// The port the first argument names. Where the platform opens device files (`device_files`), a
// first argument that begins with '/' is the device file itself ("/dev/ttyUSB0"); anything else,
// and anywhere else, is COM n by the number at its start.
PortName port_name_from_arguments(int argc, char** argv, bool device_files);

// Whether the port was given as a number, or not given at all: "--help", "abc" and "COM5" are
// not numbers (and give port 0).
bool port_argument_is_a_number(int argc, char** argv);
