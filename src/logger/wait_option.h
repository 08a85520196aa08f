// `comlog --wait [PORT]`: the loop rests until the port or a key has something for it, or the
// clock has a deadline, instead of polling them back to back. Opt-in: without it the loop never
// waits.
#pragma once

// Takes `--wait` out of the arguments when it is the first, so that the port is chosen from the
// rest as ever; returns whether it was there. Only the first argument counts: `comlog 5 --wait`
// logs on port 5 without resting, as every argument after the port is ignored.
bool take_wait_option(int* argc, char** argv);
