// The terminal's image: a folder with terminal.db (SQLite: the registry, settings,
// processes, windows, fault rules, the journal) and fs/, its file system. Making one,
// attaching this process to one, its settings and storage, and the batches and views
// through which termsim and the tests change and read it. Failures throw HostError.
#ifndef KORVA_PLATFORM_HOST_IMAGE_H
#define KORVA_PLATFORM_HOST_IMAGE_H

#include "platform/host/DeviceIdentity.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// What `termsim create` is told; defaults as a new terminal has them.
struct ImageOptions {
  std::string model = "LM310";               // LM310 | LM320
  std::optional<std::string> platformName;   // overrides the model's platform name
  bool noPlatform = false;                   // no Platform key at all
  std::string language = "en";               // en | ja
  std::vector<std::string> volumes;          // empty: FlashDisk
  double timeScale = 1.0;
  std::string messageBox = "ok";             // ok | never | after:MS
  std::string calibration = "ok";            // ok | fail
  std::string calibrationData = "460,468 652,860 276,852 276,436 652,436 ";
  std::string resetDevice = "restart";       // restart | ignore | absent
  std::string installerPath;                 // host file copied to \Windows\wceload.exe
  std::string processor = kDefaultProcessor;  // a name (ARM) or a CE processor type number
  std::string ceVersion = kDefaultCeVersion;  // MAJOR.MINOR
  std::string ceBuild = kDefaultCeBuild;
  std::string fileTimes = "fat";             // fat | exact: the volumes' last-write times
  std::optional<uint64_t> capacity;          // bytes of storage (fs/ and the database); none: the host's
  // False: the database is never synced to disk (SQLite's synchronous=OFF), for an image
  // that is made again rather than recovered after a crash of the host (a rehearsal's
  // twin). Every transaction is still atomic and isolated for the terminal's programs;
  // only a crash of the host itself may lose or damage what they committed.
  bool durable = true;
};

// Throws HostError (ERROR_INVALID_PARAMETER) with a one-line reason naming the option
// when `options` name no terminal. CreateImage checks them too.
void ValidateImageOptions(const ImageOptions& options);
// Makes a new image at `root` (absent or an empty folder). Throws HostError with a
// one-line reason on bad options, an existing non-empty folder or a host failure.
void CreateImage(const std::string& root, const ImageOptions& options);
// Makes a new image at `root` (absent or an empty folder) as a copy of `prepared`, an
// image that CreateImage made and no process has attached since: its folders and files,
// and its database copied whole rather than built again, with the time of creation set
// to now; then attaches it, as AttachImage. Throws HostError with a one-line reason.
void AttachNewImage(const std::string& prepared, const std::string& root);
// The Platform\Name a new image gets (meaningless with noPlatform).
std::string PlatformNameFor(const ImageOptions& options);

// Opens the image at `root` for this process, in place of the one attached before.
// Throws HostError with a one-line reason when `root` is not an image or cannot be
// read; nothing is attached then. Programs attach through the start-up code; termsim
// and tests directly.
void AttachImage(const std::string& root);
void DetachImage();
bool IsAttached();

const std::string& ImageRoot();  // the image folder
const std::string& FsRoot();     // its fs/ folder
int FsRootFd();                  // an O_PATH descriptor of fs/; -1 when none is attached

// The settings stored at creation ("model", "language", "time_scale", "message_box",
// "calibration", "calibration_data", "reset_device", "volumes", "file_times",
// "created_ms", "capacity"), and "generation", which a reset or stop advances. An
// absent setting reads as "".
std::string Setting(const std::string& name);
void SetSetting(const std::string& name, const std::string& value);
// A setting as a number: `fallback` when the image has none; a stored text that is not
// wholly one number throws HostError naming the setting.
int64_t SettingInt(const std::string& name, int64_t fallback);
// Terminal milliseconds per real millisecond, as the image was made with; 1 when none
// is attached.
double TimeScale();
// Real milliseconds since the Unix epoch at which the image was created.
int64_t CreatedMs();

// The bytes the terminal stores now, measured: each file and folder of fs/ as an entry
// and its length (a host program's length left out), and the database's pages in use.
uint64_t StorageUsed();
// Whether the last change that this process found no room for was refused for the
// host's sake (its space, less what is kept for the terminal's records) rather than for
// the terminal's capacity.
bool LastFullWasHost();

// The image's bell: a waiter reads BellRings, looks, and if what it waits for is not
// there yet, AwaitBell(what it read, its longest sleep) returns once the bell rang
// since (a program made a window or posted a message).
uint32_t BellRings();
void AwaitBell(uint32_t seen, std::chrono::microseconds most);

class Transaction;
// Every change made in its scope lands together or not at all (one write transaction,
// or a savepoint inside an outer one); rolled back unless Commit() was called. Also a
// consistent view of the image for reads in its scope.
class ChangeBatch {
 public:
  ChangeBatch();
  ~ChangeBatch();
  ChangeBatch(const ChangeBatch&) = delete;
  ChangeBatch& operator=(const ChangeBatch&) = delete;
  void Commit();

 private:
  std::unique_ptr<Transaction> transaction_;
};

class ReadTransaction;
// One consistent view of the image for the reads in its scope (a read transaction):
// the writes other processes commit meanwhile stay unseen, and are not held up. A
// write of this process inside it ends the view; the scope goes on with a new one.
class ReadSnapshot {
 public:
  ReadSnapshot();
  ~ReadSnapshot();
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  std::unique_ptr<ReadTransaction> transaction_;
};

// Folds the image's write-ahead log into its database file, as a copy of the image
// folder needs it.
void CheckpointImage();
// SQLite's check of the whole image database: "ok" when it is whole, else what is
// wrong, one finding per line.
std::string CheckImageIntegrity();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_IMAGE_H
