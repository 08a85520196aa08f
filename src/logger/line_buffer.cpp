#include "logger/line_buffer.h"

#include <cstring>

void line_buffer_clear(LineBuffer* line) {
  line->text[0] = '\0';
  line->length = 0;
}

void line_buffer_append(LineBuffer* line, const char* received) {
  const size_t capacity = kLineBufferSize - 1;
  for (const char* p = received; *p != '\0' && line->length < capacity; ++p) {
    // The last place is kept for the newline of a line that does not fit.
    if (line->length == capacity - 1 && *p != '\n' && !line_buffer_has_newline(*line)) continue;
    line->text[line->length++] = *p;
  }
  line->text[line->length] = '\0';
}

bool line_buffer_has_newline(const LineBuffer& line) {
  return std::memchr(line.text, '\n', line.length) != nullptr;
}
