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

// Lines that shared a read are logged once, so the records are the first record and then
// some of the others, in order.
void expect_records_follow(const std::vector<std::string>& records,
                           const std::vector<std::string>& possible) {
  ASSERT_FALSE(records.empty());
  ASSERT_FALSE(possible.empty());
  EXPECT_EQ(records[0], possible[0]);
  size_t next = 0;
  for (const std::string& record : records) {
    while (next < possible.size() && possible[next] != record) ++next;
    ASSERT_LT(next, possible.size()) << "unexpected record " << record;
    ++next;
  }
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
  expect_records_follow(records_in(read_file(workspace_.cwd + "/test.dat")), possible);

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
  expect_records_follow(records_in(read_file(workspace_.cwd + "/test.dat")),
                        {expected_record(42), expected_record(42), expected_record(-7)});
  EXPECT_TRUE(WIFEXITED(device_status()));
  EXPECT_FALSE(link_exists(link_));
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
