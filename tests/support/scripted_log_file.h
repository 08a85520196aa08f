// A file under the measurement log for the tests and the fuzz target: it keeps what it is given
// and takes or refuses each write as the test says.
#pragma once

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
  // How much each coming write call takes: a count, or -1 for an error. Empty: all of it.
  std::deque<long> takes;
};

LogFileService log_file_of(ScriptedLogFile* file);
