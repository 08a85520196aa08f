// key_pending and read_key on every platform: the shared key logic over the console operations
// that the platform file supplies.
#include "platform/console_input.h"

#include "keys/key_codes.h"
#include "platform/console_queue.h"

namespace {

KeyState g_key_state;

}  // namespace

int key_pending() {
  return key_pending_from(console_queue(), &g_key_state);
}

int read_key() {
  return read_key_from(console_queue(), &g_key_state);
}
