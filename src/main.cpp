// The entry: the process made ready, the platform's services handed to the logger's routine,
// which runs from choosing the port to the end of the run; its status ends the process.
#include "logger/logger.h"
#include "platform/console_keys.h"
#include "platform/console_output.h"
#include "platform/log_file.h"
#include "platform/process.h"
#include "platform/serial_port.h"

int main(int argc, char** argv) {
  start_process(&argc, &argv);
  const LoggerServices services = {system_serial_port(), system_log_files(),
                                   system_console_output(), open_console_keys(), system_process()};
  end_process(run_logger(argc, argv, services));
}
