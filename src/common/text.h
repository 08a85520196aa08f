// Text put together piece by piece in a buffer of `size` bytes, as snprintf would, without the C
// library's formatting: the names that every run makes (test.dat.1, /dev/ttyS4) would otherwise
// bring the pages of its printf code into memory, more than the rest of a run needs.
//
// Each call adds its piece at `length`, cuts what does not fit, keeps the text NUL-terminated
// (when `size` is not 0), and returns the length the whole text would have: it fitted when that
// is below `size`.
#pragma once

#include <cstddef>
#include <cstdint>

size_t append_text(char* out, size_t size, size_t length, const char* piece);
size_t append_text(char* out, size_t size, size_t length, const char* piece, size_t piece_length);
size_t append_number(char* out, size_t size, size_t length, int64_t value);
