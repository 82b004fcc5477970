// The image database: a connection per image for this process, the statements every
// area prepares once and keeps, write transactions that keep a fault rule's own writes
// through a rollback, and read snapshots that step aside for a write.
#include "platform/host/HostInternal.h"

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace host {

HostError DatabaseError(sqlite3* db, const std::string& what, const std::string& message) {
  const int primary = sqlite3_errcode(db) & 0xFF;
  const int host = sqlite3_system_errno(db);
  if (primary == SQLITE_FULL || (primary == SQLITE_IOERR && (host == ENOSPC || host == EDQUOT))) {
    NoteFull(true);
    return HostError("the host's storage is full (" + what + ": " + message + ")", ERROR_DISK_FULL);
  }
  return HostError(what + ": " + message, ERROR_REGISTRY_IO_FAILED);
}

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "?";
    sqlite3_free(message);
    throw DatabaseError(db, "database", text);
  }
}

// One connection and what this process keeps with it.
struct Connection {
  sqlite3* db = nullptr;
  std::unordered_map<const char*, std::vector<sqlite3_stmt*>> idleStatements;
  int transactionDepth = 0;
  // The writes of the open write transaction that its rollback must not undo (WriteLasting).
  std::vector<std::function<void()>> lasting;
  int readDepth = 0;      // ReadTransaction scopes alive
  bool readOpen = false;  // their BEGIN is in effect (no write is running)
};

namespace {

std::recursive_mutex g_databaseLock;
std::unique_ptr<Connection> g_attached;
// The database of the image that this thread's CreateImage is making (NewDatabaseScope).
thread_local Connection* t_newConnection = nullptr;

// The connection that this thread's statements and transactions use; null when none.
Connection* Target() { return t_newConnection ? t_newConnection : g_attached.get(); }

[[noreturn]] void ThrowDb(const std::string& what) {
  const Connection* connection = Target();
  if (!connection || !connection->db) throw HostError(what + ": no image", ERROR_REGISTRY_IO_FAILED);
  throw DatabaseError(connection->db, what, sqlite3_errmsg(connection->db));
}

// Waits for another process's write lock. SQLite's own busy timeout sleeps 1, 2, 5,
// 10 ms and more between tries, so a process could wait 10 ms past a release while the
// terminal's transactions last well under one: short sleeps first, then 1 ms ones,
// for a minute in all.
int RetryWhileBusy(void*, int attempt) {
  constexpr int kShortAttempts = 20;  // 50 µs, 100 µs ... 1 ms: 10.5 ms in all
  constexpr int kAttempts = kShortAttempts + 60000;
  if (attempt >= kAttempts) return 0;
  const int micros = attempt < kShortAttempts ? 50 * (attempt + 1) : 1000;
  std::this_thread::sleep_for(std::chrono::microseconds(micros));
  return 1;
}

// BEGIN, COMMIT and the like, prepared once per attach: parsing them costs as much
// as the point read they surround.
sqlite3_stmt* PreparedControl(const char* sql) {
  auto& idle = Target()->idleStatements[sql];
  if (idle.empty()) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(Target()->db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
      ThrowDb(std::string("prepare ") + sql);
    idle.push_back(statement);
  }
  return idle.back();
}

void RunControl(const char* sql) {
  sqlite3_stmt* statement = PreparedControl(sql);
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  if (rc != SQLITE_DONE) ThrowDb(sql);
}

// Ends the open read transaction before a write (see ReadTransaction).
void SuspendRead() {
  if (!Target()->readOpen) return;
  Target()->readOpen = false;
  RunControl("COMMIT");
}

// Goes on with the call's read transaction, on a new snapshot, once no write runs.
// Called from destructors, so it never throws: should BEGIN fail, the call's later
// statements each run on their own, as they would without a read transaction.
void ResumeRead() noexcept {
  Connection* connection = Target();
  if (connection->readDepth == 0 || connection->readOpen || connection->transactionDepth > 0) return;
  try {
    RunControl("BEGIN");
    connection->readOpen = true;
  } catch (const HostError&) {
  }
}

// Makes the lasting writes from `from` on again, after a rollback undid them. False
// when one fails. Never throws: rollbacks run in destructors.
bool ReplayLasting(const Connection& connection, size_t from) noexcept {
  try {
    for (size_t i = from; i < connection.lasting.size(); ++i) connection.lasting[i]();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Ends the outermost write transaction, undoing all but its lasting writes. Those are
// made again before the write lock is let go, so no other process ever sees the image
// without them: a rule's count read meanwhile elsewhere would let it fire once more.
void RollBackOutermost(Connection& connection) noexcept {
  auto run = [&](const char* sql) { return sqlite3_exec(connection.db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
  const bool kept = !connection.lasting.empty() && run("ROLLBACK TO changes;") && ReplayLasting(connection, 0) &&
                    run("COMMIT;");
  if (!kept) run("ROLLBACK;");
  connection.lasting.clear();
}

void FinalizeIdleStatements(Connection& connection) {
  for (auto& [sql, statements] : connection.idleStatements) {
    for (auto* statement : statements) sqlite3_finalize(statement);
  }
  connection.idleStatements.clear();
}

}  // namespace

DatabaseHandle OpenDatabase(const std::string& path, int flags) {
  // No page cache made ahead: SQLite would otherwise set out twenty pages at the first
  // open, and touching each is a page fault, while a program of the terminal reads
  // only a few pages of its small database. No memory statistics either: nothing reads
  // them, and keeping them takes a lock at every allocation.
  static const bool configured = sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) == SQLITE_OK &&
                                 sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0) == SQLITE_OK;
  (void)configured;
  sqlite3* opened = nullptr;
  // Every use of the connection is under DatabaseLock(), so SQLite's own mutex would
  // only be taken and released again around each of its calls.
  const int rc = sqlite3_open_v2(path.c_str(), &opened, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  DatabaseHandle db(opened);
  if (rc != SQLITE_OK)
    throw HostError("cannot open " + path + ": " + (db ? sqlite3_errmsg(db.get()) : "out of memory"),
                    ERROR_REGISTRY_IO_FAILED);
  sqlite3_busy_handler(db.get(), RetryWhileBusy, nullptr);
  sqlite3_exec(db.get(), "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  return db;
}

void AttachDatabase(DatabaseHandle db) {
  std::lock_guard guard(g_databaseLock);
  DetachDatabase();
  g_attached = std::make_unique<Connection>();
  g_attached->db = db.release();
}

void DetachDatabase() {
  std::lock_guard guard(g_databaseLock);
  if (!g_attached) return;
  FinalizeIdleStatements(*g_attached);
  sqlite3_close_v2(g_attached->db);
  g_attached.reset();
}

NewDatabaseScope::NewDatabaseScope(sqlite3* db)
    : connection_(std::make_unique<Connection>()), previous_(t_newConnection) {
  connection_->db = db;
  t_newConnection = connection_.get();
}

NewDatabaseScope::~NewDatabaseScope() {
  t_newConnection = previous_;
  FinalizeIdleStatements(*connection_);
}

std::recursive_mutex& DatabaseLock() { return g_databaseLock; }

sqlite3* Database() {
  if (!Target()) throw HostError("no terminal image is attached", ERROR_GEN_FAILURE);
  return Target()->db;
}

// ---------------------------------------------------------------- Statement

Statement::Statement(const char* sql) : lock_(g_databaseLock), sql_(sql) {
  sqlite3* db = Database();
  auto& idle = Target()->idleStatements[sql];
  if (!idle.empty()) {
    stmt_ = idle.back();
    idle.pop_back();
  } else if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) != SQLITE_OK) {
    ThrowDb(std::string("prepare ") + sql);
  }
  if (Target()->readOpen && !sqlite3_stmt_readonly(stmt_)) {
    SuspendRead();
    suspendedRead_ = true;
  }
}

Statement::~Statement() {
  if (!stmt_) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  if (Connection* connection = Target()) {
    connection->idleStatements[sql_].push_back(stmt_);
    if (suspendedRead_) ResumeRead();
  } else {
    sqlite3_finalize(stmt_);
  }
}

Statement& Statement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) ThrowDb("bind");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    ThrowDb("bind");
  return *this;
}

Statement& Statement::Bind(int index, std::u16string_view text) { return Bind(index, std::string_view(ToUtf8(text))); }

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  static const char kEmpty = 0;
  if (sqlite3_bind_blob(stmt_, index, size ? data : &kEmpty, static_cast<int>(size), SQLITE_TRANSIENT) != SQLITE_OK)
    ThrowDb("bind");
  return *this;
}

Statement& Statement::BindBorrowedBlob(int index, std::string_view bytes) {
  static const char kEmpty = 0;
  const char* data = bytes.empty() ? &kEmpty : bytes.data();
  if (sqlite3_bind_blob(stmt_, index, data, static_cast<int>(bytes.size()), SQLITE_STATIC) != SQLITE_OK) ThrowDb("bind");
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) ThrowDb("bind");
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  ThrowDb("step");
}

void Statement::Run() {
  while (Step()) {
  }
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
              : std::string();
}

std::u16string Statement::Text16(int column) const { return FromUtf8(Text(column)); }

std::string_view Statement::BlobView(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  // An empty blob comes back as a null pointer; the view never holds one, so that
  // copying out of it is always defined.
  return data ? std::string_view(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string_view("", 0);
}

std::string Statement::Blob(int column) const { return std::string(BlobView(column)); }

// ---------------------------------------------------------------- Transaction

Transaction::Transaction() : lock_(g_databaseLock) {
  Database();
  Connection* connection = Target();
  nested_ = connection->transactionDepth > 0;
  if (nested_) {
    Exec(connection->db, "SAVEPOINT nested;");
  } else {
    SuspendRead();
    RunControl("BEGIN IMMEDIATE");
    // The rule version known belongs to the attached image, not to one being made,
    // which no rule applies to.
    if (connection == g_attached.get()) {
      begunAt_ = DataVersion();
      // Only a rule that fires makes lasting writes, and while this transaction holds
      // the write lock no rule comes or goes. With a rule, what a rollback undoes begins
      // here: everything after it, while the write lock stays held.
      try {
        if (HasFaultRules()) RunControl("SAVEPOINT changes");
      } catch (const HostError&) {
        sqlite3_exec(connection->db, "ROLLBACK;", nullptr, nullptr, nullptr);
        ResumeRead();
        throw;
      }
    }
  }
  lastingFrom_ = connection->lasting.size();
  ++connection->transactionDepth;
}

Transaction::~Transaction() {
  Connection* connection = Target();
  // At depth 0 a power cut has ended this transaction already (AbandonTransactions).
  if (done_ || !connection || connection->transactionDepth == 0) return;
  --connection->transactionDepth;
  if (nested_) {
    sqlite3_exec(connection->db, "ROLLBACK TO nested; RELEASE nested;", nullptr, nullptr, nullptr);
    // Into the transaction around, whose own rollback keeps them too.
    ReplayLasting(*connection, lastingFrom_);
    return;
  }
  RollBackOutermost(*connection);
  ResumeRead();
}

void Transaction::Commit() {
  Connection* connection = Target();
  if (nested_) {
    Exec(connection->db, "RELEASE nested;");
  } else {
    RunControl("COMMIT");
    connection->lasting.clear();
    CarryRuleVersion(begunAt_);
  }
  --connection->transactionDepth;
  done_ = true;
  if (!nested_) ResumeRead();
}

void WriteLasting(const std::function<void()>& write) {
  std::lock_guard guard(g_databaseLock);
  write();
  Connection* connection = Target();
  if (connection && connection->transactionDepth > 0) connection->lasting.push_back(write);
}

void AbandonTransactions() {
  std::lock_guard guard(g_databaseLock);
  Connection* connection = Target();
  if (!connection || connection->transactionDepth == 0) return;
  connection->transactionDepth = 0;
  RollBackOutermost(*connection);
}

// ---------------------------------------------------------------- ReadTransaction

ReadTransaction::ReadTransaction() : lock_(g_databaseLock) {
  if (!Target()) return;
  active_ = true;
  if (Target()->readDepth++ == 0) ResumeRead();
}

ReadTransaction::~ReadTransaction() {
  Connection* connection = Target();
  if (!active_ || !connection) return;
  if (--connection->readDepth == 0 && connection->readOpen) {
    connection->readOpen = false;
    try {
      RunControl("COMMIT");
    } catch (const HostError&) {
      // Nothing was written in it: ending it any way keeps the next call off a stale
      // snapshot, and a destructor must not throw.
      sqlite3_exec(connection->db, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
  }
}

int64_t LastInsertRowId() { return sqlite3_last_insert_rowid(Database()); }

ChangeBatch::ChangeBatch() : transaction_(std::make_unique<Transaction>()) {}
ChangeBatch::~ChangeBatch() = default;
void ChangeBatch::Commit() { transaction_->Commit(); }

void CheckpointImage() { Statement("PRAGMA wal_checkpoint(TRUNCATE)").Run(); }

ReadSnapshot::ReadSnapshot() : transaction_(std::make_unique<ReadTransaction>()) {}
ReadSnapshot::~ReadSnapshot() = default;

std::string CheckImageIntegrity() {
  std::string findings;
  Statement check("PRAGMA integrity_check");
  while (check.Step()) findings += (findings.empty() ? "" : "\n") + check.Text(0);
  return findings;
}

}  // namespace host
