// The logger end to end on Linux: port messages and exit statuses, the echo and the bytes of
// test.dat, and the end of a run by an outside request.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

// The help and the version on standard output, as they are, and status 0; nothing else is opened
// or made, whatever the terminal.
TEST_F(Logger, TheHelpAndTheVersionAreWrittenAndNothingElseIsDone) {
  const struct {
    const char* argument;
    std::string start;  // of the output
    std::string line;   // a line of it
  } cases[] = {
      {"--help", "usage: comlog [OPTION] [PORT]\n",
       "  PORT          or the port's device file, from /: /dev/ttyUSB0\n"},
      {"-h", "usage: comlog [OPTION] [PORT]\n", "  --version     prints the version\n"},
      {"--version", std::string("comlog ") + COMLOG_VERSION + "\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    RunOptions options = comlog_options(workspace_, {c.argument, "5"});
    options.terminal = terminal_.slave_path;
    options.stdout_to_pipe = true;
    options.stderr_to_pipe = true;
    const Child child = start(options);
    const std::string output = read_to_end(child.output);
    EXPECT_EQ(output.rfind(c.start, 0), 0u) << output;
    EXPECT_NE(output.find(c.line), std::string::npos) << output;
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
    EXPECT_EQ(read_to_end(child.errors), "");
    close(child.output);
    close(child.errors);
    EXPECT_EQ(wait_for_exit(child.pid), 0);
    EXPECT_TRUE(fs::is_empty(workspace_.cwd));
    // The device's port was never opened, so it was never set to 115200 baud.
    termios line;
    ASSERT_EQ(tcgetattr(device_.slave, &line), 0);
    EXPECT_NE(cfgetospeed(&line), speed_t(B115200));
  }
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

// test.dat.N and test.csv.N are always the same run: a run decides once whether the run before is
// kept, and both files follow, whether a run logged records or none.
TEST_F(Logger, TheFilesOfARunShareTheirNumber) {
  const std::string dat = workspace_.cwd + "/test.dat";
  const std::string csv = workspace_.cwd + "/test.csv";
  // The rows of test.csv (its header aside) and the records of test.dat under one number.
  const auto lines = [](const std::string& path) {
    const std::string text = read_file(path);
    const size_t count = size_t(std::count(text.begin(), text.end(), '\n'));
    return path.find(".csv") == std::string::npos || count == 0 ? count : count - 1;
  };
  std::vector<int> runs;  // the records of each run, the latest last
  for (int records : {5, 0, 0, 2}) {
    close_pty(&terminal_);
    terminal_ = open_pty();
    start_logging();
    for (int i = 0; i < records; ++i) {
      send(std::to_string(600 + i) + "\r\n", std::to_string(600 + i) + "\r\r\n");
    }
    write_all(terminal_.master, "q");
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
    child_ = Child();
    // A run that logged nothing leaves both files empty, and the next one takes them as they are.
    if (runs.empty() || runs.back() != 0)
      runs.push_back(records);
    else
      runs.back() = records;
    for (size_t back = 0; back < runs.size(); ++back) {
      const std::string suffix = back == 0 ? "" : "." + std::to_string(back);
      SCOPED_TRACE("generation " + std::to_string(back));
      EXPECT_EQ(lines(dat + suffix), size_t(runs[runs.size() - 1 - back]));
      EXPECT_EQ(lines(csv + suffix), size_t(runs[runs.size() - 1 - back]));
    }
    EXPECT_FALSE(fs::exists(dat + "." + std::to_string(runs.size())));
    EXPECT_FALSE(fs::exists(csv + "." + std::to_string(runs.size())));
  }
}

// What may be written stays writable whatever else stands by: a reader's lock on test.dat, a
// FIFO that a program reads, an empty file that an interrupted start left; a link of another
// user's at test.csv costs the times only, and leads nowhere.
TEST_F(Logger, WhatStandsAtTheNamesIsTakenOnlyWhereItMayBe) {
  struct TakenCase {
    const char* name;
    bool needs_root;
    std::function<void()> arrange;
    std::string errors;  // after "comlog: <cwd>/"
    std::function<void()> check;
  };
  int held = -1;  // the other program's descriptor
  const std::string dat = "/test.dat";
  const TakenCase cases[] = {
      {"a reader holds a lock on the earlier run", false,
       [&] {
         write_file(workspace_.cwd + dat, "old\r\n");
         hand_to_ordinary_user(workspace_.cwd + dat);
         held = open((workspace_.cwd + dat).c_str(), O_RDONLY | O_CLOEXEC);
         ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
       },
       "",
       [&] {
         EXPECT_EQ(kept(), "old\r\n");
         EXPECT_EQ(log(), expected_record(600));
       }},
      {"an interrupted start left an empty new file", false,
       [&] {
         for (const std::string& name : {dat, dat + ".new"}) {
           write_file(workspace_.cwd + name, name == dat ? "old\r\n" : "");
           hand_to_ordinary_user(workspace_.cwd + name);
         }
       },
       "",
       [&] {
         EXPECT_EQ(kept(), "old\r\n");
         EXPECT_EQ(log(), expected_record(600));
         EXPECT_FALSE(fs::exists(workspace_.cwd + dat + ".new"));
       }},
      {"a FIFO that a program reads", false,
       [&] {
         ASSERT_EQ(mkfifo((workspace_.cwd + dat).c_str(), 0666), 0);
         hand_to_ordinary_user(workspace_.cwd + dat);
         held = open((workspace_.cwd + dat).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
       },
       "", [&] { EXPECT_EQ(read_to_end(held), expected_record(600)); }},
      {"another user's link at test.csv in a sticky folder", true,
       [&] {
         write_file(workspace_.root + "/victim", "root's\n");
         ASSERT_EQ(chown(workspace_.cwd.c_str(), 0, 0), 0);
         fs::permissions(workspace_.cwd, fs::perms::all | fs::perms::sticky_bit);
         const std::string link = workspace_.cwd + "/test.csv";
         fs::create_symlink(workspace_.root + "/victim", link);
         ASSERT_EQ(lchown(link.c_str(), kOrdinaryUser, kOrdinaryGroup), 0);
       },
       "test.csv: a link of user 65534 in a sticky folder that others may write: not followed: "
       "the run goes on without the times in test.csv\n",
       [&] {
         EXPECT_EQ(log(), expected_record(600));
         EXPECT_EQ(read_file(workspace_.root + "/victim"), "root's\n");
         EXPECT_FALSE(fs::exists(workspace_.root + "/victim.1"));
         EXPECT_TRUE(fs::is_symlink(workspace_.cwd + "/test.csv"));
       }},
  };
  for (const TakenCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.needs_root && !tests_run_as_root()) continue;
    c.arrange();
    RunOptions options = logger_options();
    options.as_ordinary_user = !c.needs_root;
    options.stderr_to_pipe = true;
    LoggerStage::start_logging(options);
    send("600\r\n", "600\r\r\n");
    write_all(terminal_.master, "q");
    const std::string errors = read_to_end(child_.errors);
    EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
    EXPECT_EQ(errors, c.errors.empty()
                          ? ""
                          : "comlog: " + fs::canonical(workspace_.cwd).string() + "/" + c.errors);
    c.check();
    if (held >= 0) close(held);
    held = -1;
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
        FailureCase{"letters", {"abc"}, "", port_not_opened_message("\\\\.\\COM0"), 255},
        // COM n in any case is port n.
        FailureCase{"com_name", {"COM5"}, "", port_not_opened_message(kCom5), 255},
        FailureCase{"com_name_lower_case",
                    {"com5"},
                    "/dev/null",
                    port_opened_message(kCom5) + kSettingsRefusedMessage,
                    255},
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
  // Files that open but are no terminal refuse the line settings.
  link_port(workspace_, 6, "/dev/null");
  const std::string not_a_port = workspace_.root + "/not-a-port";
  write_file(not_a_port, "");
  hand_to_ordinary_user(not_a_port);
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
      {"an option comlog does not have",
       {"--port"},
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
      {"a device file that is no serial port",
       {"/dev/null"},
       false,
       port_opened_message("/dev/null") + kSettingsRefusedMessage,
       "comlog: /dev/null: not a serial port (Inappropriate ioctl for device)\n"},
      {"COM n that is no serial port",
       {"com6"},
       true,
       port_opened_message("\\\\.\\COM6") + kSettingsRefusedMessage,
       "comlog: " + workspace_.ports +
           "/com6: not a serial port (Inappropriate ioctl for device)\n"},
      {"a plain file",
       {not_a_port},
       false,
       port_opened_message(not_a_port) + kSettingsRefusedMessage,
       "comlog: " + not_a_port + ": not a serial port (Inappropriate ioctl for device)\n"},
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

// The milliseconds since 1970 of a row's local time and offset, "2026-12-09T18:30:01.234,540,",
// the offset in minutes, and the rest of the row; -1 when it does not start so.
int64_t time_of_row(const std::string& row, int* offset_minutes, std::string* rest) {
  tm local = {};
  int milliseconds = 0;
  int length = 0;
  if (std::sscanf(row.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d,%d,%n", &local.tm_year, &local.tm_mon,
                  &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &milliseconds,
                  offset_minutes, &length) != 8 ||
      length == 0 || row[10] != 'T' || row[23] != ',') {
    return -1;
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  *rest = row.substr(size_t(length));
  return (int64_t(timegm(&local)) - int64_t(*offset_minutes) * 60) * 1000 + milliseconds;
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
  EXPECT_EQ(rows[0], "time,utc_offset_minutes,reading,value");
  EXPECT_EQ(log(), expected_records(600, 20));
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(rows[i + 1]);
    int offset = 0;
    std::string rest;
    const int64_t at = time_of_row(rows[i + 1], &offset, &rest);
    EXPECT_EQ(offset, 540);
    EXPECT_GE(at, sent[i].first);
    EXPECT_LE(at, sent[i].second);
    const int reading = 600 + int(i);
    EXPECT_EQ(rest, std::to_string(reading) + "," + std::to_string(reading - 512));
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

// The zone is TZ's, from the zone database or a rule written out; a TZ that names no zone this
// system has gives UTC times, and standard error says so, once.
TEST_F(Logger, AnUnknownTimeZoneIsSaidOnceAndGivesUtcTimes) {
  const std::string zone_folder = workspace_.root + "/zones";
  fs::create_directories(zone_folder + "/Lab");
  fs::copy_file("/usr/share/zoneinfo/Asia/Tokyo", zone_folder + "/Lab/Tokyo");
  // A FIFO that nothing writes to: no zone, and no wait for one.
  ASSERT_EQ(mkfifo((zone_folder + "/Lab/Pipe").c_str(), 0644), 0);
  const auto unknown = [](const std::string& tz) {
    return "comlog: TZ=" + tz + " is no time zone this system has: test.csv has UTC times\n";
  };
  const struct {
    std::vector<std::string> environment;
    int offset_minutes;
    std::string errors;
  } cases[] = {
      {{"TZ=JST-9"}, 540, ""},
      {{"TZ=<-0330>3:30"}, -210, ""},
      {{"TZ=Lab/Tokyo", "TZDIR=" + zone_folder}, 540, ""},
      {{"TZ=:Lab/Tokyo", "TZDIR=" + zone_folder}, 540, ""},
      {{"TZ=" + zone_folder + "/Lab/Tokyo"}, 540, ""},
      {{"TZ=:JST-9"}, 540, ""},
      {{"TZ=UTC0"}, 0, ""},
      {{"TZ=Nowhere/City"}, 0, unknown("Nowhere/City")},
      {{"TZ=Lab/Atlantis", "TZDIR=" + zone_folder}, 0, unknown("Lab/Atlantis")},
      {{"TZ=" + zone_folder}, 0, unknown(zone_folder)},
      {{"TZ=Lab/Pipe", "TZDIR=" + zone_folder}, 0, unknown("Lab/Pipe")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.environment[0]);
    close_pty(&terminal_);
    terminal_ = open_pty();
    fs::remove(workspace_.cwd + "/test.dat");
    fs::remove(workspace_.cwd + "/test.csv");
    RunOptions options = logger_options();
    options.environment.insert(options.environment.end(), c.environment.begin(),
                               c.environment.end());
    options.stderr_to_pipe = true;
    LoggerStage::start_logging(options);
    send("600\r\n", "600\r\r\n");
    write_all(terminal_.master, "q");
    EXPECT_EQ(read_to_end(child_.errors), c.errors);
    close(child_.errors);
    child_.errors = -1;
    EXPECT_EQ(wait_for_exit(child_.pid), 0);
    const std::string csv = read_file(workspace_.cwd + "/test.csv");
    const size_t row = csv.find("\r\n") + 2;
    int offset = 1;
    std::string rest;
    EXPECT_GE(time_of_row(csv.substr(row), &offset, &rest), 0) << csv;
    EXPECT_EQ(offset, c.offset_minutes);
    EXPECT_EQ(rest, "600,88\r\n");
  }
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
  kDirectory,          // test.dat is a directory
  kReadOnly,           // an earlier measurement with no write permission bit at all
  kSomeoneElses,       // an earlier measurement that the user may not write
  kKeptIsADirectory,   // test.dat.1, where an earlier measurement would be kept, is a folder
  kFolderIsRoots,      // the working folder is root's: no new test.dat can be made in it
  kPlantedLink,        // in a sticky folder that everyone may write, another user's link to a
                       // file of root's
  kDanglingLink,       // a link to a file on a stick that is not there
  kFifoWithoutReader,  // a FIFO that no program reads
  kDisk,               // a link to a disk (a loop device over a file of the test's)
  kLockedByAnother,    // another program holds the byte that comlog locks
  kRootsEarlierRun,    // in a sticky folder, test.dat.2 is root's: the user may not move it
};

struct UnwritableLogCase {
  const char* name;
  Obstacle obstacle;
  bool as_ordinary_user;  // otherwise as whoever runs the tests (root in CI, as with sudo)
};

void PrintTo(const UnwritableLogCase& c, std::ostream* out) {
  *out << c.name;
}

class UnwritableLog : public Logger, public ::testing::WithParamInterface<UnwritableLogCase> {
 protected:
  void TearDown() override {
    if (!loop_device_.empty()) {
      const std::string detach = "losetup -d " + loop_device_;
      EXPECT_EQ(std::system(detach.c_str()), 0);
    }
    if (lock_holder_ >= 0) close(lock_holder_);
    Logger::TearDown();
  }
  std::string victim() const { return workspace_.root + "/victim"; }
  // A loop device over a file of the test's, or "" where none can be set up.
  std::string attach_disk(const std::string& backing) {
    FILE* attach = popen(("losetup -f --show " + backing + " 2>/dev/null").c_str(), "r");
    char line[64] = "";
    if (attach == nullptr) return "";
    if (std::fgets(line, sizeof line, attach) == nullptr) line[0] = '\0';
    pclose(attach);
    loop_device_ = std::string(line).substr(0, std::string(line).find('\n'));
    return loop_device_;
  }
  std::string loop_device_;
  int lock_holder_ = -1;
};

// The case's words on standard error, after "comlog: ".
std::string why_refused(const UnwritableLogCase& c, const std::string& cwd, const std::string& root,
                        const std::string& disk) {
  const std::string path = cwd + "/test.dat";
  switch (c.obstacle) {
    case Obstacle::kDirectory:
      return path + ": Is a directory";
    case Obstacle::kReadOnly:
      return path + ": it is read-only, and kept as it is";
    case Obstacle::kSomeoneElses:
      return path + ": Permission denied";
    case Obstacle::kKeptIsADirectory:
      return path + ".1 is a folder: the earlier measurements cannot be kept";
    case Obstacle::kFolderIsRoots:
      return "cannot make a new file in " + cwd + ": Permission denied";
    case Obstacle::kPlantedLink:
      return path + ": a link of user 65534 in a sticky folder that others may write: not followed";
    case Obstacle::kDanglingLink:
      return path + ": a link to " + root + "/stick/run.dat, which does not exist";
    case Obstacle::kFifoWithoutReader:
      return path + ": a FIFO that no program reads: writing it would wait";
    case Obstacle::kDisk:
      return disk + ": not a file (a disk, say): nothing is written there";
    case Obstacle::kLockedByAnother:
      return path + ": another program holds it locked";
    case Obstacle::kRootsEarlierRun:
      return path + ".2: Operation not permitted";
  }
  return "";
}

TEST_P(UnwritableLog, EndsWithStatusOneAndLeavesTheFilesAsTheyWere) {
  const UnwritableLogCase& c = GetParam();
  const bool roots = c.obstacle == Obstacle::kSomeoneElses ||
                     c.obstacle == Obstacle::kFolderIsRoots || c.obstacle == Obstacle::kDisk ||
                     c.obstacle == Obstacle::kPlantedLink ||
                     c.obstacle == Obstacle::kRootsEarlierRun;
  if ((!c.as_ordinary_user || roots) && !tests_run_as_root()) {
    GTEST_SKIP() << "needs root: to write regardless of permission bits, or to own the file";
  }
  const std::string path = workspace_.cwd + "/test.dat";
  const std::string kept_path = path + ".1";
  // What the names of the folder hold before the run, and must hold after it.
  std::map<std::string, std::string> files;
  std::string disk;
  if (c.obstacle == Obstacle::kDirectory) {
    fs::create_directory(path);
  } else if (c.obstacle == Obstacle::kPlantedLink) {
    // Root's file elsewhere; the folder everyone's, with a link another user put there.
    write_file(victim(), "  88\r\n");
    ASSERT_EQ(chown(workspace_.cwd.c_str(), 0, 0), 0);
    fs::permissions(workspace_.cwd, fs::perms::all | fs::perms::sticky_bit);
    fs::create_symlink(victim(), path);
    ASSERT_EQ(lchown(path.c_str(), kOrdinaryUser, kOrdinaryGroup), 0);
  } else if (c.obstacle == Obstacle::kDanglingLink) {
    fs::create_symlink(workspace_.root + "/stick/run.dat", path);
  } else if (c.obstacle == Obstacle::kFifoWithoutReader) {
    ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
    hand_to_ordinary_user(path);
  } else if (c.obstacle == Obstacle::kDisk) {
    write_file(workspace_.root + "/disk", std::string(65536, '\0'));
    disk = attach_disk(workspace_.root + "/disk");
    if (disk.empty()) GTEST_SKIP() << "no loop device can be set up here";
    fs::create_symlink(disk, path);
  } else {
    write_file(path, "  88\r\n");
    files["test.dat"] = "  88\r\n";
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
  } else if (c.obstacle == Obstacle::kLockedByAnother) {
    // Not a comlog: a program of its own that locks the byte, as a record lock.
    hand_to_ordinary_user(path);
    lock_holder_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_start = off_t(1) << 62;
    lock.l_len = 1;
    ASSERT_EQ(fcntl(lock_holder_, F_SETLK, &lock), 0);
  } else if (c.obstacle == Obstacle::kRootsEarlierRun) {
    hand_to_ordinary_user(path);
    for (const char* name : {"test.dat.1", "test.dat.2"}) {
      write_file(workspace_.cwd + "/" + name, name);
      hand_to_ordinary_user(workspace_.cwd + "/" + name);
      files[name] = name;
    }
    ASSERT_EQ(chown((path + ".2").c_str(), 0, 0), 0);
    ASSERT_EQ(chown(workspace_.cwd.c_str(), 0, 0), 0);
    fs::permissions(workspace_.cwd, fs::perms::all | fs::perms::sticky_bit);
  }
  RunOptions options = comlog_options(workspace_, {"5"});
  options.as_ordinary_user = c.as_ordinary_user;
  options.stdout_to_pipe = true;
  options.stderr_to_pipe = true;
  child_ = start(options);
  // Standard error says what stands in the way, naming the file, the folder or the link.
  const std::string cwd = fs::canonical(workspace_.cwd).string();
  EXPECT_EQ(read_to_end(child_.errors),
            "comlog: " + why_refused(c, cwd, fs::canonical(workspace_.root).string(), disk) + "\n");
  close(child_.errors);
  const std::string output = read_to_end(child_.output);
  const std::string ending = "\r\ncannot open test.dat\r\n";
  ASSERT_GE(output.size(), ending.size());
  EXPECT_EQ(output.substr(output.size() - ending.size()), ending);
  EXPECT_EQ(output.substr(0, port_opened_message(kCom5).size()), port_opened_message(kCom5));
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // Nothing was changed, made or left behind in the working folder, nor where a link leads.
  for (const auto& [name, contents] : files) {
    EXPECT_EQ(read_file(workspace_.cwd + "/" + name), contents) << name;
  }
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(workspace_.cwd)) {
    entries += !entry.is_directory() || entry.path() == path || entry.path() == kept_path;
  }
  EXPECT_EQ(entries, std::max<size_t>(1, files.size()) +
                         (c.obstacle == Obstacle::kKeptIsADirectory ? 1 : 0));
  if (c.obstacle == Obstacle::kPlantedLink) {
    EXPECT_EQ(read_file(victim()), "  88\r\n");
    EXPECT_FALSE(fs::exists(victim() + ".1"));
  }
  if (c.obstacle == Obstacle::kDisk) {
    EXPECT_EQ(read_file(workspace_.root + "/disk"), std::string(65536, '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(
    TestDat, UnwritableLog,
    ::testing::Values(
        UnwritableLogCase{"directory", Obstacle::kDirectory, true},
        UnwritableLogCase{"read_only_file", Obstacle::kReadOnly, true},
        UnwritableLogCase{"read_only_file_as_root", Obstacle::kReadOnly, false},
        UnwritableLogCase{"someone_elses_file", Obstacle::kSomeoneElses, true},
        UnwritableLogCase{"kept_file_cannot_be_replaced", Obstacle::kKeptIsADirectory, true},
        UnwritableLogCase{"folder_the_user_may_not_write", Obstacle::kFolderIsRoots, true},
        UnwritableLogCase{"link_another_user_planted_as_root", Obstacle::kPlantedLink, false},
        UnwritableLogCase{"dangling_link", Obstacle::kDanglingLink, true},
        UnwritableLogCase{"fifo_nobody_reads", Obstacle::kFifoWithoutReader, true},
        UnwritableLogCase{"link_to_a_disk_as_root", Obstacle::kDisk, false},
        UnwritableLogCase{"locked_by_another_program", Obstacle::kLockedByAnother, true},
        UnwritableLogCase{"earlier_run_the_user_may_not_move", Obstacle::kRootsEarlierRun, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
