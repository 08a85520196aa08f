#include "logger/console_text.h"

#include <cstring>

#include "logger/text_mode.h"

namespace {

void hold(ConsoleText* console, const char* bytes, size_t length) {
  while (length > 0) {
    const size_t room = kHeldOutputSize - console->held_count;
    const size_t part = length < room ? length : room;
    std::memcpy(console->held + console->held_count, bytes, part);
    console->held_count += part;
    bytes += part;
    length -= part;
    if (console->held_count == kHeldOutputSize) console_flush(console);
  }
}

}  // namespace

void start_console_text(ConsoleText* console, const ConsoleOutputService& output) {
  console->output = output;
  console->to_terminal = output.is_terminal(output.context);
  console->held_count = 0;
}

void console_write(ConsoleText* console, const char* bytes, size_t length) {
  // Expanded in slices, so that a long echo needs only a small buffer.
  constexpr size_t kSlice = 256;
  char expanded[2 * kSlice];
  for (size_t done = 0; done < length;) {
    const size_t slice = length - done < kSlice ? length - done : kSlice;
    const size_t count = expand_line_ends(bytes + done, slice, expanded);
    done += slice;
    if (console->to_terminal) {
      // A closed pipe or a full disk costs only the console text; logging goes on.
      write_fully(console->output.write, console->output.context, expanded, count);
    } else {
      hold(console, expanded, count);
    }
  }
}

void console_print(ConsoleText* console, const char* text) {
  console_write(console, text, std::strlen(text));
}

bool console_print_wide(ConsoleText* console, const char16_t* text, size_t length) {
  const ConsoleOutputService& output = console->output;
  if (output.write_wide == nullptr) return false;
  char16_t expanded[256];
  size_t count = 0;
  bool written = false;
  for (size_t i = 0; i <= length; ++i) {
    // A full slice, or the end: what is expanded goes out.
    if (i == length || count + 2 > sizeof expanded / sizeof expanded[0]) {
      for (size_t done = 0; done < count;) {
        const long taken = output.write_wide(output.context, expanded + done, count - done);
        if (taken <= 0) return written;
        done += size_t(taken);
        written = true;
      }
      count = 0;
      if (i == length) break;
    }
    if (text[i] == u'\n') expanded[count++] = u'\r';
    expanded[count++] = text[i];
  }
  return true;
}

void console_flush(ConsoleText* console) {
  if (console->held_count == 0) return;
  const size_t length = console->held_count;
  console->held_count = 0;
  write_fully(console->output.write, console->output.context, console->held, length);
}
