#include "logger/port_selection.h"

#include "logger/decimal_prefix.h"

int32_t port_number_from_arguments(int argc, char** argv) {
  if (argc < 2) return kDefaultPortNumber;
  int32_t number = 0;
  scan_decimal_prefix(argv[1], &number);
  return number;
}

bool port_argument_is_a_number(int argc, char** argv) {
  int32_t number = 0;
  return argc < 2 || scan_decimal_prefix(argv[1], &number);
}
