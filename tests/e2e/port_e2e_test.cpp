// The port as the device sees it: the line settings after start-up, nothing sent back while the
// port is being set up, and the port free again for the next run.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "logger_fixture.h"

namespace {

class Port : public LoggerStage {
 protected:
  termios device_settings() {
    termios settings;
    EXPECT_EQ(tcgetattr(device_.slave, &settings), 0);
    return settings;
  }
};

// Whatever an earlier program or the driver left on the line must not change what is logged.
TEST_F(Port, StartUpLeavesARawLineAt115200WhateverWasSetBefore) {
  termios stale = device_settings();
  stale.c_iflag |= BRKINT | INPCK | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF;
  stale.c_iflag &= ~IGNBRK;
  stale.c_oflag |= OPOST | ONLCR;
  stale.c_lflag |= ICANON | ECHO | ECHONL | ISIG | IEXTEN;
  stale.c_cflag |= CSTOPB | CRTSCTS;
  cfsetspeed(&stale, B9600);
  ASSERT_EQ(tcsetattr(device_.slave, TCSANOW, &stale), 0);

  start_logging(logger_options());
  const termios line = device_settings();
  EXPECT_EQ(cfgetispeed(&line), speed_t(B115200));
  EXPECT_EQ(cfgetospeed(&line), speed_t(B115200));
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
  EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
  // A break is ignored, not read as a NUL; no parity checking or marking; no translation.
  EXPECT_EQ(line.c_iflag & IGNBRK, tcflag_t(IGNBRK));
  const struct {
    const char* name;
    tcflag_t bit;
  } input_translation[] = {{"BRKINT", BRKINT}, {"INPCK", INPCK}, {"PARMRK", PARMRK},
                           {"ISTRIP", ISTRIP}, {"INLCR", INLCR}, {"IGNCR", IGNCR},
                           {"ICRNL", ICRNL},   {"IUCLC", IUCLC}, {"IXON", IXON},
                           {"IXOFF", IXOFF},   {"IXANY", IXANY}};
  for (const auto& flag : input_translation) {
    EXPECT_EQ(line.c_iflag & flag.bit, 0u) << flag.name;
  }
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
}

// A device that is already sending when the logger opens the port (the first run after boot or
// plug-in) gets nothing back, although the driver's settings echo by default.
TEST_F(Port, BytesArrivingWhileThePortIsSetUpAreNotEchoed) {
  // The logger is held between opening the port and configuring it (output never holds it up).
  const std::string marker = workspace_.root + "/configure";
  RunOptions options = comlog_options(workspace_, {"5"});
  options.environment.push_back("LD_PRELOAD=" + runnable_by_ordinary_user(SLOW_PORT_OPEN_PATH));
  options.environment.push_back("COMLOG_SLOW_CONFIGURE=" + marker);
  // The sanitized build's runtime would otherwise refuse to come after the preloaded library.
  const char* asan = getenv("ASAN_OPTIONS");
  options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                                ":verify_asan_link_order=0");
  options.stdout_to_pipe = true;
  child_ = start(options);
  ASSERT_TRUE(wait_until([&] { return access((marker + ".configuring").c_str(), F_OK) == 0; }))
      << "never reached the port's configuration";
  write_all(device_.master, "123\r\n");
  // Once the bytes are in the port's input queue, any echo is on its way back.
  ASSERT_TRUE(wait_until([&] {
    int queued = 0;
    return ioctl(device_.slave, FIONREAD, &queued) == 0 && queued > 0;
  })) << "bytes never arrived";
  write_file(marker + ".go", "");
  std::string shown;
  EXPECT_TRUE(read_until(child_.output, &shown, "\r\nrunning\r\n")) << shown;
  // An echo would have been on its way since the bytes arrived, long before the banner ended.
  pollfd back = {device_.master, POLLIN, 0};
  EXPECT_EQ(poll(&back, 1, 0), 0) << "the device got bytes back";
  kill(child_.pid, SIGTERM);
  EXPECT_EQ(WTERMSIG(wait_for_exit(child_.pid)), SIGTERM);
}

// On a pseudo-terminal the kernel's exclusive flag outlives the descriptor while the device side
// stays open; for anyone but root it would refuse every later run.
TEST_F(Port, EveryEndLeavesThePortFreeForTheNextRun) {
  hold_slave(&terminal_);  // as a shell keeps the terminal open between two runs
  for (const char* end : {"q", "SIGTERM", "q"}) {
    SCOPED_TRACE(end);
    start_logging(logger_options());
    if (tests_run_as_root()) {
      EXPECT_EQ(user_of(child_.pid), kOrdinaryUser);
    }
    if (std::string(end) == "q") {
      write_all(terminal_.master, "q");
      EXPECT_EQ(wait_for_exit(child_.pid), 0);
    } else {
      kill(child_.pid, SIGTERM);
      EXPECT_EQ(WTERMSIG(wait_for_exit(child_.pid)), SIGTERM);
    }
  }
}

}  // namespace
