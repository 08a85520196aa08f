#include "logger/console_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Standard output that keeps every write, taking at most `takes` bytes of each.
struct FakeOutput {
  bool terminal = true;
  size_t takes = SIZE_MAX;
  std::vector<std::string> writes;
};

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
                              [](void*, const char*, size_t) { return -1L; }};
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

}  // namespace
