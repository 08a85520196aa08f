// Which port the logger opens: the number in the first argument, or the device file it names;
// and what else the first argument may ask for: the help or the version.
#pragma once

#include <cstdint>

#include "common/port_names.h"

constexpr int32_t kDefaultPortNumber = 3;

// What the first argument asks for: a run on a port, or a word about comlog itself.
enum class Request { kLog, kHelp, kVersion };

// "--help" and "-h" ask for the help, "--version" for the version; anything else, or nothing,
// names the port of a run.
Request request_from_arguments(int argc, char** argv);

// The help, a line on each option, for standard output: the device files' line only where the
// platform opens them.
const char* help_text(bool device_files);

// "comlog <version>", with its line end.
const char* version_text();

// The port number from the first argument, the default with none: COM n in any case ("COM3",
// "com3") is n, as the number alone is; an argument that does not start with a number gives 0,
// a port that never exists.
int32_t port_number_from_arguments(int argc, char** argv);

// The port the first argument names. Where the platform opens device files (`device_files`), a
// first argument that begins with '/' is the device file itself ("/dev/ttyUSB0"); anything else,
// and anywhere else, is COM n by the number at its start.
PortName port_name_from_arguments(int argc, char** argv, bool device_files);

// Whether the port was given as a number, COM n included, or not given at all: "abc" and "COM"
// are not numbers (and give port 0).
bool port_argument_is_a_number(int argc, char** argv);
