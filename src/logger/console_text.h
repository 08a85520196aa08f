// Standard output as a text stream: every LF becomes CR LF and no other byte changes. A terminal
// gets each print before it returns; a file or a pipe gets 512-byte blocks and, at the end of the
// run, whatever is held.
#pragma once

#include <cstddef>

#include "platform/console_output.h"

constexpr size_t kHeldOutputSize = 512;

struct ConsoleText {
  ConsoleOutputService output;
  bool to_terminal;
  char held[kHeldOutputSize];  // line ends already expanded
  size_t held_count;
};

// Asks once where standard output goes; nothing is written.
void start_console_text(ConsoleText* console, const ConsoleOutputService& output);

void console_write(ConsoleText* console, const char* bytes, size_t length);
void console_print(ConsoleText* console, const char* text);

// Writes UTF-16 text, each LF as CR LF, to a console that takes it (the output's write_wide);
// false, with nothing written, where it has none or refuses the text at once.
bool console_print_wide(ConsoleText* console, const char16_t* text, size_t length);

// Writes out what is held.
void console_flush(ConsoleText* console);
