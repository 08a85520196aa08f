// comlog.exe in a real Wine console window: a private X display (Xvfb) for each test,
// `wineconsole cmd /c run.bat` on it, keys typed into the window through XTEST (xdotool), and
// COM5 of the shared throwaway prefix leading to a pseudo-terminal for the device. The batch
// file sends comlog.exe's console output to a file and writes its exit status to another, so
// every test checks the exact console output (banner, echo, one "running" per notice), the
// exact test.dat and the status. Ctrl+Break, the window's close, a logoff and a shutdown, which
// Wine 8 does not deliver to the program, are raised by tests/wine/console_probe.cpp, which also
// reports the console's input mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "wine_paths.h"

namespace {

const std::string kCom5 = "\\\\.\\COM5";
constexpr uint32_t kStatusControlCExit = 0xC000013A;
// How wineconsole's own exit status (cmd's, which the batch file ends with) shows it.
constexpr int kInterruptedLowByte = 0x3A;
const char kTitle[] = "comlog console window test";

bool have(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The reason these tests cannot run here, or empty.
std::string missing_tool() {
  for (const char* program : {COMLOG_EXE_PATH, CONSOLE_PROBE_PATH}) {
    if (*program == '\0') {
      return "COMLOG_WINDOWS_EXE or COMLOG_CONSOLE_PROBE_EXE is not set: configure with the "
             "default preset";
    }
    if (!std::filesystem::exists(program)) {
      return std::string("no ") + program +
             ": build the windows preset first (cmake --preset windows && cmake --build "
             "--preset windows)";
    }
  }
  if (!have("wine") || !have("wineserver")) return "no Wine: apt-get install wine";
  if (!have("Xvfb")) return "no Xvfb for a private X display: apt-get install xvfb";
  if (!have("xdotool"))
    return "no xdotool to type into the console window: apt-get install xdotool";
  return "";
}

std::string quoted_windows_path(const std::string& path) {
  return "\"" + windows_path_of(path) + "\"";
}

std::string banner() {
  return port_opened_message(kCom5) + "running " + windows_path_of(COMLOG_EXE_PATH) +
         "\r\nrunning\r\n";
}

std::string notices(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "running\r\n";
  return text;
}

// Lines from the device, each taken by a read of its own, and what they give.
const std::vector<std::string> kDeviceLines = {"600\r\n", "601\r\n", "10512\r\n"};
const char kEcho[] = "600\r\r\n601\r\r\n10512\r\r\n";
const char kRecords[] = "  88\r\n  89\r\n10000\r\n";

// A shell command's standard output, with the test's X display.
std::string output_of(const std::string& display, const std::string& command) {
  FILE* pipe = popen(("DISPLAY=" + display + " " + command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return "";
  std::string text;
  char chunk[256];
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) text.append(chunk, got);
  pclose(pipe);
  return text;
}

// An exit status as cmd's %ERRORLEVEL% (signed) or the helper (unsigned) writes it, or -1.
long long status_in(const std::string& text) {
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) return -1;
  return value & 0xFFFFFFFF;
}

// What the batch file does around comlog.exe.
struct Batch {
  std::string before;             // lines before it
  std::string standard_input;     // e.g. " < NUL"
  bool status_by_helper = false;  // the helper starts it and writes its status (for Ctrl+C)
  std::string after;              // lines after it
};

class ConsoleWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = missing_tool();
    if (!missing.empty()) GTEST_SKIP() << missing;
    ASSERT_NO_FATAL_FAILURE(start_display());
    workspace_ = make_workspace();
    device_ = open_pty();
    hold_slave(&device_);
    // A Wine session started without this display (by the other Wine tests, or for the display
    // of an earlier test) would give wineconsole no window here: a session of its own, then.
    end_wine_session();
    ASSERT_EQ(std::system(("DISPLAY=" + display_ + " " + WINE_RUN_PATH + " --prefix " +
                           WINE_PREFIX_PATH + " --prepare")
                              .c_str()),
              0);
    std::error_code ignored;
    std::filesystem::remove(com5_link(), ignored);
    std::filesystem::create_symlink(device_.slave_path, com5_link());
  }

  void TearDown() override {
    // Whatever is left of the run (wineconsole, cmd, comlog.exe, a helper waiting in the
    // background) ends with the session; the prefix is this suite's alone while it runs (the
    // CTest resource lock).
    if (child_.pid > 0 && waitpid(child_.pid, nullptr, WNOHANG) == 0) {
      kill(child_.pid, SIGKILL);
      waitpid(child_.pid, nullptr, 0);
    }
    if (run_started_) end_wine_session();
    if (display_pid_ > 0) {
      kill(display_pid_, SIGTERM);
      waitpid(display_pid_, nullptr, 0);
    }
    if (!workspace_.root.empty()) {
      std::error_code ignored;
      std::filesystem::remove(com5_link(), ignored);
      remove_workspace(workspace_);
    }
    close_pty(&device_);
  }

  static std::string com5_link() { return std::string(WINE_PREFIX_PATH) + "/dosdevices/com5"; }

  static void end_wine_session() {
    const std::string prefix = std::string("WINEPREFIX=") + WINE_PREFIX_PATH;
    std::system((prefix + " wineserver -k >/dev/null 2>&1; " + prefix +
                 " timeout 30 wineserver -w >/dev/null 2>&1")
                    .c_str());
  }

  // Xvfb picks a free display and writes its number to the descriptor given once it is ready.
  void start_display() {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    display_pid_ = fork();
    ASSERT_GE(display_pid_, 0);
    if (display_pid_ == 0) {
      setsid();
      close(ends[0]);
      const std::string fd = std::to_string(ends[1]);
      const int null_fd = open("/dev/null", O_RDWR);
      for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null_fd, standard);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", nullptr);
      _exit(127);
    }
    close(ends[1]);
    std::string number;
    read_until(ends[0], &number, "\n");
    close(ends[0]);
    ASSERT_FALSE(number.empty() || number.back() != '\n') << "Xvfb reported no display";
    number.pop_back();
    display_ = ":" + number;
  }

  std::string file(const char* name) { return workspace_.cwd + "/" + name; }

  // Writes run.bat and starts it in a new console window; returns once comlog.exe is logging
  // (test.dat is created after the port has been purged), the device's lines have been taken
  // and the window has the keyboard.
  void start_run(const Batch& batch) {
    std::string text = batch.before;
    const std::string comlog = quoted_windows_path(COMLOG_EXE_PATH) + " 5" + batch.standard_input;
    if (batch.status_by_helper) {
      text += probe() + " run rc.txt " + comlog + " > out.txt\r\n";
    } else {
      // (The redirection first: "echo 0>rc.txt" would redirect descriptor 0.)
      text += comlog + " > out.txt\r\nset STATUS=%ERRORLEVEL%\r\n" + batch.after +
              ">rc.txt echo %STATUS%\r\nexit %STATUS%\r\n";
    }
    start_window(text);
    ASSERT_TRUE(wait_until([&] {
      return std::filesystem::exists(file("test.dat")) ||
             waitpid(child_.pid, nullptr, WNOHANG) != 0;
    }));
    ASSERT_TRUE(std::filesystem::exists(file("test.dat"))) << "comlog.exe never opened test.dat";
    for (const std::string& line : kDeviceLines) {
      write_all(device_.master, line);
      wait_until_taken(device_);
    }
    ASSERT_TRUE(wait_until([&] {
      window_ = output_of(display_, std::string("xdotool search --name '^") + kTitle + "$'");
      return !window_.empty();
    })) << "no console window titled "
        << kTitle;
    window_ = window_.substr(0, window_.find('\n'));
    // No window manager runs, so the window is given the focus directly.
    ASSERT_EQ(
        std::system(("DISPLAY=" + display_ + " xdotool windowfocus --sync " + window_).c_str()), 0);
  }

  // Runs a batch file of `lines` in a new console window to its end; returns wineconsole's
  // status.
  int run_batch(const std::string& lines) {
    start_window(lines);
    return wineconsole_status();
  }

  // Writes run.bat, the window's title and then `lines`, and starts it in a new console window.
  void start_window(const std::string& lines) {
    write_file(file("run.bat"), "@echo off\r\ntitle " + std::string(kTitle) + "\r\n" + lines);
    RunOptions run;
    run.command = {WINE_RUN_PATH, "--prefix", WINE_PREFIX_PATH, "wineconsole",
                   "cmd",         "/c",       "run.bat"};
    run.environment = {"DISPLAY=" + display_};
    run.cwd = workspace_.cwd;
    run.stdin_from_dev_null = true;
    child_ = start(run);
    run_started_ = true;
  }

  // Keys typed into the window, in order (xdotool key names, e.g. "shift+F5").
  void type(const std::string& keys) {
    ASSERT_EQ(std::system(("DISPLAY=" + display_ + " xdotool key " + keys).c_str()), 0);
  }

  // Waits for wineconsole to end; returns its exit status, or -1 when it had to be killed
  // (TearDown then ends the session).
  int wineconsole_status() {
    const int status = wait_for_exit(child_.pid);
    child_.pid = -1;
    run_killed_ = status < 0;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // comlog.exe's exit status as the batch file (or the helper) recorded it, or -1.
  long long recorded_status() {
    if (run_killed_) return -1;
    // The helper may write it a moment after wineconsole has ended, and the file is there
    // before its line is: only a whole line is read.
    std::string text;
    wait_until([&] {
      text = std::filesystem::exists(file("rc.txt")) ? read_file(file("rc.txt")) : "";
      return !text.empty() && text.back() == '\n';
    });
    return status_in(text);
  }

  static std::string probe() { return quoted_windows_path(CONSOLE_PROBE_PATH); }

  std::string display_;
  pid_t display_pid_ = -1;
  Workspace workspace_;
  Pty device_;
  Child child_;
  std::string window_;
  bool run_started_ = false;
  bool run_killed_ = false;
};

struct KeyCase {
  const char* name;
  const char* keys;  // typed after the device's lines
  int notices;       // "running" lines after the banner and the echo
  bool ends_run;     // the keys end the run by themselves; otherwise q follows
};

void PrintTo(const KeyCase& key_case, std::ostream* out) {
  *out << key_case.name << " (" << key_case.keys << ")";
}

class ConsoleWindowKeys : public ConsoleWindow, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(ConsoleWindowKeys, PrintNoticesAndEndTheRunAsTheKeyCodesSay) {
  const KeyCase& key_case = GetParam();
  ASSERT_NO_FATAL_FAILURE(start_run(Batch{}));
  type(key_case.keys);
  // q after a key that does not end the run: the notices come before the end, in order, and
  // the run ends whatever the key did.
  if (!key_case.ends_run) type("q");
  EXPECT_EQ(wineconsole_status(), 0);
  EXPECT_EQ(recorded_status(), 0);
  EXPECT_EQ(read_file(file("out.txt")), banner() + kEcho + notices(key_case.notices));
  EXPECT_EQ(read_file(file("test.dat")), kRecords);
}

INSTANTIATE_TEST_SUITE_P(CharactersAndModifiers, ConsoleWindowKeys,
                         ::testing::Values(KeyCase{"character", "a", 1, false},
                                           // 0, then 0x3B: two codes, two notices.
                                           KeyCase{"F1", "F1", 2, false},
                                           KeyCase{"Shift_alone", "shift", 0, false},
                                           KeyCase{"Ctrl_alone", "ctrl", 0, false},
                                           KeyCase{"Alt_alone", "alt", 0, false},
                                           KeyCase{"lower_case_quit_key", "q", 0, true},
                                           KeyCase{"upper_case_quit_key", "Q", 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A 0 (one notice), then an extended code that is a quit code.
INSTANTIATE_TEST_SUITE_P(TwoCodeQuitKeys, ConsoleWindowKeys,
                         ::testing::Values(KeyCase{"Page_Down", "Next", 1, true},
                                           KeyCase{"Shift_Page_Down", "shift+Next", 1, true},
                                           // The keypad's Page Down with NumLock off (a new display
                                           // has it off), and Shift with keypad 3.
                                           KeyCase{"keypad_Page_Down", "KP_Next", 1, true},
                                           KeyCase{"Shift_keypad_3", "shift+KP_3", 1, true},
                                           KeyCase{"Shift_F5", "shift+F5", 1, true},
                                           KeyCase{"Ctrl_F8", "ctrl+F8", 1, true},
                                           KeyCase{"Alt_F10", "alt+F10", 1, true},
                                           // On Windows 0 then 0x78 'x', a quit code; Wine gives
                                           // Alt+digit the digit as its character, so here it is
                                           // one code, one notice, and the run goes on.
                                           KeyCase{"Alt_1_as_Wine_gives_it", "alt+1", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Keys come from the console itself, whatever standard input is.
TEST_F(ConsoleWindow, KeysWorkWithStandardInputFromNul) {
  Batch batch;
  batch.standard_input = " < NUL";
  ASSERT_NO_FATAL_FAILURE(start_run(batch));
  type("a F1 q");
  EXPECT_EQ(wineconsole_status(), 0);
  EXPECT_EQ(recorded_status(), 0);
  EXPECT_EQ(read_file(file("out.txt")), banner() + kEcho + notices(3));
  EXPECT_EQ(read_file(file("test.dat")), kRecords);
}

// The key reader changes the mode only while it reads; a mode other than the console's default
// shows that the one found is the one put back.
TEST_F(ConsoleWindow, InputModeAfterTheRunIsTheOneBefore) {
  constexpr unsigned kUserMode = 0x87;  // processed, line and echo input, extended flags
  Batch batch;
  batch.before = probe() + " mode " + std::to_string(kUserMode) + " > mode_before.txt\r\n";
  batch.after = probe() + " mode > mode_after.txt\r\n";
  ASSERT_NO_FATAL_FAILURE(start_run(batch));
  type("a F1 shift q");
  EXPECT_EQ(wineconsole_status(), 0);
  EXPECT_EQ(recorded_status(), 0);
  EXPECT_EQ(read_file(file("mode_before.txt")), std::to_string(kUserMode) + "\r\n");
  EXPECT_EQ(read_file(file("mode_after.txt")), std::to_string(kUserMode) + "\r\n");
  EXPECT_EQ(read_file(file("out.txt")), banner() + kEcho + notices(3));
}

// The port messages written to the console window itself read as the same Japanese text at any
// code page: the console converts the Shift_JIS bytes at 932, and gets the text as UTF-16 at any
// other. A port that is missing, and one that refuses its settings, give all three; the console
// buffer is read back by the helper, since the window's font has no Japanese glyphs to look at.
class ConsoleWindowCodePage : public ConsoleWindow, public ::testing::WithParamInterface<int> {};

TEST_P(ConsoleWindowCodePage, ThePortMessagesReadAsJapaneseText) {
  const std::string com6 = std::string(WINE_PREFIX_PATH) + "/dosdevices/com6";
  std::error_code ignored;
  std::filesystem::remove(com6, ignored);
  std::filesystem::create_symlink("/dev/null", com6);
  const std::string comlog = quoted_windows_path(COMLOG_EXE_PATH);
  const int status = run_batch("chcp " + std::to_string(GetParam()) + " > NUL\r\n" + comlog +
                               " 9\r\n" + comlog + " com6\r\n" + probe() +
                               " screen > screen.txt\r\n" + comlog + " 9 > file.txt 2> NUL\r\n");
  std::filesystem::remove(com6, ignored);
  EXPECT_EQ(status, 255);  // the last comlog.exe's
  std::vector<std::string> rows;
  const std::string screen = read_file(file("screen.txt"));
  for (size_t start = 0, end; (end = screen.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    rows.push_back(screen.substr(start, end - start));
  }
  for (const std::string& message : {port_not_opened_message("\\\\.\\COM9", PortText::kUtf8),
                                     port_opened_message("\\\\.\\COM6", PortText::kUtf8),
                                     settings_refused_message(PortText::kUtf8)}) {
    const std::string line = message.substr(0, message.size() - 2);
    EXPECT_NE(std::find(rows.begin(), rows.end(), line), rows.end())
        << "the console does not show " << line << ":\n"
        << screen;
  }
  // Into a file the bytes are Shift_JIS, whatever the console's code page.
  EXPECT_EQ(read_file(file("file.txt")), port_not_opened_message("\\\\.\\COM9"));
}

INSTANTIATE_TEST_SUITE_P(CodePages, ConsoleWindowCodePage, ::testing::Values(437, 932),
                         [](const auto& info) { return std::to_string(info.param); });

// Ctrl+C typed in the window: the console raises CTRL_C_EVENT for all its processes. cmd gives
// up the batch file on it, so the helper starts comlog.exe and records its status. Every record
// and the console output held for the file are written out.
TEST_F(ConsoleWindow, CtrlCTypedKeepsEverythingAndEndsAsInterrupted) {
  Batch batch;
  batch.status_by_helper = true;
  ASSERT_NO_FATAL_FAILURE(start_run(batch));
  type("ctrl+c");
  wineconsole_status();
  EXPECT_EQ(recorded_status(), kStatusControlCExit);
  EXPECT_EQ(read_file(file("out.txt")), banner() + kEcho);
  EXPECT_EQ(read_file(file("test.dat")), kRecords);
}

// Wine 8 raises nothing for Ctrl+Break typed in its window, closing the window ends the
// processes without a CTRL_CLOSE_EVENT, and a logoff or a shutdown never reaches a console
// program; the helper raises the event in comlog.exe the way Windows does, once the device's
// lines are in.
class ConsoleWindowEvent : public ConsoleWindow,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(ConsoleWindowEvent, KeepsEverythingAndEndsAsInterrupted) {
  Batch batch;
  batch.before = "start /b \"\" " + probe() + " event " + GetParam() + " go comlog.exe\r\n";
  ASSERT_NO_FATAL_FAILURE(start_run(batch));
  write_file(file("go"), "");
  EXPECT_EQ(wineconsole_status(), kInterruptedLowByte);
  EXPECT_EQ(recorded_status(), kStatusControlCExit);
  EXPECT_EQ(read_file(file("out.txt")), banner() + kEcho);
  EXPECT_EQ(read_file(file("test.dat")), kRecords);
}

INSTANTIATE_TEST_SUITE_P(ControlEvents, ConsoleWindowEvent,
                         ::testing::Values("break", "close", "logoff", "shutdown"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
