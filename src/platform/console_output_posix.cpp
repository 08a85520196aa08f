// Standard output on Linux, and the character set of the locale, asked once at the start. Once the
// process has been asked to end, a reader that takes no console output (a pipe nobody reads, a
// terminal stopped with Ctrl+S) is given a second in all, from the first write after the request;
// what it has not taken by then is dropped.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/console_output.h"
#include "platform/process_posix.h"

namespace {

constexpr int64_t kPatienceMs = 1000;

struct Output {
  int64_t deadline_ms;     // once the process is to end; -1 before
  char character_set[64];  // the locale's, asked once at the start
};
Output g_output = {-1, ""};

// The character set of the locale that LC_ALL, LC_CTYPE and LANG choose, the first of them that
// is set, as the locale's name gives it: "en_US.UTF-8" names UTF-8, "C" and "POSIX" none. The
// name says what the operator's terminal reads, also where this machine lacks the locale's data
// (a session from a UTF-8 desktop on a server without it), and nothing is loaded for it: the
// process stays in the C locale, so that nothing that classifies bytes ever depends on it, and
// pays none of the pages that loading a locale costs.
void ask_character_set(Output* output) {
  output->character_set[0] = '\0';
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* name = std::getenv(variable);
    if (name == nullptr || name[0] == '\0') continue;
    const char* dot = std::strchr(name, '.');
    if (dot != nullptr) {
      std::snprintf(output->character_set, sizeof output->character_set, "%.*s",
                    int(std::strcspn(dot + 1, "@")), dot + 1);
    }
    return;
  }
}

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

bool errors_to_terminal(void*) {
  return isatty(STDERR_FILENO) == 1;
}

const char* character_set(void* context) {
  return static_cast<Output*>(context)->character_set;
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
  ask_character_set(&g_output);
  // A terminal takes bytes in its character set: no text of another kind.
  return ConsoleOutputService{&g_output,    is_terminal, errors_to_terminal,    character_set,
                              write_output, write_error, /*write_wide=*/nullptr};
}
