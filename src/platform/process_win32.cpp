// Process start and end on Windows: argument zero from GetModuleFileNameA, the arguments split
// from GetCommandLineA by the project's own splitter (the C runtime's argv is not used), the
// console control events turned into a flag for the logger's loop.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "platform/console_output_win32.h"
#include "platform/process.h"

namespace {

// Argument zero holds at most 254 characters.
constexpr DWORD kExecutablePathSize = 255;
// How long a closed console, a logoff or a shutdown waits for the loop to write everything out
// before the process is ended regardless: the system allows such a process about five seconds.
// Ctrl+C and Ctrl+Break have no deadline, so their write-out is never cut short.
constexpr DWORD kEndingSessionWaitMs = 4000;

// Shared with the control handler's thread.
struct ConsoleEvents {
  volatile LONG end_requested;
  HANDLE shutdown_done;  // set once everything has been written out
};
ConsoleEvents g_events = {0, nullptr};

// The arguments as the logger gets them, for the life of the process.
struct Arguments {
  char executable[kExecutablePathSize];
  std::vector<std::string> words;
  std::vector<char*> pointers;
};
Arguments g_arguments;

bool ansi_lead_byte(unsigned char byte) {
  return IsDBCSLeadByte(byte) != 0;
}

// Ctrl+C, Ctrl+Break, the closing of the console, a logoff and a shutdown ask the loop to finish
// its turn and shut down; the handler runs on a thread of its own and waits here, since returning
// from it would let the system end the process at once (for a closed console, a logoff or a
// shutdown) or go on (for the keys).
BOOL WINAPI on_console_event(DWORD event) {
  DWORD wait_ms = INFINITE;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      wait_ms = kEndingSessionWaitMs;
      break;
    default:
      return FALSE;
  }
  InterlockedExchange(&g_events.end_requested, 1);
  if (g_events.shutdown_done != nullptr) WaitForSingleObject(g_events.shutdown_done, wait_ms);
  // Reached only when the loop did not finish in time; normally end_process ends the process.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool end_requested(void*) {
  return InterlockedCompareExchange(&g_events.end_requested, 0, 0) != 0;
}

int64_t now_ms(void*) {
  return int64_t(GetTickCount64());
}

// GetSystemTimePreciseAsFileTime came with Windows 8; looked up, so that older ones run too.
using FileTimeFunction = void(WINAPI*)(FILETIME*);

FileTimeFunction system_time_function() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  const FARPROC precise =
      kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
  return precise != nullptr ? reinterpret_cast<FileTimeFunction>(reinterpret_cast<void*>(precise))
                            : GetSystemTimeAsFileTime;
}

// 100-nanosecond ticks since 1601-01-01.
int64_t ticks_of(const FILETIME& time) {
  return int64_t((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The Unix epoch in those ticks.
constexpr int64_t kTicksTo1970 = 116444736000000000;

WallTime wall_clock(void*) {
  static const FileTimeFunction system_time = system_time_function();
  FILETIME utc;
  system_time(&utc);
  // The zone's offset at that moment, with its daylight saving rule for that date.
  SYSTEMTIME utc_parts;
  SYSTEMTIME local_parts;
  FILETIME local;
  int32_t offset_s = 0;
  if (FileTimeToSystemTime(&utc, &utc_parts) &&
      SystemTimeToTzSpecificLocalTime(nullptr, &utc_parts, &local_parts) &&
      SystemTimeToFileTime(&local_parts, &local)) {
    // Both times are whole milliseconds: the offset is a number of seconds.
    const int64_t difference = ticks_of(local) - (ticks_of(utc) / 10000) * 10000;
    offset_s = int32_t((difference + (difference < 0 ? -5000000 : 5000000)) / 10000000);
  }
  return WallTime{(ticks_of(utc) - kTicksTo1970) / 10, offset_s};
}

// The local time comes from the system's own time zone setting, whatever TZ says.
const char* unknown_time_zone(void*) {
  return nullptr;
}

// A rest of the loop (--wait) is a short timed wait, not an overlapped WaitCommEvent: the port is
// opened synchronously, as the logger has always opened it, and a wait of at most kRestMs costs
// next to no processor time while it keeps a line's echo within a tick of the system's timer. A
// key ends it at once while the console's input queue is empty; records left queued that are no
// key (the release of the last key, which only read_key takes) keep the console's input signalled,
// and then the rest is a pause of the same length.
constexpr DWORD kRestMs = 10;

struct Rest {
  bool opened;
  HANDLE console_input;
};
Rest g_rest = {false, INVALID_HANDLE_VALUE};

void rest(void*, int64_t timeout_ms, bool) {
  DWORD wait = kRestMs;
  if (timeout_ms >= 0 && timeout_ms < int64_t(wait)) wait = DWORD(timeout_ms);
  if (wait == 0 || end_requested(nullptr)) return;
  if (!g_rest.opened) {
    g_rest.opened = true;
    g_rest.console_input =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  }
  DWORD queued = 0;
  if (g_rest.console_input != INVALID_HANDLE_VALUE &&
      GetNumberOfConsoleInputEvents(g_rest.console_input, &queued) && queued == 0) {
    WaitForSingleObject(g_rest.console_input, wait);
  } else {
    Sleep(wait);
  }
}

}  // namespace

ProcessService system_process() {
  return ProcessService{nullptr, end_requested, now_ms, wall_clock, unknown_time_zone, rest};
}

void end_process(int status) {
  // What a pipe's reader has not taken yet gets the second that the logger gave it.
  finish_output(1000);
  if (end_requested(nullptr)) {
    if (g_events.shutdown_done != nullptr) SetEvent(g_events.shutdown_done);
    // The status of a process ended by Ctrl+C, as the system's default action gives it.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  std::exit(status);
}

void start_process(int* argc, char*** argv) {
  Arguments* arguments = &g_arguments;
  const DWORD length = GetModuleFileNameA(nullptr, arguments->executable, kExecutablePathSize);
  if (length >= kExecutablePathSize) arguments->executable[kExecutablePathSize - 1] = '\0';
  arguments->words = split_command_line(GetCommandLineA(), ansi_lead_byte);
  arguments->pointers.push_back(arguments->executable);
  for (size_t i = 1; i < arguments->words.size(); ++i) {
    arguments->pointers.push_back(&arguments->words[i][0]);
  }
  arguments->pointers.push_back(nullptr);
  *argc = int(arguments->pointers.size() - 1);
  *argv = arguments->pointers.data();

  g_events.shutdown_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
