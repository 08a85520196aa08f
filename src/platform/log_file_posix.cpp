// The file a run logs into, on Linux: made with the earlier ones kept (NAME.1 the newest), held
// with flock for the run, and watched for removal or replacement by its link count and by what
// its name leads to.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/generations.h"
#include "platform/log_file.h"

namespace {

// Room for NAME.N and NAME.XXXXXX beside the file's own path.
constexpr size_t kNameSize = PATH_MAX + 16;

struct LogFile {
  int fd;
  bool watched;          // an ordinary file: locked, kept in generations, watched for removal
  char path[PATH_MAX];   // the file itself: a link's target, as an absolute path
  char shown[PATH_MAX];  // its absolute path, for the messages
  bool kept;             // the earlier file under the name was kept as NAME.1
  char kept_name[kNameSize];
  // The last failure: its kind, errno, and what goes with it.
  LogFileTrouble trouble;
  int error;
  int generation;
  long holder;
};
// test.dat's and test.csv's. All zeros, so that they take no room in the executable; fd is set
// by create.
LogFile g_log_files[2];

void fail(LogFile* file, LogFileTrouble trouble, int error = 0) {
  file->trouble = trouble;
  file->error = error;
}

// The file that `path` names: a link's target, as an absolute path, for a link, so that the
// files kept beside it go where the link leads; otherwise `path` itself.
bool resolve(const char* path, char* out) {
  char target[2];
  if (readlink(path, target, sizeof target) >= 0) return realpath(path, out) != nullptr;
  if (std::snprintf(out, PATH_MAX, "%s", path) < PATH_MAX) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Renames without ever replacing what has the new name.
bool move_to_free_name(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A filesystem without that kind of rename: a second name, then the first one removed.
  if (link(from, to) != 0) return false;
  unlink(from);
  return true;
}

NameHolds name_holds(void*, const char* name) {
  struct stat found;
  if (lstat(name, &found) != 0) return NameHolds::kNothing;
  return S_ISDIR(found.st_mode) ? NameHolds::kFolder : NameHolds::kFile;
}

bool move_generation(void* context, const char* from, const char* to) {
  if (move_to_free_name(from, to)) return true;
  fail(static_cast<LogFile*>(context), LogFileTrouble::kSystem, errno);
  return false;
}

GenerationMoves generation_moves(LogFile* file) {
  return GenerationMoves{file, name_holds, move_generation};
}

// Moves every earlier measurement a number up; -1, every name as it was, when one cannot be.
int make_room_for_previous(LogFile* file) {
  int folder = 0;
  const int moved = shift_generations(file->path, generation_moves(file), &folder);
  if (folder != 0) {
    fail(file, LogFileTrouble::kKeptIsAFolder);
    file->generation = folder;
  }
  return moved;
}

bool copy_into(int from, int to) {
  char block[64 * 1024];
  for (;;) {
    const ssize_t got = read(from, block, sizeof block);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = write(to, block + done, size_t(got - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
  }
}

// A new file beside the log under a name of its own (the process's id), locked, an ordinary
// file that others may read, and holding what `copy_from` holds when given; its name in `name`.
int make_new_file(LogFile* file, int copy_from, char* name) {
  int fd = -1;
  errno = ENAMETOOLONG;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    const int length =
        std::snprintf(name, kNameSize, "%s.%ld-%d.new", file->path, long(getpid()), attempt);
    if (length < 0 || size_t(length) >= kNameSize) break;
    fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    fail(file, LogFileTrouble::kNoNewFile, errno);
    return -1;
  }
  flock(fd, LOCK_EX | LOCK_NB);
  if (copy_from >= 0 && !copy_into(copy_from, fd)) {
    fail(file, LogFileTrouble::kSystem, errno);
    unlink(name);
    close(fd);
    return -1;
  }
  return fd;
}

// The earlier measurement under the name becomes NAME.1 and a new file takes its place. The new
// file is made first, so that a refusal anywhere puts every name back as it was.
int keep_previous(LogFile* file, int copy_from) {
  char made[kNameSize];
  const int fd = make_new_file(file, copy_from, made);
  if (fd < 0) return -1;
  char kept[kGenerationNameSize];
  generation_name(file->path, 1, kept);
  const int shifted = make_room_for_previous(file);
  if (shifted >= 0) {
    if (move_to_free_name(file->path, kept)) {
      if (move_to_free_name(made, file->path)) {
        file->kept = true;
        return fd;
      }
      fail(file, LogFileTrouble::kSystem, errno);
      move_to_free_name(kept, file->path);
    } else {
      fail(file, LogFileTrouble::kSystem, errno);
    }
    unshift_generations(file->path, generation_moves(file), shifted);
  }
  unlink(made);
  close(fd);
  return -1;
}

// The process that holds the flock on the file `found`, as /proc/locks lists it; 0 when that
// cannot be told.
long lock_holder(const struct stat& found) {
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  char line[256];
  long holder = 0;
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:1234567 0 EOF"
    char kind[16];
    long process = 0;
    unsigned device_major = 0;
    unsigned device_minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(line, "%*s %15s %*s %*s %ld %x:%x:%llu", kind, &process, &device_major,
                    &device_minor, &inode) == 5 &&
        std::strcmp(kind, "FLOCK") == 0 && device_major == major(found.st_dev) &&
        device_minor == minor(found.st_dev) && inode == found.st_ino) {
      holder = process;
    }
  }
  std::fclose(locks);
  return holder;
}

// Makes the file's path the run's file, locked: empty, or holding what `copy_from` holds. What
// has the name is kept as an earlier measurement when it holds anything. -1 when that is not
// possible, with every name as it was.
int take_name(LogFile* file, int copy_from) {
  const char* path = file->path;
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Kept read-only on purpose: refused even for root, who could write it regardless.
    struct stat named;
    if (stat(path, &named) == 0 && S_ISREG(named.st_mode) &&
        (named.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      fail(file, LogFileTrouble::kReadOnly);
      return -1;
    }
    const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT) {
      // Made and then locked: a logger that opens it in between holds it first, and this one is
      // refused as a second.
      const int fresh = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fresh < 0 && errno == EEXIST) continue;
      if (fresh < 0) {
        fail(file,
             errno == EACCES || errno == EROFS || errno == ENOSPC ? LogFileTrouble::kNoNewFile
                                                                  : LogFileTrouble::kSystem,
             errno);
        return -1;
      }
      if (flock(fresh, LOCK_EX | LOCK_NB) != 0) {
        fail(file, LogFileTrouble::kHeldByAnotherLogger);
        close(fresh);
        return -1;
      }
      if (copy_from < 0 || copy_into(copy_from, fresh)) return fresh;
      fail(file, LogFileTrouble::kSystem, errno);
      unlink(path);
      close(fresh);
      return -1;
    }
    if (fd < 0) {
      fail(file, LogFileTrouble::kSystem, errno);
      return -1;
    }
    struct stat found;
    if (fstat(fd, &found) != 0 || !S_ISREG(found.st_mode)) {
      // A device, or a link to one: written as it is.
      file->watched = false;
      return fd;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      fail(file, LogFileTrouble::kHeldByAnotherLogger);
      file->holder = lock_holder(found);
      close(fd);
      return -1;
    }
    // The name may have been given to another file between the open and the lock.
    if (stat(path, &named) != 0 || named.st_dev != found.st_dev || named.st_ino != found.st_ino) {
      close(fd);
      continue;
    }
    if (found.st_size == 0) {
      if (copy_from < 0 || copy_into(copy_from, fd)) return fd;
      fail(file, LogFileTrouble::kSystem, errno);
      if (ftruncate(fd, 0) != 0) fail(file, LogFileTrouble::kSystem, errno);
      close(fd);
      return -1;
    }
    const int fresh = keep_previous(file, copy_from);
    close(fd);
    return fresh;
  }
  fail(file, LogFileTrouble::kKeepsChanging);
  return -1;
}

bool create(void* context, const char* path) {
  LogFile* file = static_cast<LogFile*>(context);
  file->watched = true;
  file->kept = false;
  if (!resolve(path, file->path)) {
    fail(file, LogFileTrouble::kSystem, errno);
    std::snprintf(file->path, sizeof file->path, "%s", path);
    return false;
  }
  file->fd = take_name(file, -1);
  return file->fd >= 0;
}

long write_file(void* context, const char* bytes, size_t length) {
  LogFile* file = static_cast<LogFile*>(context);
  for (;;) {
    const ssize_t written = write(file->fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail(file, LogFileTrouble::kSystem, errno);
    if (written == 0) fail(file, LogFileTrouble::kNothingTaken);
    return long(written);
  }
}

bool cut(void* context, uint64_t length) {
  const LogFile* file = static_cast<LogFile*>(context);
  return file->watched && ftruncate(file->fd, off_t(length)) == 0 &&
         lseek(file->fd, off_t(length), SEEK_SET) == off_t(length);
}

bool in_place(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  struct stat open_file;
  if (!file->watched || fstat(file->fd, &open_file) != 0) return true;
  if (open_file.st_nlink == 0) return false;
  struct stat named;
  if (stat(file->path, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
  return named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

// The open file itself is read back through /proc, which reaches it also once it has no name.
bool replace(void* context, uint64_t* length) {
  LogFile* file = static_cast<LogFile*>(context);
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", file->fd);
  const int source = open(self, O_RDONLY | O_CLOEXEC);
  if (source < 0) {
    fail(file, LogFileTrouble::kSystem, errno);
    return false;
  }
  const int fd = take_name(file, source);
  close(source);
  if (fd < 0) return false;
  close(file->fd);
  file->fd = fd;
  struct stat made;
  *length = fstat(fd, &made) == 0 ? uint64_t(made.st_size) : 0;
  return true;
}

// The file as the operator is told of it: by its absolute path, so that the folder is plain.
const char* shown_path(LogFile* file) {
  if (file->path[0] != '/' && getcwd(file->shown, sizeof file->shown) != nullptr) {
    const size_t folder = std::strlen(file->shown);
    const size_t room = sizeof file->shown - folder;
    if (std::snprintf(file->shown + folder, room, "/%s", file->path) < int(room)) {
      return file->shown;
    }
  }
  return file->path;
}

LogFileFailure failure(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  return LogFileFailure{file->trouble, shown_path(file), std::strerror(file->error),
                        file->generation, file->holder};
}

uint64_t free_bytes(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  struct statvfs disk;
  if (!file->watched || fstatvfs(file->fd, &disk) != 0) return UINT64_MAX;
  return uint64_t(disk.f_bavail) * disk.f_frsize;
}

LogFilePlace place(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  const char* slash = std::strrchr(file->path, '/');
  std::snprintf(file->kept_name, sizeof file->kept_name, "%s.1",
                slash == nullptr ? file->path : slash + 1);
  return LogFilePlace{shown_path(file), file->kept ? file->kept_name : nullptr};
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  close(file->fd);
  file->fd = -1;
}

LogFileService service_of(LogFile* file) {
  return LogFileService{file,    create,  write_file, cut,        in_place,
                        replace, failure, place,      free_bytes, close_file};
}

}  // namespace

LogFileService system_log_file() {
  return service_of(&g_log_files[0]);
}

LogFileService system_times_file() {
  return service_of(&g_log_files[1]);
}
