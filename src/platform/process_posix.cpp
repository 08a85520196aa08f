// Process start and end on Linux, and every signal the process handles: the standard descriptors
// made safe, argument zero from /proc/self/exe, requests to end turned into a flag for the
// logger's loop, stops and continues, the terminal's signal that input has arrived, and the rest
// of a loop that waits (--wait) until the port, the terminal, standard output or a signal has
// something for it.
#include "platform/process_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/time_zone.h"
#include "platform/process.h"

namespace {

// The requests to end from outside: every signal whose default action ends the process, except
// those that report a fault of the process itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT,
// SIGTRAP, SIGSYS), which keep their default, and those that report a write of its own that
// failed (SIGPIPE, SIGXFSZ), which are ignored: the write's error says it. The real-time signals
// are requests too (kEndSignals holds the others), and so is a SIGIO sent by another process.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2,
                               SIGPWR, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGSTKFLT};

struct Signals {
  volatile sig_atomic_t end_signal;  // the request to end, 0 before any
  volatile sig_atomic_t continued;
  // Set by SIGIO when the terminal has input, so that the terminal is read only then instead of
  // on every turn.
  volatile sig_atomic_t terminal_input;
  void (*before_stop)();
  struct sigaction stop_action;
  // Every handler writes a byte here, so that a rest that began just before the signal ends too.
  int wake[2];
};
Signals g_signals = {0, 0, 0, nullptr, {}, {-1, -1}};

// What a rest waits on besides the signals.
struct Watched {
  int port;    // -1 while there is none
  int output;  // standard output, polled while held text waits for it
  int (*terminal)(int64_t* deadline_ms);
};
Watched g_watched = {-1, -1, nullptr};

void wake_rest() {
  if (g_signals.wake[1] < 0) return;
  const int saved_errno = errno;
  const char byte = 0;
  if (write(g_signals.wake[1], &byte, 1) < 0) {
    // A full pipe wakes the rest already.
  }
  errno = saved_errno;
}

// The first request decides how the process ends; later ones change nothing.
void note_end_request(int signal_number) {
  if (g_signals.end_signal == 0) g_signals.end_signal = signal_number;
  wake_rest();
}

// A stop asked for from outside: the user's terminal settings go back first, as the process
// would leave them at its end.
void stop_politely(int) {
  const int saved_errno = errno;
  if (g_signals.before_stop != nullptr) g_signals.before_stop();
  // The handler was reset on entry and SIGTSTP is not held: the default action stops here.
  raise(SIGTSTP);
  sigaction(SIGTSTP, &g_signals.stop_action, nullptr);
  g_signals.continued = 1;
  errno = saved_errno;
}

void note_continued(int) {
  g_signals.continued = 1;
  wake_rest();
}

// The terminal signals input (the kernel sends it: a positive si_code); a SIGIO sent by another
// process (kill, sigqueue) is a request to end like any other.
void note_input_or_request(int signal_number, siginfo_t* info, void*) {
  if (info != nullptr && info->si_code <= 0) {
    note_end_request(signal_number);
    return;
  }
  g_signals.terminal_input = 1;
  wake_rest();
}

void note_nothing(int) {}

void handle(int signal_number, void (*handler)(int), int flags) {
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

void handle_with_info(int signal_number, void (*handler)(int, siginfo_t*, void*), int flags) {
  struct sigaction action = {};
  action.sa_sigaction = handler;
  action.sa_flags = flags | SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

bool inherited_as_ignored(int signal_number) {
  struct sigaction inherited;
  sigaction(signal_number, nullptr, &inherited);
  return inherited.sa_handler == SIG_IGN;
}

void install_signal_handlers() {
  // A signal the caller ignores (nohup, a background job of a script) stays ignored. No
  // SA_RESTART: a wait gives way to the request. Every signal whose default would end the process
  // at once is a request: the run then ends the same way, after its records are written.
  for (int signal_number : kEndSignals) {
    if (!inherited_as_ignored(signal_number)) handle(signal_number, note_end_request, 0);
  }
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    if (!inherited_as_ignored(signal_number)) handle(signal_number, note_end_request, 0);
  }
  // A reader that went away, or a log that reached the size limit, costs that output only.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);

  // Job control: Ctrl+Z is a key, but a stop from outside is followed, unless the caller ignores
  // it. In the background a read of the terminal fails (EIO) instead of stopping the logger, and
  // a write reaches the terminal even where stty tostop is set.
  if (!inherited_as_ignored(SIGTSTP)) {
    g_signals.stop_action.sa_handler = stop_politely;
    g_signals.stop_action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_RESTART;
    sigemptyset(&g_signals.stop_action.sa_mask);
    sigaction(SIGTSTP, &g_signals.stop_action, nullptr);
  }
  handle(SIGCONT, note_continued, SA_RESTART);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  // A blocked call goes on after the terminal's input signal.
  if (!inherited_as_ignored(SIGIO)) handle_with_info(SIGIO, note_input_or_request, SA_RESTART);

  // An inherited mask would keep a request pending for ever.
  sigset_t unblocked;
  sigemptyset(&unblocked);
  for (int signal_number : kEndSignals) sigaddset(&unblocked, signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    sigaddset(&unblocked, signal_number);
  }
  for (int signal_number : {SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU, SIGIO}) {
    sigaddset(&unblocked, signal_number);
  }
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
}

// A closed 0, 1 or 2 would be taken by the next open: the port or the log would then receive
// the console text.
void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) return;
  }
}

bool end_requested(void*) {
  return end_signalled();
}

int64_t now_ms(void*) {
  return monotonic_ms();
}

// The zone as it was last looked at: its offset holds for a span, and it is looked at again only
// when the clock leaves it.
struct Zone {
  ZoneSpan span;
  bool unknown;  // TZ names no zone this system has: UTC
};
Zone g_zone;

// How long an offset is kept when its zone cannot be looked at again in the middle of a run (the
// zone file being replaced), before the next look.
constexpr int64_t kZoneLookAgainS = 60;

size_t read_zone_at(void* context, uint64_t offset, void* out, size_t size) {
  const int fd = *static_cast<const int*>(context);
  size_t done = 0;
  while (done < size) {
    const ssize_t got =
        pread(fd, static_cast<char*>(out) + done, size - done, off_t(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += size_t(got);
  }
  return done;
}

// The span of the zone file at `path`. Only a regular file is read, and the open does not wait:
// a FIFO named by TZ would otherwise hold the start for good.
bool zone_file_span(const char* path, int64_t utc_s, ZoneSpan* span) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status;
  const bool found = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                     file_zone_span(ZoneFile{&fd, read_zone_at}, utc_s, span);
  close(fd);
  return found;
}

// The zone that TZ names: without TZ the system's zone file; an empty TZ, or ":", UTC; any other
// name the zone database's file of that name, else a rule written out. False when there is no
// such zone.
bool look_at_zone(int64_t utc_s, ZoneSpan* span) {
  const char* tz = std::getenv("TZ");
  char path[PATH_MAX];
  if (tz == nullptr) return zone_file_span(kSystemZoneFile, utc_s, span);
  if (tz[0] == '\0' || std::strcmp(tz, ":") == 0) {
    *span = kUtcAlways;
    return true;
  }
  return (time_zone_file(tz, std::getenv("TZDIR"), path, sizeof path) &&
          zone_file_span(path, utc_s, span)) ||
         rule_zone_span(tz[0] == ':' ? tz + 1 : tz, utc_s, span);
}

WallTime wall_clock(void*) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t second = now.tv_sec;
  if (second < g_zone.span.from_s || second >= g_zone.span.until_s) {
    ZoneSpan span;
    if (look_at_zone(second, &span)) {
      g_zone.span = span;
    } else {
      g_zone.span = ZoneSpan{g_zone.span.offset_s, second, second + kZoneLookAgainS};
    }
  }
  return WallTime{second * 1000000 + now.tv_nsec / 1000, g_zone.span.offset_s};
}

const char* unknown_time_zone(void*) {
  return g_zone.unknown ? std::getenv("TZ") : nullptr;
}

// Waits until the port has bytes (or has gone), the terminal has keys, standard output takes more
// (when `for_output`), a signal comes, or `timeout_ms` has passed (negative: no limit). The
// terminal adds a time of its own: bytes of a sequence held for their wait, or a look whether a
// logger in the background has the terminal again.
void rest(void*, int64_t timeout_ms, bool for_output) {
  pollfd watched[4];
  nfds_t count = 0;
  watched[count++] = pollfd{g_signals.wake[0], POLLIN, 0};
  if (g_watched.port >= 0) watched[count++] = pollfd{g_watched.port, POLLIN, 0};
  int64_t terminal_deadline = -1;
  const int terminal = g_watched.terminal ? g_watched.terminal(&terminal_deadline) : -1;
  if (terminal >= 0) watched[count++] = pollfd{terminal, POLLIN, 0};
  if (for_output && g_watched.output >= 0) watched[count++] = pollfd{g_watched.output, POLLOUT, 0};
  if (terminal_deadline >= 0) {
    const int64_t left = terminal_deadline - monotonic_ms();
    const int64_t until = left > 0 ? left : 0;
    if (timeout_ms < 0 || until < timeout_ms) timeout_ms = until;
  }
  if (end_signalled()) return;
  poll(watched, count, timeout_ms > INT_MAX ? INT_MAX : int(timeout_ms));
  char bytes[64];
  while (read(g_signals.wake[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

void watch_port(int fd) {
  g_watched.port = fd;
}

void watch_output(int fd) {
  g_watched.output = fd;
}

void watch_terminal(int (*what_to_watch)(int64_t* deadline_ms)) {
  g_watched.terminal = what_to_watch;
}

int64_t monotonic_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool end_signalled() {
  return g_signals.end_signal != 0;
}

bool take_continued() {
  if (g_signals.continued == 0) return false;
  g_signals.continued = 0;
  return true;
}

bool take_input_notice() {
  if (g_signals.terminal_input == 0) return false;
  g_signals.terminal_input = 0;
  return true;
}

void expect_terminal_input() {
  g_signals.terminal_input = 1;
}

void run_before_stop(void (*hook)()) {
  g_signals.before_stop = hook;
}

sigset_t hold_stops() {
  sigset_t stop, previous;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_BLOCK, &stop, &previous);
  return previous;
}

void put_back_mask(const sigset_t& mask) {
  sigprocmask(SIG_SETMASK, &mask, nullptr);
}

void catch_background_changes(bool catching) {
  if (catching) {
    handle(SIGTTOU, note_nothing, 0);
  } else {
    signal(SIGTTOU, SIG_IGN);
  }
}

void start_process(int*, char*** argv) {
  open_standard_descriptors();
  static char executable[PATH_MAX + 1];
  const ssize_t length = readlink("/proc/self/exe", executable, PATH_MAX);
  if (length > 0) {
    executable[length] = '\0';
    (*argv)[0] = executable;
  }
  if (pipe2(g_signals.wake, O_NONBLOCK | O_CLOEXEC) != 0)
    g_signals.wake[0] = g_signals.wake[1] = -1;
  install_signal_handlers();
  // The zone is looked at first at the start, so that a TZ naming none is told before the run.
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (!look_at_zone(now.tv_sec, &g_zone.span)) {
    // UTC for the run, told when TZ named the zone; a system without a zone file of its own has
    // UTC.
    g_zone.span = kUtcAlways;
    g_zone.unknown = std::getenv("TZ") != nullptr;
  }
}

ProcessService system_process() {
  return ProcessService{nullptr, end_requested, now_ms, wall_clock, unknown_time_zone, rest};
}

void end_process(int status) {
  const int signal_number = g_signals.end_signal;
  if (signal_number != 0) {
    signal(signal_number, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signal_number);
  }
  std::exit(status);
}
