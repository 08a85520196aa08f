#include <errno.h>
#include <unistd.h>

#include "console_output.h"
#include "process.h"

bool standard_output_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

void standard_output_write_all(const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, length);
    if (written < 0 && errno == EINTR && !interrupt_requested()) continue;
    // A closed pipe or a full disk costs only the console text; logging goes on.
    if (written <= 0) return;
    bytes += written;
    length -= size_t(written);
  }
}
