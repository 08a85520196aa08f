// Runs the built logger the way an operator would: a pseudo-terminal stands in for the device on
// the port, another for the operator's terminal, and a scratch folder holds the port links and
// the working directory with test.dat.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The port messages, as the logger writes them to a raw terminal or a file.
std::string port_opened_message(const std::string& port);
std::string port_not_opened_message(const std::string& port);
extern const char kSettingsRefusedMessage[];

struct Pty {
  int master = -1;
  int slave = -1;  // held open only by `hold_slave`
  std::string slave_path;
};

// A new pseudo-terminal; the terminal's own output processing is off, so what a program writes
// to it arrives byte for byte.
Pty open_pty();
void close_pty(Pty* pty);

// Keeps the slave open in the test, so that its input queue can be watched.
void hold_slave(Pty* pty);
// Waits until the program on the slave has read everything written to the master so far, so
// that the next write arrives in a read of its own.
void wait_until_taken(const Pty& pty);

struct Workspace {
  std::string root;
  std::string ports;  // the COMLOG_PORTS folder
  std::string cwd;    // where test.dat is written
};

Workspace make_workspace();
void remove_workspace(const Workspace& workspace);
// Makes COM<number> of the workspace's ports folder lead to `target`.
void link_port(const Workspace& workspace, int number, const std::string& target);

struct RunOptions {
  std::vector<std::string> command;      // the program and its arguments, argument zero included
  std::vector<std::string> environment;  // NAME=value pairs added to the test's own
  std::string cwd;
  // The controlling terminal, also standard input and output; empty for a process without one.
  std::string terminal;
  bool stdin_from_dev_null = false;
  bool stdout_to_pipe = false;  // standard output goes to `Child::output`
  // The largest file the process may write, in bytes (`ulimit -f`); negative for no limit.
  long file_size_limit = -1;
};

struct Child {
  pid_t pid = -1;
  int output = -1;  // the read end of standard output's pipe, when asked for
};

// The logger as built, and the standard command line for a port number argument.
std::string comlog_path();
RunOptions comlog_options(const Workspace& workspace, const std::vector<std::string>& arguments);

Child start(const RunOptions& options);

// Reads from `fd` into `seen` until `wanted` is part of it, the other side closes, or a safety
// limit of some seconds passes. Returns whether `wanted` arrived.
bool read_until(int fd, std::string* seen, const std::string& wanted);
// Reads everything until the other side closes.
std::string read_to_end(int fd);

// Waits for the process to end (with a safety limit after which it is killed) and returns the
// raw wait status.
int wait_for_exit(pid_t pid);

std::string read_file(const std::string& path);
void write_all(int fd, const std::string& bytes);
