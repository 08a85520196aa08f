// The file under the measurement log on Windows: CreateFileA and WriteFile.
#include <windows.h>

#include "platform/log_file.h"

namespace {

struct LogFile {
  HANDLE handle;
};
LogFile g_log_file = {INVALID_HANDLE_VALUE};

bool create(void* context, const char* path) {
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
