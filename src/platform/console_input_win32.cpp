// Console key input on Windows: the console's own input queue ("CONIN$", whatever standard input
// is) through the four console operations, feeding the shared key logic. The C
// runtime's console key functions are never used.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "keys/key_codes.h"
#include "platform/console_input.h"
#include "platform/console_queue.h"

namespace {

HANDLE g_input = INVALID_HANDLE_VALUE;
HANDLE g_output = INVALID_HANDLE_VALUE;
bool g_mode_saved = false;
DWORD g_user_mode = 0;  // the console's input mode as found at start-up

KeyRecord key_record_of(const INPUT_RECORD& input) {
  KeyRecord record = {};
  record.is_key_event = input.EventType == KEY_EVENT;
  if (record.is_key_event) {
    const KEY_EVENT_RECORD& key = input.Event.KeyEvent;
    record.key_down = key.bKeyDown != FALSE;
    record.virtual_key = key.wVirtualKeyCode;
    record.character = key.uChar.AsciiChar;
    record.control_state = key.dwControlKeyState;
  }
  return record;
}

bool console_count(void*, uint32_t* queued) {
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(g_input, &count)) return false;
  *queued = count;
  return true;
}

// The count is of the console's own records, but read through the ANSI interface a double-byte
// character comes as two: the look makes room for twice the count (as much as the key logic
// takes) and takes the number the peek reports. The room is halved whenever the console refuses
// a look of that size (an old console does for thousands of queued mouse moves).
std::vector<INPUT_RECORD> g_looked_at;  // kept from one look to the next

bool console_peek(void*, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(g_input, &count)) return false;
  *copied = 0;
  if (count == 0) return true;
  DWORD room = count < capacity / 2 ? count * 2 : capacity;
  if (g_looked_at.size() < room) g_looked_at.resize(room);
  DWORD seen = 0;
  while (!PeekConsoleInputA(g_input, g_looked_at.data(), room, &seen)) {
    if (room == 1) return false;
    room /= 2;
  }
  if (seen > room) seen = room;
  for (DWORD i = 0; i < seen; ++i) records[i] = key_record_of(g_looked_at[i]);
  *copied = seen;
  return true;
}

bool console_remove_oldest(void*, KeyRecord* record) {
  INPUT_RECORD input;
  DWORD taken = 0;
  // One record per call; waits while the queue is empty.
  if (!ReadConsoleInputA(g_input, &input, 1, &taken) || taken != 1) return false;
  *record = key_record_of(input);
  return true;
}

bool console_get_mode(void*, uint32_t* mode) {
  DWORD current = 0;
  if (!GetConsoleMode(g_input, &current)) return false;
  *mode = current;
  return true;
}

bool console_set_mode(void*, uint32_t mode) {
  return SetConsoleMode(g_input, mode) != 0;
}

ConsoleQueue g_console = {nullptr,          console_count,   console_peek, console_remove_oldest,
                          console_get_mode, console_set_mode};

// The normal exit path closes the two handles (std::exit runs this); any other end of the process
// leaves that to the system.
void close_console_devices() {
  if (g_input != INVALID_HANDLE_VALUE) CloseHandle(g_input);
  if (g_output != INVALID_HANDLE_VALUE) CloseHandle(g_output);
  g_input = g_output = INVALID_HANDLE_VALUE;
  g_mode_saved = false;
}

HANDLE open_console_device(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

void open_console_input() {
  if (g_input != INVALID_HANDLE_VALUE) return;
  // No failure is reported here: without a console both operations simply fail later.
  g_input = open_console_device("CONIN$");
  g_output = open_console_device("CONOUT$");
  if (g_output != INVALID_HANDLE_VALUE) {
    // The screen buffer and window sizes are only read, never changed.
    CONSOLE_SCREEN_BUFFER_INFO screen;
    GetConsoleScreenBufferInfo(g_output, &screen);
  }
  DWORD mode = 0;
  if (g_input != INVALID_HANDLE_VALUE && GetConsoleMode(g_input, &mode)) {
    g_user_mode = mode;
    g_mode_saved = true;
  }
  std::atexit(close_console_devices);
}

void restore_console_input() {
  // read_key puts the mode back itself; this covers a way out in the middle of it (a console
  // control event while it waits), and is harmless otherwise.
  if (g_mode_saved) SetConsoleMode(g_input, g_user_mode);
}

ConsoleQueue* console_queue() {
  return &g_console;
}
