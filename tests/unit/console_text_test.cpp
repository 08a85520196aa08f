#include "logger/console_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Standard output that keeps every write, taking at most `takes` bytes (or UTF-16 units) of each
// and `room` bytes in all before it stalls (a pipe nobody reads); each wait for room lasts its
// whole time by the fake clock and makes `room_per_wait` more room. A console takes UTF-16 text
// where `wide` says so, refusing it when `refuses_wide`.
struct FakeOutput {
  bool terminal = true;
  size_t takes = SIZE_MAX;
  size_t room = SIZE_MAX;
  size_t room_per_wait = 0;
  int64_t clock_ms = 0;
  int waits = 0;
  std::vector<std::string> writes;
  bool wide = false;
  bool refuses_wide = false;
  std::u16string wide_text;
  int wide_writes = 0;
};

long write_wide(void* c, const char16_t* text, size_t length) {
  auto* output = static_cast<FakeOutput*>(c);
  if (output->refuses_wide) return -1;
  const size_t taken = length < output->takes ? length : output->takes;
  output->wide_text.append(text, taken);
  ++output->wide_writes;
  return long(taken);
}

ConsoleOutputService output_of(FakeOutput* output) {
  return ConsoleOutputService{output,
                              [](void* c) { return static_cast<FakeOutput*>(c)->terminal; },
                              [](void*) { return false; },
                              [](void*) -> const char* { return nullptr; },
                              [](void* c, const char* bytes, size_t length) {
                                auto* output = static_cast<FakeOutput*>(c);
                                size_t taken = length < output->takes ? length : output->takes;
                                if (taken > output->room) taken = output->room;
                                if (taken == 0) return 0L;
                                output->room -= taken;
                                output->writes.emplace_back(bytes, taken);
                                return long(taken);
                              },
                              [](void* c, int64_t timeout_ms) {
                                auto* output = static_cast<FakeOutput*>(c);
                                ++output->waits;
                                output->clock_ms += timeout_ms;
                                output->room += output->room_per_wait;
                              },
                              [](void*, const char*, size_t) { return -1L; },
                              output->wide ? write_wide : nullptr};
}

ProcessService clock_of(FakeOutput* output) {
  ProcessService clock = {};
  clock.context = output;
  clock.now_ms = [](void* c) { return static_cast<FakeOutput*>(c)->clock_ms; };
  return clock;
}

std::string joined(const std::vector<std::string>& writes) {
  std::string all;
  for (const std::string& write : writes) all += write;
  return all;
}

// `count` lines of "1234", as standard output gets them.
std::string lines_shown(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "1234\r\n";
  return text;
}

TEST(ConsoleText, ATerminalGetsEachPrintAtOnceWithLfAsCrLf) {
  FakeOutput output;
  ConsoleText console;
  start_console_text(&console, output_of(&output));
  console_print(&console, "running\n");
  console_write(&console, "600\r\n", 5);
  EXPECT_EQ(output.writes, (std::vector<std::string>{"running\r\n", "600\r\r\n"}));
  EXPECT_FALSE(console_waiting(&console));
  EXPECT_EQ(console_finish(&console, clock_of(&output), false), 0u);
  EXPECT_EQ(output.writes.size(), 2u);
}

// A file or a pipe gets 512-byte blocks, and the rest once its oldest byte has waited a second;
// the clock starts at the first look after the text came.
TEST(ConsoleText, AFileOrPipeGets512ByteBlocksAndTheRestWithinASecond) {
  FakeOutput output;
  output.terminal = false;
  ConsoleText console;
  start_console_text(&console, output_of(&output));
  // 200 lines of "1234\n": 6 bytes each once expanded, 1200 in all.
  for (int i = 0; i < 200; ++i) console_print(&console, "1234\n");
  ASSERT_EQ(output.writes.size(), 2u);
  EXPECT_EQ(output.writes[0].size(), kHeldOutputSize);
  EXPECT_EQ(output.writes[1].size(), kHeldOutputSize);
  ASSERT_TRUE(console_waiting(&console));
  EXPECT_EQ(console_deadline(&console), 0) << "due at the first look, which times it";
  const struct {
    int64_t now_ms;
    size_t writes;
  } looks[] = {{5000, 2}, {5999, 2}, {6000, 3}, {9000, 3}};
  for (const auto& look : looks) {
    SCOPED_TRACE(look.now_ms);
    console_write_out_when_due(&console, look.now_ms);
    EXPECT_EQ(output.writes.size(), look.writes);
    if (look.now_ms == 5000) {
      EXPECT_EQ(console_deadline(&console), 6000);
    }
  }
  EXPECT_EQ(output.writes[2].size(), 1200 - 2 * kHeldOutputSize);
  EXPECT_FALSE(console_waiting(&console));
  EXPECT_EQ(console_deadline(&console), -1);
  EXPECT_EQ(joined(output.writes), lines_shown(200));
}

TEST(ConsoleText, AnEchoLongerThanItsSlicesAndAWriterTakingPartsLoseNothing) {
  FakeOutput output;
  output.takes = 7;
  ConsoleText console;
  start_console_text(&console, output_of(&output));
  const std::string lines(700, '\n');
  console_write(&console, lines.data(), lines.size());
  std::string expected;
  for (int i = 0; i < 700; ++i) expected += "\r\n";
  EXPECT_EQ(joined(output.writes), expected);
}

// A reader that stops taking (a pipe nobody reads, a terminal that takes nothing): nothing
// waits for it, the text is held in order, and goes out as it takes more.
TEST(ConsoleText, AStalledReaderHoldsNothingUpAndGetsEverythingInOrderLater) {
  for (const bool terminal : {true, false}) {
    for (const size_t room : {size_t(0), size_t(1000), size_t(70000)}) {
      SCOPED_TRACE(std::string(terminal ? "terminal, " : "pipe, ") + std::to_string(room));
      FakeOutput output;
      output.terminal = terminal;
      output.room = room;
      ConsoleText console;
      start_console_text(&console, output_of(&output));
      // 300 KiB of lines: more than a chunk of the held text.
      for (int i = 0; i < 50000; ++i) console_print(&console, "1234\n");
      EXPECT_EQ(joined(output.writes).size(), room);
      EXPECT_TRUE(console_waits_for_output(&console));
      console_write_out_when_due(&console, 100);
      output.room = SIZE_MAX;
      console_print(&console, "end\n");
      console_write_out_when_due(&console, 200);
      console_write_out_when_due(&console, 1200);
      EXPECT_FALSE(console_waiting(&console));
      EXPECT_EQ(joined(output.writes), lines_shown(50000) + "end\r\n");
      EXPECT_EQ(take_console_news(&console), 0u) << "nothing was dropped";
    }
  }
}

// Beyond the bound the echo is dropped, whole writes at a time, until the reader has taken
// everything held; the news says so once when it begins and once, with the count, when it ends.
TEST(ConsoleText, BeyondTheBoundWholeWritesAreDroppedAndCounted) {
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    FakeOutput output;
    output.terminal = terminal;
    output.room = 0;
    ConsoleText console;
    start_console_text(&console, output_of(&output));
    console.most_held = 6000;
    for (int i = 0; i < 1000; ++i) console_print(&console, "1234\n");  // 1000 of 6 bytes
    EXPECT_EQ(take_console_news(&console), 0u);
    console_print(&console, "5678\n");
    EXPECT_EQ(take_console_news(&console), unsigned(kConsoleNewsDropping));
    EXPECT_TRUE(console_dropping(&console));
    // The reader takes a little: still dropping, until everything held is out.
    output.room = 600;
    console_write_out_when_due(&console, 0);
    console_print(&console, "5678\n");
    EXPECT_EQ(take_console_news(&console), 0u);
    output.room = SIZE_MAX;
    console_write_out_when_due(&console, 10);
    console_write_out_when_due(&console, 2000);
    EXPECT_EQ(take_console_news(&console), unsigned(kConsoleNewsCaughtUp));
    EXPECT_EQ(console_dropped_bytes(&console), 12u);
    EXPECT_FALSE(console_dropping(&console));
    console_print(&console, "9\n");
    console_write_out_when_due(&console, 2000);
    console_write_out_when_due(&console, 3000);
    EXPECT_EQ(joined(output.writes), lines_shown(1000) + "9\r\n");
  }
}

// At the end the held text goes out while the reader takes it: one that takes nothing for a
// second, or after a request from outside one that has not taken all of it within a second,
// loses the rest, which is counted.
TEST(ConsoleText, AtTheEndAReaderGetsASecondOfPatience) {
  const struct {
    const char* name;
    size_t room_per_wait;
    bool end_requested;
    uint64_t unwritten;
  } cases[] = {
      {"stalled", 0, false, 6000},
      {"stalled, after a request", 0, true, 6000},
      {"slow but taking", 100, false, 0},
      {"slow but taking, after a request", 100, true, 6000 - 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOutput output;
    output.terminal = false;
    output.room = 0;
    ConsoleText console;
    start_console_text(&console, output_of(&output));
    for (int i = 0; i < 1000; ++i) console_print(&console, "1234\n");
    output.room_per_wait = c.room_per_wait;
    EXPECT_EQ(console_finish(&console, clock_of(&output), c.end_requested), c.unwritten);
    EXPECT_EQ(joined(output.writes), lines_shown(1000).substr(0, 6000 - c.unwritten));
    EXPECT_FALSE(console_waiting(&console));
    EXPECT_GE(output.clock_ms, c.unwritten > 0 ? 1000 : 0);
  }
}

// UTF-16 text goes to a console that takes it, with each LF as CR LF, in slices and through
// writes that take part of it; where there is no such console, or it refuses the text at once,
// nothing is written and the caller is told.
TEST(ConsoleText, UnicodeTextGoesWholeToAConsoleThatTakesIt) {
  const std::u16string message = u"\u30DD\u30FC\u30C8\\\\.\\COM5\u3092\u30AA\n";
  std::u16string long_text;
  for (int i = 0; i < 300; ++i) long_text += u"\u3042\n";
  std::u16string long_expanded;
  for (int i = 0; i < 300; ++i) long_expanded += u"\u3042\r\n";
  const struct {
    const char* name;
    bool wide;
    bool refuses;
    size_t takes;
    std::u16string text;
    bool written;
    std::u16string shown;
  } cases[] = {
      {"a console", true, false, SIZE_MAX, message, true,
       u"\u30DD\u30FC\u30C8\\\\.\\COM5\u3092\u30AA\r\n"},
      {"longer than a slice", true, false, SIZE_MAX, long_text, true, long_expanded},
      {"a console that takes 5 units a write", true, false, 5, long_text, true, long_expanded},
      {"no console that takes text", false, false, SIZE_MAX, message, false, u""},
      {"a console that refuses it", true, true, SIZE_MAX, message, false, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOutput output;
    output.wide = c.wide;
    output.refuses_wide = c.refuses;
    output.takes = c.takes;
    ConsoleText console;
    start_console_text(&console, output_of(&output));
    EXPECT_EQ(console_print_wide(&console, c.text.data(), c.text.size()), c.written);
    EXPECT_TRUE(output.wide_text == c.shown);
    EXPECT_TRUE(output.writes.empty());
  }
}

}  // namespace
