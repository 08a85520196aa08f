// Keyboard control end to end: keys typed into the logger's controlling terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "harness.h"
#include "logger_fixture.h"

namespace {

class Keys : public LoggerStage {
 protected:
  void start_logging(bool stdin_from_dev_null = false, const std::string& term = "xterm") {
    RunOptions options = logger_options();
    options.environment.push_back("TERM=" + term);
    options.stdin_from_dev_null = stdin_from_dev_null;
    LoggerStage::start_logging(options);
  }

  // Logs `count` readings, each in a read of its own, and returns the records they make.
  std::string log_readings(int count) {
    std::string records;
    for (int i = 0; i < count; ++i) {
      const std::string reading = std::to_string(512 + i);
      write_all(device_.master, reading + "\r\n");
      std::string echo;
      EXPECT_TRUE(read_until(terminal_.master, &echo, reading + "\r\r\n")) << echo;
      records += expected_record(512 + i);
    }
    return records;
  }

  // Types `keys` and returns what the console shows until the logger ends.
  std::string type_until_exit(const std::string& keys) {
    write_all(terminal_.master, keys);
    return read_to_end(terminal_.master);
  }
};

TEST_F(Keys, EachQuitKeyEndsTheRunWithEveryRecord) {
  for (const char* key : {"q", "Q", "e", "E", "x", "X"}) {
    SCOPED_TRACE(key);
    TearDown();
    SetUp();
    start_logging();
    const std::string records = log_readings(110);
    EXPECT_EQ(type_until_exit(key), "");
    const int status = wait_for_exit(child_.pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log(), records);
  }
}

struct KeyCase {
  const char* name;
  std::string keys;  // typed, then the run must end by itself
  int notices;
  const char* term = "xterm";
};

void PrintTo(const KeyCase& key, std::ostream* out) {
  *out << key.name;
}

class KeyNotices : public Keys, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyNotices, PrintOneNoticePerCodeBeforeTheQuitCode) {
  start_logging(false, GetParam().term);
  std::string expected;
  for (int i = 0; i < GetParam().notices; ++i) expected += "running\r\n";
  EXPECT_EQ(type_until_exit(GetParam().keys), expected);
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeyNotices,
    ::testing::Values(KeyCase{"other_key_then_q", "aq", 1},
                      KeyCase{"enter_space_digits", "\r 7q", 3}, KeyCase{"page_down", "\x1b[6~", 1},
                      KeyCase{"shift_f5", "\x1b[15;2~", 1}, KeyCase{"ctrl_f8", "\x1b[19;5~", 1},
                      KeyCase{"alt_f10", "\x1b[21;3~", 1},
                      KeyCase{"alt_1",
                              "\x1b"
                              "1",
                              1},
                      KeyCase{"f1_then_q", "\x1bOPq", 2},
                      KeyCase{"ctrl_backslash_and_ctrl_z_are_keys", "\x1c\x1aq", 2},
                      KeyCase{"mouse_report_then_x", "\x1b[M q!x", 0},
                      KeyCase{"rxvt_shift_f5", "\x1b[28~", 1, "rxvt-unicode"},
                      KeyCase{"linux_console_shift_f5", "\x1b[31~", 1, "linux"},
                      KeyCase{"linux_console_shift_f3_then_q", "\x1b[28~q", 2, "linux"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Keys, KeysComeFromTheTerminalWhateverStandardInputIs) {
  start_logging(/*stdin_from_dev_null=*/true);
  EXPECT_EQ(type_until_exit("zq"), "running\r\n");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
}

TEST_F(Keys, AHalfReceivedLineIsNeitherEchoedNorLogged) {
  start_logging();
  const std::string records = log_readings(3);
  write_all(device_.master, "777");
  wait_until_taken(device_);
  EXPECT_EQ(type_until_exit("q"), "");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  EXPECT_EQ(log(), records);
}

TEST_F(Keys, CtrlCEndsAtOnceKeepingRecordsAndTheTerminal) {
  termios before;
  ASSERT_EQ(tcgetattr(terminal_.master, &before), 0);
  start_logging();
  termios during;
  ASSERT_EQ(tcgetattr(terminal_.master, &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  const std::string records = log_readings(40);
  EXPECT_EQ(type_until_exit("\x03"), "");
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_EQ(log(), records);
  termios after;
  ASSERT_EQ(tcgetattr(terminal_.master, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
}

TEST_F(Keys, EveryEndPutsTheTerminalBack) {
  termios before;
  ASSERT_EQ(tcgetattr(terminal_.master, &before), 0);
  start_logging();
  type_until_exit("x");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(child_.pid)), 0);
  termios after;
  ASSERT_EQ(tcgetattr(terminal_.master, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

}  // namespace
