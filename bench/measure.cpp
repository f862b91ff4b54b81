// Runs one command and prints its wall time in microseconds, its peak
// resident memory in KiB (the largest of the process and the descendants it
// waited for) and its exit status:  "<wall_us> <maxrss_kb> <status>".
// The command's own output goes to /dev/null.
//
// Usage: tw_bench_measure PROGRAM [ARGS...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tw_bench_measure PROGRAM [ARGS...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
    std::perror("tw_bench_measure: spawn");
    return 2;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("%lld %ld %d\n", static_cast<long long>(wall.count()), usage.ru_maxrss,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
