// Console key input on a POSIX terminal: the controlling terminal's bytes go through the
// terminal decoder into a queue of key records, which the shared key logic reads as it would a
// PC console's input queue.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <deque>

#include "console_input.h"
#include "key_codes.h"
#include "terminal_decoder.h"

namespace {

// Input modes as the key logic sees them. 0 is the mode read_key works in: Ctrl+C is a key.
// Any other value is the run mode, in which Ctrl+C interrupts (a PC console's processed input).
constexpr uint32_t kRunMode = 0x1;

int g_tty = -1;
termios g_user_settings;  // as found at start-up, put back at the end
termios g_run_settings;
termios g_mode0_settings;
bool g_hung_up = false;
TerminalDecoder g_decoder;
std::deque<KeyRecord> g_queue;
KeyState g_key_state;

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void append(const std::vector<KeyRecord>& records) {
  g_queue.insert(g_queue.end(), records.begin(), records.end());
}

// Reads whatever the terminal has without waiting and queues the keys it makes, including those
// whose wait for more bytes has run out.
void take_terminal_input() {
  std::vector<KeyRecord> records;
  unsigned char bytes[256];
  while (!g_hung_up) {
    const ssize_t got = read(g_tty, bytes, sizeof bytes);
    if (got > 0) {
      terminal_decoder_feed(&g_decoder, bytes, static_cast<size_t>(got), now_ms(), &records);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // With VMIN 1 and O_NONBLOCK "nothing yet" is EAGAIN; 0 or EIO means the terminal is gone.
    if (got == 0 || errno == EIO) g_hung_up = true;
    break;
  }
  terminal_decoder_expire(&g_decoder, now_ms(), &records);
  append(records);
}

bool tty_count(void*, uint32_t* queued) {
  if (g_tty < 0) return false;
  take_terminal_input();
  *queued = static_cast<uint32_t>(g_queue.size());
  return true;
}

bool tty_peek_all(void*, std::vector<KeyRecord>* records) {
  if (g_tty < 0) return false;
  records->assign(g_queue.begin(), g_queue.end());
  return true;
}

bool tty_remove_oldest(void*, KeyRecord* record) {
  if (g_tty < 0) return false;
  for (;;) {
    take_terminal_input();
    if (!g_queue.empty()) {
      *record = g_queue.front();
      g_queue.pop_front();
      return true;
    }
    if (g_hung_up) return false;
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

bool tty_get_mode(void*, uint32_t* mode) {
  termios settings;
  if (g_tty < 0 || tcgetattr(g_tty, &settings) != 0) return false;
  *mode = (settings.c_lflag & ISIG) ? kRunMode : 0;
  return true;
}

bool tty_set_mode(void*, uint32_t mode) {
  if (g_tty < 0) return false;
  // TCSANOW: keys already typed must stay queued.
  return tcsetattr(g_tty, TCSANOW, mode == 0 ? &g_mode0_settings : &g_run_settings) == 0;
}

ConsoleQueue g_console = {nullptr,           tty_count,    tty_peek_all,
                          tty_remove_oldest, tty_get_mode, tty_set_mode};

void disable(termios* settings, int index) {
  settings->c_cc[index] = _POSIX_VDISABLE;
}

}  // namespace

void open_console_input() {
  if (g_tty >= 0) return;
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;  // no controlling terminal: no keys
  // A background job may not change the terminal (the change would stop it); it gets no keys.
  if (tcgetpgrp(fd) != getpgrp() || tcgetattr(fd, &g_user_settings) != 0) {
    close(fd);
    return;
  }
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
  g_tty = fd;
  tcsetattr(g_tty, TCSANOW, &g_run_settings);
}

void restore_console_input() {
  if (g_tty < 0) return;
  // Only async-signal-safe calls: this may run on the way out of a signal. SIGTTOU is held so
  // that a process moved to the background still puts the settings back instead of stopping.
  sigset_t ttou, previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  sigprocmask(SIG_BLOCK, &ttou, &previous);
  tcsetattr(g_tty, TCSANOW, &g_user_settings);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int key_pending() {
  return key_pending_from(&g_console, &g_key_state);
}

int read_key() {
  return read_key_from(&g_console, &g_key_state);
}
