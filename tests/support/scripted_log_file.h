// The run's files for the tests and the fuzz target: each keeps what it is given and takes,
// refuses or loses its name as the test says, the way a disk that fills up and a folder that
// others work in do.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/generations.h"
#include "platform/log_file.h"

struct ScriptedLogFile {
  bool refuse_make = false;  // the maker cannot make it
  bool open = false;
  std::string name;  // as the maker was asked
  std::string contents;
  std::vector<size_t> write_sizes;  // the length of each write call, as asked
  // How much each coming write call takes at most: a count, or -1 for an error. Empty: all.
  std::deque<long> takes;
  // The room left on the disk, taken by the writes: a write takes what fits, and the next one
  // gets an error. Negative: no end of room.
  long room = -1;
  bool device = false;         // a device: it has no length and cannot be shortened
  std::vector<uint64_t> cuts;  // its length after each record taken back
  // Whether the name still leads to the file at each coming look. Empty: it does.
  std::deque<bool> in_place;
  bool refuse_put_back = false;
  int put_backs = 0;  // each one a new file holding what the old one held
  LogFileFailure failure = {
      LogFileTrouble::kSystem, "/lab/test.dat", "No space left on device", nullptr, 0, 0};
  bool kept_previous = false;  // an earlier run's file was kept as NAME.1
  // Where the file notes its making ("create <name>"), its writes and its close ("write
  // <noted_as>"), when it is to.
  std::vector<std::string>* events = nullptr;
  const char* noted_as = "";
};

// The file's service.
LogFileService log_file_of(ScriptedLogFile* file);

// The run's files, by their place in the run: files[0] is test.dat, files[1] test.csv.
struct ScriptedRun {
  ScriptedLogFile files[kMostRunFiles];
};

// A maker of the run's files, each of which it makes unless told to refuse.
LogFileMaker maker_of(ScriptedRun* run);
