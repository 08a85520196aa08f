// The logger end to end when things fail under it: a disk that refuses every write and a device
// that goes away while the logger runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness.h"
#include "logger_fixture.h"

namespace {

class Fault : public LoggerStage {
 protected:
  void start_logging(long file_size_limit = -1) {
    RunOptions options = comlog_options(workspace_, {"5"});
    options.terminal = terminal_.slave_path;
    options.file_size_limit = file_size_limit;
    child_ = start(options);
    ASSERT_TRUE(read_until(terminal_.master, &console_, "\r\nrunning\r\n")) << console_;
    console_.clear();
  }

  // One line per read, each waited for on the console, so that every one is logged.
  void send_lines(int first, int count) {
    for (int reading = first; reading < first + count; ++reading) {
      const std::string line = std::to_string(reading) + "\r\n";
      write_all(device_.master, line);
      // The console shows the device's CR LF as CR CR LF.
      const std::string echo = std::to_string(reading) + "\r\r\n";
      ASSERT_TRUE(read_until(terminal_.master, &console_, echo)) << console_;
      wait_until_taken(device_);
    }
  }

  // Quits with q, as the operator does, and returns the wait status.
  int quit() {
    write_all(terminal_.master, "q");
    return wait_for_exit(child_.pid);
  }

  std::string console_;
};

// The expected log of readings first .. first + count - 1.
std::string records(int first, int count) {
  std::string text;
  for (int reading = first; reading < first + count; ++reading) {
    std::string record = std::to_string(reading - 512);
    text += std::string(record.size() < 4 ? 4 - record.size() : 0, ' ') + record + "\r\n";
  }
  return text;
}

TEST_F(Fault, DiskRefusingEveryWriteCostsOnlyTheRecords) {
  std::filesystem::create_symlink("/dev/full", workspace_.cwd + "/test.dat");
  start_logging();
  // Enough records for several write-outs, each refused.
  send_lines(600, 300);
  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // Nothing reported: after the last echo the console got no more text.
  const std::string rest = read_to_end(terminal_.master);
  EXPECT_EQ(rest, "") << rest;
}

TEST_F(Fault, FileSizeLimitKeepsTheRecordsThatFitted) {
  // Room for the first write-out (102 records of 6 bytes on disk) but not for the second.
  constexpr long kLimit = 1000;
  start_logging(kLimit);
  send_lines(600, 300);
  const int status = quit();
  // SIGXFSZ would have ended the process; the refused write-outs must cost only their records.
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string log = read_file(workspace_.cwd + "/test.dat");
  const std::string expected = records(600, 300);
  EXPECT_GE(log.size(), records(600, 102).size());
  EXPECT_LE(log.size(), size_t(kLimit));
  EXPECT_EQ(expected.compare(0, log.size(), log), 0) << log;
}

TEST_F(Fault, DeviceGoingAwayKeepsTheRunAndItsRecords) {
  start_logging();
  send_lines(600, 150);
  // An unplugged adapter: the device side closes for good.
  close(device_.master);
  close(device_.slave);
  device_.master = device_.slave = -1;
  // A key after the hang-up still reaches the logger, which answers and goes on.
  write_all(terminal_.master, " ");
  std::string shown;
  ASSERT_TRUE(read_until(terminal_.master, &shown, "running\r\n")) << shown;
  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(log(), records(600, 150));
}

}  // namespace
