// The files a run logs into, on Linux. A name is walked with only the links that a sticky folder's
// rule trusts, the last step opened without following a link and then looked at for what it is;
// an ordinary file is written at its end and held with an open file's write lock on a byte far
// past any data (the byte Windows locks, so that comlog.exe under Wine and the Windows clients of
// a shared folder see it too), and watched for removal by its link count and by what its name
// leads to. The earlier run is kept by common/generations over the looks and moves here.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/generations.h"
#include "common/trusted_path.h"
#include "platform/log_file.h"

namespace {

// The byte that a run locks: no data is ever there, so the lock stops no reader or writer.
constexpr off_t kLockByte = off_t(1) << 62;

struct RunFiles;

struct LogFile {
  RunFiles* run;
  int index;           // in the run, 0 the first
  int fd;              // the run's file, or -1
  int new_fd;          // the new file at NAME.new until it takes the name, or -1
  bool watched;        // an ordinary file: locked, kept in generations, watched for removal
  bool made;           // take made it, to be removed again if the run is refused
  bool copy_into_new;  // a put-back: the new file gets what the open one holds
  bool kept;           // the run before was kept as NAME.1
  char path[kGenerationNameSize];  // where the name leads: the file itself, absolute
  char kept_name[kGenerationNameSize];
  // The last failure: its kind, errno, the name it concerns, and what goes with it.
  LogFileTrouble trouble;
  int error;
  long holder;
  char program[32];  // the holder's name
  unsigned owner;
  char failure_path[kGenerationNameSize];
  char target[kTrustedPathSize];
};

struct RunFiles {
  int count;
  int services;  // not yet closed
  int last_failed;
  char folder[PATH_MAX];  // the working folder
  const char* const* names;
  LogFile files[kMostRunFiles];
};

void fail(LogFile* file, LogFileTrouble trouble, int error, const char* name) {
  file->trouble = trouble;
  file->error = error;
  std::snprintf(file->failure_path, sizeof file->failure_path, "%s", name);
  file->run->last_failed = file->index;
}

// NAME.`generation` of the file: 0 is its name, kNewFile NAME.new.
void name_of(const LogFile* file, int generation, char* out) {
  if (generation == kNewFile) {
    new_file_name(file->path, out);
  } else if (generation == 0) {
    std::snprintf(out, kGenerationNameSize, "%s", file->path);
  } else {
    generation_name(file->path, generation, out);
  }
}

bool same_file(const struct stat& one, const struct stat& other) {
  return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
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

bool lock_for_the_run(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockByte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether a line of /proc/locks, or a "lock:" line of a descriptor's fdinfo, is a write lock on
// the run's byte of `found`; `*process` is then its holder as listed (-1 for an open file's).
bool locks_the_byte(const char* line, const struct stat& found, long* process) {
  unsigned device_major = 0;
  unsigned device_minor = 0;
  unsigned long long inode = 0;
  unsigned long long start = 0;
  return std::sscanf(line, "%*s %*s %*s %*s %ld %x:%x:%llu %llu", process, &device_major,
                     &device_minor, &inode, &start) == 5 &&
         device_major == major(found.st_dev) && device_minor == minor(found.st_dev) &&
         inode == found.st_ino && start == (unsigned long long)(kLockByte);
}

// Whether process `pid` holds an open file's lock on the run's byte of `found`, by its fdinfo.
bool process_holds_the_byte(const char* pid, const struct stat& found) {
  char folder[64];
  std::snprintf(folder, sizeof folder, "/proc/%.32s/fdinfo", pid);
  DIR* descriptors = opendir(folder);
  if (descriptors == nullptr) return false;
  bool holds = false;
  for (const dirent* entry; !holds && (entry = readdir(descriptors)) != nullptr;) {
    char name[96];
    std::snprintf(name, sizeof name, "%s/%.16s", folder, entry->d_name);
    FILE* info = std::fopen(name, "re");
    if (info == nullptr) continue;
    char line[256];
    long listed = 0;
    while (!holds && std::fgets(line, sizeof line, info) != nullptr) {
      holds = std::strncmp(line, "lock:", 5) == 0 && locks_the_byte(line + 5, found, &listed);
    }
    std::fclose(info);
  }
  closedir(descriptors);
  return holds;
}

// The process that holds the run's lock on `found`, and its name (`program`, 32 bytes); 0 when
// that cannot be told. A process's lock (Wine's, for comlog.exe) lists its holder in /proc/locks;
// an open file's lock lists none, so the processes' descriptors are looked through.
long lock_holder(const struct stat& found, char* program) {
  long holder = 0;
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks != nullptr) {
    char line[256];
    long listed = 0;
    while (holder <= 0 && std::fgets(line, sizeof line, locks) != nullptr) {
      if (locks_the_byte(line, found, &listed)) holder = listed;
    }
    std::fclose(locks);
  }
  if (holder <= 0) holder = 0;
  DIR* processes = holder == 0 ? opendir("/proc") : nullptr;
  if (processes != nullptr) {
    for (const dirent* entry; holder == 0 && (entry = readdir(processes)) != nullptr;) {
      const bool a_process = entry->d_name[0] >= '1' && entry->d_name[0] <= '9';
      if (a_process && process_holds_the_byte(entry->d_name, found)) {
        holder = std::atol(entry->d_name);
      }
    }
    closedir(processes);
  }
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%ld/comm", holder);
  program[0] = '\0';
  FILE* comm = holder > 0 ? std::fopen(name, "re") : nullptr;
  if (comm != nullptr) {
    if (std::fgets(program, 32, comm) == nullptr) program[0] = '\0';
    std::fclose(comm);
  }
  program[std::strcspn(program, "\n")] = '\0';
  return holder;
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

// The looks of the walk of a name: what stands at a path, and a link's folder and target.
PathLooks path_looks() {
  PathLooks looks;
  looks.context = nullptr;
  looks.user = unsigned(geteuid());
  looks.look = [](void*, const char* path, NameLook* found) {
    struct stat named;
    found->exists = lstat(path, &named) == 0;
    if (!found->exists && errno != ENOENT && errno != ENOTDIR) return false;
    found->is_link = found->exists && S_ISLNK(named.st_mode);
    found->owner = found->exists ? unsigned(named.st_uid) : 0;
    return true;
  };
  looks.look_at_folder = [](void*, const char* path, FolderLook* found) {
    struct stat folder;
    if (stat(path, &folder) != 0) return false;
    found->others_may_write_sticky = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
    found->owner = unsigned(folder.st_uid);
    return true;
  };
  looks.read_link = [](void*, const char* path, char* out, size_t size) {
    const ssize_t length = readlink(path, out, size);
    if (length < 0 || size_t(length) >= size) return false;
    out[length] = '\0';
    return true;
  };
  return looks;
}

// Where the file's name leads, by the links a sticky folder's rule trusts, into file->path.
bool walk_name(LogFile* file) {
  const char* name = file->run->names[file->index];
  PathFound found;
  const PathWalk walk = walk_trusted_path(file->run->folder, name, path_looks(), &found);
  switch (walk) {
    case PathWalk::kWalked:
      std::snprintf(file->path, sizeof file->path, "%s", found.path);
      return true;
    case PathWalk::kPlanted:
      fail(file, LogFileTrouble::kPlantedLink, 0, found.link);
      file->owner = found.owner;
      return false;
    case PathWalk::kDangling:
      fail(file, LogFileTrouble::kDanglingLink, 0, found.link);
      std::snprintf(file->target, sizeof file->target, "%s", found.path);
      return false;
    case PathWalk::kLoop:
      fail(file, LogFileTrouble::kLinkLoop, 0, found.link);
      return false;
    case PathWalk::kTooLong:
      fail(file, LogFileTrouble::kSystem, ENAMETOOLONG, name);
      return false;
    case PathWalk::kUnseen:
      fail(file, LogFileTrouble::kSystem, errno, found.link);
      return false;
  }
  return false;
}

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// A file made where nothing stood, locked before anyone else can hold it. False when that is not
// possible; `*taken` says when something took the name meanwhile, to be looked at again.
bool make_at_the_name(LogFile* file, bool* taken) {
  const int fd = open(file->path, kOpenFlags | O_CREAT | O_EXCL, 0666);
  *taken = fd < 0 && errno == EEXIST;
  if (fd < 0) {
    if (!*taken) {
      fail(file,
           errno == EACCES || errno == EROFS || errno == ENOSPC ? LogFileTrouble::kNoNewFile
                                                                : LogFileTrouble::kSystem,
           errno, file->path);
    }
    return false;
  }
  if (!lock_for_the_run(fd)) {
    // Made and then locked by another logger in between: this one is the second.
    fail(file, LogFileTrouble::kHeldByAnotherLogger, 0, file->path);
    close(fd);
    return false;
  }
  file->fd = fd;
  file->made = true;
  return true;
}

// What an interrupted start left at NAME.new, empty, is cleared; anything else stays, and is
// said when a new file is needed.
void clear_left_over(const LogFile* file) {
  char name[kGenerationNameSize];
  new_file_name(file->path, name);
  struct stat left;
  if (lstat(name, &left) == 0 && S_ISREG(left.st_mode) && left.st_size == 0) unlink(name);
}

Found take_name(LogFile* file) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (!walk_name(file)) return Found::kRefused;
    const char* path = file->path;
    struct stat named;
    if (lstat(path, &named) != 0) {
      if (errno != ENOENT) {
        fail(file, LogFileTrouble::kSystem, errno, path);
        return Found::kRefused;
      }
      file->watched = true;
      bool taken = false;
      if (make_at_the_name(file, &taken)) return Found::kMade;
      if (taken) continue;
      return Found::kRefused;
    }
    if (S_ISLNK(named.st_mode)) continue;  // put there since the walk
    if (S_ISBLK(named.st_mode) || S_ISSOCK(named.st_mode)) {
      fail(file, LogFileTrouble::kNotAFile, 0, path);
      return Found::kRefused;
    }
    // Kept read-only on purpose: refused even for root, who could write it regardless.
    if (S_ISREG(named.st_mode) && (named.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      fail(file, LogFileTrouble::kReadOnly, 0, path);
      return Found::kRefused;
    }
    // A FIFO is opened without waiting for a reader: with none, the run is refused.
    const int fd = open(path, kOpenFlags | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ELOOP) continue;
      fail(file,
           errno == ENXIO && S_ISFIFO(named.st_mode) ? LogFileTrouble::kFifoWithoutReader
                                                     : LogFileTrouble::kSystem,
           errno, path);
      return Found::kRefused;
    }
    struct stat found;
    if (fstat(fd, &found) != 0 || !same_file(found, named)) {
      close(fd);
      continue;
    }
    file->fd = fd;
    if (!S_ISREG(found.st_mode)) {
      // A device, such as /dev/null or /dev/full, or a FIFO that a program reads: written as it
      // is, without waiting.
      file->watched = false;
      return Found::kDevice;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    file->watched = true;
    if (!lock_for_the_run(fd)) {
      file->holder = lock_holder(found, file->program);
      fail(file,
           std::strcmp(file->program, "comlog") == 0 ? LogFileTrouble::kHeldByAnotherLogger
                                                     : LogFileTrouble::kHeldByAnotherProgram,
           0, path);
      file->fd = -1;
      close(fd);
      return Found::kRefused;
    }
    // The name may have been given to another file between the open and the lock.
    if (lstat(path, &named) != 0 || !same_file(named, found)) {
      file->fd = -1;
      close(fd);
      continue;
    }
    clear_left_over(file);
    return found.st_size == 0 ? Found::kEmpty : Found::kEarlierRun;
  }
  fail(file, LogFileTrouble::kKeepsChanging, 0, file->path);
  return Found::kRefused;
}

// The looks and moves of common/generations, over the run's files.
LogFile* file_of(void* context, int index) {
  return &static_cast<RunFiles*>(context)->files[index];
}

Found take(void* context, int index) {
  return take_name(file_of(context, index));
}

bool make_new(void* context, int index) {
  LogFile* file = file_of(context, index);
  char name[kGenerationNameSize];
  new_file_name(file->path, name);
  const int fd = open(name, kOpenFlags | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    fail(file, errno == EEXIST ? LogFileTrouble::kLeftOver : LogFileTrouble::kNoNewFile, errno,
         name);
    return false;
  }
  lock_for_the_run(fd);
  if (file->copy_into_new) {
    // The open file itself is read back through /proc, which reaches it also once it has no
    // name.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file->fd);
    const int source = open(self, O_RDONLY | O_CLOEXEC);
    if (source < 0 || !copy_into(source, fd)) {
      fail(file, LogFileTrouble::kSystem, errno, name);
      if (source >= 0) close(source);
      unlink(name);
      close(fd);
      return false;
    }
    close(source);
  }
  file->new_fd = fd;
  return true;
}

NameHolds holds(void* context, int index, int generation) {
  char name[kGenerationNameSize];
  name_of(file_of(context, index), generation, name);
  struct stat found;
  if (lstat(name, &found) != 0) return NameHolds::kNothing;
  return S_ISDIR(found.st_mode) ? NameHolds::kFolder : NameHolds::kFile;
}

bool move(void* context, int index, int from, int to) {
  LogFile* file = file_of(context, index);
  char source[kGenerationNameSize];
  char target[kGenerationNameSize];
  name_of(file, from, source);
  name_of(file, to, target);
  if (move_to_free_name(source, target)) return true;
  fail(file, LogFileTrouble::kSystem, errno, source);
  return false;
}

// Removes `name` only while it is still the file open as `fd`.
void remove_if_ours(const char* name, int fd) {
  struct stat named;
  struct stat open_file;
  if (lstat(name, &named) == 0 && fstat(fd, &open_file) == 0 && same_file(named, open_file)) {
    unlink(name);
  }
}

void finish_new(void* context, int index, bool adopted) {
  LogFile* file = file_of(context, index);
  if (adopted) {
    close(file->fd);
    file->fd = file->new_fd;
  } else {
    char name[kGenerationNameSize];
    new_file_name(file->path, name);
    remove_if_ours(name, file->new_fd);
    close(file->new_fd);
  }
  file->new_fd = -1;
}

void leave_out(void* context, int index) {
  LogFile* file = file_of(context, index);
  if (file->fd < 0) return;
  if (file->made) remove_if_ours(file->path, file->fd);
  close(file->fd);
  file->fd = -1;
}

void folder_in_the_way(void* context, int index, int generation) {
  LogFile* file = file_of(context, index);
  char name[kGenerationNameSize];
  name_of(file, generation, name);
  fail(file, LogFileTrouble::kFolderInTheWay, 0, name);
}

RunFileSystem system_of(RunFiles* run) {
  return RunFileSystem{run, take, make_new, holds, move, finish_new, leave_out, folder_in_the_way};
}

// The operations of one file.
long write_file(void* context, const char* bytes, size_t length) {
  LogFile* file = static_cast<LogFile*>(context);
  for (;;) {
    const ssize_t written = write(file->fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail(file, LogFileTrouble::kSystem, errno, file->path);
    if (written == 0) fail(file, LogFileTrouble::kNothingTaken, 0, file->path);
    return long(written);
  }
}

bool take_back(void* context, uint64_t length) {
  const LogFile* file = static_cast<LogFile*>(context);
  struct stat open_file;
  return file->watched && fstat(file->fd, &open_file) == 0 &&
         uint64_t(open_file.st_size) >= length &&
         ftruncate(file->fd, open_file.st_size - off_t(length)) == 0;
}

uint64_t file_length(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  struct stat open_file;
  if (!file->watched || fstat(file->fd, &open_file) != 0) return UINT64_MAX;
  return uint64_t(open_file.st_size);
}

bool in_place(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  struct stat open_file;
  if (!file->watched || fstat(file->fd, &open_file) != 0) return true;
  if (open_file.st_nlink == 0) return false;
  struct stat named;
  if (lstat(file->path, &named) != 0) return errno != ENOENT && errno != ENOTDIR;
  return same_file(named, open_file);
}

bool put_back(void* context, uint64_t* length) {
  LogFile* file = static_cast<LogFile*>(context);
  file->copy_into_new = true;
  const bool back = put_back_run_file(system_of(file->run), file->run->count, file->index);
  file->copy_into_new = false;
  struct stat made;
  *length = back && fstat(file->fd, &made) == 0 ? uint64_t(made.st_size) : 0;
  return back;
}

LogFileFailure failure(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  return LogFileFailure{
      file->trouble, file->failure_path, std::strerror(file->error),
      file->target,  file->holder,       file->program[0] != '\0' ? file->program : nullptr,
      file->owner};
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
  generation_name(slash == nullptr ? file->path : slash + 1, 1, file->kept_name);
  return LogFilePlace{file->path, file->kept ? file->kept_name : nullptr};
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  if (file->fd >= 0) close(file->fd);
  file->fd = -1;
  RunFiles* run = file->run;
  if (--run->services == 0) std::free(run);
}

LogFileService service_of(LogFile* file) {
  return LogFileService{file,     write_file, take_back, file_length, in_place,
                        put_back, failure,    place,     free_bytes,  close_file};
}

bool make(void*, const char* const* names, int count, LogFileService* files, bool* made) {
  RunFiles* run = static_cast<RunFiles*>(std::calloc(1, sizeof(RunFiles)));
  if (run == nullptr) {
    for (int index = 0; index < count; ++index) files[index] = LogFileService{};
    return false;
  }
  run->count = count;
  run->services = count;
  run->names = names;
  for (int index = 0; index < count; ++index) {
    LogFile* file = &run->files[index];
    file->run = run;
    file->index = index;
    file->fd = -1;
    file->new_fd = -1;
    files[index] = service_of(file);
  }
  LogFile* first = &run->files[0];
  if (getcwd(run->folder, sizeof run->folder) == nullptr) {
    fail(first, LogFileTrouble::kSystem, errno, names[0]);
    return false;
  }
  Found found[kMostRunFiles];
  const bool started = start_run_files(system_of(run), count, found);
  for (int index = 0; index < count; ++index) {
    made[index] = started && found[index] != Found::kRefused;
    run->files[index].kept = started && found[index] == Found::kEarlierRun;
  }
  // A refusal that another file met (a folder among its earlier runs, say) is the first's too.
  if (!started && run->last_failed != 0) {
    const LogFile* failed = &run->files[run->last_failed];
    first->trouble = failed->trouble;
    first->error = failed->error;
    first->holder = failed->holder;
    first->owner = failed->owner;
    std::memcpy(first->program, failed->program, sizeof first->program);
    std::memcpy(first->failure_path, failed->failure_path, sizeof first->failure_path);
    std::memcpy(first->target, failed->target, sizeof first->target);
  }
  run->names = nullptr;
  return started;
}

}  // namespace

LogFileMaker system_log_files() {
  return LogFileMaker{nullptr, make};
}
