#include "logger/text_mode.h"

size_t expand_line_ends(const char* text, size_t length, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') out[written++] = '\r';
    out[written++] = text[i];
  }
  return written;
}

bool write_fully(WriteFunction write, void* context, const char* bytes, size_t length) {
  for (size_t written = 0; written < length;) {
    const long taken = write(context, bytes + written, length - written);
    if (taken <= 0) return false;
    written += size_t(taken);
  }
  return true;
}
