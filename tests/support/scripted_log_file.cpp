#include "scripted_log_file.h"

namespace {

ScriptedLogFile* scripted(void* context) {
  return static_cast<ScriptedLogFile*>(context);
}

void note(ScriptedLogFile* file, const char* what) {
  if (file->events != nullptr) file->events->push_back(std::string(what) + file->noted_as);
}

long scripted_write(void* context, const char* bytes, size_t length) {
  ScriptedLogFile* file = scripted(context);
  note(file, "write ");
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

bool scripted_take_back(void* context, uint64_t length) {
  ScriptedLogFile* file = scripted(context);
  if (file->device || length > file->contents.size()) return false;
  file->contents.resize(file->contents.size() - length);
  file->cuts.push_back(file->contents.size());
  if (file->room >= 0) file->room += long(length);
  return true;
}

uint64_t scripted_length(void* context) {
  ScriptedLogFile* file = scripted(context);
  return file->device ? UINT64_MAX : file->contents.size();
}

bool scripted_in_place(void* context) {
  ScriptedLogFile* file = scripted(context);
  if (file->in_place.empty()) return true;
  const bool in_place = file->in_place.front();
  file->in_place.pop_front();
  return in_place;
}

bool scripted_put_back(void* context, uint64_t* length) {
  ScriptedLogFile* file = scripted(context);
  if (file->refuse_put_back) return false;
  ++file->put_backs;
  *length = file->contents.size();
  return true;
}

LogFileFailure scripted_failure(void* context) {
  return scripted(context)->failure;
}

LogFilePlace scripted_place(void* context) {
  ScriptedLogFile* file = scripted(context);
  return LogFilePlace{"/lab/test.dat", file->kept_previous ? "test.dat.1" : nullptr};
}

uint64_t scripted_free_bytes(void* context) {
  const long room = scripted(context)->room;
  return room < 0 ? UINT64_MAX : uint64_t(room);
}

void scripted_close(void* context) {
  ScriptedLogFile* file = scripted(context);
  if (file->open) note(file, "close ");
  file->open = false;
}

bool scripted_make(void* context, const char* const* names, int count, LogFileService* files,
                   bool* made) {
  ScriptedRun* run = static_cast<ScriptedRun*>(context);
  for (int index = 0; index < count; ++index) {
    ScriptedLogFile* file = &run->files[index];
    files[index] = log_file_of(file);
    file->name = names[index];
    // Nothing is made once the first cannot be.
    made[index] = !file->refuse_make && (index == 0 || made[0]);
    file->open = made[index];
    file->contents.clear();
    if (file->events != nullptr) file->events->push_back(std::string("create ") + names[index]);
  }
  return made[0];
}

}  // namespace

LogFileService log_file_of(ScriptedLogFile* file) {
  return LogFileService{file,
                        scripted_write,
                        scripted_take_back,
                        scripted_length,
                        scripted_in_place,
                        scripted_put_back,
                        scripted_failure,
                        scripted_place,
                        scripted_free_bytes,
                        scripted_close};
}

LogFileMaker maker_of(ScriptedRun* run) {
  return LogFileMaker{run, scripted_make};
}
