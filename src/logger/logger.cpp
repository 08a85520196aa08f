#include "logger/logger.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/port_names.h"
#include "common/text.h"
#include "keys/key_codes.h"
#include "logger/console_text.h"
#include "logger/measurement_log.h"
#include "logger/port_selection.h"
#include "logger/port_text.h"
#include "logger/receive_path.h"
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
  MeasurementLog* log;  // the run's files, from the start of the loop
  Receiver receiver;    // the line buffer and the reading
  KeyState keys;        // the extended code still to be delivered
  // The port as named, what its messages call it (COM n's device path, or the device file as
  // given), and the messages' texts in the console's character set.
  PortName port;
  char device_path[kDevicePathSize];
  const char* port_shown;
  const PortTexts* texts;
  bool wide_texts;         // the port messages go as UTF-16 text (kPortWideTexts)
  bool port_refused;       // at the start: standard error says why at the end
  bool settings_refused;   // likewise
  bool port_present;       // false once the port has gone, until it is open again
  int64_t next_reopen_ms;  // while it is gone
  int64_t gone_at_ms;      // when it went
  bool resting;            // --wait: an idle turn rests until something comes
  char received[kMostBytesPerRead];
  char echo[kEchoSize];
};

bool is_quit_code(int code) {
  return code == 'E' || code == 'Q' || code == 'X' || code == 'e' || code == 'q' || code == 'x';
}

// A part of a port message: UTF-16 text where the console takes it (and there is such a text),
// else the bytes; a console that refuses the text gets the bytes from then on.
void print_port_text(LoggerState* state, const char* bytes, const char16_t* wide) {
  if (state->wide_texts && wide != nullptr) {
    if (console_print_wide(&state->console, wide, std::char_traits<char16_t>::length(wide))) return;
    state->wide_texts = false;
  }
  console_print(&state->console, bytes);
}

void print_port_message(LoggerState* state, const char* outcome, const char16_t* wide_outcome) {
  print_port_text(state, state->texts->port, kPortWideTexts.port);
  // The port's name as text is its bytes as they are: a device path is ASCII.
  char16_t name[kDevicePathSize];
  size_t length = 0;
  for (const char* at = state->port_shown; *at != '\0' && length + 1 < kDevicePathSize; ++at) {
    name[length++] = char16_t(static_cast<unsigned char>(*at));
  }
  name[length] = u'\0';
  const bool whole = std::strlen(state->port_shown) == length;
  print_port_text(state, state->port_shown, whole ? name : nullptr);
  print_port_text(state, outcome, wide_outcome);
}

// A line for the operator on standard error, which standard output's messages stay apart from.
// One write a line, so that another program's lines on the same stream stay whole.
constexpr size_t kMostToldLength = 4607;

// Writes the line that `length` says, cut to the room and still ending in LF when it was cut.
void write_told_line(const ConsoleOutputService& output, char* line, size_t length) {
  if (length > kMostToldLength) {
    length = kMostToldLength;
    line[length - 1] = '\n';
  }
  write_fully(output.write_error, output.context, line, length);
}

__attribute__((format(printf, 2, 3))) void tell(const ConsoleOutputService& output,
                                                const char* format, ...) {
  char line[kMostToldLength + 1];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  write_told_line(output, line, length < 0 ? 0 : size_t(length));
}

// The words that every run at a terminal says are put together piece by piece: printf's code is
// then brought into memory only by the words of a trouble.
void tell_pieces(const ConsoleOutputService& output, std::initializer_list<const char*> pieces) {
  char line[kMostToldLength + 1];
  size_t length = 0;
  for (const char* piece : pieces) length = append_text(line, sizeof line, length, piece);
  write_told_line(output, line, length);
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

// What stands in the way of a file of the run, after the name of what stands there.
constexpr struct {
  LogFileTrouble trouble;
  const char* words;
} kTroubleWords[] = {
    {LogFileTrouble::kHeldByAnotherLogger, ": another comlog is logging into it"},
    {LogFileTrouble::kHeldByAnotherProgram, ": another program holds it locked"},
    {LogFileTrouble::kReadOnly, ": it is read-only, and kept as it is"},
    {LogFileTrouble::kFolderInTheWay, " is a folder: the earlier measurements cannot be kept"},
    {LogFileTrouble::kNothingTaken, ": the file takes nothing"},
    {LogFileTrouble::kKeepsChanging, ": another file had its name at every look"},
    {LogFileTrouble::kPlantedLink,
     ": a link of user %u in a sticky folder that others may write: "
     "not followed"},
    {LogFileTrouble::kDanglingLink, ": a link to %s, which does not exist"},
    {LogFileTrouble::kLinkLoop, ": too many links on the way"},
    {LogFileTrouble::kFifoWithoutReader, ": a FIFO that no program reads: writing it would wait"},
    {LogFileTrouble::kNotAFile, ": not a file (a disk, say): nothing is written there"},
    {LogFileTrouble::kLeftOver, " is in the way of a new file: it is kept; move it away"},
};

// What stands in the way of a file of the run, in words that name it, or its folder when no new
// file can be made there.
void word_log_failure(const LogFileFailure& failure, char* out, size_t size) {
  const char* path = failure.path;
  if (failure.trouble == LogFileTrouble::kSystem) {
    std::snprintf(out, size, "%s: %s", path, failure.reason);
    return;
  }
  if (failure.trouble == LogFileTrouble::kNoNewFile) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
      if (*at == '/' || *at == '\\') name = at + 1;
    }
    const int folder = name - path > 1 ? int(name - path - 1) : int(name - path);
    std::snprintf(out, size, "cannot make a new file in %.*s: %s", folder, path, failure.reason);
    return;
  }
  int length = std::snprintf(out, size, "%s", path);
  for (const auto& row : kTroubleWords) {
    if (row.trouble != failure.trouble || length >= int(size)) continue;
    // Each row's words take one value at most: the link's owner, or where it points.
    if (failure.trouble == LogFileTrouble::kPlantedLink) {
      length += std::snprintf(out + length, size - size_t(length), row.words, failure.owner);
    } else {
      length += std::snprintf(out + length, size - size_t(length), row.words, failure.target);
    }
  }
  if (failure.holder > 0 && length < int(size)) {
    std::snprintf(out + length, size - size_t(length), " (process %ld)", failure.holder);
  }
}

void tell_log_failure(const ConsoleOutputService& output, const LogFileFailure& failure,
                      const char* after) {
  char words[4096];
  word_log_failure(failure, words, sizeof words);
  tell(output, "comlog: %s%s\n", words, after);
}

// A word for an operator at a terminal, on standard error so that files and pipes stay as they
// are: where the records go, and how the run ends.
void tell_where_the_records_go(LoggerState* state, const LoggerServices& services) {
  const ConsoleOutputService& output = services.output;
  if (!output.errors_to_terminal(output.context)) return;
  const LogFilePlace place = measurement_log_place(state->log);
  char files[256] = "";
  size_t used = 0;
  for (int index = 0; companion_file(state->log, index) != nullptr; ++index) {
    used = append_text(files, sizeof files, used, " and ");
    used = append_text(files, sizeof files, used, companion_file(state->log, index));
  }
  if (place.kept != nullptr) {
    tell_pieces(output, {"comlog: logging into ", place.path, files, " (the previous run is ",
                         place.kept, "); q, e or x ends the run\n"});
  } else {
    tell_pieces(output, {"comlog: logging into ", place.path, files, "; q, e or x ends the run\n"});
  }
}

// What became of the run's files that the operator must know: each said once, when it happens.
void tell_log_news(LoggerState* state, const LoggerServices& services) {
  const ConsoleOutputService& output = services.output;
  LogNews news;
  while (take_log_news(state->log, &news)) {
    switch (news.kind) {
      case LogNewsKind::kNotMade:
        if (std::strcmp(news.file, news.first) == 0) {
          tell_log_failure(output, news.failure, "");
        } else {
          char after[128];
          std::snprintf(after, sizeof after, ": the run goes on without %s in %s", news.holds,
                        news.file);
          tell_log_failure(output, news.failure, after);
        }
        break;
      case LogNewsKind::kPutBack:
        tell(output, "comlog: %s was removed or replaced: a new %s holds the run's %s\n", news.file,
             news.file, news.lines);
        break;
      case LogNewsKind::kEmptied:
        tell(output,
             "comlog: %s was emptied or shortened by another program: the %s go on at its end\n",
             news.file, news.lines);
        break;
      case LogNewsKind::kRefused:
        tell_log_failure(output, news.failure,
                         ": the records are held and written once the file takes them");
        break;
      case LogNewsKind::kLeavesRoom:
        tell(output,
             "comlog: %s waits: its disk has less than %u MiB free, which is kept for %s; the "
             "records are held\n",
             news.file, unsigned(news.count), news.first);
        break;
      case LogNewsKind::kBacklogFull:
        tell(output,
             "comlog: the run holds %u MiB for its disks, the most it keeps: later %s of %s are "
             "counted, not kept\n",
             unsigned(news.count), news.lines, news.file);
        break;
      case LogNewsKind::kCaughtUp:
        tell(output, "comlog: %s takes records again: %" PRIu64 " held records written\n",
             news.file, news.count);
        break;
      case LogNewsKind::kUnwritten:
        tell(output, "comlog: %" PRIu64 " %s could not be written to %s\n", news.count, news.lines,
             news.file);
        break;
    }
  }
}

// The clock is read only while lines wait for it.
void write_out_when_due(LoggerState* state, const LoggerServices& services) {
  if (!log_waits_for_clock(state->log)) return;
  write_out_when_due(state->log, services.process.now_ms(services.process.context));
}

// The port as the operator knows it, for words of our own: COM n with the device file behind it
// where there is one ("COM5 (/dev/ttyS4)"), or the device file as given.
void word_port(const LoggerState& state, const SerialPortService& port, char* out, size_t size) {
  const char* file = port.device_file(port.context);
  if (state.port.device_file != nullptr) {
    std::snprintf(out, size, "%s", state.port.device_file);
  } else if (file != nullptr) {
    std::snprintf(out, size, "COM%d (%s)", int(state.port.number), file);
  } else {
    std::snprintf(out, size, "COM%d", int(state.port.number));
  }
}

// A time span as an operator reads it: "0.8 s", "2 min 05 s", "1 h 02 min".
void word_duration(int64_t ms, char* out, size_t size) {
  const int64_t seconds = ms / 1000;
  if (seconds < 60) {
    std::snprintf(out, size, "%d.%d s", int(seconds), int(ms / 100 % 10));
  } else if (seconds < 3600) {
    std::snprintf(out, size, "%d min %02d s", int(seconds / 60), int(seconds % 60));
  } else {
    std::snprintf(out, size, "%" PRId64 " h %02d min", seconds / 3600, int(seconds / 60 % 60));
  }
}

// What became of the console output that standard output did not take, said once each.
void tell_console_news(LoggerState* state, const LoggerServices& services) {
  const unsigned news = take_console_news(&state->console);
  if (news & kConsoleNewsDropping) {
    tell(services.output,
         "comlog: standard output takes nothing, and %u MiB of console output wait for it: later "
         "output is dropped until it takes them\n",
         unsigned(console_bound(&state->console) >> 20));
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
  if (console_has_news(&state->console)) tell_console_news(state, services);
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
  take(log_deadline(state->log));
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
  write_out_held_lines(state->log);
  drop_unfinished_line(&state->receiver);
  services.port.close(services.port.context);
  print_port_message(state, state->texts->cannot_be_opened, kPortWideTexts.cannot_be_opened);
  state->port_present = false;
  state->gone_at_ms = services.process.now_ms(services.process.context);
  state->next_reopen_ms = state->gone_at_ms + kReopenIntervalMs;
  char port[4200];
  word_port(*state, services.port, port, sizeof port);
  tell(services.output, "comlog: %s has gone; comlog tries to open it again, %d times a second\n",
       port, int(1000 / kReopenIntervalMs));
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
  print_port_message(state, state->texts->opened, kPortWideTexts.opened);
  state->port_present = true;
  char name[4200];
  char away[32];
  word_port(*state, port, name, sizeof name);
  word_duration(now - state->gone_at_ms, away, sizeof away);
  tell(services.output, "comlog: %s is back after %s; logging goes on\n", name, away);
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
  start_read(state->log);
  const size_t echo_length =
      receive_bytes(&state->receiver, state->log, state->received, got, state->echo);
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

  // The help and the version are written as they are, and end the run before anything else.
  const Request request = request_from_arguments(argc, argv);
  if (request != Request::kLog) {
    const char* text = request == Request::kHelp ? help_text(port.device_files) : version_text();
    write_fully(services.output.write, services.output.context, text, std::strlen(text));
    return 0;
  }
  state->port = port_name_from_arguments(argc, argv, port.device_files);
  format_device_path(state->port.number, state->device_path);
  state->port_shown = state->port.device_file ? state->port.device_file : state->device_path;
  const char* character_set = services.output.character_set(services.output.context);
  state->texts = &port_texts_for(console->to_terminal, character_set);
  state->wide_texts = port_texts_as_wide_text(console->to_terminal, character_set,
                                              services.output.write_wide != nullptr);
  if (!port.open(port.context, state->port)) {
    print_port_message(state, state->texts->cannot_be_opened, kPortWideTexts.cannot_be_opened);
    state->port_refused = true;
    return -1;
  }
  print_port_message(state, state->texts->opened, kPortWideTexts.opened);
  if (!port.configure(port.context)) {
    print_port_text(state, state->texts->settings_refused, kPortWideTexts.settings_refused);
    state->settings_refused = true;
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
  state->log = open_measurement_log(services.log_files, process);
  if (state->log == nullptr || !measurement_log_is_open(state->log)) {
    console_print(console, "cannot open ");
    console_print(console, kMeasurementLogName);
    console_print(console, "\n");
    port.close(port.context);
    return 1;
  }
  // A file beside test.dat that could not be made costs what it holds: the run goes on.
  tell_log_news(state, services);
  // The times are UTC where TZ names no zone of the system: said once, when test.csv is made.
  const char* zone = process.unknown_time_zone(process.context);
  if (zone != nullptr && companion_file(state->log, 0) != nullptr) {
    tell(services.output, "comlog: TZ=%s is no time zone this system has: test.csv has UTC times\n",
         zone);
  }
  start_receiving(&state->receiver);
  console_print(console, "running\n");
  tell_where_the_records_go(state, services);

  ConsoleQueue keys = services.keys.queue;
  for (;;) {
    bool busy = false;
    if (state->port_present) {
      busy = take_from_port(state, services);
    } else {
      try_to_reopen(state, services);
    }
    write_out_when_due(state, services);
    write_out_console_when_due(state, services);
    if (log_has_news(state->log)) tell_log_news(state, services);
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
  end_measurement_log(state->log);
  return measurement_log_is_whole(state->log) ? 0 : 1;
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
  if (state.settings_refused) {
    const char* why = services.port.why_settings_refused(services.port.context);
    if (why != nullptr) tell(services.output, "comlog: %s\n", why);
  }
  if (state.log != nullptr) {
    tell_log_news(&state, services);
    const ConsoleOutputService& output = services.output;
    if (measurement_log_is_open(state.log) && output.errors_to_terminal(output.context)) {
      const uint64_t held = records_in_measurement_log(state.log);
      char count[24];
      append_number(count, sizeof count, 0, int64_t(held));
      tell_pieces(output, {"comlog: ", kMeasurementLogName, " holds ", count,
                           held == 1 ? " record: " : " records: ",
                           measurement_log_place(state.log).path, "\n"});
    }
    close_measurement_log(state.log);
  }
  return status;
}
