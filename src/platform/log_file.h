// The files a run logs into: made together at the start, the run before kept as one generation
// of them all (see common/generations.h), each held by this run alone, written at its end and
// never synced. The platform gives one service per file, from one maker; `context` is the
// platform's own. What a failure and a place are is told in common/run_files.h, which answers
// these operations over the platform's system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/run_files.h"

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

// The maker of log files whose operations common/run_files answers over `calls`, the
// platform's system calls.
inline bool make_log_files_with(void* calls, const char* const* names, int count,
                                LogFileService* files, bool* made) {
  void* contexts[kMostRunFiles];
  const bool started =
      make_run_files(static_cast<const FileCalls*>(calls), names, count, contexts, made);
  for (int index = 0; index < count; ++index) {
    files[index] =
        LogFileService{contexts[index],     write_run_file,    take_back_run_file, run_file_length,
                       run_file_in_place,   put_run_file_back, run_file_failure,   run_file_place,
                       run_file_free_bytes, close_run_file};
  }
  return started;
}

inline LogFileMaker log_file_maker(const FileCalls* calls) {
  return LogFileMaker{const_cast<FileCalls*>(calls), make_log_files_with};
}
