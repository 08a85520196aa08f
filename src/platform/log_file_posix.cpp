#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "log_file.h"

struct LogFile {
  int fd;
};

LogFile* log_file_create(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return new LogFile{fd};
}

long log_file_write(LogFile* file, const char* bytes, size_t length) {
  for (;;) {
    const ssize_t written = write(file->fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    return long(written);
  }
}

void log_file_close(LogFile* file) {
  close(file->fd);
  delete file;
}
