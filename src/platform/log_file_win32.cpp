// The files a run logs into, on Windows. Each is held with a lock on one byte far past any data
// (the byte that Linux locks too, so that comlog under Wine's Unix side and comlog.exe see each
// other), which keeps a second logger out and blocks no reader or writer. The lock is on a handle
// that shares everything, so that a second logger can open the file to find it locked and the
// run itself can move it; the run writes at the file's end through a second handle without
// delete sharing, so that nobody on Windows can remove or rename the file while the run logs into
// it. Where something else can (the Unix side under Wine), the run notices and puts it back. The
// earlier run is kept by common/generations over the looks and moves here.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/generations.h"
#include "platform/log_file.h"
#include "platform/system_words_win32.h"

namespace {

struct RunFiles;

struct LogFile {
  RunFiles* run;
  int index;
  HANDLE lock;      // holds the lock, shares everything; reads and shortens the file
  HANDLE handle;    // written through, at the end; opened at the first write after a move
  HANDLE new_lock;  // the new file at NAME.new until it takes the name
  bool disk;        // an ordinary file: locked, kept in generations, watched for removal
  bool made;        // take made it, to be removed again if the run is refused
  bool copy_into_new;
  bool kept;
  char path[MAX_PATH];  // the file itself, absolute
  char kept_name[MAX_PATH];
  // The last failure: its kind, the system's error code, the name it concerns.
  LogFileTrouble trouble;
  DWORD error;
  char failure_path[kGenerationNameSize];
  char words[256];
};

struct RunFiles {
  int count;
  int services;
  int last_failed;
  const char* const* names;
  LogFile files[kMostRunFiles];
};

void fail(LogFile* file, LogFileTrouble trouble, DWORD error, const char* name) {
  file->trouble = trouble;
  file->error = error;
  std::snprintf(file->failure_path, sizeof file->failure_path, "%s", name);
  file->run->last_failed = file->index;
}

void name_of(const LogFile* file, int generation, char* out) {
  if (generation == kNewFile) {
    new_file_name(file->path, out);
  } else if (generation == 0) {
    std::snprintf(out, kGenerationNameSize, "%s", file->path);
  } else {
    generation_name(file->path, generation, out);
  }
}

// The handle that holds the lock: it shares everything, so that the file can still be moved.
HANDLE open_to_lock(const char* path, DWORD disposition) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A lock on one byte at 2^62: no data is ever there, so it stops no reader or writer, only a
// second lock.
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

void close_handle(HANDLE* handle) {
  if (*handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
  *handle = INVALID_HANDLE_VALUE;
}

// What an interrupted start left at NAME.new, empty, is cleared.
void clear_left_over(const LogFile* file) {
  char name[kGenerationNameSize];
  new_file_name(file->path, name);
  WIN32_FILE_ATTRIBUTE_DATA left;
  if (GetFileAttributesExA(name, GetFileExInfoStandard, &left) &&
      !(left.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && left.nFileSizeHigh == 0 &&
      left.nFileSizeLow == 0) {
    DeleteFileA(name);
  }
}

Found take_name(LogFile* file) {
  const char* path = file->path;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      fail(file, LogFileTrouble::kReadOnly, 0, path);
      return Found::kRefused;
    }
    HANDLE lock = open_to_lock(path, OPEN_EXISTING);
    bool made = false;
    if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
      lock = open_to_lock(path, CREATE_NEW);
      // Made meanwhile, by another logger perhaps: looked at again.
      if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
      made = lock != INVALID_HANDLE_VALUE;
    }
    if (lock == INVALID_HANDLE_VALUE) {
      fail(file, LogFileTrouble::kSystem, GetLastError(), path);
      return Found::kRefused;
    }
    if (GetFileType(lock) != FILE_TYPE_DISK) {
      file->handle = lock;  // a device: written as it is
      return Found::kDevice;
    }
    if (!lock_for_the_run(lock)) {
      fail(file, LogFileTrouble::kHeldByAnotherLogger, 0, path);
      CloseHandle(lock);
      return Found::kRefused;
    }
    file->lock = lock;
    file->disk = true;
    file->made = made;
    clear_left_over(file);
    LARGE_INTEGER size = {};
    if (made) return Found::kMade;
    return GetFileSizeEx(lock, &size) && size.QuadPart == 0 ? Found::kEmpty : Found::kEarlierRun;
  }
  fail(file, LogFileTrouble::kKeepsChanging, 0, path);
  return Found::kRefused;
}

// The looks and moves of common/generations, over the run's files.
LogFile* file_of(void* context, int index) {
  return &static_cast<RunFiles*>(context)->files[index];
}

Found take(void* context, int index) {
  LogFile* file = file_of(context, index);
  const char* name = file->run->names[index];
  const DWORD length = GetFullPathNameA(name, sizeof file->path, file->path, nullptr);
  if (length == 0 || length >= sizeof file->path) {
    fail(file, LogFileTrouble::kSystem, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE,
         name);
    return Found::kRefused;
  }
  return take_name(file);
}

bool copy_into(HANDLE from, HANDLE to) {
  char block[64 * 1024];
  OVERLAPPED at = {};
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, block, sizeof block, &got, &at)) {
      return GetLastError() == ERROR_HANDLE_EOF;
    }
    if (got == 0) return true;
    DWORD written = 0;
    if (!WriteFile(to, block, got, &written, nullptr) || written != got) return false;
    ULARGE_INTEGER next;
    next.LowPart = at.Offset;
    next.HighPart = at.OffsetHigh;
    next.QuadPart += got;
    at.Offset = next.LowPart;
    at.OffsetHigh = next.HighPart;
  }
}

bool make_new(void* context, int index) {
  LogFile* file = file_of(context, index);
  char name[kGenerationNameSize];
  new_file_name(file->path, name);
  const HANDLE lock = open_to_lock(name, CREATE_NEW);
  if (lock == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    fail(file, error == ERROR_FILE_EXISTS ? LogFileTrouble::kLeftOver : LogFileTrouble::kNoNewFile,
         error, name);
    return false;
  }
  lock_for_the_run(lock);
  if (file->copy_into_new && !copy_into(file->lock, lock)) {
    fail(file, LogFileTrouble::kSystem, GetLastError(), name);
    CloseHandle(lock);
    DeleteFileA(name);
    return false;
  }
  file->new_lock = lock;
  return true;
}

NameHolds holds(void* context, int index, int generation) {
  char name[kGenerationNameSize];
  name_of(file_of(context, index), generation, name);
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return NameHolds::kNothing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NameHolds::kFolder : NameHolds::kFile;
}

// Without MOVEFILE_REPLACE_EXISTING a move never replaces a file, so a read-only one moves as any
// other.
bool move(void* context, int index, int from, int to) {
  LogFile* file = file_of(context, index);
  char source[kGenerationNameSize];
  char target[kGenerationNameSize];
  name_of(file, from, source);
  name_of(file, to, target);
  // The handle without delete sharing would keep the file from moving.
  if (from == 0) close_handle(&file->handle);
  if (MoveFileExA(source, target, 0)) return true;
  fail(file, LogFileTrouble::kSystem, GetLastError(), source);
  return false;
}

void finish_new(void* context, int index, bool adopted) {
  LogFile* file = file_of(context, index);
  if (adopted) {
    close_handle(&file->handle);
    close_handle(&file->lock);
    file->lock = file->new_lock;
  } else {
    char name[kGenerationNameSize];
    new_file_name(file->path, name);
    CloseHandle(file->new_lock);
    DeleteFileA(name);
  }
  file->new_lock = INVALID_HANDLE_VALUE;
}

void leave_out(void* context, int index) {
  LogFile* file = file_of(context, index);
  close_handle(&file->handle);
  close_handle(&file->lock);
  if (file->made) DeleteFileA(file->path);
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

// The handle written through: at the end of the file whatever else shortens it, shared for
// reading and writing but not for deleting. It is opened by name, so it must be the locked file:
// its attributes may be read, to tell.
bool open_to_write(LogFile* file) {
  if (file->handle != INVALID_HANDLE_VALUE) return true;
  const HANDLE handle = CreateFileA(
      file->path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    fail(file, LogFileTrouble::kSystem, GetLastError(), file->path);
    return false;
  }
  if (!same_file(handle, file->lock)) {
    fail(file, LogFileTrouble::kKeepsChanging, 0, file->path);
    CloseHandle(handle);
    return false;
  }
  file->handle = handle;
  return true;
}

// The operations of one file.
long write_file(void* context, const char* bytes, size_t length) {
  LogFile* file = static_cast<LogFile*>(context);
  if (file->disk && !open_to_write(file)) return -1;
  DWORD written = 0;
  const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
  // A partial write gives the count written; the caller offers the rest again.
  if (!WriteFile(file->handle, bytes, part, &written, nullptr) && written == 0) {
    fail(file, LogFileTrouble::kSystem, GetLastError(), file->path);
    return -1;
  }
  if (written == 0) fail(file, LogFileTrouble::kNothingTaken, 0, file->path);
  return long(written);
}

bool take_back(void* context, uint64_t length) {
  const LogFile* file = static_cast<LogFile*>(context);
  LARGE_INTEGER size;
  if (!file->disk || !GetFileSizeEx(file->lock, &size) || uint64_t(size.QuadPart) < length) {
    return false;
  }
  size.QuadPart -= LONGLONG(length);
  return SetFilePointerEx(file->lock, size, nullptr, FILE_BEGIN) && SetEndOfFile(file->lock);
}

uint64_t file_length(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  LARGE_INTEGER size;
  if (!file->disk || !GetFileSizeEx(file->lock, &size)) return UINT64_MAX;
  return uint64_t(size.QuadPart);
}

// Nobody on Windows can remove or rename the file while the run writes it; the Unix side under
// Wine can, which leaves it without a link.
bool in_place(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  BY_HANDLE_FILE_INFORMATION open_file;
  if (!file->disk || !GetFileInformationByHandle(file->lock, &open_file)) return true;
  if (open_file.nNumberOfLinks == 0) return false;
  const HANDLE named = CreateFileA(file->path, FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_FILE_NOT_FOUND;
  const bool same = same_file(named, file->lock);
  CloseHandle(named);
  return same;
}

bool put_back(void* context, uint64_t* length) {
  LogFile* file = static_cast<LogFile*>(context);
  file->copy_into_new = true;
  const bool back = put_back_run_file(system_of(file->run), file->run->count, file->index);
  file->copy_into_new = false;
  LARGE_INTEGER size = {};
  *length = back && GetFileSizeEx(file->lock, &size) ? uint64_t(size.QuadPart) : 0;
  return back;
}

uint64_t free_bytes(void* context) {
  const LogFile* file = static_cast<LogFile*>(context);
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof folder, "%s", file->path);
  char* slash = std::strrchr(folder, '\\');
  if (slash != nullptr) slash[1] = '\0';
  ULARGE_INTEGER available;
  if (!file->disk || !GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) {
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
  return LogFileFailure{file->trouble, file->failure_path, file->words, nullptr, 0, nullptr, 0};
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  close_handle(&file->handle);
  close_handle(&file->lock);
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
    file->lock = INVALID_HANDLE_VALUE;
    file->handle = INVALID_HANDLE_VALUE;
    file->new_lock = INVALID_HANDLE_VALUE;
    files[index] = service_of(file);
  }
  Found found[kMostRunFiles];
  const bool started = start_run_files(system_of(run), count, found);
  for (int index = 0; index < count; ++index) {
    made[index] = started && found[index] != Found::kRefused;
    run->files[index].kept = started && found[index] == Found::kEarlierRun;
    // Held open without delete sharing from now on, so that nobody moves it.
    if (made[index] && run->files[index].disk) open_to_write(&run->files[index]);
  }
  // A refusal that another file met (a folder among its earlier runs, say) is the first's too.
  LogFile* first = &run->files[0];
  if (!started && run->last_failed != 0) {
    const LogFile* failed = &run->files[run->last_failed];
    first->trouble = failed->trouble;
    first->error = failed->error;
    std::memcpy(first->failure_path, failed->failure_path, sizeof first->failure_path);
  }
  run->names = nullptr;
  return started;
}

}  // namespace

LogFileMaker system_log_files() {
  return LogFileMaker{nullptr, make};
}
