// Text streams: every LF is written as CR LF, every other byte as it is, and what is written is
// handed over whole to a writer that may take only part of it at a time.
#pragma once

#include <cstddef>

// Writes `length` bytes of `text` to `out` with each LF as CR LF and returns the count written.
// `out` holds at least twice `length` bytes.
size_t expand_line_ends(const char* text, size_t length, char* out);

// A writer that takes what it can: the count taken, or -1 on an error.
using WriteFunction = long (*)(void* context, const char* bytes, size_t length);

// Hands `bytes` to `write`, retrying what it takes only in part, until all are taken; stops at
// the first error or when it takes nothing. Returns whether all were taken.
bool write_fully(WriteFunction write, void* context, const char* bytes, size_t length);
