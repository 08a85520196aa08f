// The common stage of the logger's end-to-end tests: a scratch workspace, a device on COM5 and
// a terminal for the logger, all taken down after each test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "harness.h"
#include "record_text.h"

class LoggerStage : public ::testing::Test {
 protected:
  void SetUp() override {
    workspace_ = make_workspace();
    device_ = open_pty();
    terminal_ = open_pty();
    hold_slave(&device_);
    link_port(workspace_, 5, device_.slave_path);
  }
  void TearDown() override {
    if (child_.pid > 0 && waitpid(child_.pid, nullptr, WNOHANG) == 0) {
      kill(child_.pid, SIGKILL);
      waitpid(child_.pid, nullptr, 0);
    }
    for (int fd : {child_.input, child_.output, child_.errors}) {
      if (fd >= 0) close(fd);
    }
    child_ = Child();
    close_pty(&device_);
    close_pty(&terminal_);
    remove_workspace(workspace_);
  }

  std::string log() { return read_file(workspace_.cwd + "/test.dat"); }

  // The logger on COM5, the test's terminal its console and controlling terminal.
  RunOptions logger_options() {
    RunOptions options = comlog_options(workspace_, {"5"});
    options.terminal = terminal_.slave_path;
    return options;
  }

  // Starts the logger and waits until it is logging, its banner shown on the terminal;
  // console_ then collects what the terminal shows from there on.
  void start_logging(const RunOptions& options) {
    child_ = start(options);
    std::string banner;
    ASSERT_TRUE(read_until(terminal_.master, &banner, "\r\nrunning\r\n")) << banner;
    ASSERT_EQ(banner.rfind(port_opened_message("\\\\.\\COM5"), 0), 0u) << banner;
    console_.clear();
  }

  // Waits until test.dat exists: the logger opens it right before its loop. For a logger whose
  // console the test cannot watch.
  bool wait_for_log_file() {
    const std::string path = workspace_.cwd + "/test.dat";
    return wait_until([&] { return access(path.c_str(), F_OK) == 0; });
  }

  // Sends each reading as a line of its own and waits until the logger has taken it.
  void send_readings(int first, int count) {
    for (int reading = first; reading < first + count; ++reading) {
      write_all(device_.master, std::to_string(reading) + "\r\n");
      wait_until_taken(device_);
    }
  }

  Workspace workspace_;
  Pty device_;
  Pty terminal_;
  Child child_;
  std::string console_;
};
