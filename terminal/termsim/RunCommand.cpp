// termsim run: starts a program on the terminal, waits for it, prints the run's
// journal and exits with the program's code.
#include "platform/host/HostInternal.h"
#include "terminal/termsim/Commands.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace termsim {

namespace {

constexpr double kDefaultTimeoutSeconds = 600;
// Beyond this a time-out means "never" in practice; it keeps the arithmetic finite.
constexpr double kLongestTimeoutSeconds = 1e7;

// Waits for the child to end, at most `seconds` real seconds. True when it ended.
bool WaitForExit(int pid, double seconds) {
  using Clock = std::chrono::steady_clock;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) throw CommandFailure(std::string("cannot watch the program: ") + std::strerror(errno));
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  bool ended = false;
  while (!ended) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd watch{pidfd, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::min<int64_t>(left, 60'000)));
    if (ready < 0 && errno != EINTR) {
      ::close(pidfd);
      throw CommandFailure(std::string("cannot wait for the program: ") + std::strerror(errno));
    }
    ended = ready > 0;
  }
  ::close(pidfd);
  return ended;
}

int Reap(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// A code the shell can see: codes above 255 would wrap, and could wrap to 0.
int ExitCodeFor(DWORD code) { return code <= 255 ? static_cast<int>(code) : 255; }

int Run(const Arguments& arguments) {
  const std::u16string cePath = TextArgument("CEPATH", arguments.Positional(1));
  if (cePath.empty()) throw UsageError("CEPATH must not be empty");
  const std::u16string commandLine = TextArgument("CMDLINE", arguments.Positional(2));
  double timeout = kDefaultTimeoutSeconds;
  if (auto value = arguments.Value("timeout")) {
    timeout = NumberArgument("--timeout", *value);
    if (timeout <= 0 || timeout > kLongestTimeoutSeconds)
      throw UsageError("--timeout must be above 0 seconds and at most 1e7, not '" + *value + "'");
  }
  AttachOrFail(arguments.Positional(0));

  const int64_t before = LastJournalSeq();
  const auto started = host::StartProgram(cePath, commandLine);
  if (!started)
    throw CommandFailure("cannot start " + host::ToUtf8(cePath) + ": " + host::ErrorName(::GetLastError()));
  if (!WaitForExit(started->pid, timeout)) {
    host::EndTerminalProcesses(true);
    // Our own child, not yet reaped, so its pid is still its own.
    ::kill(started->pid, SIGKILL);
    Reap(started->pid);
    PrintJournal(before, false);
    std::fprintf(stderr, "termsim run: %s did not end within %g seconds; every process of the terminal was ended\n",
                 host::ToUtf8(cePath).c_str(), timeout);
    return kExitTimeout;
  }
  const DWORD code = host::RecordChildExit(*started, Reap(started->pid));
  PrintJournal(before, false);
  if (JournalHasEvent(before, "reset")) return kExitReset;
  return ExitCodeFor(code);
}

}  // namespace

CommandSpec RunCommand() {
  return {
      .name = "run",
      .positionals = "IMAGE CEPATH [CMDLINE]",
      .minPositionals = 2,
      .maxPositionals = 3,
      .summary = "Runs a program on the terminal, prints the run's journal, exits with the program's code.\n"
                 "CMDLINE is the program's whole command line (put -- before one that starts with -).\n"
                 "Exits 100 when the terminal reset during the run, 124 when the time-out expired (every\n"
                 "process of the terminal is then ended), 125 when termsim could not run the program.",
      .options = {{"timeout", "SEC", "real seconds to wait for the program (600)"}},
      .run = Run,
      .usageExit = kExitRunFailed,
      .failureExit = kExitRunFailed,
  };
}

}  // namespace termsim
