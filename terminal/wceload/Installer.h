// The CAB installer stand-in (\Windows\wceload.exe on the emulated terminal): reads a
// cabinet through the CE file API, applies its setup file (files into their folders,
// registry values, shortcuts) and registers SOFTWARE\Apps\<application>. Nothing is
// written until every member has been decompressed, the setup file found, read and
// checked against the terminal, and every destination made or checked safe, so a
// refused cabinet leaves the terminal as it was.
#ifndef KORVA_TERMINAL_WCELOAD_INSTALLER_H
#define KORVA_TERMINAL_WCELOAD_INSTALLER_H

#include "platform/coredll.h"
#include "platform/host/Journal.h"
#include "platform/host/RegistryTree.h"
#include "terminal/wceload/SetupFile.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace wceload {

// The installer's exit codes. Callers only test for 0; the others tell people (and the
// tests) which stage refused.
enum ExitCode : int {
  kInstalled = 0,
  kNoCabinetNamed = 1,  // empty command line
  kCannotOpen = 2,      // the cabinet is missing or cannot be read
  kDamaged = 3,         // not a cabinet, damaged, over the limits, or too slow to read
  kRefused = 4,         // destinations or keys leave their root or collide, or a path reaches MAX_PATH
  kInstallFailed = 5,   // writing the files or the registry failed; what was written is undone
  kWrongDevice = 6,     // the setup file is for another processor or CE version or build
  kNoSetupFile = 7,     // no ".000" member, which the terminal's installer takes for no valid setup file
};

// Bounds that keep a hostile cabinet from exhausting memory or time.
inline constexpr size_t kMaxMembers = 4096;
inline constexpr uint64_t kMaxTotalBytes = 64u << 20;  // all members, decompressed, in memory
inline constexpr int kMaxReadSeconds = 30;             // wall-clock time to decompress everything

// One member of the cabinet, decompressed.
struct Member {
  std::string rawName;    // the name's bytes as stored
  bool utf8Name = false;  // the cabinet flags the name as UTF-8
  uint64_t writeTime = 0;  // the member's date as a FILETIME, read as UTC
  std::string data;
};

// Main.cpp. One line on standard error, "wceload: CAB: message", for people reading a run.
void ReportLine(const std::u16string& cabPath, const std::string& message);
// Journals one event of the installation of `cabPath`. Where the journal cannot be
// written (the host is full past the room the terminal keeps for it), the event is
// lost and a line on standard error says so; the installation goes on as it would.
void Record(const std::u16string& cabPath, const char* event, std::initializer_list<host::JournalField> fields);

// CabReader.cpp. How a failed call's error ends a line: " (error 5)"; for the
// terminal's answers to a change it has no room for (a file's ERROR_DISK_FULL, the
// registry's ERROR_NOT_ENOUGH_MEMORY), ": the terminal's storage is full (error 112)",
// or the host's where the host is what has no room.
std::string Because(DWORD error);
// Decompresses every member of the cabinet at `cabPath` (a CE path) into
// `members`, in cabinet order. kInstalled on success; `why` says what failed otherwise.
ExitCode ReadCabinet(const std::u16string& cabPath, std::vector<Member>* members, std::string* why);

// MemberNames.cpp, with AnsiCodePage::Get (SetupFile.h).
// Bytes in `codePage` (or UTF-8) to UTF-16; bytes that do not decode become U+FFFD or
// U+001A, which SafeComponent turns into '_'.
std::u16string DecodeName(std::string_view bytes, bool utf8, AnsiCodePage& codePage);
// One path component as the terminal may store it: control characters, characters
// Windows forbids in names (`<>:"/\|?*`) and U+FFFD become '_'; trailing dots and blanks
// are removed (as Windows does), so "." and ".." become "". May return "".
std::u16string SafeComponent(std::u16string_view name);
// A member name made safe, by which the setup file and the members of its files are
// found: backslashes separate components, each is made safe by SafeComponent, and
// components that end up empty (".", "..", "", "...") are dropped. "_" when nothing
// remains.
std::u16string SafeRelativePath(std::u16string_view name);

// UTF-16 to bytes in `codePage`; characters it lacks become '?'.
std::string EncodeText(std::u16string_view text, UINT codePage);
// The cabinet's file name without its extension ("\A\Tool Pack.cab" -> "Tool Pack").
std::u16string CabinetBaseName(std::u16string_view cabPath);

// What an installation writes, with full CE paths. Folders come parents first; the
// files, shortcuts and values in the order they are written.
struct InstallFile {
  std::u16string path;
  const std::string* data = nullptr;
  uint32_t flags = 0;  // the setup file's kCopy* flags; 0 replaces any file
  uint64_t writeTime = 0;
};
struct InstallShortcut {
  std::u16string path;
  std::u16string target;
  std::string data;  // <length>#"<target>" in the terminal's code page
};
// A key below one of the terminal's registry roots.
struct RootedKey {
  host::RegistryRoot root = host::RegistryRoot::LocalMachine;
  std::u16string path;
};
struct InstallValue {
  host::RegistryRoot root = host::RegistryRoot::LocalMachine;
  std::u16string key;  // below the root
  std::u16string name;
  DWORD type = REG_SZ;
  std::string data;
  bool noClobber = false;
};
struct InstallPlan {
  std::u16string installDir;  // %InstallDir%: \Program Files\<application>
  std::vector<std::u16string> folders;
  std::set<std::u16string> folderKeys;  // the folders, case-folded
  std::vector<InstallFile> files;
  std::vector<InstallShortcut> shortcuts;
  std::vector<InstallValue> values;
};

// SetupPlan.cpp. The index of the cabinet's setup file (the first member named "*.000"),
// or nullopt when it has none.
std::optional<size_t> FindSetupFile(const std::vector<std::u16string>& safeNames);
// kInstalled when the setup file's processor and CE version and build range admit the
// terminal; kWrongDevice with `why` otherwise.
ExitCode CheckDevice(const SetupFile& setupFile, std::string* why);
// The plan of a setup file: its folder macros resolved (%InstallDir% is `installDir`),
// every file matched to its member, every destination checked to be a plain CE path.
// kDamaged when it names what the cabinet lacks, kRefused when a destination or key
// would leave its root or collide; `why` says which.
ExitCode PlanSetupFile(const SetupFile& setupFile, const std::vector<Member>& members,
                       const std::vector<std::u16string>& safeNames, const std::u16string& installDir,
                       InstallPlan* plan, std::string* why);
// Adds `folder` and the folders above it to the plan's folders (once each, any case).
void AddFolder(const std::u16string& folder, InstallPlan* plan);

// A cabinet read and checked for installation, nothing written: its members (which the
// plan's files point into), the application it registers and what it would write.
struct PreparedCabinet {
  std::vector<Member> members;
  std::u16string application;
  InstallPlan plan;
  bool setupDll = false;  // it holds a ".999" member, which this installer does not run
};
// Prepare.cpp. kInstalled when the cabinet at `cabPath` (a CE path) would be installed
// on the attached terminal; else the stage that refuses it, with `why`. Writes nothing.
ExitCode PrepareCabinet(const std::u16string& cabPath, PreparedCabinet* prepared, std::string* why);

// Extract.cpp. What an installation created, so that a failure can take it back.
class Undo {
 public:
  void CreatedFolder(std::u16string path) { folders_.push_back(std::move(path)); }
  void CreatedFile(std::u16string path) { files_.push_back(std::move(path)); }
  void CreatedKey(RootedKey key) { keys_.push_back(std::move(key)); }
  void CreatedValue(RootedKey key, std::u16string name) { values_.emplace_back(std::move(key), std::move(name)); }
  // Deletes the created values, keys, files, then the created folders, newest first.
  void Run();

 private:
  std::vector<std::u16string> folders_;
  std::vector<std::u16string> files_;
  std::vector<RootedKey> keys_;
  std::vector<std::pair<RootedKey, std::u16string>> values_;
};
// Creates the plan's folders and writes its files and shortcuts, journalling each one
// written for `cabPath`. False with `why` on the first failure; `undo` then holds what
// was created.
bool WriteFiles(const InstallPlan& plan, const std::u16string& cabPath, Undo* undo, std::string* why);

// Register.cpp. The predefined handle of a root.
HKEY RootHandle(host::RegistryRoot root);
// Writes the plan's registry values, journalling each one written for `cabPath`.
// False with `why` on the first failure.
bool WriteValues(const InstallPlan& plan, const std::u16string& cabPath, Undo* undo, std::string* why);
// Writes SOFTWARE\Apps\<application> (InstlDir, CabFile, then Instl = 1).
// False with `why` on failure, after deleting the key when this call created it.
bool RegisterApplication(const std::u16string& application, const std::u16string& cabPath,
                         const std::u16string& folder, std::string* why);

}  // namespace wceload

#endif  // KORVA_TERMINAL_WCELOAD_INSTALLER_H
