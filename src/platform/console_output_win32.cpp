// Standard output on Windows. WriteFile passes the bytes through unconverted, to a console as
// well as to a file or a pipe, so that they are the same as on Linux; WriteConsoleW writes UTF-16
// text to a console, which shows it whatever its code page. A write blocked on a
// stalled pipe is not cut short here: after a console event, the control handler ends the
// process once its own wait has passed.
#include <windows.h>

#include <cstdio>

#include "platform/console_output.h"

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "WriteConsoleW takes UTF-16 units");

struct Output {
  char code_page[16];  // "CP932": standard output's console's output code page, asked at the start
};
Output g_output = {""};

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

// A console (GetConsoleMode works on it; a NUL device or a file is none) shows bytes by its
// output code page.
const char* character_set(void* context) {
  const char* code_page = static_cast<Output*>(context)->code_page;
  return code_page[0] != '\0' ? code_page : nullptr;
}

void ask_code_page(Output* output) {
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) == 0) return;
  std::snprintf(output->code_page, sizeof output->code_page, "CP%u", GetConsoleOutputCP());
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

long write_wide(void*, const char16_t* text, size_t length) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  const DWORD part = length > 0x4000 ? 0x4000 : DWORD(length);
  DWORD written = 0;
  if (!WriteConsoleW(handle, reinterpret_cast<const wchar_t*>(text), part, &written, nullptr)) {
    return -1;
  }
  return long(written);
}

}  // namespace

ConsoleOutputService system_console_output() {
  ask_code_page(&g_output);
  return ConsoleOutputService{&g_output,    is_terminal,   errors_to_terminal, character_set,
                              write_output, wait_for_room, write_error,        write_wide};
}
