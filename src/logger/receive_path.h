// The bytes from the port turned into lines. Every complete line, up to and including its LF,
// logs the reading at its head, in arrival order, however the lines are spread over reads; the
// bytes after the last LF of a read are the head of the next line and wait for the rest of it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "logger/measurement_log.h"

// The most bytes one read takes from the port; more stay queued for the next turn.
constexpr size_t kMostBytesPerRead = 999;

// The line buffer holds the line not yet completed: at most 999 bytes and a NUL.
constexpr size_t kLineBufferSize = 1000;

// Room for the echo of one read: the head that was waiting and the read itself.
constexpr size_t kEchoSize = kLineBufferSize + kMostBytesPerRead;

struct Receiver {
  char line[kLineBufferSize];
  size_t line_length;
  int32_t reading;  // kept from line to line: a line without a number logs it again
};

// An empty line buffer, and 0 as the reading that a line without a number logs before any
// number has arrived.
void start_receiving(Receiver* receiver);

// Drops the line not yet completed, whose rest will never come (the port has gone): neither
// echoed nor logged. The reading stays.
void drop_unfinished_line(Receiver* receiver);

// Takes the `count` bytes of one read (at most kMostBytesPerRead). Each line they complete
// logs its reading in `log`, and its text, as received, goes to `echo` (kEchoSize bytes), so
// that one console write shows every line the read completed. Returns the length
// of the echo: 0 when no line was completed.
// - A NUL byte is dropped; the bytes after it count as usual.
// - A line longer than the buffer keeps its first 998 bytes and its LF; the rest of it is
//   dropped, from the echo and from the reading alike.
size_t receive_bytes(Receiver* receiver, MeasurementLog* log, const char* bytes, size_t count,
                     char* echo);
