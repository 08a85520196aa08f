// What the POSIX system layers share of the process: one clock, and the signals, which
// process_posix.cpp alone installs and turns into flags.
#pragma once

#include <signal.h>

#include <cstdint>

// Milliseconds of the monotonic clock.
int64_t monotonic_ms();

// Whether a request to end (a signal whose default ends the process, other than a fault of its
// own) has come.
bool end_signalled();

// What a rest of the loop waits on besides the signals: the port's descriptor (-1 while there is
// none), standard output's (while held text waits for it), and the terminal's, as `what_to_watch`
// gives it: the descriptor whose input may be keys (-1 for none) and, in *deadline_ms, the time by
// which the terminal must be looked at again (-1 for none).
void watch_port(int fd);
void watch_output(int fd);
void watch_terminal(int (*what_to_watch)(int64_t* deadline_ms));

// Whether the process has been continued after a stop since the last call.
bool take_continued();

// Whether the terminal may have input, as noticed since the last call: it signalled (SIGIO), or
// expect_terminal_input said so without a signal.
bool take_input_notice();
void expect_terminal_input();

// What runs in the stop handler before the process stops (a stop asked for from outside, such as
// kill -TSTP: Ctrl+Z is a key): only async-signal-safe calls.
void run_before_stop(void (*hook)());

// Holds SIGTSTP, whose handler changes the terminal's settings, while they are read or changed
// elsewhere; returns the mask to put back.
sigset_t hold_stops();
void put_back_mask(const sigset_t& mask);

// SIGTTOU is ignored, so that the logger's writes reach its terminal from the background too.
// While a change of the terminal's settings is made it is caught instead, so that the change
// fails with EINTR from the background rather than reaching the terminal of the job that has it:
// the kernel checks at the change.
void catch_background_changes(bool catching);
