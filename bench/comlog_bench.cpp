// Measures the built logger against the least a program can do over the same pseudo-terminals:
// echo latency, the fastest pace of lines that still gives each line its own record, the time of
// one idle loop turn, CPU use, and footprint. Prints a table and writes it to a file.
//
// usage: comlog_bench [COMLOG] [RESULTS_FILE]
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
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kLatencyLines = 3000;
constexpr int kWarmUpLines = 200;
constexpr int kPaceLines = 1000;
constexpr double kIdleSeconds = 3.0;
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

// Reads from `fd` until `wanted` more LFs have arrived; false after two seconds without them.
bool read_lines(int fd, int wanted) {
  char chunk[4096];
  while (wanted > 0) {
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, 2000) <= 0) return false;
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
// streams. With `relay_from` set the child runs a relay from that port instead of a program.
enum class Relay { kNone, kBlocking, kPolling };

pid_t start(const std::vector<std::string>& command, const std::string& console,
            const std::string& cwd, const std::string& ports, Relay relay = Relay::kNone,
            const std::string& relay_from = "") {
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid != 0) return pid;
  setsid();
  const int terminal = open(console.c_str(), O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(120);
  dup2(terminal, STDIN_FILENO);
  dup2(terminal, STDOUT_FILENO);
  dup2(terminal, STDERR_FILENO);
  if (chdir(cwd.c_str()) != 0) _exit(121);
  if (relay != Relay::kNone) {
    // The floor: a read and a write of what came, nothing else. The polling one spins on a
    // non-blocking read, as comlog's loop does, so it shows what a waiting process's wake-up costs.
    const int flags = relay == Relay::kPolling ? O_NONBLOCK : 0;
    const int port = open(relay_from.c_str(), O_RDWR | O_NOCTTY | flags);
    if (port < 0) _exit(123);
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(port, buffer, sizeof buffer);
      if (got < 0 && errno == EAGAIN) continue;
      if (got <= 0 || write(STDOUT_FILENO, buffer, size_t(got)) != got) _exit(0);
    }
  }
  setenv("COMLOG_PORTS", ports.c_str(), 1);
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

// The kernel's count of read calls the process made (/proc/<pid>/io).
long long read_calls(pid_t pid) {
  const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
  const size_t at = io.find("syscr:");
  return at == std::string::npos ? -1 : std::atoll(io.c_str() + at + 6);
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

Run start_comlog(const std::string& comlog) {
  Run run;
  run.device = open_pty();
  run.console = open_pty();
  run.setup = make_setup(run.device);
  run.pid = start({comlog, "1"}, run.console.slave, run.setup.work, run.setup.ports);
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
  rmdir(setup.ports.c_str());
  rmdir(setup.work.c_str());
  rmdir(setup.root.c_str());
}

struct Latency {
  double median_us = 0, p99_us = 0;
  bool ok = false;
};

// One line in flight at a time: written on the device side, timed until its LF on the console.
Latency measure_latency(int device, int console) {
  std::vector<double> samples;
  for (int i = 0; i < kWarmUpLines + kLatencyLines; ++i) {
    const int64_t sent = now_ns();
    write_all(device, kLine, sizeof kLine - 1);
    if (!read_lines(console, 1)) return Latency{};
    if (i >= kWarmUpLines) samples.push_back(double(now_ns() - sent) / 1000.0);
  }
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
  int records = 0;
  long long preempted = 0;   // times comlog lost its core during the run
  double median_gap_us = 0;  // between the starts of successive writes, as achieved
};

// Sends kPaceLines lines, each `interval_us` after the previous one (no catching up after a
// delay, which would send lines back to back), and counts the records comlog made.
Pace records_at_pace(const std::string& comlog, double interval_us) {
  Run run = start_comlog(comlog);
  const int64_t step = int64_t(interval_us * 1000);
  std::vector<double> gaps;
  int echoed = 0;
  const long long preempted_before = preemptions(run.pid);
  int64_t previous = now_ns();
  for (int i = 0; i < kPaceLines; ++i) {
    // Sleeping, not spinning: on two cores, with comlog spinning on one, the kernel's worker
    // that moves written bytes to the port needs the other.
    sleep_until_ns(previous + step);
    const int64_t sent = now_ns();
    write_all(run.device.master, kLine, sizeof kLine - 1);
    if (i > 0) gaps.push_back(double(sent - previous) / 1000.0);
    previous = sent;
    echoed += drain_lines(run.console.master);
  }
  read_lines(run.console.master, kPaceLines - echoed);
  const long long preempted = preemptions(run.pid) - preempted_before;
  quit_comlog(&run);
  const std::string log = read_file(run.setup.work + "/test.dat");
  remove_setup(run.setup);
  std::sort(gaps.begin(), gaps.end());
  Pace pace;
  pace.records = int(std::count(log.begin(), log.end(), '\n'));
  pace.median_gap_us = gaps[gaps.size() / 2];
  pace.preempted = preempted;
  return pace;
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

}  // namespace

int main(int argc, char** argv) {
  // Absolute, since the logger runs in a scratch folder of its own.
  char* absolute = realpath(argc > 1 ? argv[1] : COMLOG_PATH, nullptr);
  if (absolute == nullptr) die("no comlog");
  const std::string comlog = absolute;
  free(absolute);
  const std::string results = argc > 2 ? argv[2] : COMLOG_RESULTS;
  signal(SIGPIPE, SIG_IGN);
  // Sleeps end on time rather than up to 50 µs late, so that short paces can be slept.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const int64_t bench_start = now_ns();

  // comlog: idle turns and CPU first, then latency, then its footprint at the end of the run.
  Run run = start_comlog(comlog);
  double user0, system0, user1, system1;
  cpu_seconds(run.pid, &user0, &system0);
  const long long reads0 = read_calls(run.pid);
  const int64_t idle0 = now_ns();
  sleep_until_ns(idle0 + int64_t(kIdleSeconds * 1e9));
  const long long reads1 = read_calls(run.pid);
  const double idle_wall = double(now_ns() - idle0) / 1e9;
  cpu_seconds(run.pid, &user1, &system1);
  // Each idle turn makes one read call (the terminal, for keys) and one ioctl (the port's queue).
  const double turn_us = idle_wall * 1e6 / double(reads1 - reads0);
  const double idle_user = (user1 - user0) / idle_wall;
  const double idle_system = (system1 - system0) / idle_wall;

  const Latency comlog_latency = measure_latency(run.device.master, run.console.master);
  const Usage comlog_usage = quit_comlog(&run);
  remove_setup(run.setup);
  if (!comlog_latency.ok) die("comlog lost a line");

  // The floors, each on a fresh pair of terminals in raw mode.
  Latency relay_latency[2];
  const Relay relays[2] = {Relay::kBlocking, Relay::kPolling};
  for (int i = 0; i < 2; ++i) {
    Pty device = open_pty(), console = open_pty();
    const pid_t relay = start({}, console.slave, "/tmp", "", relays[i], device.slave);
    relay_latency[i] = measure_latency(device.master, console.master);
    kill(relay, SIGTERM);
    finish(relay);
    close_pty(&device);
    close_pty(&console);
    if (!relay_latency[i].ok) die("a relay lost a line");
  }

  // cat reading the port the same way; its CPU is measured over an idle second as well.
  Pty device = open_pty(), console = open_pty();
  const pid_t cat = start({"cat", device.slave}, console.slave, "/tmp", "");
  const Latency cat_latency = measure_latency(device.master, console.master);
  cpu_seconds(cat, &user0, &system0);
  const int64_t cat_idle0 = now_ns();
  sleep_until_ns(cat_idle0 + 1000000000);
  cpu_seconds(cat, &user1, &system1);
  const double cat_idle_wall = double(now_ns() - cat_idle0) / 1e9;
  kill(cat, SIGTERM);
  const Usage cat_usage = finish(cat);
  close_pty(&device);
  close_pty(&console);
  if (!cat_latency.ok) die("cat lost a line");

  // Paces from slower than the wire down to far faster than it.
  const double intervals[] = {1000, kWireMicros, 200, 100, 50, 20, 10};
  std::vector<Pace> paces;
  double fastest_full = -1;
  for (double interval : intervals) {
    paces.push_back(records_at_pace(comlog, interval));
    // Judged by the pace achieved, which runs behind the one asked for by the cost of a sleep.
    const double achieved = paces.back().median_gap_us;
    if (paces.back().records == kPaceLines && (fastest_full < 0 || achieved < fastest_full)) {
      fastest_full = achieved;
    }
  }

  utsname system_name;
  uname(&system_name);
  const time_t wall = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&wall));
  const double floor_us = relay_latency[0].median_us;

  std::ostringstream out;
  out << "Machine: " << sysconf(_SC_NPROCESSORS_ONLN) << " CPUs (nproc), "
      << first_line_of("/proc/cpuinfo", "model name") << ", Linux " << system_name.release << "; "
      << date << ".\n\n";
  out << "| | comlog | floor: blocking relay | polling relay | cat |\n|---|---|---|---|---|\n";
  const Latency* latencies[4] = {&comlog_latency, &relay_latency[0], &relay_latency[1],
                                 &cat_latency};
  out << "| echo latency, median |";
  for (const Latency* latency : latencies) out << format(" %.1f µs |", latency->median_us);
  out << "\n| echo latency, 99th percentile |";
  for (const Latency* latency : latencies) out << format(" %.1f µs |", latency->p99_us);
  out << "\n| median / floor median |";
  for (const Latency* latency : latencies) out << format(" %.2f |", latency->median_us / floor_us);
  out << "\n| CPU while idle, user + system per second |" << format(" %.2f", idle_user)
      << format(" + %.2f s |", idle_system) << " none, blocks in read | about 1 s, spins |"
      << format(" %.2f", (user1 - user0) / cat_idle_wall)
      << format(" + %.2f s |", (system1 - system0) / cat_idle_wall) << "\n";
  out << "| peak resident memory | " << comlog_usage.peak_kib << " KiB | | | " << cat_usage.peak_kib
      << " KiB |\n";
  out << "| stripped executable | " << stripped_kib(comlog) << " KiB | | | "
      << stripped_kib("/bin/cat") << " KiB |\n\n";

  out << "Latency: " << kLatencyLines << " lines of \"600\\r\\n\", one at a time, from the write "
      << "on the device's pseudo-terminal to the echoed LF on the console's. The relays are "
      << "part of the benchmark; a process blocked in read has to be woken, which a spinning "
      << "one is not, so the polling relay is the floor for a loop like comlog's.\n\n";
  out << "Idle loop turn: " << format("%.2f µs", turn_us)
      << format(" (%.0f turns a second)", 1e6 / turn_us)
      << ", counted from the kernel's tally of read calls (/proc/<pid>/io, syscr) over "
      << format("%.0f s", kIdleSeconds)
      << " of idling; each idle turn makes one read (the terminal, for keys) and one ioctl (the "
      << "port's queue), as strace -c shows. A line of \"600\\r\\n\" takes "
      << format("%.0f µs", kWireMicros)
      << " on the wire at 115200 baud: " << format("%.0f", kWireMicros / turn_us)
      << " idle turns.\n\n";
  out << "CPU: the loop polls without sleeping, by design, so comlog keeps one core busy for as "
      << "long as it runs, most of it in the kernel (the two system calls of every turn).\n\n";

  out << "Steady pace: " << kPaceLines << " lines of \"600\\r\\n\" per pace, each written a set "
      << "time after the previous one, into a fresh comlog; lines that share one read are logged "
      << "once, by design.\n\n";
  out << "| one line every | achieved, median | records | every line its own record | comlog "
         "preempted |\n"
      << "|---|---|---|---|---|\n";
  for (size_t i = 0; i < paces.size(); ++i) {
    out << "| "
        << format(intervals[i] == kWireMicros ? "%.0f µs (the wire)" : "%.0f µs", intervals[i])
        << format(" | %.0f µs", paces[i].median_gap_us) << " | " << paces[i].records << " / "
        << kPaceLines << " | " << (paces[i].records == kPaceLines ? "yes" : "no") << " | "
        << paces[i].preempted << " times |\n";
  }
  out << "\n";
  if (fastest_full > 0) {
    out << "Fastest pace with every line logged (as achieved): one line every "
        << format("%.0f µs", fastest_full) << format(", %.1f times", kWireMicros / fastest_full)
        << " the line rate the wire can carry at 115200 baud.\n";
  } else {
    out << "No pace gave every line its own record.\n";
  }
  out << "Lines lost at a slow pace vary from run to run: two lines reached comlog in one read, "
         "because comlog was off its core for a moment or the pseudo-terminal passed two writes "
         "on at once; the benchmark cannot tell which. The last column counts how often the "
         "kernel took comlog's core away during the run.\n";
  out << "\nBenchmark run: " << format("%.0f s", double(now_ns() - bench_start) / 1e9) << ".\n";

  std::fputs(out.str().c_str(), stdout);
  std::ofstream file(results, std::ios::binary);
  file << "# comlog benchmark\n\n" << out.str();
  if (!file) die("cannot write " + results);
  std::printf("\nWritten to %s\n", results.c_str());
  return 0;
}
