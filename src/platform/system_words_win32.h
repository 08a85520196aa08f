// What the Windows system layers share: the system's own words for an error code.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

// The words for `error`, without the line end FormatMessageA puts after them.
inline void system_words(DWORD error, char* out, size_t size) {
  out[0] = '\0';
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, out,
                 DWORD(size), nullptr);
  size_t end = std::strlen(out);
  while (end > 0 && (out[end - 1] == '\n' || out[end - 1] == '\r' || out[end - 1] == ' ')) {
    out[--end] = '\0';
  }
}
