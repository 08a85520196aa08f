// The logger's one routine, from choosing the port to the end of the run, over the services that
// the entry hands it: the platform's in the program, fakes in the tests.
#pragma once

#include "platform/console_keys.h"
#include "platform/console_output.h"
#include "platform/log_file.h"
#include "platform/process.h"
#include "platform/serial_port.h"

struct LoggerServices {
  SerialPortService port;
  LogFileMaker log_files;  // test.dat and the files beside it
  ConsoleOutputService output;
  ConsoleKeys keys;
  ProcessService process;
};

// Returns the exit status: 0 after a quit key or an outside request, 1 when test.dat cannot be
// opened or does not hold every record of the run at its end, -1 when the port cannot be opened
// or configured. Every way out has written out the records and the console output and put the
// console's key mode back.
int run_logger(int argc, char** argv, const LoggerServices& services);
