// Console key input on Linux: the controlling terminal's bytes go through the terminal decoder
// into a queue of key records, which the key logic reads as it would a PC console's input queue.
// Who has the terminal, and its modes, is the terminal's own business (terminal_posix).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

#include "keys/terminal_decoder.h"
#include "platform/console_keys.h"
#include "platform/process_posix.h"
#include "platform/terminal_posix.h"

namespace {

// The keys decoded and not yet taken, oldest first, in a ring. The terminal is read only while a
// whole read's keys fit; the rest waits in the terminal.
constexpr size_t kQueuedKeysMax = 1024;
constexpr size_t kTerminalReadSize = 256;

struct TerminalKeys {
  TerminalDecoder decoder;
  // The terminal sends SIGIO when input arrives, so that it is read only then; where it cannot,
  // it is read on every turn.
  bool input_signalled;
  KeyRecord queue[kQueuedKeysMax];
  size_t first;
  size_t count;
};
TerminalKeys g_keys;

void queue_put(void* context, const KeyRecord& record) {
  TerminalKeys* keys = static_cast<TerminalKeys*>(context);
  if (keys->count == kQueuedKeysMax) return;  // not reached: see kTerminalReadSize
  keys->queue[(keys->first + keys->count) % kQueuedKeysMax] = record;
  ++keys->count;
}

bool queue_take(TerminalKeys* keys, KeyRecord* record) {
  if (keys->count == 0) return false;
  *record = keys->queue[keys->first];
  keys->first = (keys->first + 1) % kQueuedKeysMax;
  --keys->count;
  return true;
}

// Reads whatever the terminal has without waiting and queues the keys it makes, including those
// whose wait for more bytes has run out. With the input signal, the terminal is read only once it
// has signalled; the signal is taken before the read, so that input arriving during it signals
// again.
void read_terminal_keys(TerminalKeys* keys) {
  KeySink sink = {keys, queue_put};
  if (take_input_notice() || !keys->input_signalled) {
    unsigned char bytes[kTerminalReadSize];
    while (terminal_is_ours()) {
      // A read makes at most a key per byte, plus the bytes held before it.
      if (kQueuedKeysMax - keys->count < sizeof bytes + kTerminalHeldMax) {
        expect_terminal_input();  // the rest is read once keys have been taken
        break;
      }
      const ssize_t got = read(terminal_fd(), bytes, sizeof bytes);
      if (got > 0) {
        terminal_decoder_feed(&keys->decoder, bytes, size_t(got), monotonic_ms(), &sink);
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // With VMIN 1 and O_NONBLOCK "nothing yet" is EAGAIN. 0 or EIO: the terminal has hung up,
      // or (SIGTTIN being ignored) another process group has it now.
      if (got == 0 || errno == EIO) ask_who_has_terminal();
      break;
    }
    if (terminal_fd() < 0) return;
  }
  // Held bytes whose wait has run out make a key; the clock is asked only while bytes are held.
  int64_t deadline = 0;
  if (terminal_decoder_waiting(keys->decoder, &deadline)) {
    terminal_decoder_expire(&keys->decoder, monotonic_ms(), &sink);
  }
}

bool count_keys(void* context, uint32_t* queued) {
  TerminalKeys* keys = static_cast<TerminalKeys*>(context);
  follow_terminal();
  read_terminal_keys(keys);
  if (terminal_fd() < 0) return false;
  // Keys typed for the logger wait while another process group has the terminal.
  *queued = terminal_is_ours() ? uint32_t(keys->count) : 0;
  return true;
}

bool peek_keys(void* context, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  const TerminalKeys* keys = static_cast<const TerminalKeys*>(context);
  if (terminal_fd() < 0) return false;
  const size_t count = keys->count < capacity ? keys->count : capacity;
  for (size_t i = 0; i < count; ++i) records[i] = keys->queue[(keys->first + i) % kQueuedKeysMax];
  *copied = uint32_t(count);
  return true;
}

bool remove_oldest_key(void* context, KeyRecord* record) {
  TerminalKeys* keys = static_cast<TerminalKeys*>(context);
  for (;;) {
    expect_terminal_input();  // this waits on the terminal itself
    read_terminal_keys(keys);
    if (!terminal_is_ours()) return false;
    if (queue_take(keys, record)) return true;
    // Wait for a byte, or until held bytes are due to be forced out.
    int timeout = -1;
    int64_t deadline = 0;
    if (terminal_decoder_waiting(keys->decoder, &deadline)) {
      const int64_t left = deadline - monotonic_ms();
      timeout = left < 0 ? 0 : int(left) + 1;
    }
    pollfd fd = {terminal_fd(), POLLIN, 0};
    // A signal ends the wait as a failure, so that the logger's loop sees it at once.
    if (poll(&fd, 1, timeout) < 0) return false;
  }
}

bool get_mode(void*, uint32_t* mode) {
  return get_terminal_mode(mode);
}

bool set_mode(void*, uint32_t mode) {
  return set_terminal_mode(mode);
}

void restore(void*) {
  give_terminal_back();
}

// What a rest waits for from the terminal: its input while it is the logger's, the time by which
// held bytes of a sequence are due, and while it is not, the next look at who has it.
int what_to_watch(int64_t* deadline_ms) {
  *deadline_ms = terminal_next_look_ms();
  if (!terminal_is_ours()) return -1;
  int64_t held_until = 0;
  if (terminal_decoder_waiting(g_keys.decoder, &held_until)) *deadline_ms = held_until;
  return terminal_fd();
}

// Asks the terminal for SIGIO when input arrives.
bool signal_terminal_input(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETOWN, getpid()) == 0 &&
         fcntl(fd, F_SETFL, flags | O_ASYNC) == 0;
}

}  // namespace

ConsoleKeys open_console_keys() {
  TerminalKeys* keys = &g_keys;
  if (open_terminal()) {
    keys->decoder.family = terminal_family_of(std::getenv("TERM"));
    keys->input_signalled = signal_terminal_input(terminal_fd());
    expect_terminal_input();
    watch_terminal(what_to_watch);
  }
  return ConsoleKeys{{keys, count_keys, peek_keys, remove_oldest_key, get_mode, set_mode}, restore};
}
