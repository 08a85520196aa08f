// Stands in for the measuring device: a pseudo-terminal whose slave side is reachable as COM n
// through the link com<n> in a ports folder (the logger's COMLOG_PORTS), sending decimal
// readings as lines ending in CR LF, or the bytes of a file. Lines go out one or a few to a
// write, or cut into packets of a fixed size wherever the lines end, as a USB adapter hands them
// over.
//
// The logger empties the port's input when it starts, so nothing is sent before it has the port:
// the device leaves the line at 9600 baud and waits until the speed reads 115200, which is the
// logger configuring the port, then gives it a moment to finish its purge.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

void note_stop(int) {
  g_stop = 1;
}

struct Options {
  std::string ports;      // the folder that gets the link
  int port = 3;           // COM number
  double rate = 4.0;      // writes per second; 0 sends without pausing
  long count = -1;        // lines to send; -1 sends until stopped
  int burst = 1;          // lines per write: more than one share one read at the logger
  int packet = 0;         // bytes per write regardless of line ends; 0: whole lines
  long unplug_after = 0;  // lines after which the device is pulled out; 0: never
  double away = 1.0;      // seconds it stays out
  std::string file;       // raw bytes to send instead of readings
  unsigned seed = 1;      // for the wandering readings
  bool wait_for_logger = true;
};

void usage() {
  std::fprintf(stderr,
               "usage: simulated_device --ports DIR [--port N] [--rate PER_SECOND] [--count N]\n"
               "                        [--burst N | --packet N] [--file PATH] [--seed N]\n"
               "                        [--unplug-after N [--away SECONDS]] [--no-wait]\n"
               "  Makes DIR/com<N> (default N 3) a pseudo-terminal and sends readings around 512\n"
               "  as lines ending in CR LF, 4 writes a second by default (0: no pause).\n"
               "  --count N   end after N lines (with --file: after N passes over the file)\n"
               "  --burst N   put N lines into each write, as a device with a fast burst does\n"
               "  --packet N  cut the stream into writes of N bytes wherever the lines end, as a\n"
               "              USB adapter does (an FTDI chip: 62 bytes, or less when its timer\n"
               "              runs out); the last write takes what is left\n"
               "  --unplug-after N  after N lines, pull the device out (its pseudo-terminal\n"
               "              closes) for --away seconds (default 1), then plug it in again as a\n"
               "              new pseudo-terminal behind the same link, and send the rest\n"
               "  --file PATH send the file's bytes as they are, one line (up to LF) per write\n"
               "  --no-wait   send at once instead of waiting for the logger to set 115200 baud\n"
               "Ends on SIGINT or SIGTERM, or after --count, and removes the link.\n");
}

bool parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool has_value = i + 1 < argc;
    if (word == "--no-wait") {
      options->wait_for_logger = false;
    } else if (!has_value) {
      return false;
    } else if (word == "--ports") {
      options->ports = argv[++i];
    } else if (word == "--port") {
      options->port = std::atoi(argv[++i]);
    } else if (word == "--rate") {
      options->rate = std::atof(argv[++i]);
    } else if (word == "--count") {
      options->count = std::atol(argv[++i]);
    } else if (word == "--burst") {
      options->burst = std::atoi(argv[++i]);
    } else if (word == "--unplug-after") {
      options->unplug_after = std::atol(argv[++i]);
    } else if (word == "--away") {
      options->away = std::atof(argv[++i]);
    } else if (word == "--packet") {
      options->packet = std::atoi(argv[++i]);
    } else if (word == "--file") {
      options->file = argv[++i];
    } else if (word == "--seed") {
      options->seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
    } else {
      return false;
    }
  }
  return !options->ports.empty() && options->port > 0 && options->rate >= 0 && options->burst > 0 &&
         options->packet >= 0;
}

// Sleeps for `seconds`, returning early when asked to stop.
void pause_for(double seconds) {
  if (seconds <= 0) return;
  timespec span;
  span.tv_sec = time_t(seconds);
  span.tv_nsec = long((seconds - double(span.tv_sec)) * 1e9);
  while (!g_stop && nanosleep(&span, &span) != 0 && errno == EINTR) {
  }
}

// A write that a stop request may cut short; returns false when it did not complete.
bool write_all(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR && !g_stop) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= size_t(written);
  }
  return true;
}

// Readings wander by a few counts a step and are pulled back towards 512, so the log shows
// small signed numbers.
int next_reading(int previous, unsigned* state) {
  *state = *state * 1103515245u + 12345u;
  const int step = int((*state >> 16) % 7) - 3;
  return previous + step + (512 - previous) / 16;
}

std::vector<std::string> file_lines(const std::string& path, bool* ok) {
  std::vector<std::string> lines;
  FILE* file = std::fopen(path.c_str(), "rb");
  *ok = file != nullptr;
  if (file == nullptr) return lines;
  std::string current;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    current.push_back(char(c));
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) lines.push_back(current);
  std::fclose(file);
  return lines;
}

// The lines the device sends: wandering readings, or the lines of a file over and over.
struct Lines {
  const Options& options;
  const std::vector<std::string>& raw;
  int reading = 512;
  unsigned state;
  long sent = 0;  // lines made, or with a file, whole passes over it
  size_t next_raw = 0;
  long made = 0;  // lines, whatever their source

  bool more() const { return options.count < 0 || sent < options.count; }

  void append_next(std::string* out) {
    ++made;
    if (raw.empty()) {
      reading = next_reading(reading, &state);
      *out += std::to_string(reading) + "\r\n";
      ++sent;
      return;
    }
    *out += raw[next_raw++];
    if (next_raw == raw.size()) {
      next_raw = 0;
      ++sent;
    }
  }
};

bool wait_until_configured(int master) {
  while (!g_stop) {
    termios settings;
    if (tcgetattr(master, &settings) == 0 && cfgetispeed(&settings) == B115200) {
      pause_for(0.1);  // the logger purges the input right after setting the line
      return !g_stop;
    }
    pause_for(0.01);
  }
  return false;
}

// The device's end of the line: a pseudo-terminal whose slave is COM n through the link.
struct Plug {
  int master = -1;
  int slave = -1;
};

bool plug_in(const std::string& link, int port, Plug* plug) {
  plug->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (plug->master < 0 || grantpt(plug->master) != 0 || unlockpt(plug->master) != 0) {
    std::perror("simulated_device: pseudo-terminal");
    return false;
  }
  const std::string slave_path = ptsname(plug->master);
  // Held open here so that the slave stays valid between logger runs and keeps its settings.
  plug->slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings;
  if (plug->slave < 0 || tcgetattr(plug->slave, &settings) != 0) {
    std::perror("simulated_device: slave");
    return false;
  }
  // Raw, so that nothing is echoed back or translated before the logger sets the line itself.
  cfmakeraw(&settings);
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  tcsetattr(plug->slave, TCSANOW, &settings);
  unlink(link.c_str());
  if (symlink(slave_path.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "simulated_device: cannot make %s: %s\n", link.c_str(),
                 std::strerror(errno));
    return false;
  }
  std::fprintf(stderr, "simulated_device: COM%d is %s -> %s\n", port, link.c_str(),
               slave_path.c_str());
  return true;
}

// As a USB adapter pulled out: the terminal hangs up for whoever holds it, and its name goes.
void pull_out(const std::string& link, Plug* plug) {
  unlink(link.c_str());
  close(plug->slave);
  close(plug->master);
  plug->master = plug->slave = -1;
}

// Stays until the logger has taken what was sent, so that closing loses nothing. The terminal
// layer hands a large write on to the slave's queue a few kilobytes at a time, so the queue must
// stay empty for a while; a logger that takes nothing for 5 s is not waited for.
void wait_until_taken(int slave) {
  int still = 0;
  for (int empty = 0, queued = -1; !g_stop && empty < 10 && still < 500;) {
    const int before = queued;
    if (ioctl(slave, FIONREAD, &queued) != 0) break;
    empty = queued == 0 ? empty + 1 : 0;
    still = queued == before && queued > 0 ? still + 1 : 0;
    pause_for(0.01);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    usage();
    return 2;
  }
  std::vector<std::string> raw;
  if (!options.file.empty()) {
    bool ok = false;
    raw = file_lines(options.file, &ok);
    if (!ok) {
      std::fprintf(stderr, "simulated_device: cannot read %s\n", options.file.c_str());
      return 1;
    }
  }

  struct sigaction action = {};
  action.sa_handler = note_stop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a write blocked on a full port queue gives way to the request.
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  mkdir(options.ports.c_str(), 0755);
  const std::string link = options.ports + "/com" + std::to_string(options.port);
  Plug plug;
  if (!plug_in(link, options.port, &plug)) return 1;
  if (!options.wait_for_logger || wait_until_configured(plug.master)) {
    const double interval = options.rate > 0 ? 1.0 / options.rate : 0.0;
    Lines lines{options, raw, 512, options.seed};
    bool unplugged = false;
    std::string pending;  // made and not yet written
    while (!g_stop && (lines.more() || !pending.empty())) {
      // Lines up to the unplugging are sent before it, whatever the packets.
      const bool before_unplug = options.unplug_after > 0 && !unplugged;
      auto may_make = [&] {
        return lines.more() && (!before_unplug || lines.made < options.unplug_after);
      };
      if (before_unplug && !may_make() && pending.empty()) {
        wait_until_taken(plug.slave);
        pull_out(link, &plug);
        unplugged = true;
        pause_for(options.away);
        if (g_stop || !plug_in(link, options.port, &plug)) break;
        if (options.wait_for_logger && !wait_until_configured(plug.master)) break;
        continue;
      }
      size_t size = 0;
      if (options.packet > 0) {
        while (may_make() && pending.size() < size_t(options.packet)) lines.append_next(&pending);
        size = std::min(pending.size(), size_t(options.packet));
      } else {
        for (int i = 0; i < options.burst && may_make(); ++i) lines.append_next(&pending);
        size = pending.size();
      }
      if (!write_all(plug.master, pending.data(), size)) break;
      pending.erase(0, size);
      pause_for(interval);
    }
    wait_until_taken(plug.slave);
  }
  pull_out(link, &plug);
  return 0;
}
