// The file under the measurement log on Linux.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/log_file.h"

namespace {

struct LogFile {
  int fd;
};
LogFile g_log_file = {-1};

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

bool create(void* context, const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) fd = open_existing(path);
  static_cast<LogFile*>(context)->fd = fd;
  return fd >= 0;
}

long write_file(void* context, const char* bytes, size_t length) {
  for (;;) {
    const ssize_t written = write(static_cast<LogFile*>(context)->fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    return long(written);
  }
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  close(file->fd);
  file->fd = -1;
}

}  // namespace

LogFileService system_log_file() {
  return LogFileService{&g_log_file, create, write_file, close_file};
}
