// The files of a run as both system layers keep them: where each file's name leads, what the run
// found there, what stands in the way when something does. This makes the run's files, the run
// before kept as one generation of them all (common/generations.h), puts back a file that lost
// its name, and answers each operation of the log file service (platform/log_file.h) for each
// file. The system layer gives the system calls, by name and by open file; nothing here makes
// one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/generations.h"

// Why making or writing a file failed, for the logger to put into words.
enum class LogFileTrouble {
  kSystem,                // the system refused, for `reason`
  kNoNewFile,             // no new file could be made in the file's folder, for `reason`
  kHeldByAnotherLogger,   // another comlog holds the lock on it (process `holder`, or 0)
  kHeldByAnotherProgram,  // a program that is not a comlog holds it locked
  kReadOnly,              // kept read-only, on purpose: never emptied or moved
  kFolderInTheWay,        // `path`, an earlier run's name, is a folder: the runs cannot be kept
  kNothingTaken,          // a write took nothing, without an error
  kKeepsChanging,         // the name led to another file at every look
  kPlantedLink,           // `path` is a link of user `owner`'s in a sticky folder others write
  kDanglingLink,          // `path` is a link to `target`, which does not exist
  kLinkLoop,              // `path` leads through too many links
  kFifoWithoutReader,     // `path` is a FIFO that no program reads: writing it would wait
  kNotAFile,              // `path` is a disk or another thing that is not a file
  kLeftOver,              // `path`, where a new file is made, holds another's or a lost run's
};

struct LogFileFailure {
  LogFileTrouble trouble;
  const char* path;    // the name that stands in the way, absolute
  const char* reason;  // the system's words, with kSystem and kNoNewFile
  const char* target;  // with kDanglingLink
  long holder;         // with kHeldByAnotherLogger: its process id, 0 when it cannot be told
  unsigned owner;      // with kPlantedLink
};

// Where a file's records go, for the operator.
struct LogFilePlace {
  const char* path;  // the file itself, absolute: a link's target
  const char* kept;  // the name the run before was kept under ("test.dat.1"), or null
};

// An open file as the system layer holds it: a descriptor or a handle, and a second one that it
// writes through where it needs one.
constexpr intptr_t kNoHandle = -1;

struct HeldFile {
  intptr_t handle;
  intptr_t writer;
  bool ordinary;  // an ordinary file: locked, kept in generations, watched for removal
};

// What stands in the way, as a system call found it.
struct Refusal {
  LogFileTrouble trouble;
  int error;  // the system's error code, with kSystem and kNoNewFile
  long holder;
  unsigned owner;
  char name[kGenerationNameSize];
  char target[kGenerationNameSize];  // with kDanglingLink
};

// The system calls of the run's files. Each that can fail says why in `why`.
struct FileCalls {
  // Where the run's file `name` leads, as an absolute path (kGenerationNameSize bytes).
  bool (*resolve)(const char* name, char* path, Refusal* why);
  // Opens and locks what stands at `path`, or makes it (Found::kMade) when nothing does.
  Found (*take)(const char* path, HeldFile* file, Refusal* why);
  // Makes `name`, where nothing stands, locked; holding what `copy` holds, when given.
  bool (*make)(const char* name, const HeldFile* copy, HeldFile* made, Refusal* why);
  // What stands at `name`, a link not followed.
  NameHolds (*holds)(const char* name);
  // Gives `from` the name `to`, which nothing has; false with the system's error in `*error`.
  bool (*move)(HeldFile* file, const char* from, const char* to, int* error);
  // Removes `name` while it is still `file`.
  void (*remove)(const char* name, const HeldFile* file);
  void (*close)(HeldFile* file);
  // The log file service's operations on an open file.
  long (*write)(HeldFile* file, const char* path, const char* bytes, size_t length, Refusal* why);
  bool (*take_back)(HeldFile* file, uint64_t length);
  uint64_t (*length)(const HeldFile* file);
  bool (*in_place)(const HeldFile* file, const char* path);
  uint64_t (*free_bytes)(const HeldFile* file, const char* path);
  // The system's words for an error code.
  void (*words)(int error, char* out, size_t size);
};

struct RunFiles;

// Makes the run's `count` files under `names` with `calls`; `contexts[i]` is then file i's, for
// the operations below, and `made[i]` whether it is the run's. False when the first cannot be
// made (every name as it was, the first's failure saying why), or with null contexts when there
// is no memory.
bool make_run_files(const FileCalls* calls, const char* const* names, int count, void** contexts,
                    bool* made);

// The log file service's operations, each on a file's context (see platform/log_file.h).
long write_run_file(void* context, const char* bytes, size_t length);
bool take_back_run_file(void* context, uint64_t length);
uint64_t run_file_length(void* context);
bool run_file_in_place(void* context);
bool put_run_file_back(void* context, uint64_t* length);
LogFileFailure run_file_failure(void* context);
LogFilePlace run_file_place(void* context);
uint64_t run_file_free_bytes(void* context);
void close_run_file(void* context);
