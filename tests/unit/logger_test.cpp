// The logger's routine over fake services: the order of start-up, every way the run ends, and the
// receive path, the keys and the console text as the loop uses them.
#include "logger/logger.h"

#include <gtest/gtest.h>

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
  // asked. An empty arrival is a poll that finds nothing.
  std::deque<std::string> arrivals;
  // A read that gives less than the poll reported (a driver that lost the bytes).
  bool reads_give_nothing = false;

  // How the run is ended once the arrivals are over: a key, or a request from outside.
  std::vector<KeyRecord> keys_when_done;
  bool request_when_done = false;
  bool request_from_start = false;
  bool end_requested = false;

  bool output_is_terminal = true;
  std::string output;

  ScriptedLogFile file;
  FakeConsole console;

  FakeSystem() { console.system = this; }
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

bool open_port(void* context, int32_t port_number) {
  fake(context)->note("open " + std::to_string(port_number));
  return !fake(context)->refuse_open;
}

bool configure_port(void* context) {
  fake(context)->note("configure");
  return !fake(context)->refuse_configure;
}

void purge_port(void* context) {
  fake(context)->note("purge");
}

uint32_t poll_port(void* context) {
  FakeSystem* system = fake(context);
  while (!system->arrivals.empty() && system->arrivals.front().empty()) {
    system->arrivals.pop_front();
    return 0;
  }
  if (system->arrivals.empty()) {
    system->finish();
    return 0;
  }
  return uint32_t(system->arrivals.front().size());
}

uint32_t read_port(void* context, char* buffer, uint32_t count) {
  FakeSystem* system = fake(context);
  std::string& arrival = system->arrivals.front();
  const size_t got = system->reads_give_nothing ? 0 : std::min<size_t>(count, arrival.size());
  system->note("read " + std::to_string(count) + " got " + std::to_string(got));
  arrival.copy(buffer, got);
  arrival.erase(0, system->reads_give_nothing ? arrival.size() : got);
  if (arrival.empty()) system->arrivals.pop_front();
  return uint32_t(got);
}

void close_port(void* context) {
  fake(context)->note("close port");
}

bool create_file(void* context, const char* path) {
  FakeSystem* system = fake(context);
  system->note(std::string("create ") + path);
  return log_file_of(&system->file).create(&system->file, path);
}

long write_file(void* context, const char* bytes, size_t length) {
  FakeSystem* system = fake(context);
  return log_file_of(&system->file).write(&system->file, bytes, length);
}

void close_file(void* context) {
  FakeSystem* system = fake(context);
  system->note("close log");
  log_file_of(&system->file).close(&system->file);
}

bool output_is_terminal(void* context) {
  return fake(context)->output_is_terminal;
}

long write_output(void* context, const char* bytes, size_t length) {
  fake(context)->note_output(bytes, length);
  return long(length);
}

// Its context is the console queue's.
void restore_keys(void* context) {
  static_cast<FakeConsole*>(static_cast<ScriptedConsole*>(context))->system->note("restore");
}

bool end_requested(void* context) {
  FakeSystem* system = fake(context);
  return system->request_from_start || system->end_requested;
}

LoggerServices services_of(FakeSystem* system) {
  return LoggerServices{
      {system, open_port, configure_port, purge_port, poll_port, read_port, close_port},
      {system, create_file, write_file, close_file},
      {system, output_is_terminal, write_output},
      {queue_of(&system->console), restore_keys},
      {system, end_requested},
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
                    "out:600\r\r\n", "close port", "close log", "restore"}));
  EXPECT_EQ(system.file.contents, expected_record(600));
}

TEST(LoggerRoutine, TheFirstArgumentNamesThePort) {
  const struct {
    std::vector<std::string> arguments;
    const char* opened;
    const char* path;
  } cases[] = {
      {{}, "open 3", "\\\\.\\COM3"},
      {{"12", "5"}, "open 12", "\\\\.\\COM12"},
      {{"COM5"}, "open 0", "\\\\.\\COM0"},
      {{"-1"}, "open -1", "\\\\.\\COM-1"},
  };
  for (const auto& c : cases) {
    FakeSystem system;
    system.refuse_open = true;
    EXPECT_EQ(run(&system, c.arguments), -1);
    EXPECT_EQ(system.events,
              (Events{c.opened, "out:" + port_not_opened_message(c.path), "restore"}));
  }
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
      {"test.dat cannot be opened",
       [](FakeSystem* s) { s->file.refuse_create = true; },
       1,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "create test.dat",
        "out:cannot open test.dat\r\n", "close port", "restore"},
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
        "out:running\r\n", "read 6 got 6", "out:1\r\r\n2\r\r\n", "close port", "close log",
        "restore"},
       expected_record(1) + expected_record(2)},
      {"a quit key with nothing received",
       [](FakeSystem* s) { s->keys_when_done = {press('X', 'X', kShift)}; },
       0,
       {"open 5", opened, "configure", "purge", "out:" + kBanner, "create test.dat",
        "out:running\r\n", "close port", "close log", "restore"},
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

TEST(LoggerRoutine, HeldConsoleOutputComesAfterTheKeyModeIsPutBack) {
  FakeSystem system;
  system.output_is_terminal = false;
  system.arrivals = {"600\r\n"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  ASSERT_GE(system.events.size(), 2u);
  EXPECT_EQ(system.events[system.events.size() - 2], "restore");
  EXPECT_EQ(system.events.back(),
            "out:" + port_opened_message(kCom5) + kBanner + "running\r\n600\r\r\n");
}

TEST(LoggerRoutine, EachReadIsEchoedInOneWriteAndEveryLineLogged) {
  FakeSystem system;
  system.arrivals = {"1\r\n2", "", "\r\n3\r\n", "4"};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  const Events loop(system.events.begin() + 7, system.events.end());
  EXPECT_EQ(loop, (Events{"read 4 got 4", "out:1\r\r\n", "read 5 got 5", "out:2\r\r\n3\r\r\n",
                          "read 1 got 1", "close port", "close log", "restore"}));
  // The head that never got its LF is neither echoed nor logged.
  EXPECT_EQ(system.file.contents, expected_record(1) + expected_record(2) + expected_record(3));
}

TEST(LoggerRoutine, MoreThanTheReceiveBufferHoldsIsTakenOverSeveralTurns) {
  FakeSystem system;
  std::string lines;
  for (int i = 0; i < 500; ++i) lines += std::to_string(100 + i) + "\n";
  system.arrivals = {lines};
  system.keys_when_done = {kQ};
  EXPECT_EQ(run(&system), 0);
  EXPECT_EQ(system.events[7], "read 999 got 999");
  EXPECT_EQ(system.events[9], "read 999 got 999");
  EXPECT_EQ(system.events[11], "read 2 got 2");
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
                          "close log", "restore"}));
}

}  // namespace
