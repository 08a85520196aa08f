#include "logger/port_selection.h"

#include "logger/decimal_prefix.h"

int32_t port_number_from_arguments(int argc, char** argv) {
  if (argc < 2) return kDefaultPortNumber;
  int32_t number = 0;
  scan_decimal_prefix(argv[1], &number);
  return number;
}

PortName port_name_from_arguments(int argc, char** argv, bool device_files) {
  if (device_files && argc >= 2 && argv[1][0] == '/') return PortName{0, argv[1]};
  return PortName{port_number_from_arguments(argc, argv), nullptr};
}

bool port_argument_is_a_number(int argc, char** argv) {
  int32_t number = 0;
  return argc < 2 || scan_decimal_prefix(argv[1], &number);
}
