// The file under the measurement log on Windows: CreateFileA and WriteFile. The line
// ends are expanded and partial writes retried by the shared measurement log.
#include <windows.h>

#include "logger/log_file.h"

struct LogFile {
  HANDLE handle;
};

LogFile* log_file_create(const char* path) {
  // Created or emptied; others may read and write it meanwhile, but not delete or rename it.
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return new LogFile{handle};
}

long log_file_write(LogFile* file, const char* bytes, size_t length) {
  DWORD written = 0;
  const DWORD part = length > 0x10000 ? 0x10000 : DWORD(length);
  // A partial write gives the count written; the caller retries the rest.
  if (!WriteFile(file->handle, bytes, part, &written, nullptr) && written == 0) return -1;
  return long(written);
}

void log_file_close(LogFile* file) {
  CloseHandle(file->handle);
  delete file;
}
