// Standard output on Windows. WriteFile passes the bytes through unconverted, to a console as
// well as to a file or a pipe, so that they are the same as on Linux. A write blocked on a
// stalled pipe is not cut short here: after a console event, the control handler ends the
// process once its own wait has passed.
#include <windows.h>

#include "platform/console_output.h"

namespace {

bool is_console(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0 || GetFileType(handle) == FILE_TYPE_CHAR;
}

bool is_terminal(void*) {
  return is_console(STD_OUTPUT_HANDLE);
}

bool errors_to_terminal(void*) {
  return is_console(STD_ERROR_HANDLE);
}

// The console shows the bytes by its own code page: they are never chosen for it.
const char* character_set(void*) {
  return nullptr;
}

long write_to(DWORD which, const char* bytes, size_t length) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
  DWORD written = 0;
  if (!WriteFile(handle, bytes, part, &written, nullptr) && written == 0) return -1;
  return long(written);
}

long write_output(void*, const char* bytes, size_t length) {
  return write_to(STD_OUTPUT_HANDLE, bytes, length);
}

// Writes wait for the reader here (see above), so nothing is left to wait for: a short pause.
void wait_for_room(void*, int64_t timeout_ms) {
  Sleep(timeout_ms < 10 ? DWORD(timeout_ms < 0 ? 0 : timeout_ms) : 10);
}

long write_error(void*, const char* bytes, size_t length) {
  return write_to(STD_ERROR_HANDLE, bytes, length);
}

}  // namespace

ConsoleOutputService system_console_output() {
  return ConsoleOutputService{nullptr,      is_terminal,   errors_to_terminal, character_set,
                              write_output, wait_for_room, write_error};
}
