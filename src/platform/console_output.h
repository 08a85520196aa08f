// Standard output as a text stream: every LF becomes CR LF. A terminal gets each print before it
// returns; a file or a pipe gets 512-byte blocks and whatever is held at the end of the process.
#pragma once

#include <cstddef>

void console_write(const char* bytes, size_t length);
void console_print(const char* text);
void console_flush();

// The platform half.
bool standard_output_is_terminal();
// Hands every byte to standard output, or stops at the first error.
void standard_output_write_all(const char* bytes, size_t length);
