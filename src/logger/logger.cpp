#include "logger/logger.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "common/port_names.h"
#include "keys/key_codes.h"
#include "logger/console_text.h"
#include "logger/measurement_log.h"
#include "logger/port_selection.h"
#include "logger/port_text.h"
#include "logger/receive_path.h"
#include "logger/record_file.h"
#include "logger/text_mode.h"
#include "logger/wait_option.h"

namespace {

constexpr char kUsage[] =
    "usage: comlog [--wait] [PORT]   PORT is the number of the COM port (1 and up), 3 when none is "
    "given\n"
    "       --wait rests until the port or a key has something, instead of keeping a core busy\n";
constexpr char kUsageWithDeviceFiles[] =
    "usage: comlog [--wait] [PORT]   PORT is the number of the COM port (1 and up), 3 when none is "
    "given,\n"
    "                                or its device file (comlog /dev/ttyUSB0)\n"
    "       --wait rests until the port or a key has something, instead of keeping a core busy\n";

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
  bool log_refused;        // likewise for test.dat
  bool logged;             // test.dat was made: the run logged into it
  uint64_t unwritten;      // records that test.dat does not hold at the end
  bool port_present;       // false once the port has gone, until it is open again
  int64_t next_reopen_ms;  // while it is gone
  bool resting;            // --wait: an idle turn rests until something comes
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

// A line for the operator on standard error, which standard output's messages stay apart from.
// One write a line, so that another program's lines on the same stream stay whole.
__attribute__((format(printf, 2, 3))) void tell(const ConsoleOutputService& output,
                                                const char* format, ...) {
  char line[4608];
  va_list arguments;
  va_start(arguments, format);
  size_t length = size_t(std::vsnprintf(line, sizeof line, format, arguments));
  va_end(arguments);
  if (length >= sizeof line) {
    length = sizeof line - 1;
    line[length - 1] = '\n';
  }
  write_fully(output.write_error, output.context, line, length);
}

// Standard output says what it always says; standard error says why, for the operator: the
// system's reason, and the usage when the port was given neither as a number nor as a device file.
void explain_port_failure(const LoggerState& state, int argc, char** argv,
                          const LoggerServices& services) {
  const ConsoleOutputService& output = services.output;
  const char* reason = services.port.why_not_opened(services.port.context);
  if (reason != nullptr) tell(output, "comlog: %s\n", reason);
  if (!port_argument_is_a_number(argc, argv) && state.port.device_file == nullptr) {
    const char* usage = services.port.device_files ? kUsageWithDeviceFiles : kUsage;
    write_fully(output.write_error, output.context, usage, std::strlen(usage));
  }
}

// What stands in the way of test.dat, in words that name the file, or its folder when no new
// file can be made there.
void word_log_failure(const LogFileFailure& failure, char* out, size_t size) {
  const char* path = failure.path;
  switch (failure.trouble) {
    case LogFileTrouble::kSystem:
      std::snprintf(out, size, "%s: %s", path, failure.reason);
      return;
    case LogFileTrouble::kNoNewFile: {
      const char* name = path;
      for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') name = at + 1;
      }
      const int folder = name - path > 1 ? int(name - path - 1) : int(name - path);
      std::snprintf(out, size, "cannot make a new file in %.*s: %s", folder, path, failure.reason);
      return;
    }
    case LogFileTrouble::kHeldByAnotherLogger:
      if (failure.holder > 0) {
        std::snprintf(out, size, "%s: another comlog is logging into it (process %ld)", path,
                      failure.holder);
      } else {
        std::snprintf(out, size, "%s: another comlog is logging into it", path);
      }
      return;
    case LogFileTrouble::kReadOnly:
      std::snprintf(out, size, "%s: it is read-only, and kept as it is", path);
      return;
    case LogFileTrouble::kKeptIsAFolder:
      std::snprintf(out, size, "%s.%d is a folder: the earlier measurements cannot be kept", path,
                    failure.generation);
      return;
    case LogFileTrouble::kNothingTaken:
      std::snprintf(out, size, "%s: the file takes nothing", path);
      return;
    case LogFileTrouble::kKeepsChanging:
      std::snprintf(out, size, "%s: another file had its name at every look", path);
      return;
  }
}

void tell_log_failure(const ConsoleOutputService& output, const LogFileService& file,
                      const char* after) {
  char words[4096];
  word_log_failure(file.failure(file.context), words, sizeof words);
  tell(output, "comlog: %s%s\n", words, after);
}

// A word for an operator at a terminal, on standard error so that files and pipes stay as they
// are: where the records go, and how the run ends.
void tell_where_the_records_go(LoggerState* state, const LoggerServices& services) {
  const ConsoleOutputService& output = services.output;
  if (!output.errors_to_terminal(output.context)) return;
  const LogFilePlace place = services.log_file.place(services.log_file.context);
  const char* times = state->log.times.open ? " and test.csv" : "";
  if (place.kept != nullptr) {
    tell(output, "comlog: logging into %s%s (the previous run is %s); q, e or x ends the run\n",
         place.path, times, place.kept);
  } else {
    tell(output, "comlog: logging into %s%s; q, e or x ends the run\n", place.path, times);
  }
}

// What became of a file's records that the operator must know: each said once, when it happens.
void tell_file_news(const ConsoleOutputService& output, const char* name, RecordFile* records,
                    const LogFileService& file) {
  const unsigned news = take_record_file_news(records);
  if (news & kNewsReplaced) {
    tell(output, "comlog: %s was removed or replaced: a new %s holds the run's records\n", name,
         name);
  }
  if (news & kNewsRefused) {
    tell_log_failure(output, file, ": the records are held and written once the file takes them");
  }
  if (news & kNewsLeavesRoom) {
    tell(output,
         "comlog: %s waits: its disk has less than %u MiB free, which is kept for %s; the records "
         "are held\n",
         name, unsigned(kRoomKeptForTheFirst >> 20), kMeasurementLogName);
  }
  if (news & kNewsBacklogFull) {
    tell(output, "comlog: %u MiB of records are held for %s: later records are counted, not kept\n",
         unsigned(records->backlog_limit >> 20), name);
  }
  if (news & kNewsCaughtUp) {
    tell(output, "comlog: %s takes records again: %" PRIu64 " held records written\n", name,
         records->caught_up_records);
  }
}

void tell_log_news(LoggerState* state, const LoggerServices& services) {
  MeasurementLog* log = &state->log;
  if (log->records.news != 0) {
    tell_file_news(services.output, kMeasurementLogName, &log->records, services.log_file);
  }
  if (log->times.news != 0) {
    tell_file_news(services.output, kTimesFileName, &log->times, services.times_file);
  }
}

// The clock is read only while records wait for it; test.dat's turn comes first.
void write_out_when_due(LoggerState* state, const LoggerServices& services) {
  MeasurementLog* log = &state->log;
  if (!record_file_waiting(&log->records) && !record_file_waiting(&log->times)) return;
  const int64_t now = services.process.now_ms(services.process.context);
  write_out_when_due(&log->records, now);
  write_out_when_due(&log->times, now);
}

// What became of the console output that standard output did not take, said once each.
void tell_console_news(LoggerState* state, const LoggerServices& services) {
  const unsigned news = take_console_news(&state->console);
  if (news & kConsoleNewsDropping) {
    tell(services.output,
         "comlog: standard output takes nothing, and %u MiB of console output wait for it: later "
         "output is dropped until it takes them\n",
         unsigned(state->console.most_held >> 20));
  }
  if (news & kConsoleNewsCaughtUp) {
    tell(services.output,
         "comlog: standard output takes console output again; %" PRIu64
         " bytes of it were dropped\n",
         console_dropped_bytes(&state->console));
  }
}

// Held console output goes out by the clock, which is read only while something is held.
void write_out_console_when_due(LoggerState* state, const LoggerServices& services) {
  if (!console_waiting(&state->console)) return;
  console_write_out_when_due(&state->console, services.process.now_ms(services.process.context));
  if (state->console.news != 0) tell_console_news(state, services);
}

// The next time that anything of the run waits for by the clock: test.dat's and test.csv's held
// records (whose time is taken at the next look, when it is not yet known) and the next offer of
// what their files refused, the port's next try while it is gone, the console output's second.
// -1 when nothing does.
int64_t next_deadline(const LoggerState* state) {
  int64_t deadline = -1;
  const auto take = [&deadline](int64_t at) {
    if (at >= 0 && (deadline < 0 || at < deadline)) deadline = at;
  };
  for (const RecordFile* records : {&state->log.records, &state->log.times}) {
    if (records->held_count > 0) {
      take(records->held_timed ? records->held_since_ms + kWriteOutIntervalMs : 0);
    }
    if (records->first != nullptr) take(records->retry_timed ? records->retry_at_ms : 0);
  }
  if (!state->port_present) take(state->next_reopen_ms);
  take(console_deadline(&state->console));
  return deadline;
}

// An idle turn of a run with --wait: rests until the port or a key has something, standard output
// takes held output, or the next deadline of the clock.
void rest(const LoggerState* state, const ProcessService& process) {
  const int64_t deadline = next_deadline(state);
  int64_t timeout = -1;
  if (deadline >= 0) {
    const int64_t now = process.now_ms(process.context);
    timeout = deadline > now ? deadline - now : 0;
  }
  if (timeout != 0) {
    process.rest(process.context, timeout, console_waits_for_output(&state->console));
  }
}

// The port has gone (its adapter pulled out): nothing waits in memory while it is away, the half
// line it left will never be completed, and the port is released before anything is said (a
// stalled console must not hold it), so that the adapter gets its old name when it comes back.
void lose_port(LoggerState* state, const LoggerServices& services) {
  write_out_held_records(&state->log.records);
  write_out_held_records(&state->log.times);
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
// rest stays queued for the next turn), and the lines it completes are logged and echoed. Returns
// whether anything was queued.
bool take_from_port(LoggerState* state, const LoggerServices& services) {
  const SerialPortService& port = services.port;
  uint32_t queued = 0;
  if (!port.poll(port.context, &queued)) {
    lose_port(state, services);
    return true;
  }
  if (queued == 0) return false;
  if (queued > kMostBytesPerRead) queued = kMostBytesPerRead;
  uint32_t got = 0;
  const bool present = port.read(port.context, state->received, queued, &got);
  start_read(&state->log);
  const size_t echo_length =
      receive_bytes(&state->receiver, &state->log, state->received, got, state->echo);
  if (echo_length > 0) console_write(&state->console, state->echo, echo_length);
  if (!present) lose_port(state, services);
  return true;
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
  // Bluetooth port, can take seconds) ends the run here, before anything is done to test.dat.
  if (process.end_requested(process.context)) {
    port.close(port.context);
    return 0;
  }
  if (!open_measurement_log(&state->log, services.log_file)) {
    console_print(console, "cannot open ");
    console_print(console, kMeasurementLogName);
    console_print(console, "\n");
    state->log_refused = true;
    port.close(port.context);
    return 1;
  }
  state->logged = true;
  // test.csv is the companion: a run without it goes on, since test.dat is the measurement.
  if (!open_times(&state->log, services.times_file, process)) {
    tell_log_failure(services.output, services.times_file,
                     ": the run goes on without the times in test.csv");
  }
  start_receiving(&state->receiver);
  console_print(console, "running\n");
  tell_where_the_records_go(state, services);

  ConsoleQueue keys = services.keys.queue;
  const MeasurementLog* log = &state->log;
  for (;;) {
    bool busy = false;
    if (state->port_present) {
      busy = take_from_port(state, services);
    } else {
      try_to_reopen(state, services);
    }
    write_out_when_due(state, services);
    write_out_console_when_due(state, services);
    if (log->records.news != 0 || log->times.news != 0) tell_log_news(state, services);
    if (process.end_requested(process.context)) break;
    if (key_pending_from(&keys, &state->keys) != 0) {
      const int code = read_key_from(&keys, &state->keys);
      if (is_quit_code(code)) break;
      console_print(console, "running\n");
      busy = true;
    }
    if (state->resting && !busy) rest(state, process);
  }
  if (state->port_present) port.close(port.context);
  // A run that could not put every record on disk ends as a failure of the log.
  state->unwritten = close_measurement_log(&state->log);
  return state->unwritten > 0 ? 1 : 0;
}

}  // namespace

int run_logger(int argc, char** argv, const LoggerServices& services) {
  LoggerState state{};
  state.resting = take_wait_option(&argc, argv);
  start_console_text(&state.console, services.output);
  const int status = log_until_the_end(&state, argc, argv, services);
  // The records are on disk by now. The console's key mode goes next, so that a reader that
  // stalls the last of the console output cannot keep the terminal in it.
  services.keys.restore(services.keys.queue.context);
  const ProcessService& process = services.process;
  const uint64_t unshown =
      console_finish(&state.console, process, process.end_requested(process.context));
  tell_console_news(&state, services);
  if (console_dropping(&state.console)) {
    tell(services.output, "comlog: %" PRIu64 " bytes of console output were dropped\n",
         console_dropped_bytes(&state.console));
  }
  if (unshown > 0) {
    tell(services.output,
         "comlog: %" PRIu64
         " bytes of console output were not written: standard output took none "
         "for a second\n",
         unshown);
  }
  // After standard output, so that the two sent to one file keep their order.
  if (state.port_refused) explain_port_failure(state, argc, argv, services);
  if (state.log_refused) tell_log_failure(services.output, services.log_file, "");
  tell_log_news(&state, services);
  if (state.unwritten > 0) {
    tell(services.output, "comlog: %" PRIu64 " records could not be written to %s\n",
         state.unwritten, kMeasurementLogName);
  }
  if (state.log.rows_unwritten > 0) {
    tell(services.output, "comlog: %" PRIu64 " rows could not be written to %s\n",
         state.log.rows_unwritten, kTimesFileName);
  }
  const ConsoleOutputService& output = services.output;
  if (state.logged && output.errors_to_terminal(output.context)) {
    const uint64_t held = state.log.records.records_in_file;
    tell(output, "comlog: %s holds %" PRIu64 " record%s: %s\n", kMeasurementLogName, held,
         held == 1 ? "" : "s", services.log_file.place(services.log_file.context).path);
  }
  return status;
}
