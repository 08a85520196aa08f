// Preloaded into the logger by the tests to stand in for a port whose open takes its time, as an
// outgoing Bluetooth port does while it connects. Opening the file named by COMLOG_SLOW_OPEN
// first creates "<name>.opening", then waits, through any signal, until "<name>.go" exists, and
// only then opens the file. With COMLOG_SLOW_CONFIGURE=<name>, the port's configuration (its
// cfmakeraw) waits the same way, on "<name>.configuring" and "<name>.go": the port is then open
// and not yet set up.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

using OpenFunction = int (*)(const char*, int, ...);

void wait_until_told(const char* slow, const char* marker_suffix) {
  const std::string opening = std::string(slow) + marker_suffix;
  const std::string go = std::string(slow) + ".go";
  const int marker = creat(opening.c_str(), 0644);
  if (marker >= 0) close(marker);
  // Bounded, so that a test that never says go cannot leave the logger behind for good.
  for (int tick = 0; tick < 6000 && access(go.c_str(), F_OK) != 0; ++tick) {
    const timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

void wait_for_go(const char* path) {
  const char* slow = getenv("COMLOG_SLOW_OPEN");
  if (slow != nullptr && strcmp(slow, path) == 0) wait_until_told(slow, ".opening");
}

int forward(const char* name, const char* path, int flags, va_list arguments) {
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
  wait_for_go(path);
  auto next = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, name));
  return next(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = forward("open", path, flags, arguments);
  va_end(arguments);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = forward("open64", path, flags, arguments);
  va_end(arguments);
  return fd;
}

extern "C" void cfmakeraw(termios* settings) {
  const char* slow = getenv("COMLOG_SLOW_CONFIGURE");
  if (slow != nullptr) wait_until_told(slow, ".configuring");
  auto next = reinterpret_cast<void (*)(termios*)>(dlsym(RTLD_NEXT, "cfmakeraw"));
  next(settings);
}
