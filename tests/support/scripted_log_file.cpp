#include "scripted_log_file.h"

#include "logger/log_file.h"

ScriptedLogFile scripted_log_file;

struct LogFile {};

namespace {
LogFile the_file;
}

LogFile* log_file_create(const char* path) {
  if (scripted_log_file.refuse_create) return nullptr;
  scripted_log_file.open = true;
  scripted_log_file.path = path;
  scripted_log_file.contents.clear();
  return &the_file;
}

long log_file_write(LogFile*, const char* bytes, size_t length) {
  scripted_log_file.write_sizes.push_back(length);
  long taken = long(length);
  if (!scripted_log_file.takes.empty()) {
    taken = scripted_log_file.takes.front() < taken ? scripted_log_file.takes.front() : taken;
    scripted_log_file.takes.pop_front();
  }
  if (taken > 0) scripted_log_file.contents.append(bytes, size_t(taken));
  return taken;
}

void log_file_close(LogFile*) {
  scripted_log_file.open = false;
}
