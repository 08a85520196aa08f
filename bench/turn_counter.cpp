// Preloaded into comlog by the benchmark to count its loop turns: every turn asks the port how
// many bytes are queued (ioctl FIONREAD), and this counts those calls in a file that the
// benchmark reads, COMLOG_BENCH_TURNS. It adds a function call and an increment to a turn that
// makes a system call anyway.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using IoctlFunction = int (*)(int, unsigned long, void*);

IoctlFunction g_next = nullptr;
unsigned long long* g_turns = nullptr;

__attribute__((constructor)) void map_counter() {
  g_next = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  const char* path = getenv("COMLOG_BENCH_TURNS");
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* counter = mmap(nullptr, sizeof *g_turns, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (counter != MAP_FAILED) g_turns = static_cast<unsigned long long*>(counter);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (request == FIONREAD && g_turns != nullptr) __atomic_add_fetch(g_turns, 1, __ATOMIC_RELAXED);
  return g_next(fd, request, argument);
}
