// The emulated terminal's interface for termsim, the stand-in programs, tests and
// benchmarks: the image, its settings, the registry tree, fault rules, the journal and
// the text helpers. The program sees none of it (only platform/coredll.h); the
// database beneath stays private to platform/host (HostInternal.h).
#ifndef KORVA_PLATFORM_HOST_TERMINAL_H
#define KORVA_PLATFORM_HOST_TERMINAL_H

#include "platform/coredll.h"
#include "platform/host/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct statx;

namespace host {

// ---------------------------------------------------------------- errors (Errors.cpp)

// The one errno-to-ERROR_* table.
DWORD ErrorFromErrno(int err);
// "ERROR_ACCESS_DENIED" or "5" -> 5; nullopt for an unknown name.
std::optional<DWORD> ErrorFromName(std::string_view name);
// 5 -> "ERROR_ACCESS_DENIED"; a number as text for codes without a name.
std::string ErrorName(DWORD error);

// Sets the last error and returns the failure value: `return Fail(ERROR_X, FALSE);`
template <class T>
T Fail(DWORD error, T result) {
  ::SetLastError(error);
  return result;
}

// A failure inside the terminal's own machinery (the image database); API entry
// points turn it into an error code.
class HostError : public std::runtime_error {
 public:
  HostError(const std::string& what, DWORD code) : std::runtime_error(what), code_(code) {}
  DWORD code() const { return code_; }

 private:
  DWORD code_;
};

// Runs `body` and turns a HostError into its code (as the last error) and `failure`.
template <class T, class F>
T Guarded(T failure, F&& body) {
  try {
    return body();
  } catch (const HostError& e) {
    ::SetLastError(e.code());
    return failure;
  }
}

// ---------------------------------------------------------------- text (Text.cpp)

std::u16string ToU16(const WCHAR* s);  // null gives ""
std::string ToUtf8(std::u16string_view s);  // lone surrogates become U+FFFD
std::u16string FromUtf8(std::string_view s);  // invalid bytes become U+FFFD
// Full Unicode case folding (ICU), as the terminal compares names.
std::u16string FoldCase(std::u16string_view s);
// One char of the terminal's ANSI code page (that of its system locale) as UTF-16;
// '?' for a byte the code page gives no character alone (a lead byte).
char16_t WidenAnsiChar(unsigned char c);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
// `*` any run (also empty), `?` one character (a surrogate pair is one);
// case-insensitive over the whole text.
bool GlobMatch(std::u16string_view pattern, std::u16string_view text);
// UTF-16 code units as bytes, high byte first: memcmp order is code-unit order.
std::string ToSortKey(std::u16string_view s);
// A JSON string literal with the exact code units (lone surrogates as \u escapes).
std::string JsonString(std::u16string_view s);

// ---------------------------------------------------------------- image (Image.cpp)

// The terminal's identity against a CE setup file's device check (DeviceIdentity.cpp).
inline constexpr const char* kDefaultProcessor = "ARM";
inline constexpr const char* kDefaultCeVersion = "4.10";
inline constexpr const char* kDefaultCeBuild = "908";

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

// False with a one-line reason when `options` name no terminal (checked by CreateImage).
bool ValidateImageOptions(const ImageOptions& options, std::string* error);

// Makes a new image at `root` (absent or an empty folder). False with a one-line
// reason on bad options or an existing non-empty folder.
bool CreateImage(const std::string& root, const ImageOptions& options, std::string* error);
// Makes a new image at `root` (absent or an empty folder) as a copy of `prepared`, an
// image that CreateImage made and no process has attached since: its folders and files,
// and its database copied whole rather than built again, with the time of creation set
// to now. False with a one-line reason.
bool CopyNewImage(const std::string& prepared, const std::string& root, std::string* error);
// The Platform\Name a new image gets (meaningless with noPlatform).
std::string PlatformNameFor(const ImageOptions& options);

// The image's bell (Bell.cpp): RingBell after committing a change that another process
// may wait for; a waiter reads BellRings, looks, and if what it waits for is not there
// yet, AwaitBell(what it read, its longest sleep) returns once the bell rang since.
void RingBell();
uint32_t BellRings();
void AwaitBell(uint32_t seen, std::chrono::microseconds most);

// Opens the image for this process. False with a one-line reason when `root` is not
// an image. Programs attach through the start-up code; termsim and tests directly.
bool AttachImage(const std::string& root, std::string* error);
void DetachImage();
bool IsAttached();

const std::string& ImageRoot();  // the image folder
const std::string& FsRoot();     // its fs/ folder
int FsRootFd();                  // an O_PATH descriptor of fs/

// The settings stored at creation ("model", "language", "time_scale", "message_box",
// "calibration", "calibration_data", "reset_device", "volumes", "file_times",
// "created_ms", "capacity"), and "generation", which a reset or stop advances.
std::string Setting(const std::string& name);
void SetSetting(const std::string& name, const std::string& value);
// A setting as a number (Settings.cpp): `fallback` when the image has none; a stored
// text that is not wholly one number throws HostError naming the setting.
int64_t SettingInt(const std::string& name, int64_t fallback);
double SettingDouble(const std::string& name, double fallback);
double TimeScale();
// Real milliseconds since the Unix epoch at which the image was created.
int64_t CreatedMs();
// Volume folder names of the root (one per line in "volumes").
std::vector<std::u16string> Volumes();
// The bytes the terminal may store ("capacity"); nullopt where the image has none (made
// without --capacity, or before it existed): then the host's space is the limit.
std::optional<uint64_t> Capacity();
// The bytes the terminal stores now, measured (Storage.cpp): each file and folder of fs/
// as an entry and its length (a host program's length left out), and the database's
// pages in use.
uint64_t StorageUsed();
// Whether the last change that this process found no room for was refused for the
// host's sake (its space, less what is kept for the terminal's records) rather than for
// the terminal's capacity.
bool LastFullWasHost();

// ---------------------------------------------------------------- device identity (DeviceIdentity.cpp)

struct DeviceIdentity {
  uint32_t processor = 0;  // CE processor type (2577 for ARM)
  uint32_t major = 0, minor = 0, build = 0;
};
// A processor name (any letter case) or number as its CE processor type; nullopt when unknown.
std::optional<uint32_t> ProcessorType(const std::string& nameOrNumber);
// The first name of a CE processor type ("ARM" for 2577); "" for a number no name stands for.
std::string ProcessorName(uint32_t type);
// "4.10" as 4 and 10; false when the text is not MAJOR.MINOR.
bool ParseCeVersion(const std::string& text, uint32_t* major, uint32_t* minor);
// False with a one-line reason naming the option when one of them is malformed.
bool ValidateDeviceIdentity(const std::string& processor, const std::string& ceVersion, const std::string& ceBuild,
                            std::string* error);
// The attached terminal's identity, from its settings ("processor", "ce_version",
// "ce_build"), the defaults where the image has none.
DeviceIdentity TerminalDeviceIdentity();

// ---------------------------------------------------------------- change batches and read views (Image.cpp)

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

// ---------------------------------------------------------------- registry (Registry.cpp)

// The registry beneath the Reg* calls, for importing and exporting .reg files: no
// handles, no fault rules. A path is below one of the terminal's roots ("" is the root,
// names joined by "\"); names are matched case-insensitively and kept as first written.
// Database failures throw HostError; an invalid path throws HostError with
// ERROR_INVALID_PARAMETER.
//
// The four roots a Windows CE registry has, in the order of their predefined handles.
// NOTES: CE documents no relation between them; the terminal keeps each apart (on the
// desktop HKEY_CURRENT_USER is a key of HKEY_USERS, and HKEY_CLASSES_ROOT a merged view).
enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users };
inline constexpr RegistryRoot kRegistryRoots[] = {RegistryRoot::ClassesRoot, RegistryRoot::CurrentUser,
                                                  RegistryRoot::LocalMachine, RegistryRoot::Users};
// "HKEY_CURRENT_USER" and the like.
std::u16string_view RegistryRootName(RegistryRoot root);
// A root's long or short name (HKEY_CURRENT_USER, HKCU), any letter case.
std::optional<RegistryRoot> RegistryRootNamed(std::u16string_view name);
// A text that begins with a root's name: the root, and the rest after the name (empty,
// or beginning with "\" or ":"). nullopt when the text begins with no root's name.
struct RootedText {
  RegistryRoot root;
  std::u16string_view rest;
};
std::optional<RootedText> SplitRegistryRoot(std::u16string_view text);

struct RegistryValue {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};
struct RegistrySubKey {
  std::u16string name;
  int64_t id = 0;
};
// Every name non-empty and at most 255 characters, at most 16 levels.
bool IsValidRegistryPath(std::u16string_view path);
bool IsValidRegistryValueName(std::u16string_view name);
std::optional<int64_t> RegistryFindKey(RegistryRoot root, std::u16string_view path);
int64_t RegistryCreateKey(RegistryRoot root, std::u16string_view path);  // creates whatever is missing
void RegistryDeleteKey(RegistryRoot root, std::u16string_view path);     // the whole tree; nothing if absent
void RegistrySetValue(int64_t key, std::u16string_view name, DWORD type, std::string_view data);
void RegistryDeleteValue(int64_t key, std::u16string_view name);  // nothing if absent
std::vector<RegistrySubKey> RegistrySubKeys(int64_t key);  // in enumeration order
std::vector<RegistryValue> RegistryValues(int64_t key);    // in enumeration order

// ---------------------------------------------------------------- journal (Journal.cpp)

using JournalValue = std::variant<int64_t, std::u16string>;
struct JournalField {
  const char* name;
  JournalValue value;
};
// Appends one event, stamped with this process's pid and the terminal's time.
void Journal(const char* event, std::initializer_list<JournalField> fields);
// One stored event, as `termsim journal` shows it, its fields read back once.
struct JournalEvent {
  struct Field {
    std::string name;
    JournalValue value;
  };
  int64_t seq = 0;
  int64_t timeMs = 0;
  int64_t pid = 0;
  std::string event;
  // In the writer's order. A stored object that cannot be read (never written by the
  // terminal) comes back whole as the one text field "fields".
  std::vector<Field> fields;

  const JournalValue* Find(std::string_view name) const;    // null when absent
  std::optional<int64_t> Int(std::string_view name) const;  // nullopt when absent or a text
  std::u16string Text(std::string_view name) const;         // "" when absent or a number
  // The fields as the JSON object the journal stores: exact code units, lone
  // surrogates as \u escapes.
  std::string FieldsJson() const;
};
// The events after `afterSeq`, in order.
std::vector<JournalEvent> JournalEventsAfter(int64_t afterSeq);
// The newest event's seq; 0 for an empty journal.
int64_t LastJournalSeq();
// Milliseconds since the image was created, divided by the time scale.
int64_t TerminalTimeMs();

// ---------------------------------------------------------------- faults (Faults.cpp)

// PowerLoss: every process of the terminal ends at the call (CheckFault never returns it).
enum class FaultAction { None, Fail, PowerLossHalf, PowerLoss };
struct Fault {
  FaultAction action = FaultAction::None;
  DWORD error = 0;
};
// A rule's error text: "power-loss", "power-loss:half", an ERROR_* name or a number;
// nullopt for any other text.
std::optional<Fault> ParseFaultError(std::string_view text);
// The text a rule stores for `fault`, as the journal's fault event shows it.
std::string FaultErrorText(const Fault& fault);
// Asks the image's fault rules about one call. A rule that fires is journalled. A
// `power-loss` rule ends every process of the terminal here and does not return;
// `power-loss:half` returns PowerLossHalf so that the caller writes half of its bytes
// and then calls PowerLoss().
// `api` must be one of FaultApis(): a call site that names another is a programming
// error and aborts. A registry call's target begins with its key's root
// ("HKEY_LOCAL_MACHINE\SOFTWARE\X:Value"); the journal shows keys of
// HKEY_LOCAL_MACHINE without it, and a rule's pattern without a root means that root.
// `readsOnly`: this call of an API that may change the terminal's state changes nothing
// (a CreateFileW that opens an existing file for reading), which a call trace notes.
Fault CheckFault(const char* api, std::u16string_view target, bool readsOnly = false);
[[noreturn]] void PowerLoss();

// What a call's rules match: its CE path, its KEY, its KEY:VALUE, or nothing ("*").
enum class FaultTarget { Path, Key, KeyValue, None };
struct FaultApi {
  const char* name;
  FaultTarget target;
  bool writesHalf;  // power-loss:half can cut it after half of its bytes
  bool changes = false;  // it may change the terminal's state (a write, a deletion, a start)
};
// Every call that consults fault rules: the one list termsim checks rules against.
std::span<const FaultApi> FaultApis();
const FaultApi* FindFaultApi(std::string_view name);  // any case; null when absent
// False with a one-line reason when `pattern` can never match a target of `api`.
bool ValidFaultPattern(const FaultApi& api, std::u16string_view pattern, std::string* why);

struct FaultRule {
  int64_t id = 0;                       // its number, given by AddFaultRule
  std::string api;                      // a name of FaultApis()
  std::u16string pattern;
  std::string error;                    // ERROR_* name or number, power-loss, power-loss:half
  int64_t after = 0;
  std::optional<int64_t> times;         // none: every matching call after `after`
  std::optional<std::u16string> caller;  // canonical CE path of the calling program
  int64_t fired = 0;                    // how often it fired so far (ListFaultRules)
};
// Rule changes, each one transaction; an unknown API throws HostError.
int64_t AddFaultRule(const FaultRule& rule);
std::vector<FaultRule> ListFaultRules();  // in the order they are consulted
bool RemoveFaultRule(int64_t id);  // false when there is no such rule
void ClearFaultRules();
// Drops what this process knows of the attached image's rules (DetachImage).
void ForgetFaultRules();

// A call trace: while it is on, every call of every program of the terminal that
// consults fault rules is recorded in order, so that a later rule can single out any
// one of them. It rides on the rules (one rule per API that only records), so a call
// costs no more than a call with rules on its API.
struct TracedCall {
  std::string api;
  std::u16string target;  // as a rule's PATTERN names it (keys of HKLM without root)
  std::u16string caller;  // the program's canonical CE path ("" outside a terminal)
  bool changes = false;   // a state-changing call (file data, a deletion, a start...)
  bool writesHalf = false;  // it writes file data: a torn cut applies
  // How many earlier calls a rule `api target --caller caller` matches: its --after.
  int64_t after = 0;
};
void StartCallTrace();
// Ends the trace begun by StartCallTrace and gives its calls, in order.
std::vector<TracedCall> StopCallTrace();

// ---------------------------------------------------------------- processes (Processes.cpp)

// The CE path this program was started as (TERMSIM_MODULE), "" outside a terminal.
const std::u16string& ModulePath();
// Registers the calling process in the image's process table; false when the
// terminal was reset since its starter began it (the process must end at once).
bool RegisterSelf(int64_t generation);
// Records the exit code in the process table and journals process-exit.
void RecordSelfExit(DWORD code);
// Ends every process of the terminal except the caller (and then, unless
// `spareCaller`, the caller too). Advances the generation first.
void EndTerminalProcesses(bool spareCaller);
// One row of the image's process table: a program that the terminal started, or that
// started on it, in this generation or an earlier one.
struct ProcessRecord {
  int64_t pid = 0;
  std::u16string image;          // its CE path
  bool registered = false;       // it registered itself (RegisterSelf): it runs the host library
  std::optional<DWORD> exitCode;  // none while it runs
};
std::vector<ProcessRecord> ProcessRecords();  // in the order they were added
// Identity of a live process: start time in clock ticks since boot, 0 if gone.
int64_t ProcessStartTime(int pid);
// The same for a child of this process not yet reaped, also once it has ended.
int64_t ChildStartTime(int pid);
bool ProcessAlive(int pid, int64_t startTime);
// Whether host thread `thread` of process `pid` still exists for the kernel, exiting or not.
bool ThreadAlive(int64_t pid, int64_t thread);

// A pidfd of `pid` (pidfd_open): it pins the process it opened; invalid, with errno,
// when there is no such process.
UniqueFd OpenPidfd(int pid);

// This process's own start time (cached: it never changes).
int64_t SelfStartTime();

// A program started on the terminal (Processes.cpp).
struct StartedProcess {
  int pid = 0;
  int64_t startTime = 0;
};
// Starts the CE program at `cePath` (resolved inside fs/; run whatever its mode bits:
// a program on the host library, or a script) with `commandLine` as its whole command
// line, registers it in the process table and journals process-start. Sets the last
// error and returns nullopt on failure (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
// ERROR_BAD_EXE_FORMAT...). `detached`: own session, standard streams on /dev/null.
// `journalStart` false: termsim's own commands start programs without an event.
// `processGroup` > 0: the program joins that process group (termsim run's), else the
// starter's. The program's module name is the canonical path (CanonicalCePath).
std::optional<StartedProcess> StartProgram(std::u16string_view cePath, std::u16string_view commandLine,
                                           bool detached = false, bool journalStart = true, int processGroup = 0);
// For the starter that reaped `process` with `waitStatus`: records the exit code and
// journals process-exit when the program did not do so itself (a script), unless
// the terminal was reset or stopped meanwhile. Returns the exit code.
DWORD RecordChildExit(const StartedProcess& process, int waitStatus);

// ---------------------------------------------------------------- windows (Windows.cpp)

// True once `process` owns a window; for a starter that waits for one (no fault rule
// applies, nothing is journalled).
bool HasWindow(const StartedProcess& process);

// ---------------------------------------------------------------- mutexes (Sync.cpp)

// The named mutexes the image keeps, in the order of their names' code points: one
// while any process holds a handle to it (a process that ended without closing its
// handle may keep it listed until the name is next created).
std::vector<std::u16string> NamedMutexes();

// ---------------------------------------------------------------- devices (Devices.cpp)

// "QDV1:" and the like: three letters, a digit, a colon.
bool IsDeviceName(std::u16string_view name);
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

// ---------------------------------------------------------------- host files (FileIo.cpp)

// Copies the host file `from` to the new host file `to`, with its permission bits.
// False with a one-line reason naming both, which says so where the host's storage is
// full; nothing of `to` is left then.
bool CopyHostFile(const std::string& from, const std::string& to, std::string* error);

// ---------------------------------------------------------------- files (Paths.cpp)

// What no CE file name holds: control characters (U+0000..U+001F), the separators
// \ and /, and < > : " | ? *.
bool IsForbiddenInFileName(char16_t c);

// A CE path resolved inside fs/.
struct ResolvedPath {
  UniqueFd parentFd;          // O_PATH descriptor of the folder that holds the last component
  std::string hostName;       // the last component as it exists on the host (or as given when absent)
  bool exists = false;        // the last component exists
  std::u16string cePath;      // normalised CE path, "\A\B"
  std::string HostPath() const;  // absolute host path, for diagnostics and exec
  // The folder that holds it: "\A" of "\A\B", "" (the root) of "\A" and of the root.
  std::u16string_view Folder() const;
};
// Resolves `cePath` one component at a time beneath fs/: exact name first, else a
// case-insensitive match; "\" and "/" separate, "." and ".." apply to the text
// (clamped at the root), no leading separator still means the root. Never leaves
// fs/. On failure sets the last error and returns nullopt: ERROR_PATH_NOT_FOUND (a
// folder on the way is missing), ERROR_INVALID_NAME (< > : " | ? *, control
// characters, lone surrogates), ERROR_FILENAME_EXCED_RANGE (260 characters or more),
// ERROR_ACCESS_DENIED (a symlink). The last component need not exist. The root itself
// comes back as hostName "." with parentFd on fs/.
std::optional<ResolvedPath> ResolvePath(std::u16string_view cePath);
// The path as the loader names a module: "\" first, "\" between names, "." and ".."
// applied, the letters as given; nullopt (last error set) where ResolvePath fails on
// the text alone.
std::optional<std::u16string> CanonicalCePath(std::u16string_view cePath);
// Opens `name` (one component, or ".") beneath the folder `dirFd`, refusing symlinks
// and every way out of it; O_CLOEXEC is added. -1 with errno on failure.
int OpenBeneath(int dirFd, const std::string& name, int flags, unsigned mode = 0);
// The entry `name` of the folder `dirFd`, not following a symlink, with its birth time
// where the host file system keeps one. False with errno on failure.
bool StatEntry(int dirFd, const std::string& name, struct ::statx* out);
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

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_TERMINAL_H
