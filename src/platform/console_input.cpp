// key_pending and read_key on every platform: the shared key logic over the console operations
// that the platform file supplies.
#include "platform/console_input.h"

#include "keys/key_codes.h"
#include "platform/console_queue.h"

namespace {

bool count(void*, uint32_t* queued) {
  return console_count(queued);
}

bool peek(void*, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  return console_peek(records, capacity, copied);
}

bool remove_oldest(void*, KeyRecord* record) {
  return console_remove_oldest(record);
}

bool get_mode(void*, uint32_t* mode) {
  return console_get_mode(mode);
}

bool set_mode(void*, uint32_t mode) {
  return console_set_mode(mode);
}

ConsoleQueue g_console = {nullptr, count, peek, remove_oldest, get_mode, set_mode};
KeyState g_key_state;

}  // namespace

int key_pending() {
  return key_pending_from(&g_console, &g_key_state);
}

int read_key() {
  return read_key_from(&g_console, &g_key_state);
}
