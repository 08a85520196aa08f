// The simulated device as the demo uses it: its link appears in the ports folder, the logger
// reads its lines through it, and it removes the link when it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "record_text.h"

namespace {

bool link_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_symlink(path, ignored);
}

// Waits (with a safety limit only) until the device has made its link.
bool wait_for_link(const std::string& path) {
  for (int i = 0; i < 1500 && !link_exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return link_exists(path);
}

// The records of test.dat, each with its CR LF.
std::vector<std::string> records_in(const std::string& log) {
  std::vector<std::string> records;
  for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
    records.push_back(log.substr(start, end + 1 - start));
  }
  return records;
}

class SimulatedDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    workspace_ = make_workspace();
    terminal_ = open_pty();
    link_ = workspace_.ports + "/com5";
  }
  void TearDown() override {
    for (pid_t pid : {device_.pid, logger_.pid}) {
      if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
    close_pty(&terminal_);
    remove_workspace(workspace_);
  }

  void start_device(const std::vector<std::string>& arguments) {
    RunOptions options;
    // The device runs as the user who runs the logger, as in the demo.
    options.as_ordinary_user = true;
    options.command = {runnable_by_ordinary_user(SIMULATED_DEVICE_PATH), "--ports",
                       workspace_.ports, "--port", "5"};
    options.command.insert(options.command.end(), arguments.begin(), arguments.end());
    device_ = start(options);
    ASSERT_TRUE(wait_for_link(link_));
  }

  // Runs the logger on COM5 until `lines` device lines have been echoed, then quits it with q.
  std::string log_lines(int lines) {
    RunOptions options = comlog_options(workspace_, {"5"});
    options.terminal = terminal_.slave_path;
    logger_ = start(options);
    std::string banner;
    EXPECT_TRUE(read_until(terminal_.master, &banner, "\r\nrunning\r\n")) << banner;
    std::string shown;
    while (std::count(shown.begin(), shown.end(), '\n') < lines) {
      std::string more;
      if (!read_until(terminal_.master, &more, "\n")) break;
      shown += more;
    }
    write_all(terminal_.master, "q");
    const int status = wait_for_exit(logger_.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return shown;
  }

  int device_status() { return wait_for_exit(device_.pid); }

  Workspace workspace_;
  Pty terminal_;
  std::string link_;
  Child device_, logger_;
};

TEST_F(SimulatedDevice, SendsReadingsAroundTheMiddleThatTheLoggerLogs) {
  start_device({"--rate", "50", "--count", "20"});
  const std::string shown = log_lines(20);

  std::vector<std::string> possible;
  size_t start = 0;
  for (size_t end; (end = shown.find("\r\r\n", start)) != std::string::npos; start = end + 3) {
    const std::string line = shown.substr(start, end - start);
    const int reading = std::atoi(line.c_str());
    EXPECT_EQ(line, std::to_string(reading));
    EXPECT_GT(reading, 400);
    EXPECT_LT(reading, 624);
    possible.push_back(expected_record(reading));
  }
  EXPECT_EQ(start, shown.size()) << "not lines of readings: " << shown;
  EXPECT_EQ(possible.size(), 20u);
  EXPECT_EQ(records_in(read_file(workspace_.cwd + "/test.dat")), possible);

  // After its count the device ends by itself and takes its link with it.
  const int status = device_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(link_exists(link_));
}

TEST_F(SimulatedDevice, SendsTheBytesOfAFileAsTheyAre) {
  const std::string bytes = "  42 volts\r\nno number\r\n-7\r\n";
  const std::string file = workspace_.root + "/lines.txt";
  std::ofstream(file, std::ios::binary) << bytes;
  start_device({"--file", file, "--count", "1", "--rate", "50"});
  const std::string shown = log_lines(3);

  EXPECT_EQ(shown, "  42 volts\r\r\nno number\r\r\n-7\r\r\n");
  // The line without a number logs the reading before it again.
  EXPECT_EQ(read_file(workspace_.cwd + "/test.dat"),
            expected_record(42) + expected_record(42) + expected_record(-7));
  EXPECT_TRUE(WIFEXITED(device_status()));
  EXPECT_FALSE(link_exists(link_));
}

// However the device's stream reaches the logger, in packets cut across lines, a few lines to a
// read or thousands at once, every line is echoed once and logged, in order.
TEST_F(SimulatedDevice, EveryLineIsLoggedHoweverTheStreamIsCut) {
  const struct {
    const char* name;
    int lines;
    std::vector<std::string> arguments;
  } cases[] = {
      // A continuous stream through a USB adapter: 62-byte packets, 5.4 ms apart at 115200 baud.
      {"62-byte packets", 2000, {"--packet", "62", "--rate", "185"}},
      // 200 lines a second behind a 16 ms packet timer: three lines to a packet.
      {"three lines to a write", 600, {"--burst", "3", "--rate", "200"}},
      {"everything in one write", 4000, {"--packet", "1000000", "--rate", "0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    // Readings of one to four digits, so that packets end at every place in a line.
    const SentLines lines = sent_lines(0, c.lines);
    const std::string file = workspace_.root + "/lines.txt";
    write_file(file, lines.stream);
    std::vector<std::string> arguments = {"--file", file, "--count", "1"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    start_device(arguments);
    EXPECT_EQ(log_lines(c.lines), lines.echo);
    EXPECT_EQ(read_file(workspace_.cwd + "/test.dat"), lines.records);
  }
}

// A USB adapter pulled out and plugged in again: the logger says once that the port cannot be
// opened and once that it is open again, and every line before and after is logged into the
// same test.dat.
TEST_F(SimulatedDevice, AnUnpluggedDeviceIsLoggedAgainWhenItReturns) {
  const SentLines before = sent_lines(0, 40);
  const SentLines after = sent_lines(40, 40);
  const std::string file = workspace_.root + "/lines.txt";
  write_file(file, before.stream + after.stream);
  start_device(
      {"--file", file, "--count", "1", "--rate", "100", "--unplug-after", "40", "--away", "1"});
  const std::string com5 = "\\\\.\\COM5";
  EXPECT_EQ(log_lines(82),
            before.echo + port_not_opened_message(com5) + port_opened_message(com5) + after.echo);
  EXPECT_EQ(read_file(workspace_.cwd + "/test.dat"), before.records + after.records);
}

TEST_F(SimulatedDevice, EndsOnSigtermAndRemovesItsLink) {
  start_device({});
  kill(device_.pid, SIGTERM);
  const int status = device_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(link_exists(link_));
}

TEST_F(SimulatedDevice, EndsOnSigintAndRemovesItsLink) {
  start_device({});
  kill(device_.pid, SIGINT);
  const int status = device_status();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(link_exists(link_));
}

}  // namespace
