// The logger in the situations a user's shell creates every day: standard descriptors closed,
// signals ignored or blocked by the caller, job control, a reader that stops reading, a terminal
// that hangs up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "logger_fixture.h"

namespace {

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

termios settings_of(int fd) {
  termios settings;
  EXPECT_EQ(tcgetattr(fd, &settings), 0);
  return settings;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class Environment : public LoggerStage {
 protected:
  // Sends readings and waits for each echo on the terminal.
  void log_readings(int first, int count) {
    for (int reading = first; reading < first + count; ++reading) {
      write_all(device_.master, std::to_string(reading) + "\r\n");
      std::string echo;
      ASSERT_TRUE(read_until(terminal_.master, &echo, std::to_string(reading) + "\r\r\n")) << echo;
    }
  }

  int quit() {
    write_all(terminal_.master, "q");
    return wait_for_exit(child_.pid);
  }
};

// Whatever descriptor the port and the log get, the console text reaches neither.
TEST_F(Environment, ClosedStandardDescriptorsKeepTheConsoleFromThePortAndTheLog) {
  for (const std::vector<int>& closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
    SCOPED_TRACE(testing::PrintToString(closed));
    TearDown();
    SetUp();
    RunOptions options = comlog_options(workspace_, {"5"});  // no terminal, as from a service
    options.closed_descriptors = closed;
    child_ = start(options);
    ASSERT_TRUE(wait_for_log_file());
    send_readings(600, 110);
    kill(child_.pid, SIGTERM);
    EXPECT_EQ(WTERMSIG(wait_for_exit(child_.pid)), SIGTERM);
    pollfd device = {device_.master, POLLIN, 0};
    EXPECT_EQ(poll(&device, 1, 0), 0) << "the device was sent something";
    EXPECT_EQ(log(), expected_records(600, 110));
  }
}

struct InheritedCase {
  const char* name;
  std::vector<int> ignored;
  std::vector<int> blocked;
  int sent;         // signalled from outside, or by Ctrl+C on the terminal for SIGINT
  bool ends_by_it;  // otherwise the run goes on and ends by q
};

void PrintTo(const InheritedCase& c, std::ostream* out) {
  *out << c.name;
}

class InheritedSignals : public Environment, public testing::WithParamInterface<InheritedCase> {};

TEST_P(InheritedSignals, IgnoredStayIgnoredAndBlockedStillEndTheRun) {
  const InheritedCase& c = GetParam();
  RunOptions options = logger_options();
  options.ignored_signals = c.ignored;
  options.blocked_signals = c.blocked;
  start_logging(options);
  log_readings(600, 60);
  if (c.sent == SIGINT) {
    write_all(terminal_.master, "\x03");
  } else {
    kill(child_.pid, c.sent);
  }
  if (c.ends_by_it) {
    const int status = wait_for_exit(child_.pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), c.sent);
    EXPECT_EQ(log(), expected_records(600, 60));
    return;
  }
  log_readings(660, 60);
  EXPECT_EQ(quit(), 0);
  EXPECT_EQ(log(), expected_records(600, 120));
}

INSTANTIATE_TEST_SUITE_P(
    Caller, InheritedSignals,
    testing::Values(InheritedCase{"nohup", {SIGHUP}, {}, SIGHUP, false},
                    InheritedCase{"background_job_of_a_script", {SIGINT}, {}, SIGINT, false},
                    InheritedCase{
                        "ignored_hangup_but_not_termination", {SIGHUP}, {}, SIGTERM, true},
                    InheritedCase{"blocked_termination", {}, {SIGTERM}, SIGTERM, true},
                    InheritedCase{"blocked_interrupt", {}, {SIGINT, SIGHUP}, SIGINT, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A request to end while the port is still opening (a Bluetooth port that connects takes
// seconds): the run ends before the log is opened, so the previous test.dat stays as it was.
class SlowPortOpen : public Environment, public testing::WithParamInterface<int> {};

TEST_P(SlowPortOpen, ARequestBeforeTheLogOpensLeavesTheOldLogAlone) {
  const int signal_number = GetParam();
  write_file(workspace_.cwd + "/test.dat", "old records\r\n");
  const termios before = settings_of(terminal_.master);
  const std::string port = workspace_.ports + "/com5";
  RunOptions options = logger_options();
  options.environment.push_back("LD_PRELOAD=" + runnable_by_ordinary_user(SLOW_PORT_OPEN_PATH));
  options.environment.push_back("COMLOG_SLOW_OPEN=" + port);
  // The sanitized build's runtime would otherwise refuse to come after the preloaded library.
  const char* asan = getenv("ASAN_OPTIONS");
  options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                ":verify_asan_link_order=0");
  child_ = start(options);
  ASSERT_TRUE(wait_until([&] { return access((port + ".opening").c_str(), F_OK) == 0; }));
  if (signal_number == SIGINT) {
    write_all(terminal_.master, "\x03");
  } else {
    kill(child_.pid, signal_number);
  }
  write_file(port + ".go", "");
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), signal_number);
  EXPECT_EQ(log(), "old records\r\n");
  EXPECT_TRUE(same_settings(settings_of(terminal_.master), before));
}

INSTANTIATE_TEST_SUITE_P(Requests, SlowPortOpen, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// A terminal that hangs up with a key still held for its wait: nothing of it is a key any more.
TEST_F(Environment, AHungUpTerminalHasNoKeysAndTheLoggingGoesOn) {
  RunOptions options = logger_options();
  // A file, so that any number of notices can be counted afterwards.
  options.output_path = workspace_.root + "/console";
  write_file(options.output_path, "");
  options.ignored_signals = {SIGHUP};
  child_ = start(options);
  ASSERT_TRUE(wait_for_log_file());
  hold_slave(&terminal_);
  // Esc waits a moment for a sequence it might begin; the hang-up comes as soon as the logger
  // holds it (if it comes later, Esc is an ordinary key with its notice).
  write_all(terminal_.master, "\x1b");
  ASSERT_TRUE(wait_until([&] {
    int queued = 0;
    return ioctl(terminal_.slave, FIONREAD, &queued) == 0 && queued == 0;
  }));
  close_pty(&terminal_);
  send_readings(600, 50);
  kill(child_.pid, SIGTERM);
  EXPECT_EQ(WTERMSIG(wait_for_exit(child_.pid)), SIGTERM);
  const std::string output = read_file(options.output_path);
  // The first notice is the banner's; a key that failed would repeat its notice every turn.
  EXPECT_LE(count_of(output, "running\r\n"), 2u) << "notices after the hang-up";
  EXPECT_EQ(log(), expected_records(600, 50));
}

// A reader that stops reading (comlog | less, scrolled back): the loop never waits for it. Every
// line is taken from the port and logged, a key or a request ends the run at once with its
// records, the terminal gets its settings back, and standard error says how much console output
// the reader never got. A reader that comes back gets everything held, in order.
class StalledReader : public Environment {
 protected:
  void SetUp() override {
    Environment::SetUp();
    logged_ = 0;
    echo_.clear();
    before_ = settings_of(terminal_.master);
    RunOptions options = logger_options();
    options.stdout_to_pipe = true;
    options.stderr_to_pipe = true;
    child_ = start(options);
    capacity_ = fcntl(child_.output, F_SETPIPE_SZ, 4096);  // a page at the least
    ASSERT_GT(capacity_, 0);
    ASSERT_TRUE(wait_for_log_file());
  }

  // Sends lines of "600" padded with blanks, each echoed as 900 bytes, far more than the pipe
  // holds; each is taken by the logger (wait_until_taken fails if the loop stops) and logged.
  void send_beyond_the_pipe(int lines) {
    const std::string line = "600" + std::string(900 - 6, ' ') + "\r\n";
    for (int i = 0; i < lines; ++i) {
      write_all(device_.master, line);
      wait_until_taken(device_);
      echo_ += "600" + std::string(900 - 6, ' ') + "\r\r\n";
    }
    logged_ += lines;
    EXPECT_TRUE(wait_until([&] { return log().size() == size_t(logged_) * 6; }))
        << "records on disk: " << log().size() / 6 << " of " << logged_;
  }

  bool terminal_restored() { return same_settings(settings_of(terminal_.master), before_); }

  // The records of every line sent, each of a reading of 600.
  std::string records() const {
    std::string all;
    for (int i = 0; i < logged_; ++i) all += expected_record(600);
    return all;
  }

  std::string banner() const {
    return port_opened_message("\\\\.\\COM5") + "running " +
           std::filesystem::canonical(comlog_path()).string() + "\r\nrunning\r\n";
  }

  termios before_;
  int capacity_ = 0;
  int logged_ = 0;
  std::string echo_;
};

TEST_F(StalledReader, AKeyOrARequestEndsTheRunAtOnceWithEveryRecord) {
  for (const int ending : {0, SIGTERM}) {
    SCOPED_TRACE(ending == 0 ? "q" : "SIGTERM");
    TearDown();
    SetUp();
    send_beyond_the_pipe(100);
    if (ending == 0) {
      write_all(terminal_.master, "q");
    } else {
      kill(child_.pid, ending);
    }
    // The end does not wait for the reader past a second.
    std::string errors = read_to_end(child_.errors);
    const int status = wait_for_exit(child_.pid);
    if (ending == 0) {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), 0);
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
      EXPECT_EQ(WTERMSIG(status), ending);
    }
    EXPECT_TRUE(terminal_restored());
    EXPECT_EQ(log(), records());
    const std::string output = read_to_end(child_.output);
    const std::string all = banner() + echo_;
    EXPECT_EQ(output, all.substr(0, output.size())) << "what the pipe got is not in order";
    EXPECT_EQ(errors, "comlog: " + std::to_string(all.size() - output.size()) +
                          " bytes of console output were not written: standard output took none "
                          "for a second\n");
  }
}

TEST_F(StalledReader, AReaderThatComesBackGetsEverythingInOrder) {
  send_beyond_the_pipe(100);
  std::string output;
  const std::string all = banner() + echo_;
  ASSERT_TRUE(read_until(child_.output, &output, all)) << output.size() << " of " << all.size();
  EXPECT_EQ(output, all);
  send_beyond_the_pipe(5);
  ASSERT_TRUE(read_until(child_.output, &output, banner() + echo_));
  write_all(terminal_.master, "q");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  EXPECT_EQ(read_to_end(child_.errors), "");
  EXPECT_EQ(log(), records());
}

// `prlimit --cpu`: the limit's SIGXCPU is a request to end like any other: the records are
// written and the terminal put back before the process ends by it.
TEST_F(Environment, ACpuTimeLimitEndsTheRunWithItsRecords) {
  const termios before = settings_of(terminal_.master);
  RunOptions options = logger_options();
  options.cpu_limit_seconds = 1;
  start_logging(options);
  log_readings(600, 30);
  // The busy loop spends its processor second within about a second.
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGXCPU);
  EXPECT_EQ(log(), expected_records(600, 30));
  EXPECT_TRUE(same_settings(settings_of(terminal_.master), before));
}

// The logger as a job of an interactive shell (a stand-in that does what bash does), moved
// between the foreground and the background of its terminal.
class JobControl : public Environment {
 protected:
  void SetUp() override {
    Environment::SetUp();
    shell_settings_ = settings_of(terminal_.master);
  }
  // The job has a process group of its own, which ending the shell leaves running.
  void TearDown() override {
    if (job_ > 0) kill(-job_, SIGKILL);
    job_ = -1;
    Environment::TearDown();
  }

  // A shell that puts its own settings back when a job stops, as bash does, or not, as dash.
  void start_job(const char* where, bool shell_restores_on_stop = true) {
    RunOptions options = logger_options();
    options.command.insert(options.command.begin(),
                           {runnable_by_ordinary_user(JOB_SHELL_PATH), where});
    if (!shell_restores_on_stop) options.command.insert(options.command.begin() + 1, "-n");
    options.stdin_from_pipe = true;
    options.stdout_to_pipe = true;
    child_ = start(options);
    std::string said;
    ASSERT_TRUE(read_until(child_.output, &said, "\n")) << said;
    ASSERT_EQ(said.rfind("job ", 0), 0u) << said;
    job_ = pid_t(std::stol(said.substr(4)));
    std::string banner;
    ASSERT_TRUE(read_until(terminal_.master, &banner, "\r\nrunning\r\n")) << banner;
  }

  void shell_says(const std::string& report) {
    std::string said;
    EXPECT_TRUE(read_until(child_.output, &said, report + "\n")) << said;
  }

  // 't' hands the terminal to the job, 'f' also continues it, 'c' continues it without, 'o'
  // hands the terminal to another job.
  void shell(char command) {
    write_all(child_.input, std::string(1, command));
    shell_says("ok");
  }

  // Whether the terminal comes to have the key mode (no echo, no line editing) or the shell's.
  bool terminal_in_key_mode() {
    return wait_until(
        [&] { return (settings_of(terminal_.master).c_lflag & (ICANON | ECHO)) == 0; });
  }
  bool terminal_has_shell_settings() {
    return same_settings(settings_of(terminal_.master), shell_settings_);
  }

  // Ends the job from outside and expects the end by that signal.
  void terminate_job() {
    kill(job_, SIGTERM);
    shell_says("killed " + std::to_string(SIGTERM));
  }

  // Types `keys` and expects `notices` notices and nothing else before the logger ends with 0.
  void type_until_exit(const std::string& keys, int notices) {
    write_all(terminal_.master, keys);
    shell_says("exited 0");
    std::string expected;
    for (int i = 0; i < notices; ++i) expected += "running\r\n";
    // The shell ends with its job: the console is then complete.
    EXPECT_EQ(read_to_end(terminal_.master), expected) << "keys echoed or unanswered";
  }

  termios shell_settings_;
  pid_t job_ = -1;
};

TEST_F(JobControl, StartedInTheBackgroundItLogsAndTakesKeysOnceInTheForeground) {
  for (bool tostop : {false, true}) {
    SCOPED_TRACE(tostop ? "stty tostop" : "stty -tostop");
    TearDown();
    SetUp();
    if (tostop) {
      shell_settings_.c_lflag |= TOSTOP;
      ASSERT_EQ(tcsetattr(terminal_.master, TCSANOW, &shell_settings_), 0);
    }
    start_job("bg");
    log_readings(600, 60);
    EXPECT_TRUE(terminal_has_shell_settings());
    shell('t');  // fg of a job running in the background: no signal, only the terminal
    ASSERT_TRUE(terminal_in_key_mode());
    type_until_exit("aq", 1);
    EXPECT_TRUE(terminal_has_shell_settings());
    EXPECT_EQ(log(), expected_records(600, 60));
  }
}

TEST_F(JobControl, StoppedAndContinuedInTheForegroundItTakesKeysAtOnce) {
  for (int stop : {SIGTSTP, SIGSTOP}) {
    SCOPED_TRACE(strsignal(stop));
    TearDown();
    SetUp();
    start_job("fg");
    ASSERT_TRUE(terminal_in_key_mode());
    log_readings(600, 60);
    kill(job_, stop);
    shell_says("stopped " + std::to_string(stop));
    EXPECT_TRUE(terminal_has_shell_settings());
    shell('f');
    ASSERT_TRUE(terminal_in_key_mode());
    log_readings(660, 60);
    // Ctrl+Z is still a key like any other.
    type_until_exit("\x1aq", 1);
    EXPECT_TRUE(terminal_has_shell_settings());
    EXPECT_EQ(log(), expected_records(600, 120));
  }
}

TEST_F(JobControl, ContinuedInTheBackgroundItKeepsLoggingUntilItHasTheTerminalAgain) {
  start_job("fg");
  ASSERT_TRUE(terminal_in_key_mode());
  kill(job_, SIGTSTP);
  shell_says("stopped " + std::to_string(SIGTSTP));
  shell('c');  // bg
  log_readings(600, 120);
  EXPECT_TRUE(terminal_has_shell_settings());
  shell('t');
  ASSERT_TRUE(terminal_in_key_mode());
  type_until_exit("q", 0);
  EXPECT_TRUE(terminal_has_shell_settings());
  EXPECT_EQ(log(), expected_records(600, 120));
}

// A shell that leaves a stopped job's settings on the terminal (dash) gets its own back all the
// same: from the logger before a stop it is asked for, and at the end for one it cannot catch.
TEST_F(JobControl, AShellThatKeepsAStoppedJobsSettingsGetsItsOwnBack) {
  start_job("fg", /*shell_restores_on_stop=*/false);
  ASSERT_TRUE(terminal_in_key_mode());
  kill(job_, SIGTSTP);
  shell_says("stopped " + std::to_string(SIGTSTP));
  EXPECT_TRUE(terminal_has_shell_settings());
  shell('f');
  ASSERT_TRUE(terminal_in_key_mode());
  kill(job_, SIGSTOP);
  shell_says("stopped " + std::to_string(SIGSTOP));
  EXPECT_FALSE(terminal_has_shell_settings()) << "nothing could put them back yet";
  shell('c');
  log_readings(600, 30);
  terminate_job();
  EXPECT_TRUE(terminal_has_shell_settings());
  EXPECT_EQ(log(), expected_records(600, 30));
}

// A logger that ends in the background leaves the terminal to whoever has it: the shell at its
// prompt (a line editor's mode) or another job, even one in the same key mode.
TEST_F(JobControl, EndingInTheBackgroundLeavesTheTerminalAsItIs) {
  for (const bool another_job : {false, true}) {
    SCOPED_TRACE(another_job ? "another job has the terminal" : "the shell has the terminal");
    TearDown();
    SetUp();
    start_job("fg");
    ASSERT_TRUE(terminal_in_key_mode());
    termios now_there = settings_of(terminal_.master);
    kill(job_, SIGTSTP);
    shell_says("stopped " + std::to_string(SIGTSTP));
    shell('c');
    if (another_job) {
      shell('o');  // another comlog, say, with the very same key mode
    } else {
      now_there = shell_settings_;
      now_there.c_lflag &= ~(ICANON | ECHO);  // a line editor reading the next command
      now_there.c_cc[VMIN] = 1;
      now_there.c_cc[VTIME] = 0;
      now_there.c_cc[VLNEXT] = _POSIX_VDISABLE;
    }
    ASSERT_EQ(tcsetattr(terminal_.master, TCSANOW, &now_there), 0);
    log_readings(600, 30);
    terminate_job();
    EXPECT_TRUE(same_settings(settings_of(terminal_.master), now_there));
  }
}

}  // namespace
