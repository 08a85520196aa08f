// The common stage of the logger's end-to-end tests: a scratch workspace, a device on COM5 and
// a terminal for the logger, all taken down after each test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "harness.h"

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
    close_pty(&device_);
    close_pty(&terminal_);
    remove_workspace(workspace_);
  }

  std::string log() { return read_file(workspace_.cwd + "/test.dat"); }

  Workspace workspace_;
  Pty device_;
  Pty terminal_;
  Child child_;
};
