// Process start and end on Windows: argument zero from GetModuleFileNameA, the arguments split
// from GetCommandLineA by the project's own splitter (the C runtime's argv is not used), the
// console control events turned into a flag for the logger's loop.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "logger/command_line.h"
#include "platform/console_input.h"
#include "platform/console_output.h"
#include "platform/process.h"

namespace {

// Argument zero holds at most 254 characters.
constexpr DWORD kExecutablePathSize = 255;
// How long a closed console, a logoff or a shutdown waits for the loop to write everything out
// before the process is ended regardless: the system allows such a process about five seconds.
// Ctrl+C and Ctrl+Break have no deadline, so their write-out is never cut short.
constexpr DWORD kEndingSessionWaitMs = 4000;

volatile LONG g_interrupt = 0;
HANDLE g_shutdown_done = nullptr;  // set once the held output has been written out

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
  InterlockedExchange(&g_interrupt, 1);
  if (g_shutdown_done != nullptr) WaitForSingleObject(g_shutdown_done, wait_ms);
  // Reached only when the loop did not finish in time; normally end_process ends the process.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

bool interrupt_requested() {
  return InterlockedCompareExchange(&g_interrupt, 0, 0) != 0;
}

void end_process(int status) {
  restore_console_input();
  console_flush();
  if (interrupt_requested()) {
    if (g_shutdown_done != nullptr) SetEvent(g_shutdown_done);
    // The status of a process ended by Ctrl+C, as the system's default action gives it.
    ExitProcess(STATUS_CONTROL_C_EXIT);
  }
  std::exit(status);
}

void start_process(int* argc, char*** argv) {
  static char executable[kExecutablePathSize];
  const DWORD length = GetModuleFileNameA(nullptr, executable, kExecutablePathSize);
  if (length >= kExecutablePathSize) executable[kExecutablePathSize - 1] = '\0';

  static std::vector<std::string> words = split_command_line(GetCommandLineA(), ansi_lead_byte);
  static std::vector<char*> arguments;
  arguments.push_back(executable);
  for (size_t i = 1; i < words.size(); ++i) arguments.push_back(&words[i][0]);
  arguments.push_back(nullptr);
  *argc = int(arguments.size() - 1);
  *argv = arguments.data();

  g_shutdown_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}
