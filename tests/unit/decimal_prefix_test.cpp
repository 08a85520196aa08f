#include "logger/decimal_prefix.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* text;
  bool found;
  int32_t value;
};

TEST(DecimalPrefix, FollowsTheNumberRule) {
  const Case cases[] = {
      {"600\r\n", true, 600},
      {"+5\n", true, 5},
      {"-7\n", true, -7},
      {"0x1F\n", true, 0},
      {"007", true, 7},
      {" \t\v\f\r\n42abc", true, 42},
      {"4294967295\n", true, -1},
      {"4294967296\n", true, 0},
      {"2147483648", true, INT32_MIN},
      {"-2147483648", true, INT32_MIN},
      {"-4294967295", true, 1},
      {"12345678901234567890", true, int32_t(uint32_t(12345678901234567890ull % 4294967296ull))},
      {"abc\r\n", false, 0},
      {"\r\n", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"- 5", false, 0},
      {"+-5", false, 0},
      {"\xA0"
       "5",
       false, 0},  // no byte of 0x80 or above counts as white space
      {"COM5", false, 0},
  };
  for (const Case& c : cases) {
    int32_t value = 12345;
    EXPECT_EQ(scan_decimal_prefix(c.text, &value), c.found) << c.text;
    EXPECT_EQ(value, c.found ? c.value : 12345) << c.text;
  }
}

}  // namespace
