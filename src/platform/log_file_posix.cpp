// The files a run logs into, on Linux: the system calls of common/run_files. A name is walked
// with only the links that a sticky folder's rule trusts, its last step opened without following
// a link and then looked at for what it is. An ordinary file is written at its end and held with
// an open file's write lock on a byte far past any data (the byte Windows locks, so that
// comlog.exe under Wine and the Windows clients of a shared folder see it too), and watched for
// removal by its link count and by what its name leads to.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

#include "common/run_files.h"
#include "common/text.h"
#include "common/trusted_path.h"
#include "platform/log_file.h"

namespace {

// The byte whose lock keeps a second logger out: no data is ever there, so the lock stops no
// reader or writer. A comlog also locks the byte kLockByte + 1 + its process id, which tells the
// next one who holds the file.
constexpr off_t kLockByte = off_t(1) << 62;
constexpr off_t kMostProcessIds = off_t(1) << 22;

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

void refuse(Refusal* why, LogFileTrouble trouble, int error, const char* name) {
  why->trouble = trouble;
  why->error = error;
  append_text(why->name, sizeof why->name, 0, name);
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

int fd_of(const HeldFile* file) {
  return int(file->handle);
}

bool lock_byte(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_start = byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool lock_for_the_run(int fd) {
  return lock_byte(fd, kLockByte) && lock_byte(fd, kLockByte + 1 + getpid());
}

// Who holds the run's byte of the file: a comlog, told by the byte it locks beside it, or another
// program.
void refuse_as_held(int fd, Refusal* why, const char* path) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_start = kLockByte + 1;
  probe.l_len = kMostProcessIds;
  const bool a_comlog = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  refuse(why,
         a_comlog ? LogFileTrouble::kHeldByAnotherLogger : LogFileTrouble::kHeldByAnotherProgram, 0,
         path);
  why->holder = a_comlog ? long(probe.l_start - kLockByte - 1) : 0;
}

// The looks of the walk of a name: what stands at a path, and a link's folder and target.
bool look(void*, const char* path, NameLook* found) {
  struct stat named;
  found->exists = lstat(path, &named) == 0;
  found->is_link = found->exists && S_ISLNK(named.st_mode);
  found->owner = found->exists ? unsigned(named.st_uid) : 0;
  return found->exists || errno == ENOENT || errno == ENOTDIR;
}

bool look_at_folder(void*, const char* path, FolderLook* found) {
  struct stat folder;
  const bool seen = stat(path, &folder) == 0;
  found->others_may_write_sticky = seen && (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
  found->owner = unsigned(folder.st_uid);
  return seen;
}

bool read_link(void*, const char* path, char* out, size_t size) {
  const ssize_t length = readlink(path, out, size);
  if (length < 0 || size_t(length) >= size) return false;
  out[length] = '\0';
  return true;
}

bool resolve(const char* name, char* path, Refusal* why) {
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof folder) == nullptr) {
    refuse(why, LogFileTrouble::kSystem, errno, name);
    return false;
  }
  const PathLooks looks = {nullptr, unsigned(geteuid()), look, look_at_folder, read_link};
  PathFound found;
  const PathWalk walk = walk_trusted_path(folder, name, looks, &found);
  if (walk == PathWalk::kWalked) {
    append_text(path, kGenerationNameSize, 0, found.path);
    return true;
  }
  // By PathWalk: walked, dangling, planted, loop, too long, unseen.
  static const LogFileTrouble kTroubles[] = {
      LogFileTrouble::kSystem,   LogFileTrouble::kDanglingLink, LogFileTrouble::kPlantedLink,
      LogFileTrouble::kLinkLoop, LogFileTrouble::kSystem,       LogFileTrouble::kSystem};
  refuse(why, kTroubles[int(walk)], walk == PathWalk::kTooLong ? ENAMETOOLONG : errno,
         walk == PathWalk::kTooLong ? name : found.link);
  why->owner = found.owner;
  append_text(why->target, sizeof why->target, 0, found.path);
  return false;
}

Found take(const char* path, HeldFile* file, Refusal* why) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    struct stat named;
    const bool missing = lstat(path, &named) != 0;
    if (missing && errno != ENOENT) {
      refuse(why, LogFileTrouble::kSystem, errno, path);
      return Found::kRefused;
    }
    if (!missing && S_ISLNK(named.st_mode)) continue;  // put there since the walk: never followed
    if (!missing && (S_ISBLK(named.st_mode) || S_ISSOCK(named.st_mode))) {
      refuse(why, LogFileTrouble::kNotAFile, 0, path);
      return Found::kRefused;
    }
    // Kept read-only on purpose: refused even for root, who could write it regardless.
    if (!missing && S_ISREG(named.st_mode) && (named.st_mode & 0222) == 0) {
      refuse(why, LogFileTrouble::kReadOnly, 0, path);
      return Found::kRefused;
    }
    // A FIFO is opened without waiting for a reader: with none, the run is refused.
    const int fd = open(path, kOpenFlags | (missing ? O_CREAT | O_EXCL : O_NONBLOCK), 0666);
    if (fd < 0 && (errno == EEXIST || errno == ELOOP)) continue;
    if (fd < 0) {
      const bool fifo = !missing && S_ISFIFO(named.st_mode) && errno == ENXIO;
      const bool no_new = missing && (errno == EACCES || errno == EROFS || errno == ENOSPC);
      refuse(why,
             fifo     ? LogFileTrouble::kFifoWithoutReader
             : no_new ? LogFileTrouble::kNoNewFile
                      : LogFileTrouble::kSystem,
             errno, path);
      return Found::kRefused;
    }
    struct stat found;
    if (fstat(fd, &found) != 0 || (!missing && !same_file(found, named))) {
      close(fd);
      continue;
    }
    *file = HeldFile{fd, kNoHandle, S_ISREG(found.st_mode)};
    // A device, such as /dev/null or /dev/full, or a FIFO that a program reads: written as it is.
    if (!file->ordinary) return Found::kDevice;
    fcntl(fd, F_SETFL, O_APPEND);
    // Locked, and then still the file that has the name.
    const bool locked = lock_for_the_run(fd);
    if (!locked) refuse_as_held(fd, why, path);
    if (!locked || lstat(path, &named) != 0 || !same_file(named, found)) {
      close(fd);
      *file = HeldFile{kNoHandle, kNoHandle, false};
      if (!locked) return Found::kRefused;
      continue;
    }
    // What an interrupted start left at NAME.new, empty, is cleared.
    char left[kGenerationNameSize];
    run_file_name(path, kNewFile, left);
    if (lstat(left, &named) == 0 && S_ISREG(named.st_mode) && named.st_size == 0) unlink(left);
    return missing ? Found::kMade : found.st_size == 0 ? Found::kEmpty : Found::kEarlierRun;
  }
  refuse(why, LogFileTrouble::kKeepsChanging, 0, path);
  return Found::kRefused;
}

// The open file itself is read back through /proc, which reaches it also once it has no name.
bool copy_into(const HeldFile* from, int to) {
  char self[64];
  append_number(self, sizeof self, append_text(self, sizeof self, 0, "/proc/self/fd/"),
                fd_of(from));
  const int source = open(self, O_RDONLY | O_CLOEXEC);
  char block[64 * 1024];
  ssize_t got = source < 0 ? -1 : 1;
  while (got > 0 && (got = read(source, block, sizeof block)) > 0) {
    for (ssize_t done = 0, written = 0; done < got && got > 0; done += written) {
      written = write(to, block + done, size_t(got - done));
      if (written <= 0) got = -1;
    }
  }
  if (source >= 0) close(source);
  return got == 0;
}

bool make(const char* name, const HeldFile* copy, HeldFile* made, Refusal* why) {
  const int fd = open(name, kOpenFlags | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    refuse(why, errno == EEXIST ? LogFileTrouble::kLeftOver : LogFileTrouble::kNoNewFile, errno,
           name);
    return false;
  }
  lock_for_the_run(fd);
  if (copy != nullptr && !copy_into(copy, fd)) {
    refuse(why, LogFileTrouble::kSystem, errno, name);
    unlink(name);
    close(fd);
    return false;
  }
  *made = HeldFile{fd, kNoHandle, true};
  return true;
}

NameHolds holds(const char* name) {
  struct stat found;
  if (lstat(name, &found) != 0) return NameHolds::kNothing;
  return S_ISDIR(found.st_mode) ? NameHolds::kFolder : NameHolds::kFile;
}

// Never replaces what has the new name; on a filesystem without that kind of rename, a second
// name, then the first one removed.
bool move(HeldFile*, const char* from, const char* to, int* error) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if ((errno != EINVAL && errno != ENOSYS) || link(from, to) != 0) {
    *error = errno;
    return false;
  }
  unlink(from);
  return true;
}

void remove_file(const char* name, const HeldFile* file) {
  struct stat named;
  struct stat open_file;
  if (lstat(name, &named) == 0 && fstat(fd_of(file), &open_file) == 0 &&
      same_file(named, open_file)) {
    unlink(name);
  }
}

void close_file(HeldFile* file) {
  if (file->handle != kNoHandle) close(fd_of(file));
  *file = HeldFile{kNoHandle, kNoHandle, false};
}

long write_file(HeldFile* file, const char* path, const char* bytes, size_t length, Refusal* why) {
  ssize_t written;
  while ((written = write(fd_of(file), bytes, length)) < 0 && errno == EINTR) {
  }
  if (written <= 0) {
    refuse(why, written < 0 ? LogFileTrouble::kSystem : LogFileTrouble::kNothingTaken, errno, path);
  }
  return long(written);
}

bool take_back(HeldFile* file, uint64_t length) {
  struct stat open_file;
  return file->ordinary && fstat(fd_of(file), &open_file) == 0 &&
         uint64_t(open_file.st_size) >= length &&
         ftruncate(fd_of(file), open_file.st_size - off_t(length)) == 0;
}

uint64_t file_length(const HeldFile* file) {
  struct stat open_file;
  if (!file->ordinary || fstat(fd_of(file), &open_file) != 0) return UINT64_MAX;
  return uint64_t(open_file.st_size);
}

bool in_place(const HeldFile* file, const char* path) {
  struct stat open_file;
  struct stat named;
  if (!file->ordinary || fstat(fd_of(file), &open_file) != 0) return true;
  if (open_file.st_nlink == 0) return false;
  if (lstat(path, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
  return same_file(named, open_file);
}

uint64_t free_bytes(const HeldFile* file, const char*) {
  struct statvfs disk;
  if (!file->ordinary || fstatvfs(fd_of(file), &disk) != 0) return UINT64_MAX;
  return uint64_t(disk.f_bavail) * disk.f_frsize;
}

void words(int error, char* out, size_t size) {
  append_text(out, size, 0, std::strerror(error));
}

constexpr FileCalls kCalls = {resolve,     take,       make,       holds,     move,
                              remove_file, close_file, write_file, take_back, file_length,
                              in_place,    free_bytes, words};

}  // namespace

LogFileMaker system_log_files() {
  return log_file_maker(&kCalls);
}
