// Text-stream line ends: every LF is written as CR LF, every other byte as it is.
#pragma once

#include <cstddef>

// Writes `length` bytes of `text` to `out` with each LF as CR LF and returns the count written.
// `out` holds at least twice `length` bytes.
size_t expand_line_ends(const char* text, size_t length, char* out);
