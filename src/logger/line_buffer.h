// The text received since the last logged line, as a NUL-terminated byte string.
#pragma once

#include <cstddef>

constexpr size_t kLineBufferSize = 1000;

struct LineBuffer {
  char text[kLineBufferSize];
  size_t length;
};

void line_buffer_clear(LineBuffer* line);

// Appends `received` up to its first NUL. A line that outgrows the buffer keeps its first 998
// bytes; the rest of it is dropped, but its newline is kept, so the line still completes.
void line_buffer_append(LineBuffer* line, const char* received);

bool line_buffer_has_newline(const LineBuffer& line);
