// A test-only helper for the console-window tests, run from their batch file in the same Wine
// console as comlog.exe:
//
//   console_probe mode [SET]             sets the console's input mode (CONIN$) to SET when given,
//                                        then prints the mode in decimal
//   console_probe screen                 prints what the console's screen buffer holds, from its
//                                        top to the cursor's row, in UTF-8, a line a row without
//                                        the blanks at its end
//   console_probe run STATUS PROGRAM [ARGUMENTS...]
//                                        runs PROGRAM with this helper's standard handles and
//                                        writes its exit code, in decimal, to the file STATUS
//   console_probe event break|close|logoff|shutdown WHEN NAME
//                                        once the file WHEN exists, raises CTRL_BREAK_EVENT,
//                                        CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT or
//                                        CTRL_SHUTDOWN_EVENT in the running program NAME
//
// `run` is for a typed Ctrl+C: the event reaches every process of the console, and cmd gives up
// the batch file on it, so its %ERRORLEVEL% never comes; this helper takes no part in the event.
//
// `event` is for what Wine 8 does not deliver: Ctrl+Break typed in its console window raises
// nothing, GenerateConsoleCtrlEvent refuses CTRL_BREAK_EVENT (ERROR_INVALID_HANDLE), closing
// the window ends the console's processes without a CTRL_CLOSE_EVENT, and a logoff or a
// shutdown (wineboot --end-session, --shutdown) never reaches a console program. So the event is
// raised the way Windows raises it: a thread started in the program at the system's console control
// routine (CtrlRoutine of kernelbase.dll, at the same address in every process of a session),
// with the event as its argument, which runs the program's handlers as for a real event. It is
// started in the background (`start /b`) before the program, and the test chooses the moment by
// creating WHEN.
#include <windows.h>
// (tlhelp32.h needs windows.h first.)
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Generous: only keeps a broken run from leaving the helper behind for good.
constexpr DWORD kWaitLimitMs = 60000;

BOOL WINAPI take_no_part(DWORD) {
  return TRUE;
}

int fail(const char* what) {
  std::fprintf(stderr, "console_probe: %s (error %lu)\n", what, GetLastError());
  return 2;
}

int mode(int argc, char** argv) {
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return fail("no console input");
  if (argc == 3 && !SetConsoleMode(input, std::strtoul(argv[2], nullptr, 10))) {
    return fail("SetConsoleMode");
  }
  DWORD current = 0;
  if (!GetConsoleMode(input, &current)) return fail("GetConsoleMode");
  std::printf("%lu\n", static_cast<unsigned long>(current));
  return 0;
}

// What the console shows, read back as the characters it holds: what a program wrote is there as
// the console took it, whatever its font can draw.
int screen() {
  HANDLE output =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (output == INVALID_HANDLE_VALUE) return fail("no console output");
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(output, &info)) return fail("GetConsoleScreenBufferInfo");
  std::wstring row(size_t(info.dwSize.X), L' ');
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(output, &row[0], DWORD(row.size()), COORD{0, y}, &read)) {
      return fail("ReadConsoleOutputCharacterW");
    }
    const size_t end = row.find_last_not_of(L' ', read == 0 ? 0 : read - 1);
    const int length = end == std::wstring::npos ? 0 : int(end + 1);
    std::string text(size_t(length) * 3, '\0');
    text.resize(size_t(WideCharToMultiByte(CP_UTF8, 0, row.data(), length, &text[0],
                                           int(text.size()), nullptr, nullptr)));
    std::printf("%s\n", text.c_str());
  }
  return 0;
}

// Quotes an argument for the program's command line when it holds a blank.
std::string quoted(const char* argument) {
  if (*argument != '\0' && std::strpbrk(argument, " \t") == nullptr) return argument;
  return std::string("\"") + argument + "\"";
}

int run(int argc, char** argv) {
  SetConsoleCtrlHandler(take_no_part, TRUE);
  std::string command_line;
  for (int i = 3; i < argc; ++i) {
    if (i > 3) command_line += ' ';
    command_line += quoted(argv[i]);
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return fail("CreateProcess");
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) return fail("GetExitCodeProcess");
  FILE* status = std::fopen(argv[2], "w");
  if (status == nullptr) return fail("cannot write the status file");
  std::fprintf(status, "%lu\n", static_cast<unsigned long>(code));
  std::fclose(status);
  return 0;
}

DWORD find_process(const char* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
       more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

int raise_event(char** argv) {
  DWORD event = 0;
  if (std::strcmp(argv[2], "break") == 0) {
    event = CTRL_BREAK_EVENT;
  } else if (std::strcmp(argv[2], "close") == 0) {
    event = CTRL_CLOSE_EVENT;
  } else if (std::strcmp(argv[2], "logoff") == 0) {
    event = CTRL_LOGOFF_EVENT;
  } else if (std::strcmp(argv[2], "shutdown") == 0) {
    event = CTRL_SHUTDOWN_EVENT;
  } else {
    std::fprintf(stderr, "console_probe: no event %s\n", argv[2]);
    return 1;
  }
  DWORD waited = 0;
  for (; waited < kWaitLimitMs && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES;
       waited += 10) {
    Sleep(10);
  }
  if (waited >= kWaitLimitMs) return fail("the moment never came");
  const DWORD pid = find_process(argv[4]);
  if (pid == 0) return fail("no such program running");
  // (Through void (*)(): the compiler's accepted way to say that the type is known.)
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
  if (routine == nullptr) return fail("no CtrlRoutine in kernelbase.dll");
  HANDLE target = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  if (target == nullptr) return fail("OpenProcess");
  HANDLE thread =
      CreateRemoteThread(target, nullptr, 0, routine,
                         reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr);
  if (thread == nullptr) return fail("CreateRemoteThread");
  CloseHandle(thread);
  CloseHandle(target);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "mode") == 0) return mode(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "screen") == 0) return screen();
  if (argc >= 4 && std::strcmp(argv[1], "run") == 0) return run(argc, argv);
  if (argc == 5 && std::strcmp(argv[1], "event") == 0) return raise_event(argv);
  std::fprintf(stderr,
               "usage: console_probe mode [SET] | screen | run STATUS PROGRAM [ARGUMENTS...] |"
               " event break|close|logoff|shutdown WHEN NAME\n");
  return 1;
}
