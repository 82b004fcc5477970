// The emulated terminal's private interfaces, shared by the files of platform/host
// only: the image database, its statements and transactions, and the handle table.
#ifndef KORVA_PLATFORM_HOST_HOSTINTERNAL_H
#define KORVA_PLATFORM_HOST_HOSTINTERNAL_H

#include "platform/host/Terminal.h"

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <mutex>

namespace host {

// ---------------------------------------------------------------- database (Image.cpp)

// Every statement of this process runs under this lock; blocking waits never hold it.
std::recursive_mutex& DatabaseLock();
sqlite3* Database();

// A prepared statement on the image database. Throws HostError on SQLite errors.
class Statement {
 public:
  explicit Statement(const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, std::u16string_view text);  // stored as UTF-8
  Statement& BindBlob(int index, const void* data, size_t size);
  // Binds without a copy: the bytes must stay unchanged until the statement's last Step.
  Statement& BindBorrowedBlob(int index, std::string_view bytes);
  Statement& BindNull(int index);

  bool Step();  // true while a row is available
  void Run();   // steps to the end

  bool IsNull(int column) const;
  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::u16string Text16(int column) const;
  std::string Blob(int column) const;
  std::string_view BlobView(int column) const;  // valid until the next step or the end

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  const char* sql_;  // a literal: prepared statements are kept per literal
  sqlite3_stmt* stmt_ = nullptr;
  bool suspendedRead_ = false;  // this write ended the open read transaction
};

// One write transaction (BEGIN IMMEDIATE), or a savepoint inside an outer one.
// Rolls back unless Commit() was called, all but the writes made with WriteLasting.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  bool done_ = false;
  bool nested_ = false;
  std::optional<unsigned> begunAt_;  // the data version when the outermost one began
  size_t lastingFrom_ = 0;           // the first lasting write made inside this one
};

// Makes `write` (statements only, no Transaction) as part of the open transaction, if
// any, and keeps it through a rollback of that transaction or of any around it: the
// rollback undoes the rest and makes `write` again under the same write lock, so that
// every process sees it once the outermost one ends, committed or not. For what a
// fault rule did (its count, its events), which the failure it caused must not undo.
void WriteLasting(const std::function<void()>& write);
// Ends every write transaction this process has open, as a power cut ends them: what
// they changed is lost, their lasting writes are committed. Their Transaction objects
// are left with nothing to do.
void AbandonTransactions();

// One read snapshot for every statement in its scope (BEGIN, ended when the outermost
// scope ends); nested scopes share it, and inside a write transaction it adds nothing.
// A write cannot join a read transaction safely: SQLite refuses to turn it into a
// write transaction once another process has committed since its snapshot began
// (SQLITE_BUSY_SNAPSHOT). So a Transaction, or a writing Statement, opened inside it
// ends the read transaction first, runs on its own, and the read transaction goes on
// with a new snapshot afterwards. Without an attached image it does nothing.
class ReadTransaction {
 public:
  ReadTransaction();
  ~ReadTransaction();
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  std::unique_lock<std::recursive_mutex> lock_;
  bool active_ = false;
};

int64_t LastInsertRowId();

// Runs SQL text of one or more statements on `db`. Throws HostError.
void Exec(sqlite3* db, const char* sql);

// Unmaps the bell of the image being detached (Bell.cpp).
void ForgetBell();

// ---------------------------------------------------------------- journal (Journal.cpp)

// Journal(), as a lasting write (WriteLasting): the event stays, with the time it was
// first written, whatever rolls back around it.
void JournalLasting(const char* event, std::initializer_list<JournalField> fields);

// ---------------------------------------------------------------- schema (each area's file)

// The tables of one area, created in a new image's database inside the transaction
// that creates it. Image.cpp calls them in the order the tables are stored.
void CreateRegistryTables(sqlite3* db);  // Registry.cpp, with the root key
void CreateJournalTables(sqlite3* db);   // Journal.cpp
void CreateProcessTables(sqlite3* db);   // ProcessTable.cpp
void CreateSyncTables(sqlite3* db);      // Sync.cpp
void CreateFileTables(sqlite3* db);      // FileIo.cpp
void CreateWindowTables(sqlite3* db);    // Windows.cpp
void CreateFaultTables(sqlite3* db);     // Faults.cpp

// ---------------------------------------------------------------- settings (Settings.cpp)

// `text`, the stored value of setting `name`, read as SettingInt and SettingDouble
// read it: for a setting read without Setting(), or a number inside a setting's text.
int64_t SettingIntFrom(const std::string& name, std::string_view text, int64_t fallback);
double SettingDoubleFrom(const std::string& name, std::string_view text, double fallback);

// ---------------------------------------------------------------- fault rules (Faults.cpp)

// False when no rule of the image names `api`: the call need not build its target
// for CheckFault. `afterRead`: the call has read the image with a statement of its
// own, and until the database changes the rule version needs no reading again.
bool MayHaveFaultRules(const char* api, bool afterRead);

// Whether the attached image has any fault rule; for a write transaction just begun,
// which no rule change can then come into but its own.
bool HasFaultRules();

// The pager's count of database changes, by this process or another one; nothing
// when SQLite cannot tell.
std::optional<unsigned> DataVersion() noexcept;

// A write transaction of this process held the write lock from `begun` (the data
// version its snapshot began at) to its commit, just made: no other process changed
// anything between, so a rule version known at `begun` still holds after it.
void CarryRuleVersion(std::optional<unsigned> begun) noexcept;


// ---------------------------------------------------------------- storage (Storage.cpp)

// What a new file, folder, registry key or value takes besides its data and (in the
// registry) its name: the size of a FAT directory entry.
inline constexpr uint64_t kEntryBytes = 32;
// Where a change lands on the host: in fs/ or in the image database.
enum class Store { Files, Database };
// Whether a change that adds `bytes` fits: within the image's capacity, and short of
// the host space kept for the terminal's bookkeeping. A change that adds nothing always
// fits. Where the image has a capacity, call it inside the Transaction or CapacityLock
// that also makes the change, so that no other process's change comes between.
bool RoomFor(uint64_t bytes, Store store);
// Records which room a refused change found missing (LastFullWasHost).
void NoteFull(bool host);

// While the image has a capacity, its write lock for the scope's life, for a change made
// outside the database (a file's bytes) that RoomFor checked. Nothing of the database
// changes under it, so it ends without a commit.
class CapacityLock {
 public:
  CapacityLock();

 private:
  std::optional<Transaction> transaction_;
};

// ---------------------------------------------------------------- handles (Handles.cpp)

enum class HandleKind { File, Find, Process, Thread, Mutex, Key, Device };

class HandleObject {
 public:
  virtual ~HandleObject() = default;
  virtual HandleKind Kind() const = 0;
};

// Handle values are never reused, so a closed handle stays invalid.
HANDLE AddHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> FindHandle(HANDLE handle);
// Removes and returns the object; null when absent.
std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> FindHandleOf(HANDLE handle, HandleKind kind) {
  auto object = FindHandle(handle);
  if (!object || object->Kind() != kind) return nullptr;
  return std::static_pointer_cast<T>(object);
}

// Process, thread and mutex handles: what WaitForSingleObject waits on (Sync.cpp).
class Waitable : public HandleObject {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;  // none: forever
  // WAIT_OBJECT_0, WAIT_ABANDONED (a mutex whose owner ended) or WAIT_TIMEOUT.
  virtual DWORD Wait(Deadline deadline) = 0;
};

// Process and thread handles: signalled when they end, with an exit code then.
class Task : public Waitable {
 public:
  virtual std::optional<DWORD> ExitCode() = 0;  // nullopt while running
};

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_HOSTINTERNAL_H
