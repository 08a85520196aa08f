// Standard output on Linux. Once the process has been asked to end, a reader that takes no console
// output (a pipe nobody reads, a terminal stopped with Ctrl+S) is given a second in all, from the
// first write after the request; what it has not taken by then is dropped.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>

#include "platform/console_output.h"
#include "platform/process_posix.h"

namespace {

constexpr int64_t kPatienceMs = 1000;

struct Output {
  int64_t deadline_ms;  // once the process is to end; -1 before
};
Output g_output = {-1};

// Waits until standard output takes more, but not past `deadline_ms`.
bool room_before(int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - monotonic_ms();
    pollfd output = {STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&output, 1, left > 0 ? int(left) : 0);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

bool is_terminal(void*) {
  return isatty(STDOUT_FILENO) == 1;
}

long write_output(void* context, const char* bytes, size_t length) {
  Output* output = static_cast<Output*>(context);
  for (;;) {
    if (end_signalled()) {
      if (output->deadline_ms < 0) output->deadline_ms = monotonic_ms() + kPatienceMs;
      if (!room_before(output->deadline_ms)) return -1;
    }
    const ssize_t written = write(STDOUT_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    return long(written);
  }
}

long write_error(void*, const char* bytes, size_t length) {
  for (;;) {
    const ssize_t written = write(STDERR_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    return long(written);
  }
}

}  // namespace

ConsoleOutputService system_console_output() {
  return ConsoleOutputService{&g_output, is_terminal, write_output, write_error};
}
