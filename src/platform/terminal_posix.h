// Who has the controlling terminal, and its modes. The terminal is the logger's only while its
// process group has the terminal's foreground: then it is in the key mode (keys without Enter and
// without echo, Ctrl+C interrupting), or, while read_key waits, in mode 0 (Ctrl+C a key too). In
// the background the logger goes on logging and leaves the terminal and its settings alone.
#pragma once

#include <cstdint>

// The input mode as the key logic sees it: 0 while read_key works (Ctrl+C is a key), this in the
// run (Ctrl+C interrupts, as a PC console's processed input).
constexpr uint32_t kRunMode = 0x1;

// Opens the controlling terminal and takes it if the process group has it; false when the
// process has none.
bool open_terminal();

// The terminal's descriptor, -1 when there is none (never was, or it has hung up).
int terminal_fd();

// Whether the terminal is there and in the foreground, its keys the logger's.
bool terminal_is_ours();

// Once per turn: after a stop and a continue, and now and then by the clock while in the
// background, finds out who has the terminal, and takes it when it is the logger's again.
void follow_terminal();

// While another process group has the terminal: when follow_terminal asks again; -1 otherwise.
int64_t terminal_next_look_ms();

// Finds out who has the terminal now: after a read that failed, it has hung up or another process
// group has it.
void ask_who_has_terminal();

bool get_terminal_mode(uint32_t* mode);
bool set_terminal_mode(uint32_t mode);

// Puts the user's settings back while the terminal is still in a key mode and is the logger's or
// the shell's. Async-signal-safe: it also runs before a stop.
void give_terminal_back();
