// Stands in for an interactive shell with job control, for the end-to-end tests: it runs one job
// in a process group of its own on its controlling terminal and moves it between the foreground
// and the background on command, as bash does.
//
//   job_shell [-n] fg|bg PROGRAM [ARGUMENT...]
//
// With -n the shell leaves the terminal's settings alone when a job stops, as dash does.
// The job gets the terminal as its standard input, output and error. Commands come on standard
// input, one letter each:
//   t  hand the terminal to the job (fg of a job that is running in the background)
//   f  hand the terminal to the job and continue it (fg of a stopped job)
//   c  continue the job without the terminal (bg)
//   o  hand the terminal to another job, which only waits
// Reports go to standard output, a line each: "job PID" once the job runs; "ok" after a command;
// "stopped N" when the job has stopped by signal N, after the shell has taken the terminal back
// and put its own settings back; "exited N" or "killed N" when the job has ended, after which the
// shell ends too.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

int g_tty = -1;
termios g_own_settings;
bool g_restores_on_stop = true;

void report(const char* what, int number) {
  std::printf(number >= 0 ? "%s %d\n" : "%s\n", what, number);
  std::fflush(stdout);
}

// As bash does when its foreground job stops or ends: the shell takes the terminal back; after
// a stop or a death by signal its own settings go back too, after a normal exit the terminal
// keeps what the job left. A background job's end changes nothing.
void take_terminal_back(bool* job_has_terminal, bool own_settings) {
  if (!*job_has_terminal) return;
  *job_has_terminal = false;
  tcsetpgrp(g_tty, getpgrp());
  if (own_settings) tcsetattr(g_tty, TCSADRAIN, &g_own_settings);
}

pid_t start_other_job() {
  const pid_t other = fork();
  if (other == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // it goes with the shell, however the shell ends
    pause();
    _exit(0);
  }
  setpgid(other, other);
  return other;
}

[[noreturn]] void run_job(bool foreground, char** command) {
  setpgid(0, 0);
  if (foreground) tcsetpgrp(g_tty, getpid());
  for (int signal_number : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU}) {
    signal(signal_number, SIG_DFL);
  }
  // Standard error stays the shell's own, so that the logger's words for an operator at the
  // terminal stay out of what the tests read there.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO}) dup2(g_tty, fd);
  close(g_tty);
  execv(command[0], command);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "-n") == 0) {
    g_restores_on_stop = false;
    ++argv;
    --argc;
  }
  if (argc < 3 || (std::strcmp(argv[1], "fg") != 0 && std::strcmp(argv[1], "bg") != 0)) {
    std::fprintf(stderr, "usage: job_shell [-n] fg|bg PROGRAM [ARGUMENT...]\n");
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

  pid_t other = -1;
  bool job_has_terminal = foreground;
  bool commands_open = true;
  for (;;) {
    int status = 0;
    const pid_t changed = waitpid(job, &status, WNOHANG | WUNTRACED);
    if (changed == job && WIFSTOPPED(status)) {
      take_terminal_back(&job_has_terminal, g_restores_on_stop);
      report("stopped", WSTOPSIG(status));
    } else if (changed == job) {
      take_terminal_back(&job_has_terminal, WIFSIGNALED(status) && g_restores_on_stop);
      report(WIFEXITED(status) ? "exited" : "killed",
             WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
      if (other > 0) kill(other, SIGKILL);
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
    if (command == 't' || command == 'f') {
      tcsetpgrp(g_tty, job);
      job_has_terminal = true;
    }
    if (command == 'f' || command == 'c') kill(-job, SIGCONT);
    if (command == 'o' && other < 0) {
      other = start_other_job();
      tcsetpgrp(g_tty, other);
      job_has_terminal = false;
    }
    if (command != 0 && std::strchr("tfco", command) != nullptr) report("ok", -1);
  }
}
