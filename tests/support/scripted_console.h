// A console queue for the key logic whose records and mode the test sets, and whose operations
// can be made to fail; shared by the tests of the key logic and of the terminal decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "keys/key_codes.h"

constexpr uint32_t kUserMode = 0x1F7;  // whatever the user's console had

struct ScriptedConsole {
  std::deque<KeyRecord> queue;
  uint32_t mode = kUserMode;
  bool fail_count = false;
  bool fail_peek = false;
  bool fail_get_mode = false;
  bool fail_set_zero = false;   // refuses to set mode 0
  bool fail_set_other = false;  // refuses to set any other mode (the restore)
  bool fail_remove = false;
  size_t look_limit = SIZE_MAX;  // the most records one look copies
  int calls = 0;                 // operations called, of any kind
  bool waited = false;           // remove_oldest found the queue empty
  bool removed_in_other_mode = false;
  std::vector<uint32_t> modes_set;  // every mode asked for, refused or not
};

// The console's operations as the key logic takes them.
ConsoleQueue queue_of(ScriptedConsole* console);

// The logger's use: each turn one key_pending, and one read_key when it gives 1. Returns the
// codes delivered until key_pending gives 0 (or a generous number of turns has passed).
std::vector<int> run_turns(ScriptedConsole* console, KeyState* state);
