// Measures the built logger side by side with the least a program can do (a raw blocking relay),
// with picocom and tio logging to a file, and with cat, each in turn over the same two
// pseudo-terminals: echo latency, CPU while idle and footprint. Then whether every line gets its
// record at paces up to ten times the wire's, how many lines a second comlog logs when the device
// writes as fast as the pseudo-terminal takes, and the time of one idle loop turn. Prints only
// what this run measured, as a table, and writes it to a file.
//
// usage: comlog_bench [COMLOG [RESULTS_FILE [RELAY]]]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Latency is measured in rounds, each program started afresh in every round, so that a moment of
// other work on the machine spreads over the columns instead of landing on one.
constexpr int kRounds = 5;
constexpr int kLatencyLines = 1000;  // timed, per round
constexpr int kWarmUpLines = 200;    // per round, before them
constexpr int kPaceLines = 1000;
// A slow pace sends only as many lines as fit into this long.
constexpr double kSlowPaceMicros = 5e6;
constexpr int kFloodLines = 200000;
constexpr double kIdleSeconds = 3.0;      // comlog's, for its loop turn
constexpr double kPeerIdleSeconds = 2.0;  // every other column's
// "600\r\n" at 115200 baud, 8N1: 5 bytes of 10 bits each.
constexpr double kWireMicros = 5 * 10 * 1e6 / 115200;
constexpr char kLine[] = "600\r\n";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "comlog_bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t when) {
  timespec ts{time_t(when / 1000000000), long(when % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

struct Pty {
  int master = -1;
  int held =
      -1;  // the slave, open here too, so the master reads no hang-up before a child opens it
  std::string slave;
};

// A pseudo-terminal in raw mode, so that bytes pass both ways unchanged until a program sets
// its own modes.
Pty open_pty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) die("ptmx");
  pty.slave = ptsname(pty.master);
  pty.held = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.held < 0) die("open slave");
  termios settings;
  if (tcgetattr(pty.master, &settings) != 0) die("tcgetattr");
  cfmakeraw(&settings);
  tcsetattr(pty.master, TCSANOW, &settings);
  return pty;
}

void close_pty(Pty* pty) {
  close(pty->master);
  close(pty->held);
  pty->master = pty->held = -1;
}

void write_all(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) die("write");
    bytes += written;
    length -= size_t(written);
  }
}

// Reads from `fd` until `wanted` more LFs have arrived; false after `timeout_ms` without them.
bool read_lines(int fd, int wanted, int timeout_ms = 2000) {
  char chunk[4096];
  while (wanted > 0) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0) return false;
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return false;
    wanted -= int(std::count(chunk, chunk + got, '\n'));
  }
  return true;
}

// Reads whatever is there without waiting; returns the LFs among it.
int drain_lines(int fd) {
  char chunk[4096];
  int lines = 0;
  for (;;) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0) return lines;
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return lines;
    lines += int(std::count(chunk, chunk + got, '\n'));
  }
}

// Starts a child in its own session with `console` as controlling terminal and standard
// streams (standard output to `output` instead when one is named), in `cwd`, with HOME there too
// so that no user's settings file changes a peer.
pid_t start(const std::vector<std::string>& command, const std::string& console,
            const std::string& cwd, const std::string& ports,
            const std::vector<std::string>& environment = {}, const std::string& output = "") {
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid != 0) return pid;
  setsid();
  const int terminal = open(console.c_str(), O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(120);
  dup2(terminal, STDIN_FILENO);
  dup2(terminal, STDOUT_FILENO);
  dup2(terminal, STDERR_FILENO);
  if (!output.empty()) {
    const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0 || dup2(file, STDOUT_FILENO) < 0) _exit(123);
  }
  if (chdir(cwd.c_str()) != 0) _exit(121);
  setenv("COMLOG_PORTS", ports.c_str(), 1);
  setenv("HOME", cwd.c_str(), 1);
  for (const std::string& pair : environment) putenv(const_cast<char*>(pair.c_str()));
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(122);
}

struct Usage {
  double user = 0;    // seconds
  double system = 0;  // seconds
  long peak_kib = 0;
  int status = 0;
};

Usage finish(pid_t pid) {
  Usage usage;
  rusage used;
  if (wait4(pid, &usage.status, 0, &used) != pid) die("wait4");
  usage.user = double(used.ru_utime.tv_sec) + double(used.ru_utime.tv_usec) / 1e6;
  usage.system = double(used.ru_stime.tv_sec) + double(used.ru_stime.tv_usec) / 1e6;
  usage.peak_kib = used.ru_maxrss;
  return usage;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// User and system CPU seconds of a running process so far.
void cpu_seconds(pid_t pid, double* user, double* system) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long ticks[15] = {};
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && (fields >> field); ++i)
    ticks[i - 1] = std::strtoull(field.c_str(), nullptr, 10);
  const double per_second = double(sysconf(_SC_CLK_TCK));
  *user = double(ticks[13]) / per_second;
  *system = double(ticks[14]) / per_second;
}

// What the preloaded counter kept in `path` so far: comlog's loop turns (counter 0), its writes
// to test.dat (1) or to test.csv (2).
long long counted(const std::string& path, int counter) {
  unsigned long long count = 0;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t got = pread(fd, &count, sizeof count, off_t(counter * sizeof count));
  close(fd);
  return got == ssize_t(sizeof count) ? (long long)(count) : -1;
}

long long turns_counted(const std::string& path) {
  return counted(path, 0);
}

// A fresh file for the preloaded counter, and the environment that hands it over.
std::vector<std::string> counting_environment(const std::string& path) {
  std::ofstream(path, std::ios::binary) << std::string(3 * sizeof(unsigned long long), '\0');
  return {"LD_PRELOAD=" TURN_COUNTER_PATH, "COMLOG_BENCH_TURNS=" + path};
}

struct Setup {
  std::string root, ports, work;
};

Setup make_setup(const Pty& device) {
  char pattern[] = "/tmp/comlog-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) die("mkdtemp");
  Setup setup{pattern, std::string(pattern) + "/ports", std::string(pattern) + "/work"};
  mkdir(setup.ports.c_str(), 0755);
  mkdir(setup.work.c_str(), 0755);
  const std::string link = setup.ports + "/com1";
  unlink(link.c_str());
  if (symlink(device.slave.c_str(), link.c_str()) != 0) die("symlink");
  return setup;
}

// comlog on a fresh pair of terminals, past its banner; the port link points at `device`.
struct Run {
  Pty device, console;
  Setup setup;
  pid_t pid = -1;
};

Run start_comlog(const std::string& comlog, const std::vector<std::string>& environment = {}) {
  Run run;
  run.device = open_pty();
  run.console = open_pty();
  run.setup = make_setup(run.device);
  run.pid = start({comlog, "1"}, run.console.slave, run.setup.work, run.setup.ports, environment);
  // The opened message, "running <path>" and "running": the input was purged before the second.
  if (!read_lines(run.console.master, 3)) {
    int status = 0;
    const pid_t ended = waitpid(run.pid, &status, WNOHANG);
    std::fprintf(stderr, "comlog_bench: comlog did not start (%s, status %d)\n",
                 ended == run.pid ? "ended" : "running", status);
    std::exit(1);
  }
  return run;
}

Usage quit_comlog(Run* run) {
  write_all(run->console.master, "q", 1);
  const Usage usage = finish(run->pid);
  close_pty(&run->device);
  close_pty(&run->console);
  return usage;
}

void remove_setup(const Setup& setup) {
  unlink((setup.ports + "/com1").c_str());
  unlink((setup.work + "/test.dat").c_str());
  unlink((setup.work + "/peer.log").c_str());
  unlink((setup.root + "/turns").c_str());
  rmdir(setup.ports.c_str());
  rmdir(setup.work.c_str());
  rmdir(setup.root.c_str());
}

struct Latency {
  double median_us = 0, p99_us = 0;
  bool ok = false;
};

// One line in flight at a time: written on the device side, timed until its LF on the console.
// Adds the samples to `samples`; false if a line did not come back.
bool measure_latency(int device, int console, std::vector<double>* samples) {
  for (int i = 0; i < kWarmUpLines + kLatencyLines; ++i) {
    const int64_t sent = now_ns();
    write_all(device, kLine, sizeof kLine - 1);
    if (!read_lines(console, 1)) return false;
    if (i >= kWarmUpLines) samples->push_back(double(now_ns() - sent) / 1000.0);
  }
  return true;
}

Latency summarize(std::vector<double> samples) {
  if (samples.empty()) return Latency{};
  std::sort(samples.begin(), samples.end());
  Latency latency;
  latency.median_us = samples[samples.size() / 2];
  latency.p99_us = samples[samples.size() * 99 / 100];
  latency.ok = true;
  return latency;
}

// How often the kernel took the core from a running process so far (/proc/<pid>/status).
long long preemptions(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const char key[] = "nonvoluntary_ctxt_switches:";
  const size_t at = status.find(key);
  return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + sizeof key - 1);
}

struct Pace {
  int lines = 0;
  int records = 0;
  long long writes = 0;       // comlog's writes to test.dat, the one at the end included
  long long time_writes = 0;  // and to test.csv
  long long preempted = 0;    // times comlog lost its core during the run
  double median_gap_us = 0;   // between the starts of successive writes, as achieved
};

// Sends `lines` lines, each `interval_us` after the previous one (no catching up after a delay,
// which would send lines back to back), and counts the records comlog made and its writes.
Pace records_at_pace(const std::string& comlog, double interval_us, int lines) {
  char counters[] = "/tmp/comlog-bench-writes-XXXXXX";
  const int counters_fd = mkstemp(counters);
  if (counters_fd < 0) die("mkstemp");
  close(counters_fd);
  Run run = start_comlog(comlog, counting_environment(counters));
  const int64_t step = int64_t(interval_us * 1000);
  std::vector<double> gaps;
  int echoed = 0;
  const long long preempted_before = preemptions(run.pid);
  int64_t previous = now_ns();
  for (int i = 0; i < lines; ++i) {
    // Sleeping, not spinning: on two cores, with comlog spinning on one, the kernel's worker
    // that moves written bytes to the port needs the other.
    sleep_until_ns(previous + step);
    const int64_t sent = now_ns();
    write_all(run.device.master, kLine, sizeof kLine - 1);
    if (i > 0) gaps.push_back(double(sent - previous) / 1000.0);
    previous = sent;
    echoed += drain_lines(run.console.master);
  }
  read_lines(run.console.master, lines - echoed);
  const long long preempted = preemptions(run.pid) - preempted_before;
  quit_comlog(&run);
  const std::string log = read_file(run.setup.work + "/test.dat");
  remove_setup(run.setup);
  std::sort(gaps.begin(), gaps.end());
  Pace pace;
  pace.lines = lines;
  pace.writes = counted(counters, 1);
  pace.time_writes = counted(counters, 2);
  unlink(counters);
  pace.records = int(std::count(log.begin(), log.end(), '\n'));
  pace.median_gap_us = gaps[gaps.size() / 2];
  pace.preempted = preempted;
  return pace;
}

// Reads `fd` and throws it away until told to stop, counting the bytes, so that a console the
// benchmark does not look at never holds comlog up.
class Drain {
 public:
  explicit Drain(int fd)
      : thread_([this, fd] {
          char chunk[65536];
          while (!stopping_) {
            pollfd ready = {fd, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) return;
            total_ += size_t(got);
          }
        }) {}
  ~Drain() {
    stopping_ = true;
    thread_.join();
  }
  size_t total() const { return total_; }

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> total_{0};
  std::thread thread_;
};

long long file_size(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? (long long)(info.st_size) : 0;
}

struct Flood {
  double lines_per_second = 0;
  bool all_logged = false;  // test.dat holds exactly the record of every line, in order
};

// Writes kFloodLines lines (readings 0 to 9999 over and over) into a fresh comlog as fast as the
// pseudo-terminal takes them, in writes of 4 KiB cut across lines, and times them from the first
// write until the console has shown the last line. comlog's console is a pseudo-terminal, drained
// meanwhile, or a file, which may be 512 bytes behind until the end.
Flood flood(const std::string& comlog, bool console_to_file) {
  std::string stream, records;
  size_t echo_size = 0;
  for (int i = 0; i < kFloodLines; ++i) {
    const std::string number = std::to_string(i % 10000);
    stream += number + "\r\n";
    echo_size += number.size() + 3;  // the device's CR LF as CR CR LF
    const std::string logged = std::to_string(i % 10000 - 512);
    records += std::string(logged.size() < 4 ? 4 - logged.size() : 0, ' ') + logged + "\r\n";
  }
  Run run;
  run.device = open_pty();
  run.console = open_pty();
  run.setup = make_setup(run.device);
  const std::string output = console_to_file ? run.setup.root + "/console.txt" : "";
  double seconds = 0;
  {
    Drain drain(run.console.master);
    run.pid = start({comlog, "1"}, run.console.slave, run.setup.work, run.setup.ports, {}, output);
    // test.dat is made right before the loop starts, after the purge.
    const std::string log_path = run.setup.work + "/test.dat";
    for (int waited = 0; access(log_path.c_str(), F_OK) != 0; ++waited) {
      if (waited > 500) die("comlog did not start");
      sleep_until_ns(now_ns() + 10000000);
    }
    const size_t banner = drain.total();
    const int64_t start_ns = now_ns();
    for (size_t at = 0; at < stream.size(); at += 4096) {
      write_all(run.device.master, stream.data() + at, std::min<size_t>(4096, stream.size() - at));
    }
    // Polled with short sleeps: the kernel's pseudo-terminal worker needs the other core.
    auto shown = [&] {
      return console_to_file ? size_t(file_size(output)) + 512 : drain.total() - banner;
    };
    for (int waited = 0; shown() < echo_size; ++waited) {
      if (waited > 300000) die("comlog did not show every line");
      sleep_until_ns(now_ns() + 100000);
    }
    seconds = double(now_ns() - start_ns) / 1e9;
    write_all(run.console.master, "q", 1);
    finish(run.pid);
  }
  close_pty(&run.device);
  close_pty(&run.console);
  Flood result;
  result.lines_per_second = kFloodLines / seconds;
  result.all_logged = read_file(run.setup.work + "/test.dat") == records;
  if (console_to_file) unlink(output.c_str());
  remove_setup(run.setup);
  return result;
}

long stripped_kib(const std::string& program) {
  const std::string copy = "/tmp/comlog-bench-stripped";
  const std::string command = "cp '" + program + "' " + copy + " && strip " + copy;
  if (std::system(command.c_str()) != 0) return -1;
  struct stat info;
  const long size = stat(copy.c_str(), &info) == 0 ? long(info.st_size) : -1;
  unlink(copy.c_str());
  return size < 0 ? -1 : (size + 1023) / 1024;
}

std::string first_line_of(const std::string& path, const std::string& key) {
  std::istringstream lines(read_file(path));
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, key.size(), key) == 0) {
      const size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// CPU seconds the whole machine spent busy so far (/proc/stat: all but idle and iowait).
double machine_busy_seconds() {
  std::istringstream fields(read_file("/proc/stat"));
  std::string cpu;
  fields >> cpu;
  unsigned long long ticks = 0, busy = 0;
  for (int i = 0; i < 8 && (fields >> ticks); ++i) {
    if (i != 3 && i != 4) busy += ticks;
  }
  return double(busy) / double(sysconf(_SC_CLK_TCK));
}

// CPU seconds this benchmark and the children it has waited for used so far.
double own_busy_seconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage used;
    getrusage(who, &used);
    total += double(used.ru_utime.tv_sec) + double(used.ru_utime.tv_usec) / 1e6 +
             double(used.ru_stime.tv_sec) + double(used.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

// The program `name` as found on PATH, or "" when it is not installed.
std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

// The first line a command prints, for the versions of the peers.
std::string first_output_line(const std::string& command) {
  FILE* output = popen((command + " 2>&1").c_str(), "r");
  if (output == nullptr) return "";
  char line[256] = "";
  if (std::fgets(line, sizeof line, output) == nullptr) line[0] = '\0';
  pclose(output);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Reads the console until it has been quiet for `quiet_ms`: a banner, if any, is over.
void wait_quiet(int console, int quiet_ms) {
  char chunk[4096];
  for (;;) {
    pollfd ready = {console, POLLIN, 0};
    if (poll(&ready, 1, quiet_ms) <= 0 || read(console, chunk, sizeof chunk) <= 0) return;
  }
}

// Writes a line every 100 ms until one comes back on the console: the program has opened and
// set up its port. A peer gives no sign of that other than echoing. Counts the lines written.
bool wait_echoing(int device, int console, int* sent) {
  wait_quiet(console, 300);
  for (int tries = 0; tries < 50; ++tries) {
    write_all(device, kLine, sizeof kLine - 1);
    ++*sent;
    if (read_lines(console, 1, 100)) {
      wait_quiet(console, 200);
      return true;
    }
  }
  return false;
}

// A value from /proc/<pid>/status, in the file's units (kB for the memory ones); -1 if absent.
long long status_value(pid_t pid, const char* key) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find(key);
  return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(key));
}

// Ends a child: comlog by its key, the others by SIGTERM; SIGKILL if it has not ended in 2 s.
void stop(pid_t pid, int console, bool by_key) {
  if (by_key) {
    write_all(console, "q", 1);
  } else {
    kill(pid, SIGTERM);
  }
  int status = 0;
  for (int waited_ms = 0; waited_ms < 2000; waited_ms += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    wait_quiet(console, 10);  // a program that writes on its way out must not block on it
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

// One column of the side-by-side table: a program run over a fresh pair of pseudo-terminals.
struct Column {
  std::string heading;
  std::string program;          // the executable, for its stripped size; "" when not installed
  std::string problem;          // why nothing was measured, or ""
  std::vector<double> samples;  // echo latencies of all rounds, µs
  Latency latency;
  double idle_user = 0, idle_system = 0;  // CPU seconds per second of idling
  std::vector<long long> peaks_kib;       // VmHWM just before it was stopped, each round
  std::vector<long long> privates_kib;    // and its own pages then (Private_Dirty)
  long stripped_kib = -1;
  int logged = -1, sent = 0;  // LFs in its log file, lines written to its port
  double turn_us = 0;         // comlog only: one idle loop turn
};

// The median of some values, the upper one of the middle two; -1 for none.
long long median_of(std::vector<long long> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs `command` (PORT stands for the device's pseudo-terminal, LOG for its log file) for one
// round and measures it: idle CPU first (if `idle_seconds` > 0), then latency, then peak
// memory; `log` is the file it logs to, relative to its folder, or "" for none.
void measure(Column* column, std::vector<std::string> command, const std::string& log,
             bool is_comlog, double idle_seconds) {
  if (column->program.empty()) column->problem = "not installed";
  if (!column->problem.empty()) return;
  Pty device = open_pty(), console = open_pty();
  const Setup setup = make_setup(device);
  for (std::string& word : command) {
    if (word == "PORT") word = device.slave;
    if (word == "LOG") word = setup.work + "/" + log;
  }
  // comlog's turns are counted by a preloaded library, in a file of eight bytes.
  const std::string turns_file = setup.root + "/turns";
  std::vector<std::string> environment;
  // Only in the round that idles, which is not the one its peak memory is taken from.
  if (is_comlog && idle_seconds > 0) environment = counting_environment(turns_file);
  const pid_t pid = start(command, console.slave, setup.work, setup.ports, environment);
  if (!wait_echoing(device.master, console.master, &column->sent)) {
    int status = 0;
    column->problem = waitpid(pid, &status, WNOHANG) == pid
                          ? "ended before it echoed a line (status " + std::to_string(status) + ")"
                          : "echoed no line in 5 s";
  } else if (idle_seconds > 0) {
    double user0, system0, user1, system1;
    cpu_seconds(pid, &user0, &system0);
    const long long turns0 = turns_counted(turns_file);
    const int64_t idle0 = now_ns();
    sleep_until_ns(idle0 + int64_t(idle_seconds * 1e9));
    const long long turns1 = turns_counted(turns_file);
    const double idle_wall = double(now_ns() - idle0) / 1e9;
    cpu_seconds(pid, &user1, &system1);
    column->idle_user = (user1 - user0) / idle_wall;
    column->idle_system = (system1 - system0) / idle_wall;
    if (is_comlog && turns1 > turns0) column->turn_us = idle_wall * 1e6 / double(turns1 - turns0);
  }
  if (column->problem.empty()) {
    if (!measure_latency(device.master, console.master, &column->samples)) {
      column->problem = "lost a line";
    }
    column->sent += kWarmUpLines + kLatencyLines;
    if (environment.empty()) {
      column->peaks_kib.push_back(status_value(pid, "VmHWM:"));
      const std::string rollup = read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
      const size_t at = rollup.find("Private_Dirty:");
      if (at != std::string::npos) {
        column->privates_kib.push_back(std::atoll(rollup.c_str() + at + 14));
      }
    }
  }
  stop(pid, console.master, is_comlog);
  if (!log.empty()) {
    const std::string logged = read_file(setup.work + "/" + log);
    column->logged =
        std::max(column->logged, 0) + int(std::count(logged.begin(), logged.end(), '\n'));
  }
  close_pty(&device);
  close_pty(&console);
  remove_setup(setup);
}

}  // namespace

int main(int argc, char** argv) {
  // Absolute, since every program runs in a scratch folder of its own.
  char* absolute = realpath(argc > 1 ? argv[1] : COMLOG_PATH, nullptr);
  if (absolute == nullptr) die("no comlog");
  const std::string comlog = absolute;
  free(absolute);
  const std::string results = argc > 2 ? argv[2] : COMLOG_RESULTS;
  absolute = realpath(argc > 3 ? argv[3] : RELAY_PATH, nullptr);
  if (absolute == nullptr) die("no relay");
  const std::string relay = absolute;
  free(absolute);
  signal(SIGPIPE, SIG_IGN);
  // A program linked a moment ago has its pages dirty in the page cache until they are written
  // back, and those count as its own (Private_Dirty) while it runs.
  sync();
  // Sleeps end on time rather than up to 50 µs late, so that short paces can be slept.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const int64_t bench_start = now_ns();
  // Other work on the machine disturbs every figure; the run says how much there was.
  const double machine_busy0 = machine_busy_seconds(), own_busy0 = own_busy_seconds();

  // Side by side, one after another, each on a fresh pair of pseudo-terminals.
  enum { kComlog, kComlogWait, kFloor, kPicocom, kTio, kCat, kColumns };
  Column columns[kColumns];
  columns[kComlog].heading = "comlog";
  columns[kComlog].program = comlog;
  columns[kComlogWait].heading = "comlog --wait";
  columns[kComlogWait].program = comlog;
  columns[kFloor].heading = "floor: raw blocking relay";
  columns[kFloor].program = relay;
  columns[kPicocom].heading = "picocom --logfile";
  columns[kPicocom].program = find_program("picocom");
  columns[kTio].heading = "tio --log";
  columns[kTio].program = find_program("tio");
  columns[kCat].heading = "cat";
  columns[kCat].program = find_program("cat");
  // The command of each column; PORT and LOG are filled in by measure().
  const std::vector<std::string> commands[kColumns] = {
      {comlog, "1"},
      {comlog, "--wait", "1"},
      {relay, "PORT"},
      // Raw at 115200 8N1, no mapping; quiet, so no banner; no lock file, no hang-up on exit.
      {"picocom", "--baud", "115200", "--quiet", "--nolock", "--noreset", "--logfile", "LOG",
       "PORT"},
      // 115200 8N1 are its defaults, given anyway; muted, so no banner.
      {"tio", "--baudrate", "115200", "--mute", "--log", "--log-file", "LOG", "PORT"},
      {"cat", "PORT"},
  };
  const char* const logs[kColumns] = {"test.dat", "test.dat", "", "peer.log", "peer.log", ""};
  // Each round starts with a different column, so that none always follows the same one.
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < kColumns; ++k) {
      const int i = (round + k) % kColumns;
      const bool is_comlog = i == kComlog || i == kComlogWait;
      const double idle = round > 0 ? 0 : is_comlog ? kIdleSeconds : kPeerIdleSeconds;
      measure(&columns[i], commands[i], logs[i], is_comlog, idle);
    }
  }
  for (Column& column : columns) {
    column.latency = summarize(column.samples);
    if (!column.program.empty()) column.stripped_kib = stripped_kib(column.program);
  }
  const std::string picocom_version =
      columns[kPicocom].program.empty() ? "" : first_output_line("picocom --help");
  const std::string tio_version =
      columns[kTio].program.empty() ? "" : first_output_line("tio --version");

  // Paces from a slow device's (a few lines a second, for five seconds each) to faster than ten
  // times the wire.
  const double intervals[] = {500000, 100000,           1000, kWireMicros, 200, 100,
                              50,     kWireMicros / 10, 20,   10};
  std::vector<Pace> paces;
  double fastest_full = -1;
  for (double interval : intervals) {
    const int lines = std::min(kPaceLines, int(kSlowPaceMicros / interval));
    paces.push_back(records_at_pace(comlog, interval, lines));
    // Judged by the pace achieved, which runs behind the one asked for by the cost of a sleep.
    const double achieved = paces.back().median_gap_us;
    if (paces.back().records == lines && (fastest_full < 0 || achieved < fastest_full)) {
      fastest_full = achieved;
    }
  }

  const std::pair<const char*, Flood> floods[] = {
      {"a pseudo-terminal", flood(comlog, false)},
      {"a file", flood(comlog, true)},
  };
  size_t flood_bytes = 0;
  for (int i = 0; i < kFloodLines; ++i) flood_bytes += std::to_string(i % 10000).size() + 2;

  utsname system_name;
  uname(&system_name);
  const time_t wall = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&wall));
  const Column& floor = columns[kFloor];
  const bool have_floor = floor.problem.empty();

  std::ostringstream out;
  out << "Machine: " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs (nproc), "
      << first_line_of("/proc/cpuinfo", "model name") << ", Linux " << system_name.release << "; "
      << date << ".\n\n";
  out << "|";
  for (const Column& column : columns) out << " | " << column.heading;
  out << " |\n|---|";
  for (int i = 0; i < kColumns; ++i) out << "---|";
  // A column that could not be measured says why in its first cell and stays empty below.
  auto row = [&](const char* name, auto cell) {
    out << "\n| " << name << " |";
    for (const Column& column : columns) {
      out << " " << (column.problem.empty() ? cell(column) : std::string()) << " |";
    }
  };
  out << "\n| echo latency, median |";
  for (const Column& column : columns) {
    out << " "
        << (column.problem.empty() ? format("%.1f µs", column.latency.median_us) : column.problem)
        << " |";
  }
  row("echo latency, 99th percentile",
      [](const Column& c) { return format("%.1f µs", c.latency.p99_us); });
  row("median / floor median", [&](const Column& c) {
    return have_floor ? format("%.2f", c.latency.median_us / floor.latency.median_us) : "";
  });
  row("99th percentile / floor 99th percentile", [&](const Column& c) {
    return have_floor ? format("%.2f", c.latency.p99_us / floor.latency.p99_us) : "";
  });
  row("CPU while idle, user + system per second", [](const Column& c) {
    return format("%.2f", c.idle_user) + format(" + %.2f s", c.idle_system);
  });
  row("peak resident memory (VmHWM), median (lowest to highest)", [](const Column& c) {
    return std::to_string(median_of(c.peaks_kib)) + " KiB (" +
           std::to_string(*std::min_element(c.peaks_kib.begin(), c.peaks_kib.end())) + " to " +
           std::to_string(*std::max_element(c.peaks_kib.begin(), c.peaks_kib.end())) + ")";
  });
  row("of it its own pages (Private_Dirty), median",
      [](const Column& c) { return std::to_string(median_of(c.privates_kib)) + " KiB"; });
  row("stripped executable",
      [](const Column& c) { return std::to_string(c.stripped_kib) + " KiB"; });
  row("lines in its log file / lines written", [](const Column& c) {
    return c.logged < 0 ? std::string("no log")
                        : std::to_string(c.logged) + " / " + std::to_string(c.sent);
  });
  out << "\n\n";

  out << "Method: each program runs in turn with the console pseudo-terminal as its controlling "
      << "terminal and standard streams and the device's as its port, started afresh in each "
      << "of " << kRounds << " rounds. The benchmark writes a line every 100 ms until one comes "
      << "back (the program is ready); in the first round it measures CPU over "
      << format("%.0f s", kPeerIdleSeconds) << " of idling (" << format("%.0f s", kIdleSeconds)
      << " for comlog) from /proc/<pid>/stat; in every round it writes " << kWarmUpLines << " + "
      << kLatencyLines << " lines of \"600\\r\\n\", one at a time, timing the last "
      << kLatencyLines << " from the write on the device side to the echoed LF read (read(2), "
      << "after poll) on the console side, reads VmHWM from /proc/<pid>/status and Private_Dirty "
      << "from /proc/<pid>/smaps_rollup and stops it (comlog's peak is of the rounds without its "
      << "turn counter). Most of a peak is shared pages of the C library that the kernel maps "
      << "around each page a program touches, when they are in the page cache; it varies by a "
      << "tenth from one start of the same program to the next, so the median of the rounds is "
      << "shown with its range, and the program's own pages (its stack, heap and data) apart. "
      << "Median and 99th percentile are of all " << kRounds * kLatencyLines
      << " lines. The floor is the benchmark's relay: it sets its port "
      << "and its console raw (cfmakeraw) and blocks in read, then writes what came. cat reads "
      << "the port as the benchmark set it up (raw). Stripped sizes are of the executable alone, "
      << "not the libraries it loads.";
  if (!picocom_version.empty() || !tio_version.empty()) {
    out << " Versions: " << picocom_version << (picocom_version.empty() ? "" : "; ") << tio_version
        << ".";
  }
  out << "\n\n";

  const double turn_us = columns[kComlog].turn_us;
  if (columns[kComlog].problem.empty() && turn_us > 0) {
    out << "Idle loop turn: " << format("%.2f µs", turn_us)
        << format(" (%.0f turns a second)", 1e6 / turn_us)
        << ", counted by a library preloaded into comlog that counts its polls of the port "
        << "(ioctl FIONREAD), one a turn; an idle turn makes that one system call and no other "
        << "(the terminal is read only after it has signalled input). A "
        << "line of \"600\\r\\n\" takes " << format("%.0f µs", kWireMicros)
        << " on the wire at 115200 baud: " << format("%.0f", kWireMicros / turn_us)
        << " idle turns. comlog polls without sleeping by default, so it keeps one core busy "
        << "for as long as it runs.";
    const double wait_turn_us = columns[kComlogWait].turn_us;
    if (columns[kComlogWait].problem.empty() && wait_turn_us > 0) {
      out << " With --wait an idle turn rests in poll() on the port and the terminal until "
          << "something comes or the clock has a deadline: " << format("%.1f", 1e6 / wait_turn_us)
          << " turns a second while idle.";
    } else if (columns[kComlogWait].problem.empty()) {
      out << " With --wait an idle turn rests in poll() on the port and the terminal until "
          << "something comes or the clock has a deadline: no turn at all while idle.";
    }
    out << "\n\n";
  }

  out << "Steady pace: " << kPaceLines << " lines of \"600\\r\\n\" per pace (as many as fit into "
      << format("%.0f s", kSlowPaceMicros / 1e6) << " at the slow paces), each written a set "
      << "time after the previous one, into a fresh comlog. Its writes to test.dat and to "
      << "test.csv are counted by the preloaded counter, the last ones at the quit included: "
      << "test.dat's a batch of about a hundred records at speed, what came in a second when the "
      << "device is slow; test.csv's its header with the first rows, then 4 KiB of rows or a "
      << "second's. At the shorter paces several lines "
      << "reach comlog in one read; each still gets its record. The benchmark sleeps between "
      << "writes, since spinning would take the core that the kernel's pseudo-terminal worker "
      << "needs, and a sleep and a write take some tens of µs, so at the shortest paces the gap "
      << "achieved is longer than the one asked for.\n\n";
  out << "| one line every | achieved, median | records | every line its own record | writes "
         "to test.dat | writes per 1000 records | writes to test.csv | comlog preempted |\n"
      << "|---|---|---|---|---|---|---|---|\n";
  for (size_t i = 0; i < paces.size(); ++i) {
    const Pace& pace = paces[i];
    const char* label = intervals[i] == kWireMicros        ? "%.0f µs (the wire)"
                        : intervals[i] == kWireMicros / 10 ? "%.0f µs (10 times the wire)"
                        : intervals[i] >= 100000           ? "%.0f ms"
                                                           : "%.0f µs";
    const double shown = intervals[i] >= 100000 ? intervals[i] / 1000 : intervals[i];
    const std::string gap = pace.median_gap_us >= 100000
                                ? format(" | %.1f ms", pace.median_gap_us / 1000)
                                : format(" | %.0f µs", pace.median_gap_us);
    out << "| " << format(label, shown) << gap << " | " << pace.records << " / " << pace.lines
        << " | " << (pace.records == pace.lines ? "yes" : "no") << " | " << pace.writes << " | "
        << format("%.1f", pace.records > 0 ? 1000.0 * double(pace.writes) / pace.records : 0.0)
        << " | " << pace.time_writes << " | " << pace.preempted << " times |\n";
  }
  out << "\n";
  if (fastest_full > 0) {
    out << "Fastest pace with every line logged (as achieved): one line every "
        << format("%.0f µs", fastest_full) << format(", %.1f times", kWireMicros / fastest_full)
        << " the line rate the wire can carry at 115200 baud.\n";
  } else {
    out << "No pace gave every line its own record.\n";
  }
  out << "The last column counts how often the kernel took comlog's core away during the run.\n";
  out << "\nAs fast as the pseudo-terminal takes: " << kFloodLines << " lines (readings 0 to "
      << "9999, 1 to 4 digits and CR LF) written in 4 KiB writes cut across lines, timed from "
      << "the first write until the console had shown the last line (a file as the console may "
      << "lag 512 bytes until the end); test.dat then compared whole.\n\n"
      << "| comlog's console | lines a second | times the wire's line rate | every line its "
         "record |\n"
      << "|---|---|---|---|\n";
  for (const auto& [label, result] : floods) {
    // The wire carries 11520 bytes a second at 115200 baud, 8N1: lines of this length.
    const double wire_lines = 115200.0 / 10 / (double(flood_bytes) / kFloodLines);
    out << "| " << label << format(" | %.0f", result.lines_per_second)
        << format(" | %.0f", result.lines_per_second / wire_lines) << " | "
        << (result.all_logged ? "yes" : "no") << " |\n";
  }
  const double run_seconds = double(now_ns() - bench_start) / 1e9;
  // The kernel's own work for the pseudo-terminals counts as other work here.
  const double other_busy =
      (machine_busy_seconds() - machine_busy0) - (own_busy_seconds() - own_busy0);
  out << "\nBenchmark run: " << format("%.0f s", run_seconds)
      << "; CPU used by everything else on the machine meanwhile (other programs and the "
      << "kernel's workers): " << format("%.2f", std::max(0.0, other_busy / run_seconds))
      << " cores on average.\n";

  std::fputs(out.str().c_str(), stdout);
  std::ofstream file(results, std::ios::binary);
  file << "# comlog benchmark\n\n" << out.str();
  if (!file) die("cannot write " + results);
  std::printf("\nWritten to %s\n", results.c_str());
  return 0;
}
