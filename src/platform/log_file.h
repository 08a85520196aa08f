// The file under the measurement log: created or emptied, written sequentially, never synced.
// One file at a time; `context` is the platform's own.
#pragma once

#include <cstddef>

struct LogFileService {
  void* context;
  // Creates or empties `path` for writing; false when that is not possible, which leaves the
  // files as they were. An ordinary file with records in it (an earlier run's measurement) is
  // kept as `path`.1, replacing an older one, in the same step; a device, a link to one or an
  // empty file is opened as it is.
  bool (*create)(void* context, const char* path);
  // Writes what the system takes of `bytes`: the count written, or -1 on an error.
  long (*write)(void* context, const char* bytes, size_t length);
  void (*close)(void* context);
};

LogFileService system_log_file();
