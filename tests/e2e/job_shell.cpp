// Stands in for an interactive shell with job control, for the end-to-end tests: it runs one job
// in a process group of its own on its controlling terminal and moves it between the foreground
// and the background on command, as bash does.
//
//   job_shell fg|bg PROGRAM [ARGUMENT...]
//
// The job gets the terminal as its standard input, output and error. Commands come on standard
// input, one letter each:
//   t  hand the terminal to the job (fg of a job that is running in the background)
//   f  hand the terminal to the job and continue it (fg of a stopped job)
//   c  continue the job without the terminal (bg)
// Reports go to standard output, a line each: "job PID" once the job runs; "ok" after a command;
// "stopped N" when the job has stopped by signal N, after the shell has taken the terminal back
// and put its own settings back; "exited N" or "killed N" when the job has ended, after which the
// shell ends too.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

int g_tty = -1;
termios g_own_settings;

void report(const char* what, int number) {
  std::printf(number >= 0 ? "%s %d\n" : "%s\n", what, number);
  std::fflush(stdout);
}

// As bash does: after a stop or a death by signal the shell's own settings go back; after a
// normal exit the terminal keeps what the job left.
void take_terminal_back(bool own_settings) {
  tcsetpgrp(g_tty, getpgrp());
  if (own_settings) tcsetattr(g_tty, TCSADRAIN, &g_own_settings);
}

[[noreturn]] void run_job(bool foreground, char** command) {
  setpgid(0, 0);
  if (foreground) tcsetpgrp(g_tty, getpid());
  for (int signal_number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
    signal(signal_number, SIG_DFL);
  }
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(g_tty, fd);
  close(g_tty);
  execv(command[0], command);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "fg") != 0 && std::strcmp(argv[1], "bg") != 0)) {
    std::fprintf(stderr, "usage: job_shell fg|bg PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const bool foreground = std::strcmp(argv[1], "fg") == 0;
  // As an interactive shell does: the job-control signals are not for the shell itself.
  for (int signal_number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
    signal(signal_number, SIG_IGN);
  }
  g_tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (g_tty < 0 || tcgetattr(g_tty, &g_own_settings) != 0) {
    std::perror("job_shell: /dev/tty");
    return 2;
  }
  const pid_t job = fork();
  if (job < 0) return 2;
  if (job == 0) run_job(foreground, argv + 2);
  setpgid(job, job);
  if (foreground) tcsetpgrp(g_tty, job);
  report("job", job);

  bool commands_open = true;
  for (;;) {
    int status = 0;
    const pid_t changed = waitpid(job, &status, WNOHANG | WUNTRACED);
    if (changed == job && WIFSTOPPED(status)) {
      take_terminal_back(true);
      report("stopped", WSTOPSIG(status));
    } else if (changed == job) {
      take_terminal_back(WIFSIGNALED(status));
      report(WIFEXITED(status) ? "exited" : "killed",
             WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
      return 0;
    }
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (!commands_open || poll(&input, 1, 5) <= 0) {
      if (!commands_open) usleep(5000);
      continue;
    }
    char command = 0;
    if (read(STDIN_FILENO, &command, 1) != 1) {
      commands_open = false;
      continue;
    }
    if (command == 't' || command == 'f') tcsetpgrp(g_tty, job);
    if (command == 'f' || command == 'c') kill(-job, SIGCONT);
    if (command == 't' || command == 'f' || command == 'c') report("ok", -1);
  }
}
