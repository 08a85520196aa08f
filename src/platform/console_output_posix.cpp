// Standard output and standard error on Linux, and the character set of the locale, asked once at
// the start. A write never waits for a reader: a pipe or a terminal is written through a
// description of its own opened without blocking (the one the stream shares with the shell keeps
// its flags), a socket with MSG_DONTWAIT, a file as it is.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/text.h"
#include "platform/console_output.h"
#include "platform/process_posix.h"

namespace {

enum class Way {
  kAsItIs,      // a file or a disk: a write never waits for a reader
  kOwnOpening,  // a pipe or a terminal, opened again without blocking
  kShared,      // a pipe that cannot be opened again (another user's): made non-blocking itself
  kSocket,      // each send without waiting
  kLooked,      // a terminal that cannot: written only when poll says it takes more
};

struct Stream {
  int fd;
  Way way;
  int shared_flags;  // with kShared: the flags to put back at the end
};

struct Output {
  Stream out;
  Stream errors;
  char character_set[64];  // the locale's, asked once at the start
};
Output g_output = {{STDOUT_FILENO, Way::kAsItIs, 0}, {STDERR_FILENO, Way::kAsItIs, 0}, ""};

// A pipe's write end is its writer's alone as a rule, yet its flags go back at a normal end.
void put_back_shared_flags() {
  for (const Stream* stream : {&g_output.out, &g_output.errors}) {
    if (stream->way == Way::kShared) fcntl(stream->fd, F_SETFL, stream->shared_flags);
  }
}

// The character set of the locale that LC_ALL, LC_CTYPE and LANG choose, the first of them that
// is set, as the locale's name gives it: "en_US.UTF-8" names UTF-8, "C" and "POSIX" none. The
// name says what the operator's terminal reads, also where this machine lacks the locale's data
// (a session from a UTF-8 desktop on a server without it), and nothing is loaded for it: the
// process stays in the C locale, so that nothing that classifies bytes ever depends on it, and
// pays none of the pages that loading a locale costs.
void ask_character_set(Output* output) {
  output->character_set[0] = '\0';
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* name = std::getenv(variable);
    if (name == nullptr || name[0] == '\0') continue;
    const char* dot = std::strchr(name, '.');
    if (dot != nullptr) {
      append_text(output->character_set, sizeof output->character_set, 0, dot + 1,
                  std::strcspn(dot + 1, "@"));
    }
    return;
  }
}

// The most written at once to a terminal that can only be polled.
constexpr size_t kLookedWriteMost = 64;

// Where a stream goes decides how it is written without waiting.
void choose_way(Stream* stream, const char* reopened) {
  struct stat target;
  if (fstat(stream->fd, &target) != 0 || S_ISREG(target.st_mode) || S_ISBLK(target.st_mode)) {
    return;
  }
  if (S_ISSOCK(target.st_mode)) {
    stream->way = Way::kSocket;
    return;
  }
  // A new open file description of the same pipe or terminal, so that O_NONBLOCK is ours alone.
  const int fd = open(reopened, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    stream->fd = fd;
    stream->way = Way::kOwnOpening;
    return;
  }
  // A pipe made by another user (a root shell's, for a program that runs as another) cannot be
  // opened again; poll says a pipe takes more when it has room for a page, which a write of a page
  // may still not find.
  const int flags = fcntl(stream->fd, F_GETFL);
  if (S_ISFIFO(target.st_mode) && flags != -1 &&
      fcntl(stream->fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    stream->way = Way::kShared;
    stream->shared_flags = flags;
    std::atexit(put_back_shared_flags);
    return;
  }
  stream->way = Way::kLooked;
}

long write_to(const Stream& stream, const char* bytes, size_t length) {
  for (;;) {
    ssize_t written;
    if (stream.way == Way::kSocket) {
      written = send(stream.fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      if (stream.way == Way::kLooked) {
        pollfd room = {stream.fd, POLLOUT, 0};
        if (poll(&room, 1, 0) == 0) return 0;
        // A terminal that polls writable has room for some bytes at least.
        if (length > kLookedWriteMost) length = kLookedWriteMost;
      }
      written = write(stream.fd, bytes, length);
    }
    if (written >= 0) return long(written);
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

bool is_terminal(void*) {
  return isatty(STDOUT_FILENO) == 1;
}

bool errors_to_terminal(void*) {
  return isatty(STDERR_FILENO) == 1;
}

const char* character_set(void* context) {
  return static_cast<Output*>(context)->character_set;
}

long write_output(void* context, const char* bytes, size_t length) {
  return write_to(static_cast<const Output*>(context)->out, bytes, length);
}

void wait_for_room(void* context, int64_t timeout_ms) {
  pollfd room = {static_cast<const Output*>(context)->out.fd, POLLOUT, 0};
  poll(&room, 1, timeout_ms > INT_MAX ? INT_MAX : int(timeout_ms));
}

// A word that a stalled standard error does not take is lost: the loop never waits for it.
long write_error(void* context, const char* bytes, size_t length) {
  return write_to(static_cast<const Output*>(context)->errors, bytes, length);
}

}  // namespace

ConsoleOutputService system_console_output() {
  ask_character_set(&g_output);
  // A terminal takes bytes in its character set: no text of another kind.
  choose_way(&g_output.out, "/proc/self/fd/1");
  choose_way(&g_output.errors, "/proc/self/fd/2");
  watch_output(g_output.out.fd);
  return ConsoleOutputService{&g_output,
                              is_terminal,
                              errors_to_terminal,
                              character_set,
                              write_output,
                              wait_for_room,
                              write_error,
                              /*write_wide=*/nullptr};
}
