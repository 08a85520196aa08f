// The file under the measurement log: created or emptied, written sequentially, never synced.
#pragma once

#include <cstddef>

struct LogFile;

// Creates or empties `path` for writing; null when that is not possible.
LogFile* log_file_create(const char* path);

// Writes what the system takes of `bytes`: the count written, or -1 on an error.
long log_file_write(LogFile* file, const char* bytes, size_t length);

void log_file_close(LogFile* file);
