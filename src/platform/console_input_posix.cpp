// Console key input on a POSIX terminal: the controlling terminal's bytes go through the
// terminal decoder into a queue of key records, which the shared key logic reads as it would a
// PC console's input queue.
//
// The terminal is the logger's only while its process group has the terminal's foreground. In
// the background the logger goes on logging and leaves the terminal alone: it reads no keys and
// changes no settings. It learns that it has the terminal again at once after SIGCONT, or by
// asking now and then (a shell's fg of a job running in the background sends no signal), and
// then puts its key mode back on.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "keys/key_codes.h"
#include "keys/terminal_decoder.h"
#include "platform/console_input.h"
#include "platform/console_queue.h"

namespace {

// Input modes as the key logic sees them. 0 is the mode read_key works in: Ctrl+C is a key.
// Any other value is the run mode, in which Ctrl+C interrupts (a PC console's processed input).
constexpr uint32_t kRunMode = 0x1;

// How often a logger in the background asks whether the terminal is its own again.
constexpr int64_t kForegroundCheckMs = 100;

enum class Terminal {
  kNone,        // no controlling terminal, or it has hung up: no keys
  kBackground,  // another process group has it
  kForeground,  // keys are read in the key mode
};

int g_tty = -1;
pid_t g_session = -1;  // whose leader (the shell) may have the logger's key mode undone for it
Terminal g_terminal = Terminal::kNone;
int64_t g_next_foreground_check_ms = 0;
volatile sig_atomic_t g_continued = 0;
// Set by SIGIO when the terminal has input, so that the loop reads the terminal only then instead
// of asking it on every turn; stays set for good where the terminal cannot signal.
volatile sig_atomic_t g_terminal_input = 1;
bool g_input_signalled = false;
termios g_user_settings;  // what the terminal had when the logger took it, put back at the end
termios g_run_settings;
termios g_mode0_settings;
TerminalDecoder g_decoder;

// The keys decoded and not yet taken, oldest first, in a ring. The terminal is read only while a
// whole read's keys fit; the rest waits in the terminal.
constexpr size_t kQueuedKeysMax = 1024;
constexpr size_t kTerminalReadSize = 256;
KeyRecord g_queue[kQueuedKeysMax];
size_t g_queue_first = 0;
size_t g_queue_count = 0;

void queue_put(void*, const KeyRecord& record) {
  if (g_queue_count == kQueuedKeysMax) return;  // not reached: see kTerminalReadSize
  g_queue[(g_queue_first + g_queue_count) % kQueuedKeysMax] = record;
  ++g_queue_count;
}

bool queue_take(KeyRecord* record) {
  if (g_queue_count == 0) return false;
  *record = g_queue[g_queue_first];
  g_queue_first = (g_queue_first + 1) % kQueuedKeysMax;
  --g_queue_count;
  return true;
}

KeySink g_queue_sink = {nullptr, queue_put};

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void disable(termios* settings, int index) {
  settings->c_cc[index] = _POSIX_VDISABLE;
}

// The key mode, made from the user's settings: keys without Enter and without echo.
void derive_key_modes() {
  termios run = g_user_settings;
  run.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
  run.c_lflag |= ISIG;
  // Only Ctrl+C interrupts; Ctrl+\ and Ctrl+Z (and the BSD extras) are keys like any other.
  disable(&run, VQUIT);
  disable(&run, VSUSP);
#ifdef VDSUSP
  disable(&run, VDSUSP);
#endif
#ifdef VSTATUS
  disable(&run, VSTATUS);
#endif
  // Bytes arrive as sent: Enter as CR, Ctrl+S and Ctrl+Q as keys, the eighth bit kept.
  run.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
  run.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when nothing is there, 0 after a hang-up
  run.c_cc[VTIME] = 0;
  g_run_settings = run;
  g_mode0_settings = run;
  g_mode0_settings.c_lflag &= ~ISIG;
}

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool has_key_mode(const termios& settings) {
  return same_mode(settings, g_run_settings) || same_mode(settings, g_mode0_settings);
}

// The terminal has hung up: nothing it sent is still a key, and nothing more will come.
void forget_terminal() {
  close(g_tty);
  g_tty = -1;
  g_terminal = Terminal::kNone;
  g_queue_count = 0;
}

// Holds SIGTSTP, whose handler reads and changes the terminal's settings; returns the mask to
// put back.
sigset_t hold_stops() {
  sigset_t stop, previous;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_BLOCK, &stop, &previous);
  return previous;
}

void note_nothing(int) {}

// Changes the settings only while this process group has the terminal. SIGTTOU is caught for the
// moment (it is ignored otherwise), so that a change from the background fails with EINTR
// instead of reaching the terminal of the job that has it now: the kernel checks, at the change.
bool set_in_foreground(const termios& settings) {
  // The stop handler changes the terminal too.
  const sigset_t previous_mask = hold_stops();
  struct sigaction catch_ttou = {}, previous_action;
  catch_ttou.sa_handler = note_nothing;
  sigemptyset(&catch_ttou.sa_mask);
  sigaction(SIGTTOU, &catch_ttou, &previous_action);
  const bool changed = tcsetattr(g_tty, TCSANOW, &settings) == 0;
  sigaction(SIGTTOU, &previous_action, nullptr);
  sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
  return changed;
}

// The process group has the terminal (again): what the terminal holds now is the user's mode,
// unless it is still the key mode (a stop that nobody undid), and the key mode goes on.
void take_terminal() {
  // The stop handler reads the settings that change here.
  const sigset_t previous = hold_stops();
  termios found;
  if (tcgetattr(g_tty, &found) == 0) {
    if (!has_key_mode(found)) {
      g_user_settings = found;
      derive_key_modes();
    }
    if (set_in_foreground(g_run_settings)) {
      g_terminal = Terminal::kForeground;
      g_terminal_input = 1;  // keys typed while it was not the logger's
    }
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Who has the terminal now: another process group (the logger leaves it alone), this one, or
// nobody any more (hung up).
void ask_for_terminal() {
  const pid_t foreground = tcgetpgrp(g_tty);
  if (foreground < 0) {
    forget_terminal();
  } else if (foreground == getpgrp()) {
    if (g_terminal != Terminal::kForeground) take_terminal();
  } else {
    g_terminal = Terminal::kBackground;
  }
}

// Once per turn: in the foreground nothing to do unless the process was stopped and continued;
// in the background a question by the clock.
void follow_terminal() {
  if (g_tty < 0) return;
  if (g_continued != 0) {
    g_continued = 0;
    // A shell puts its own settings back when a job stops: the key mode goes on again.
    g_terminal = Terminal::kBackground;
    ask_for_terminal();
    return;
  }
  if (g_terminal == Terminal::kForeground) return;
  const int64_t now = now_ms();
  if (now < g_next_foreground_check_ms) return;
  g_next_foreground_check_ms = now + kForegroundCheckMs;
  ask_for_terminal();
}

// Reads whatever the terminal has without waiting and queues the keys it makes, including those
// whose wait for more bytes has run out. The terminal is read only once it has signalled input;
// the flag is cleared before the read, so that input arriving during it signals again.
void take_terminal_input() {
  if (!g_input_signalled || g_terminal_input != 0) {
    if (g_input_signalled) g_terminal_input = 0;
    unsigned char bytes[kTerminalReadSize];
    while (g_terminal == Terminal::kForeground) {
      // A read makes at most a key per byte, plus the bytes held before it.
      if (kQueuedKeysMax - g_queue_count < sizeof bytes + kTerminalHeldMax) {
        g_terminal_input = 1;  // the rest is read once keys have been taken
        break;
      }
      const ssize_t got = read(g_tty, bytes, sizeof bytes);
      if (got > 0) {
        terminal_decoder_feed(&g_decoder, bytes, static_cast<size_t>(got), now_ms(), &g_queue_sink);
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      // With VMIN 1 and O_NONBLOCK "nothing yet" is EAGAIN. 0 or EIO: the terminal has hung up,
      // or (SIGTTIN being ignored) another process group has it now.
      if (got == 0 || errno == EIO) ask_for_terminal();
      break;
    }
    if (g_tty < 0) return;
  }
  // Held bytes whose wait has run out make a key; the clock is asked only while bytes are held.
  int64_t deadline = 0;
  if (terminal_decoder_waiting(g_decoder, &deadline)) {
    terminal_decoder_expire(&g_decoder, now_ms(), &g_queue_sink);
  }
}

bool console_count(void*, uint32_t* queued) {
  follow_terminal();
  take_terminal_input();
  if (g_tty < 0) return false;
  // Keys typed for the logger wait while another process group has the terminal.
  *queued = g_terminal == Terminal::kForeground ? static_cast<uint32_t>(g_queue_count) : 0;
  return true;
}

bool console_peek(void*, KeyRecord* records, uint32_t capacity, uint32_t* copied) {
  if (g_tty < 0) return false;
  const size_t count = g_queue_count < capacity ? g_queue_count : capacity;
  for (size_t i = 0; i < count; ++i) records[i] = g_queue[(g_queue_first + i) % kQueuedKeysMax];
  *copied = static_cast<uint32_t>(count);
  return true;
}

bool console_remove_oldest(void*, KeyRecord* record) {
  for (;;) {
    g_terminal_input = 1;  // this waits on the terminal itself
    take_terminal_input();
    if (g_terminal != Terminal::kForeground) return false;
    if (queue_take(record)) return true;
    // Wait for a byte, or until held bytes are due to be forced out.
    int timeout = -1;
    int64_t deadline = 0;
    if (terminal_decoder_waiting(g_decoder, &deadline)) {
      const int64_t left = deadline - now_ms();
      timeout = left < 0 ? 0 : static_cast<int>(left) + 1;
    }
    pollfd fd = {g_tty, POLLIN, 0};
    // A signal ends the wait as a failure, so that the logger's loop sees it at once.
    if (poll(&fd, 1, timeout) < 0) return false;
  }
}

bool console_get_mode(void*, uint32_t* mode) {
  termios settings;
  if (g_tty < 0 || tcgetattr(g_tty, &settings) != 0) return false;
  *mode = (settings.c_lflag & ISIG) ? kRunMode : 0;
  return true;
}

bool console_set_mode(void*, uint32_t mode) {
  // TCSANOW: keys already typed must stay queued.
  return set_in_foreground(mode == 0 ? g_mode0_settings : g_run_settings);
}

ConsoleQueue g_console = {nullptr,          console_count,   console_peek, console_remove_oldest,
                          console_get_mode, console_set_mode};

struct sigaction g_stop_action;

// A stop asked for from outside (kill -TSTP; Ctrl+Z is a key): the user's settings go back
// first, as the process would leave them at its end.
void stop_politely(int) {
  const int saved_errno = errno;
  restore_console_input();
  // The handler was reset on entry and SIGTSTP is not held: the default action stops here.
  raise(SIGTSTP);
  sigaction(SIGTSTP, &g_stop_action, nullptr);
  g_continued = 1;
  errno = saved_errno;
}

void note_continued(int) {
  g_continued = 1;
}

void note_terminal_input(int) {
  g_terminal_input = 1;
}

// Asks the terminal for SIGIO when input arrives; where it cannot, the terminal is read on every
// turn.
void signal_terminal_input() {
  struct sigaction action = {};
  action.sa_handler = note_terminal_input;
  // A blocked console write goes on after the signal.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGIO, &action, nullptr);
  sigset_t io;
  sigemptyset(&io);
  sigaddset(&io, SIGIO);
  sigprocmask(SIG_UNBLOCK, &io, nullptr);
  const int flags = fcntl(g_tty, F_GETFL);
  g_input_signalled = flags != -1 && fcntl(g_tty, F_SETOWN, getpid()) == 0 &&
                      fcntl(g_tty, F_SETFL, flags | O_ASYNC) == 0;
  g_terminal_input = 1;
}

void follow_job_control() {
  struct sigaction inherited;
  sigaction(SIGTSTP, nullptr, &inherited);
  // A stop the caller ignores stays ignored.
  if (inherited.sa_handler != SIG_IGN) {
    g_stop_action = {};
    g_stop_action.sa_handler = stop_politely;
    g_stop_action.sa_flags = SA_RESETHAND | SA_NODEFER | SA_RESTART;
    sigemptyset(&g_stop_action.sa_mask);
    sigaction(SIGTSTP, &g_stop_action, nullptr);
  }
  struct sigaction continued = {};
  continued.sa_handler = note_continued;
  continued.sa_flags = SA_RESTART;
  sigemptyset(&continued.sa_mask);
  sigaction(SIGCONT, &continued, nullptr);
  // In the background a read of the terminal fails (EIO) instead of stopping the logger, and
  // a write reaches the terminal even where stty tostop is set.
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  sigset_t job_control;
  sigemptyset(&job_control);
  for (int signal_number : {SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU}) {
    sigaddset(&job_control, signal_number);
  }
  sigprocmask(SIG_UNBLOCK, &job_control, nullptr);
}

}  // namespace

void open_console_input() {
  if (g_tty >= 0) return;
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;  // no controlling terminal: no keys
  if (tcgetattr(fd, &g_user_settings) != 0) {
    close(fd);
    return;
  }
  g_tty = fd;
  g_session = getsid(0);
  g_decoder.family = terminal_family_of(std::getenv("TERM"));
  derive_key_modes();
  follow_job_control();
  signal_terminal_input();
  g_terminal = Terminal::kBackground;
  ask_for_terminal();
}

void restore_console_input() {
  // Only async-signal-safe calls: this also runs before a stop. The user's settings go back only
  // while the terminal still has the key mode and is the logger's or the shell's (a shell that
  // keeps a stopped job's settings): once a shell has put its own mode back, or while another
  // job has the terminal, its settings are not the logger's to change.
  if (g_tty < 0) return;
  const pid_t foreground = tcgetpgrp(g_tty);
  if (foreground != getpgrp() && foreground != g_session) return;
  termios found;
  if (tcgetattr(g_tty, &found) == 0 && has_key_mode(found)) {
    tcsetattr(g_tty, TCSANOW, &g_user_settings);
  }
}

ConsoleQueue* console_queue() {
  return &g_console;
}
