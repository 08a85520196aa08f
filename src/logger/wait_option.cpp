#include "logger/wait_option.h"

#include <cstring>

bool take_wait_option(int* argc, char** argv) {
  if (*argc < 2 || std::strcmp(argv[1], "--wait") != 0) return false;
  // The null pointer after the last argument moves along.
  for (int i = 1; i < *argc; ++i) argv[i] = argv[i + 1];
  --*argc;
  return true;
}
