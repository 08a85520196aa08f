// The benchmark's floor: the least a program can do to show a port's bytes on its console. It
// sets the port raw at 115200 8N1, as comlog does, and its console raw too, so that the line
// discipline neither edits, echoes nor translates on either side; then it blocks in read and
// writes what came, nothing else.
//
// usage: comlog_bench_relay PORT   (the console is standard output)
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

bool make_raw(int fd, bool is_port) {
  termios settings;
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  if (is_port) {
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cflag |= CLOCAL | CREAD;
  }
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: comlog_bench_relay PORT\n", stderr);
    return 2;
  }
  const int port = open(argv[1], O_RDWR | O_NOCTTY);
  if (port < 0 || !make_raw(port, true) || !make_raw(STDOUT_FILENO, false)) {
    std::perror("comlog_bench_relay");
    return 1;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(port, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return 0;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = write(STDOUT_FILENO, buffer + done, size_t(got - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return 0;
      done += written;
    }
  }
}
