#include "logger/line_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string text_of(const LineBuffer& line) {
  return std::string(line.text, line.length);
}

TEST(LineBuffer, CollectsReadsUntilANewline) {
  LineBuffer line;
  line_buffer_clear(&line);
  line_buffer_append(&line, "6");
  line_buffer_append(&line, "00\r");
  EXPECT_FALSE(line_buffer_has_newline(line));
  line_buffer_append(&line, "\n");
  EXPECT_TRUE(line_buffer_has_newline(line));
  EXPECT_EQ(text_of(line), "600\r\n");
  EXPECT_EQ(line.text[line.length], '\0');
}

TEST(LineBuffer, ANulEndsWhatAReadContributes) {
  LineBuffer line;
  line_buffer_clear(&line);
  const char received[] =
      "12\0"
      "34\n";
  line_buffer_append(&line, received);
  EXPECT_EQ(text_of(line), "12");
  EXPECT_FALSE(line_buffer_has_newline(line));
}

TEST(LineBuffer, AnOverlongLineKeepsItsHeadAndStillCompletes) {
  LineBuffer line;
  line_buffer_clear(&line);
  const std::string chunk(999, '7');
  line_buffer_append(&line, chunk.c_str());
  line_buffer_append(&line, chunk.c_str());
  EXPECT_EQ(line.length, kLineBufferSize - 2);
  EXPECT_FALSE(line_buffer_has_newline(line));
  line_buffer_append(&line, "88\r\n123\n");
  EXPECT_TRUE(line_buffer_has_newline(line));
  EXPECT_EQ(line.length, kLineBufferSize - 1);
  EXPECT_EQ(text_of(line), std::string(998, '7') + "\n");
  EXPECT_EQ(line.text[line.length], '\0');
}

TEST(LineBuffer, TextBehindTheNewlineFillsButNeverOverflows) {
  LineBuffer line;
  line_buffer_clear(&line);
  line_buffer_append(&line, "1\n");
  const std::string chunk(999, 'z');
  line_buffer_append(&line, chunk.c_str());
  EXPECT_EQ(line.length, kLineBufferSize - 1);
  EXPECT_EQ(text_of(line), "1\n" + std::string(997, 'z'));
}

}  // namespace
