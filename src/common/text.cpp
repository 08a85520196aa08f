#include "common/text.h"

#include <cstring>

size_t append_text(char* out, size_t size, size_t length, const char* piece) {
  return append_text(out, size, length, piece, std::strlen(piece));
}

size_t append_text(char* out, size_t size, size_t length, const char* piece, size_t piece_length) {
  if (length < size) {
    const size_t room = size - 1 - length;
    const size_t taken = piece_length < room ? piece_length : room;
    std::memcpy(out + length, piece, taken);
    out[length + taken] = '\0';
  }
  return length + piece_length;
}

size_t append_number(char* out, size_t size, size_t length, int64_t value) {
  char digits[20];
  size_t count = 0;
  // Counted as a negative number, which holds the most negative value too.
  int64_t rest = value < 0 ? value : -value;
  do {
    digits[sizeof digits - 1 - count++] = char('0' - rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value < 0) length = append_text(out, size, length, "-", 1);
  return append_text(out, size, length, digits + sizeof digits - count, count);
}
