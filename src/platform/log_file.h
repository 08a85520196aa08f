// The files a run logs into: made together at the start, the run before kept as one generation
// of them all (see common/generations.h), each held by this run alone, written at its end and
// never synced. The platform gives one service per file, from one maker; `context` is the
// platform's own.
#pragma once

#include <cstddef>
#include <cstdint>

// Why making or writing a file failed, for the logger to put into words.
enum class LogFileTrouble {
  kSystem,                // the system refused, for `reason`
  kNoNewFile,             // no new file could be made in the file's folder, for `reason`
  kHeldByAnotherLogger,   // another comlog holds the lock on it (process `holder`, or 0)
  kHeldByAnotherProgram,  // a program that is not a comlog holds it locked (`holder`, or 0)
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
  const char* path;     // the name that stands in the way, absolute
  const char* reason;   // the system's words, with kSystem and kNoNewFile
  const char* target;   // with kDanglingLink
  long holder;          // with kHeldBy...: its process id, 0 when it cannot be told
  const char* program;  // with kHeldByAnotherProgram and a holder: its name, or null
  unsigned owner;       // with kPlantedLink
};

// Where a file's records go, for the operator.
struct LogFilePlace {
  const char* path;  // the file itself, absolute: a link's target
  const char* kept;  // the name the run before was kept under ("test.dat.1"), or null
};

struct LogFileService {
  void* context;
  // Writes what the system takes of `bytes` at the end of the file: the count written, or -1 on
  // an error. Whatever else shortens or empties the file, nothing is written past its end.
  long (*write)(void* context, const char* bytes, size_t length);
  // Takes the last `length` bytes back off the file: a record that the file took only in part.
  // False where the file cannot be shortened (a device).
  bool (*take_back)(void* context, uint64_t length);
  // How long the file is now; UINT64_MAX where it has no length (a device).
  uint64_t (*length)(void* context);
  // Whether the name still leads to the open file: false once it has been removed, renamed or
  // replaced.
  bool (*in_place)(void* context);
  // Puts a new file under the name, holding what the open file holds, and logs on into it;
  // whatever now has the name is kept as the newest earlier run, every file of the run moving up
  // with it. `*length` is then what it holds. False when that is not possible: the open file
  // stays the log.
  bool (*put_back)(void* context, uint64_t* length);
  // Why the file could not be made, or the last write or put_back failed.
  LogFileFailure (*failure)(void* context);
  // Where the file is.
  LogFilePlace (*place)(void* context);
  // The bytes still free on the file's disk for this user; the most there is for a device.
  uint64_t (*free_bytes)(void* context);
  // Lets go of the file, and of the service: its context is not used again.
  void (*close)(void* context);
};

struct LogFileMaker {
  void* context;
  // Makes the run's `count` files (kMostRunFiles at most) under `names`, in the working folder
  // unless a name is absolute, and gives each its service in `files`. Nothing is deleted or
  // overwritten: an ordinary file that holds something is an earlier run, kept with the other
  // files of its run (see common/generations.h); an empty one, a device and a FIFO that a program
  // reads are taken as they are; a link is followed only where a sticky folder's rule trusts it.
  // Each file is locked for the run, which keeps a second logger out and no reader. `made[i]`
  // says whether file i is the run's; a file that is not has its failure, and is closed as any
  // other. False when the first file cannot be made: then every name is as it was, and the first
  // file's failure says why; or, with no service given (null contexts), when there is no memory.
  bool (*make)(void* context, const char* const* names, int count, LogFileService* files,
               bool* made);
};

LogFileMaker system_log_files();
