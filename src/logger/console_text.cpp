#include "logger/console_text.h"

#include <cstdlib>
#include <cstring>

#include "logger/text_mode.h"

// A piece of the held text, allocated only once the reader has stalled.
struct HeldText {
  HeldText* next;
  size_t length;
  char bytes[65536 - 2 * sizeof(void*)];
};

namespace {

// Hands `bytes` to standard output for as long as it takes them now. Returns how many are done
// with: taken, or lost to an error (a closed pipe or a full disk costs only the console text).
size_t offer(ConsoleText* console, const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    const long taken = console->output.write(console->output.context, bytes + done, length - done);
    if (taken < 0) return length;
    if (taken == 0) break;
    done += size_t(taken);
  }
  return done;
}

void keep(ConsoleText* console, const char* bytes, size_t length) {
  while (length > 0) {
    HeldText* last = console->last;
    if (last == nullptr || last->length == sizeof last->bytes) {
      HeldText* chunk = static_cast<HeldText*>(std::malloc(sizeof(HeldText)));
      if (chunk == nullptr) {
        console->dropped_bytes += length;
        return;
      }
      chunk->next = nullptr;
      chunk->length = 0;
      if (last != nullptr) {
        last->next = chunk;
      } else {
        console->first = chunk;
        console->first_offset = 0;
      }
      console->last = last = chunk;
    }
    const size_t room = sizeof last->bytes - last->length;
    const size_t part = length < room ? length : room;
    std::memcpy(last->bytes + last->length, bytes, part);
    last->length += part;
    console->backlog_bytes += part;
    bytes += part;
    length -= part;
  }
}

// Offers the held chunks, oldest first, while standard output takes them.
void offer_backlog(ConsoleText* console) {
  while (console->first != nullptr) {
    HeldText* chunk = console->first;
    const size_t left = chunk->length - console->first_offset;
    const size_t done = offer(console, chunk->bytes + console->first_offset, left);
    console->first_offset += done;
    console->backlog_bytes -= done;
    if (done < left) return;
    console->first = chunk->next;
    console->first_offset = 0;
    if (console->first == nullptr) console->last = nullptr;
    std::free(chunk);
  }
  if (console->dropping) {
    console->dropping = false;
    console->news |= kConsoleNewsCaughtUp;
  }
}

// Text for standard output, in order after everything held: offered at once when nothing is
// held before it, and what is not taken is kept.
void send(ConsoleText* console, const char* bytes, size_t length) {
  if (console->first != nullptr) offer_backlog(console);
  size_t done = 0;
  if (console->first == nullptr) done = offer(console, bytes, length);
  keep(console, bytes + done, length - done);
}

void send_block(ConsoleText* console) {
  const size_t length = console->block_count;
  console->block_count = 0;
  console->block_timed = false;
  send(console, console->block, length);
}

void hold(ConsoleText* console, const char* bytes, size_t length) {
  while (length > 0) {
    const size_t room = kHeldOutputSize - console->block_count;
    const size_t part = length < room ? length : room;
    std::memcpy(console->block + console->block_count, bytes, part);
    console->block_count += part;
    bytes += part;
    length -= part;
    if (console->block_count == kHeldOutputSize) send_block(console);
  }
}

// Whether `length` more bytes of text stay within the bound; once it is reached, every write is
// dropped whole until the reader has taken everything held, so that the view has one gap of
// whole lines rather than many.
bool within_bound(ConsoleText* console, size_t length) {
  if (!console->dropping &&
      console->backlog_bytes + console->block_count + length <= console->most_held) {
    return true;
  }
  if (!console->dropping) {
    console->dropping = true;
    console->dropped_bytes = 0;
    console->news |= kConsoleNewsDropping;
  }
  console->dropped_bytes += length;
  return false;
}

}  // namespace

void start_console_text(ConsoleText* console, const ConsoleOutputService& output) {
  *console = ConsoleText{};
  console->output = output;
  console->to_terminal = output.is_terminal(output.context);
  console->most_held = kMostHeldOutput;
}

void console_write(ConsoleText* console, const char* bytes, size_t length) {
  // Expanded in slices, so that a long echo needs only a small buffer.
  constexpr size_t kSlice = 256;
  char expanded[2 * kSlice];
  size_t expanded_length = 0;
  for (size_t i = 0; i < length; ++i) expanded_length += bytes[i] == '\n' ? 2 : 1;
  if (!within_bound(console, expanded_length)) return;
  for (size_t done = 0; done < length;) {
    const size_t slice = length - done < kSlice ? length - done : kSlice;
    const size_t count = expand_line_ends(bytes + done, slice, expanded);
    done += slice;
    if (console->to_terminal) {
      send(console, expanded, count);
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

bool console_waiting(const ConsoleText* console) {
  return console->block_count > 0 || console->first != nullptr;
}

bool console_waits_for_output(const ConsoleText* console) {
  return console->first != nullptr;
}

void console_write_out_when_due(ConsoleText* console, int64_t now_ms) {
  if (console->first != nullptr) offer_backlog(console);
  if (console->block_count == 0) return;
  if (!console->block_timed) {
    console->block_timed = true;
    console->block_since_ms = now_ms;
  }
  if (now_ms - console->block_since_ms >= kConsoleWaitMs) send_block(console);
}

int64_t console_deadline(const ConsoleText* console) {
  if (console->block_count == 0) return -1;
  return console->block_timed ? console->block_since_ms + kConsoleWaitMs : 0;
}

uint64_t console_finish(ConsoleText* console, const ProcessService& clock, bool end_requested) {
  if (console->block_count > 0) send_block(console);
  if (console->first == nullptr) return 0;
  const int64_t start = clock.now_ms(clock.context);
  int64_t last_taken = start;
  while (console->first != nullptr) {
    const size_t before = console->backlog_bytes;
    offer_backlog(console);
    const int64_t now = clock.now_ms(clock.context);
    if (console->backlog_bytes < before) last_taken = now;
    if (console->first == nullptr) break;
    const int64_t deadline = end_requested ? start + kConsoleWaitMs : last_taken + kConsoleWaitMs;
    if (now >= deadline) break;
    console->output.wait_for_room(console->output.context, deadline - now);
  }
  const uint64_t left = console->backlog_bytes;
  while (console->first != nullptr) {
    HeldText* chunk = console->first;
    console->first = chunk->next;
    std::free(chunk);
  }
  console->last = nullptr;
  console->backlog_bytes = 0;
  return left;
}

bool console_dropping(const ConsoleText* console) {
  return console->dropping;
}

bool console_has_news(const ConsoleText* console) {
  return console->news != 0;
}

size_t console_bound(const ConsoleText* console) {
  return console->most_held;
}

unsigned take_console_news(ConsoleText* console) {
  const unsigned news = console->news;
  console->news = 0;
  return news;
}

uint64_t console_dropped_bytes(const ConsoleText* console) {
  return console->dropped_bytes;
}
