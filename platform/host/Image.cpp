// The image: a folder with terminal.db (SQLite, WAL) and fs/. Making a new one, from
// options or as a copy of a prepared one, and attaching this process to one.
#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace host {

namespace {

namespace fs = std::filesystem;

// What this process knows of the attached image besides its database.
struct AttachedImage {
  std::string root;
  std::string fsRoot;
  UniqueFd fsFd;
};

std::unique_ptr<AttachedImage> g_image;

// Below a thousandth a terminal second is under a real microsecond, and waits stop
// meaning anything; above a thousand, a reset's five seconds take over an hour.
bool ValidTimeScale(double scale) { return scale >= 0.001 && scale <= 1000; }

[[noreturn]] void Refuse(const std::string& reason) { throw HostError(reason, ERROR_INVALID_PARAMETER); }

}  // namespace

std::string PlatformNameFor(const ImageOptions& options) {
  if (options.platformName) return *options.platformName;
  return "KORVA " + options.model + " CE4.10";
}

void ValidateImageOptions(const ImageOptions& o) {
  if (o.model != "LM310" && o.model != "LM320") Refuse("--model must be LM310 or LM320, not '" + o.model + "'");
  if (o.language != "en" && o.language != "ja") Refuse("--language must be en or ja, not '" + o.language + "'");
  if (o.noPlatform && o.platformName) Refuse("--platform-name and --no-platform exclude each other");
  if (!ValidTimeScale(o.timeScale)) Refuse("--time-scale must be from 0.001 to 1000");
  if (o.messageBox != "ok" && o.messageBox != "never") {
    const std::string prefix = "after:";
    bool good = o.messageBox.rfind(prefix, 0) == 0 && o.messageBox.size() > prefix.size() &&
                o.messageBox.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
    if (!good) Refuse("--message-box must be ok, never or after:MS, not '" + o.messageBox + "'");
  }
  if (o.calibration != "ok" && o.calibration != "fail")
    Refuse("--calibration must be ok or fail, not '" + o.calibration + "'");
  if (o.resetDevice != "restart" && o.resetDevice != "ignore" && o.resetDevice != "absent")
    Refuse("--reset-device must be restart, ignore or absent, not '" + o.resetDevice + "'");
  if (o.fileTimes != "fat" && o.fileTimes != "exact")
    Refuse("--file-times must be fat or exact, not '" + o.fileTimes + "'");
  if (o.capacity && *o.capacity == 0) Refuse("--capacity must be above 0 bytes");
  if (std::string error; !ValidateDeviceIdentity(o.processor, o.ceVersion, o.ceBuild, &error)) Refuse(error);
  for (const auto& volume : o.volumes) {
    const std::u16string name = FromUtf8(volume);
    if (name.empty() || std::any_of(name.begin(), name.end(), IsForbiddenInFileName) || name == u"." || name == u"..")
      Refuse("--volume must be a plain folder name, not '" + volume + "'");
  }
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
void ClaimEmptyFolder(const std::string& root) {
  std::error_code ec;
  if (fs::exists(root, ec)) {
    if (!fs::is_directory(root, ec) || !fs::is_empty(root, ec))
      throw HostError(root + " already exists and is not an empty folder", ERROR_ALREADY_EXISTS);
  } else if (!fs::create_directories(root, ec)) {
    throw HostError("cannot create " + root + ": " + ec.message(), ERROR_CANTWRITE);
  }
}

[[noreturn]] void CannotMakeFileSystem(const std::string& root, const std::error_code& ec) {
  throw HostError("cannot create the file system of " + root + ": " + ec.message(), ERROR_CANTWRITE);
}

// The image folder with an empty fs/ of Windows and the volumes, and the CAB installer
// copied in when one is given. `root` may exist only as an empty folder.
void CreateFileSystem(const std::string& root, const ImageOptions& options, const std::vector<std::string>& volumes) {
  ClaimEmptyFolder(root);
  std::error_code ec;
  const fs::path base(root);
  fs::create_directories(base / "fs" / "Windows", ec);
  for (const auto& volume : volumes) fs::create_directories(base / "fs" / volume, ec);
  if (ec) CannotMakeFileSystem(root, ec);
  if (!options.installerPath.empty())
    CopyHostFile(options.installerPath, (base / "fs" / "Windows" / "wceload.exe").string());
}

// The whole shared state of a terminal. Every process of the image sees every
// committed change at once; nothing here is cached by a process. The tables and
// their text stay as every earlier image stores them, so that those still open.
void CreateSchema(sqlite3* db) {
  CreateSettingsTables(db);
  CreateRegistryTables(db);
  CreateJournalTables(db);
  CreateProcessTables(db);
  CreateSyncTables(db);
  CreateFileTables(db);
  CreateWindowTables(db);
  CreateFaultTables(db);
}

// terminal.db with the tables of every area, the settings and the registry's first
// values. The new database is written through a connection of its own: whatever
// image the caller has attached stays attached as it was.
void CreateDatabase(const std::string& root, const ImageOptions& options, const std::vector<std::string>& volumes) {
  const DatabaseHandle db = OpenDatabase((fs::path(root) / "terminal.db").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!options.durable) Exec(db.get(), kNotDurable);
  Exec(db.get(), "PRAGMA journal_mode=WAL;");
  Exec(db.get(), "BEGIN;");
  CreateSchema(db.get());
  WriteNewSettings(db.get(), options, volumes);
  Exec(db.get(), "COMMIT;");
  NewDatabaseScope scope(db.get());
  WriteNewRegistry(options);
}

}  // namespace

void CreateImage(const std::string& root, const ImageOptions& options) {
  ValidateImageOptions(options);
  std::vector<std::string> volumes = options.volumes;
  if (volumes.empty()) volumes.push_back("FlashDisk");
  CreateFileSystem(root, options, volumes);
  CreateDatabase(root, options, volumes);
}

namespace {

// Opens the image at `root` for this process; `stamp`: a new copy of a prepared image,
// whose time of creation becomes now before its settings are read.
void Attach(const std::string& root, bool stamp) {
  std::lock_guard guard(DatabaseLock());
  DetachImage();
  std::error_code ec;
  const fs::path base = fs::absolute(root, ec);
  if (!fs::is_regular_file(base / "terminal.db", ec) || !fs::is_directory(base / "fs", ec))
    throw HostError(root + " is not a terminal image (no terminal.db and fs/ in it)", ERROR_PATH_NOT_FOUND);
  auto image = std::make_unique<AttachedImage>();
  image->root = base.string();
  image->fsRoot = (base / "fs").string();
  const std::string dbPath = (base / "terminal.db").string();
  DatabaseHandle db = OpenDatabase(dbPath, SQLITE_OPEN_READWRITE);
  if (stamp) StampCopiedSettings(db.get());
  const FixedSettings settings = ReadFixedSettings(db.get(), root, dbPath);
  if (settings.notDurable) sqlite3_exec(db.get(), kNotDurable, nullptr, nullptr, nullptr);
  image->fsFd.Reset(::open(image->fsRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!image->fsFd.Valid()) throw HostError("cannot open " + image->fsRoot, ErrorFromErrno(errno));
  AttachDatabase(std::move(db));
  KeepFixedSettings(settings);
  g_image = std::move(image);
}

}  // namespace

void AttachNewImage(const std::string& prepared, const std::string& root) {
  ClaimEmptyFolder(root);
  std::error_code ec;
  const fs::path from(prepared), to(root);
  for (auto entry = fs::recursive_directory_iterator(from / "fs", ec); !ec && entry != fs::recursive_directory_iterator();
       entry.increment(ec)) {
    const fs::path target = to / "fs" / fs::relative(entry->path(), from / "fs", ec);
    if (entry->is_directory(ec)) {
      fs::create_directories(target, ec);
    } else {
      CopyHostFile(entry->path().string(), target.string());
    }
  }
  fs::create_directories(to / "fs", ec);
  if (ec) CannotMakeFileSystem(root, ec);
  CopyHostFile((from / "terminal.db").string(), (to / "terminal.db").string());
  // Stamped through the connection it is attached with: a second open would parse the
  // schema again, and its close would checkpoint the log.
  Attach(root, true);
}

void AttachImage(const std::string& root) { Attach(root, false); }

void DetachImage() {
  std::lock_guard guard(DatabaseLock());
  if (!g_image) return;
  ForgetFaultRules();
  ForgetBell();
  DetachDatabase();
  KeepFixedSettings(std::nullopt);
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

}  // namespace host
