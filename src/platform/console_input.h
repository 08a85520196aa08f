// Keys from the console itself, never from standard input.
#pragma once

// Opens the console's keyboard at start-up. A process without a console reports no keys.
void open_console_input();

// Puts the user's own console settings back; safe to call on every way out, more than once.
void restore_console_input();

// 1 when a key is waiting, 0 when none is; never waits, never consumes.
int key_pending();

// The next key code: a character, a table code, or 0 before an extended code that the next call
// delivers; -1 when the console failed. Never echoes.
int read_key();
