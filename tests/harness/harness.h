// Runs the built logger the way an operator would: a pseudo-terminal stands in for the device on
// the port, another for the operator's terminal, and a scratch folder holds the port links and
// the working directory with test.dat.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "port_messages.h"

struct Pty {
  int master = -1;
  int slave = -1;  // held open only by `hold_slave`
  std::string slave_path;
};

// A new pseudo-terminal; the terminal's own output processing is off, so what a program writes
// to it arrives byte for byte. Its slave belongs to the ordinary user, as a user's own terminal
// and a serial port the user may open do.
Pty open_pty();
void close_pty(Pty* pty);

// Keeps the slave open in the test, so that its input queue can be watched.
void hold_slave(Pty* pty);
// Waits until the program on the slave has read everything written to the master so far, so
// that the next write arrives in a read of its own.
void wait_until_taken(const Pty& pty);

// Root passes by exclusive opens and permission bits, so programs under test run as an ordinary
// user when the tests run as root, the way users meet them.
constexpr uid_t kOrdinaryUser = 65534;
constexpr gid_t kOrdinaryGroup = 65534;
bool tests_run_as_root();

// Makes `path` the ordinary user's, when the tests run as root.
void hand_to_ordinary_user(const std::string& path);

// `path`, or a copy of it that the ordinary user may run when the build folder is closed to it.
std::string runnable_by_ordinary_user(const std::string& path);

struct Workspace {
  std::string root;
  std::string ports;  // the COMLOG_PORTS folder
  std::string cwd;    // where test.dat is written
};

// A scratch folder that the ordinary user owns.
Workspace make_workspace();
void remove_workspace(const Workspace& workspace);
// Makes COM<number> of the workspace's ports folder lead to `target`.
void link_port(const Workspace& workspace, int number, const std::string& target);

struct RunOptions {
  std::vector<std::string> command;      // the program and its arguments, argument zero included
  std::vector<std::string> environment;  // NAME=value pairs added to the test's own
  // The program's locale: when set, LANG and every LC_ variable of the test's environment are
  // removed and these NAME=value pairs put in their place (none: the C locale).
  std::optional<std::vector<std::string>> locale;
  std::string cwd;
  // The controlling terminal, also standard input and output; empty for a process without one.
  std::string terminal;
  bool stdin_from_dev_null = false;
  bool stdin_from_pipe = false;  // standard input comes from `Child::input`
  bool stdout_to_pipe = false;   // standard output goes to `Child::output`
  bool stderr_to_pipe = false;   // standard error goes to `Child::errors`
  // Otherwise standard error goes to the terminal only when asked for, since the logger then says
  // words of its own there; by default to /dev/null.
  bool errors_to_terminal = false;
  // Standard output goes to this existing file or terminal instead (never made the controlling
  // terminal).
  std::string output_path;
  // Descriptors among 0, 1 and 2 that are closed when the program starts.
  std::vector<int> closed_descriptors;
  // Signal dispositions handed down, as a shell hands them to its commands.
  std::vector<int> ignored_signals;
  std::vector<int> blocked_signals;
  // As the ordinary user when the tests run as root.
  bool as_ordinary_user = false;
  // The largest file the process may write, in bytes (`ulimit -f`); negative for no limit.
  long file_size_limit = -1;
  // The processor seconds after which the process gets SIGXCPU (`prlimit --cpu=N:N+30`), with no
  // core file; negative for no limit.
  long cpu_limit_seconds = -1;
};

struct Child {
  pid_t pid = -1;
  int input = -1;   // the write end of standard input's pipe, when asked for
  int output = -1;  // the read end of standard output's pipe, when asked for
  int errors = -1;  // the read end of standard error's pipe, when asked for
};

// The logger as built, and the standard command line for a port argument: run as the ordinary
// user, in the C locale whatever the test runner's is, so that its port messages are Shift_JIS.
std::string comlog_path();
RunOptions comlog_options(const Workspace& workspace, const std::vector<std::string>& arguments);

Child start(const RunOptions& options);

// Reads from `fd` into `seen` until `wanted` is part of it, the other side closes, or a safety
// limit of some seconds passes. Returns whether `wanted` arrived.
bool read_until(int fd, std::string* seen, const std::string& wanted);
// Reads everything until the other side closes.
std::string read_to_end(int fd);

// Checks `condition` until it holds or a safety limit of some seconds passes; returns whether
// it held.
bool wait_until(const std::function<bool()>& condition);

// Whether the process is blocked in write() on descriptor `fd`.
bool blocked_in_write(pid_t pid, int fd);

// The real user of a running process.
uid_t user_of(pid_t pid);

// Waits for the process to end (with a safety limit after which it is killed) and returns the
// raw wait status.
int wait_for_exit(pid_t pid);
// The same with a limit of its own, for what takes longer than a run (preparing a Wine prefix).
int wait_for_exit(pid_t pid, int limit_ms);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);
void write_all(int fd, const std::string& bytes);

// Whether `errors` are the two lines of standard error for a port that went and came back: that
// `port` has gone, then that it is back after some time ("after 2.2 s", "after 1 min 05 s").
inline bool told_gone_and_back(const std::string& errors, const std::string& port) {
  const std::string gone =
      "comlog: " + port + " has gone; comlog tries to open it again, 5 times a second\n";
  const std::string back = "comlog: " + port + " is back after ";
  const std::string end = "; logging goes on\n";
  if (errors.compare(0, gone.size(), gone) != 0) return false;
  const std::string second = errors.substr(gone.size());
  if (second.size() <= back.size() + end.size() || second.compare(0, back.size(), back) != 0 ||
      second.compare(second.size() - end.size(), end.size(), end) != 0) {
    return false;
  }
  const std::string away = second.substr(back.size(), second.size() - back.size() - end.size());
  return !away.empty() && away.find_first_not_of("0123456789. minhs") == std::string::npos &&
         away.find('\n') == std::string::npos;
}
