// The emulated terminal's private interfaces, shared by the files of platform/host
// only: the image database, its statements and transactions, the handle table, and
// the helpers of each area that only the CE calls use. The database layer is in
// Database.h.
#ifndef KORVA_PLATFORM_HOST_HOSTINTERNAL_H
#define KORVA_PLATFORM_HOST_HOSTINTERNAL_H

#include "platform/host/Database.h"
#include "platform/host/DeviceIdentity.h"
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// ---------------------------------------------------------------- errors (Errors.cpp)

// The one errno-to-ERROR_* table.
DWORD ErrorFromErrno(int err);
// "ERROR_ACCESS_DENIED" or "5" -> 5; nullopt for an unknown name.
std::optional<DWORD> ErrorFromName(std::string_view name);

// Sets the last error and returns the failure value: `return Fail(ERROR_X, FALSE);`
template <class T>
T Fail(DWORD error, T result) {
  ::SetLastError(error);
  return result;
}

// ---------------------------------------------------------------- text (Text.cpp)

// One char of the terminal's ANSI code page (that of its system locale) as UTF-16;
// '?' for a byte the code page gives no character alone (a lead byte).
char16_t WidenAnsiChar(unsigned char c);

// ---------------------------------------------------------------- image

// False with a one-line reason naming the option when one of them is malformed
// (DeviceIdentity.cpp).
bool ValidateDeviceIdentity(const std::string& processor, const std::string& ceVersion, const std::string& ceBuild,
                            std::string* error);
// Rings the image's bell (Bell.cpp), after committing a change that another process
// may wait for.
void RingBell();
// Unmaps the bell of the image being detached.
void ForgetBell();
// Volume folder names of the root (one per line in "volumes").
std::vector<std::u16string> Volumes();
// The bytes the terminal may store ("capacity"); nullopt where the image has none (made
// without --capacity, or before it existed): then the host's space is the limit.
std::optional<uint64_t> Capacity();

// ---------------------------------------------------------------- journal (Journal.cpp)

// Milliseconds since the image was created, divided by the time scale.
int64_t TerminalTimeMs();

// ---------------------------------------------------------------- faults (Faults.cpp)

// Cuts the power: every process of the terminal ends here.
[[noreturn]] void PowerLoss();
// Drops what this process knows of the attached image's rules (DetachImage).
void ForgetFaultRules();

// ---------------------------------------------------------------- processes (Processes.cpp, ProcessTable.cpp)

// The CE path this program was started as (TERMSIM_MODULE), "" outside a terminal.
const std::u16string& ModulePath();
// Registers the calling process in the image's process table; false when the
// terminal was reset since its starter began it (the process must end at once).
bool RegisterSelf(int64_t generation);
// Records the exit code in the process table and journals process-exit.
void RecordSelfExit(DWORD code);
// ProcessStartTime for a child of this process not yet reaped, also once it has ended.
int64_t ChildStartTime(int pid);
// Whether host thread `thread` of process `pid` still exists for the kernel, exiting or not.
bool ThreadAlive(int64_t pid, int64_t thread);
// This process's own start time (cached: it never changes).
int64_t SelfStartTime();

// The process table's rows (ProcessTable.cpp), each call one statement.
// A program just started (StartProgram), in `generation`; nothing if its row exists.
void AddStartedProcess(const StartedProcess& process, int64_t generation, std::u16string_view image);
struct ProcessRow {
  std::u16string image;           // its CE path
  std::optional<DWORD> exitCode;  // none while it runs
};
// nullopt when the table has no row for `process`.
std::optional<ProcessRow> FindProcessRow(const StartedProcess& process);
void SetExitCode(const StartedProcess& process, DWORD code);
// The start times of the rows of `pid` that have not ended.
std::vector<int64_t> LiveStartTimes(int pid);

// ---------------------------------------------------------------- devices (Devices.cpp)

// Opens a stream device for CreateFileW; sets the last error and returns
// INVALID_HANDLE_VALUE when the terminal has no such device.
HANDLE OpenDevice(std::u16string_view name);

// ---------------------------------------------------------------- clock (Clock.cpp)

// Marks the calling thread as blocked in a terminal call for the scope's life, so
// that a scaled Sleep of another thread of the process knows it may go on.
class BlockedInCall {
 public:
  BlockedInCall();
  ~BlockedInCall();
  BlockedInCall(const BlockedInCall&) = delete;
  BlockedInCall& operator=(const BlockedInCall&) = delete;
};
// Threads started with CreateThread announce themselves while they run.
void ThreadStarted();
void ThreadEnded();
// Real milliseconds for `ms` terminal milliseconds.
double ScaledMs(double ms);

// ---------------------------------------------------------------- files (Paths.cpp)

// Opens `name` (one component, or ".") beneath the folder `dirFd`, refusing symlinks
// and every way out of it; O_CLOEXEC is added. -1 with errno on failure.
int OpenBeneath(int dirFd, const std::string& name, int flags, unsigned mode = 0);
// FILE_ATTRIBUTE_* of an entry: DIRECTORY (with TEMPORARY for a volume folder of the
// root), else ARCHIVE; READONLY when the owner-write bit is clear.
DWORD AttributesOf(const struct ::statx& entry, bool volumeFolder);
// A folder of the root that the image names as a volume.
bool IsVolumeFolder(const ResolvedPath& path);
// UTC FILETIME of a host time stamp, exact to 100 ns (no rounding).
FILETIME ToFileTime(int64_t seconds, uint32_t nanoseconds);
// How a file system keeps last-write times: the object store to 100 ns, a FAT volume to
// 2 seconds.
enum class TimeResolution { Exact, Fat };
// Where the entries of `folder` (a normalised CE path, "" or "\" the root) keep their
// last-write times: FAT's inside a volume of the root, unless the image keeps exact
// times there ("file_times"); exact in the object store, the root's own entries included.
TimeResolution ResolutionIn(std::u16string_view folder);
// A host time stamp as a file system of `resolution` keeps it: FAT moves it up to the
// next even second, as a copy onto FAT does.
std::timespec KeptTime(const std::timespec& time, TimeResolution resolution);
// The last-write time of `entry` as the terminal reports it, where `resolution` holds:
// the one reading behind GetFileTime and FindFirstFileW/FindNextFileW.
FILETIME LastWriteTimeOf(const struct ::statx& entry, TimeResolution resolution);
// Birth time where kept, else the status-change time.
FILETIME CreationTimeOf(const struct ::statx& entry);

// ---------------------------------------------------------------- journal (Journal.cpp)

// Journal(), as a lasting write (WriteLasting): the event stays, with the time it was
// first written, whatever rolls back around it.
void JournalLasting(const char* event, std::initializer_list<JournalField> fields);

// ---------------------------------------------------------------- schema (each area's file)

// The tables of one area, created in a new image's database inside the transaction
// that creates it. Image.cpp calls them in the order the tables are stored, the
// settings' first (CreateSettingsTables).
void CreateRegistryTables(sqlite3* db);  // Registry.cpp, with the root key
void CreateJournalTables(sqlite3* db);   // Journal.cpp
void CreateProcessTables(sqlite3* db);   // ProcessTable.cpp
void CreateSyncTables(sqlite3* db);      // Sync.cpp
void CreateFileTables(sqlite3* db);      // FileIo.cpp
void CreateWindowTables(sqlite3* db);    // Windows.cpp
void CreateFaultTables(sqlite3* db);     // Faults.cpp

// ---------------------------------------------------------------- settings (Settings.cpp)

// The settings table, and a new image's settings from `options` and its volume folders.
void CreateSettingsTables(sqlite3* db);
void WriteNewSettings(sqlite3* db, const ImageOptions& options, const std::vector<std::string>& volumes);
// Makes the settings of a copied image its own: its time of creation now, and the
// durability it was made with applied to `db`, the copy's connection.
void StampCopiedSettings(sqlite3* db);

// The settings that never change after creation, read once per attach.
struct FixedSettings {
  double timeScale = 1.0;
  int64_t createdMs = 0;
  std::optional<uint64_t> capacity;
  bool notDurable = false;  // "durable" is "no": kNotDurable applies
};
// Reads them from `db`, the database at `path` of the image at `root`. Throws HostError
// when the database is foreign, a setting is malformed, or a full host keeps it from
// being read.
FixedSettings ReadFixedSettings(sqlite3* db, const std::string& root, const std::string& path);
// What TimeScale, CreatedMs and Capacity answer from now on; nullopt while no image is
// attached.
void KeepFixedSettings(std::optional<FixedSettings> settings);

// `text`, the stored value of setting `name`, read as SettingInt and SettingDouble
// read it: for a setting read without Setting(), or a number inside a setting's text.
int64_t SettingIntFrom(const std::string& name, std::string_view text, int64_t fallback);
double SettingDoubleFrom(const std::string& name, std::string_view text, double fallback);
double SettingDouble(const std::string& name, double fallback);

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
