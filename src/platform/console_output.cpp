#include "platform/console_output.h"

#include <cstring>

#include "logger/text_mode.h"

namespace {

constexpr size_t kHeldOutputSize = 512;
char g_held_output[kHeldOutputSize];
size_t g_held = 0;

enum class Target { kUnknown, kTerminal, kFileOrPipe };
Target g_target = Target::kUnknown;

bool writes_through() {
  if (g_target == Target::kUnknown) {
    g_target = standard_output_is_terminal() ? Target::kTerminal : Target::kFileOrPipe;
  }
  return g_target == Target::kTerminal;
}

void hold(const char* bytes, size_t length) {
  while (length > 0) {
    const size_t room = kHeldOutputSize - g_held;
    const size_t part = length < room ? length : room;
    std::memcpy(g_held_output + g_held, bytes, part);
    g_held += part;
    bytes += part;
    length -= part;
    if (g_held == kHeldOutputSize) console_flush();
  }
}

}  // namespace

void console_write(const char* bytes, size_t length) {
  // Expanded in slices, so that a long echo needs only a small stack buffer.
  constexpr size_t kSlice = 256;
  char expanded[2 * kSlice];
  for (size_t done = 0; done < length;) {
    const size_t slice = length - done < kSlice ? length - done : kSlice;
    const size_t count = expand_line_ends(bytes + done, slice, expanded);
    done += slice;
    if (writes_through()) {
      standard_output_write_all(expanded, count, 0);
    } else {
      hold(expanded, count);
    }
  }
}

void console_print(const char* text) {
  console_write(text, std::strlen(text));
}

void console_flush(int patience_ms) {
  if (g_held == 0) return;
  const size_t length = g_held;
  g_held = 0;
  standard_output_write_all(g_held_output, length, patience_ms);
}
