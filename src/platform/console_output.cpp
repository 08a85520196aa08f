#include "console_output.h"

#include <cstring>

#include "text_mode.h"

namespace {

constexpr size_t kHeldOutputSize = 512;
char held_output[kHeldOutputSize];
size_t held = 0;

enum class Target { kUnknown, kTerminal, kFileOrPipe };
Target target = Target::kUnknown;

bool writes_through() {
  if (target == Target::kUnknown) {
    target = standard_output_is_terminal() ? Target::kTerminal : Target::kFileOrPipe;
  }
  return target == Target::kTerminal;
}

void hold(const char* bytes, size_t length) {
  while (length > 0) {
    const size_t room = kHeldOutputSize - held;
    const size_t part = length < room ? length : room;
    std::memcpy(held_output + held, bytes, part);
    held += part;
    bytes += part;
    length -= part;
    if (held == kHeldOutputSize) console_flush();
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
  if (held == 0) return;
  const size_t length = held;
  held = 0;
  standard_output_write_all(held_output, length, patience_ms);
}
