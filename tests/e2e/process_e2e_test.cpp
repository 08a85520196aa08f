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

class Environment : public LoggerStage {
 protected:
  RunOptions logger_options() {
    RunOptions options = comlog_options(workspace_, {"5"});
    options.terminal = terminal_.slave_path;
    return options;
  }

  // Starts the logger and waits until it is logging, its banner shown on the terminal.
  void start_logging(const RunOptions& options) {
    child_ = start(options);
    std::string banner;
    ASSERT_TRUE(read_until(terminal_.master, &banner, "\r\nrunning\r\n")) << banner;
  }

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

// A reader that stops reading (comlog | less, never scrolled) must not keep a request to end
// from ending the run, nor cost a record.
TEST_F(Environment, AStalledReaderCannotHoldUpTheEnd) {
  RunOptions options = logger_options();
  options.stdout_to_pipe = true;
  const termios before = settings_of(terminal_.master);
  child_ = start(options);
  ASSERT_GE(fcntl(child_.output, F_SETPIPE_SZ, 4096), 0);
  ASSERT_TRUE(wait_for_log_file());
  // Long lines fill the pipe quickly; each is taken in a read of its own until the pipe is full.
  const std::string padding(900, ' ');
  int sent = 0;
  for (int in_pipe = 0; in_pipe < 4096; ++sent) {
    write_all(device_.master, "600" + padding + "\r\n");
    wait_until_taken(device_);
    ASSERT_EQ(ioctl(child_.output, FIONREAD, &in_pipe), 0);
  }
  write_all(device_.master, "600" + padding + "\r\n");
  ASSERT_TRUE(wait_until([&] { return blocked_in_write(child_.pid, STDOUT_FILENO); }));
  kill(child_.pid, SIGTERM);
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(same_settings(settings_of(terminal_.master), before));
  // Every line taken is logged, the one being echoed at the request included; the last line
  // sent may still have been waiting in the port.
  const std::string record = expected_records(600, 1);
  std::string taken;
  for (int line = 0; line < sent; ++line) taken += record;
  const std::string logged = log();
  EXPECT_TRUE(logged == taken || logged == taken + record)
      << logged.size() / record.size() << " records of " << sent << " lines taken";
}

}  // namespace
