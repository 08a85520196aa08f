// The entry: the process is made ready, the console's keyboard opened, and the logger's routine
// runs from choosing the port to the end of the run; its status ends the process.
#include "logger/logger.h"
#include "platform/console_input.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  start_process(&argc, &argv);
  open_console_input();
  end_process(run_logger(argc, argv));
}
