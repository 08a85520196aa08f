#include "logger/text_mode.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
