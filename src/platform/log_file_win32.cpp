// The file under the measurement log on Windows, CreateFileA and WriteFile: test.dat in the working
// directory, the previous one kept as test.dat.1.
#include <windows.h>

#include <cstdio>

#include "platform/log_file.h"

namespace {

struct LogFile {
  HANDLE handle;
};
LogFile g_log_file = {INVALID_HANDLE_VALUE};

// The measurement of an earlier run, an ordinary file with records, is kept as `path`.1 (an
// older one there is replaced) and a new empty file takes its place. The new file is made first
// and the two moves come after, so that a refusal changes nothing. Only should the second move
// fail after the first (all but impossible within one folder) is the previous file put back and
// an older `path`.1 lost; should the new file then refuse to open, the previous one is kept.
bool keep_previous(const char* path) {
  char kept[MAX_PATH];
  char fresh[MAX_PATH];
  if (std::snprintf(kept, sizeof kept, "%s.1", path) >= int(sizeof kept)) return false;
  if (GetTempFileNameA(".", "dat", 0, fresh) == 0) return false;
  if (!MoveFileExA(path, kept, MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(fresh);
    return false;
  }
  if (!MoveFileExA(fresh, path, 0)) {
    MoveFileExA(kept, path, 0);
    DeleteFileA(fresh);
    return false;
  }
  return true;
}

// An ordinary file with records in it. One kept read-only is refused, as an emptying would be.
bool holds_records(const char* path, bool* read_only) {
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &found)) return false;
  *read_only = (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (found.nFileSizeHigh != 0 || found.nFileSizeLow != 0);
}

bool create(void* context, const char* path) {
  bool read_only = false;
  if (holds_records(path, &read_only) && (read_only || !keep_previous(path))) return false;
  // Created or emptied; others may read and write it meanwhile, but not delete or rename it.
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  static_cast<LogFile*>(context)->handle = handle;
  return handle != INVALID_HANDLE_VALUE;
}

long write_file(void* context, const char* bytes, size_t length) {
  DWORD written = 0;
  const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
  // A partial write gives the count written; the caller retries the rest.
  if (!WriteFile(static_cast<LogFile*>(context)->handle, bytes, part, &written, nullptr) &&
      written == 0) {
    return -1;
  }
  return long(written);
}

void close_file(void* context) {
  LogFile* file = static_cast<LogFile*>(context);
  CloseHandle(file->handle);
  file->handle = INVALID_HANDLE_VALUE;
}

}  // namespace

LogFileService system_log_file() {
  return LogFileService{&g_log_file, create, write_file, close_file};
}
