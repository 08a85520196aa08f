// The files a run logs into, on Windows: the system calls of common/run_files. Each file is held
// with a lock on one byte far past any data (the byte Linux locks too, so that comlog on the Unix
// side of Wine and comlog.exe see each other), which keeps a second logger out and blocks no
// reader or writer. The lock is on a handle that shares everything, so that a second logger can
// open the file to find it locked and the run itself can move it; the run writes at the file's
// end through a second handle without delete sharing, so that nobody on Windows can remove or
// rename the file while the run logs into it. Where something else can (the Unix side under
// Wine), the run notices by the file's link count and index, and puts it back.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "common/run_files.h"
#include "platform/log_file.h"
#include "platform/system_words_win32.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

void refuse(Refusal* why, LogFileTrouble trouble, DWORD error, const char* name) {
  why->trouble = trouble;
  why->error = int(error);
  std::snprintf(why->name, sizeof why->name, "%s", name);
}

HANDLE handle_of(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// The handle that holds the lock, reads and shortens the file: it shares everything.
HANDLE open_to_lock(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A lock on one byte at 2^62: no data is ever there, so it stops no reader or writer.
bool lock_for_the_run(HANDLE handle) {
  OVERLAPPED far_away = {};
  far_away.OffsetHigh = 0x40000000;
  return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &far_away) != 0;
}

// Whether two handles are of one file. Wine gives a handle of a file moved since its open no
// volume serial number (0): then the file's index alone tells.
bool same_file(HANDLE one, HANDLE other) {
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  if (!GetFileInformationByHandle(one, &a) || !GetFileInformationByHandle(other, &b)) return false;
  const bool same_volume = a.dwVolumeSerialNumber == b.dwVolumeSerialNumber ||
                           a.dwVolumeSerialNumber == 0 || b.dwVolumeSerialNumber == 0;
  return same_volume && a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool resolve(const char* name, char* path, Refusal* why) {
  const DWORD length = GetFullPathNameA(name, MAX_PATH, path, nullptr);
  if (length > 0 && length < MAX_PATH) return true;
  refuse(why, LogFileTrouble::kSystem, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
         name);
  return false;
}

Found take(const char* path, HeldFile* file, Refusal* why) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      refuse(why, LogFileTrouble::kReadOnly, 0, path);
      return Found::kRefused;
    }
    const bool missing = attributes == INVALID_FILE_ATTRIBUTES;
    const HANDLE lock = open_to_lock(path, missing ? CREATE_NEW : OPEN_EXISTING);
    // Made or removed meanwhile, by another logger perhaps: looked at again.
    const DWORD error = GetLastError();
    if (lock == INVALID_HANDLE_VALUE &&
        (error == ERROR_FILE_EXISTS || error == ERROR_FILE_NOT_FOUND)) {
      continue;
    }
    if (lock == INVALID_HANDLE_VALUE) {
      refuse(why, LogFileTrouble::kSystem, error, path);
      return Found::kRefused;
    }
    *file = HeldFile{intptr_t(lock), kNoHandle, GetFileType(lock) == FILE_TYPE_DISK};
    if (!file->ordinary) return Found::kDevice;  // a device: written as it is
    if (!lock_for_the_run(lock)) {
      refuse(why, LogFileTrouble::kHeldByAnotherLogger, 0, path);
      CloseHandle(lock);
      *file = HeldFile{kNoHandle, kNoHandle, false};
      return Found::kRefused;
    }
    // What an interrupted start left at NAME.new, empty, is cleared.
    char left[kGenerationNameSize];
    run_file_name(path, kNewFile, left);
    WIN32_FILE_ATTRIBUTE_DATA found;
    if (GetFileAttributesExA(left, GetFileExInfoStandard, &found) &&
        !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        (found.nFileSizeHigh | found.nFileSizeLow) == 0) {
      DeleteFileA(left);
    }
    LARGE_INTEGER size = {};
    if (missing) return Found::kMade;
    return GetFileSizeEx(lock, &size) && size.QuadPart == 0 ? Found::kEmpty : Found::kEarlierRun;
  }
  refuse(why, LogFileTrouble::kKeepsChanging, 0, path);
  return Found::kRefused;
}

// A copy from the start of `from`, whatever its handle's place.
bool copy_into(HANDLE from, HANDLE to) {
  char block[64 * 1024];
  OVERLAPPED at = {};
  for (DWORD got = 1, written = 0; got > 0;) {
    if (!ReadFile(from, block, sizeof block, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF;
    if (got > 0 && (!WriteFile(to, block, got, &written, nullptr) || written != got)) return false;
    ULARGE_INTEGER next = {{at.Offset, at.OffsetHigh}};
    next.QuadPart += got;
    at.Offset = next.LowPart;
    at.OffsetHigh = next.HighPart;
  }
  return true;
}

bool make(const char* name, const HeldFile* copy, HeldFile* made, Refusal* why) {
  const HANDLE lock = open_to_lock(name, CREATE_NEW);
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    refuse(why, error == ERROR_FILE_EXISTS ? LogFileTrouble::kLeftOver : LogFileTrouble::kNoNewFile,
           error, name);
    return false;
  }
  lock_for_the_run(lock);
  if (copy != nullptr && !copy_into(handle_of(copy->handle), lock)) {
    refuse(why, LogFileTrouble::kSystem, GetLastError(), name);
    CloseHandle(lock);
    DeleteFileA(name);
    return false;
  }
  *made = HeldFile{intptr_t(lock), kNoHandle, true};
  return true;
}

NameHolds holds(const char* name) {
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return NameHolds::kNothing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NameHolds::kFolder : NameHolds::kFile;
}

void close_writer(HeldFile* file) {
  if (file->writer != kNoHandle) CloseHandle(handle_of(file->writer));
  file->writer = kNoHandle;
}

// Without MOVEFILE_REPLACE_EXISTING a move never replaces a file, so a read-only one moves as any
// other. The run's own handle without delete sharing would keep its file from moving.
bool move(HeldFile* file, const char* from, const char* to, int* error) {
  if (file != nullptr) close_writer(file);
  if (MoveFileExA(from, to, 0)) return true;
  *error = int(GetLastError());
  return false;
}

void remove_file(const char* name, const HeldFile* file) {
  const HANDLE named = CreateFileA(name, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool ours = named != INVALID_HANDLE_VALUE && same_file(named, handle_of(file->handle));
  if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
  if (ours) DeleteFileA(name);
}

void close_file(HeldFile* file) {
  close_writer(file);
  if (file->handle != kNoHandle) CloseHandle(handle_of(file->handle));
  *file = HeldFile{kNoHandle, kNoHandle, false};
}

// Written at the end through a handle opened by name, which must be the locked file, at the first
// write after a move: shared for reading and writing but not for deleting.
long write_file(HeldFile* file, const char* path, const char* bytes, size_t length, Refusal* why) {
  HANDLE writer = file->ordinary ? handle_of(file->writer) : handle_of(file->handle);
  if (file->ordinary && file->writer == kNoHandle) {
    writer = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool same = writer != INVALID_HANDLE_VALUE && same_file(writer, handle_of(file->handle));
    if (!same) {
      refuse(
          why,
          writer == INVALID_HANDLE_VALUE ? LogFileTrouble::kSystem : LogFileTrouble::kKeepsChanging,
          GetLastError(), path);
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
      return -1;
    }
    file->writer = intptr_t(writer);
  }
  DWORD written = 0;
  // A partial write gives the count written; the caller offers the rest again.
  if (!WriteFile(writer, bytes, length > 0x10000 ? 0x10000 : DWORD(length), &written, nullptr) &&
      written == 0) {
    refuse(why, LogFileTrouble::kSystem, GetLastError(), path);
    return -1;
  }
  if (written == 0) refuse(why, LogFileTrouble::kNothingTaken, 0, path);
  return long(written);
}

bool take_back(HeldFile* file, uint64_t length) {
  const HANDLE lock = handle_of(file->handle);
  LARGE_INTEGER size;
  if (!file->ordinary || !GetFileSizeEx(lock, &size) || uint64_t(size.QuadPart) < length) {
    return false;
  }
  size.QuadPart -= LONGLONG(length);
  return SetFilePointerEx(lock, size, nullptr, FILE_BEGIN) && SetEndOfFile(lock);
}

uint64_t file_length(const HeldFile* file) {
  LARGE_INTEGER size;
  if (!file->ordinary || !GetFileSizeEx(handle_of(file->handle), &size)) return UINT64_MAX;
  return uint64_t(size.QuadPart);
}

bool in_place(const HeldFile* file, const char* path) {
  BY_HANDLE_FILE_INFORMATION open_file;
  if (!file->ordinary || !GetFileInformationByHandle(handle_of(file->handle), &open_file)) {
    return true;
  }
  if (open_file.nNumberOfLinks == 0) return false;
  const HANDLE named = CreateFileA(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_FILE_NOT_FOUND;
  const bool same = same_file(named, handle_of(file->handle));
  CloseHandle(named);
  return same;
}

uint64_t free_bytes(const HeldFile* file, const char* path) {
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof folder, "%s", path);
  char* slash = std::strrchr(folder, '\\');
  if (slash != nullptr) slash[1] = '\0';
  ULARGE_INTEGER available;
  if (!file->ordinary || !GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) {
    return UINT64_MAX;
  }
  return available.QuadPart;
}

void words(int error, char* out, size_t size) {
  system_words(DWORD(error), out, size);
}

constexpr FileCalls kCalls = {resolve,     take,       make,       holds,     move,
                              remove_file, close_file, write_file, take_back, file_length,
                              in_place,    free_bytes, words};

}  // namespace

LogFileMaker system_log_files() {
  return log_file_maker(&kCalls);
}
