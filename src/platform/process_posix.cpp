// Process start and end on Linux: the standard descriptors made safe, argument zero from
// /proc/self/exe, and outside requests to end turned into a flag for the logger's loop.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <initializer_list>

#include "platform/console_input.h"
#include "platform/console_output.h"
#include "platform/process.h"

namespace {

// After a request to end, a reader that takes no console output is given this long in all.
constexpr int kOutputPatienceMs = 1000;

volatile sig_atomic_t g_requested_signal = 0;

// Once the process is to end, no write may block for good: a request that comes just before a
// write to a stalled reader, or a terminal that takes only part, is cut short by an alarm that
// comes back every second until the end.
void interrupt_blocked_write(int) {
  alarm(1);
}

void note_signal(int signal_number) {
  g_requested_signal = signal_number;
  alarm(1);
}

// A closed 0, 1 or 2 would be taken by the next open: the port or the log would then receive
// the console text.
void open_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) return;
  }
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = note_signal;
  sigemptyset(&action.sa_mask);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&unblocked, signal_number);
    // A signal the caller ignores (nohup, a background job of a script) stays ignored.
    struct sigaction inherited;
    sigaction(signal_number, nullptr, &inherited);
    if (inherited.sa_handler == SIG_IGN) continue;
    // No SA_RESTART: a write blocked on a stalled pipe gives way to the request.
    sigaction(signal_number, &action, nullptr);
  }
  action.sa_handler = interrupt_blocked_write;
  sigaction(SIGALRM, &action, nullptr);
  sigaddset(&unblocked, SIGALRM);
  // An inherited mask would keep a request pending for ever.
  sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
  // A reader that went away, or a log that reached the size limit, costs that output only.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

bool interrupt_requested() {
  return g_requested_signal != 0;
}

void end_process(int status) {
  // The records are written by now. The terminal comes next, so that a reader that stalls the
  // console output cannot keep it in the key mode; a request to end gives that reader a limit.
  restore_console_input();
  console_flush(kOutputPatienceMs);
  const int signal_number = g_requested_signal;
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

void start_process(int*, char*** argv) {
  open_standard_descriptors();
  static char executable[PATH_MAX + 1];
  const ssize_t length = readlink("/proc/self/exe", executable, PATH_MAX);
  if (length > 0) {
    executable[length] = '\0';
    (*argv)[0] = executable;
  }
  install_signal_handlers();
}
