#include "logger/logger.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/port_names.h"
#include "keys/key_codes.h"
#include "logger/console_text.h"
#include "logger/measurement_log.h"
#include "logger/port_selection.h"
#include "logger/port_text.h"
#include "logger/receive_path.h"
#include "logger/text_mode.h"

namespace {

constexpr char kUsage[] =
    "usage: comlog [PORT]   PORT is the number of the COM port (1 and up), 3 when none is given\n";
constexpr char kUsageWithDeviceFiles[] =
    "usage: comlog [PORT]   PORT is the number of the COM port (1 and up), 3 when none is given,\n"
    "                       or its device file (comlog /dev/ttyUSB0)\n";

// While the port is gone, it is tried again this often, by the clock: the loop never waits.
constexpr int64_t kReopenIntervalMs = 200;

// Everything a run keeps, from start to end.
struct LoggerState {
  ConsoleText console;
  MeasurementLog log;
  Receiver receiver;  // the line buffer and the reading
  KeyState keys;      // the extended code still to be delivered
  // The port as named, what its messages call it (COM n's device path, or the device file as
  // given), and the messages' texts in the console's character set.
  PortName port;
  char device_path[kDevicePathSize];
  const char* port_shown;
  const PortTexts* texts;
  bool port_refused;       // at the start: standard error says why at the end
  bool port_present;       // false once the port has gone, until it is open again
  int64_t next_reopen_ms;  // while it is gone
  char received[kMostBytesPerRead];
  char echo[kEchoSize];
};

bool is_quit_code(int code) {
  return code == 'E' || code == 'Q' || code == 'X' || code == 'e' || code == 'q' || code == 'x';
}

void print_port_message(LoggerState* state, const char* outcome) {
  console_print(&state->console, state->texts->port);
  console_print(&state->console, state->port_shown);
  console_print(&state->console, outcome);
}

// Standard output says what it always says; standard error says why, for the operator: the
// system's reason, and the usage when the port was given neither as a number nor as a device file.
void explain_port_failure(const LoggerState& state, int argc, char** argv,
                          const LoggerServices& services) {
  const ConsoleOutputService& output = services.output;
  const char* reason = services.port.why_not_opened(services.port.context);
  if (reason != nullptr) {
    // One write a line, so that another program's lines on the same stream stay whole.
    char line[4608];
    size_t length = size_t(std::snprintf(line, sizeof line, "comlog: %s\n", reason));
    if (length >= sizeof line) {
      length = sizeof line - 1;
      line[length - 1] = '\n';
    }
    write_fully(output.write_error, output.context, line, length);
  }
  if (!port_argument_is_a_number(argc, argv) && state.port.device_file == nullptr) {
    const char* usage = services.port.device_files ? kUsageWithDeviceFiles : kUsage;
    write_fully(output.write_error, output.context, usage, std::strlen(usage));
  }
}

// The port has gone (its adapter pulled out): nothing waits in memory while it is away, the half
// line it left will never be completed, and the port is released before anything is said (a
// stalled console must not hold it), so that the adapter gets its old name when it comes back.
void lose_port(LoggerState* state, const LoggerServices& services) {
  write_out_measurement_log(&state->log);
  drop_unfinished_line(&state->receiver);
  services.port.close(services.port.context);
  print_port_message(state, state->texts->cannot_be_opened);
  state->port_present = false;
  state->next_reopen_ms = services.process.now_ms(services.process.context) + kReopenIntervalMs;
}

// While the port is gone: now and then an attempt to open it again, set up as at the start. A
// port that refuses its settings counts as still gone.
void try_to_reopen(LoggerState* state, const LoggerServices& services) {
  const SerialPortService& port = services.port;
  const int64_t now = services.process.now_ms(services.process.context);
  if (now < state->next_reopen_ms) return;
  state->next_reopen_ms = now + kReopenIntervalMs;
  if (!port.open(port.context, state->port)) return;
  if (!port.configure(port.context)) {
    port.close(port.context);
    return;
  }
  port.purge(port.context);
  print_port_message(state, state->texts->opened);
  state->port_present = true;
}

// One turn's look at the port: what is queued is read, up to what the receive buffer holds (the
// rest stays queued for the next turn), and the lines it completes are logged and echoed.
void take_from_port(LoggerState* state, const LoggerServices& services) {
  const SerialPortService& port = services.port;
  uint32_t queued = 0;
  if (!port.poll(port.context, &queued)) {
    lose_port(state, services);
    return;
  }
  if (queued == 0) return;
  if (queued > kMostBytesPerRead) queued = kMostBytesPerRead;
  uint32_t got = 0;
  const bool present = port.read(port.context, state->received, queued, &got);
  const size_t echo_length =
      receive_bytes(&state->receiver, &state->log, state->received, got, state->echo);
  if (echo_length > 0) console_write(&state->console, state->echo, echo_length);
  if (!present) lose_port(state, services);
}

// From choosing the port to the end of the loop; returns the exit status. Every early end
// releases the port, as the end of a run does.
int log_until_the_end(LoggerState* state, int argc, char** argv, const LoggerServices& services) {
  const SerialPortService& port = services.port;
  const ProcessService& process = services.process;
  ConsoleText* console = &state->console;

  state->port = port_name_from_arguments(argc, argv, port.device_files);
  format_device_path(state->port.number, state->device_path);
  state->port_shown = state->port.device_file ? state->port.device_file : state->device_path;
  state->texts =
      &port_texts_for(console->to_terminal, services.output.character_set(services.output.context));
  if (!port.open(port.context, state->port)) {
    print_port_message(state, state->texts->cannot_be_opened);
    state->port_refused = true;
    return -1;
  }
  print_port_message(state, state->texts->opened);
  if (!port.configure(port.context)) {
    console_print(console, state->texts->settings_refused);
    port.close(port.context);
    return -1;
  }
  port.purge(port.context);
  state->port_present = true;
  console_print(console, "running ");
  console_print(console, argv[0]);
  console_print(console, "\n");

  // A request to end that came while the port was opening (a slow one, such as an outgoing
  // Bluetooth port, can take seconds) ends the run here, before the previous test.dat is emptied.
  if (process.end_requested(process.context)) {
    port.close(port.context);
    return 0;
  }
  if (!open_measurement_log(&state->log, services.log_file)) {
    console_print(console, "cannot open ");
    console_print(console, kMeasurementLogName);
    console_print(console, "\n");
    port.close(port.context);
    return 1;
  }
  start_receiving(&state->receiver);
  console_print(console, "running\n");

  ConsoleQueue keys = services.keys.queue;
  for (;;) {
    if (state->port_present) {
      take_from_port(state, services);
    } else {
      try_to_reopen(state, services);
    }
    if (process.end_requested(process.context)) break;
    if (key_pending_from(&keys, &state->keys) != 0) {
      const int code = read_key_from(&keys, &state->keys);
      if (is_quit_code(code)) break;
      console_print(console, "running\n");
    }
  }
  if (state->port_present) port.close(port.context);
  close_measurement_log(&state->log);
  return 0;
}

}  // namespace

int run_logger(int argc, char** argv, const LoggerServices& services) {
  LoggerState state{};
  start_console_text(&state.console, services.output);
  const int status = log_until_the_end(&state, argc, argv, services);
  // The records are on disk by now. The console's key mode goes next, so that a reader that
  // stalls the last of the console output cannot keep the terminal in it.
  services.keys.restore(services.keys.queue.context);
  console_flush(&state.console);
  // After standard output, so that the two sent to one file keep their order.
  if (state.port_refused) explain_port_failure(state, argc, argv, services);
  return status;
}
