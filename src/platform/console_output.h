// Standard output as a text stream: every LF becomes CR LF. A terminal gets each print before it
// returns; a file or a pipe gets 512-byte blocks and whatever is held at the end of the process.
#pragma once

#include <cstddef>

void console_write(const char* bytes, size_t length);
void console_print(const char* text);
// Writes out what is held. Once the process has been asked to end, a reader that takes nothing
// is waited for at most `patience_ms` in all, and what it has not taken by then is dropped.
void console_flush(int patience_ms = 0);

// The platform half.
bool standard_output_is_terminal();
// Hands every byte to standard output, or stops at the first error; after a request to end, also
// once `patience_ms` have passed without the reader taking the rest.
void standard_output_write_all(const char* bytes, size_t length, int patience_ms);
