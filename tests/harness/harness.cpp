#include "harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

// Generous limits that only keep a broken run from hanging the suite; nothing is timed by them.
constexpr int kSafetyLimitMs = 15000;

void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// In a child between fork and exec: only system calls.
bool become_ordinary_user() {
  return setgroups(0, nullptr) == 0 &&
         setresgid(kOrdinaryGroup, kOrdinaryGroup, kOrdinaryGroup) == 0 &&
         setresuid(kOrdinaryUser, kOrdinaryUser, kOrdinaryUser) == 0;
}

bool ordinary_user_can_run(const std::string& path) {
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) _exit(become_ordinary_user() && access(path.c_str(), X_OK) == 0 ? 0 : 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// In a child between fork and exec: removes LANG and every LC_ variable from the environment.
void remove_locale_variables() {
  for (;;) {
    char** entry = environ;
    while (*entry != nullptr && std::strncmp(*entry, "LC_", 3) != 0 &&
           std::strncmp(*entry, "LANG=", 5) != 0) {
      ++entry;
    }
    if (*entry == nullptr) return;
    char name[256];
    size_t length = 0;
    while ((*entry)[length] != '=' && (*entry)[length] != '\0' && length + 1 < sizeof name) {
      name[length] = (*entry)[length];
      ++length;
    }
    name[length] = '\0';
    if (unsetenv(name) != 0) _exit(126);
  }
}

// Where copies of programs go when the build folder is closed to the ordinary user.
std::string g_program_copies;

void remove_program_copies() {
  std::error_code ignored;
  if (!g_program_copies.empty()) std::filesystem::remove_all(g_program_copies, ignored);
}

}  // namespace

void hand_to_ordinary_user(const std::string& path) {
  if (tests_run_as_root() && chown(path.c_str(), kOrdinaryUser, kOrdinaryGroup) != 0) fail(path);
}

bool tests_run_as_root() {
  return geteuid() == 0;
}

std::string runnable_by_ordinary_user(const std::string& path) {
  if (!tests_run_as_root()) return path;
  static std::map<std::string, std::string> runnable;
  auto known = runnable.find(path);
  if (known != runnable.end()) return known->second;
  std::string usable = path;
  if (!ordinary_user_can_run(path)) {
    if (g_program_copies.empty()) {
      char pattern[] = "/tmp/comlog-e2e-programs-XXXXXX";
      if (mkdtemp(pattern) == nullptr || chmod(pattern, 0755) != 0) fail("mkdtemp");
      g_program_copies = pattern;
      std::atexit(remove_program_copies);
    }
    usable = g_program_copies + "/" + std::filesystem::path(path).filename().string();
    std::filesystem::copy_file(path, usable, std::filesystem::copy_options::overwrite_existing);
    if (chmod(usable.c_str(), 0755) != 0) fail("chmod");
  }
  runnable[path] = usable;
  return usable;
}

Pty open_pty() {
  Pty pty;
  pty.master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) fail("ptmx");
  pty.slave_path = ptsname(pty.master);
  termios settings;
  if (tcgetattr(pty.master, &settings) != 0) fail("tcgetattr");
  settings.c_oflag &= ~OPOST;
  if (tcsetattr(pty.master, TCSANOW, &settings) != 0) fail("tcsetattr");
  hand_to_ordinary_user(pty.slave_path);
  return pty;
}

void close_pty(Pty* pty) {
  if (pty->master >= 0) close(pty->master);
  if (pty->slave >= 0) close(pty->slave);
  pty->master = pty->slave = -1;
}

void hold_slave(Pty* pty) {
  pty->slave = open(pty->slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) fail("open slave");
}

void wait_until_taken(const Pty& pty) {
  // The terminal layer moves written bytes to the slave's queue a moment after the write.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyLimitMs);
  int queued = 1;
  while (ioctl(pty.slave, FIONREAD, &queued) == 0 && queued > 0) {
    if (std::chrono::steady_clock::now() > limit) fail("bytes never taken");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

Workspace make_workspace() {
  char pattern[] = "/tmp/comlog-e2e-XXXXXX";
  if (mkdtemp(pattern) == nullptr) fail("mkdtemp");
  Workspace workspace{pattern, std::string(pattern) + "/ports", std::string(pattern) + "/work"};
  std::filesystem::create_directory(workspace.ports);
  std::filesystem::create_directory(workspace.cwd);
  for (const std::string& folder : {workspace.root, workspace.ports, workspace.cwd}) {
    hand_to_ordinary_user(folder);
  }
  return workspace;
}

void remove_workspace(const Workspace& workspace) {
  std::error_code ignored;
  std::filesystem::remove_all(workspace.root, ignored);
}

void link_port(const Workspace& workspace, int number, const std::string& target) {
  const std::string link = workspace.ports + "/com" + std::to_string(number);
  std::filesystem::remove(link);
  std::filesystem::create_symlink(target, link);
}

std::string comlog_path() {
  return runnable_by_ordinary_user(COMLOG_PATH);
}

RunOptions comlog_options(const Workspace& workspace, const std::vector<std::string>& arguments) {
  RunOptions options;
  options.as_ordinary_user = true;
  options.command.push_back(comlog_path());
  options.command.insert(options.command.end(), arguments.begin(), arguments.end());
  options.environment.push_back("COMLOG_PORTS=" + workspace.ports);
  options.locale = std::vector<std::string>{"LANG=C", "LC_ALL=C"};
  options.cwd = workspace.cwd;
  return options;
}

Child start(const RunOptions& options) {
  int pipe_ends[2] = {-1, -1};
  if (options.stdout_to_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0) fail("pipe");
  int input_ends[2] = {-1, -1};
  if (options.stdin_from_pipe && pipe2(input_ends, O_CLOEXEC) != 0) fail("pipe");
  int error_ends[2] = {-1, -1};
  if (options.stderr_to_pipe && pipe2(error_ends, O_CLOEXEC) != 0) fail("pipe");
  std::vector<char*> argv;
  for (const std::string& word : options.command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    setsid();
    int null_fd = open("/dev/null", O_RDWR);
    int terminal = null_fd;
    if (!options.terminal.empty()) {
      terminal = open(options.terminal.c_str(), O_RDWR);
      if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(120);
    }
    int output = options.stdout_to_pipe ? pipe_ends[1] : terminal;
    if (!options.output_path.empty()) {
      output = open(options.output_path.c_str(), O_RDWR | O_NOCTTY);
      if (output < 0) _exit(125);
    }
    dup2(options.stdin_from_pipe       ? input_ends[0]
         : options.stdin_from_dev_null ? null_fd
                                       : terminal,
         STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(options.stderr_to_pipe       ? error_ends[1]
         : options.errors_to_terminal ? terminal
                                      : null_fd,
         STDERR_FILENO);
    if (output > STDERR_FILENO) close(output);
    if (terminal > STDERR_FILENO) close(terminal);
    if (null_fd > STDERR_FILENO && null_fd != terminal) close(null_fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(121);
    if (options.file_size_limit >= 0) {
      const rlimit limit = {rlim_t(options.file_size_limit), rlim_t(options.file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(123);
    }
    if (options.cpu_limit_seconds >= 0) {
      const rlimit cpu = {rlim_t(options.cpu_limit_seconds),
                          rlim_t(options.cpu_limit_seconds + 30)};
      const rlimit no_core = {0, 0};
      if (setrlimit(RLIMIT_CPU, &cpu) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0) _exit(123);
    }
    if (options.as_ordinary_user && tests_run_as_root() && !become_ordinary_user()) _exit(124);
    if (options.locale) {
      remove_locale_variables();
      for (const std::string& pair : *options.locale) putenv(const_cast<char*>(pair.c_str()));
    }
    for (const std::string& pair : options.environment) putenv(const_cast<char*>(pair.c_str()));
    // Whatever the test runner was started with (a background job of a script ignores SIGINT),
    // the program gets the dispositions a test asks for and the defaults otherwise.
    for (int signal_number : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU,
                              SIGCONT, SIGALRM, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO}) {
      signal(signal_number, SIG_DFL);
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : options.blocked_signals) sigaddset(&blocked, signal_number);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
    for (int signal_number : options.ignored_signals) signal(signal_number, SIG_IGN);
    for (int fd : options.closed_descriptors) close(fd);
    execv(options.command[0].c_str(), argv.data());
    _exit(122);
  }
  Child run;
  run.pid = pid;
  if (options.stdout_to_pipe) {
    close(pipe_ends[1]);
    run.output = pipe_ends[0];
  }
  if (options.stdin_from_pipe) {
    close(input_ends[0]);
    run.input = input_ends[1];
  }
  if (options.stderr_to_pipe) {
    close(error_ends[1]);
    run.errors = error_ends[0];
  }
  return run;
}

namespace {

// Reads until `wanted` is part of `seen`; with no `wanted`, until the other side closes.
bool read_into(int fd, std::string* seen, const std::string* wanted) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyLimitMs);
  for (;;) {
    if (wanted != nullptr && seen->find(*wanted) != std::string::npos) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        limit - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, int(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return wanted == nullptr || seen->find(*wanted) != std::string::npos;
    seen->append(chunk, size_t(got));
  }
}

}  // namespace

bool read_until(int fd, std::string* seen, const std::string& wanted) {
  return read_into(fd, seen, &wanted);
}

std::string read_to_end(int fd) {
  std::string seen;
  read_into(fd, &seen, nullptr);
  return seen;
}

bool wait_until(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyLimitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool blocked_in_write(pid_t pid, int fd) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  std::string first_argument;
  file >> number >> first_argument;
  std::ostringstream wanted;
  wanted << "0x" << std::hex << fd;
  return number == SYS_write && first_argument == wanted.str();
}

uid_t user_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Uid:", 0) == 0) return uid_t(std::stoul(line.substr(4)));
  }
  fail("no Uid line for " + std::to_string(pid));
  return 0;
}

int wait_for_exit(pid_t pid) {
  return wait_for_exit(pid, kSafetyLimitMs);
}

int wait_for_exit(pid_t pid, int limit_ms) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
  hand_to_ordinary_user(path);
}

void write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("write");
    done += size_t(written);
  }
}
