// The logger end to end when things fail under it: a disk that refuses every write, a device
// that goes away while the logger runs, and a flood of garbage from the device and the keyboard.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "harness.h"
#include "logger_fixture.h"
#include "record_text.h"

namespace {

class Fault : public LoggerStage {
 protected:
  void start_logging(long file_size_limit = -1, bool errors_to_pipe = false) {
    RunOptions options = logger_options();
    options.file_size_limit = file_size_limit;
    options.stderr_to_pipe = errors_to_pipe;
    LoggerStage::start_logging(options);
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

  // Many lines quickly: fifty to a write, each write waited for on the console.
  void send_many_lines(int first, int count) {
    for (int block = first; block < first + count; block += 50) {
      const SentLines lines = sent_lines(block, std::min(50, first + count - block));
      write_all(device_.master, lines.stream);
      ASSERT_TRUE(
          read_until(terminal_.master, &console_, lines.echo.substr(lines.echo.size() - 12)))
          << console_;
    }
  }

  // Quits with q, as the operator does, and returns the wait status.
  int quit() {
    write_all(terminal_.master, "q");
    return wait_for_exit(child_.pid);
  }
};

// Whether test.csv is its header and whole rows for readings first, first + 1, ... in order, as
// many as it holds; `*rows` is then their count.
::testing::AssertionResult times_in_order(const std::string& csv, int first, size_t* rows) {
  const std::string& header = kTimesHeaderLine;
  if (csv.compare(0, header.size(), header) != 0) {
    return ::testing::AssertionFailure() << "no header: " << csv.substr(0, 40);
  }
  *rows = 0;
  for (size_t start = header.size(); start < csv.size(); ++*rows) {
    const size_t end = csv.find("\r\n", start);
    if (end == std::string::npos) return ::testing::AssertionFailure() << "a torn row at " << start;
    const std::string row = csv.substr(start, end - start);
    if (!is_time_row_of(row, first + int(*rows))) {
      return ::testing::AssertionFailure() << "row " << *rows << ": " << row;
    }
    start = end + 2;
  }
  return ::testing::AssertionSuccess();
}

// What standard error said, once the logger has ended; the lines about test.csv, which shares
// the disk, go to `times` when asked for.
std::string errors_of(Child* child, std::string* times = nullptr) {
  const std::string errors = read_to_end(child->errors);
  close(child->errors);
  child->errors = -1;
  if (times == nullptr) return errors;
  std::string rest;
  for (size_t start = 0; start < errors.size();) {
    const size_t end = errors.find('\n', start) + 1;
    const std::string line = errors.substr(start, end - start);
    (line.find("test.csv") != std::string::npos ? *times : rest) += line;
    start = end;
  }
  return rest;
}

TEST_F(Fault, ADiskRefusingEveryWriteIsToldOfAndTheRunEndsAsAFailure) {
  std::filesystem::create_symlink("/dev/full", workspace_.cwd + "/test.dat");
  start_logging(-1, true);
  send_many_lines(600, 300);
  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // Standard output is as ever: after the last echo the console got no more text.
  const std::string rest = read_to_end(terminal_.master);
  EXPECT_EQ(rest, "") << rest;
  EXPECT_EQ(errors_of(&child_),
            "comlog: /dev/full: No space left on device: the records are held and written once "
            "the file takes them\n"
            "comlog: 300 records could not be written to test.dat\n");
}

TEST_F(Fault, AFileSizeLimitKeepsWholeRecordsAndSaysHowManyAreMissing) {
  // Room for 166 records of 6 bytes and a part of the next.
  start_logging(1000, true);
  send_many_lines(600, 300);
  const int status = quit();
  // SIGXFSZ would have ended the process.
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(log(), expected_records(600, 166));
  const std::string folder = std::filesystem::canonical(workspace_.cwd).string();
  std::string times;
  EXPECT_EQ(errors_of(&child_, &times),
            "comlog: " + folder +
                "/test.dat: File too large: the records are held and written once the file takes "
                "them\n"
                "comlog: 134 records could not be written to test.dat\n");
  // test.csv meets the same limit and keeps whole rows, in order, and says what it lost.
  size_t rows = 0;
  EXPECT_TRUE(times_in_order(read_file(workspace_.cwd + "/test.csv"), 600, &rows));
  EXPECT_EQ(times, "comlog: " + folder +
                       "/test.csv: File too large: the records are held and written once the "
                       "file takes them\n"
                       "comlog: " +
                       std::to_string(300 - rows) + " rows could not be written to test.csv\n");
}

// What another program does to test.dat during the run: a file removed or replaced comes back
// with every record, and what took its name is kept as the run before; a file emptied goes on at
// its end, without a hole of NUL bytes where the records were. Each is said once.
TEST_F(Fault, ATestDatRemovedReplacedOrEmptiedDuringTheRunLosesNoRecord) {
  const struct {
    const char* name;
    void (*act)(const std::string& path, const std::string& folder);
    bool all_records;  // otherwise those after it
    const char* kept;  // test.dat.1 afterwards, or null
    const char* said;
  } cases[] = {
      {"removed",
       [](const std::string& path, const std::string&) { std::filesystem::remove(path); }, true,
       nullptr,
       "comlog: test.dat was removed or replaced: a new test.dat holds the run's records\n"},
      {"replaced",
       [](const std::string& path, const std::string& folder) {
         write_file(folder + "/other", "other\r\n");
         std::filesystem::rename(folder + "/other", path);
       },
       true, "other\r\n",
       "comlog: test.dat was removed or replaced: a new test.dat holds the run's records\n"},
      {"emptied", [](const std::string& path, const std::string&) { write_file(path, ""); }, false,
       nullptr,
       "comlog: test.dat was emptied or shortened by another program: the records go on at its "
       "end\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    start_logging(-1, true);
    send_many_lines(600, 300);
    ASSERT_TRUE(wait_until([&] { return log() == expected_records(600, 300); })) << log();
    const std::string path = workspace_.cwd + "/test.dat";
    c.act(path, workspace_.cwd);
    send_many_lines(1000, 50);
    const std::string records =
        (c.all_records ? expected_records(600, 300) : "") + expected_records(1000, 50);
    EXPECT_TRUE(wait_until([&] { return log() == records; })) << log().substr(0, 40);
    const int status = quit();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(log(), records);
    EXPECT_EQ(std::filesystem::exists(path + ".1"), c.kept != nullptr);
    if (c.kept != nullptr) {
      EXPECT_EQ(read_file(path + ".1"), c.kept);
    }
    EXPECT_EQ(errors_of(&child_), c.said);
  }
}

// The working folder on a disk that is all but full: a small tmpfs of its own, mounted by the
// tests as root, and filled up by a file of root's that the test removes to make room.
class FullDisk : public Fault {
 protected:
  void SetUp() override {
    Fault::SetUp();
    if (!tests_run_as_root()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    if (mount("tmpfs", workspace_.cwd.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    mounted_ = true;
    hand_to_ordinary_user(workspace_.cwd);
    // Two pages of 4 KiB are left: 8190 bytes of whole records, 1365 of them.
    write_file(filler(), std::string(56 * 1024, 'x'));
  }
  void TearDown() override {
    if (mounted_) umount2(workspace_.cwd.c_str(), MNT_DETACH);
    mounted_ = false;
    Fault::TearDown();
  }
  std::string filler() const { return workspace_.cwd + "/filler"; }
  bool mounted_ = false;
};

TEST_F(FullDisk, RecordsWaitInOrderUntilThereIsRoomOrAreCountedAtTheEnd) {
  for (bool room_made : {true, false}) {
    SCOPED_TRACE(room_made ? "room made during the run" : "full to the end");
    TearDown();
    SetUp();
    if (IsSkipped()) return;
    start_logging(-1, true);
    send_many_lines(600, 2000);
    const size_t on_full_disk = log().size() / 6;
    ASSERT_LT(on_full_disk, 2000u);
    ASSERT_EQ(log(), expected_records(600, int(on_full_disk)));
    const std::string held = "comlog: " + std::filesystem::canonical(workspace_.cwd).string() +
                             "/test.dat: No space left on device: the records are held and "
                             "written once the file takes them\n";
    if (room_made) {
      std::filesystem::remove(filler());
      EXPECT_TRUE(wait_until([&] { return log() == expected_records(600, 2000); }));
      send_many_lines(2600, 100);
    }
    const int status = quit();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    const size_t missing = 2000 - on_full_disk;
    std::string times;
    if (room_made) {
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(log(), expected_records(600, 2100));
      EXPECT_EQ(errors_of(&child_, &times),
                held + "comlog: test.dat takes records again: " + std::to_string(missing) +
                    " held records written\n");
    } else {
      EXPECT_EQ(WEXITSTATUS(status), 1);
      EXPECT_EQ(log(), expected_records(600, int(on_full_disk)));
      EXPECT_EQ(errors_of(&child_, &times), held + "comlog: " + std::to_string(missing) +
                                                " records could not be written to test.dat\n");
    }
    // test.csv leaves a disk with less than a megabyte free to test.dat: it waits, to the end.
    EXPECT_EQ(read_file(workspace_.cwd + "/test.csv"), "");
    EXPECT_EQ(times,
              "comlog: test.csv waits: its disk has less than 1 MiB free, which is kept "
              "for test.dat; the records are held\ncomlog: " +
                  std::to_string(room_made ? 2100 : 2000) +
                  " rows could not be written to test.csv\n");
  }
}

// Whether the process holds the terminal device `device` open: its descriptors are compared by
// device number, since the name of a hung-up terminal's slave is gone.
bool holds_open(pid_t pid, dev_t device) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    struct stat held;
    if (stat(entry.path().c_str(), &held) == 0 && S_ISCHR(held.st_mode) && held.st_rdev == device) {
      return true;
    }
  }
  return false;
}

// The port named as COM5, by the device file itself, or by a link to it.
class FaultNamed : public Fault, public ::testing::WithParamInterface<PortNaming> {
 protected:
  void SetUp() override {
    Fault::SetUp();
    name_port(GetParam());
  }
};

TEST_P(FaultNamed, DeviceGoingAwayKeepsTheRunAndItsRecords) {
  start_logging();
  send_lines(600, 150);
  // An unplugged adapter: the device side closes. The port is released at once, the records
  // held so far reach the disk, and the operator is told, once.
  struct stat port;
  ASSERT_EQ(stat(device_.slave_path.c_str(), &port), 0);
  ASSERT_TRUE(holds_open(child_.pid, port.st_rdev));
  close(device_.master);
  close(device_.slave);
  device_.master = device_.slave = -1;
  ASSERT_TRUE(read_until(terminal_.master, &console_, port_not_opened_message(port_shown())))
      << console_;
  EXPECT_EQ(log(), expected_records(600, 150));
  // Released before the message.
  EXPECT_FALSE(holds_open(child_.pid, port.st_rdev));
  // A key while the port is away still reaches the logger, which answers and goes on.
  write_all(terminal_.master, " ");
  std::string shown;
  ASSERT_TRUE(read_until(terminal_.master, &shown, "running\r\n")) << shown;
  EXPECT_EQ(shown, "running\r\n");
  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(log(), expected_records(600, 150));
}

INSTANTIATE_TEST_SUITE_P(Port, FaultNamed,
                         ::testing::Values(PortNaming::kComNumber, PortNaming::kDeviceFile,
                                           PortNaming::kDeviceLink),
                         [](const auto& info) { return naming_name(info.param); });

// A name that leads to the device again once it is back: COM5's link in the ports folder, or a
// link such as /dev/serial/by-id has. (A pseudo-terminal's own name comes back only by chance.)
class FaultNamedAgain : public FaultNamed {};

TEST_P(FaultNamedAgain, APortThatComesBackUnderItsNameIsLoggedAgain) {
  start_logging(-1, true);
  send_lines(600, 40);
  close_pty(&device_);
  const std::string shown = port_shown();
  ASSERT_TRUE(read_until(terminal_.master, &console_, port_not_opened_message(shown))) << console_;
  // Plugged in again: a new terminal behind the same name, which the logger finds by itself.
  plug_in_again();
  ASSERT_TRUE(read_until(terminal_.master, &console_, port_opened_message(shown))) << console_;
  send_lines(700, 40);
  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(console_, sent_lines(600, 40).echo + port_not_opened_message(shown) +
                          port_opened_message(shown) + sent_lines(700, 40).echo);
  EXPECT_EQ(log(), expected_records(600, 40) + expected_records(700, 40));
  // Standard error says in words that the port went and that it came back, and after how long.
  const std::string told = GetParam() == PortNaming::kComNumber
                               ? "COM5 (" + workspace_.ports + "/com5)"
                               : port_argument();
  const std::string errors = read_to_end(child_.errors);
  EXPECT_TRUE(told_gone_and_back(errors, told)) << errors;
}

INSTANTIATE_TEST_SUITE_P(Port, FaultNamedAgain,
                         ::testing::Values(PortNaming::kComNumber, PortNaming::kDeviceLink),
                         [](const auto& info) { return naming_name(info.param); });

// Reads the logger's console and throws it away, counting the bytes, so that the echo of a flood
// never stalls the logger.
class ConsoleDrain {
 public:
  explicit ConsoleDrain(int fd) : thread_([this, fd] { drain(fd); }) {}
  ~ConsoleDrain() { stop(); }
  // Stops reading; what the logger writes from then on stays in the terminal for the test.
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
  }
  size_t total() const { return total_; }

 private:
  void drain(int fd) {
    while (!stopping_) {
      pollfd ready = {fd, POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      char chunk[65536];
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) return;
      total_ += size_t(got);
    }
  }
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> total_{0};
  std::thread thread_;
};

std::string random_bytes(std::mt19937* random, size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = char(byte(*random));
  return bytes;
}

// Text that looks like readings gone wrong: signs, blanks, digits runs long enough to overflow,
// and newlines.
std::string reading_like_bytes(std::mt19937* random, size_t count) {
  static const char kAlphabet[] = "0123456789012345678901234567890123456789+- \t\n\n\rx";
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string bytes(count, '\0');
  for (char& c : bytes) c = kAlphabet[pick(*random)];
  return bytes;
}

// Keys no run may quit on: every byte but the quit letters, Ctrl+C and ESC (which starts the
// sequences and Alt keys whose codes can equal a quit letter's).
std::string harmless_keys(std::mt19937* random, size_t count) {
  static const std::string kExcluded = "EQXeqx\x03\x1b";
  std::uniform_int_distribution<int> byte(0, 255);
  std::string keys;
  while (keys.size() < count) {
    const char c = char(byte(*random));
    if (kExcluded.find(c) == std::string::npos) keys += c;
  }
  return keys;
}

// Whether every line of `log` is a record; `*bad` is then the last line looked at.
bool only_records(const std::string& log, std::string* bad) {
  for (size_t start = 0; start < log.size();) {
    const size_t end = log.find("\r\n", start);
    *bad = log.substr(start, end == std::string::npos ? end : end - start);
    int32_t logged = 0;
    if (end == std::string::npos || !parse_record_text(*bad, &logged)) return false;
    start = end + 2;
  }
  return true;
}

TEST_F(Fault, FloodOfGarbageLogsOnlyRecordsAndStillQuits) {
  start_logging();
  std::mt19937 random(20261208);
  ConsoleDrain drain(terminal_.master);
  // Megabytes from the device: bytes of every value (NULs and newlines among them), a run with
  // no newline at all, and number-like text; keys from the operator between the blocks.
  std::string without_newlines = random_bytes(&random, 1 << 20);
  for (char& c : without_newlines) {
    if (c == '\n') c = ' ';
  }
  const std::string blocks[] = {random_bytes(&random, 2 << 20), without_newlines,
                                reading_like_bytes(&random, 1 << 20)};
  size_t newlines = 0;
  constexpr size_t kChunk = 8192;
  for (const std::string& block : blocks) {
    for (size_t at = 0; at < block.size(); at += kChunk) {
      const std::string chunk = block.substr(at, kChunk);
      newlines += size_t(std::count(chunk.begin(), chunk.end(), '\n'));
      write_all(device_.master, chunk);
      if (at % (16 * kChunk) == 0) write_all(terminal_.master, harmless_keys(&random, 64));
    }
  }
  // Ends whatever line the flood left open, then a known reading in a read of its own.
  write_all(device_.master, "\n");
  ++newlines;
  wait_until_taken(device_);
  drain.stop();
  write_all(device_.master, "-7654321\r\n");
  ASSERT_TRUE(read_until(terminal_.master, &console_, "-7654321\r\r\n")) << drain.total();

  const int status = quit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string logged = log();
  std::string bad;
  EXPECT_TRUE(only_records(logged, &bad)) << "not a record: " << bad;
  // Every newline completes a line, however many share a read: one record each.
  const size_t records_logged = size_t(std::count(logged.begin(), logged.end(), '\n'));
  EXPECT_EQ(records_logged, newlines + 1);
  const std::string last = "-7654833\r\n";
  ASSERT_GE(logged.size(), last.size());
  EXPECT_EQ(logged.substr(logged.size() - last.size()), last);
}

}  // namespace
