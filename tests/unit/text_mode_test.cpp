#include "logger/text_mode.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "scripted_log_file.h"

namespace {

std::string expanded(const std::string& text) {
  std::string out(2 * text.size(), '\0');
  out.resize(expand_line_ends(text.data(), text.size(), out.data()));
  return out;
}

TEST(TextMode, EveryLfBecomesCrLfAndNothingElseChanges) {
  EXPECT_EQ(expanded(""), "");
  EXPECT_EQ(expanded("600\r\n"), "600\r\r\n");
  EXPECT_EQ(expanded("\n\n"), "\r\n\r\n");
  EXPECT_EQ(expanded(std::string("a\0%\x1a\r", 5)), std::string("a\0%\x1a\r", 5));
}

TEST(TextMode, WriteFullyRetriesPartsAndStopsAtAnErrorOrNothingTaken) {
  const struct {
    std::deque<long> takes;
    bool all;
    const char* taken;
  } cases[] = {
      {{}, true, "0123456789"},
      {{3, 1, 4}, true, "0123456789"},
      {{3, -1, 4}, false, "012"},
      {{2, 0, 4}, false, "01"},
  };
  for (const auto& c : cases) {
    ScriptedLogFile file;
    file.takes = c.takes;
    const LogFileService writer = log_file_of(&file);
    EXPECT_EQ(write_fully(writer.write, writer.context, "0123456789", 10), c.all);
    EXPECT_EQ(file.contents, c.taken);
  }
}

}  // namespace
