#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logger/log_file.h"

struct LogFile {
  int fd;
};

namespace {

// An existing file is emptied only once it is known to be one that may be written: an earlier
// measurement kept read-only (no write permission bit at all) is refused, even for root, who
// could write it regardless.
int open_existing(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat file;
  if (fstat(fd, &file) != 0) {
    close(fd);
    return -1;
  }
  if (S_ISREG(file.st_mode)) {
    const bool writable = (file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    if (!writable || ftruncate(fd, 0) != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

}  // namespace

LogFile* log_file_create(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) fd = open_existing(path);
  if (fd < 0) return nullptr;
  // The logger writes one log at a time: no allocation for it.
  static LogFile file;
  file = LogFile{fd};
  return &file;
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
  file->fd = -1;
}
