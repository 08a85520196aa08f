// The logger end to end on Linux: port messages and exit statuses, the echo and the bytes of
// test.dat, and the end of a run by an outside request.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "logger_fixture.h"

namespace {

const std::string kCom5 = "\\\\.\\COM5";

namespace fs = std::filesystem;

class Logger : public LoggerStage {
 protected:
  std::string kept() { return read_file(workspace_.cwd + "/test.dat.1"); }

  void start_logging() { LoggerStage::start_logging(logger_options()); }

  // Sends device bytes and waits for `echo` in what the console shows from now on.
  void send(const std::string& bytes, const std::string& echo) {
    write_all(device_.master, bytes);
    std::string shown;
    ASSERT_TRUE(read_until(terminal_.master, &shown, echo)) << shown;
    console_ += shown;
  }

  int end_with(int signal_number) {
    kill(child_.pid, signal_number);
    return wait_for_exit(child_.pid);
  }
};

TEST_F(Logger, AnnouncesThePortAndTheExecutable) {
  RunOptions options = comlog_options(workspace_, {"5"});
  options.command[0] = comlog_path();
  options.terminal = terminal_.slave_path;
  child_ = start(options);
  ASSERT_TRUE(read_until(terminal_.master, &console_, "\r\nrunning\r\n")) << console_;
  const std::string executable = std::filesystem::canonical(comlog_path()).string();
  EXPECT_EQ(console_, port_opened_message(kCom5) + "running " + executable + "\r\nrunning\r\n");
  EXPECT_TRUE(std::filesystem::exists(workspace_.cwd + "/test.dat"));
}

TEST_F(Logger, ArgumentZeroIsTheExecutableWhateverWasTyped) {
  const std::string alias = workspace_.root + "/typed-name";
  std::filesystem::create_symlink(comlog_path(), alias);
  RunOptions options = comlog_options(workspace_, {"5"});
  options.command[0] = alias;
  options.terminal = terminal_.slave_path;
  child_ = start(options);
  const std::string executable = std::filesystem::canonical(comlog_path()).string();
  EXPECT_TRUE(read_until(terminal_.master, &console_, "running " + executable + "\r\n"))
      << console_;
}

TEST_F(Logger, OneReadingEndToEnd) {
  start_logging();
  send("600\r\n", "600\r\r\n");
  EXPECT_EQ(console_, "600\r\r\n");
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  EXPECT_EQ(log(), "  88\r\n");
}

// Every run keeps the ones before: test.dat.1 the previous run, test.dat.2 the one before it, and
// so on. A file made read-only moves up with the others and stays as it was; a test.dat that is
// a link to a file elsewhere stays a link, and the generations are kept beside the file it names.
TEST_F(Logger, EveryEarlierRunIsKeptAndNothingIsOverwritten) {
  for (bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "test.dat a link to a file on a stick" : "test.dat in the folder");
    TearDown();
    SetUp();
    std::string file = workspace_.cwd + "/test.dat";
    if (linked) {
      fs::create_directory(workspace_.root + "/stick");
      hand_to_ordinary_user(workspace_.root + "/stick");
      file = workspace_.root + "/stick/run.dat";
      fs::create_symlink(file, workspace_.cwd + "/test.dat");
    }
    write_file(file, std::string(5000, '7'));
    write_file(file + ".1", "older\r\n");
    fs::permissions(file + ".1", fs::perms::owner_read | fs::perms::group_read);
    std::vector<std::string> runs = {"older\r\n", std::string(5000, '7')};
    for (int reading = 600; reading < 604; ++reading) {
      // Run again by habit, each time in a new terminal.
      close_pty(&terminal_);
      terminal_ = open_pty();
      start_logging();
      send(std::to_string(reading) + "\r\n", std::to_string(reading) + "\r\r\n");
      EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
      runs.push_back(expected_record(reading));
      for (size_t back = 0; back < runs.size(); ++back) {
        const std::string name = back == 0 ? file : file + "." + std::to_string(back);
        EXPECT_EQ(read_file(name), runs[runs.size() - 1 - back]) << name;
      }
      EXPECT_FALSE(fs::exists(file + "." + std::to_string(runs.size())));
      // test.csv beside test.dat, its earlier runs kept the same way.
      const std::string csv = workspace_.cwd + "/test.csv";
      for (int back = 0; back <= reading - 600; ++back) {
        const std::string name = back == 0 ? csv : csv + "." + std::to_string(back);
        const std::string row = "," + std::to_string(reading - back) + "," +
                                std::to_string(reading - back - 512) + "\r\n";
        EXPECT_NE(read_file(name).find(row), std::string::npos) << name;
      }
      EXPECT_EQ(fs::status(file + "." + std::to_string(runs.size() - 1)).permissions(),
                fs::perms::owner_read | fs::perms::group_read);
      EXPECT_EQ(fs::is_symlink(workspace_.cwd + "/test.dat"), linked);
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::status(file + ".2").permissions());
  }
}

// What is not a measurement with records is opened as it is, and nothing is kept.
TEST_F(Logger, AnEmptyTestDatOrALinkToADeviceIsOpenedAsItIs) {
  for (bool link : {false, true}) {
    SCOPED_TRACE(link ? "link to /dev/null" : "empty file");
    TearDown();
    SetUp();
    const std::string path = workspace_.cwd + "/test.dat";
    if (link) {
      fs::create_symlink("/dev/null", path);
    } else {
      write_file(path, "");
    }
    start_logging();
    send("600\r\n", "600\r\r\n");
    EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
    EXPECT_EQ(fs::is_symlink(path), link);
    EXPECT_EQ(log(), link ? "" : "  88\r\n");
    EXPECT_FALSE(fs::exists(workspace_.cwd + "/test.dat.1"));
  }
}

TEST_F(Logger, LinesAreCompletedAndLoggedAsTheyArrive) {
  start_logging();
  // One line split over several writes is one record once its newline arrives.
  write_all(device_.master, "6");
  wait_until_taken(device_);
  write_all(device_.master, "00\r");
  wait_until_taken(device_);
  send("\n", "600\r\r\n");
  // Every line of a read is echoed and logged.
  send("100\r\n200\r\n", "200\r\r\n");
  // The text behind the last newline of a read is the head of the next line.
  write_all(device_.master, "100\r\n20");
  wait_until_taken(device_);
  send("0\r\n", "200\r\r\n");
  // A line without a number logs the previous reading again.
  send("abc\r\n", "abc\r\r\n");
  send("\r\n", "\r\r\n");
  // Signs, prefixes and wrapping.
  send("+5\n-7\n", "-7\r\n");
  send("-7\n", "-7\r\n");
  send("0x1F\n", "0x1F\r\n");
  send("4294967295\n", "4294967295\r\n");
  // A percent sign is text like any other.
  send("%d%s\n", "%d%s\r\n");
  EXPECT_EQ(console_,
            "600\r\r\n100\r\r\n200\r\r\n100\r\r\n200\r\r\nabc\r\r\n\r\r\n+5\r\n-7\r\n-7\r\n"
            "0x1F\r\n4294967295\r\n%d%s\r\n");
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  EXPECT_EQ(log(),
            "  88\r\n"
            "-412\r\n"
            "-312\r\n"
            "-412\r\n"
            "-312\r\n"
            "-312\r\n"
            "-312\r\n"
            "-507\r\n"
            "-519\r\n"
            "-519\r\n"
            "-512\r\n"
            "-513\r\n"
            "-513\r\n");
}

// A device stream cut in two at every offset, each part in a read of its own: every line is
// echoed once and logged, whichever read completes it.
TEST_F(Logger, AStreamCutAtEveryOffsetLogsEveryLine) {
  start_logging();
  const std::string stream = "600\r\n-7\r\nabc\r\n12345\r\n";
  const std::string echo = "600\r\r\n-7\r\r\nabc\r\r\n12345\r\r\n";
  const std::string records =
      expected_record(600) + expected_record(-7) + expected_record(-7) + expected_record(12345);
  std::string expected_log;
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    write_all(device_.master, stream.substr(0, cut));
    wait_until_taken(device_);
    send(stream.substr(cut), "12345\r\r\n");
    expected_log += records;
  }
  std::string expected_console;
  for (size_t cut = 0; cut <= stream.size(); ++cut) expected_console += echo;
  EXPECT_EQ(console_, expected_console);
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  EXPECT_EQ(log(), expected_log);
}

TEST_F(Logger, ANulIsDroppedAndTheRestOfItsReadCounts) {
  start_logging();
  write_all(device_.master, std::string("12\0"
                                        "34\n56\0\n",
                                        10));
  wait_until_taken(device_);
  send("7\r\n", "7\r\r\n");
  EXPECT_EQ(console_, "1234\r\n56\r\n7\r\r\n");
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  EXPECT_EQ(log(), expected_record(1234) + expected_record(56) + expected_record(7));
}

TEST_F(Logger, AnOverlongLineNeitherOverflowsNorStalls) {
  start_logging();
  write_all(device_.master, std::string(5000, '9'));
  wait_until_taken(device_);
  // The line keeps its first 998 bytes and its newline; the line behind it is whole.
  send("\r\n700\r\n", "700\r\r\n");
  EXPECT_EQ(console_, std::string(998, '9') + "\r\n700\r\r\n");
  send("701\r\n", "701\r\r\n");
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  const std::string records = log();
  // The head of the long line is a huge number, wrapped like any other.
  int32_t head = 0;
  for (int i = 0; i < 998; ++i) head = int32_t(uint32_t(head) * 10u + 9u);
  EXPECT_EQ(records, expected_record(head) + expected_record(700) + expected_record(701));
}

// Every signal whose default ends the process is a request to end: the records are written, the
// terminal gets its settings back, and the process ends by that signal.
TEST_F(Logger, EveryRecordSurvivesAnOutsideEnd) {
  for (int signal_number :
       {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPWR, SIGXCPU, SIGVTALRM, SIGPROF,
        SIGALRM, SIGSTKFLT, SIGIO, SIGRTMIN, SIGRTMIN + 5, SIGRTMAX}) {
    SCOPED_TRACE(signal_number);
    TearDown();
    SetUp();
    termios before;
    ASSERT_EQ(tcgetattr(terminal_.master, &before), 0);
    start_logging();
    std::string expected;
    for (int i = 0; i < 150; ++i) {
      const std::string line = std::to_string(500 + i) + "\r\n";
      send(line, std::to_string(500 + i) + "\r\r\n");
      expected += expected_record(500 + i);
    }
    const int status = end_with(signal_number);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(log(), expected);
    termios after;
    ASSERT_EQ(tcgetattr(terminal_.master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the terminal was left in the key mode";
    EXPECT_EQ(after.c_iflag, before.c_iflag);
  }
}

// `comlog 5 | tee console.log`: what the pipe gets is there within a second of its line, however
// little it is, not only once 512 bytes have gathered or the run has ended.
TEST_F(Logger, EchoIntoAPipeComesWithinASecond) {
  RunOptions options = comlog_options(workspace_, {"5"});
  options.stdout_to_pipe = true;
  child_ = start(options);
  std::string shown;
  const std::string banner = port_opened_message(kCom5) + "running " +
                             std::filesystem::canonical(comlog_path()).string() + "\r\nrunning\r\n";
  ASSERT_TRUE(read_until(child_.output, &shown, banner)) << shown;
  for (int reading = 600; reading < 603; ++reading) {
    write_all(device_.master, std::to_string(reading) + "\r\n");
    ASSERT_TRUE(read_until(child_.output, &shown, std::to_string(reading) + "\r\r\n")) << shown;
  }
  EXPECT_EQ(shown, banner + "600\r\r\n601\r\r\n602\r\r\n");
  EXPECT_EQ(WTERMSIG(end_with(SIGTERM)), SIGTERM);
  EXPECT_EQ(log(), expected_records(600, 3));
}

// With --wait the loop rests between lines and keys, and wakes for each: the port's bytes, a key,
// the port going away and coming back, a request from outside. The terminal shows and test.dat
// holds what they would without it.
TEST_F(Logger, WithWaitEveryLineKeyAndRequestIsTakenAsWithoutIt) {
  for (const int ending : {0, SIGTERM}) {
    SCOPED_TRACE(ending == 0 ? "q" : "SIGTERM");
    TearDown();
    SetUp();
    RunOptions options = logger_options();
    options.command.insert(options.command.begin() + 1, "--wait");
    LoggerStage::start_logging(options);
    for (int i = 0; i < 40; ++i) {
      send(std::to_string(600 + i) + "\r\n", std::to_string(600 + i) + "\r\r\n");
    }
    write_all(terminal_.master, "a");
    std::string shown;
    ASSERT_TRUE(read_until(terminal_.master, &shown, "running\r\n")) << shown;
    // Unplugged while it rests, and plugged in again.
    close_pty(&device_);
    ASSERT_TRUE(read_until(terminal_.master, &shown, port_not_opened_message(kCom5))) << shown;
    plug_in_again();
    ASSERT_TRUE(read_until(terminal_.master, &shown, port_opened_message(kCom5))) << shown;
    for (int i = 40; i < 60; ++i) {
      send(std::to_string(600 + i) + "\r\n", std::to_string(600 + i) + "\r\r\n");
    }
    if (ending == 0) {
      write_all(terminal_.master, "q");
      const int status = wait_for_exit(child_.pid);
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), 0);
    } else {
      EXPECT_EQ(WTERMSIG(end_with(ending)), ending);
    }
    EXPECT_EQ(log(), expected_records(600, 60));
  }
}

TEST_F(Logger, HeldConsoleOutputReachesAPipeAtAnOutsideEnd) {
  RunOptions options = comlog_options(workspace_, {"5"});
  options.stdout_to_pipe = true;
  child_ = start(options);
  // Fewer than 512 bytes in all, the last of them held at the end. The port is fed blind,
  // so the purge at start may take the first lines; echo and log must agree on the rest.
  for (int i = 0; i < 30; ++i) {
    write_all(device_.master, "600\r\n");
    wait_until_taken(device_);
  }
  kill(child_.pid, SIGTERM);
  const std::string output = read_to_end(child_.output);
  const int status = wait_for_exit(child_.pid);
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  const std::string banner = port_opened_message(kCom5) + "running " +
                             std::filesystem::canonical(comlog_path()).string() + "\r\nrunning\r\n";
  ASSERT_EQ(output.substr(0, banner.size()), banner);
  const std::string echo = output.substr(banner.size());
  ASSERT_FALSE(echo.empty());
  EXPECT_EQ(echo.size() % 6, 0u) << echo;
  EXPECT_EQ(echo.substr(echo.size() - 6), "600\r\r\n");
  EXPECT_EQ(log().size(), echo.size());
}

struct FailureCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string link_target;  // for COM5; empty: no link
  std::string expected_output;
  int expected_status;
};

void PrintTo(const FailureCase& failure, std::ostream* out) {
  *out << failure.name;
}

class LoggerFailure : public Logger, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LoggerFailure, ReportsAndEndsWithTheStatus) {
  const FailureCase& failure = GetParam();
  std::filesystem::remove(workspace_.ports + "/com5");
  if (!failure.link_target.empty()) link_port(workspace_, 5, failure.link_target);
  std::ofstream(workspace_.cwd + "/test.dat") << "old records\n";
  RunOptions options = comlog_options(workspace_, failure.arguments);
  options.stdout_to_pipe = true;
  child_ = start(options);
  EXPECT_EQ(read_to_end(child_.output), failure.expected_output);
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), failure.expected_status);
  EXPECT_EQ(log(), "old records\n");
  EXPECT_FALSE(fs::exists(workspace_.cwd + "/test.dat.1"));
}

INSTANTIATE_TEST_SUITE_P(
    PortTable, LoggerFailure,
    ::testing::Values(
        FailureCase{"missing", {"5"}, "", port_not_opened_message(kCom5), 255},
        FailureCase{"default_port", {}, "", port_not_opened_message("\\\\.\\COM3"), 255},
        FailureCase{"letters", {"COM5"}, "", port_not_opened_message("\\\\.\\COM0"), 255},
        FailureCase{"negative", {"-1"}, "", port_not_opened_message("\\\\.\\COM-1"), 255},
        FailureCase{"dangling", {"5"}, "/nonexistent/tty", port_not_opened_message(kCom5), 255},
        FailureCase{"not_a_terminal",
                    {"5"},
                    "/dev/null",
                    port_opened_message(kCom5) + kSettingsRefusedMessage,
                    255},
        // The device file itself, named as given.
        FailureCase{"device_file_missing",
                    {"/nonexistent/ttyUSB0"},
                    "",
                    port_not_opened_message("/nonexistent/ttyUSB0"),
                    255},
        FailureCase{"device_file_not_a_terminal",
                    {"/dev/null", "5"},
                    "",
                    port_opened_message("/dev/null") + kSettingsRefusedMessage,
                    255},
        // Only a path from the root is a device file: anything else is a number or COM0.
        FailureCase{
            "relative_path", {"dev/ttyUSB0"}, "", port_not_opened_message("\\\\.\\COM0"), 255}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Logger, APortHeldByAnotherProgramCannotBeOpened) {
  const int holder = open(device_.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  RunOptions options = comlog_options(workspace_, {"5"});
  options.stdout_to_pipe = true;
  options.stderr_to_pipe = true;
  child_ = start(options);
  EXPECT_EQ(read_to_end(child_.output), port_not_opened_message(kCom5));
  EXPECT_EQ(read_to_end(child_.errors),
            "comlog: " + workspace_.ports + "/com5: busy: another program has the port open\n");
  close(child_.errors);
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 255);
  close(holder);
}

// Standard output keeps its messages; standard error says why, in the system's words, with what
// to do about a port that the user may not open, and how to name a port.
TEST_F(Logger, APortThatCannotBeOpenedSaysWhyOnStandardError) {
  const std::string usage =
      "usage: comlog [--wait] [PORT]   PORT is the number of the COM port (1 and up), 3 when none "
      "is given,\n                                or its device file (comlog /dev/ttyUSB0)\n"
      "       --wait rests until the port or a key has something, instead of keeping a core busy\n";
  // The longest path the system takes (4095 bytes), and one byte more.
  std::string longest = "/nonexistent";
  while (longest.size() + 100 <= 4095) longest += "/" + std::string(99, 'd');
  longest += "/" + std::string(4095 - longest.size() - 1, 't');
  const std::string too_long = longest + "0";
  // A link of /dev/serial/by-id that outlived its adapter.
  const std::string gone = workspace_.root + "/usb-gone-if00-port0";
  fs::create_symlink("/nonexistent/ttyUSB9", gone);
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    bool ports_folder;  // COMLOG_PORTS set; otherwise COM n is /dev/ttyS<n-1>
    std::string output;
    std::string errors;
  } cases[] = {
      {"a port that does not exist",
       {"99"},
       false,
       port_not_opened_message("\\\\.\\COM99"),
       "comlog: /dev/ttyS98: No such file or directory\n"},
      {"letters",
       {"abc"},
       true,
       port_not_opened_message("\\\\.\\COM0"),
       "comlog: there is no COM0: the ports are numbered from 1\n" + usage},
      {"an option",
       {"--help"},
       true,
       port_not_opened_message("\\\\.\\COM0"),
       "comlog: there is no COM0: the ports are numbered from 1\n" + usage},
      {"no link in the ports folder",
       {"7"},
       true,
       port_not_opened_message("\\\\.\\COM7"),
       "comlog: " + workspace_.ports + "/com7: No such file or directory\n"},
      {"a device file that does not exist",
       {workspace_.root + "/ttyUSB0"},
       true,
       port_not_opened_message(workspace_.root + "/ttyUSB0"),
       "comlog: " + workspace_.root + "/ttyUSB0: No such file or directory\n"},
      {"a link to a device that has gone",
       {gone},
       true,
       port_not_opened_message(gone),
       "comlog: " + gone + ": No such file or directory\n"},
      {"a device file of the longest name",
       {longest},
       false,
       port_not_opened_message(longest),
       "comlog: " + longest + ": No such file or directory\n"},
      {"a device file whose name is too long",
       {too_long},
       false,
       port_not_opened_message(too_long),
       "comlog: the device file's name has 4096 bytes; a path has at most 4095\n"},
      {"a relative name",
       {"ttyUSB0"},
       false,
       port_not_opened_message("\\\\.\\COM0"),
       "comlog: there is no COM0: the ports are numbered from 1\n" + usage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunOptions options = comlog_options(workspace_, c.arguments);
    if (!c.ports_folder) options.environment.clear();
    options.stdout_to_pipe = true;
    options.stderr_to_pipe = true;
    const Child child = start(options);
    EXPECT_EQ(read_to_end(child.output), c.output);
    EXPECT_EQ(read_to_end(child.errors), c.errors);
    close(child.output);
    close(child.errors);
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(child.pid)), 255);
  }
}

TEST_F(Logger, AUserWhoMayNotOpenThePortIsToldWhichGroupToJoin) {
  if (!tests_run_as_root()) GTEST_SKIP() << "needs root to give the port to another owner";
  const group* dialout = getgrgid(20);
  ASSERT_NE(dialout, nullptr);
  const std::string denied = "comlog: " + workspace_.ports + "/com5: Permission denied";
  const struct {
    gid_t group;
    mode_t mode;
    std::string errors;
  } cases[] = {
      // A serial port as Debian has it: root's, read and write for its group only.
      {20, 0660,
       denied + " (the port is for the group " + dialout->gr_name + ": sudo adduser nobody " +
           dialout->gr_name + ", then log in again)\n"},
      // Root's alone: no group to join.
      {0, 0600, denied + " (only its owner may open it)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(chown(device_.slave_path.c_str(), 0, c.group), 0);
    ASSERT_EQ(chmod(device_.slave_path.c_str(), c.mode), 0);
    RunOptions options = comlog_options(workspace_, {"5"});
    options.stdout_to_pipe = true;
    options.stderr_to_pipe = true;
    const Child child = start(options);
    EXPECT_EQ(read_to_end(child.output), port_not_opened_message(kCom5));
    EXPECT_EQ(read_to_end(child.errors), c.errors);
    close(child.output);
    close(child.errors);
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(child.pid)), 255);
  }
}

// However each of the two names the port: its number or its device file.
TEST_F(Logger, ASecondLoggerOnTheSamePortIsRefused) {
  const struct {
    PortNaming first;
    bool second_by_device_file;  // otherwise " 5 and more", which is COM5
  } cases[] = {
      {PortNaming::kComNumber, false},
      {PortNaming::kComNumber, true},
      {PortNaming::kDeviceFile, false},
      {PortNaming::kDeviceLink, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(naming_name(c.first) + (c.second_by_device_file ? ", then the device file" : ""));
    TearDown();
    SetUp();
    name_port(c.first);
    start_logging();
    const std::string second_port = c.second_by_device_file ? device_.slave_path : " 5 and more";
    RunOptions options = comlog_options(workspace_, {second_port, "7"});
    options.stdout_to_pipe = true;
    const Child second = start(options);
    EXPECT_EQ(read_to_end(second.output),
              port_not_opened_message(c.second_by_device_file ? device_.slave_path : kCom5));
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(second.pid)), 255);
    close(second.output);
  }
}

// An operator at a terminal is told on standard error where the records go and how the run ends,
// and at the end what test.dat holds; standard output into a file, with standard error a pipe,
// gets neither word, and neither does the pipe.
TEST_F(Logger, AnOperatorAtATerminalIsToldWhereTheRecordsGoAndWhatTheyCameTo) {
  const std::string path = fs::canonical(workspace_.cwd).string() + "/test.dat";
  write_file(path, expected_record(599));
  RunOptions options = logger_options();
  options.errors_to_terminal = true;
  child_ = start(options);
  ASSERT_TRUE(read_until(terminal_.master, &console_, "ends the run\n")) << console_;
  const std::string banner = "running " + fs::canonical(comlog_path()).string() + "\r\nrunning\r\n";
  EXPECT_EQ(console_, port_opened_message(kCom5) + banner + "comlog: logging into " + path +
                          " and test.csv (the previous run is test.dat.1); q, "
                          "e or x ends the run\n");
  console_.clear();
  send("600\r\n601\r\n", "601\r\r\n");
  write_all(terminal_.master, "q");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  EXPECT_EQ(console_ + read_to_end(terminal_.master),
            "600\r\r\n601\r\r\ncomlog: test.dat holds 2 records: " + path + "\n");

  const std::string into = workspace_.root + "/console";
  write_file(into, "");
  options.output_path = into;
  options.stderr_to_pipe = true;
  child_ = start(options);
  // Logging once this run has kept the one before: a file gets its text only at the end.
  ASSERT_TRUE(wait_until([&] { return fs::exists(path + ".2"); }));
  send_readings(600, 2);
  write_all(terminal_.master, "q");
  EXPECT_EQ(read_to_end(child_.errors), "");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  const std::string output = read_file(into);
  EXPECT_EQ(output.substr(output.size() - 23), "\r\nrunning\r\n600\r\r\n601\r\r\n");
}

// The milliseconds since 1970 of a row's time, "2026-12-09T18:30:01.234+09:00", and its offset's
// text; -1 when it is not such a time.
int64_t time_of_row(const std::string& row, std::string* offset) {
  tm local = {};
  int milliseconds = 0;
  char sign = 0;
  int hours = 0, minutes = 0;
  if (row.size() < 29 ||
      std::sscanf(row.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c%2d:%2d", &local.tm_year,
                  &local.tm_mon, &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec,
                  &milliseconds, &sign, &hours, &minutes) != 10) {
    return -1;
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  *offset = row.substr(23, 6);
  const int64_t offset_s = (sign == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  return (int64_t(timegm(&local)) - offset_s) * 1000 + milliseconds;
}

int64_t wall_ms() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// test.csv has a row for every record of test.dat, in order: the local time at which its line
// came, in the zone that TZ names (a POSIX rule, so that no zone database is needed), the reading
// and the value. It is on disk within a second, as test.dat is.
TEST_F(Logger, EveryRecordHasItsRowInTestCsvWithTheTimeItsLineCame) {
  RunOptions options = logger_options();
  options.environment.push_back("TZ=JST-9");
  LoggerStage::start_logging(options);
  std::vector<std::pair<int64_t, int64_t>> sent;  // between these, each line came
  for (int reading = 600; reading < 620; ++reading) {
    const int64_t before = wall_ms();
    send(std::to_string(reading) + "\r\n", std::to_string(reading) + "\r\r\n");
    sent.emplace_back(before, wall_ms());
  }
  const std::string csv_path = workspace_.cwd + "/test.csv";
  const auto rows_of = [](const std::string& csv) {
    std::vector<std::string> rows;
    for (size_t start = 0, end; (end = csv.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      rows.push_back(csv.substr(start, end - start));
    }
    return rows;
  };
  ASSERT_TRUE(wait_until([&] { return rows_of(read_file(csv_path)).size() == 21; }))
      << read_file(csv_path);
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  const std::vector<std::string> rows = rows_of(read_file(csv_path));
  ASSERT_EQ(rows.size(), 21u);
  EXPECT_EQ(rows[0], "time,reading,value");
  EXPECT_EQ(log(), expected_records(600, 20));
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(rows[i + 1]);
    std::string offset;
    const int64_t at = time_of_row(rows[i + 1], &offset);
    EXPECT_EQ(offset, "+09:00");
    EXPECT_GE(at, sent[i].first);
    EXPECT_LE(at, sent[i].second);
    const int reading = 600 + int(i);
    EXPECT_EQ(rows[i + 1].substr(29),
              "," + std::to_string(reading) + "," + std::to_string(reading - 512));
  }
  // The next run keeps it beside test.dat.1, and a test.csv made read-only is kept as it is: the
  // run goes on without the times and says so once.
  close_pty(&terminal_);
  terminal_ = open_pty();
  write_file(csv_path, "mine\r\n");
  ASSERT_EQ(chmod(csv_path.c_str(), 0444), 0);
  options.stderr_to_pipe = true;
  LoggerStage::start_logging(options);
  send("700\r\n", "700\r\r\n");
  write_all(terminal_.master, "q");
  EXPECT_EQ(read_to_end(child_.errors), "comlog: " + fs::canonical(workspace_.cwd).string() +
                                            "/test.csv: it is read-only, and kept as it is: the "
                                            "run goes on without the times in test.csv\n");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  EXPECT_EQ(log(), expected_record(700));
  EXPECT_EQ(read_file(csv_path), "mine\r\n");
  EXPECT_FALSE(fs::exists(csv_path + ".1"));
}

// A record reaches the disk within a second of its line, so that a kill that no program can
// answer (kill -9, a power cut, the out-of-memory killer) costs at most the last second.
TEST_F(Logger, ARecordIsOnDiskWithinASecondWhateverEndsTheRun) {
  start_logging();
  const SentLines lines = sent_lines(600, 60);
  for (int reading = 600; reading < 660; ++reading) {
    send(std::to_string(reading) + "\r\n", std::to_string(reading) + "\r\r\n");
  }
  EXPECT_TRUE(wait_until([&] { return log() == lines.records; })) << log();
  EXPECT_EQ(end_with(SIGKILL) & 0x7f, SIGKILL);
  EXPECT_EQ(log(), lines.records);
}

// Two devices logged by two loggers started in one folder: the second is refused before it
// changes any file, and says who has test.dat; the first logs on, and others still read it.
TEST_F(Logger, ASecondLoggerInTheSameFolderIsRefusedAndChangesNothing) {
  start_logging();
  send("600\r\n", "600\r\r\n");
  Pty second_device = open_pty();
  link_port(workspace_, 6, second_device.slave_path);
  RunOptions options = comlog_options(workspace_, {"6"});
  options.stdout_to_pipe = true;
  options.stderr_to_pipe = true;
  const Child second = start(options);
  const std::string output = read_to_end(second.output);
  EXPECT_EQ(output.substr(0, port_opened_message("\\\\.\\COM6").size()),
            port_opened_message("\\\\.\\COM6"));
  const std::string ending = "\r\ncannot open test.dat\r\n";
  ASSERT_GE(output.size(), ending.size());
  EXPECT_EQ(output.substr(output.size() - ending.size()), ending);
  EXPECT_EQ(read_to_end(second.errors),
            "comlog: " + fs::canonical(workspace_.cwd).string() +
                "/test.dat: another comlog is logging into it (process " +
                std::to_string(child_.pid) + ")\n");
  close(second.output);
  close(second.errors);
  const int status = wait_for_exit(second.pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  close_pty(&second_device);
  EXPECT_FALSE(fs::exists(workspace_.cwd + "/test.dat.1"));
  send("601\r\n", "601\r\r\n");
  EXPECT_TRUE(wait_until([&] { return log() == expected_records(600, 2); })) << log();
  EXPECT_EQ(end_with(SIGTERM) & 0x7f, SIGTERM);
  EXPECT_EQ(log(), expected_records(600, 2));
}

// Where standard output goes.
enum class Console { kTerminal, kFile, kPipe };

struct LocaleCase {
  const char* name;
  std::vector<std::string> locale;  // the locale's variables the logger gets, and no others
  Console console;
  PortText text;  // what the port messages are written in
};

void PrintTo(const LocaleCase& c, std::ostream* out) {
  *out << c.name;
}

class PortMessages : public Logger, public ::testing::WithParamInterface<LocaleCase> {
 protected:
  // The logger with `arguments`, in the case's locale, its standard output where the case says.
  RunOptions options_for(const std::vector<std::string>& arguments) {
    RunOptions options = comlog_options(workspace_, arguments);
    options.locale = GetParam().locale;
    // A terminal of its own each run, the keys' terminal and, for kTerminal, the console too.
    close_pty(&terminal_);
    terminal_ = open_pty();
    options.terminal = terminal_.slave_path;
    options.stderr_to_pipe = true;
    if (GetParam().console == Console::kFile) {
      write_file(console_file(), "");
      options.output_path = console_file();
    } else if (GetParam().console == Console::kPipe) {
      options.stdout_to_pipe = true;
    }
    return options;
  }
  std::string console_file() const { return workspace_.root + "/console"; }

  // Everything standard output got, once the logger has ended, and the wait status.
  std::string output_to_the_end(int* status) {
    std::string output;
    if (GetParam().console == Console::kTerminal) {
      output = console_ + read_to_end(terminal_.master);
    } else if (GetParam().console == Console::kPipe) {
      output = read_to_end(child_.output);
    }
    *status = wait_for_exit(child_.pid);
    if (GetParam().console == Console::kFile) output = read_file(console_file());
    close(child_.errors);
    if (child_.output >= 0) close(child_.output);
    child_ = Child();
    console_.clear();
    return output;
  }
};

// The three port messages are the same Japanese text, in UTF-8 only where standard output is a
// terminal and the locale's character set is UTF-8 (LC_ALL before LC_CTYPE before LANG); the
// device's text and the logger's own words are never converted.
TEST_P(PortMessages, AreUtf8OnlyOnATerminalOfAUtf8Locale) {
  const LocaleCase& c = GetParam();
  link_port(workspace_, 6, "/dev/null");
  // A port that is missing.
  child_ = start(options_for({"7"}));
  int status = 0;
  EXPECT_EQ(output_to_the_end(&status), port_not_opened_message("\\\\.\\COM7", c.text));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  // A port that refuses its settings.
  child_ = start(options_for({"6"}));
  EXPECT_EQ(output_to_the_end(&status),
            port_opened_message("\\\\.\\COM6", c.text) + settings_refused_message(c.text));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  // A port that logs text in Shift_JIS and in UTF-8, then goes away.
  child_ = start(options_for({"5"}));
  if (c.console == Console::kTerminal) {
    ASSERT_TRUE(read_until(terminal_.master, &console_, "\r\nrunning\r\n")) << console_;
  } else {
    ASSERT_TRUE(wait_for_log_file());
  }
  write_all(device_.master, "\x83\x7C 600\r\n\xE3\x83\x9D 601\r\n");
  wait_until_taken(device_);
  close_pty(&device_);
  // The records go to disk as the port goes: its message has been written (or held) by then.
  ASSERT_TRUE(wait_until([&] { return log() == expected_record(0) + expected_record(0); }))
      << log();
  if (c.console == Console::kTerminal) {
    ASSERT_TRUE(read_until(terminal_.master, &console_, port_not_opened_message(kCom5, c.text)))
        << console_;
  }
  kill(child_.pid, SIGTERM);
  EXPECT_EQ(output_to_the_end(&status), port_opened_message(kCom5, c.text) + "running " +
                                            fs::canonical(comlog_path()).string() +
                                            "\r\nrunning\r\n" +
                                            "\x83\x7C 600\r\r\n\xE3\x83\x9D 601\r\r\n" +
                                            port_not_opened_message(kCom5, c.text));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, PortMessages,
    ::testing::Values(
        LocaleCase{"utf8_terminal",
                   {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"},
                   Console::kTerminal,
                   PortText::kUtf8},
        LocaleCase{
            "utf8_file", {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"}, Console::kFile, PortText::kShiftJis},
        LocaleCase{
            "utf8_pipe", {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"}, Console::kPipe, PortText::kShiftJis},
        LocaleCase{"c_terminal", {"LANG=C", "LC_ALL=C"}, Console::kTerminal, PortText::kShiftJis},
        LocaleCase{"c_file", {"LANG=C", "LC_ALL=C"}, Console::kFile, PortText::kShiftJis},
        LocaleCase{"no_locale_terminal", {}, Console::kTerminal, PortText::kShiftJis},
        LocaleCase{"lang_terminal", {"LANG=C.UTF-8"}, Console::kTerminal, PortText::kUtf8},
        LocaleCase{"lc_all_before_lang",
                   {"LANG=C.UTF-8", "LC_ALL=C"},
                   Console::kTerminal,
                   PortText::kShiftJis},
        LocaleCase{"lc_ctype_before_lang",
                   {"LANG=C", "LC_CTYPE=C.UTF-8"},
                   Console::kTerminal,
                   PortText::kUtf8},
        LocaleCase{"lc_all_before_lc_ctype",
                   {"LC_CTYPE=C.UTF-8", "LC_ALL=C"},
                   Console::kTerminal,
                   PortText::kShiftJis},
        LocaleCase{"only_lc_ctype_counts",
                   {"LANG=C", "LC_MESSAGES=C.UTF-8"},
                   Console::kTerminal,
                   PortText::kShiftJis},
        // The name says what the terminal reads, also where the machine lacks the locale's data.
        LocaleCase{
            "not_installed_terminal", {"LANG=xx_XX.UTF-8"}, Console::kTerminal, PortText::kUtf8},
        LocaleCase{"utf8_with_a_modifier_terminal",
                   {"LANG=de_DE.utf8@euro"},
                   Console::kTerminal,
                   PortText::kUtf8},
        LocaleCase{"another_character_set_terminal",
                   {"LANG=ja_JP.eucJP"},
                   Console::kTerminal,
                   PortText::kShiftJis}),
    [](const auto& info) { return std::string(info.param.name); });

// What stands in the way of test.dat.
enum class Obstacle {
  kDirectory,         // test.dat is a directory
  kReadOnly,          // an earlier measurement with no write permission bit at all
  kSomeoneElses,      // an earlier measurement that the user may not write
  kKeptIsADirectory,  // test.dat.1, where an earlier measurement would be kept, is a folder
  kFolderIsRoots,     // the working folder is root's: no new test.dat can be made in it
};

struct UnwritableLogCase {
  const char* name;
  Obstacle obstacle;
  bool as_ordinary_user;  // otherwise as whoever runs the tests (root in CI, as with sudo)
};

void PrintTo(const UnwritableLogCase& c, std::ostream* out) {
  *out << c.name;
}

class UnwritableLog : public Logger, public ::testing::WithParamInterface<UnwritableLogCase> {};

TEST_P(UnwritableLog, EndsWithStatusOneAndLeavesTheFilesAsTheyWere) {
  const UnwritableLogCase& c = GetParam();
  const bool roots =
      c.obstacle == Obstacle::kSomeoneElses || c.obstacle == Obstacle::kFolderIsRoots;
  if ((!c.as_ordinary_user || roots) && !tests_run_as_root()) {
    GTEST_SKIP() << "needs root: to write regardless of permission bits, or to own the file";
  }
  const std::string path = workspace_.cwd + "/test.dat";
  const std::string kept_path = path + ".1";
  if (c.obstacle == Obstacle::kDirectory) {
    fs::create_directory(path);
  } else {
    write_file(path, "  88\r\n");
  }
  if (c.obstacle == Obstacle::kReadOnly) {
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  } else if (c.obstacle == Obstacle::kSomeoneElses) {
    // Root's, in a folder that the user may write.
    ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  } else if (c.obstacle == Obstacle::kKeptIsADirectory) {
    fs::create_directory(kept_path);
    write_file(kept_path + "/inside", "x");
  } else if (c.obstacle == Obstacle::kFolderIsRoots) {
    ASSERT_EQ(chown(workspace_.cwd.c_str(), 0, 0), 0);
  }
  RunOptions options = comlog_options(workspace_, {"5"});
  options.as_ordinary_user = c.as_ordinary_user;
  options.stdout_to_pipe = true;
  options.stderr_to_pipe = true;
  child_ = start(options);
  // Standard error says what stands in the way, naming the file or the folder.
  const std::string cwd = fs::canonical(workspace_.cwd).string();
  const std::string why = c.obstacle == Obstacle::kDirectory ? path + ": Is a directory"
                          : c.obstacle == Obstacle::kReadOnly
                              ? path + ": it is read-only, and kept as it is"
                          : c.obstacle == Obstacle::kSomeoneElses ? path + ": Permission denied"
                          : c.obstacle == Obstacle::kKeptIsADirectory
                              ? kept_path +
                                    " is a folder: the earlier measurements "
                                    "cannot be kept"
                              : "cannot make a new file in " + cwd + ": Permission denied";
  EXPECT_EQ(read_to_end(child_.errors), "comlog: " + why + "\n");
  close(child_.errors);
  const std::string output = read_to_end(child_.output);
  const std::string ending = "\r\ncannot open test.dat\r\n";
  ASSERT_GE(output.size(), ending.size());
  EXPECT_EQ(output.substr(output.size() - ending.size()), ending);
  EXPECT_EQ(output.substr(0, port_opened_message(kCom5).size()), port_opened_message(kCom5));
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  if (c.obstacle != Obstacle::kDirectory) {
    EXPECT_EQ(log(), "  88\r\n");
  }
  EXPECT_EQ(fs::is_directory(kept_path), c.obstacle == Obstacle::kKeptIsADirectory);
  EXPECT_EQ(fs::exists(kept_path), c.obstacle == Obstacle::kKeptIsADirectory);
  // Nothing was left behind in the working folder.
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(workspace_.cwd)) entries += entry.exists();
  EXPECT_EQ(entries, c.obstacle == Obstacle::kKeptIsADirectory ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    TestDat, UnwritableLog,
    ::testing::Values(
        UnwritableLogCase{"directory", Obstacle::kDirectory, true},
        UnwritableLogCase{"read_only_file", Obstacle::kReadOnly, true},
        UnwritableLogCase{"read_only_file_as_root", Obstacle::kReadOnly, false},
        UnwritableLogCase{"someone_elses_file", Obstacle::kSomeoneElses, true},
        UnwritableLogCase{"kept_file_cannot_be_replaced", Obstacle::kKeptIsADirectory, true},
        UnwritableLogCase{"folder_the_user_may_not_write", Obstacle::kFolderIsRoots, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
