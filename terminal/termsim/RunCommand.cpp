// termsim run: starts a program on the terminal, prints the journal as the run writes
// it, and exits with the program's code.
//
// The run's processes (the program and what it starts, detached starts excepted) form
// one process group, led by a small guardian forked first: when termsim ends without
// saying it is done (it was killed), the guardian ends the group, so no process of the
// run outlives termsim to hold Setup's mutex against the next run.
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "platform/host/UniqueFd.h"
#include "terminal/termsim/Commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
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
// How often the journal is read for new events while the program runs.
constexpr int kJournalPollMs = 25;

int Reap(int pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The guardian's whole life: it holds nothing of termsim's (no database, no output a
// reader of termsim's output would wait on) and outlives every signal but SIGKILL.
[[noreturn]] void GuardRunGroup(int readFd) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(signal, SIG_IGN);
  const int null = ::open("/dev/null", O_RDWR);
  for (int stream = 0; stream < 3; ++stream) ::dup2(null, stream);
  if (readFd > 3) ::close_range(3, static_cast<unsigned>(readFd) - 1, 0);
  ::close_range(static_cast<unsigned>(readFd) + 1, ~0U, 0);
  char done = 0;
  ssize_t got;
  while ((got = ::read(readFd, &done, 1)) < 0 && errno == EINTR) {
  }
  if (got != 1) ::kill(-::getpid(), SIGKILL);
  ::_exit(0);
}

// The guardian and leader of the run's process group.
class RunGroup {
 public:
  RunGroup() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw CommandFailure(std::string("cannot guard the run: ") + std::strerror(errno));
    host::UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    leader_ = ::fork();
    if (leader_ < 0) throw CommandFailure(std::string("cannot guard the run: ") + std::strerror(errno));
    if (leader_ == 0) {
      ::setpgid(0, 0);
      writeEnd.Reset();
      GuardRunGroup(readEnd.Get());
    }
    // Both sides set the group, so it exists before the program is put into it.
    ::setpgid(leader_, leader_);
    readEnd.Reset();
    doneFd_ = std::move(writeEnd);
  }
  ~RunGroup() {
    if (!doneFd_.Valid()) return;
    (void)!::write(doneFd_.Get(), "d", 1);
    doneFd_.Reset();
    Reap(leader_);
  }
  RunGroup(const RunGroup&) = delete;
  RunGroup& operator=(const RunGroup&) = delete;

  int id() const { return leader_; }
  // Ends every process of the run, the guardian with them.
  void End() {
    ::kill(-leader_, SIGKILL);
    doneFd_.Reset();
    Reap(leader_);
  }

 private:
  int leader_ = -1;
  host::UniqueFd doneFd_;
};

// SIGINT, SIGTERM and SIGHUP, held back from termsim and read from a descriptor.
class Interrupts {
 public:
  Interrupts() {
    sigemptyset(&set_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, signal);
    ::sigprocmask(SIG_BLOCK, &set_, &previous_);
    fd_.Reset(::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_.Valid()) throw CommandFailure(std::string("cannot watch for signals: ") + std::strerror(errno));
  }
  ~Interrupts() {
    fd_.Reset();
    ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;
  int fd() const { return fd_.Get(); }
  // The signal that arrived, 0 when none.
  int Received() const {
    signalfd_siginfo info{};
    return ::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
  }

 private:
  sigset_t set_{}, previous_{};
  host::UniqueFd fd_;
};

enum class Ending { Exited, TimedOut, Interrupted };

// The run's own events, printed as the journal gets them; not those of another run
// of the same image at the same time.
class RunJournal {
 public:
  // `before`: the journal's last event before the run's run-start.
  explicit RunJournal(int64_t before) : read_(before), events_(::getpid()) {}
  void PrintNew() { read_ = PrintJournal(read_, false, &events_); }

 private:
  int64_t read_;  // the last event looked at
  RunEvents events_;
};

// Waits for the program to end, at most `seconds` real seconds, printing the run's
// new events as they come.
Ending WaitPrinting(int pid, double seconds, const Interrupts& interrupts, RunJournal& journal, int* signal) {
  using Clock = std::chrono::steady_clock;
  const host::UniqueFd pidfd = host::OpenPidfd(pid);
  if (!pidfd.Valid()) throw CommandFailure(std::string("cannot watch the program: ") + std::strerror(errno));
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Ending ending = Ending::TimedOut;
  for (;;) {
    journal.PrintNew();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd watch[2] = {{pidfd.Get(), POLLIN, 0}, {interrupts.fd(), POLLIN, 0}};
    const int ready = ::poll(watch, 2, static_cast<int>(std::min<int64_t>(left, kJournalPollMs)));
    if (ready < 0 && errno != EINTR) throw CommandFailure(std::string("cannot wait for the program: ") + std::strerror(errno));
    if (ready > 0 && (watch[1].revents & POLLIN) && (*signal = interrupts.Received()) != 0) {
      ending = Ending::Interrupted;
      break;
    }
    if (ready > 0 && (watch[0].revents & POLLIN)) {
      ending = Ending::Exited;
      break;
    }
  }
  return ending;
}

// A code the shell can see: codes above 255 would wrap, and could wrap to 0.
int ExitCodeFor(DWORD code) { return code <= 255 ? static_cast<int>(code) : 255; }

// Journals run-start and starts the program, both or neither: a start that fails
// leaves the journal as it was.
host::StartedProcess StartRun(const std::u16string& cePath, const std::u16string& commandLine, int group) {
  const std::u16string image = host::CanonicalCePath(cePath).value_or(cePath);
  host::ChangeBatch transaction;
  host::Journal("run-start", {{"image", image}, {"cmdline", commandLine}});
  const host::StartedProcess started = host::StartProgram(cePath, commandLine, {.processGroup = group});
  transaction.Commit();
  return started;
}

int Finish(int exitCode, RunJournal& journal) {
  host::Journal("run-end", {{"exit_code", static_cast<int64_t>(exitCode)}});
  journal.PrintNew();
  return exitCode;
}

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
  // A reader that stops reading (| head) must not end termsim, and with it the run,
  // halfway through an installation; the program gets SIGPIPE back as its default.
  ::signal(SIGPIPE, SIG_IGN);

  RunGroup group;
  Interrupts interrupts;
  const int64_t before = host::LastJournalSeq();
  RunJournal journal(before);
  const host::StartedProcess started = StartRun(cePath, commandLine, group.id());
  int signal = 0;
  switch (WaitPrinting(started.pid, timeout, interrupts, journal, &signal)) {
    case Ending::TimedOut: {
      host::EndTerminalProcesses(true);
      // Our own child, not yet reaped, so its pid is still its own.
      ::kill(started.pid, SIGKILL);
      Reap(started.pid);
      const int code = Finish(kExitTimeout, journal);
      std::fprintf(stderr, "termsim run: %s did not end within %g seconds; every process of the terminal was ended\n",
                   host::ToUtf8(cePath).c_str(), timeout);
      return code;
    }
    case Ending::Interrupted: {
      group.End();
      host::RecordChildExit(started, Reap(started.pid));
      const int code = Finish(kExitInterrupted, journal);
      std::fprintf(stderr, "termsim run: interrupted by %s; the run's processes were ended\n", ::strsignal(signal));
      return code;
    }
    case Ending::Exited:
      break;
  }
  const DWORD code = host::RecordChildExit(started, Reap(started.pid));
  // A cut or a reset ends every process of the terminal: whichever run's program
  // caused it, this run's program went down with it.
  if (JournalHasEvent(before, "power-loss")) return Finish(kExitPowerLoss, journal);
  if (JournalHasEvent(before, "reset")) return Finish(kExitReset, journal);
  return Finish(ExitCodeFor(code), journal);
}

}  // namespace

CommandSpec RunCommand() {
  return {
      .name = "run",
      .positionals = "IMAGE CEPATH [CMDLINE]",
      .minPositionals = 2,
      .maxPositionals = 3,
      .summary = "Runs a program on the terminal, prints the run's journal as it is written (its own events,\n"
                 "as journal --run shows them), exits with the program's code. CEPATH is made canonical\n"
                 "as the loader names a module (\\FlashDisk\\SP\\Setup.exe).\n"
                 "CMDLINE is the program's whole command line (put -- before one that starts with -).\n"
                 "Exits 100 when the terminal reset during the run, 101 when a fault rule cut the power,\n"
                 "124 when the time-out expired (every process of the terminal is then ended), 125 when\n"
                 "termsim could not run the program, 130 when interrupted (SIGINT, SIGTERM, SIGHUP: the\n"
                 "run's processes are then ended). Killed, termsim leaves no process of the run behind.",
      .options = {{"timeout", "SEC", "real seconds to wait for the program (600)"}},
      .run = Run,
      .usageExit = kExitRunFailed,
      .failureExit = kExitRunFailed,
  };
}

}  // namespace termsim
