// The start and the end of the process, the requests from outside to end it, and its clock.
#pragma once

#include <cstdint>

// The wall clock: microseconds since 1970-01-01 UTC, and the local time's offset from UTC at that
// moment, as the time zone gives it.
struct WallTime {
  int64_t utc_us;
  int32_t utc_offset_s;
};

struct ProcessService {
  void* context;
  // True once the process has been asked from outside to end (an interrupt key, a termination
  // request, a closed terminal or console). The logger finishes its turn and shuts down.
  bool (*end_requested)(void* context);
  // Milliseconds of a clock that only goes forward.
  int64_t (*now_ms)(void* context);
  // The time of day, for the times of the readings.
  WallTime (*wall_clock)(void* context);
  // The time zone that TZ names when the system has no such zone, whose times are then UTC; null
  // when the zone is known or none is named.
  const char* (*unknown_time_zone)(void* context);
  // For a loop that has nothing to do (--wait): returns once the port has bytes or has gone, a
  // key may be there, standard output takes more (when `for_output`), a request to end has come,
  // or `timeout_ms` by now_ms has passed (negative: no limit of the caller's). It may return
  // sooner.
  void (*rest)(void* context, int64_t timeout_ms, bool for_output);
};

// Makes the process safe to run and gives the logger its arguments, argument zero the executable
// as the system knows it whatever name was typed. Nothing is printed, the console is untouched.
void start_process(int* argc, char*** argv);

ProcessService system_process();

// Ends the process with `status`, or, after a request from outside, the way that request ends a
// process. The logger has written out everything and put the console back by then.
[[noreturn]] void end_process(int status);
