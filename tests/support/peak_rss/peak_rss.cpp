// Runs a program and writes its peak resident memory to a file:
//
//   tw_peak_rss REPORT_FILE PROGRAM [ARGS...]
//
// A process forked from a large one starts with the large one's resident
// pages counted against its own peak, and keeps that peak across exec; so a
// test binary cannot measure a program it forks itself. This small program
// (built without sanitizers) forks the program instead, waits for it and
// writes "<maxrss_kb>\n" to REPORT_FILE. It then ends as the program ended:
// with its exit status, or by the same signal. The program gets the same
// standard streams and is killed when this process dies.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
  const pid_t parent = getpid();
  const pid_t pid = argc < 3 ? -1 : fork();
  if (pid < 0) {
    std::perror("usage: tw_peak_rss REPORT_FILE PROGRAM [ARGS...]; fork");
    return 125;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == parent) execv(argv[2], argv + 2);
    std::perror("tw_peak_rss: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 125;
  }
  if (FILE* f = std::fopen(argv[1], "w")) {
    std::fprintf(f, "%ld\n", usage.ru_maxrss);
    std::fclose(f);
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
