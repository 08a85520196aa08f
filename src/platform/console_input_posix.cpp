#include "console_input.h"

// Placeholder until the terminal key input lands: no console, no keys.
void open_console_input() {}
void restore_console_input() {}
int key_pending() { return 0; }
int read_key() { return -1; }
