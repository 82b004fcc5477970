// The image: a folder with terminal.db (SQLite, WAL) and fs/. Opening, creating,
// settings, and the statement and transaction wrappers every area uses.
#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <unordered_map>
#include <sstream>
#include <thread>

namespace host {

namespace {

namespace fs = std::filesystem;

// The image's own table; every area creates its own (see CreateSchema).
constexpr const char* kSettingsTable = R"sql(
CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT NOT NULL);
)sql";

// A failure of the image database as the terminal reports it. A full host (SQLITE_FULL,
// or the write-ahead log's index that cannot grow) is ERROR_DISK_FULL and says so.
HostError DatabaseError(sqlite3* db, const std::string& what, const std::string& message) {
  const int primary = sqlite3_errcode(db) & 0xFF;
  const int host = sqlite3_system_errno(db);
  if (primary == SQLITE_FULL || (primary == SQLITE_IOERR && (host == ENOSPC || host == EDQUOT))) {
    NoteFull(true);
    return HostError("the host's storage is full (" + what + ": " + message + ")", ERROR_DISK_FULL);
  }
  return HostError(what + ": " + message, ERROR_REGISTRY_IO_FAILED);
}

}  // namespace

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "?";
    sqlite3_free(message);
    throw DatabaseError(db, "database", text);
  }
}

namespace {

struct AttachedImage {
  std::string root;
  std::string fsRoot;
  UniqueFd fsFd;
  sqlite3* db = nullptr;
  double timeScale = 1.0;
  int64_t createdMs = 0;
  std::optional<uint64_t> capacity;
  std::unordered_map<const char*, std::vector<sqlite3_stmt*>> idleStatements;
  int transactionDepth = 0;
  // The writes of the open write transaction that its rollback must not undo (WriteLasting).
  std::vector<std::function<void()>> lasting;
  int readDepth = 0;      // ReadTransaction scopes alive
  bool readOpen = false;  // their BEGIN is in effect (no write is running)
};

std::recursive_mutex g_databaseLock;
std::unique_ptr<AttachedImage> g_image;
// The image that this thread's CreateImage is making, while it writes its first
// contents: this thread's statements and transactions go there, while the attached
// image, for every other thread and afterwards for this one, stays as it was.
thread_local AttachedImage* t_newImage = nullptr;

// The image that this thread's statements and transactions use; null when none.
AttachedImage* Target() { return t_newImage ? t_newImage : g_image.get(); }

[[noreturn]] void ThrowDb(const std::string& what) {
  const AttachedImage* image = Target();
  if (!image || !image->db) throw HostError(what + ": no image", ERROR_REGISTRY_IO_FAILED);
  throw DatabaseError(image->db, what, sqlite3_errmsg(image->db));
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

sqlite3* OpenDatabase(const std::string& path, int flags, std::string* error) {
  sqlite3* db = nullptr;
  // Every use of the connection is under DatabaseLock(), so SQLite's own mutex would
  // only be taken and released again around each of its calls.
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    if (error) *error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_handler(db, RetryWhileBusy, nullptr);
  sqlite3_exec(db, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  return db;
}

// An image made not durable ("durable" is "no") is never synced: its commits and
// checkpoints write without waiting for the disk.
constexpr char kNotDurable[] = "PRAGMA synchronous=OFF;";

int64_t NowRealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Below a thousandth a terminal second is under a real microsecond, and waits stop
// meaning anything; above a thousand, a reset's five seconds take over an hour.
bool ValidTimeScale(double scale) { return scale >= 0.001 && scale <= 1000; }

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
  AttachedImage* image = Target();
  if (image->readDepth == 0 || image->readOpen || image->transactionDepth > 0) return;
  try {
    RunControl("BEGIN");
    image->readOpen = true;
  } catch (const HostError&) {
  }
}

// Makes the lasting writes from `from` on again, after a rollback undid them. False
// when one fails. Never throws: rollbacks run in destructors.
bool ReplayLasting(const AttachedImage& image, size_t from) noexcept {
  try {
    for (size_t i = from; i < image.lasting.size(); ++i) image.lasting[i]();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Ends the outermost write transaction, undoing all but its lasting writes. Those are
// made again before the write lock is let go, so no other process ever sees the image
// without them: a rule's count read meanwhile elsewhere would let it fire once more.
void RollBackOutermost(AttachedImage& image) noexcept {
  auto run = [&](const char* sql) { return sqlite3_exec(image.db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
  const bool kept = !image.lasting.empty() && run("ROLLBACK TO changes;") && ReplayLasting(image, 0) && run("COMMIT;");
  if (!kept) run("ROLLBACK;");
  image.lasting.clear();
}

void FinalizeIdleStatements(AttachedImage& image) {
  for (auto& [sql, statements] : image.idleStatements) {
    for (auto* statement : statements) sqlite3_finalize(statement);
  }
  image.idleStatements.clear();
}

// Points this thread's statements and transactions at `db`, the database of an image
// being made, for the scope's life. The caller closes `db` after the scope.
class NewImageScope {
 public:
  explicit NewImageScope(sqlite3* db) : previous_(t_newImage) {
    image_.db = db;
    t_newImage = &image_;
  }
  ~NewImageScope() {
    t_newImage = previous_;
    FinalizeIdleStatements(image_);
  }
  NewImageScope(const NewImageScope&) = delete;
  NewImageScope& operator=(const NewImageScope&) = delete;

 private:
  AttachedImage image_;
  AttachedImage* previous_;
};

}  // namespace

std::string PlatformNameFor(const ImageOptions& options) {
  if (options.platformName) return *options.platformName;
  return "KORVA " + options.model + " CE4.10";
}

bool ValidateImageOptions(const ImageOptions& o, std::string* error) {
  auto bad = [&](const std::string& text) {
    *error = text;
    return false;
  };
  if (o.model != "LM310" && o.model != "LM320") return bad("--model must be LM310 or LM320, not '" + o.model + "'");
  if (o.language != "en" && o.language != "ja") return bad("--language must be en or ja, not '" + o.language + "'");
  if (o.noPlatform && o.platformName) return bad("--platform-name and --no-platform exclude each other");
  if (!ValidTimeScale(o.timeScale)) return bad("--time-scale must be from 0.001 to 1000");
  if (o.messageBox != "ok" && o.messageBox != "never") {
    const std::string prefix = "after:";
    bool good = o.messageBox.rfind(prefix, 0) == 0 && o.messageBox.size() > prefix.size() &&
                o.messageBox.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
    if (!good) return bad("--message-box must be ok, never or after:MS, not '" + o.messageBox + "'");
  }
  if (o.calibration != "ok" && o.calibration != "fail")
    return bad("--calibration must be ok or fail, not '" + o.calibration + "'");
  if (o.resetDevice != "restart" && o.resetDevice != "ignore" && o.resetDevice != "absent")
    return bad("--reset-device must be restart, ignore or absent, not '" + o.resetDevice + "'");
  if (o.fileTimes != "fat" && o.fileTimes != "exact")
    return bad("--file-times must be fat or exact, not '" + o.fileTimes + "'");
  if (o.capacity && *o.capacity == 0) return bad("--capacity must be above 0 bytes");
  if (!ValidateDeviceIdentity(o.processor, o.ceVersion, o.ceBuild, error)) return false;
  for (const auto& volume : o.volumes) {
    const std::u16string name = FromUtf8(volume);
    if (name.empty() || std::any_of(name.begin(), name.end(), IsForbiddenInFileName) || name == u"." || name == u"..")
      return bad("--volume must be a plain folder name, not '" + volume + "'");
  }
  return true;
}

namespace {

// The registry's first keys and values, written through the registry's own helpers
// (no fault rule of the attached image applies to an image being made).
void WriteNewRegistry(const ImageOptions& options) {
  auto bytes = [](const void* data, size_t size) { return std::string_view(static_cast<const char*>(data), size); };
  Transaction transaction;
  if (!options.noPlatform) {
    const std::u16string name = FromUtf8(PlatformNameFor(options));
    RegistrySetValue(RegistryCreateKey(RegistryRoot::LocalMachine, u"Platform"), u"Name", REG_SZ,
                     bytes(name.c_str(), (name.size() + 1) * sizeof(char16_t)));
  }
  const DWORD lcid = options.language == "ja" ? 0x0411 : 0x0409;
  RegistrySetValue(RegistryCreateKey(RegistryRoot::LocalMachine, u"nls"), u"DefaultLCID", REG_DWORD, bytes(&lcid, sizeof lcid));
  RegistryCreateKey(RegistryRoot::LocalMachine, u"SOFTWARE\\Apps");
  RegistryCreateKey(RegistryRoot::LocalMachine, u"HARDWARE\\DEVICEMAP\\TOUCH");
  transaction.Commit();
}

// A new image's folder: made, or taken when it exists only as an empty folder.
bool ClaimEmptyFolder(const std::string& root, std::string* error) {
  std::error_code ec;
  if (fs::exists(root, ec)) {
    if (!fs::is_directory(root, ec) || !fs::is_empty(root, ec)) {
      *error = root + " already exists and is not an empty folder";
      return false;
    }
  } else if (!fs::create_directories(root, ec)) {
    *error = "cannot create " + root + ": " + ec.message();
    return false;
  }
  return true;
}

// The image folder with an empty fs/ of Windows and the volumes, and the CAB installer
// copied in when one is given. `root` may exist only as an empty folder.
bool CreateFileSystem(const std::string& root, const ImageOptions& options, const std::vector<std::string>& volumes,
                      std::string* error) {
  if (!ClaimEmptyFolder(root, error)) return false;
  std::error_code ec;
  const fs::path base(root);
  fs::create_directories(base / "fs" / "Windows", ec);
  for (const auto& volume : volumes) fs::create_directories(base / "fs" / volume, ec);
  if (ec) {
    *error = "cannot create the file system of " + root + ": " + ec.message();
    return false;
  }
  return options.installerPath.empty() ||
         CopyHostFile(options.installerPath, (base / "fs" / "Windows" / "wceload.exe").string(), error);
}

// The whole shared state of a terminal. Every process of the image sees every
// committed change at once; nothing here is cached by a process. The tables and
// their text stay as every earlier image stores them, so that those still open.
void CreateSchema(sqlite3* db) {
  Exec(db, kSettingsTable);
  CreateRegistryTables(db);
  CreateJournalTables(db);
  CreateProcessTables(db);
  CreateSyncTables(db);
  CreateFileTables(db);
  CreateWindowTables(db);
  CreateFaultTables(db);
}

void InsertSettings(sqlite3* db, const ImageOptions& options, const std::vector<std::string>& volumes) {
  std::ostringstream scale;
  scale.precision(17);
  scale << options.timeScale;
  std::string volumeList;
  for (const auto& volume : volumes) volumeList += (volumeList.empty() ? "" : "\n") + volume;
  std::vector<std::pair<std::string, std::string>> settings = {
      {"format", "korva-terminal-1"},
      {"model", options.model},
      {"language", options.language},
      {"time_scale", scale.str()},
      {"message_box", options.messageBox},
      {"calibration", options.calibration},
      {"calibration_data", options.calibrationData},
      {"reset_device", options.resetDevice},
      {"volumes", volumeList},
      {"file_times", options.fileTimes},
      {"created_ms", std::to_string(NowRealMs())},
      {"generation", "1"},
      {"processor", std::to_string(ProcessorType(options.processor).value_or(0))},
      {"ce_version", options.ceVersion},
      {"ce_build", options.ceBuild},
  };
  if (options.capacity) settings.emplace_back("capacity", std::to_string(*options.capacity));
  if (!options.durable) settings.emplace_back("durable", "no");
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO settings(name, value) VALUES(?, ?)", -1, &insert, nullptr);
  for (const auto& [name, value] : settings) {
    sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, value.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

// terminal.db with the tables of every area, the settings and the registry's first
// values. The new database is written through a connection of its own: whatever
// image the caller has attached stays attached as it was.
bool CreateDatabase(const std::string& root, const ImageOptions& options, const std::vector<std::string>& volumes,
                    std::string* error) {
  const std::string dbPath = (fs::path(root) / "terminal.db").string();
  sqlite3* db = OpenDatabase(dbPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
  if (!db) return false;
  bool ok = true;
  try {
    if (!options.durable) Exec(db, kNotDurable);
    Exec(db, "PRAGMA journal_mode=WAL;");
    Exec(db, "BEGIN;");
    CreateSchema(db);
    InsertSettings(db, options, volumes);
    Exec(db, "COMMIT;");
    NewImageScope scope(db);
    WriteNewRegistry(options);
  } catch (const HostError& e) {
    *error = e.what();
    ok = false;
  }
  sqlite3_close(db);
  return ok;
}

}  // namespace

bool CreateImage(const std::string& root, const ImageOptions& options, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (!ValidateImageOptions(options, error)) return false;
  std::vector<std::string> volumes = options.volumes;
  if (volumes.empty()) volumes.push_back("FlashDisk");
  return CreateFileSystem(root, options, volumes, error) && CreateDatabase(root, options, volumes, error);
}

bool CopyNewImage(const std::string& prepared, const std::string& root, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  if (!ClaimEmptyFolder(root, error)) return false;
  std::error_code ec;
  const fs::path from(prepared), to(root);
  for (auto entry = fs::recursive_directory_iterator(from / "fs", ec); !ec && entry != fs::recursive_directory_iterator();
       entry.increment(ec)) {
    const fs::path target = to / "fs" / fs::relative(entry->path(), from / "fs", ec);
    if (entry->is_directory(ec)) {
      fs::create_directories(target, ec);
    } else if (!CopyHostFile(entry->path().string(), target.string(), error)) {
      return false;
    }
  }
  fs::create_directories(to / "fs", ec);
  if (ec) {
    *error = "cannot create the file system of " + root + ": " + ec.message();
    return false;
  }
  const std::string dbPath = (to / "terminal.db").string();
  if (!CopyHostFile((from / "terminal.db").string(), dbPath, error)) return false;
  sqlite3* db = OpenDatabase(dbPath, SQLITE_OPEN_READWRITE, error);
  if (!db) return false;
  bool ok = true;
  try {
    // The prepared image's own durability, while the copy is made its own.
    sqlite3_stmt* durable = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM settings WHERE name = 'durable' AND value = 'no'", -1, &durable, nullptr);
    if (durable && sqlite3_step(durable) == SQLITE_ROW) Exec(db, kNotDurable);
    sqlite3_finalize(durable);
    const std::string created = "UPDATE settings SET value = '" + std::to_string(NowRealMs()) + "' WHERE name = 'created_ms';";
    Exec(db, created.c_str());
  } catch (const HostError& e) {
    *error = e.what();
    ok = false;
  }
  sqlite3_close(db);
  return ok;
}

bool AttachImage(const std::string& root, std::string* error) {
  std::string ignored;
  if (!error) error = &ignored;
  std::lock_guard guard(g_databaseLock);
  DetachImage();
  std::error_code ec;
  const fs::path base = fs::absolute(root, ec);
  if (!fs::is_regular_file(base / "terminal.db", ec) || !fs::is_directory(base / "fs", ec)) {
    *error = root + " is not a terminal image (no terminal.db and fs/ in it)";
    return false;
  }
  auto image = std::make_unique<AttachedImage>();
  image->root = base.string();
  image->fsRoot = (base / "fs").string();
  image->db = OpenDatabase((base / "terminal.db").string(), SQLITE_OPEN_READWRITE, error);
  if (!image->db) return false;
  sqlite3_stmt* query = nullptr;
  // Settings that never change after creation are read once per attach.
  std::string format, scale, created, capacity, durable;
  int read = sqlite3_prepare_v2(
      image->db,
      "SELECT name, value FROM settings WHERE name IN ('format','time_scale','created_ms','capacity','durable')", -1,
      &query, nullptr);
  while (query && (read = sqlite3_step(query)) == SQLITE_ROW) {
    const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
    const std::string value = reinterpret_cast<const char*>(sqlite3_column_text(query, 1));
    (name == "format"       ? format
     : name == "time_scale" ? scale
     : name == "created_ms" ? created
     : name == "durable"    ? durable
                            : capacity) = value;
  }
  sqlite3_finalize(query);
  // A database that a full host keeps from being read (its log's index cannot be made)
  // is no foreign one.
  if (read != SQLITE_DONE) {
    const HostError unread = DatabaseError(image->db, "cannot read " + (base / "terminal.db").string(),
                                           sqlite3_errmsg(image->db));
    if (unread.code() == ERROR_DISK_FULL) {
      *error = unread.what();
      sqlite3_close(image->db);
      return false;
    }
  }
  if (format != "korva-terminal-1") {
    sqlite3_close(image->db);
    *error = root + " is not a terminal image (terminal.db is foreign)";
    return false;
  }
  try {
    image->timeScale = SettingDoubleFrom("time_scale", scale, 0);
    image->createdMs = SettingIntFrom("created_ms", created, 0);
    if (!capacity.empty()) image->capacity = static_cast<uint64_t>(SettingIntFrom("capacity", capacity, 0));
  } catch (const HostError& e) {
    sqlite3_close(image->db);
    *error = root + ": " + e.what();
    return false;
  }
  if (durable == "no") sqlite3_exec(image->db, kNotDurable, nullptr, nullptr, nullptr);
  // Images made before the lower bound keep the scale they were made with.
  if (!(image->timeScale > 0 && image->timeScale <= 1000)) image->timeScale = 1.0;
  image->fsFd.Reset(::open(image->fsRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!image->fsFd.Valid()) {
    sqlite3_close(image->db);
    *error = "cannot open " + image->fsRoot;
    return false;
  }
  g_image = std::move(image);
  return true;
}

void DetachImage() {
  std::lock_guard guard(g_databaseLock);
  if (!g_image) return;
  ForgetFaultRules();
  ForgetBell();
  FinalizeIdleStatements(*g_image);
  sqlite3_close_v2(g_image->db);
  g_image.reset();
}

bool IsAttached() { return g_image != nullptr; }

const std::string& ImageRoot() {
  if (!g_image) throw HostError("no terminal image is attached", ERROR_GEN_FAILURE);
  return g_image->root;
}

const std::string& FsRoot() {
  if (!g_image) throw HostError("no terminal image is attached", ERROR_GEN_FAILURE);
  return g_image->fsRoot;
}

int FsRootFd() { return g_image ? g_image->fsFd.Get() : -1; }

std::recursive_mutex& DatabaseLock() { return g_databaseLock; }

sqlite3* Database() {
  if (!Target()) throw HostError("no terminal image is attached", ERROR_GEN_FAILURE);
  return Target()->db;
}

std::string Setting(const std::string& name) {
  Statement query("SELECT value FROM settings WHERE name = ?");
  query.Bind(1, name);
  return query.Step() ? query.Text(0) : std::string();
}

void SetSetting(const std::string& name, const std::string& value) {
  Statement update("INSERT INTO settings(name, value) VALUES(?, ?) ON CONFLICT(name) DO UPDATE SET value = excluded.value");
  update.Bind(1, name).Bind(2, value).Run();
}

double TimeScale() { return g_image ? g_image->timeScale : 1.0; }

int64_t CreatedMs() { return g_image ? g_image->createdMs : 0; }

std::optional<uint64_t> Capacity() { return g_image ? g_image->capacity : std::nullopt; }

std::vector<std::u16string> Volumes() {
  std::vector<std::u16string> result;
  std::istringstream lines(Setting("volumes"));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) result.push_back(FromUtf8(line));
  }
  return result;
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
  if (AttachedImage* image = Target()) {
    image->idleStatements[sql_].push_back(stmt_);
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
  AttachedImage* image = Target();
  nested_ = image->transactionDepth > 0;
  if (nested_) {
    Exec(image->db, "SAVEPOINT nested;");
  } else {
    SuspendRead();
    RunControl("BEGIN IMMEDIATE");
    // The rule version known belongs to the attached image, not to one being made,
    // which no rule applies to.
    if (image == g_image.get()) {
      begunAt_ = DataVersion();
      // Only a rule that fires makes lasting writes, and while this transaction holds
      // the write lock no rule comes or goes. With a rule, what a rollback undoes begins
      // here: everything after it, while the write lock stays held.
      try {
        if (HasFaultRules()) RunControl("SAVEPOINT changes");
      } catch (const HostError&) {
        sqlite3_exec(image->db, "ROLLBACK;", nullptr, nullptr, nullptr);
        ResumeRead();
        throw;
      }
    }
  }
  lastingFrom_ = image->lasting.size();
  ++image->transactionDepth;
}

Transaction::~Transaction() {
  AttachedImage* image = Target();
  // At depth 0 a power cut has ended this transaction already (AbandonTransactions).
  if (done_ || !image || image->transactionDepth == 0) return;
  --image->transactionDepth;
  if (nested_) {
    sqlite3_exec(image->db, "ROLLBACK TO nested; RELEASE nested;", nullptr, nullptr, nullptr);
    // Into the transaction around, whose own rollback keeps them too.
    ReplayLasting(*image, lastingFrom_);
    return;
  }
  RollBackOutermost(*image);
  ResumeRead();
}

void Transaction::Commit() {
  AttachedImage* image = Target();
  if (nested_) {
    Exec(image->db, "RELEASE nested;");
  } else {
    RunControl("COMMIT");
    image->lasting.clear();
    CarryRuleVersion(begunAt_);
  }
  --image->transactionDepth;
  done_ = true;
  if (!nested_) ResumeRead();
}

void WriteLasting(const std::function<void()>& write) {
  std::lock_guard guard(g_databaseLock);
  write();
  if (AttachedImage* image = Target(); image && image->transactionDepth > 0) image->lasting.push_back(write);
}

void AbandonTransactions() {
  std::lock_guard guard(g_databaseLock);
  AttachedImage* image = Target();
  if (!image || image->transactionDepth == 0) return;
  image->transactionDepth = 0;
  RollBackOutermost(*image);
}

// ---------------------------------------------------------------- ReadTransaction

ReadTransaction::ReadTransaction() : lock_(g_databaseLock) {
  if (!Target()) return;
  active_ = true;
  if (Target()->readDepth++ == 0) ResumeRead();
}

ReadTransaction::~ReadTransaction() {
  AttachedImage* image = Target();
  if (!active_ || !image) return;
  if (--image->readDepth == 0 && image->readOpen) {
    image->readOpen = false;
    try {
      RunControl("COMMIT");
    } catch (const HostError&) {
      // Nothing was written in it: ending it any way keeps the next call off a stale
      // snapshot, and a destructor must not throw.
      sqlite3_exec(image->db, "ROLLBACK;", nullptr, nullptr, nullptr);
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
