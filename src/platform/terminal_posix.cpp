// The controlling terminal on Linux: whose it is and in which mode, saved and put back.
#include "platform/terminal_posix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/process_posix.h"

namespace {

// How often a logger in the background asks whether the terminal is its own again.
constexpr int64_t kForegroundCheckMs = 100;

enum class Owner {
  kNobody,      // no controlling terminal, or it has hung up: no keys
  kOtherGroup,  // another process group has it
  kLogger,      // keys are read in the key mode
};

struct Terminal {
  int fd;
  pid_t session;  // whose leader (the shell) may have the logger's key mode undone for it
  Owner owner;
  int64_t next_check_ms;
  termios user;  // what the terminal had when the logger took it, put back at the end
  termios run;   // the key mode
  termios mode0;
};
Terminal g_terminal = {-1, -1, Owner::kNobody, 0, {}, {}, {}};

void disable(termios* settings, int index) {
  settings->c_cc[index] = _POSIX_VDISABLE;
}

// The key modes, made from the user's settings: keys without Enter and without echo.
void derive_key_modes(Terminal* terminal) {
  termios run = terminal->user;
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
  terminal->run = run;
  terminal->mode0 = run;
  terminal->mode0.c_lflag &= ~ISIG;
}

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool has_key_mode(const Terminal& terminal, const termios& settings) {
  return same_mode(settings, terminal.run) || same_mode(settings, terminal.mode0);
}

// The terminal has hung up: nothing more will come from it.
void forget_terminal(Terminal* terminal) {
  close(terminal->fd);
  terminal->fd = -1;
  terminal->owner = Owner::kNobody;
}

// Changes the settings only while this process group has the terminal.
bool set_in_foreground(const Terminal& terminal, const termios& settings) {
  const sigset_t previous = hold_stops();
  catch_background_changes(true);
  const bool changed = tcsetattr(terminal.fd, TCSANOW, &settings) == 0;
  catch_background_changes(false);
  put_back_mask(previous);
  return changed;
}

// The process group has the terminal (again): what the terminal holds now is the user's mode,
// unless it is still the key mode (a stop that nobody undid), and the key mode goes on.
void take_terminal(Terminal* terminal) {
  const sigset_t previous = hold_stops();
  termios found;
  if (tcgetattr(terminal->fd, &found) == 0) {
    if (!has_key_mode(*terminal, found)) {
      terminal->user = found;
      derive_key_modes(terminal);
    }
    if (set_in_foreground(*terminal, terminal->run)) {
      terminal->owner = Owner::kLogger;
      expect_terminal_input();  // keys typed while it was not the logger's
    }
  }
  put_back_mask(previous);
}

}  // namespace

bool open_terminal() {
  Terminal* terminal = &g_terminal;
  if (terminal->fd >= 0) return true;
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;  // no controlling terminal: no keys
  if (tcgetattr(fd, &terminal->user) != 0) {
    close(fd);
    return false;
  }
  terminal->fd = fd;
  terminal->session = getsid(0);
  derive_key_modes(terminal);
  run_before_stop(give_terminal_back);
  terminal->owner = Owner::kOtherGroup;
  ask_who_has_terminal();
  return true;
}

int terminal_fd() {
  return g_terminal.fd;
}

bool terminal_is_ours() {
  return g_terminal.owner == Owner::kLogger;
}

void ask_who_has_terminal() {
  Terminal* terminal = &g_terminal;
  const pid_t foreground = tcgetpgrp(terminal->fd);
  if (foreground < 0) {
    forget_terminal(terminal);
  } else if (foreground == getpgrp()) {
    if (terminal->owner != Owner::kLogger) take_terminal(terminal);
  } else {
    terminal->owner = Owner::kOtherGroup;
  }
}

void follow_terminal() {
  Terminal* terminal = &g_terminal;
  if (terminal->fd < 0) return;
  if (take_continued()) {
    // A shell puts its own settings back when a job stops: the key mode goes on again.
    terminal->owner = Owner::kOtherGroup;
    ask_who_has_terminal();
    return;
  }
  if (terminal->owner == Owner::kLogger) return;
  const int64_t now = monotonic_ms();
  if (now < terminal->next_check_ms) return;
  terminal->next_check_ms = now + kForegroundCheckMs;
  ask_who_has_terminal();
}

int64_t terminal_next_look_ms() {
  const Terminal& terminal = g_terminal;
  return terminal.fd >= 0 && terminal.owner == Owner::kOtherGroup ? terminal.next_check_ms : -1;
}

bool get_terminal_mode(uint32_t* mode) {
  termios settings;
  if (g_terminal.fd < 0 || tcgetattr(g_terminal.fd, &settings) != 0) return false;
  *mode = (settings.c_lflag & ISIG) ? kRunMode : 0;
  return true;
}

bool set_terminal_mode(uint32_t mode) {
  // TCSANOW: keys already typed must stay queued.
  return set_in_foreground(g_terminal, mode == 0 ? g_terminal.mode0 : g_terminal.run);
}

void give_terminal_back() {
  // Once a shell has put its own mode back, or while another job has the terminal, its settings
  // are not the logger's to change.
  const Terminal& terminal = g_terminal;
  if (terminal.fd < 0) return;
  const pid_t foreground = tcgetpgrp(terminal.fd);
  if (foreground != getpgrp() && foreground != terminal.session) return;
  termios found;
  if (tcgetattr(terminal.fd, &found) == 0 && has_key_mode(terminal, found)) {
    tcsetattr(terminal.fd, TCSANOW, &terminal.user);
  }
}
