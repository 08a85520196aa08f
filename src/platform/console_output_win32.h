// What the end of the process on Windows asks of standard output.
#pragma once

#include <windows.h>

// Waits until standard output's pipe has taken what its writer holds, or until it has taken
// nothing for `patience_ms`.
void finish_output(DWORD patience_ms);
