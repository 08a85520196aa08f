// The file a run logs into, on Windows: made with the earlier ones kept (NAME.1 the newest) and
// held with a lock on one byte far past any data, which keeps a second logger out and blocks no
// reader or writer. The lock is on a handle that shares everything, so that a second logger can
// open the file to find it locked and the run itself can move it; the run writes through a
// second handle without delete sharing, so that nobody can remove or rename the file while the
// run logs into it.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/generations.h"
#include "platform/log_file.h"
#include "platform/system_words_win32.h"

namespace {


struct LogFile {
  HANDLE handle;        // written through
  HANDLE lock;          // holds the lock
  char path[MAX_PATH];  // the file itself, absolute
  // The last failure: its kind, the system's error code, and what goes with it.
  LogFileTrouble trouble;
  DWORD error;
  int generation;
  char words[256];
  bool kept;  // the earlier file under the name was kept as NAME.1
  char kept_name[MAX_PATH];
};
// test.dat's and test.csv's.
LogFile g_log_files[2] = {
    {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, "", LogFileTrouble::kSystem, 0, 0, "", false, ""},
    {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, "", LogFileTrouble::kSystem, 0, 0, "", false, ""}};

void fail(LogFile* file, LogFileTrouble trouble, DWORD error = 0) {
  file->trouble = trouble;
  file->error = error;
}

// The handle that holds the lock: it shares everything, so that the file can still be moved.
HANDLE open_to_lock(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The handle the run writes through: others may read and write the file meanwhile, but not
// delete or rename it.
HANDLE open_to_write(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A lock on one byte at 2^62: no data is ever there, so it stops no reader or writer, only a
// second lock.
bool lock_for_the_run(HANDLE handle) {
  OVERLAPPED far_away = {};
  far_away.OffsetHigh = 0x40000000;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &far_away) != 0;
}

NameHolds name_holds(void*, const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return NameHolds::kNothing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NameHolds::kFolder : NameHolds::kFile;
}

// Without MOVEFILE_REPLACE_EXISTING a move never replaces a file, so a read-only one moves as any
// other.
bool move_generation(void* context, const char* from, const char* to) {
  if (MoveFileExA(from, to, 0)) return true;
  fail(static_cast<LogFile*>(context), LogFileTrouble::kSystem, GetLastError());
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

// The earlier measurement becomes NAME.1 and a new file takes its place, locked before it has
// the name. The new file is made first, so that a refusal anywhere puts every name back as it
// was. Returns the new file's lock handle.
HANDLE keep_previous(LogFile* file) {
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof folder, "%s", file->path);
  char* slash = std::strrchr(folder, '\\');
  if (slash != nullptr) *slash = '\0';
  char made[MAX_PATH];
  if (GetTempFileNameA(folder, "dat", 0, made) == 0) {
    fail(file, LogFileTrouble::kNoNewFile, GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE lock = open_to_lock(made, OPEN_EXISTING);
  if (lock == INVALID_HANDLE_VALUE || !lock_for_the_run(lock)) {
    fail(file, LogFileTrouble::kSystem, GetLastError());
    if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
    DeleteFileA(made);
    return INVALID_HANDLE_VALUE;
  }
  char kept[kGenerationNameSize];
  generation_name(file->path, 1, kept);
  const int shifted = make_room_for_previous(file);
  if (shifted >= 0) {
    if (MoveFileExA(file->path, kept, 0)) {
      if (MoveFileExA(made, file->path, 0)) {
        file->kept = true;
        return lock;
      }
      fail(file, LogFileTrouble::kSystem, GetLastError());
      MoveFileExA(kept, file->path, 0);
    } else {
      fail(file, LogFileTrouble::kSystem, GetLastError());
    }
    unshift_generations(file->path, generation_moves(file), shifted);
  }
  CloseHandle(lock);
  DeleteFileA(made);
  return INVALID_HANDLE_VALUE;
}

// Makes the file's path the run's file, empty and locked, with what had the name kept as an
// earlier measurement when it holds anything. Returns the lock handle.
HANDLE take_name(LogFile* file) {
  const char* path = file->path;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      fail(file, LogFileTrouble::kReadOnly);
      return INVALID_HANDLE_VALUE;
    }
    HANDLE lock = open_to_lock(path, OPEN_EXISTING);
    if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
      lock = open_to_lock(path, CREATE_NEW);
      // Made meanwhile, by another logger perhaps: looked at again.
      if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
    } else if (lock != INVALID_HANDLE_VALUE && GetFileType(lock) != FILE_TYPE_DISK) {
      return lock;  // a device: written as it is
    }
    if (lock == INVALID_HANDLE_VALUE) {
      fail(file, LogFileTrouble::kSystem, GetLastError());
      return INVALID_HANDLE_VALUE;
    }
    if (!lock_for_the_run(lock)) {
      fail(file, LogFileTrouble::kHeldByAnotherLogger);
      CloseHandle(lock);
      return INVALID_HANDLE_VALUE;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(lock, &size) || size.QuadPart == 0) return lock;
    const HANDLE fresh = keep_previous(file);
    CloseHandle(lock);
    return fresh;
  }
  fail(file, LogFileTrouble::kKeepsChanging);
  return INVALID_HANDLE_VALUE;
}

bool create(void* context, const char* path) {
  LogFile* file = static_cast<LogFile*>(context);
  file->kept = false;
  const DWORD length = GetFullPathNameA(path, sizeof file->path, file->path, nullptr);
  if (length == 0 || length >= sizeof file->path) {
    fail(file, LogFileTrouble::kSystem, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    std::snprintf(file->path, sizeof file->path, "%s", path);
    return false;
  }
  file->lock = take_name(file);
  if (file->lock == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(file->lock) != FILE_TYPE_DISK) {
    file->handle = file->lock;
    file->lock = INVALID_HANDLE_VALUE;
    return true;
  }
  file->handle = open_to_write(file->path);
  if (file->handle != INVALID_HANDLE_VALUE) return true;
  fail(file, LogFileTrouble::kSystem, GetLastError());
  CloseHandle(file->lock);
  file->lock = INVALID_HANDLE_VALUE;
  return false;
}

long write_file(void* context, const char* bytes, size_t length) {
  LogFile* file = static_cast<LogFile*>(context);
  DWORD written = 0;
  const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
  // A partial write gives the count written; the caller offers the rest again.
  if (!WriteFile(file->handle, bytes, part, &written, nullptr) && written == 0) {
    fail(file, LogFileTrouble::kSystem, GetLastError());
    return -1;
  }
  if (written == 0) fail(file, LogFileTrouble::kNothingTaken);
  return long(written);
}

bool cut(void* context, uint64_t length) {
  const LogFile* file = static_cast<LogFile*>(context);
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(length);
  return GetFileType(file->handle) == FILE_TYPE_DISK &&
         SetFilePointerEx(file->handle, at, nullptr, FILE_BEGIN) && SetEndOfFile(file->handle);
}

// Without delete sharing nobody can remove or rename the open file.
bool in_place(void*) {
  return true;
}

bool replace(void*, uint64_t*) {
  return false;
}

uint64_t free_bytes(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof folder, "%s", file->path);
  char* slash = std::strrchr(folder, '\\');
  if (slash != nullptr) slash[1] = '\0';
  ULARGE_INTEGER available;
  if (file->lock == INVALID_HANDLE_VALUE ||
      !GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) {
    return UINT64_MAX;
  }
  return available.QuadPart;
}

LogFilePlace place(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  const char* slash = std::strrchr(file->path, '\\');
  std::snprintf(file->kept_name, sizeof file->kept_name, "%s.1",
                slash == nullptr ? file->path : slash + 1);
  return LogFilePlace{file->path, file->kept ? file->kept_name : nullptr};
}

LogFileFailure failure(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  system_words(file->error, file->words, sizeof file->words);
  return LogFileFailure{file->trouble, file->path, file->words, file->generation, 0};
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  CloseHandle(file->handle);
  file->handle = INVALID_HANDLE_VALUE;
  if (file->lock != INVALID_HANDLE_VALUE) CloseHandle(file->lock);
  file->lock = INVALID_HANDLE_VALUE;
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
