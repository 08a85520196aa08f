// Standard output as a text stream: every LF becomes CR LF and no other byte changes. A terminal
// gets each print at once; a file or a pipe gets 512-byte blocks, and whatever is held once its
// oldest byte has waited a second. Nothing here ever waits for standard output: what it does not
// take (a pipe nobody reads, a terminal stopped with Ctrl+S) is held in memory, in order, and
// written as it takes more, up to a bound beyond which the echo is dropped. The clock is the
// caller's, read only while something is held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/console_output.h"
#include "platform/process.h"

constexpr size_t kHeldOutputSize = 512;

// The longest held console text waits before it is offered to a file or a pipe, and how long a
// reader that takes nothing is waited for at the end.
constexpr int64_t kConsoleWaitMs = 1000;

// What standard output has not taken is held up to this many bytes: over twelve minutes of the
// wire's full 115200 baud (11,520 bytes a second, a little more once each LF is CR LF). Taken only
// while the reader stalls. Beyond it the echo is dropped, whole writes at a time, until the reader
// has taken everything held: test.dat is the measurement, the echo only a view of it.
constexpr size_t kMostHeldOutput = size_t(8) << 20;

// What the operator is to be told, as bits of take_console_news.
enum ConsoleNews : unsigned {
  kConsoleNewsDropping = 1,  // the bound was reached: later echo is dropped
  kConsoleNewsCaughtUp = 2,  // the reader took everything held: console_dropped_bytes were lost
};

struct HeldText;

struct ConsoleText {
  ConsoleOutputService output;
  bool to_terminal;
  // For a file or a pipe: text not yet offered, line ends already expanded, and the time of its
  // oldest byte, taken at the first look at the clock after it came.
  char block[kHeldOutputSize];
  size_t block_count;
  bool block_timed;
  int64_t block_since_ms;
  // Text offered and not taken, in order, in chunks taken only while the reader stalls.
  HeldText* first;
  HeldText* last;
  size_t first_offset;  // what standard output has taken of the first chunk
  size_t backlog_bytes;
  bool dropping;           // from the bound until the reader has taken everything held
  uint64_t dropped_bytes;  // in the last such stretch
  unsigned news;
  size_t most_held;  // the bound: kMostHeldOutput, less in the tests
};

// Asks once where standard output goes; nothing is written.
void start_console_text(ConsoleText* console, const ConsoleOutputService& output);

// Never waits: what standard output does not take now is held.
void console_write(ConsoleText* console, const char* bytes, size_t length);
void console_print(ConsoleText* console, const char* text);

// Writes UTF-16 text, each LF as CR LF, to a console that takes it (the output's write_wide);
// false, with nothing written, where it has none or refuses the text at once.
bool console_print_wide(ConsoleText* console, const char16_t* text, size_t length);

// Whether anything is held: the caller then looks at the clock every turn.
bool console_waiting(const ConsoleText* console);

// Whether text waits for standard output to take more (a rest may wait for that too).
bool console_waits_for_output(const ConsoleText* console);

// The look at the clock, `now_ms` by a clock that only goes forward: a file's or a pipe's held
// text goes out once its oldest byte has waited kConsoleWaitMs, and what standard output did not
// take is offered again.
void console_write_out_when_due(ConsoleText* console, int64_t now_ms);

// When the held text is due by the clock; -1 when nothing waits for the clock.
int64_t console_deadline(const ConsoleText* console);

// At the end: everything held is written while standard output takes it. A reader that takes
// nothing for kConsoleWaitMs, or, after a request to end from outside, one that has not taken it
// all within kConsoleWaitMs, loses the rest. Returns the bytes not written; a stretch of dropping
// that the reader never caught up with stays (console_dropping).
uint64_t console_finish(ConsoleText* console, const ProcessService& clock, bool end_requested);

// Whether later output is being dropped, the bound having been reached.
bool console_dropping(const ConsoleText* console);

// Whether there is news to take.
bool console_has_news(const ConsoleText* console);

// The news since the last call, and none from then on.
unsigned take_console_news(ConsoleText* console);

// The most output held for a reader that does not take it.
size_t console_bound(const ConsoleText* console);

// The bytes dropped beyond the bound, in the last stretch of dropping.
uint64_t console_dropped_bytes(const ConsoleText* console);
