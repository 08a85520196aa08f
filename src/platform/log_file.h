// The file under the measurement log: created or emptied, written sequentially, never synced.
// One file at a time; `context` is the platform's own.
#pragma once

#include <cstddef>

struct LogFileService {
  void* context;
  // Creates or empties `path` for writing; false when that is not possible.
  bool (*create)(void* context, const char* path);
  // Writes what the system takes of `bytes`: the count written, or -1 on an error.
  long (*write)(void* context, const char* bytes, size_t length);
  void (*close)(void* context);
};

LogFileService system_log_file();
