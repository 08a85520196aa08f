// Standard output on Windows: the shared console output unit's two platform operations, so that
// the bytes are the same as on Linux. WriteFile passes them through unconverted, to a console
// as well as to a file or a pipe.
#include <windows.h>

#include "platform/console_output.h"

bool standard_output_is_terminal() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(output, &mode) != 0 || GetFileType(output) == FILE_TYPE_CHAR;
}

// A write blocked on a stalled pipe is not cut short here: after a console event, the control
// handler ends the process once its own wait has passed.
void standard_output_write_all(const char* bytes, size_t length, int /*patience_ms*/) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
    DWORD written = 0;
    // A closed pipe or a full disk costs only the console text; logging goes on.
    if (!WriteFile(output, bytes, part, &written, nullptr) || written == 0) return;
    bytes += written;
    length -= written;
  }
}
