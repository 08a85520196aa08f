// Console key input on Windows: the console's own input queue ("CONIN$", whatever standard input
// is) through the four console operations, feeding the key logic. The C runtime's console key
// functions are never used.
#include <windows.h>

#include <cstdlib>
#include <vector>

#include "platform/console_keys.h"

namespace {

struct Console {
  HANDLE input;
  HANDLE output;
  bool mode_saved;
  DWORD user_mode;  // the console's input mode as found at start-up
  // The room for a look at the queue, kept from one look to the next.
  std::vector<INPUT_RECORD> looked_at;
};
Console g_console = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, false, 0, {}};

Console* console_of(void* context) {
  return static_cast<Console*>(context);
}

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

bool count_records(void* context, uint32_t* queued) {
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(console_of(context)->input, &count)) return false;
  *queued = count;
  return true;
}

// The count is of the console's own records, but read through the ANSI interface a double-byte
// character comes as two: the look makes room for twice the count (as much as the key logic
// takes) and takes the number the peek reports. The room is halved whenever the console refuses
// a look of that size (an old console does for thousands of queued mouse moves).
bool peek_records(void* context, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  Console* console = console_of(context);
  DWORD count = 0;
  if (!GetNumberOfConsoleInputEvents(console->input, &count)) return false;
  *copied = 0;
  if (count == 0) return true;
  DWORD room = count < capacity / 2 ? count * 2 : capacity;
  if (console->looked_at.size() < room) console->looked_at.resize(room);
  DWORD seen = 0;
  while (!PeekConsoleInputA(console->input, console->looked_at.data(), room, &seen)) {
    if (room == 1) return false;
    room /= 2;
  }
  if (seen > room) seen = room;
  for (DWORD i = 0; i < seen; ++i) records[i] = key_record_of(console->looked_at[i]);
  *copied = seen;
  return true;
}

bool remove_oldest_record(void* context, KeyRecord* record) {
  INPUT_RECORD input;
  DWORD taken = 0;
  // One record per call; waits while the queue is empty.
  if (!ReadConsoleInputA(console_of(context)->input, &input, 1, &taken) || taken != 1) {
    return false;
  }
  *record = key_record_of(input);
  return true;
}

bool get_mode(void* context, uint32_t* mode) {
  DWORD current = 0;
  if (!GetConsoleMode(console_of(context)->input, &current)) return false;
  *mode = current;
  return true;
}

bool set_mode(void* context, uint32_t mode) {
  return SetConsoleMode(console_of(context)->input, mode) != 0;
}

// read_key puts the mode back itself; this covers a way out in the middle of it (a console
// control event while it waits), and is harmless otherwise.
void restore(void* context) {
  const Console* console = console_of(context);
  if (console->mode_saved) SetConsoleMode(console->input, console->user_mode);
}

// The normal exit path closes the two handles (std::exit runs this); any other end of the process
// leaves that to the system.
void close_console_devices() {
  Console* console = &g_console;
  if (console->input != INVALID_HANDLE_VALUE) CloseHandle(console->input);
  if (console->output != INVALID_HANDLE_VALUE) CloseHandle(console->output);
  console->input = console->output = INVALID_HANDLE_VALUE;
  console->mode_saved = false;
}

HANDLE open_console_device(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

ConsoleKeys open_console_keys() {
  Console* console = &g_console;
  if (console->input == INVALID_HANDLE_VALUE) {
    // Both console devices are held for the life of the process, as a console program's start-up
    // holds them; the output's screen and window sizes are never changed. No failure is reported
    // here: without a console the key operations simply fail later.
    console->input = open_console_device("CONIN$");
    console->output = open_console_device("CONOUT$");
    DWORD mode = 0;
    if (console->input != INVALID_HANDLE_VALUE && GetConsoleMode(console->input, &mode)) {
      console->user_mode = mode;
      console->mode_saved = true;
    }
    std::atexit(close_console_devices);
  }
  return ConsoleKeys{
      {console, count_records, peek_records, remove_oldest_record, get_mode, set_mode}, restore};
}
