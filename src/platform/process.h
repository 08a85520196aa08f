// The start and the end of the process.
#pragma once

// Makes the process safe to run and gives the logger its arguments, argument zero the executable
// as the system knows it whatever name was typed. Nothing is printed, the console is untouched.
void start_process(int* argc, char*** argv);

// True once the process has been asked from outside to end (an interrupt key, a termination
// request, a closed terminal or console). The logger's loop finishes its turn and shuts down.
bool interrupt_requested();

// Restores the console, writes out held console output and ends the process: with `status`, or,
// after an outside request, the way that request ends a process.
[[noreturn]] void end_process(int status);
