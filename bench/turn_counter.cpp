// Preloaded into comlog by the benchmark to count what it asks of the system, in a file that the
// benchmark reads, COMLOG_BENCH_TURNS: its loop turns (every turn asks the port how many bytes
// are queued, ioctl FIONREAD), then its writes to ordinary files (test.dat), eight bytes each.
// It adds a function call and an increment to a turn that makes a system call anyway, and an
// fstat to each write.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using IoctlFunction = int (*)(int, unsigned long, void*);
using WriteFunction = ssize_t (*)(int, const void*, size_t);

IoctlFunction g_next_ioctl = nullptr;
WriteFunction g_next_write = nullptr;
unsigned long long* g_counters = nullptr;  // turns, file writes

__attribute__((constructor)) void map_counter() {
  g_next_ioctl = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
  g_next_write = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  const char* path = getenv("COMLOG_BENCH_TURNS");
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* counters = mmap(nullptr, 2 * sizeof *g_counters, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (counters != MAP_FAILED) g_counters = static_cast<unsigned long long*>(counters);
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (request == FIONREAD && g_counters != nullptr) {
    __atomic_add_fetch(&g_counters[0], 1, __ATOMIC_RELAXED);
  }
  return g_next_ioctl(fd, request, argument);
}

extern "C" ssize_t write(int fd, const void* bytes, size_t length) {
  struct stat file;
  if (g_counters != nullptr && fstat(fd, &file) == 0 && S_ISREG(file.st_mode)) {
    __atomic_add_fetch(&g_counters[1], 1, __ATOMIC_RELAXED);
  }
  return g_next_write(fd, bytes, length);
}
