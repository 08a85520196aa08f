#include "logger/port_selection.h"

#include <cstring>

#include "logger/decimal_prefix.h"

namespace {

// The help's parts, one line a part of the command: an option more is a line more.
#define HELP_ABOUT                                                                           \
  "usage: comlog [OPTION] [PORT]\n"                                                          \
  "Logs a measuring device on a serial port at 115200 baud, 8N1, DTR and RTS off, sending\n" \
  "nothing. Each line is shown; its reading minus 512 goes to test.dat, and its time to\n"   \
  "test.csv, in the current folder. E, Q or X ends the run.\n"                               \
  "  PORT          the COM port: 5, COM5 or com5 is COM5; COM3 when none is given\n"
#define HELP_DEVICE_FILES "  PORT          or the port's device file, from /: /dev/ttyUSB0\n"
#define HELP_OPTIONS                     \
  "  -h, --help    prints this help\n"   \
  "  --version     prints the version\n" \
  "  --wait        rests until the port or a key has something, instead of keeping a core busy\n"

constexpr char kHelp[] = HELP_ABOUT HELP_OPTIONS;
constexpr char kHelpWithDeviceFiles[] = HELP_ABOUT HELP_DEVICE_FILES HELP_OPTIONS;

constexpr char kVersionText[] = "comlog " COMLOG_VERSION "\n";

// The number of "COM5" or "com5" starts after the name; anything else is read as it stands.
const char* number_of(const char* word) {
  const auto is = [](char c, char upper) { return c == upper || c == upper - 'A' + 'a'; };
  const bool com = is(word[0], 'C') && is(word[1], 'O') && is(word[2], 'M');
  return com && word[3] >= '0' && word[3] <= '9' ? word + 3 : word;
}

}  // namespace

Request request_from_arguments(int argc, char** argv) {
  if (argc < 2) return Request::kLog;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    return Request::kHelp;
  }
  if (std::strcmp(argv[1], "--version") == 0) return Request::kVersion;
  return Request::kLog;
}

const char* help_text(bool device_files) {
  return device_files ? kHelpWithDeviceFiles : kHelp;
}

const char* version_text() {
  return kVersionText;
}

int32_t port_number_from_arguments(int argc, char** argv) {
  if (argc < 2) return kDefaultPortNumber;
  int32_t number = 0;
  scan_decimal_prefix(number_of(argv[1]), &number);
  return number;
}

PortName port_name_from_arguments(int argc, char** argv, bool device_files) {
  if (device_files && argc >= 2 && argv[1][0] == '/') return PortName{0, argv[1]};
  return PortName{port_number_from_arguments(argc, argv), nullptr};
}

bool port_argument_is_a_number(int argc, char** argv) {
  int32_t number = 0;
  return argc < 2 || scan_decimal_prefix(number_of(argv[1]), &number);
}
