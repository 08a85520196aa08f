#include "logger/console_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Standard output that keeps every write, taking at most `takes` bytes (or UTF-16 units) of each;
// a console that takes UTF-16 text where `wide` says so, refusing it when `refuses_wide`.
struct FakeOutput {
  bool terminal = true;
  size_t takes = SIZE_MAX;
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
                                const size_t taken =
                                    length < output->takes ? length : output->takes;
                                output->writes.emplace_back(bytes, taken);
                                return long(taken);
                              },
                              [](void*, const char*, size_t) { return -1L; },
                              output->wide ? write_wide : nullptr};
}

std::string joined(const std::vector<std::string>& writes) {
  std::string all;
  for (const std::string& write : writes) all += write;
  return all;
}

TEST(ConsoleText, ATerminalGetsEachPrintAtOnceWithLfAsCrLf) {
  FakeOutput output;
  ConsoleText console;
  start_console_text(&console, output_of(&output));
  console_print(&console, "running\n");
  console_write(&console, "600\r\n", 5);
  EXPECT_EQ(output.writes, (std::vector<std::string>{"running\r\n", "600\r\r\n"}));
  console_flush(&console);
  EXPECT_EQ(output.writes.size(), 2u);
}

TEST(ConsoleText, AFileOrPipeGets512ByteBlocksAndTheRestAtTheFlush) {
  FakeOutput output;
  output.terminal = false;
  ConsoleText console;
  start_console_text(&console, output_of(&output));
  // 200 lines of "1234\n": 6 bytes each once expanded, 1200 in all.
  for (int i = 0; i < 200; ++i) console_print(&console, "1234\n");
  EXPECT_EQ(output.writes.size(), 2u);
  EXPECT_EQ(output.writes[0].size(), kHeldOutputSize);
  EXPECT_EQ(output.writes[1].size(), kHeldOutputSize);
  console_flush(&console);
  ASSERT_EQ(output.writes.size(), 3u);
  EXPECT_EQ(output.writes[2].size(), 1200 - 2 * kHeldOutputSize);
  std::string expected;
  for (int i = 0; i < 200; ++i) expected += "1234\r\n";
  EXPECT_EQ(joined(output.writes), expected);
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
