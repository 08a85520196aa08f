// Text put together piece by piece, as snprintf would.
#include "common/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

TEST(Text, PiecesAreAddedCutAtTheRoomAndTheWholeLengthIsReturned) {
  const struct {
    size_t size;
    const char* text;  // what the buffer holds
    size_t length;     // what the calls return at the end
  } cases[] = {
      {32, "/dev/ttyS-9223372036854775808", 29},
      {30, "/dev/ttyS-9223372036854775808", 29},
      {29, "/dev/ttyS-922337203685477580", 29},  // one short: cut, and told by the length
      {10, "/dev/ttyS", 29},
      {4, "/de", 29},
      {1, "", 29},
  };
  for (const auto& c : cases) {
    char out[32];
    std::memset(out, 'x', sizeof out);
    size_t length = append_text(out, c.size, 0, "/dev/");
    length = append_text(out, c.size, length, "ttyS1", 4);
    length = append_number(out, c.size, length, INT64_MIN);
    EXPECT_EQ(length, c.length) << c.size;
    EXPECT_STREQ(out, c.text) << c.size;
    // Nothing is written past the room.
    if (c.size < sizeof out) {
      EXPECT_EQ(out[c.size], 'x') << c.size;
    }
  }
  char number[24];
  for (const int64_t value : {int64_t(0), int64_t(7), int64_t(-42), INT64_MAX}) {
    append_number(number, sizeof number, 0, value);
    EXPECT_EQ(number, std::to_string(value));
  }
  // No room at all: nothing written, the length still told.
  EXPECT_EQ(append_text(number, 0, 0, "abc"), 3u);
}

}  // namespace
