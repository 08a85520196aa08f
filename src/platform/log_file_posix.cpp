// The file under the measurement log on Linux: test.dat in the working directory, the previous
// one kept as test.dat.1.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/log_file.h"

namespace {

struct LogFile {
  int fd;
};
LogFile g_log_file = {-1};

// An existing file (a device, a link to one, an empty file) is opened only once it is known to be
// one that may be written: a file kept read-only (no write permission bit at all) is refused,
// even for root, who could write it regardless.
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

// The measurement of an earlier run, an ordinary file with records, is kept as `path`.1 (an
// older one there is replaced) and a new empty file takes its place. The new file is made first
// and the two renames come after, so that a refusal changes nothing. Only should the second
// rename fail after the first (all but impossible within one folder) is the previous file put
// back and an older `path`.1 lost.
int keep_previous(const char* path, const struct stat& found) {
  // Kept read-only on purpose, or not the user's to write: refused as an emptying would be.
  if ((found.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path, W_OK) != 0) return -1;
  char kept[PATH_MAX];
  char fresh[PATH_MAX];
  if (std::snprintf(kept, sizeof kept, "%s.1", path) >= int(sizeof kept) ||
      std::snprintf(fresh, sizeof fresh, "%s.XXXXXX", path) >= int(sizeof fresh)) {
    return -1;
  }
  const int fd = mkostemp(fresh, O_CLOEXEC);
  if (fd < 0) return -1;
  // mkostemp makes the file private; a log is an ordinary file that others may read.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  if (rename(path, kept) != 0) {
    unlink(fresh);
    close(fd);
    return -1;
  }
  if (rename(fresh, path) != 0) {
    rename(kept, path);
    unlink(fresh);
    close(fd);
    return -1;
  }
  return fd;
}

bool create(void* context, const char* path) {
  struct stat found;
  int fd = -1;
  if (stat(path, &found) == 0 && S_ISREG(found.st_mode) && found.st_size > 0) {
    fd = keep_previous(path, found);
  } else {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) fd = open_existing(path);
  }
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
