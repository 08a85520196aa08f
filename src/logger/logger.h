// The logger's one routine, from choosing the port to the end of the run. Returns the exit
// status: 0 after a quit key or an outside request, 1 when test.dat cannot be opened, -1 when the
// port cannot be opened or configured.
#pragma once

int run_logger(int argc, char** argv);
