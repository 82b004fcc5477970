// The CAB installer stand-in (\Windows\wceload.exe on the emulated terminal): reads a
// cabinet through the CE file API, extracts it under \Program Files\<application> and
// registers SOFTWARE\Apps\<application>. Nothing is written until every member has been
// decompressed and every member name has been made safe, so a damaged cabinet leaves
// the terminal as it was.
#ifndef KORVA_TERMINAL_WCELOAD_INSTALLER_H
#define KORVA_TERMINAL_WCELOAD_INSTALLER_H

#include "platform/coredll.h"

#include <cstddef>
#include <cstdint>
#include <optional>
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
  kRefused = 4,         // member names collide or make a path longer than MAX_PATH
  kInstallFailed = 5,   // writing the files or the registry failed; what was written is undone
};

// Bounds that keep a hostile cabinet from exhausting memory or time.
inline constexpr size_t kMaxMembers = 4096;
inline constexpr uint64_t kMaxTotalBytes = 64u << 20;  // all members, decompressed, in memory
inline constexpr int kMaxReadSeconds = 30;             // wall-clock time to decompress everything

// One member of the cabinet, decompressed.
struct Member {
  std::string rawName;    // the name's bytes as stored
  bool utf8Name = false;  // the cabinet flags the name as UTF-8
  std::string data;
};

// CabReader.cpp. Decompresses every member of the cabinet at `cabPath` (a CE path) into
// `members`, in cabinet order. kInstalled on success; `why` says what failed otherwise.
ExitCode ReadCabinet(const std::u16string& cabPath, std::vector<Member>* members, std::string* why);

// MemberNames.cpp. The terminal's ANSI code page (932 on a Japanese terminal, 1252 on an
// English one), which decodes names stored without the UTF-8 flag.
UINT AnsiCodePage();
// Bytes in `codePage` (or UTF-8) to UTF-16; bytes that do not decode become U+FFFD or
// U+001A, which SafeComponent turns into '_'.
std::u16string DecodeName(std::string_view bytes, bool utf8, UINT codePage);
// One path component as the terminal may store it: control characters, characters
// Windows forbids in names (`<>:"/\|?*`) and U+FFFD become '_'; trailing dots and blanks
// are removed (as Windows does), so "." and ".." become "". May return "".
std::u16string SafeComponent(std::u16string_view name);
// A member name as a relative CE path that stays inside the application folder:
// backslashes separate components, each is made safe by SafeComponent, and components
// that end up empty (".", "..", "", "...") are dropped. "_" when nothing remains.
std::u16string SafeRelativePath(std::u16string_view name);

// A file to write, relative to the application folder.
struct PlannedFile {
  std::u16string relativePath;  // "Sub\File.txt"
  const std::string* data = nullptr;
};
struct Plan {
  std::vector<std::u16string> folders;  // relative, parents before children
  std::vector<PlannedFile> files;
};
// Makes the plan from the decoded, made-safe names: a later member of the same name (in
// any letter case) replaces an earlier one. False with `why` when a name is needed both
// as a file and as a folder.
bool PlanMembers(const std::vector<Member>& members, const std::vector<std::u16string>& safeNames, Plan* plan,
                 std::string* why);

// SetupFile.cpp. "Provider AppName" from the cabinet's setup file: the first member named
// "*.000" whose content starts with "MSCE" and whose name offsets stay inside it. nullopt
// when there is none or either string is empty.
std::optional<std::u16string> SetupFileApplication(const std::vector<Member>& members,
                                                   const std::vector<std::u16string>& safeNames, UINT codePage);
// The cabinet's file name without its extension ("\A\Tool Pack.cab" -> "Tool Pack").
std::u16string CabinetBaseName(std::u16string_view cabPath);

// Extract.cpp. What an installation created, so that a failure can take it back.
class Undo {
 public:
  void CreatedFolder(std::u16string path) { folders_.push_back(std::move(path)); }
  void CreatedFile(std::u16string path) { files_.push_back(std::move(path)); }
  // Deletes the created files, then the created folders, newest first.
  void Run();

 private:
  std::vector<std::u16string> folders_;
  std::vector<std::u16string> files_;
};
// Writes the plan under `folder` (a CE path, created with its parents when missing).
// False with `why` on the first failure; `undo` then holds what was created.
bool WritePlan(const std::u16string& folder, const Plan& plan, Undo* undo, std::string* why);

// Register.cpp. Writes SOFTWARE\Apps\<application> (InstlDir, CabFile, then Instl = 1).
// False with `why` on failure, after deleting the key when this call created it.
bool RegisterApplication(const std::u16string& application, const std::u16string& cabPath,
                         const std::u16string& folder, std::string* why);

}  // namespace wceload

#endif  // KORVA_TERMINAL_WCELOAD_INSTALLER_H
