#include "scripted_console.h"

#include <algorithm>

namespace {

bool scripted_count(void* c, uint32_t* queued) {
  auto* console = static_cast<ScriptedConsole*>(c);
  ++console->calls;
  if (console->fail_count) return false;
  *queued = static_cast<uint32_t>(console->queue.size());
  return true;
}

bool scripted_peek(void* c, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  auto* console = static_cast<ScriptedConsole*>(c);
  ++console->calls;
  if (console->fail_peek) return false;
  const size_t looked = std::min({console->queue.size(), console->look_limit, size_t(capacity)});
  std::copy(console->queue.begin(), console->queue.begin() + long(looked), records);
  *copied = uint32_t(looked);
  return true;
}

bool scripted_remove_oldest(void* c, KeyRecord* record) {
  auto* console = static_cast<ScriptedConsole*>(c);
  ++console->calls;
  if (console->mode != 0) console->removed_in_other_mode = true;
  if (console->fail_remove) return false;
  if (console->queue.empty()) {
    console->waited = true;  // a real console would wait here for ever
    return false;
  }
  *record = console->queue.front();
  console->queue.pop_front();
  return true;
}

bool scripted_get_mode(void* c, uint32_t* mode) {
  auto* console = static_cast<ScriptedConsole*>(c);
  ++console->calls;
  if (console->fail_get_mode) return false;
  *mode = console->mode;
  return true;
}

bool scripted_set_mode(void* c, uint32_t mode) {
  auto* console = static_cast<ScriptedConsole*>(c);
  ++console->calls;
  console->modes_set.push_back(mode);
  if (mode == 0 ? console->fail_set_zero : console->fail_set_other) return false;
  console->mode = mode;
  return true;
}

}  // namespace

ConsoleQueue queue_of(ScriptedConsole* console) {
  return ConsoleQueue{console,           scripted_count,   scripted_peek, scripted_remove_oldest,
                      scripted_get_mode, scripted_set_mode};
}

std::vector<int> run_turns(ScriptedConsole* console, KeyState* state) {
  ConsoleQueue queue = queue_of(console);
  std::vector<int> codes;
  for (int turn = 0; turn < 20 && key_pending_from(&queue, state) == 1; ++turn) {
    codes.push_back(read_key_from(&queue, state));
  }
  return codes;
}
