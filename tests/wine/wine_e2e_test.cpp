// comlog.exe end to end under Wine: a throwaway prefix whose dosdevices/com5 leads to a
// pseudo-terminal standing in for the device. Wine delivers no console key records to a program
// started from a plain pseudo-terminal, so the key path is left to the shared unit tests; these
// cover the port messages and statuses, the echo, the bytes of test.dat and Ctrl+C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "record_text.h"
#include "wine_paths.h"

namespace {

const std::string kCom5 = "\\\\.\\COM5";
constexpr int kPreparePrefixLimitMs = 90000;
// What Wine makes of STATUS_CONTROL_C_EXIT (0xC000013A): its low eight bits.
constexpr int kInterruptedStatus = 0x3A;

// The reason these tests cannot run here, or empty.
std::string missing_tool() {
  if (std::string(COMLOG_EXE_PATH).empty()) {
    return "COMLOG_WINDOWS_EXE names no comlog.exe: configure with the default preset";
  }
  if (!std::filesystem::exists(COMLOG_EXE_PATH)) {
    return std::string("no ") + COMLOG_EXE_PATH +
           ": build the windows preset first (cmake --preset windows && cmake --build --preset "
           "windows)";
  }
  if (std::system("command -v wine >/dev/null 2>&1") != 0) return "no Wine: apt-get install wine";
  return "";
}

std::string windows_path_of_exe() {
  return windows_path_of(COMLOG_EXE_PATH);
}

class WineLogger : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = missing_tool();
    if (!missing.empty()) GTEST_SKIP() << missing;
    workspace_ = make_workspace();
    device_ = open_pty();
    hold_slave(&device_);
    // Creates the prefix on first use; later runs find it ready.
    ASSERT_EQ(
        std::system(
            (std::string(WINE_RUN_PATH) + " --prefix " + WINE_PREFIX_PATH + " --prepare").c_str()),
        0);
    link_com5(device_.slave_path);
  }
  void TearDown() override {
    if (child_.pid > 0 && waitpid(child_.pid, nullptr, WNOHANG) == 0) {
      kill(child_.pid, SIGKILL);
      waitpid(child_.pid, nullptr, 0);
    }
    if (child_.output >= 0) close(child_.output);
    if (!own_prefix_.empty()) {
      RunOptions stop;
      stop.command = {"wineserver", "-k"};
      stop.environment = {"WINEPREFIX=" + own_prefix_};
      stop.as_ordinary_user = true;
      wait_for_exit(start(stop).pid);
    }
    if (!workspace_.root.empty()) {
      link_com(5, "");
      link_com(6, "");
    }
    close_pty(&device_);
    if (!workspace_.root.empty()) remove_workspace(workspace_);
  }

  static std::string com_link(int number) {
    return std::string(WINE_PREFIX_PATH) + "/dosdevices/com" + std::to_string(number);
  }
  static std::string com5_link() { return com_link(5); }

  // Points COM `number` of the prefix at `target`, or at nothing when `target` is empty.
  static void link_com(int number, const std::string& target) {
    std::error_code ignored;
    std::filesystem::remove(com_link(number), ignored);
    if (!target.empty()) std::filesystem::create_symlink(target, com_link(number));
  }
  void link_com5(const std::string& target) { link_com(5, target); }

  RunOptions options(const std::vector<std::string>& arguments) {
    RunOptions run;
    run.command = {WINE_RUN_PATH, "--prefix", WINE_PREFIX_PATH, COMLOG_EXE_PATH};
    run.command.insert(run.command.end(), arguments.begin(), arguments.end());
    run.cwd = workspace_.cwd;
    return run;
  }

  // Starts comlog.exe on COM5 with standard output to a pipe, and waits until it is logging:
  // test.dat is created, or an earlier one kept and a new one made, only after the port has been
  // purged. (A pseudo-terminal as standard
  // output would not do for exact bytes: Wine's console renders what a program writes to it,
  // converting the code page and adding cursor sequences, as a Windows console draws it.)
  void start_logging(const std::vector<std::string>& arguments = {"5"},
                     bool errors_to_pipe = false) {
    RunOptions run = options(arguments);
    run.stdout_to_pipe = true;
    run.stderr_to_pipe = errors_to_pipe;
    run.stdin_from_dev_null = true;
    child_ = start(run);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::string path = workspace_.cwd + "/test.dat";
    std::error_code missing;
    while (std::filesystem::file_size(path, missing) != 0 || missing) {
      ASSERT_LT(std::chrono::steady_clock::now(), limit) << "comlog.exe never opened test.dat";
      ASSERT_EQ(waitpid(child_.pid, nullptr, WNOHANG), 0) << "comlog.exe ended early";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // Bytes that the logger takes in a read of their own.
  void send_read(const std::string& bytes) {
    write_all(device_.master, bytes);
    wait_until_taken(device_);
  }

  std::string log() { return read_file(workspace_.cwd + "/test.dat"); }

  Workspace workspace_;
  Pty device_;
  Child child_;
  std::string own_prefix_;  // a prefix of the ordinary user's, stopped at the end
};

// What Wine made of the port's settings on the pseudo-terminal behind COM5: 115200 bit/s,
// 8 data bits, no parity, one stop bit, no flow control of either kind.
void expect_line_settings(int fd) {
  termios settings;
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  EXPECT_EQ(cfgetispeed(&settings), B115200);
  EXPECT_EQ(cfgetospeed(&settings), B115200);
  EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
}

std::string banner() {
  return port_opened_message(kCom5) + "running " + windows_path_of_exe() + "\r\nrunning\r\n";
}

// One run covers the banner, the echo, the exact bytes of test.dat over more than one write-out,
// and Ctrl+C (SIGINT to Wine is a CTRL_C_EVENT): every record and all the console output held
// for the pipe are written out, and the process ends with the status of an interrupted process.
TEST_F(WineLogger, AnnouncesEchoesLogsAndKeepsEverythingOnCtrlC) {
  // Sent before the port is opened: purged at start-up, neither echoed nor logged.
  write_all(device_.master, "999\r\n12");
  start_logging();
  expect_line_settings(device_.slave);
  std::string expected_log;
  std::string expected_echo;
  for (int i = 0; i < 150; ++i) {
    send_read(std::to_string(500 + i) + "\r\n");
    expected_echo += std::to_string(500 + i) + "\r\r\n";
    expected_log += expected_record(500 + i);
  }
  send_read("abc\r\n");
  expected_echo += "abc\r\r\n";
  expected_log += " 137\r\n";
  send_read("10512\n100\n");
  expected_echo += "10512\r\n100\r\n";
  expected_log += "10000\r\n-412\r\n";
  // Every record is on disk within a second, before the run ends.
  EXPECT_TRUE(wait_until([&] { return log() == expected_log; })) << log().size();
  kill(child_.pid, SIGINT);
  const std::string output = read_to_end(child_.output);
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), kInterruptedStatus);
  EXPECT_EQ(output, banner() + expected_echo);
  EXPECT_EQ(log(), expected_log);
}

// The stream as a USB adapter hands it over, in 62-byte packets cut across lines, each packet
// one read of comlog.exe: every line is echoed once and logged, whichever read completes it.
// With --wait too, whose rests between the reads are short timed waits.
TEST_F(WineLogger, LinesSharingAReadAreEachLogged) {
  for (const bool resting : {false, true}) {
    SCOPED_TRACE(resting ? "--wait" : "busy");
    if (resting) {
      TearDown();
      SetUp();
    }
    start_logging(resting ? std::vector<std::string>{"--wait", "5"}
                          : std::vector<std::string>{"5"});
    const SentLines lines = sent_lines(0, 300);
    for (size_t at = 0; at < lines.stream.size(); at += 62) send_read(lines.stream.substr(at, 62));
    kill(child_.pid, SIGINT);
    const std::string output = read_to_end(child_.output);
    EXPECT_TRUE(WIFEXITED(wait_for_exit(child_.pid)));
    EXPECT_EQ(output, banner() + lines.echo);
    EXPECT_EQ(log(), lines.records);
  }
}

// The device behind COM5 pulled out and plugged in again as a new pseudo-terminal behind the same
// name: comlog.exe says so, keeps every record, and logs the lines after its return.
TEST_F(WineLogger, APortThatGoesAwayAndComesBackIsLoggedAgain) {
  start_logging({"5"}, true);
  const SentLines before = sent_lines(600, 40);
  const SentLines after = sent_lines(700, 40);
  for (int reading = 600; reading < 640; ++reading) send_read(std::to_string(reading) + "\r\n");
  close_pty(&device_);
  // The records held so far reach the disk at once.
  ASSERT_TRUE(wait_until([&] { return log() == before.records; })) << log();
  device_ = open_pty();
  hold_slave(&device_);
  link_com5(device_.slave_path);
  // Back once the port has its line settings again, and has purged its input.
  ASSERT_TRUE(wait_until([&] {
    termios settings;
    return tcgetattr(device_.slave, &settings) == 0 && cfgetispeed(&settings) == B115200;
  })) << "comlog.exe never came back";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int reading = 700; reading < 740; ++reading) send_read(std::to_string(reading) + "\r\n");
  kill(child_.pid, SIGINT);
  const std::string output = read_to_end(child_.output);
  EXPECT_TRUE(WIFEXITED(wait_for_exit(child_.pid)));
  EXPECT_EQ(output, banner() + before.echo + port_not_opened_message(kCom5) +
                        port_opened_message(kCom5) + after.echo);
  EXPECT_EQ(log(), before.records + after.records);
  // In words on standard error: the port went, and came back after a while.
  const std::string errors = read_to_end(child_.errors);
  close(child_.errors);
  EXPECT_TRUE(told_gone_and_back(errors, "COM5")) << errors;
}

// Each run keeps the ones before: test.dat.1 the previous run, test.dat.2 the one before, a
// read-only one moved up as it is, and test.csv beside it. A run refused because a folder has the
// name an earlier run needs changes nothing; so does a second comlog.exe in the same folder.
// Every record and its row are on disk within a second, so that even a kill that no program can
// answer keeps them.
TEST_F(WineLogger, EveryEarlierRunIsKeptAndASecondLoggerIsRefused) {
  const std::string path = workspace_.cwd + "/test.dat";
  const std::string csv = workspace_.cwd + "/test.csv";
  write_file(path, "old records\r\n");
  write_file(path + ".1", "older\r\n");
  ASSERT_EQ(chmod((path + ".1").c_str(), 0444), 0);
  // Whether `name` of test.csv's is the header and the row of `reading`.
  const auto row_of = [](const std::string& name, int reading) {
    const std::string rows = read_file(name);
    const std::string& header = kTimesHeaderLine;
    return rows.compare(0, header.size(), header) == 0 && rows.size() > header.size() + 2 &&
           rows.compare(rows.size() - 2, 2, "\r\n") == 0 &&
           is_time_row_of(rows.substr(header.size(), rows.size() - header.size() - 2), reading);
  };
  // A second device on COM6, for a second comlog.exe in the same folder.
  Pty second_device = open_pty();
  link_com(6, second_device.slave_path);
  const auto refused = [&](const std::string& errors) {
    RunOptions run = options({"6"});
    run.stdout_to_pipe = true;
    run.stderr_to_pipe = true;
    run.stdin_from_dev_null = true;
    const Child second = start(run);
    const std::string output = read_to_end(second.output);
    EXPECT_EQ(output.substr(output.size() - std::min<size_t>(output.size(), 24)),
              "\r\ncannot open test.dat\r\n");
    EXPECT_EQ(read_to_end(second.errors), "comlog: " + windows_path_of(workspace_.cwd) + errors);
    close(second.output);
    close(second.errors);
    const int status = wait_for_exit(second.pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
  };
  std::vector<std::string> runs = {"older\r\n", "old records\r\n"};
  for (int reading : {600, 601, 602}) {
    if (reading == 602) {
      // A folder where the oldest run would move to: refused, and nothing changes.
      std::filesystem::create_directory(path + ".4");
      refused("\\test.dat.4 is a folder: the earlier measurements cannot be kept\n");
      EXPECT_EQ(log(), expected_record(601));
      std::filesystem::remove(path + ".4");
    }
    start_logging();
    send_read(std::to_string(reading) + "\r\n");
    EXPECT_TRUE(wait_until([&] {
      return log() == expected_record(reading) && row_of(csv, reading);
    })) << log()
        << read_file(csv);
    runs.push_back(expected_record(reading));
    if (reading == 602) break;  // still logging: the second logger comes
    // Ctrl+C: the run ends by itself, and frees its files at once.
    kill(child_.pid, SIGINT);
    wait_for_exit(child_.pid);
    close(child_.output);
    child_ = Child();
    for (size_t back = 0; back < runs.size(); ++back) {
      const std::string name = back == 0 ? path : path + "." + std::to_string(back);
      EXPECT_EQ(read_file(name), runs[runs.size() - 1 - back]) << name;
    }
  }
  refused("\\test.dat: another comlog is logging into it\n");
  kill(child_.pid, SIGKILL);
  wait_for_exit(child_.pid);
  for (size_t back = 0; back < runs.size(); ++back) {
    const std::string name = back == 0 ? path : path + "." + std::to_string(back);
    EXPECT_EQ(read_file(name), runs[runs.size() - 1 - back]) << name;
  }
  for (int back = 0; back < 3; ++back) {
    const std::string name = back == 0 ? csv : csv + "." + std::to_string(back);
    EXPECT_TRUE(row_of(name, 602 - back)) << name << ": " << read_file(name);
  }
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(workspace_.cwd)) {
    entries += entry.exists();
  }
  EXPECT_EQ(entries, 5u + 3u) << "something was left behind";
  close_pty(&second_device);
}

// A pipe that nobody reads holds nothing up: comlog.exe reads the port and logs every line while
// the reader takes nothing, and Ctrl+C still ends the run with every record; what the pipe got
// is the console output's start, in order.
TEST_F(WineLogger, APipeNobodyReadsHoldsNothingUp) {
  start_logging();
  ASSERT_GT(fcntl(child_.output, F_SETPIPE_SZ, 4096), 0);
  // Each line is echoed as 900 bytes: a hundred are far more than the pipe and its writer hold.
  const std::string line = "600" + std::string(900 - 6, ' ') + "\r\n";
  std::string echo;
  for (int i = 0; i < 100; ++i) {
    send_read(line);
    echo += "600" + std::string(900 - 6, ' ') + "\r\r\n";
  }
  std::string records;
  for (int i = 0; i < 100; ++i) records += expected_record(600);
  EXPECT_TRUE(wait_until([&] { return log() == records; })) << log().size() / 6 << " on disk";
  kill(child_.pid, SIGINT);
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), kInterruptedStatus);
  const std::string output = read_to_end(child_.output);
  const std::string all = banner() + echo;
  EXPECT_EQ(output, all.substr(0, output.size())) << "what the pipe got is not in order";
  EXPECT_EQ(log(), records);
}

// comlog on Linux and comlog.exe under Wine in one folder lock the same byte of test.dat, so the
// second of them is refused whichever it is, and changes nothing; a test.dat that the Unix side
// removes under comlog.exe is put back with every record, as on Linux.
TEST_F(WineLogger, ComlogOnLinuxAndComlogExeExcludeEachOtherAndARemovedLogComesBack) {
  const std::string path = workspace_.cwd + "/test.dat";
  Pty linux_device = open_pty();
  link_port(workspace_, 6, linux_device.slave_path);
  // comlog on Linux on COM6, as the same user as comlog.exe, its words to a pipe.
  const auto linux_comlog = [&] {
    RunOptions run = comlog_options(workspace_, {"6"});
    run.as_ordinary_user = false;
    run.stdout_to_pipe = true;
    run.stderr_to_pipe = true;
    run.stdin_from_dev_null = true;
    return start(run);
  };
  start_logging();
  send_read("600\r\n");
  ASSERT_TRUE(wait_until([&] { return log() == expected_record(600); })) << log();
  const Child refused = linux_comlog();
  const std::string output = read_to_end(refused.output);
  const std::string errors = read_to_end(refused.errors);
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(refused.pid)), 1);
  EXPECT_EQ(output.substr(output.size() - std::min<size_t>(output.size(), 24)),
            "\r\ncannot open test.dat\r\n");
  EXPECT_EQ(errors, "comlog: " + std::filesystem::canonical(workspace_.cwd).string() +
                        "/test.dat: another program holds it locked\n");
  close(refused.output);
  close(refused.errors);
  // Removed from the Unix side: the next write-out puts it back, with the record before.
  std::filesystem::remove(path);
  send_read("601\r\n");
  EXPECT_TRUE(wait_until([&] { return log() == expected_records(600, 2); })) << log();
  kill(child_.pid, SIGINT);
  wait_for_exit(child_.pid);
  close(child_.output);
  child_ = Child();
  EXPECT_EQ(log(), expected_records(600, 2));
  EXPECT_FALSE(std::filesystem::exists(path + ".1"));
  // The other way round: comlog on Linux logs, and comlog.exe is refused.
  const Child first = linux_comlog();
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(path + ".1"); }));
  RunOptions second = options({"5"});
  second.stdout_to_pipe = true;
  second.stderr_to_pipe = true;
  second.stdin_from_dev_null = true;
  const Child exe = start(second);
  const std::string exe_output = read_to_end(exe.output);
  EXPECT_EQ(read_to_end(exe.errors), "comlog: " + windows_path_of(workspace_.cwd) +
                                         "\\test.dat: another comlog is logging into it\n");
  EXPECT_EQ(WEXITSTATUS(wait_for_exit(exe.pid)), 1);
  close(exe.output);
  close(exe.errors);
  kill(first.pid, SIGTERM);
  wait_for_exit(first.pid);
  close(first.output);
  close(first.errors);
  close_pty(&linux_device);
  EXPECT_EQ(read_file(path + ".1"), expected_records(600, 2));
  EXPECT_EQ(log(), "");
}

struct FailureCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* com5_target;  // "device": the test's pseudo-terminal; "": no link
  std::string expected_output;
  // Standard output into a file, in a UTF-8 locale (which a Linux comlog would not take for a
  // terminal either); otherwise into a pipe, in the test's own locale.
  bool into_a_file_in_utf8;
  std::string expected_errors = "";  // standard error in Wine's words; empty: not looked at
};

void PrintTo(const FailureCase& failure, std::ostream* out) {
  *out << failure.name;
}

class WineLoggerFailure : public WineLogger, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WineLoggerFailure, ReportsAndEndsWith255) {
  const FailureCase& failure = GetParam();
  const std::string target = failure.com5_target;
  link_com5(target == "device" ? device_.slave_path : target);
  std::ofstream(workspace_.cwd + "/test.dat") << "old records\n";
  RunOptions run = options(failure.arguments);
  const std::string console = workspace_.root + "/console";
  if (failure.into_a_file_in_utf8) {
    run.locale = std::vector<std::string>{"LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
    write_file(console, "");
    run.output_path = console;
  } else {
    run.stdout_to_pipe = true;
  }
  run.stdin_from_dev_null = true;
  run.stderr_to_pipe = !failure.expected_errors.empty();
  child_ = start(run);
  if (!failure.into_a_file_in_utf8) {
    EXPECT_EQ(read_to_end(child_.output), failure.expected_output);
  }
  if (run.stderr_to_pipe) {
    EXPECT_EQ(read_to_end(child_.errors), failure.expected_errors);
    close(child_.errors);
  }
  const int status = wait_for_exit(child_.pid);
  if (failure.into_a_file_in_utf8) {
    EXPECT_EQ(read_file(console), failure.expected_output);
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 255);  // -1, as Wine reports it
  EXPECT_EQ(log(), "old records\n");
  EXPECT_FALSE(std::filesystem::exists(workspace_.cwd + "/test.dat.1"));
}

INSTANTIATE_TEST_SUITE_P(
    PortTable, WineLoggerFailure,
    ::testing::Values(
        FailureCase{"missing", {"5"}, "", port_not_opened_message(kCom5), false},
        // Wine hands the arguments over re-quoted in one command line; the splitter takes
        // " 7x" back as one argument, and the decimal prefix gives port 7.
        FailureCase{"quoted_blank_and_letters",
                    {" 7x", "5"},
                    "device",
                    port_not_opened_message("\\\\.\\COM7"),
                    false},
        FailureCase{
            "empty_argument", {"", "5"}, "device", port_not_opened_message("\\\\.\\COM0"), false},
        FailureCase{"not_a_serial_device",
                    {"5"},
                    "/dev/null",
                    port_opened_message(kCom5) + kSettingsRefusedMessage,
                    false,
                    "comlog: \\\\.\\COM5: not a serial port (Invalid handle.)\n"},
        // COM n in any case is port n.
        FailureCase{"com_name",
                    {"COM5"},
                    "",
                    port_not_opened_message(kCom5),
                    false,
                    "comlog: \\\\.\\COM5: File not found.\n"},
        FailureCase{"com_name_lower_case",
                    {"com5"},
                    "/dev/null",
                    port_opened_message(kCom5) + kSettingsRefusedMessage,
                    false,
                    "comlog: \\\\.\\COM5: not a serial port (Invalid handle.)\n"},
        // A path is no port name on Windows: not a number, so COM0.
        FailureCase{"device_file_path",
                    {"/dev/ttyS0", "5"},
                    "device",
                    port_not_opened_message("\\\\.\\COM0"),
                    false},
        // The Shift_JIS bytes, whatever the locale: the console's code page decides on Windows.
        FailureCase{"missing_into_a_file_in_utf8", {"5"}, "", port_not_opened_message(kCom5), true},
        FailureCase{"not_a_serial_device_into_a_file_in_utf8",
                    {"5"},
                    "/dev/null",
                    port_opened_message(kCom5) + kSettingsRefusedMessage,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// The help and the version, as they are, with status 0 and nothing opened: no device files here.
TEST_F(WineLogger, TheHelpAndTheVersionAreWrittenAndNothingElseIsDone) {
  const struct {
    const char* argument;
    std::string output;
  } cases[] = {
      {"--help",
       "usage: comlog [OPTION] [PORT]\n"
       "Logs a measuring device on a serial port at 115200 baud, 8N1, DTR and RTS off, sending\n"
       "nothing. Each line is shown; its reading minus 512 goes to test.dat, and its time to\n"
       "test.csv, in the current folder. E, Q or X ends the run.\n"
       "  PORT          the COM port: 5, COM5 or com5 is COM5; COM3 when none is given\n"
       "  -h, --help    prints this help\n"
       "  --version     prints the version\n"
       "  --wait        rests until the port or a key has something, instead of keeping a core "
       "busy\n"},
      {"--version", std::string("comlog ") + COMLOG_VERSION + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    RunOptions run = options({c.argument, "5"});
    run.stdout_to_pipe = true;
    run.stdin_from_dev_null = true;
    child_ = start(run);
    EXPECT_EQ(read_to_end(child_.output), c.output);
    close(child_.output);
    child_.output = -1;
    EXPECT_EQ(wait_for_exit(child_.pid), 0);
    EXPECT_TRUE(std::filesystem::is_empty(workspace_.cwd));
  }
}

// A test.dat that may not be written: the run ends with 1 and the file is as it was. Root may
// write it anyway, so as root the run is the ordinary user's, with a Wine prefix of its own
// (Wine runs only in a prefix that belongs to its user).
TEST_F(WineLogger, AReadOnlyLogEndsWithOneAndStaysAsItWas) {
  const std::string path = workspace_.cwd + "/test.dat";
  write_file(path, "old records\r\n");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  RunOptions run = options({"5"});
  if (tests_run_as_root()) {
    const std::string prefix = workspace_.root + "/wineprefix";
    RunOptions prepare;
    prepare.command = {runnable_by_ordinary_user(WINE_RUN_PATH), "--prefix", prefix, "--prepare"};
    prepare.environment = {"HOME=" + workspace_.root};
    prepare.as_ordinary_user = true;
    prepare.stdin_from_dev_null = true;
    own_prefix_ = prefix;
    // Wine's first start in a prefix takes seconds, more on a busy machine.
    ASSERT_EQ(wait_for_exit(start(prepare).pid, kPreparePrefixLimitMs), 0);
    std::filesystem::create_symlink(device_.slave_path, prefix + "/dosdevices/com5");
    run.command = {runnable_by_ordinary_user(WINE_RUN_PATH), "--prefix", prefix,
                   runnable_by_ordinary_user(COMLOG_EXE_PATH), "5"};
    run.environment = prepare.environment;
    run.as_ordinary_user = true;
  }
  run.stdout_to_pipe = true;
  run.stdin_from_dev_null = true;
  child_ = start(run);
  const std::string output = read_to_end(child_.output);
  EXPECT_EQ(output.substr(output.find("\r\n") + 2),
            "running " + windows_path_of(run.command[3]) + "\r\ncannot open test.dat\r\n");
  const int status = wait_for_exit(child_.pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(log(), "old records\r\n");
  EXPECT_FALSE(std::filesystem::exists(workspace_.cwd + "/test.dat.1"));
}

}  // namespace
