#include "scripted_log_file.h"

namespace {

ScriptedLogFile* scripted(void* context) {
  return static_cast<ScriptedLogFile*>(context);
}

bool scripted_create(void* context, const char* path) {
  ScriptedLogFile* file = scripted(context);
  if (file->refuse_create) return false;
  file->open = true;
  file->path = path;
  file->contents.clear();
  return true;
}

long scripted_write(void* context, const char* bytes, size_t length) {
  ScriptedLogFile* file = scripted(context);
  file->write_sizes.push_back(length);
  long taken = long(length);
  if (!file->takes.empty()) {
    taken = file->takes.front() < taken ? file->takes.front() : taken;
    file->takes.pop_front();
  }
  if (file->room >= 0 && taken > 0) {
    taken = file->room == 0 ? -1 : file->room < taken ? file->room : taken;
    if (taken > 0) file->room -= taken;
  }
  if (taken > 0) file->contents.append(bytes, size_t(taken));
  return taken;
}

bool scripted_cut(void* context, uint64_t length) {
  ScriptedLogFile* file = scripted(context);
  if (!file->can_cut) return false;
  file->cuts.push_back(length);
  if (file->room >= 0) file->room += long(file->contents.size() - length);
  file->contents.resize(length);
  return true;
}

bool scripted_in_place(void* context) {
  ScriptedLogFile* file = scripted(context);
  if (file->in_place.empty()) return true;
  const bool in_place = file->in_place.front();
  file->in_place.pop_front();
  return in_place;
}

bool scripted_replace(void* context, uint64_t* length) {
  ScriptedLogFile* file = scripted(context);
  if (file->refuse_replace) return false;
  ++file->replacements;
  *length = file->contents.size();
  return true;
}

LogFileFailure scripted_failure(void* context) {
  return scripted(context)->failure;
}

LogFilePlace scripted_place(void* context) {
  return LogFilePlace{"/lab/test.dat", scripted(context)->kept_previous ? "test.dat.1" : nullptr};
}

uint64_t scripted_free_bytes(void* context) {
  const long room = scripted(context)->room;
  return room < 0 ? UINT64_MAX : uint64_t(room);
}

void scripted_close(void* context) {
  scripted(context)->open = false;
}

}  // namespace

LogFileService log_file_of(ScriptedLogFile* file) {
  return LogFileService{file,
                        scripted_create,
                        scripted_write,
                        scripted_cut,
                        scripted_in_place,
                        scripted_replace,
                        scripted_failure,
                        scripted_place,
                        scripted_free_bytes,
                        scripted_close};
}
