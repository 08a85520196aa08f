#include "common/run_files.h"

#include <cstdlib>
#include <cstring>

// What is written at every start comes first, so that the pages of names and words that only a
// failure fills take no memory otherwise.
struct RunFile {
  RunFiles* run;
  int index;  // in the run, 0 the first
  HeldFile open;
  HeldFile fresh;                  // the new file at NAME.new, until it takes the name
  bool made;                       // made at the start, to be removed again if the run is refused
  bool kept;                       // the run before was kept as NAME.1
  bool copy_into_new;              // a put-back: the new file gets what the open one holds
  bool refused;                    // `why` holds a failure
  char path[kGenerationNameSize];  // where the name leads: the file itself, absolute
  Refusal why;                     // the last failure
  char kept_name[kGenerationNameSize];
  char words[256];
};

struct RunFiles {
  const FileCalls* calls;
  int count;
  int services;  // not yet closed
  bool started;
  int last_failed;
  const char* const* names;
  RunFile files[1];  // `count` of them, allocated with the rest
};

namespace {

constexpr HeldFile kNoFile = {kNoHandle, kNoHandle, false};

RunFile* file_of(void* context, int index) {
  return &static_cast<RunFiles*>(context)->files[index];
}

// The failure that `file` met: told by it, and by the first file when it ends the start.
void note(RunFile* file, LogFileTrouble trouble, int error, const char* name) {
  file->why.trouble = trouble;
  file->why.error = error;
  std::strcpy(file->why.name, name);
  file->refused = true;
  file->run->last_failed = file->index;
}

// The looks and moves of common/generations, through the system calls.
Found take_at_name(void* context, int index) {
  RunFile* file = file_of(context, index);
  const FileCalls* calls = file->run->calls;
  Found found = Found::kRefused;
  if (calls->resolve(file->run->names[index], file->path, &file->why)) {
    found = calls->take(file->path, &file->open, &file->why);
  }
  file->made = found == Found::kMade;
  if (found == Found::kRefused) {
    file->refused = true;
    file->run->last_failed = index;
  }
  return found;
}

bool make_new_file(void* context, int index) {
  RunFile* file = file_of(context, index);
  char name[kGenerationNameSize];
  run_file_name(file->path, kNewFile, name);
  const HeldFile* copy = file->copy_into_new ? &file->open : nullptr;
  if (file->run->calls->make(name, copy, &file->fresh, &file->why)) return true;
  file->refused = true;
  file->run->last_failed = index;
  return false;
}

NameHolds what_name_holds(void* context, int index, int generation) {
  char name[kGenerationNameSize];
  run_file_name(file_of(context, index)->path, generation, name);
  return file_of(context, index)->run->calls->holds(name);
}

bool move_name(void* context, int index, int from, int to) {
  RunFile* file = file_of(context, index);
  char source[kGenerationNameSize];
  char target[kGenerationNameSize];
  run_file_name(file->path, from, source);
  run_file_name(file->path, to, target);
  int error = 0;
  if (file->run->calls->move(from == 0 ? &file->open : nullptr, source, target, &error)) {
    return true;
  }
  note(file, LogFileTrouble::kSystem, error, source);
  return false;
}

void finish_new_file(void* context, int index, bool adopted) {
  RunFile* file = file_of(context, index);
  const FileCalls* calls = file->run->calls;
  if (adopted) {
    calls->close(&file->open);
    file->open = file->fresh;
  } else {
    char name[kGenerationNameSize];
    run_file_name(file->path, kNewFile, name);
    calls->remove(name, &file->fresh);
    calls->close(&file->fresh);
  }
  file->fresh = kNoFile;
}

void leave_file_out(void* context, int index) {
  RunFile* file = file_of(context, index);
  if (file->made) file->run->calls->remove(file->path, &file->open);
  file->run->calls->close(&file->open);
}

void note_folder_in_the_way(void* context, int index, int generation) {
  RunFile* file = file_of(context, index);
  char name[kGenerationNameSize];
  run_file_name(file->path, generation, name);
  note(file, LogFileTrouble::kFolderInTheWay, 0, name);
}

RunFileSystem system_of(RunFiles* run) {
  return RunFileSystem{run,       take_at_name,    make_new_file,  what_name_holds,
                       move_name, finish_new_file, leave_file_out, note_folder_in_the_way};
}

RunFile* file_at(void* context) {
  return static_cast<RunFile*>(context);
}

}  // namespace

bool make_run_files(const FileCalls* calls, const char* const* names, int count, void** contexts,
                    bool* made) {
  // Only what is written takes memory: each file's names and words are filled as they come.
  const size_t size = sizeof(RunFiles) + size_t(count - 1) * sizeof(RunFile);
  RunFiles* run = static_cast<RunFiles*>(std::malloc(size));
  for (int index = 0; index < count; ++index) {
    contexts[index] = run == nullptr ? nullptr : &run->files[index];
  }
  if (run == nullptr) return false;
  run->calls = calls;
  run->count = count;
  run->services = count;
  run->started = false;
  run->last_failed = 0;
  run->names = names;
  for (int index = 0; index < count; ++index) {
    RunFile* file = &run->files[index];
    file->run = run;
    file->index = index;
    file->open = kNoFile;
    file->fresh = kNoFile;
    file->made = false;
    file->kept = false;
    file->copy_into_new = false;
    file->refused = false;
    file->path[0] = '\0';
  }
  Found found[kMostRunFiles];
  run->started = start_run_files(system_of(run), count, found);
  for (int index = 0; index < count; ++index) {
    made[index] = run->started && found[index] != Found::kRefused;
    run->files[index].kept = run->started && found[index] == Found::kEarlierRun;
  }
  run->names = nullptr;
  return run->started;
}

long write_run_file(void* context, const char* bytes, size_t length) {
  RunFile* file = file_at(context);
  const long written = file->run->calls->write(&file->open, file->path, bytes, length, &file->why);
  file->refused = file->refused || written <= 0;
  return written;
}

bool take_back_run_file(void* context, uint64_t length) {
  return file_at(context)->run->calls->take_back(&file_at(context)->open, length);
}

uint64_t run_file_length(void* context) {
  return file_at(context)->run->calls->length(&file_at(context)->open);
}

bool run_file_in_place(void* context) {
  const RunFile* file = file_at(context);
  return file->run->calls->in_place(&file->open, file->path);
}

bool put_run_file_back(void* context, uint64_t* length) {
  RunFile* file = file_at(context);
  file->copy_into_new = true;
  const bool back = put_back_run_file(system_of(file->run), file->run->count, file->index);
  file->copy_into_new = false;
  *length = run_file_length(context);
  return back;
}

// A refused start is told of by the first file, whichever file met the refusal.
LogFileFailure run_file_failure(void* context) {
  RunFile* file = file_at(context);
  if (!file->run->started && file->index == 0) file = &file->run->files[file->run->last_failed];
  if (!file->refused) return LogFileFailure{LogFileTrouble::kSystem, file->path, "", "", 0, 0};
  const Refusal& why = file->why;
  file->run->calls->words(why.error, file->words, sizeof file->words);
  const char* target = why.trouble == LogFileTrouble::kDanglingLink ? why.target : "";
  return LogFileFailure{why.trouble, why.name, file->words, target, why.holder, why.owner};
}

LogFilePlace run_file_place(void* context) {
  RunFile* file = file_at(context);
  const char* name = file->path;
  for (const char* at = file->path; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') name = at + 1;
  }
  run_file_name(name, 1, file->kept_name);
  return LogFilePlace{file->path, file->kept ? file->kept_name : nullptr};
}

uint64_t run_file_free_bytes(void* context) {
  const RunFile* file = file_at(context);
  return file->run->calls->free_bytes(&file->open, file->path);
}

void close_run_file(void* context) {
  RunFile* file = file_at(context);
  RunFiles* run = file->run;
  run->calls->close(&file->open);
  if (--run->services == 0) std::free(run);
}
