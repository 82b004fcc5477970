// The image's process table: which host processes belong to the terminal. A
// process is known by pid and start time, so a reused pid is never touched.
#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

int PidfdSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

}  // namespace

UniqueFd OpenPidfd(int pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

const std::u16string& ModulePath() {
  static const std::u16string path = [] {
    const char* module = std::getenv("TERMSIM_MODULE");
    return module ? FromUtf8(module) : std::u16string();
  }();
  return path;
}

namespace {

// Read with plain calls: the first stream of a process would set up the C++ locale,
// which costs more than the rest of a short program's start.
int64_t ReadStartTime(int pid, bool evenEnded) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return 0;
  char text[1024];
  ssize_t size = 0;
  do {
    size = ::read(fd.Get(), text, sizeof text - 1);
  } while (size < 0 && errno == EINTR);
  if (size <= 0) return 0;
  text[size] = '\0';
  // The command name may hold blanks and parentheses; fields resume after the last ')'.
  const char* close = std::strrchr(text, ')');
  if (!close || close[1] != ' ') return 0;
  const char* field = close + 2;
  const char state = *field;
  if (!evenEnded && (state == 'Z' || state == 'X')) return 0;
  // Field 3 is the state; the start time is field 22.
  for (int i = 3; i < 22; ++i) {
    field = std::strchr(field, ' ');
    if (!field) return 0;
    ++field;
  }
  return std::strtoll(field, nullptr, 10);
}

}  // namespace

int64_t ProcessStartTime(int pid) { return ReadStartTime(pid, false); }

int64_t ChildStartTime(int pid) { return ReadStartTime(pid, true); }

int64_t SelfStartTime() {
  // Kept per pid: a child forked without exec must not pass for its parent.
  static std::atomic<int> cachedPid{0};
  static std::atomic<int64_t> cachedStart{0};
  const int pid = ::getpid();
  if (cachedPid.load() != pid) {
    cachedStart = ProcessStartTime(pid);
    cachedPid = pid;
  }
  return cachedStart.load();
}

bool ProcessAlive(int pid, int64_t startTime) { return pid > 0 && startTime != 0 && ProcessStartTime(pid) == startTime; }

bool RegisterSelf(int64_t generation) {
  const int pid = ::getpid();
  Transaction transaction;
  const int64_t current = SettingInt("generation", 0);
  if (generation > 0 && generation != current) return false;
  Statement insert(
      "INSERT INTO processes(pid, start_time, generation, image, host) VALUES(?, ?, ?, ?, 1) "
      "ON CONFLICT(pid, start_time) DO UPDATE SET host = 1");
  insert.Bind(1, static_cast<int64_t>(pid)).Bind(2, SelfStartTime());
  insert.Bind(3, current).Bind(4, ModulePath()).Run();
  transaction.Commit();
  return true;
}

void RecordSelfExit(DWORD code) {
  const int pid = ::getpid();
  // One commit for both: the code and its event are never seen one without the other.
  Transaction transaction;
  SetExitCode({pid, SelfStartTime()}, code);
  Journal("process-exit", {{"image", ModulePath()}, {"exit_code", static_cast<int64_t>(code)}});
  transaction.Commit();
}

void EndTerminalProcesses(bool spareCaller) {
  struct Victim {
    int pid;
    int64_t startTime;
  };
  std::vector<Victim> victims;
  {
    Transaction transaction;
    const int64_t generation = SettingInt("generation", 0);
    SetSetting("generation", std::to_string(generation + 1));
    Statement live("SELECT pid, start_time FROM processes WHERE exit_code IS NULL");
    while (live.Step()) victims.push_back({static_cast<int>(live.Int(0)), live.Int(1)});
    Statement ended("UPDATE processes SET exit_code = -1 WHERE exit_code IS NULL");
    ended.Run();
    transaction.Commit();
  }
  const int self = ::getpid();
  for (const auto& victim : victims) {
    if (victim.pid == self) continue;
    // The pidfd pins the process, so the start-time check and the signal see the same one.
    const UniqueFd pidfd = OpenPidfd(victim.pid);
    if (!pidfd.Valid()) continue;
    if (ProcessStartTime(victim.pid) == victim.startTime) PidfdSignal(pidfd.Get(), SIGKILL);
  }
  if (!spareCaller) {
    for (const auto& victim : victims) {
      if (victim.pid == self) ::kill(self, SIGKILL);
    }
    ::_exit(137);
  }
}

void CreateProcessTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE processes(
  pid INTEGER NOT NULL,
  start_time INTEGER NOT NULL,
  generation INTEGER NOT NULL,
  image TEXT NOT NULL,
  host INTEGER NOT NULL DEFAULT 0,
  exit_code INTEGER,
  PRIMARY KEY(pid, start_time));
)sql");
}

void AddStartedProcess(const StartedProcess& process, int64_t generation, std::u16string_view image) {
  Statement insert(
      "INSERT INTO processes(pid, start_time, generation, image, host) VALUES(?, ?, ?, ?, 0) "
      "ON CONFLICT(pid, start_time) DO NOTHING");
  insert.Bind(1, static_cast<int64_t>(process.pid)).Bind(2, process.startTime);
  insert.Bind(3, generation).Bind(4, image).Run();
}

std::optional<ProcessRow> FindProcessRow(const StartedProcess& process) {
  Statement row("SELECT image, exit_code FROM processes WHERE pid = ? AND start_time = ?");
  row.Bind(1, static_cast<int64_t>(process.pid)).Bind(2, process.startTime);
  if (!row.Step()) return std::nullopt;
  return ProcessRow{row.Text16(0), row.IsNull(1) ? std::nullopt : std::optional(static_cast<DWORD>(row.Int(1)))};
}

void SetExitCode(const StartedProcess& process, DWORD code) {
  Statement update("UPDATE processes SET exit_code = ? WHERE pid = ? AND start_time = ?");
  update.Bind(1, static_cast<int64_t>(code)).Bind(2, static_cast<int64_t>(process.pid)).Bind(3, process.startTime).Run();
}

std::vector<int64_t> LiveStartTimes(int pid) {
  std::vector<int64_t> starts;
  Statement rows("SELECT start_time FROM processes WHERE pid = ? AND exit_code IS NULL");
  rows.Bind(1, static_cast<int64_t>(pid));
  while (rows.Step()) starts.push_back(rows.Int(0));
  return starts;
}

std::vector<ProcessRecord> ProcessRecords() {
  std::vector<ProcessRecord> records;
  Statement query("SELECT pid, image, host, exit_code FROM processes ORDER BY rowid");
  while (query.Step()) {
    records.push_back({query.Int(0), query.Text16(1), query.Int(2) != 0,
                       query.IsNull(3) ? std::nullopt : std::optional(static_cast<DWORD>(query.Int(3)))});
  }
  return records;
}

}  // namespace host
