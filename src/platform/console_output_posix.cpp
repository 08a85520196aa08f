#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "platform/console_output.h"
#include "platform/process.h"

namespace {

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until standard output takes more, but not past `deadline_ms`.
bool room_before(int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - now_ms();
    pollfd output = {STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&output, 1, left > 0 ? int(left) : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

bool standard_output_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void standard_output_write_all(const char* bytes, size_t length, int patience_ms) {
  int64_t deadline_ms = -1;
  while (length > 0) {
    // Once the process is to end, a stalled reader must not hold it up: a write waits for room
    // only while there is patience left, and one cut short after that is not tried again.
    if (interrupt_requested()) {
      const int64_t now = now_ms();
      if (deadline_ms < 0) {
        deadline_ms = now + patience_ms;
      } else if (now >= deadline_ms) {
        return;
      }
      if (!room_before(deadline_ms)) return;
    }
    const ssize_t written = write(STDOUT_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    // A closed pipe or a full disk costs only the console text; logging goes on.
    if (written <= 0) return;
    bytes += written;
    length -= size_t(written);
  }
}
