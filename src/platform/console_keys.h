// Keys from the console itself, never from standard input: the console's input queue through
// the operations over which the key logic answers key_pending and read_key (count the queue,
// look at it, take its oldest record, get and set the input mode).
#pragma once

#include "keys/key_codes.h"

struct ConsoleKeys {
  ConsoleQueue queue;
  // Puts the user's own console settings back; safe on every way out, more than once.
  void (*restore)(void* context);
};

// Opens the console's keyboard at start-up. A process without a console reports no keys.
ConsoleKeys open_console_keys();
