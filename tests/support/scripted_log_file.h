// A file under the measurement log for the tests and the fuzz target: it keeps what it is given
// and takes, refuses or loses its name as the test says, the way a disk that fills up and a
// folder that others work in do.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/log_file.h"

struct ScriptedLogFile {
  bool refuse_create = false;
  bool open = false;
  std::string path;
  std::string contents;
  std::vector<size_t> write_sizes;  // the length of each write call, as asked
  // How much each coming write call takes at most: a count, or -1 for an error. Empty: all.
  std::deque<long> takes;
  // The room left on the disk, taken by the writes: a write takes what fits, and the next one
  // gets an error. Negative: no end of room.
  long room = -1;
  bool can_cut = true;  // false: a device, which cannot be shortened
  std::vector<uint64_t> cuts;
  // Whether the name still leads to the file at each coming look. Empty: it does.
  std::deque<bool> in_place;
  bool refuse_replace = false;
  int replacements = 0;  // each one a new file holding what the old one held
  LogFileFailure failure = {LogFileTrouble::kSystem, "/lab/test.dat", "No space left on device", 0,
                            0};
  bool kept_previous = false;  // an earlier run's file was kept as test.dat.1
};

LogFileService log_file_of(ScriptedLogFile* file);
