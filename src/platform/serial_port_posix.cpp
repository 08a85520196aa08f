// The serial port on Linux: a terminal device in raw mode, taken exclusively. The port is a device
// file named by the operator, or COM n's, which the port names give it (COMLOG_PORTS/com<n>, or
// /dev/ttyS<n-1>).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/port_failures.h"
#include "common/port_names.h"
#include "platform/process_posix.h"
#include "platform/serial_port.h"

namespace {

struct Port {
  int fd;
  bool made_exclusive;  // by this run, which therefore clears it again
  // What the last open tried and why it failed: errno, or kNoDeviceFile; put into words only
  // when asked, since a port that has gone is tried again and again.
  int32_t number;
  size_t given_length;  // of a device file named by the operator; 0 for COM n
  char path[PATH_MAX];  // the longest path the system takes, with its NUL
  int open_error;
  char why_not_opened[PATH_MAX + 256];
  // Why the last configure failed: errno of the call that failed, or kSettingsDidNotHold.
  int configure_error;
  bool configure_read_failed;  // the settings could not even be read: no terminal at all
  char why_settings_refused[PATH_MAX + 256];
  PortFailures failures;  // of polls and reads, in a row
};
Port g_port = {-1, false, 0, 0, "", 0, "", 0, false, "", {0}};

constexpr int kNoDeviceFile = -1;
constexpr int kSettingsDidNotHold = -1;

// Nothing the line discipline does may change a received byte or send one back: no echo, no
// line editing, no signals, no output processing, no XOFF when the input queue fills.
void make_quiet(termios* settings) {
  settings->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings->c_oflag &= ~OPOST;
  settings->c_iflag &= ~(IXON | IXOFF | IXANY);
}

// Raw input: every byte as received. A break is ignored rather than read as a NUL (which would
// cut off the rest of its read); parity is neither checked nor marked, so a byte with a parity
// or framing error arrives as it came.
constexpr tcflag_t kInputTranslation =
    BRKINT | INPCK | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;

bool settings_hold(const termios& wanted, const termios& actual) {
  const tcflag_t line_bits = CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL;
  const tcflag_t input_bits = kInputTranslation | IGNBRK;
  const tcflag_t local_bits = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
  return cfgetispeed(&actual) == cfgetispeed(&wanted) &&
         cfgetospeed(&actual) == cfgetospeed(&wanted) &&
         (actual.c_cflag & line_bits) == (wanted.c_cflag & line_bits) &&
         (actual.c_iflag & input_bits) == (wanted.c_iflag & input_bits) &&
         (actual.c_oflag & OPOST) == (wanted.c_oflag & OPOST) &&
         (actual.c_lflag & local_bits) == (wanted.c_lflag & local_bits);
}

void lower_modem_lines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
}

// The kernel refuses later opens while TIOCEXCL is set; on a pseudo-terminal the flag outlives
// the descriptor, so the run that set it clears it before the close. (Root gets past another
// program's flag; that one is left alone.)
void release(Port* port) {
  if (port->made_exclusive) ioctl(port->fd, TIOCNXCL);
  close(port->fd);
  port->fd = -1;
  watch_port(-1);
}

bool open_port(void* context, PortName name) {
  Port* port = static_cast<Port*>(context);
  port->number = name.number;
  port->given_length = name.device_file != nullptr ? std::strlen(name.device_file) : 0;
  port->open_error = 0;
  port->configure_error = 0;
  if (!port_device_file(name, std::getenv("COMLOG_PORTS"), port->path, sizeof port->path)) {
    port->open_error = kNoDeviceFile;
    return false;
  }
  // Without O_NONBLOCK the open would wait for carrier on a port that lacks CLOCAL.
  const int fd = open(port->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    port->open_error = errno;
    return false;
  }
  // Terminal programs check the flock; TIOCEXCL makes the kernel refuse later opens.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    port->open_error = errno;
    close(fd);
    return false;
  }
  int already_exclusive = 0;
  ioctl(fd, TIOCGEXCL, &already_exclusive);
  ioctl(fd, TIOCEXCL);
  // The open itself raised DTR and RTS, and a board that resets on DTR sees that pulse; lowering
  // them here, before any message can be held up by a stalled console, keeps it as short as a
  // program can. A port without modem lines (a pseudo-terminal) has none to lower.
  lower_modem_lines(fd);
  // A driver's defaults echo what arrives: until the port is configured, a device that is
  // already sending would get its bytes back.
  termios settings;
  if (tcgetattr(fd, &settings) == 0) {
    make_quiet(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
  port->fd = fd;
  watch_port(fd);
  port->made_exclusive = already_exclusive == 0;
  port_worked(&port->failures);
  return true;
}

// Notes why the settings were refused, for the operator's words; always false.
bool refused(Port* port, int error, bool read_failed) {
  port->configure_error = error;
  port->configure_read_failed = read_failed;
  return false;
}

bool configure(void* context) {
  Port* port = static_cast<Port*>(context);
  const int fd = port->fd;
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return refused(port, errno, true);
  cfmakeraw(&settings);
  make_quiet(&settings);
  settings.c_cflag |= CREAD | CLOCAL;
  settings.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB);
  settings.c_iflag &= ~kInputTranslation;
  settings.c_iflag |= IGNBRK;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  cfsetispeed(&settings, B115200);
  cfsetospeed(&settings, B115200);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return refused(port, errno, false);
  // tcsetattr succeeds when any one change took, so the result is read back.
  termios actual;
  if (tcgetattr(fd, &actual) != 0) return refused(port, errno, false);
  if (!settings_hold(settings, actual)) return refused(port, kSettingsDidNotHold, false);
  // Once more, for a driver that raises them when the speed is set.
  lower_modem_lines(fd);
  return true;
}

void purge(void* context) {
  // Output too: nothing queued for the device before configuration may reach it.
  tcflush(static_cast<Port*>(context)->fd, TCIOFLUSH);
}

// A terminal that has hung up (its USB adapter pulled out, its Bluetooth link dropped, the master
// of a pseudo-terminal closed) fails every ioctl and read with EIO, and reads end-of-file.
// Whether the port is still there after a call that failed with `error`: a hang-up (EIO) or a
// device that has gone says so at once, anything else once it keeps coming.
bool still_there_after(void* context, int error) {
  const bool means_gone = error == EIO || error == ENXIO || error == ENODEV;
  return !port_failed(&static_cast<Port*>(context)->failures, means_gone);
}

bool poll_port(void* context, uint32_t* queued) {
  int count = 0;
  *queued = 0;
  if (ioctl(static_cast<Port*>(context)->fd, FIONREAD, &count) != 0) {
    return still_there_after(context, errno);
  }
  *queued = count > 0 ? uint32_t(count) : 0;
  port_worked(&static_cast<Port*>(context)->failures);
  return true;
}

// Asked only for bytes that the poll reported, so end-of-file means a hang-up too.
bool read_port(void* context, char* buffer, uint32_t count, uint32_t* got) {
  for (;;) {
    const ssize_t taken = read(static_cast<Port*>(context)->fd, buffer, count);
    if (taken < 0 && errno == EINTR) continue;
    *got = taken > 0 ? uint32_t(taken) : 0;
    if (taken > 0) return true;
    return taken < 0 && still_there_after(context, errno);
  }
}

void close_port(void* context) {
  release(static_cast<Port*>(context));
}

// Why the last open failed, with what an operator can do about the usual two: a port the user
// may not open, and one that another program has.
const char* why_not_opened(void* context) {
  Port* port = static_cast<Port*>(context);
  char* why = port->why_not_opened;
  const size_t size = sizeof port->why_not_opened;
  const int error = port->open_error;
  const char* path = port->path;
  struct stat device;
  const bool denied = error == EACCES || error == EPERM;
  if (error == 0) return nullptr;
  if (error == kNoDeviceFile && port->given_length > 0) {
    std::snprintf(why, size, "the device file's name has %zu bytes; a path has at most %d",
                  port->given_length, PATH_MAX - 1);
  } else if (error == kNoDeviceFile) {
    std::snprintf(why, size,
                  port->number <= 0 ? "there is no COM%d: the ports are numbered from 1"
                                    : "COM%d: the name of the folder in COMLOG_PORTS is too long",
                  int(port->number));
  } else if (denied && stat(path, &device) == 0 && device.st_gid != 0 &&
             (device.st_mode & S_IWGRP)) {
    // A port for a group (dialout on Debian), which the user may join.
    const group* owner = getgrgid(device.st_gid);
    const passwd* user = getpwuid(geteuid());
    std::snprintf(why, size,
                  "%s: %s (the port is for the group %s: sudo adduser %s %s, then log in again)",
                  path, std::strerror(error), owner ? owner->gr_name : "dialout",
                  user ? user->pw_name : "$USER", owner ? owner->gr_name : "dialout");
  } else if (denied) {
    std::snprintf(why, size, "%s: %s (only its owner may open it)", path, std::strerror(error));
  } else if (error == EBUSY || error == EWOULDBLOCK) {
    std::snprintf(why, size, "%s: busy: another program has the port open", path);
  } else {
    std::snprintf(why, size, "%s: %s", path, std::strerror(error));
  }
  return why;
}

// A file that is no terminal takes no line settings at all: /dev/null, a disk file, a folder.
const char* why_settings_refused(void* context) {
  Port* port = static_cast<Port*>(context);
  char* why = port->why_settings_refused;
  const size_t size = sizeof port->why_settings_refused;
  const int error = port->configure_error;
  if (error == 0) return nullptr;
  if (error == kSettingsDidNotHold) {
    std::snprintf(why, size, "%s: the driver did not take 115200 baud, 8N1 without flow control",
                  port->path);
  } else if (port->configure_read_failed && error == ENOTTY) {
    std::snprintf(why, size, "%s: not a serial port (%s)", port->path, std::strerror(error));
  } else {
    std::snprintf(why, size, "%s: %s", port->path, std::strerror(error));
  }
  return why;
}

const char* device_file(void* context) {
  const Port* port = static_cast<Port*>(context);
  return port->path[0] != '\0' ? port->path : nullptr;
}

}  // namespace

SerialPortService system_serial_port() {
  return SerialPortService{&g_port,
                           open_port,
                           configure,
                           purge,
                           poll_port,
                           read_port,
                           close_port,
                           why_not_opened,
                           /*device_files=*/true,
                           why_settings_refused,
                           device_file};
}
