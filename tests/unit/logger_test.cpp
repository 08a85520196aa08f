// The logger's routine over fake services: the order of start-up, every way the run ends, and the
// receive path, the keys and the console text as the loop uses them.
#include "logger/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "port_messages.h"
#include "record_text.h"
#include "scripted_console.h"
#include "scripted_log_file.h"

namespace {

const std::string kCom5 = "\\\\.\\COM5";
const std::string kBanner = "running /opt/comlog/comlog\r\n";
// Arrivals that are the port going away: found by the poll, or by the read of what the poll
// reported.
const std::string kGone = "<gone>";
const std::string kGoneWhileReading = "<gone while reading>";

struct FakeSystem;

// The scripted console queue, knowing the system it belongs to.
struct FakeConsole : ScriptedConsole {
  FakeSystem* system;
};

// Every service of the routine, scripted, writing what the routine asked of it into one list of
// events, in order. Console output is one event per run of writes.
struct FakeSystem {
  std::vector<std::string> events;

  bool refuse_open = false;
  bool refuse_configure = false;
  // What each poll finds queued: the bytes of one arrival, taken by reads of up to the count
  // asked. An empty arrival is a poll that finds nothing; kGone and kGoneWhileReading are the
  // port going away.
  std::deque<std::string> arrivals;
  // A read that gives less than the poll reported (a driver that lost the bytes).
  bool reads_give_nothing = false;
  // Once the port has gone: how many opens it refuses, and then how many times it refuses its
  // settings, before it is back.
  bool gone = false;
  int refused_reopens = 0;
  int refused_settings_on_return = 0;
  // Keys that come while the port is away, once this many refusals are left.
  std::vector<KeyRecord> keys_while_away;
  int keys_when_refusals_left = -1;
  std::vector<int64_t> open_times;
  int64_t clock_ms = 0;
  int64_t clock_step_ms = 50;  // how far it goes forward at every look

  // How the run is ended once the arrivals are over: a key, or a request from outside.
  std::vector<KeyRecord> keys_when_done;
  bool request_when_done = false;
  bool request_from_start = false;
  bool end_requested = false;
  int64_t request_at_ms = -1;  // a request from outside once the clock reads this

  bool output_is_terminal = true;
  bool output_stalled = false;  // standard output takes nothing (a pipe nobody reads)
  // The rests of a run with --wait: how long each may last, and whether it waits for standard
  // output too.
  std::vector<std::pair<int64_t, bool>> rests;
  bool errors_to_terminal = false;               // an operator reads standard error
  const char* character_set = "ANSI_X3.4-1968";  // the C locale's
  // Whether the platform opens ports by their device files, as Linux does.
  bool device_files = false;
  std::string output;
  // A console that takes UTF-16 text, as a Windows console does, or refuses it; the text it took,
  // as UTF-8, is also part of `output`.
  bool takes_wide_text = false;
  bool refuses_wide_text = false;
  std::string wide_output;
  std::string why_not_opened;        // what the platform says of a refused open; empty: nothing
  std::string why_settings_refused;  // likewise of refused settings
  std::string device_file;           // behind the port; empty: none

  ScriptedRun files;
  ScriptedLogFile& file = files.files[0];   // test.dat
  ScriptedLogFile& times = files.files[1];  // test.csv, unnoted
  // The time of day: 2026-12-09T18:30:01.234 in Tokyo, a millisecond later at every look.
  WallTime wall = {1796808601234000, 9 * 3600};
  int wall_looks = 0;
  std::string unknown_time_zone;  // TZ as given, when the system has no such zone
  FakeConsole console;

  FakeSystem() {
    console.system = this;
    file.events = &events;
    file.noted_as = "log";
  }
  FakeSystem(const FakeSystem&) = delete;

  void note(const std::string& event) { events.push_back(event); }

  void note_output(const char* bytes, size_t length) {
    output.append(bytes, length);
    if (events.empty() || events.back().rfind("out:", 0) != 0) events.push_back("out:");
    events.back().append(bytes, length);
  }

  // The arrivals are over: the run is asked to end the way the test says.
  void finish() {
    for (const KeyRecord& key : keys_when_done) console.queue.push_back(key);
    keys_when_done.clear();
    if (request_when_done) end_requested = true;
  }
};

FakeSystem* fake(void* context) {
  return static_cast<FakeSystem*>(context);
}

bool open_port(void* context, PortName port) {
  FakeSystem* system = fake(context);
  system->note("open " +
               (port.device_file ? std::string(port.device_file) : std::to_string(port.number)));
  system->open_times.push_back(system->clock_ms);
  if (!system->gone) return !system->refuse_open;
  if (system->refused_reopens > 0) {
    if (--system->refused_reopens == system->keys_when_refusals_left) {
      for (const KeyRecord& key : system->keys_while_away) system->console.queue.push_back(key);
    }
    return false;
  }
  return true;
}

bool configure_port(void* context) {
  FakeSystem* system = fake(context);
  system->note("configure");
  if (system->gone && system->refused_settings_on_return > 0) {
    --system->refused_settings_on_return;
    return false;
  }
  system->gone = false;
  return !system->refuse_configure;
}

void purge_port(void* context) {
  fake(context)->note("purge");
}

bool poll_port(void* context, uint32_t* queued) {
  FakeSystem* system = fake(context);
  *queued = 0;
  if (system->arrivals.empty()) {
    system->finish();
    return true;
  }
  const std::string& arrival = system->arrivals.front();
  if (arrival == kGone) {
    system->arrivals.pop_front();
    system->note("gone");
    system->gone = true;
    return false;
  }
  if (arrival.empty()) {
    system->arrivals.pop_front();
    return true;
  }
  *queued = arrival == kGoneWhileReading ? 3 : uint32_t(arrival.size());
  return true;
}

bool read_port(void* context, char* buffer, uint32_t count, uint32_t* got) {
  FakeSystem* system = fake(context);
  std::string& arrival = system->arrivals.front();
  if (arrival == kGoneWhileReading) {
    system->arrivals.pop_front();
    system->note("read " + std::to_string(count) + " gone");
    system->gone = true;
    *got = 0;
    return false;
  }
  *got = system->reads_give_nothing ? 0 : uint32_t(std::min<size_t>(count, arrival.size()));
  system->note("read " + std::to_string(count) + " got " + std::to_string(*got));
  arrival.copy(buffer, *got);
  arrival.erase(0, system->reads_give_nothing ? arrival.size() : *got);
  if (arrival.empty()) system->arrivals.pop_front();
  return true;
}

void close_port(void* context) {
  fake(context)->note("close port");
}

const char* why_not_opened(void* context) {
  const std::string& why = fake(context)->why_not_opened;
  return why.empty() ? nullptr : why.c_str();
}

const char* why_settings_refused(void* context) {
  const std::string& why = fake(context)->why_settings_refused;
  return why.empty() ? nullptr : why.c_str();
}

const char* device_file(void* context) {
  const std::string& file = fake(context)->device_file;
  return file.empty() ? nullptr : file.c_str();
}

bool output_is_terminal(void* context) {
  return fake(context)->output_is_terminal;
}

bool errors_to_terminal(void* context) {
  return fake(context)->errors_to_terminal;
}

const char* character_set(void* context) {
  return fake(context)->character_set;
}

long write_output(void* context, const char* bytes, size_t length) {
  if (fake(context)->output_stalled) return 0;
  fake(context)->note_output(bytes, length);
  return long(length);
}

// A stalled reader's wait lasts its whole time.
void wait_for_room(void* context, int64_t timeout_ms) {
  fake(context)->clock_ms += timeout_ms;
}

long write_error(void* context, const char* bytes, size_t length) {
  fake(context)->note("err:" + std::string(bytes, length));
  return long(length);
}

// UTF-16 text, kept as UTF-8 (the port messages are all in the Basic Multilingual Plane).
long write_wide(void* context, const char16_t* text, size_t length) {
  FakeSystem* system = fake(context);
  if (system->refuses_wide_text) return -1;
  std::string utf8;
  for (size_t i = 0; i < length; ++i) {
    const unsigned unit = text[i];
    if (unit < 0x80) {
      utf8 += char(unit);
    } else if (unit < 0x800) {
      utf8 += char(0xC0 | unit >> 6);
      utf8 += char(0x80 | (unit & 0x3F));
    } else {
      utf8 += char(0xE0 | unit >> 12);
      utf8 += char(0x80 | (unit >> 6 & 0x3F));
      utf8 += char(0x80 | (unit & 0x3F));
    }
  }
  system->wide_output += utf8;
  system->note_output(utf8.data(), utf8.size());
  return long(length);
}

// Its context is the console queue's.
void restore_keys(void* context) {
  static_cast<FakeConsole*>(static_cast<ScriptedConsole*>(context))->system->note("restore");
}

bool end_requested(void* context) {
  FakeSystem* system = fake(context);
  return system->request_from_start || system->end_requested ||
         (system->request_at_ms >= 0 && system->clock_ms >= system->request_at_ms);
}

int64_t now_ms(void* context) {
  FakeSystem* system = fake(context);
  return system->clock_ms += system->clock_step_ms;
}

void rest(void* context, int64_t timeout_ms, bool for_output) {
  FakeSystem* system = fake(context);
  system->note("rest");
  system->rests.emplace_back(timeout_ms, for_output);
}

WallTime wall_clock(void* context) {
  FakeSystem* system = fake(context);
  ++system->wall_looks;
  WallTime now = system->wall;
  system->wall.utc_us += 1000;
  return now;
}

const char* unknown_time_zone(void* context) {
  const std::string& zone = fake(context)->unknown_time_zone;
  return zone.empty() ? nullptr : zone.c_str();
}

LoggerServices services_of(FakeSystem* system) {
  return LoggerServices{
      {system, open_port, configure_port, purge_port, poll_port, read_port, close_port,
       why_not_opened, system->device_files, why_settings_refused, device_file},
      maker_of(&system->files),
      {system, output_is_terminal, errors_to_terminal, character_set, write_output, wait_for_room,
       write_error, system->takes_wide_text ? write_wide : nullptr},
      {queue_of(&system->console), restore_keys},
      {system, end_requested, now_ms, wall_clock, unknown_time_zone, rest},
  };
}

KeyRecord press(uint16_t vk, char character = 0, uint32_t state = 0) {
  return KeyRecord{true, true, vk, character, state};
}

const KeyRecord kQ = press('Q', 'q');

int run(FakeSystem* system, std::vector<std::string> arguments = {"5"}) {
  std::vector<char*> argv;
  std::string zero = "/opt/comlog/comlog";
  argv.push_back(zero.data());
  for (std::string& word : arguments) argv.push_back(word.data());
  argv.push_back(nullptr);
  return run_logger(int(argv.size() - 1), argv.data(), services_of(system));
}

using Events = std::vector<std::string>;

TEST(LoggerRoutine, StartsUpInOrderLogsAndShutsDownOnAQuitKey) {
  FakeSystem system;
  system.arrivals = {"600\r\n"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(system.events,
            (Events{"open 5", "out:" + port_opened_message(kCom5), "configure", "purge",
                    "out:" + kBanner, "create test.dat", "out:running\r\n", "read 5 got 5",
                    "out:600\r\r\n", "close port", "write log", "restore", "close log"}));
  EXPECT_EQ(system.file.contents, expected_record(600));
}

// The first argument names the port: a number, or a device file where the platform opens those;
// when the port cannot be opened, standard error says why, and how to give the port when it was
// given neither way.
TEST(LoggerRoutine, TheFirstArgumentNamesThePortAndARefusalSaysWhy) {
  const std::string wait_line =
      "       --wait rests until the port or a key has something, instead of keeping a core busy\n";
  const std::string usage =
      "err:usage: comlog [--wait] [PORT]   PORT is the number of the COM port (1 and up), 3 when "
      "none is given\n" +
      wait_line;
  const std::string usage_with_device_files =
      "err:usage: comlog [--wait] [PORT]   PORT is the number of the COM port (1 and up), 3 when "
      "none is given,\n                                or its device file (comlog /dev/ttyUSB0)\n" +
      wait_line;
  const struct {
    bool device_files;
    std::vector<std::string> arguments;
    const char* why;  // the platform's reason, or ""
    Events events;
  } cases[] = {
      {false,
       {},
       "/dev/ttyS2: No such file or directory",
       {"open 3", "out:" + port_not_opened_message("\\\\.\\COM3"), "restore",
        "err:comlog: /dev/ttyS2: No such file or directory\n"}},
      {false,
       {"12", "5"},
       "",
       {"open 12", "out:" + port_not_opened_message("\\\\.\\COM12"), "restore"}},
      // COM n in any case is port n, as the number alone is.
      {false, {"COM5"}, "", {"open 5", "out:" + port_not_opened_message(kCom5), "restore"}},
      {true,
       {"com12"},
       "",
       {"open 12", "out:" + port_not_opened_message("\\\\.\\COM12"), "restore"}},
      {false, {"cOm3"}, "", {"open 3", "out:" + port_not_opened_message("\\\\.\\COM3"), "restore"}},
      {false,
       {"COM"},
       "there is no COM0",
       {"open 0", "out:" + port_not_opened_message("\\\\.\\COM0"), "restore",
        "err:comlog: there is no COM0\n", usage}},
      {false,
       {"abc"},
       "",
       {"open 0", "out:" + port_not_opened_message("\\\\.\\COM0"), "restore", usage}},
      // Only the first argument asks for the help.
      {false,
       {"7", "--help"},
       "",
       {"open 7", "out:" + port_not_opened_message("\\\\.\\COM7"), "restore"}},
      {false,
       {" -1"},
       "",
       {"open -1", "out:" + port_not_opened_message("\\\\.\\COM-1"), "restore"}},
      // Without device files a path is not a number: COM0, as on Windows.
      {false,
       {"/dev/ttyUSB0"},
       "",
       {"open 0", "out:" + port_not_opened_message("\\\\.\\COM0"), "restore", usage}},
      // With them, the path is the port, named as given, and needs no usage.
      {true,
       {"/dev/ttyUSB0", "5"},
       "/dev/ttyUSB0: No such file or directory",
       {"open /dev/ttyUSB0", "out:" + port_not_opened_message("/dev/ttyUSB0"), "restore",
        "err:comlog: /dev/ttyUSB0: No such file or directory\n"}},
      {true,
       {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"},
       "",
       {"open /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0",
        "out:" +
            port_not_opened_message("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"),
        "restore"}},
      {true, {"7"}, "", {"open 7", "out:" + port_not_opened_message("\\\\.\\COM7"), "restore"}},
      {true,
       {"ttyUSB0"},
       "there is no COM0",
       {"open 0", "out:" + port_not_opened_message("\\\\.\\COM0"), "restore",
        "err:comlog: there is no COM0\n", usage_with_device_files}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    FakeSystem system;
    system.device_files = c.device_files;
    system.refuse_open = true;
    system.why_not_opened = c.why;
    EXPECT_EQ(run(&system, c.arguments), -1);
    EXPECT_EQ(system.events, c.events);
  }
}

// The help and the version go to standard output as they are, with nothing opened or created,
// and end the run with 0.
TEST(LoggerRoutine, TheHelpAndTheVersionAreWrittenAndNothingIsOpened) {
  const std::string help_start =
      "usage: comlog [OPTION] [PORT]\n"
      "Logs a measuring device on a serial port at 115200 baud, 8N1, DTR and RTS off, sending\n"
      "nothing. Each line is shown; its reading minus 512 goes to test.dat, and its time to\n"
      "test.csv, in the current folder. E, Q or X ends the run.\n"
      "  PORT          the COM port: 5, COM5 or com5 is COM5; COM3 when none is given\n";
  const std::string help_options =
      "  -h, --help    prints this help\n"
      "  --version     prints the version\n"
      "  --wait        rests until the port or a key has something, instead of keeping a core "
      "busy\n";
  const std::string help = help_start + help_options;
  const std::string help_with_device_files =
      help_start + "  PORT          or the port's device file, from /: /dev/ttyUSB0\n" +
      help_options;
  const std::string version = std::string("comlog ") + COMLOG_VERSION + "\n";
  const struct {
    bool device_files;
    std::vector<std::string> arguments;
    std::string output;
  } cases[] = {
      {false, {"--help"}, help},
      {false, {"-h", "5"}, help},
      {true, {"--help"}, help_with_device_files},
      {true, {"-h"}, help_with_device_files},
      {false, {"--version"}, version},
      {true, {"--version", "--help"}, version},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + (c.device_files ? ", device files" : ""));
    for (bool terminal : {true, false}) {
      FakeSystem system;
      system.device_files = c.device_files;
      system.output_is_terminal = terminal;
      system.errors_to_terminal = true;
      EXPECT_EQ(run(&system, c.arguments), 0);
      EXPECT_EQ(system.events, (Events{"out:" + c.output, "restore"}));
    }
  }
  EXPECT_EQ(std::string(COMLOG_VERSION).find_first_not_of("0123456789."), std::string::npos)
      << "not a version: " << COMLOG_VERSION;
}

// Every end: its status, what the console shows, and what became of the port and test.dat.
TEST(LoggerRoutine, EveryEndReleasesWhatWasTakenAndWritesOutEverything) {
  struct EndCase {
    const char* name;
    void (*arrange)(FakeSystem*);
    int status;
    Events events;
    std::string records;
  };
  const std::string opened = "out:" + port_opened_message(kCom5);
  const EndCase cases[] = {
      {"port cannot be opened",
       [](FakeSystem* s) { s->refuse_open = true; },
       -1,
       {"open 5", "out:" + port_not_opened_message(kCom5), "restore"},
       ""},
      {"settings refused",
       [](FakeSystem* s) { s->refuse_configure = true; },
       -1,
       {"open 5", opened, "configure", std::string("out:") + kSettingsRefusedMessage, "close port",
        "restore"},
       ""},
      {"settings refused, and the platform says why",
       [](FakeSystem* s) {
         s->refuse_configure = true;
         s->why_settings_refused = "/dev/null: not a serial port (Inappropriate ioctl for device)";
       },
       -1,
       {"open 5", opened, "configure", std::string("out:") + kSettingsRefusedMessage, "close port",
        "restore", "err:comlog: /dev/null: not a serial port (Inappropriate ioctl for device)\n"},
       ""},
      {"test.dat cannot be opened",
       [](FakeSystem* s) {
         s->file.refuse_make = true;
         s->file.failure.reason = "Permission denied";
       },
       1,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "create test.dat",
        "out:cannot open test.dat\r\n", "close port", "restore",
        "err:comlog: /lab/test.dat: Permission denied\n"},
       ""},
      {"a request before test.dat is opened",
       [](FakeSystem* s) { s->request_from_start = true; },
       0,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "close port", "restore"},
       ""},
      {"a request while logging",
       [](FakeSystem* s) {
         s->arrivals = {"1\r\n2\r\n"};
         s->request_when_done = true;
       },
       0,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "create test.dat",
        "out:running\r\n", "read 6 got 6", "out:1\r\r\n2\r\r\n", "close port", "write log",
        "restore", "close log"},
       expected_record(1) + expected_record(2)},
      {"a quit key with nothing received",
       [](FakeSystem* s) { s->keys_when_done = {press('X', 'X', kShift)}; },
       0,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "create test.dat",
        "out:running\r\n", "close port", "restore", "close log"},
       ""},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    c.arrange(&system);
    EXPECT_EQ(run(&system), c.status);
    EXPECT_EQ(system.events, c.events);
    EXPECT_EQ(system.file.contents, c.records);
    EXPECT_FALSE(system.file.open);
  }
}

// The port messages are UTF-8 only on a terminal that reads UTF-8, and Shift_JIS everywhere else;
// the echoed device text and the routine's own words are never converted.
TEST(LoggerRoutine, ThePortMessagesAreInTheTerminalsCharacterSet) {
  // How the console takes UTF-16 text: not at all (Linux), or as a Windows console does, which
  // may refuse it too.
  enum Wide { kNoText, kText, kRefused };
  const struct {
    bool terminal;
    const char* character_set;
    Wide wide;
    PortText text;
    bool as_text;  // written as UTF-16 text (shown here as UTF-8)
  } cases[] = {
      {true, "UTF-8", kNoText, PortText::kUtf8, false},
      {true, "utf8", kNoText, PortText::kUtf8, false},
      {true, "ANSI_X3.4-1968", kNoText, PortText::kShiftJis, false},
      {true, "ISO-8859-1", kNoText, PortText::kShiftJis, false},
      {true, "EUC-JP", kNoText, PortText::kShiftJis, false},
      {true, "UTF-16", kNoText, PortText::kShiftJis, false},
      {true, "UTF-8X", kNoText, PortText::kShiftJis, false},
      {true, "CP437", kNoText, PortText::kShiftJis, false},
      {true, "", kNoText, PortText::kShiftJis, false},
      {true, nullptr, kNoText, PortText::kShiftJis, false},
      {false, "UTF-8", kNoText, PortText::kShiftJis, false},
      {false, "ANSI_X3.4-1968", kNoText, PortText::kShiftJis, false},
      // A Windows console of any code page but 932 gets the text itself.
      {true, "CP437", kText, PortText::kUtf8, true},
      {true, "CP1252", kText, PortText::kUtf8, true},
      {true, "CP65001", kText, PortText::kUtf8, true},
      {true, "CP932", kText, PortText::kShiftJis, false},
      {true, "cp932", kText, PortText::kShiftJis, false},
      {true, nullptr, kText, PortText::kShiftJis, false},  // no console: a NUL device
      {false, "CP437", kText, PortText::kShiftJis, false},
      {true, "CP437", kRefused, PortText::kShiftJis, false},
  };
  // Shift_JIS and UTF-8 text from the device, which is echoed as it came.
  const std::string device_text = "\x83\x7C 600\r\n\xE3\x83\x9D 601\r\n";
  const std::string echo = "\x83\x7C 600\r\r\n\xE3\x83\x9D 601\r\r\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.terminal ? "terminal, " : "file, ") +
                 (c.character_set ? c.character_set : "null") +
                 (c.wide == kText      ? ", takes text"
                  : c.wide == kRefused ? ", refuses text"
                                       : ""));
    const auto arrange = [&](FakeSystem* system) {
      system->output_is_terminal = c.terminal;
      system->character_set = c.character_set;
      system->takes_wide_text = c.wide != kNoText;
      system->refuses_wide_text = c.wide == kRefused;
    };
    FakeSystem refused;
    arrange(&refused);
    refused.refuse_configure = true;
    EXPECT_EQ(run(&refused), -1);
    const std::string refusal =
        port_opened_message(kCom5, c.text) + settings_refused_message(c.text);
    EXPECT_EQ(refused.output, refusal);
    EXPECT_EQ(refused.wide_output, c.as_text ? refusal : "");

    FakeSystem unplugged;
    arrange(&unplugged);
    unplugged.arrivals = {device_text, kGone, "602\r\n"};
    unplugged.keys_when_done = {kQ};
    EXPECT_EQ(run(&unplugged), 0);
    EXPECT_EQ(unplugged.output, port_opened_message(kCom5, c.text) + kBanner + "running\r\n" +
                                    echo + port_not_opened_message(kCom5, c.text) +
                                    port_opened_message(kCom5, c.text) + "602\r\r\n");
    // Only the port messages are text: the echo and the routine's own words are bytes.
    EXPECT_EQ(unplugged.wide_output, c.as_text ? port_opened_message(kCom5, c.text) +
                                                     port_not_opened_message(kCom5, c.text) +
                                                     port_opened_message(kCom5, c.text)
                                               : "");
  }
}

TEST(LoggerRoutine, HeldConsoleOutputComesAfterTheKeyModeIsPutBack) {
  FakeSystem system;
  system.output_is_terminal = false;
  system.arrivals = {"600\r\n"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  // The files are closed last, once everything has been said.
  ASSERT_GE(system.events.size(), 3u);
  EXPECT_EQ(system.events[system.events.size() - 3], "restore");
  EXPECT_EQ(system.events[system.events.size() - 2],
            "out:" + port_opened_message(kCom5) + kBanner + "running\r\n600\r\r\n");
  EXPECT_EQ(system.events.back(), "close log");
}

TEST(LoggerRoutine, EachReadIsEchoedInOneWriteAndEveryLineLogged) {
  FakeSystem system;
  system.arrivals = {"1\r\n2", "", "\r\n3\r\n", "4"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  const Events loop(system.events.begin() + 7, system.events.end());
  EXPECT_EQ(loop, (Events{"read 4 got 4", "out:1\r\r\n", "read 5 got 5", "out:2\r\r\n3\r\r\n",
                          "read 1 got 1", "close port", "write log", "restore", "close log"}));
  // The head that never got its LF is neither echoed nor logged.
  EXPECT_EQ(system.file.contents, expected_record(1) + expected_record(2) + expected_record(3));
}

// The events of one kind, in order.
Events events_starting(const Events& events, const std::string& start) {
  Events found;
  for (const std::string& event : events) {
    if (event.rfind(start, 0) == 0) found.push_back(event);
  }
  return found;
}

TEST(LoggerRoutine, MoreThanTheReceiveBufferHoldsIsTakenOverSeveralTurns) {
  FakeSystem system;
  std::string lines;
  for (int i = 0; i < 500; ++i) lines += std::to_string(100 + i) + "\n";
  system.arrivals = {lines};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(events_starting(system.events, "read "),
            (Events{"read 999 got 999", "read 999 got 999", "read 2 got 2"}));
  EXPECT_EQ(system.file.contents, expected_records(100, 500));
}

TEST(LoggerRoutine, AReadThatGivesLessThanThePollSaidAddsOnlyWhatCame) {
  FakeSystem system;
  system.arrivals = {"lost\r\n"};
  system.reads_give_nothing = true;
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(system.events[7], "read 6 got 0");
  EXPECT_EQ(system.events[8], "close port");
  EXPECT_EQ(system.file.contents, "");
}

TEST(LoggerRoutine, OtherKeysAreAnsweredAndTwoCodeKeysTakeTwoTurns) {
  FakeSystem system;
  // Space, then Page Down: its 0 prints a notice and its second code, Q, ends the run.
  system.keys_when_done = {press(' ', ' '), press(0x22)};
  EXPECT_EQ(run(&system), 0);
  const Events tail(system.events.end() - 5, system.events.end());
  EXPECT_EQ(tail, (Events{"create test.dat", "out:running\r\nrunning\r\nrunning\r\n", "close port",
                          "restore", "close log"}));
}

// The part of the events from the first of `first` on.
Events events_from(const Events& events, const std::string& first) {
  Events found;
  for (const std::string& event : events) {
    if (!found.empty() || event == first) found.push_back(event);
  }
  return found;
}

// COM n, or a device file named by its path: the same port is opened again under the same name.
TEST(LoggerRoutine, APortThatGoesAwayIsReleasedAndOpenedAgainByTheClock) {
  const struct {
    std::string argument;
    std::string opened;  // what the open is asked for
    std::string shown;   // what the messages name
    std::string told;    // what standard error calls it
  } cases[] = {
      {"5", "open 5", kCom5, "COM5 (/lab/ports/com5)"},
      {"/dev/serial/by-id/usb-FTDI-if00", "open /dev/serial/by-id/usb-FTDI-if00",
       "/dev/serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    FakeSystem system;
    system.device_files = true;
    system.device_file = "/lab/ports/com5";
    system.arrivals = {"1\r\n2\r\n3", kGone, "4\r\n"};
    system.refused_reopens = 3;
    system.keys_when_done = {kQ};
    EXPECT_EQ(run(&system, {c.argument}), 0);
    EXPECT_EQ(system.events.front(), c.opened);
    // The held records go to disk at once, the half line "3" is dropped, the port is released,
    // and each attempt to open it again comes 200 ms after the one before. Standard error says
    // that the port went, and that it is back.
    EXPECT_EQ(
        events_from(system.events, "gone"),
        (Events{"gone", "write log", "close port", "out:" + port_not_opened_message(c.shown),
                "err:comlog: " + c.told +
                    " has gone; comlog tries to open it again, 5 "
                    "times a second\n",
                c.opened, c.opened, c.opened, c.opened, "configure", "purge",
                "out:" + port_opened_message(c.shown),
                "err:comlog: " + c.told + " is back after 0.8 s; logging goes on\n", "read 3 got 3",
                "out:4\r\r\n", "close port", "write log", "restore", "close log"}));
    EXPECT_EQ(system.file.contents, expected_record(1) + expected_record(2) + expected_record(4));
    ASSERT_EQ(system.open_times.size(), 5u);
    for (size_t i = 2; i < system.open_times.size(); ++i) {
      EXPECT_GE(system.open_times[i] - system.open_times[i - 1], 200);
    }
  }
}

TEST(LoggerRoutine, APortThatComesBackRefusingItsSettingsIsStillGone) {
  FakeSystem system;
  system.arrivals = {"1\r\n", kGone, "2\r\n"};
  system.refused_settings_on_return = 1;
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  // A port that refuses its settings is still gone: nothing is said of it until it is back.
  EXPECT_EQ(events_from(system.events, "gone"),
            (Events{"gone", "write log", "close port", "out:" + port_not_opened_message(kCom5),
                    "err:comlog: COM5 has gone; comlog tries to open it again, 5 times a second\n",
                    "open 5", "configure", "close port", "open 5", "configure", "purge",
                    "out:" + port_opened_message(kCom5),
                    "err:comlog: COM5 is back after 0.4 s; logging goes on\n", "read 3 got 3",
                    "out:2\r\r\n", "close port", "write log", "restore", "close log"}));
  EXPECT_EQ(system.file.contents, expected_record(1) + expected_record(2));
}

TEST(LoggerRoutine, AReadThatFindsThePortGoneLosesItToo) {
  FakeSystem system;
  system.arrivals = {kGoneWhileReading, "5\r\n"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(events_from(system.events, "read 3 gone"),
            (Events{"read 3 gone", "close port", "out:" + port_not_opened_message(kCom5),
                    "err:comlog: COM5 has gone; comlog tries to open it again, 5 times a second\n",
                    "open 5", "configure", "purge", "out:" + port_opened_message(kCom5),
                    "err:comlog: COM5 is back after 0.2 s; logging goes on\n", "read 3 got 3",
                    "out:5\r\r\n", "close port", "write log", "restore", "close log"}));
}

// How long the port was gone, as the operator reads it, by the routine's clock.
TEST(LoggerRoutine, HowLongThePortWasGoneIsToldWhenItIsBack) {
  const struct {
    int64_t clock_step_ms;
    int refused_reopens;
    const char* away;
  } cases[] = {
      {50, 0, "0.2 s"},
      {50, 3, "0.8 s"},
      {1000, 58, "59.0 s"},
      {1000, 59, "1 min 00 s"},
      {1000, 124, "2 min 05 s"},
      {60000, 61, "1 h 02 min"},
      {3600000, 49, "50 h 00 min"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.away);
    FakeSystem system;
    system.clock_step_ms = c.clock_step_ms;
    system.arrivals = {"1\r\n", kGone, "2\r\n"};
    system.refused_reopens = c.refused_reopens;
    system.keys_when_done = {kQ};
    EXPECT_EQ(run(&system), 0);
    EXPECT_EQ(
        events_starting(system.events, "err:"),
        (Events{"err:comlog: COM5 has gone; comlog tries to open it again, 5 times a second\n",
                std::string("err:comlog: COM5 is back after ") + c.away + "; logging goes on\n"}));
    EXPECT_EQ(system.file.contents, expected_record(1) + expected_record(2));
  }
}

TEST(LoggerRoutine, WhileThePortIsGoneKeysAndRequestsStillEndTheRun) {
  const struct {
    const char* name;
    bool quit_key;
  } cases[] = {{"quit key", true}, {"request from outside", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.arrivals = {"7\r\n", kGone};
    system.refused_reopens = 1000;
    // The port refuses three attempts to open it again before the end comes.
    if (c.quit_key) {
      system.keys_while_away = {press(' ', ' '), kQ};
      system.keys_when_refusals_left = 997;
    } else {
      system.request_at_ms = 700;
    }
    EXPECT_EQ(run(&system), 0);
    EXPECT_EQ(events_starting(system.events, "open 5"), Events(4, "open 5"));
    if (c.quit_key) {
      EXPECT_EQ(system.events[system.events.size() - 3], "out:running\r\n");
    }
    // Released once, when it went: the end of the run does not close it again.
    EXPECT_EQ(events_starting(system.events, "close port"), Events{"close port"});
    EXPECT_EQ(system.events[system.events.size() - 2], "restore");
    EXPECT_EQ(system.file.contents, expected_record(7));
    EXPECT_FALSE(system.file.open);
  }
}

// Why test.dat cannot be opened, in words: standard output keeps its message, standard error
// names the file, or its folder, and what stands in the way.
TEST(LoggerRoutine, ALogThatCannotBeOpenedSaysWhy) {
  const struct {
    LogFileFailure failure;
    std::string said;
  } cases[] = {
      {{LogFileTrouble::kSystem, "/lab/test.dat", "Is a directory", nullptr, 0, 0},
       "/lab/test.dat: Is a directory"},
      {{LogFileTrouble::kNoNewFile, "/lab/run 1/test.dat.new", "Permission denied", nullptr, 0, 0},
       "cannot make a new file in /lab/run 1: Permission denied"},
      {{LogFileTrouble::kNoNewFile, "Z:\\lab\\test.dat", "Access is denied.", nullptr, 0, 0},
       "cannot make a new file in Z:\\lab: Access is denied."},
      {{LogFileTrouble::kHeldByAnotherLogger, "/lab/test.dat", "", nullptr, 4321, 0},
       "/lab/test.dat: another comlog is logging into it (process 4321)"},
      {{LogFileTrouble::kHeldByAnotherLogger, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: another comlog is logging into it"},
      {{LogFileTrouble::kHeldByAnotherProgram, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: another program holds it locked"},
      {{LogFileTrouble::kReadOnly, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: it is read-only, and kept as it is"},
      {{LogFileTrouble::kFolderInTheWay, "/lab/test.csv.3", "", nullptr, 0, 0},
       "/lab/test.csv.3 is a folder: the earlier measurements cannot be kept"},
      {{LogFileTrouble::kKeepsChanging, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: another file had its name at every look"},
      {{LogFileTrouble::kPlantedLink, "/shared/test.dat", "", nullptr, 0, 1000},
       "/shared/test.dat: a link of user 1000 in a sticky folder that others may write: not "
       "followed"},
      {{LogFileTrouble::kDanglingLink, "/lab/test.dat", "", "/media/stick/run.dat", 0, 0},
       "/lab/test.dat: a link to /media/stick/run.dat, which does not exist"},
      {{LogFileTrouble::kLinkLoop, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: too many links on the way"},
      {{LogFileTrouble::kFifoWithoutReader, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: a FIFO that no program reads: writing it would wait"},
      {{LogFileTrouble::kNotAFile, "/lab/test.dat", "", nullptr, 0, 0},
       "/lab/test.dat: not a file (a disk, say): nothing is written there"},
      {{LogFileTrouble::kLeftOver, "/lab/test.dat.new", "", nullptr, 0, 0},
       "/lab/test.dat.new is in the way of a new file: it is kept; move it away"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.said);
    FakeSystem system;
    system.file.refuse_make = true;
    system.file.failure = c.failure;
    EXPECT_EQ(run(&system), 1);
    EXPECT_EQ(system.events.back(), "err:comlog: " + c.said + "\n");
    EXPECT_EQ(system.events[system.events.size() - 4], "out:cannot open test.dat\r\n");
  }
}

// A disk that refuses: the records wait in memory and standard error says so, once when writing
// fails, once when it works again, and at the end what could not be written; such a run ends
// with the log's failure status. Standard output is as it always is.
TEST(LoggerRoutine, ADiskThatRefusesIsToldOfAndARunThatLosesRecordsFails) {
  const std::string held =
      "err:comlog: /lab/test.dat: No space left on device: the records are held and written once "
      "the file takes them\n";
  const struct {
    const char* name;
    std::deque<long> takes;  // each write-out's first write
    int status;
    Events told;
    std::string records;
  } cases[] = {
      {"full to the end",
       std::deque<long>(100, -1),
       1,
       {held, "err:comlog: 3 records could not be written to test.dat\n"},
       ""},
      {"room again a second later",
       {-1},
       0,
       {held, "err:comlog: test.dat takes records again: 3 held records written\n"},
       expected_records(600, 3)},
      {"room again only at the end",
       {-1, -1},
       0,
       {held, "err:comlog: test.dat takes records again: 3 held records written\n"},
       expected_records(600, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.file.takes = c.takes;
    // The lines, and then enough quiet turns for two seconds by the fake clock.
    system.arrivals = {"600\r\n601\r\n602\r\n"};
    system.arrivals.insert(system.arrivals.end(), 45, "");
    system.keys_when_done = {kQ};
    EXPECT_EQ(run(&system), c.status);
    EXPECT_EQ(events_starting(system.events, "err:"), c.told);
    EXPECT_EQ(system.file.contents, c.records);
    EXPECT_EQ(system.output.substr(system.output.size() - 6), "602\r\r\n");
  }
}

// An operator at a terminal is told, on standard error, where the records go and how the run
// ends, and at the end what test.dat holds; standard output is as ever, and a file or a pipe
// as standard error gets neither word.
TEST(LoggerRoutine, AnOperatorAtATerminalIsToldWhereTheRecordsGoAndWhatTheyCameTo) {
  const std::string keys = "; q, e or x ends the run\n";
  const struct {
    const char* name;
    bool errors_to_terminal;
    bool kept_previous;
    std::string lines;
    Events told;
  } cases[] = {
      {"a terminal, a first run",
       true,
       false,
       "600\r\n601\r\n",
       {"err:comlog: logging into /lab/test.dat and test.csv" + keys,
        "err:comlog: test.dat holds 2 records: /lab/test.dat\n"}},
      {"a terminal, the run before kept",
       true,
       true,
       "600\r\n",
       {"err:comlog: logging into /lab/test.dat and test.csv (the previous run "
        "is test.dat.1)" +
            keys,
        "err:comlog: test.dat holds 1 record: /lab/test.dat\n"}},
      {"a file or a pipe", false, true, "600\r\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem system;
    system.errors_to_terminal = c.errors_to_terminal;
    system.file.kept_previous = c.kept_previous;
    system.arrivals = {c.lines};
    system.keys_when_done = {kQ};
    EXPECT_EQ(run(&system), 0);
    EXPECT_EQ(events_starting(system.events, "err:"), c.told);
    // The first word comes right after the banner, before anything is logged.
    if (c.errors_to_terminal) {
      EXPECT_EQ(system.events[7], c.told.front());
      EXPECT_EQ(system.events[6], "out:running\r\n");
    }
  }
  // A run that never logged says nothing of test.dat.
  FakeSystem refused;
  refused.errors_to_terminal = true;
  refused.refuse_open = true;
  EXPECT_EQ(run(&refused), -1);
  EXPECT_EQ(events_starting(refused.events, "err:"), Events{});
}

// test.csv: a row for every record, in the same order, with the time of the read that completed
// its line, the clock read once per such read; a test.csv that cannot be made costs the times
// only, said once on standard error.
TEST(LoggerRoutine, EveryRecordHasItsRowWithTheTimeOfItsRead) {
  FakeSystem system;
  system.arrivals = {"600\r\n601\r\n", "", "6", "02\r\n"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(system.wall_looks, 2);
  EXPECT_EQ(system.times.name, "test.csv");
  EXPECT_EQ(system.times.contents,
            "time,utc_offset_minutes,reading,value\r\n"
            "2026-12-09T18:30:01.234,540,600,88\r\n"
            "2026-12-09T18:30:01.234,540,601,89\r\n"
            "2026-12-09T18:30:01.235,540,602,90\r\n");
  EXPECT_EQ(system.file.contents, expected_records(600, 3));
  EXPECT_FALSE(system.times.open);

  FakeSystem without;
  without.times.refuse_make = true;
  without.times.failure = {LogFileTrouble::kReadOnly, "/lab/test.csv", "", nullptr, 0, 0};
  without.arrivals = {"600\r\n"};
  without.keys_when_done = {kQ};
  EXPECT_EQ(run(&without), 0);
  EXPECT_EQ(events_starting(without.events, "err:"),
            Events{"err:comlog: /lab/test.csv: it is read-only, and kept as it is: the run goes on "
                   "without the times in test.csv\n"});
  EXPECT_EQ(without.wall_looks, 0);
  EXPECT_EQ(without.file.contents, expected_record(600));

  // A TZ that names no zone this system has gives UTC times: said once, at the start, and only
  // where test.csv is made.
  for (bool csv_made : {true, false}) {
    SCOPED_TRACE(csv_made ? "test.csv made" : "no test.csv");
    FakeSystem nowhere;
    nowhere.unknown_time_zone = "Nowhere/City";
    nowhere.times.refuse_make = !csv_made;
    nowhere.arrivals = {"600\r\n", "601\r\n"};
    nowhere.keys_when_done = {kQ};
    EXPECT_EQ(run(&nowhere), 0);
    const Events told = events_starting(nowhere.events, "err:comlog: TZ=");
    EXPECT_EQ(told, csv_made ? Events{"err:comlog: TZ=Nowhere/City is no time zone this system "
                                      "has: test.csv has UTC times\n"}
                             : Events{});
  }
}

// The console output into a file or a pipe goes out once its oldest byte has waited a second,
// as test.dat's records do, not only when 512 bytes have gathered or the run ends.
TEST(LoggerRoutine, EchoIntoAFileOrPipeGoesOutWithinASecond) {
  FakeSystem system;
  system.output_is_terminal = false;
  system.arrivals = {"600\r\n"};
  // Quiet turns for two seconds and more by the fake clock.
  system.arrivals.insert(system.arrivals.end(), 45, "");
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  const Events shown = events_starting(system.events, "out:");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "out:" + port_opened_message(kCom5) + kBanner + "running\r\n600\r\r\n");
  const Events after = events_from(system.events, shown[0]);
  EXPECT_EQ(std::find(after.begin(), after.end(), "close port") == after.end(), false)
      << "the echo came only at the end";
}

// A standard output that takes nothing (a pipe nobody reads) holds nothing up: every line is
// logged, the quit key ends the run at once, the key mode goes back, and standard error says how
// much of the console output the reader never got.
TEST(LoggerRoutine, AStalledStandardOutputNeverStopsTheLoop) {
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    FakeSystem system;
    system.output_is_terminal = terminal;
    system.output_stalled = true;
    for (int i = 0; i < 300; ++i) system.arrivals.push_back(std::to_string(600 + i) + "\r\n");
    system.keys_when_done = {kQ};
    EXPECT_EQ(run(&system), 0);
    EXPECT_EQ(system.file.contents, expected_records(600, 300));
    EXPECT_EQ(events_starting(system.events, "out:"), Events{});
    const std::string held = port_opened_message(kCom5) + kBanner + "running\r\n";
    const size_t echo = 300 * std::string("600\r\r\n").size();
    EXPECT_EQ(events_from(system.events, "restore"),
              (Events{"restore",
                      "err:comlog: " + std::to_string(held.size() + echo) +
                          " bytes of console output were not written: standard "
                          "output took none for a second\n",
                      "close log"}));
  }
}

// With --wait before the port, an idle turn rests: until the next deadline of the clock while
// something waits for it (the held records' second, the port's next try while it is gone),
// without a limit otherwise; everything written is what the busy loop writes.
TEST(LoggerRoutine, WithWaitAnIdleTurnRestsAndTheRunWritesWhatTheBusyLoopWrites) {
  const std::deque<std::string> arrivals = {"600\r\n", "",        "", "", "601\r\n",
                                            kGone,     "602\r\n", "", ""};
  FakeSystem busy;
  busy.arrivals = arrivals;
  busy.refused_reopens = 2;
  busy.keys_when_done = {press(' ', ' '), kQ};
  EXPECT_EQ(run(&busy, {"5"}), 0);
  EXPECT_TRUE(busy.rests.empty());

  FakeSystem resting;
  resting.arrivals = arrivals;
  resting.refused_reopens = 2;
  resting.keys_when_done = {press(' ', ' '), kQ};
  EXPECT_EQ(run(&resting, {"--wait", "5"}), 0);
  EXPECT_EQ(resting.events.front(), "open 5");
  EXPECT_EQ(resting.output, busy.output);
  EXPECT_EQ(resting.file.contents, busy.file.contents);
  EXPECT_EQ(resting.times.contents.size(), busy.times.contents.size());
  // The events without the rests, output that a rest cut in two joined again.
  Events without_rests;
  for (const std::string& event : resting.events) {
    if (event == "rest") continue;
    if (event.rfind("out:", 0) == 0 && !without_rests.empty() &&
        without_rests.back().rfind("out:", 0) == 0) {
      without_rests.back() += event.substr(4);
    } else {
      without_rests.push_back(event);
    }
  }
  EXPECT_EQ(without_rests, busy.events);
  ASSERT_FALSE(resting.rests.empty());
  bool until_a_deadline = false;
  for (const auto& [timeout, for_output] : resting.rests) {
    EXPECT_FALSE(for_output) << "the terminal took everything";
    EXPECT_TRUE(timeout == -1 || (timeout > 0 && timeout <= 1000)) << timeout;
    until_a_deadline |= timeout > 0;
  }
  EXPECT_TRUE(until_a_deadline);
  // While the port is gone, no rest lasts past its next try.
  const Events gone = events_from(resting.events, "gone");
  const Events away(gone.begin(), std::find(gone.begin(), gone.end(), "configure"));
  EXPECT_NE(std::find(away.begin(), away.end(), "rest"), away.end());
}

// A rest also waits for a standard output that has text waiting for it.
TEST(LoggerRoutine, WithWaitARestWaitsForAStalledStandardOutputToo) {
  FakeSystem system;
  system.output_stalled = true;
  system.arrivals = {"600\r\n", "", ""};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system, {"--wait", "5"}), 0);
  ASSERT_FALSE(system.rests.empty());
  for (const auto& [timeout, for_output] : system.rests) EXPECT_TRUE(for_output);
  EXPECT_EQ(system.file.contents, expected_record(600));
}

}  // namespace
