// Mutexes and WaitForSingleObject.
//
// A named mutex is one object for every process of the terminal. Its owner and its
// open handles are rows of the image (mutexes, mutex_handles): the mutex exists while
// a live process holds a handle to it, so the handles of a killed process count for
// nothing (they are pruned when the name is next created), and a mutex whose owning
// thread or process has ended is abandoned: the next wait takes it with WAIT_ABANDONED.
// NOTES: CE's pages do not list WAIT_ABANDONED; the desktop's answer is given.
// An unnamed mutex lives in its process.
#include "platform/host/HostInternal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <thread>

namespace host {

bool ThreadAlive(int64_t pid, int64_t thread) {
  // EPERM: it exists, it is only not ours to signal.
  return ::syscall(SYS_tgkill, static_cast<pid_t>(pid), static_cast<pid_t>(thread), 0) == 0 || errno == EPERM;
}

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiter looks whether a mutex's owner has ended without releasing it.
constexpr auto kOwnerCheck = std::chrono::milliseconds(50);
constexpr auto kFirstBackoff = std::chrono::milliseconds(1);

// The owner of a named mutex: a thread of a process known by pid and start time.
struct Owner {
  int64_t pid = 0;
  int64_t startTime = 0;
  int64_t thread = 0;
  bool operator==(const Owner&) const = default;
};

Owner Self() { return {::getpid(), SelfStartTime(), GetCurrentThreadId()}; }

class MutexObject : public Waitable {
 public:
  HandleKind Kind() const override { return HandleKind::Mutex; }
  // False when the calling thread does not own the mutex.
  virtual bool Release() = 0;
};

class LocalMutex final : public MutexObject {
 public:
  explicit LocalMutex(bool owned) {
    if (owned) {
      owner_ = GetCurrentThreadId();
      count_ = 1;
    }
  }

  DWORD Wait(Deadline deadline) override {
    const DWORD self = GetCurrentThreadId();
    std::unique_lock lock(lock_);
    for (;;) {
      if (count_ == 0 || owner_ == self) {
        owner_ = self;
        ++count_;
        return WAIT_OBJECT_0;
      }
      if (!ThreadAlive(::getpid(), owner_)) {
        owner_ = self;
        count_ = 1;
        return WAIT_ABANDONED;
      }
      const auto now = Clock::now();
      if (deadline && now >= *deadline) return WAIT_TIMEOUT;
      // An owner that ends without releasing wakes nobody: look again now and then.
      changed_.wait_until(lock, deadline ? std::min(*deadline, now + kOwnerCheck) : now + kOwnerCheck);
    }
  }

  bool Release() override {
    std::lock_guard guard(lock_);
    if (count_ == 0 || owner_ != GetCurrentThreadId()) return false;
    if (--count_ == 0) {
      owner_ = 0;
      changed_.notify_one();
    }
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  DWORD owner_ = 0;
  int64_t count_ = 0;
};

struct NamedState {
  Owner owner;
  int64_t count = 0;
};

NamedState ReadNamed(const std::u16string& name) {
  Statement query("SELECT owner_pid, owner_start_time, owner_thread, owner_count FROM mutexes WHERE name = ?");
  query.Bind(1, name);
  // The row lives while this process holds a handle; without it the handle is stale.
  if (!query.Step()) throw HostError("mutex row missing", ERROR_INVALID_HANDLE);
  return {{query.Int(0), query.Int(1), query.Int(2)}, query.Int(3)};
}

// WAIT_OBJECT_0 or WAIT_ABANDONED when the calling thread may take the mutex now.
std::optional<DWORD> Acquirable(const NamedState& state, const Owner& self) {
  if (state.count == 0 || state.owner == self) return WAIT_OBJECT_0;
  if (!ProcessAlive(static_cast<int>(state.owner.pid), state.owner.startTime) ||
      !ThreadAlive(state.owner.pid, state.owner.thread))
    return WAIT_ABANDONED;
  return std::nullopt;
}

// A mutex that no handle holds is gone.
void RemoveIfUnheld(const std::u16string& name) {
  Statement remove("DELETE FROM mutexes WHERE name = ?1 AND NOT EXISTS(SELECT 1 FROM mutex_handles WHERE name = ?1)");
  remove.Bind(1, name).Run();
}

// Forgets the handles of ended processes; a mutex no live process holds is gone.
void PruneNamed(const std::u16string& name) {
  std::vector<std::pair<int64_t, int64_t>> ended;
  {
    Statement holders("SELECT DISTINCT pid, start_time FROM mutex_handles WHERE name = ?");
    holders.Bind(1, name);
    while (holders.Step()) {
      if (!ProcessAlive(static_cast<int>(holders.Int(0)), holders.Int(1)))
        ended.emplace_back(holders.Int(0), holders.Int(1));
    }
  }
  for (const auto& [pid, startTime] : ended) {
    Statement forget("DELETE FROM mutex_handles WHERE name = ? AND pid = ? AND start_time = ?");
    forget.Bind(1, name).Bind(2, pid).Bind(3, startTime).Run();
  }
  RemoveIfUnheld(name);
}

class NamedMutex final : public MutexObject {
 public:
  NamedMutex(std::u16string name, int64_t serial) : name_(std::move(name)), serial_(serial), root_(ImageRoot()) {}

  ~NamedMutex() override {
    try {
      // A handle left open when its image was detached has nothing left to remove.
      if (!IsAttached() || ImageRoot() != root_) return;
      Transaction transaction;
      Statement forget("DELETE FROM mutex_handles WHERE pid = ? AND start_time = ? AND handle = ?");
      forget.Bind(1, static_cast<int64_t>(::getpid())).Bind(2, SelfStartTime()).Bind(3, serial_).Run();
      // Handles of ended processes may keep the row; the next creation of the name
      // forgets them, as it must anyway for a holder that ended without closing.
      RemoveIfUnheld(name_);
      transaction.Commit();
    } catch (const HostError&) {
      // Closing cannot fail; a row left behind is pruned once this process has ended.
    }
  }

  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  DWORD Wait(Deadline deadline) override {
    auto backoff = std::chrono::duration_cast<Clock::duration>(kFirstBackoff);
    for (;;) {
      if (auto result = TryAcquire()) return *result;
      const auto now = Clock::now();
      if (deadline && now >= *deadline) return WAIT_TIMEOUT;
      std::this_thread::sleep_for(deadline ? std::min(backoff, *deadline - now) : backoff);
      backoff = std::min<Clock::duration>(backoff * 2, kOwnerCheck);
    }
  }

  bool Release() override {
    const Owner self = Self();
    Transaction transaction;
    const NamedState state = ReadNamed(name_);
    if (state.count == 0 || !(state.owner == self)) return false;
    if (state.count == 1) {
      Statement free("UPDATE mutexes SET owner_pid = NULL, owner_start_time = NULL, owner_thread = NULL, "
                     "owner_count = 0 WHERE name = ?");
      free.Bind(1, name_).Run();
    } else {
      Statement down("UPDATE mutexes SET owner_count = owner_count - 1 WHERE name = ?");
      down.Bind(1, name_).Run();
    }
    transaction.Commit();
    return true;
  }

 private:
  std::optional<DWORD> TryAcquire() {
    const Owner self = Self();
    // A look without the write lock first: most polls find the mutex still held.
    if (!Acquirable(ReadNamed(name_), self)) return std::nullopt;
    Transaction transaction;
    const NamedState state = ReadNamed(name_);
    const auto result = Acquirable(state, self);
    if (!result) return std::nullopt;
    Statement take("UPDATE mutexes SET owner_pid = ?, owner_start_time = ?, owner_thread = ?, owner_count = ? "
                   "WHERE name = ?");
    take.Bind(1, self.pid).Bind(2, self.startTime).Bind(3, self.thread);
    take.Bind(4, *result == WAIT_OBJECT_0 && state.owner == self ? state.count + 1 : 1).Bind(5, name_).Run();
    transaction.Commit();
    return result;
  }

  const std::u16string name_;
  const int64_t serial_;
  const std::string root_;
};

std::atomic<int64_t> g_nextSerial{1};

// Adds the mutex unless its row exists; true when it was added.
bool InsertNamed(const std::u16string& name, bool initialOwner, const Owner& self) {
  Statement create(
      "INSERT INTO mutexes(name, owner_pid, owner_start_time, owner_thread, owner_count) VALUES(?, ?, ?, ?, ?) "
      "ON CONFLICT(name) DO NOTHING");
  create.Bind(1, name);
  if (initialOwner) {
    create.Bind(2, self.pid).Bind(3, self.startTime).Bind(4, self.thread).Bind(5, int64_t{1});
  } else {
    create.BindNull(2).BindNull(3).BindNull(4).Bind(5, int64_t{0});
  }
  create.Run();
  return sqlite3_changes(Database()) > 0;
}

HANDLE CreateNamed(const std::u16string& name, bool initialOwner) {
  const Owner self = Self();
  const int64_t serial = g_nextSerial++;
  Transaction transaction;
  // A row that exists may be held only by ended processes: then the mutex is gone,
  // and this call makes it anew. Without a row there is nothing to forget.
  bool existed = !InsertNamed(name, initialOwner, self);
  if (existed) {
    PruneNamed(name);
    existed = !InsertNamed(name, initialOwner, self);
  }
  Statement hold("INSERT INTO mutex_handles(name, pid, start_time, handle) VALUES(?, ?, ?, ?)");
  hold.Bind(1, name).Bind(2, self.pid).Bind(3, self.startTime).Bind(4, serial).Run();
  transaction.Commit();
  HANDLE handle = AddHandle(std::make_shared<NamedMutex>(name, serial));
  // Set on success too: an existing mutex is opened, not owned, whatever bInitialOwner says.
  ::SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

void CreateSyncTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE mutexes(
  name TEXT PRIMARY KEY,
  owner_pid INTEGER,
  owner_start_time INTEGER,
  owner_thread INTEGER,
  owner_count INTEGER NOT NULL DEFAULT 0);
CREATE TABLE mutex_handles(
  name TEXT NOT NULL REFERENCES mutexes(name) ON DELETE CASCADE,
  pid INTEGER NOT NULL,
  start_time INTEGER NOT NULL,
  handle INTEGER NOT NULL,
  PRIMARY KEY(pid, start_time, handle));
)sql");
}

std::vector<std::u16string> NamedMutexes() {
  std::vector<std::u16string> names;
  Statement query("SELECT name FROM mutexes ORDER BY name");
  while (query.Step()) names.push_back(query.Text16(0));
  return names;
}

}  // namespace host

// NOTES: mutex names are case-sensitive, as on desktop Windows; the terminal has no
// events or semaphores that could share their namespace.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpsa, BOOL bInitialOwner, LPCWSTR lpName) {
  if (lpsa) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});  // CE has no security
  const std::u16string name = host::ToU16(lpName);
  if (name.size() >= MAX_PATH) return host::Fail(ERROR_FILENAME_EXCED_RANGE, HANDLE{});
  return host::Guarded(HANDLE{}, [&]() -> HANDLE {
    const auto fault = host::CheckFault("CreateMutexW", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, HANDLE{});
    // An empty name makes an unnamed mutex, as on Windows.
    if (!name.empty()) return host::CreateNamed(name, bInitialOwner != FALSE);
    HANDLE handle = host::AddHandle(std::make_shared<host::LocalMutex>(bInitialOwner != FALSE));
    ::SetLastError(ERROR_SUCCESS);
    return handle;
  });
}

BOOL ReleaseMutex(HANDLE hMutex) {
  auto mutex = host::FindHandleOf<host::MutexObject>(hMutex, host::HandleKind::Mutex);
  if (!mutex) return host::Fail(ERROR_INVALID_HANDLE, FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("ReleaseMutex", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    if (!mutex->Release()) return host::Fail(ERROR_NOT_OWNER, FALSE);
    return TRUE;
  });
}

// Time-outs follow the terminal's time scale; a thread blocked here counts as blocked
// for a scaled Sleep elsewhere in the process.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  auto object = host::FindHandle(hHandle);
  if (!object || (object->Kind() != host::HandleKind::Process && object->Kind() != host::HandleKind::Thread &&
                  object->Kind() != host::HandleKind::Mutex))
    return host::Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  auto waitable = std::static_pointer_cast<host::Waitable>(object);
  return host::Guarded(WAIT_FAILED, [&]() -> DWORD {
    const auto fault = host::CheckFault("WaitForSingleObject", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, WAIT_FAILED);
    host::Waitable::Deadline deadline;
    if (dwMilliseconds != INFINITE) {
      const std::chrono::duration<double, std::milli> real(host::ScaledMs(dwMilliseconds));
      deadline = host::Clock::now() + std::chrono::duration_cast<host::Clock::duration>(real);
    }
    std::optional<host::BlockedInCall> blocked;
    if (dwMilliseconds != 0) blocked.emplace();
    return waitable->Wait(deadline);
  });
}
