// The clock of bench/rehearse_bench.sh, as a program of its own so that the shell's
// own forks stay out of the figures:
//   rehearse_floor N J PROGRAM   N starts of PROGRAM (no arguments), J at once
//   rehearse_floor -- COMMAND... COMMAND once
// Each prints one line (on standard error after a COMMAND, whose output is its own;
// else on standard output): wall, user and system seconds, and the peak memory of the
// largest process (of the command and everything it started).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

int Spawn(char* const* argv, posix_spawn_file_actions_t* actions) {
  int pid = 0;
  if (::posix_spawn(&pid, argv[0], actions, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "rehearse_floor: cannot start %s\n", argv[0]);
    std::exit(1);
  }
  return pid;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  const bool command = argc > 2 && std::strcmp(argv[1], "--") == 0;
  if (!command && argc != 4) {
    std::fprintf(stderr, "usage: rehearse_floor N J PROGRAM | rehearse_floor -- COMMAND...\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  if (command) {
    ::waitpid(Spawn(argv + 2, nullptr), &status, 0);
  } else {
    const long starts = std::atol(argv[1]);
    const long atOnce = std::max(1L, std::atol(argv[2]));
    char* const program[] = {argv[3], nullptr};
    long started = 0, running = 0;
    while (started < starts || running > 0) {
      for (; started < starts && running < atOnce; ++started, ++running) Spawn(program, &actions);
      if (::wait(&status) > 0) --running;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  std::fprintf(command ? stderr : stdout, "%.3f s wall, %.3f s user, %.3f s system, peak %.1f MiB\n", wall, Seconds(usage.ru_utime),
              Seconds(usage.ru_stime), static_cast<double>(usage.ru_maxrss) / 1024);
  return command && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}
