// The platform half of console key input: the console's queue of key records through the four
// console operations, over which the shared key logic answers key_pending and read_key.
#pragma once

#include "keys/key_codes.h"

ConsoleQueue* console_queue();
