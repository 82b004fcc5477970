// Setup's installation runs on a terminal image: the terminal Setup is started on,
// real cabinets for the installer, and what a run leaves in the journal and the
// registry.
#ifndef KORVA_TESTS_SCENARIO_SETUPRUNSUPPORT_H
#define KORVA_TESTS_SCENARIO_SETUPRUNSUPPORT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/coredll.h"
#include "tests/support/Termsim.h"
#include "tests/support/Cabinets.h"
#include "tests/support/SetupFacts.h"

namespace installrun {

using setupfacts::kErrorBoxStyle;
using setupfacts::kInstallerCePath;
using setupfacts::kNoticeStyle;
using setupfacts::kResetExit;
using setupfacts::kSetupCePath;
using setupfacts::kStartFolder;
// An installer that succeeds at once and registers nothing.
inline constexpr char kTrivialInstaller[] = "#!/bin/sh\nexit 0\n";

// ---------------------------------------------------------------- cabinets (gcab)

// A small CE cabinet of the application "KORVA `appName`" that installs readme.txt
// into its folder; made once per name and test program.
const std::string& ApplicationCabinet(const std::string& appName);
// The beginning of a cabinet: the installer refuses it.
std::string DamagedCabinet();

// ---------------------------------------------------------------- the terminal

// A file or folder of the start folder \FlashDisk\SP.
struct FolderEntry {
  std::string name;
  std::string bytes;        // ignored for a folder
  bool isFolder = false;
};
FolderEntry Cab(std::string name, std::string bytes);
// A CE cabinet named `name` whose application is named after it: "Tool.cab" installs
// "KORVA Tool".
FolderEntry Cab(std::string name);
FolderEntry Folder(std::string name);

// What one `termsim run` of Setup gave.
struct SetupRun {
  int exitCode = -1;
  std::vector<e2e::Event> events;  // this run's journal, in order
  std::string err;                 // termsim's standard error, for failure messages
};

// A terminal made with `termsim create` (the time scale 0.01 unless the arguments name
// one), Setup at \FlashDisk\SP\Setup.exe and a calibration record on the flash disk,
// so that a run goes straight to the installation.
class SetupTerminal {
 public:
  explicit SetupTerminal(std::vector<std::string> createArguments = {});

  const e2e::ImageFolder& image() const { return image_; }
  // Host path of a file under fs/ ("FlashDisk/SP/Tool.cab").
  std::string FsPath(std::string_view relative) const { return image_.FsPath(relative); }
  // Puts entries into \FlashDisk\SP, each born after the one before, so that the
  // folder lists them in this order.
  void PutEntries(const std::vector<FolderEntry>& entries) const;
  // Replaces \Windows\wceload.exe with `bytes`.
  void ReplaceInstaller(std::string_view bytes) const;
  // Copies a host program to \Windows\wceload.exe.
  void ReplaceInstallerWithProgram(const std::string& hostPath) const;
  // `termsim fault IMAGE arguments...`; fails the test unless it is accepted.
  void AddFault(const std::vector<std::string>& arguments) const;
  // Runs Setup through termsim and returns the events it added to the journal.
  SetupRun Run() const;

 private:
  e2e::ImageFolder image_;
};

// "\FlashDisk\SP\name".
std::string StartFolderPath(std::string_view name);

// ---------------------------------------------------------------- a run's journal

// The command lines the installer was started with, in order.
std::vector<std::string> InstallerCommandLines(const std::vector<e2e::Event>& events);
// The exit codes of the installer processes, in order.
std::vector<int64_t> InstallerExitCodes(const std::vector<e2e::Event>& events);
// The seq of the first event named `name`; -1 when there is none.
int64_t SeqOf(const std::vector<e2e::Event>& events, const std::string& name);
// "\FlashDisk\SP\name" for each name.
std::vector<std::string> StartFolderPaths(const std::vector<std::string>& names);

// How a run ends, as the user sees it.
enum class Ending {
  kReset,             // the completion notice, five seconds, the reset (termsim: 100)
  kSilent,            // nothing shown, Setup ends with 1
  kInstallError,      // the install-error box, Setup ends with 0
  kTooManyCabs,       // the limit box before anything was installed, 0
  kTooManyCabsReset,  // the limit box after something was installed, 0
};
// The exact text the user reads at that ending; language "en" or "ja".
std::string TextFor(Ending ending, const std::string& language);
// Checks the run's exit code, its one message box (text, caption, style) and, for a
// reset, the order: installers, the five-second wait, the reset request, the reset.
void ExpectEnding(const SetupRun& run, Ending ending, const std::string& language);

// ---------------------------------------------------------------- the registry

// The image attached to this process for the object's life, so that the test reads and
// writes the registry with the terminal's own calls (no Setup code is involved).
class Attached {
 public:
  explicit Attached(const SetupTerminal& terminal);
  ~Attached();
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
};

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string bytes;
};
// A value under HKEY_LOCAL_MACHINE; nullopt when the key or the value is missing.
std::optional<RegistryValue> ReadValue(const std::u16string& key, const std::u16string& name);
void WriteValue(const std::u16string& key, const std::u16string& name, DWORD type, std::string_view bytes);
void WriteDword(const std::u16string& key, const std::u16string& name, DWORD value);
// A REG_SZ with its terminator.
void WriteString(const std::u16string& key, const std::u16string& name, std::u16string_view text);
// SOFTWARE\Apps\application with Instl = 1 and CabFile = cabFile, as the installer leaves it.
void RegisterApplication(const std::u16string& application, const std::u16string& cabFile);
// `count` applications installed from CABs of another folder (\Elsewhere).
void RegisterElsewhere(int count);
// The DWORD value, or nullopt when it is missing or no DWORD.
std::optional<DWORD> ReadDword(const std::u16string& key, const std::u16string& name);
// The CabFile values of the installed applications (Instl non-zero), in enumeration order.
std::vector<std::u16string> RegisteredCabFiles();

// Sets a host file's last-write time, behind the terminal's back.
void SetLastWriteTime(const std::string& hostPath, int64_t seconds, long nanoseconds);
// The 8 bytes of DateTime for a time since 1970: its FILETIME, low half first, little-endian.
std::string DateTimeBytes(int64_t seconds, long nanoseconds);

std::u16string U16(std::string_view utf8);
std::string Utf8(std::u16string_view text);

}  // namespace installrun

#endif  // KORVA_TESTS_SCENARIO_SETUPRUNSUPPORT_H
