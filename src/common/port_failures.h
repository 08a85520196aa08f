// How a serial layer tells a port that has gone from a call that failed once. An error that only
// a removed device gives means gone at once; any other failure means gone once it has come
// kFailuresMeaningGone times in a row, since a port that fails that often delivers nothing, and
// the loop must not spin over it in silence.
#pragma once

constexpr unsigned kFailuresMeaningGone = 1000;

struct PortFailures {
  unsigned in_a_row;
};

// After a failed poll or read; true when the port is to be taken as gone.
bool port_failed(PortFailures* failures, bool error_means_gone);

// After a call that worked, and when the port is opened.
inline void port_worked(PortFailures* failures) {
  failures->in_a_row = 0;
}
