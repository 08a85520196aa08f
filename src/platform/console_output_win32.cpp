// Standard output on Windows. WriteFile passes the bytes through unconverted, to a console as
// well as to a file or a pipe, so that they are the same as on Linux; WriteConsoleW writes UTF-16
// text to a console, which shows it whatever its code page. A pipe cannot be written without
// waiting for its reader (Windows' and Wine's pipes alike), so a pipe as standard output is
// written by a thread of its own from a ring that the loop fills without waiting: a reader that
// stops reading holds up only that thread.
#include "platform/console_output_win32.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

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

// The ring between the loop and the pipe's writer; the lock guards every field but the thread.
struct PipeWriter {
  HANDLE thread;
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE filled;  // the loop put bytes in
  CONDITION_VARIABLE taken;   // the pipe took bytes
  size_t start;
  size_t used;
  bool failed;
  char ring[64 * 1024];
};
PipeWriter* g_pipe = nullptr;

DWORD WINAPI write_pipe(void*) {
  PipeWriter* pipe = g_pipe;
  EnterCriticalSection(&pipe->lock);
  for (;;) {
    while (pipe->used == 0) SleepConditionVariableCS(&pipe->filled, &pipe->lock, INFINITE);
    const size_t start = pipe->start;
    const size_t part =
        pipe->used < sizeof pipe->ring - start ? pipe->used : sizeof pipe->ring - start;
    LeaveCriticalSection(&pipe->lock);
    const long written = write_to(STD_OUTPUT_HANDLE, pipe->ring + start, part);
    EnterCriticalSection(&pipe->lock);
    if (written <= 0) {
      pipe->failed = true;
      pipe->used = 0;
    } else {
      pipe->start = (start + size_t(written)) % sizeof pipe->ring;
      pipe->used -= size_t(written);
    }
    WakeAllConditionVariable(&pipe->taken);
  }
}

// What the ring takes of `bytes`, at once.
long write_output(void*, const char* bytes, size_t length) {
  if (g_pipe == nullptr) return write_to(STD_OUTPUT_HANDLE, bytes, length);
  PipeWriter* pipe = g_pipe;
  EnterCriticalSection(&pipe->lock);
  long taken = -1;
  if (!pipe->failed) {
    const size_t free = sizeof pipe->ring - pipe->used;
    const size_t count = length < free ? length : free;
    for (size_t done = 0; done < count;) {
      const size_t end = (pipe->start + pipe->used) % sizeof pipe->ring;
      const size_t room = sizeof pipe->ring - end;
      const size_t part = count - done < room ? count - done : room;
      std::memcpy(pipe->ring + end, bytes + done, part);
      pipe->used += part;
      done += part;
    }
    taken = long(count);
    if (count > 0) WakeConditionVariable(&pipe->filled);
  }
  LeaveCriticalSection(&pipe->lock);
  return taken;
}

void wait_for_room(void*, int64_t timeout_ms) {
  const DWORD wait = timeout_ms < 0 ? 0 : timeout_ms > 1000 ? 1000 : DWORD(timeout_ms);
  if (g_pipe == nullptr) {
    Sleep(wait < 10 ? wait : 10);
    return;
  }
  EnterCriticalSection(&g_pipe->lock);
  if (g_pipe->used == sizeof g_pipe->ring) {
    SleepConditionVariableCS(&g_pipe->taken, &g_pipe->lock, wait);
  }
  LeaveCriticalSection(&g_pipe->lock);
}

// Standard output a pipe: its writer from now on.
void start_pipe_writer() {
  if (GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_PIPE) return;
  PipeWriter* pipe = new PipeWriter();
  InitializeCriticalSection(&pipe->lock);
  InitializeConditionVariable(&pipe->filled);
  InitializeConditionVariable(&pipe->taken);
  g_pipe = pipe;
  pipe->thread = CreateThread(nullptr, 0, write_pipe, nullptr, 0, nullptr);
  if (pipe->thread == nullptr) g_pipe = nullptr;
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

void finish_output(DWORD patience_ms) {
  PipeWriter* pipe = g_pipe;
  if (pipe == nullptr) return;
  EnterCriticalSection(&pipe->lock);
  while (pipe->used > 0) {
    const size_t before = pipe->used;
    SleepConditionVariableCS(&pipe->taken, &pipe->lock, patience_ms);
    if (pipe->used == before) break;
  }
  LeaveCriticalSection(&pipe->lock);
}

ConsoleOutputService system_console_output() {
  ask_code_page(&g_output);
  start_pipe_writer();
  return ConsoleOutputService{&g_output,    is_terminal,   errors_to_terminal, character_set,
                              write_output, wait_for_room, write_error,        write_wide};
}
