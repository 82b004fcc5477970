// The image database beneath every area, private to platform/host: the connection of
// the attached image, prepared statements, write transactions and read snapshots.
// Every failure throws HostError.
#ifndef KORVA_PLATFORM_HOST_DATABASE_H
#define KORVA_PLATFORM_HOST_DATABASE_H

#include "platform/host/Errors.h"

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace host {

// ---------------------------------------------------------------- connections

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
// A connection that closes itself: whatever path leaves the scope that opened it.
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;

// Opens the database file at `path` (SQLITE_OPEN_* `flags`) with the terminal's busy
// handler and pragmas. Throws HostError "cannot open PATH: reason".
DatabaseHandle OpenDatabase(const std::string& path, int flags);
// A failure of `db` as the terminal reports it. A full host (SQLITE_FULL, or the
// write-ahead log's index that cannot grow) is ERROR_DISK_FULL and says so.
HostError DatabaseError(sqlite3* db, const std::string& what, const std::string& message);
// What an image made not durable ("durable" is "no") runs on each connection: its
// commits and checkpoints write without waiting for the disk.
inline constexpr char kNotDurable[] = "PRAGMA synchronous=OFF;";

// Makes `db` the attached image's database, for every thread of this process, until
// DetachDatabase closes it (after finalizing its statements).
void AttachDatabase(DatabaseHandle db);
void DetachDatabase();

struct Connection;
// Points this thread's statements and transactions at `db`, the database of an image
// being made, for the scope's life; the attached image, for every other thread and
// afterwards for this one, stays as it was. The caller closes `db` after the scope.
class NewDatabaseScope {
 public:
  explicit NewDatabaseScope(sqlite3* db);
  ~NewDatabaseScope();
  NewDatabaseScope(const NewDatabaseScope&) = delete;
  NewDatabaseScope& operator=(const NewDatabaseScope&) = delete;

 private:
  std::unique_ptr<Connection> connection_;
  Connection* previous_;
};

// ---------------------------------------------------------------- statements and transactions

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

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_DATABASE_H
