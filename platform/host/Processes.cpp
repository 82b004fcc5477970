// Processes of the terminal: starting a program, process handles and exit codes.
//
// A process handle watches its process through a pidfd, so a reused pid is never
// mistaken for it. A child of this process is reaped by the first wait that sees it
// end; every handle of this process to the same process (the primary thread's too)
// shares one state, so that happens once. Exit codes of other processes come from
// the image's process table, where each program records its own.
#include "platform/host/HostInternal.h"

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

extern char** environ;

namespace host {

namespace {

// Linux reads at most this much of a "#!" line.
constexpr size_t kShebangLimit = 256;

// The exit code of a process that ended without anyone recording one (it was
// killed and its starter did not wait for it); a reset or stop records the same.
constexpr DWORD kCodeUnknown = 0xFFFFFFFF;

// NOTES: a process killed by a signal ends with the shell's 128 + signal number
// (137 for SIGKILL), never 0; one ended by a reset or `termsim stop` with 0xFFFFFFFF.
DWORD CodeFromStatus(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return static_cast<DWORD>(128 + WTERMSIG(status));
  return kCodeUnknown;
}

bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  return ::pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

// The program interpreter (dynamic loader) named by an ELF file's PT_INTERP; "" for a
// static program, nullopt for a malformed file.
template <class Ehdr, class Phdr>
std::optional<std::string> ElfInterpreter(int fd) {
  Ehdr header;
  if (!ReadAt(fd, &header, sizeof header, 0) || header.e_phentsize != sizeof(Phdr)) return std::nullopt;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr segment;
    if (!ReadAt(fd, &segment, sizeof segment, static_cast<off_t>(header.e_phoff + i * sizeof(Phdr))))
      return std::nullopt;
    if (segment.p_type != PT_INTERP) continue;
    if (segment.p_filesz == 0 || segment.p_filesz > PATH_MAX) return std::nullopt;
    std::string path(segment.p_filesz, '\0');
    if (!ReadAt(fd, path.data(), path.size(), static_cast<off_t>(segment.p_offset))) return std::nullopt;
    path.resize(std::strlen(path.c_str()));
    return path;
  }
  return std::string();
}

// The "#!" line's interpreter and its one optional argument, as Linux splits it.
std::optional<std::vector<std::string>> ShebangCommand(int fd) {
  char buffer[kShebangLimit];
  const ssize_t size = ::pread(fd, buffer, sizeof buffer, 0);
  if (size < 3) return std::nullopt;
  std::string_view line(buffer + 2, static_cast<size_t>(size) - 2);
  const size_t end = line.find('\n');
  // Without a line end the file must be all of the line; longer, the kernel refuses it.
  if (end == std::string_view::npos && static_cast<size_t>(size) == sizeof buffer) return std::nullopt;
  line = line.substr(0, end);
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && (blank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  size_t split = 0;
  while (split < line.size() && !blank(line[split])) ++split;
  std::vector<std::string> command{std::string(line.substr(0, split))};
  std::string_view argument = line.substr(split);
  while (!argument.empty() && blank(argument.front())) argument.remove_prefix(1);
  if (!argument.empty()) command.emplace_back(argument);
  return command;
}

// How the host runs the file: the argument vector up to (not including) the command
// line. The terminal's files have no mode bits of their own, so a program that is not
// executable on the host runs through its dynamic loader, and a script through the
// interpreter of its "#!" line.
std::optional<std::vector<std::string>> HostCommand(const ResolvedPath& path, DWORD* error) {
  // O_NONBLOCK: a FIFO planted in fs/ must not hold the open until someone writes to it.
  const UniqueFd file(::openat(path.parentFd.Get(), path.hostName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st;
  if (!file.Valid() || ::fstat(file.Get(), &st) != 0) {
    *error = ErrorFromErrno(errno);
    return std::nullopt;
  }
  // A folder, FIFO or device is no program, and refused as the file calls refuse it.
  *error = ERROR_ACCESS_DENIED;
  if (!S_ISREG(st.st_mode)) return std::nullopt;
  *error = ERROR_BAD_EXE_FORMAT;
  const std::string hostPath = path.HostPath();
  unsigned char ident[EI_NIDENT] = {};
  if (!ReadAt(file.Get(), ident, sizeof ident, 0) && !ReadAt(file.Get(), ident, 2, 0)) return std::nullopt;
  if (ident[0] == '#' && ident[1] == '!') {
    auto command = ShebangCommand(file.Get());
    if (command) command->push_back(hostPath);
    return command;
  }
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
  if (::faccessat(path.parentFd.Get(), path.hostName.c_str(), X_OK, AT_EACCESS) == 0)
    return std::vector<std::string>{hostPath};
  const auto interpreter = ident[EI_CLASS] == ELFCLASS64 ? ElfInterpreter<Elf64_Ehdr, Elf64_Phdr>(file.Get())
                                                         : ElfInterpreter<Elf32_Ehdr, Elf32_Phdr>(file.Get());
  // A static program has no loader to run it through, and only an exec can start it.
  if (!interpreter || interpreter->empty()) return std::nullopt;
  return std::vector<std::string>{*interpreter, hostPath};
}

std::vector<std::string> ChildEnvironment(std::u16string_view cePath, int64_t generation) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with("TERMSIM_ROOT=") || text.starts_with("TERMSIM_MODULE=") ||
        text.starts_with("TERMSIM_GENERATION="))
      continue;
    environment.emplace_back(text);
  }
  environment.push_back("TERMSIM_ROOT=" + ImageRoot());
  environment.push_back("TERMSIM_MODULE=" + ToUtf8(cePath));
  environment.push_back("TERMSIM_GENERATION=" + std::to_string(generation));
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// posix_spawn: no fork of a process whose other threads may hold locks (SQLite's).
// Returns 0 or the errno of the failed start.
int Spawn(std::vector<std::string> argv, std::vector<std::string> environment, bool detached, int processGroup,
          int* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) {
    flags |= POSIX_SPAWN_SETSID;
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (processGroup > 0) {
    flags |= POSIX_SPAWN_SETPGROUP;
    ::posix_spawnattr_setpgroup(&attributes, processGroup);
  }
  // Nothing of this process (its database, its files, its pidfds) leaks into the child.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  ::posix_spawnattr_setflags(&attributes, flags);
  sigset_t none, defaults;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  auto argvPointers = Pointers(argv);
  auto environmentPointers = Pointers(environment);
  const int result =
      ::posix_spawn(pid, argv[0].c_str(), &actions, &attributes, argvPointers.data(), environmentPointers.data());
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return result;
}

DWORD ErrorFromSpawn(int err) {
  // The loader or a script's interpreter is missing or unusable.
  if (err == ENOENT || err == ENOEXEC || err == ELIBBAD || err == ENOTDIR) return ERROR_BAD_EXE_FORMAT;
  return ErrorFromErrno(err);
}

int Reap(int pid, int options, int* status) {
  int result;
  do {
    result = ::waitpid(pid, status, options);
  } while (result < 0 && errno == EINTR);
  return result;
}

// One process as this process sees it, shared by all of its handles here.
class ProcessState {
 public:
  ProcessState(int pid, int64_t startTime, UniqueFd pidfd, bool child)
      : pid_(pid), startTime_(startTime), pidfd_(std::move(pidfd)), child_(child) {}

  ~ProcessState() {
    // The last handle is gone: a child that has ended is reaped now, not left a zombie.
    int status = 0;
    if (child_ && !code_ && Reap(pid_, WNOHANG, &status) == pid_) RecordChildExit({pid_, startTime_}, status);
  }

  ProcessState(const ProcessState&) = delete;
  ProcessState& operator=(const ProcessState&) = delete;

  int64_t startTime() const { return startTime_; }

  DWORD Wait(Waitable::Deadline deadline) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
      int timeoutMs = -1;
      if (deadline) {
        const double left = std::chrono::duration<double, std::milli>(*deadline - Clock::now()).count();
        timeoutMs = left <= 0 ? 0 : static_cast<int>(std::min(std::ceil(left), double{INT_MAX}));
      }
      pollfd watch{pidfd_.Get(), POLLIN, 0};
      const int ready = ::poll(&watch, 1, timeoutMs);
      if (ready > 0) {
        Collect();
        return WAIT_OBJECT_0;
      }
      if (ready < 0 && errno != EINTR) throw HostError("poll of a process", ErrorFromErrno(errno));
      if (ready == 0 && timeoutMs >= 0 && Clock::now() >= *deadline) return WAIT_TIMEOUT;
    }
  }

  std::optional<DWORD> ExitCode() {
    {
      std::lock_guard guard(lock_);
      if (code_) return code_;
    }
    pollfd watch{pidfd_.Get(), POLLIN, 0};
    if (::poll(&watch, 1, 0) <= 0) return std::nullopt;
    return Collect();
  }

 private:
  // Called once the process has ended.
  DWORD Collect() {
    std::lock_guard guard(lock_);
    if (code_) return *code_;
    int status = 0;
    if (child_ && Reap(pid_, 0, &status) == pid_) {
      code_ = RecordChildExit({pid_, startTime_}, status);
      return *code_;
    }
    // NOTES: a process that ended without a recorded code (a script whose starter has
    // not yet waited for it, a process killed from outside) gives 0xFFFFFFFF until
    // its code is recorded.
    const auto row = FindProcessRow({pid_, startTime_});
    if (!row || !row->exitCode) return kCodeUnknown;
    code_ = row->exitCode;
    return *code_;
  }

  const int pid_;
  const int64_t startTime_;
  const UniqueFd pidfd_;
  const bool child_;
  std::mutex lock_;
  std::optional<DWORD> code_;
};

// A process handle, or the handle of its primary thread, which ends with it.
class ProcessTask final : public Task {
 public:
  ProcessTask(std::shared_ptr<ProcessState> state, HandleKind kind) : state_(std::move(state)), kind_(kind) {}
  HandleKind Kind() const override { return kind_; }
  DWORD Wait(Deadline deadline) override { return state_->Wait(deadline); }
  std::optional<DWORD> ExitCode() override { return state_->ExitCode(); }

 private:
  std::shared_ptr<ProcessState> state_;
  HandleKind kind_;
};

std::mutex g_statesLock;
std::map<int, std::weak_ptr<ProcessState>> g_states;

std::shared_ptr<ProcessState> KnownState(int pid, int64_t startTime) {
  std::lock_guard guard(g_statesLock);
  auto it = g_states.find(pid);
  if (it == g_states.end()) return nullptr;
  auto state = it->second.lock();
  if (!state) g_states.erase(it);
  return state && state->startTime() == startTime ? state : nullptr;
}

void RememberState(int pid, const std::shared_ptr<ProcessState>& state) {
  std::lock_guard guard(g_statesLock);
  g_states[pid] = state;
}

[[noreturn]] void CannotStart(std::u16string_view cePath, DWORD error) {
  throw HostError("cannot start " + ToUtf8(cePath) + ": " + ErrorName(error), error);
}

// Spawns `argv` as the program `image` and records it, under one write lock.
StartedProcess SpawnRecorded(const std::vector<std::string>& argv, const std::u16string& image,
                             std::u16string_view commandLine, const StartOptions& options) {
  // The write lock is held from before the spawn to the row: a reset cannot slip in
  // between (the new process is in the table when the reset reads it), and the
  // child's own first write waits, so process-start comes before its events.
  Transaction transaction;
  const int64_t generation = SettingInt("generation", 0);
  int pid = 0;
  const int err = Spawn(argv, ChildEnvironment(image, generation), options.detached, options.processGroup, &pid);
  if (err != 0) throw HostError("spawn", ErrorFromSpawn(err));
  const StartedProcess started{pid, ChildStartTime(pid)};
  try {
    AddStartedProcess(started, generation, image);
    if (options.journalStart) {
      Journal("process-start",
              {{"image", image}, {"cmdline", std::u16string(commandLine)}, {"child", static_cast<int64_t>(pid)}});
    }
    transaction.Commit();
  } catch (const HostError&) {
    // Unrecorded, the process would escape the terminal's reset: it must not run.
    ::kill(pid, SIGKILL);
    int status = 0;
    Reap(pid, 0, &status);
    throw;
  }
  return started;
}

}  // namespace

StartedProcess StartProgram(std::u16string_view cePath, std::u16string_view commandLine, const StartOptions& options) {
  auto resolved = ResolvePath(cePath);
  if (!resolved) CannotStart(cePath, ::GetLastError());
  if (!resolved->exists) CannotStart(cePath, ERROR_FILE_NOT_FOUND);
  DWORD error = 0;
  auto argv = HostCommand(*resolved, &error);
  if (!argv) CannotStart(cePath, error);
  argv->push_back(ToUtf8(commandLine));
  try {
    // The loader's module name: what the program, the table and the journal see.
    return SpawnRecorded(*argv, resolved->cePath, commandLine, options);
  } catch (const HostError& e) {
    CannotStart(cePath, e.code());
  }
}

DWORD RecordChildExit(const StartedProcess& process, int waitStatus) {
  const DWORD fromStatus = CodeFromStatus(waitStatus);
  return Guarded(fromStatus, [&]() -> DWORD {
    Transaction transaction;
    const auto row = FindProcessRow(process);
    if (!row) return fromStatus;
    // Recorded by the program itself (its full 32-bit code), or by a reset or stop.
    if (row->exitCode) return *row->exitCode;
    SetExitCode(process, fromStatus);
    // A script, or a program that was killed before it could record its end.
    Journal("process-exit", {{"image", row->image}, {"exit_code", static_cast<int64_t>(fromStatus)}});
    transaction.Commit();
    return fromStatus;
  });
}

}  // namespace host

// NOTES: the image name is used exactly as given: no ".exe" is appended and no search
// path is tried, so "\Windows\wceload.exe" must be named in full. A null command line
// reaches the program as "" (CE passes the image name). The primary thread's id is
// the process id.
BOOL CreateProcessW(LPCWSTR pszImageName, LPCWSTR pszCmdLine, LPSECURITY_ATTRIBUTES psaProcess,
                    LPSECURITY_ATTRIBUTES psaThread, BOOL fInheritHandles, DWORD fdwCreate, LPVOID pvEnvironment,
                    LPWSTR pszCurDir, LPSTARTUPINFOW psiStartInfo, LPPROCESS_INFORMATION pProcInfo) {
  // CE requires an image name; an empty one names no file, as the desktop answers.
  if (!pszImageName) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!*pszImageName) return host::Fail(ERROR_PATH_NOT_FOUND, FALSE);
  // The terminal has no security, handle inheritance, environment block, current
  // folder or start-up information.
  if (psaProcess || psaThread || fInheritHandles || pvEnvironment || pszCurDir || psiStartInfo)
    return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  // NOTES: CREATE_SUSPENDED is not supported: a host process runs from its start, and
  // there is no ResumeThread. No other creation flag is either.
  if (fdwCreate != 0) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!pProcInfo) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  const std::u16string image = host::ToU16(pszImageName);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("CreateProcessW", image);
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    const auto started = host::StartProgram(image, host::ToU16(pszCmdLine));
    // Not yet reaped, the child keeps its pid, so the pidfd is surely of it.
    host::UniqueFd pidfd = host::OpenPidfd(started.pid);
    if (!pidfd.Valid()) throw host::HostError("pidfd_open", host::ErrorFromErrno(errno));
    auto state = std::make_shared<host::ProcessState>(started.pid, started.startTime, std::move(pidfd), true);
    host::RememberState(started.pid, state);
    pProcInfo->hProcess = host::AddHandle(std::make_shared<host::ProcessTask>(state, host::HandleKind::Process));
    pProcInfo->hThread = host::AddHandle(std::make_shared<host::ProcessTask>(state, host::HandleKind::Thread));
    pProcInfo->dwProcessId = static_cast<DWORD>(started.pid);
    pProcInfo->dwThreadId = static_cast<DWORD>(started.pid);
    return TRUE;
  });
}

HANDLE OpenProcess(DWORD fdwAccess, BOOL fInherit, DWORD IDProcess) {
  (void)fdwAccess;  // CE has no access checks: any mask opens the process
  if (fInherit) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});  // no handle inheritance
  return host::Guarded(HANDLE{}, [&]() -> HANDLE {
    const auto fault = host::CheckFault("OpenProcess", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, HANDLE{});
    if (IDProcess == 0 || IDProcess > INT_MAX) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
    const int pid = static_cast<int>(IDProcess);
    // Only a live process of this terminal: a row of the table that has not ended.
    const std::vector<int64_t> starts = host::LiveStartTimes(pid);
    for (int64_t start : starts) {
      if (auto state = host::KnownState(pid, start))
        return host::AddHandle(std::make_shared<host::ProcessTask>(state, host::HandleKind::Process));
    }
    host::UniqueFd pidfd = host::OpenPidfd(pid);
    if (!pidfd.Valid()) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
    // The pidfd pins what it opened: if that process still runs, /proc/PID is it.
    const int64_t start = host::ProcessStartTime(pid);
    pollfd watch{pidfd.Get(), POLLIN, 0};
    if (start == 0 || std::find(starts.begin(), starts.end(), start) == starts.end() || ::poll(&watch, 1, 0) != 0) {
      return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
    }
    auto state = std::make_shared<host::ProcessState>(pid, start, std::move(pidfd), false);
    return host::AddHandle(std::make_shared<host::ProcessTask>(state, host::HandleKind::Process));
  });
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  auto task = host::FindHandleOf<host::Task>(hProcess, host::HandleKind::Process);
  if (!task) return host::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpExitCode) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("GetExitCodeProcess", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    *lpExitCode = task->ExitCode().value_or(STILL_ACTIVE);
    return TRUE;
  });
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }

void ExitProcess(UINT uExitCode) {
  host::Guarded(0, [&] {
    host::RecordSelfExit(uExitCode);
    return 0;
  });
  std::fflush(nullptr);
  // Other threads may still be blocked in terminal calls; nothing of theirs is torn down.
  ::_exit(static_cast<int>(uExitCode & 0xFF));
}
