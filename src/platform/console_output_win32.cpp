// Standard output on Windows: the shared console output unit's two platform operations, so that
// the bytes are the same as on Linux. WriteFile passes them through unconverted, to a console
// as well as to a file or a pipe.
#include <windows.h>

#include "console_output.h"

bool standard_output_is_terminal() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(output, &mode) != 0 || GetFileType(output) == FILE_TYPE_CHAR;
}

void standard_output_write_all(const char* bytes, size_t length) {
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
