// Standard output (and standard error) as the system has it. The text conventions (LF as CR LF,
// what is held for a file or a pipe) are the logger's; this only says where the bytes go and writes
// them.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConsoleOutputService {
  void* context;
  // Whether standard output is a terminal (a console), which gets every print at once.
  bool (*is_terminal)(void* context);
  // Whether standard error is one: an operator is there to read a word of our own.
  bool (*errors_to_terminal)(void* context);
  // The character set in which the terminal shows bytes, as the locale names it ("UTF-8",
  // "ANSI_X3.4-1968"), or a Windows console its output code page ("CP932", "CP437"); null when
  // standard output is no terminal whose character set can be asked.
  const char* (*character_set)(void* context);
  // Writes what standard output takes of `bytes` now, without waiting for a reader: the count
  // written, 0 when it takes nothing now, or -1 on an error.
  long (*write)(void* context, const char* bytes, size_t length);
  // Waits until standard output may take more, or `timeout_ms` has passed.
  void (*wait_for_room)(void* context, int64_t timeout_ms);
  // The same for standard error, which is never held: for the operator, why something failed.
  // Standard output keeps its own messages as they are.
  long (*write_error)(void* context, const char* bytes, size_t length);
  // Writes UTF-16 text to standard output where it is a console that shows such text whatever its
  // code page (Windows): the count of units written, or -1. Null where there is no such console.
  long (*write_wide)(void* context, const char16_t* text, size_t length);
};

ConsoleOutputService system_console_output();
