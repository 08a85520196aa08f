// A file that a run logs into: made at the start with the earlier ones kept, held by this run
// alone, written sequentially and never synced. One file a service; `context` is the
// platform's own.
#pragma once

#include <cstddef>
#include <cstdint>

// Why making or writing the file failed, for the logger to put into words.
enum class LogFileTrouble {
  kSystem,               // the system refused, for `reason`
  kNoNewFile,            // no new file could be made in the file's folder, for `reason`
  kHeldByAnotherLogger,  // another logger holds the lock on it
  kReadOnly,             // kept read-only, on purpose: never emptied or moved
  kKeptIsAFolder,        // NAME.`generation` is a folder, so the earlier files cannot be kept
  kNothingTaken,         // a write took nothing, without an error
  kKeepsChanging,        // the name led to another file at every look
};

struct LogFileFailure {
  LogFileTrouble trouble;
  const char* path;    // the file itself, absolute: a link's target
  const char* reason;  // the system's words, with kSystem and kNoNewFile
  int generation;      // with kKeptIsAFolder
  long holder;         // with kHeldByAnotherLogger: its process id, 0 when it cannot be told
};

// Where the records go, for the operator.
struct LogFilePlace {
  const char* path;  // the file itself, absolute: a link's target
  const char* kept;  // the name the earlier run's file was kept under ("test.dat.1"), or null
};

struct LogFileService {
  void* context;
  // Makes `path` an empty file that this run alone logs into; false when that is not possible,
  // which leaves every file as it was. An ordinary file with something in it (an earlier
  // measurement) is kept as `path`.1, an earlier `path`.1 as `path`.2, and so on: nothing is
  // deleted or overwritten. A link to an ordinary file stays: the file it names is the one made
  // anew, and its earlier content is kept beside it. A device, a link to one, or an empty file
  // is opened as it is. The file is locked for the run, which keeps a second logger out and no
  // reader or other writer.
  bool (*create)(void* context, const char* path);
  // Writes what the system takes of `bytes`: the count written, or -1 on an error.
  long (*write)(void* context, const char* bytes, size_t length);
  // Shortens the file to `length` bytes and writes on from there: a record that the file took
  // only in part is taken back. False where the file cannot be shortened (a device).
  bool (*cut)(void* context, uint64_t length);
  // Whether the name still leads to the open file: false once it has been removed, renamed or
  // replaced.
  bool (*in_place)(void* context);
  // Puts a new file under the name, holding what the open file holds, and logs on into it; the
  // earlier content of whatever now has the name is kept as at `create`. `*length` is then what
  // it holds. False when that is not possible: the open file stays the log.
  bool (*replace)(void* context, uint64_t* length);
  // Why the last create, write or replace failed.
  LogFileFailure (*failure)(void* context);
  // Where the file made by create is.
  LogFilePlace (*place)(void* context);
  // The bytes still free on the file's disk for this user; the most there is for a device.
  uint64_t (*free_bytes)(void* context);
  void (*close)(void* context);
};

// test.dat's, and test.csv's: two files, each a service of its own.
LogFileService system_log_file();
LogFileService system_times_file();
