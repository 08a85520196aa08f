#include "scripted_log_file.h"

namespace {

bool scripted_create(void* context, const char* path) {
  auto* file = static_cast<ScriptedLogFile*>(context);
  if (file->refuse_create) return false;
  file->open = true;
  file->path = path;
  file->contents.clear();
  return true;
}

long scripted_write(void* context, const char* bytes, size_t length) {
  auto* file = static_cast<ScriptedLogFile*>(context);
  file->write_sizes.push_back(length);
  long taken = long(length);
  if (!file->takes.empty()) {
    taken = file->takes.front() < taken ? file->takes.front() : taken;
    file->takes.pop_front();
  }
  if (taken > 0) file->contents.append(bytes, size_t(taken));
  return taken;
}

void scripted_close(void* context) {
  static_cast<ScriptedLogFile*>(context)->open = false;
}

}  // namespace

LogFileService log_file_of(ScriptedLogFile* file) {
  return LogFileService{file, scripted_create, scripted_write, scripted_close};
}
