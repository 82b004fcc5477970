// The two flags Setup sets around each installer run (Reset of the service-pack key,
// fAskDest of the installer's key), when their writes fail, when the installer cannot
// start, and what the run makes of the installer's result. The installer here is a
// probe that records the flags as it finds them and ends with the code it is given.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "tests/scenario/SetupRunSupport.h"

namespace {

using namespace installrun;

const std::u16string kServicePackKey = u"SOFTWARE\\KORVA\\Service Pack";
const std::u16string kInstallerKey = u"SOFTWARE\\Apps\\Microsoft Application Installer";
const char* const kResetTarget = "SOFTWARE\\KORVA\\Service Pack:Reset";
const char* const kAskDestTarget = "SOFTWARE\\Apps\\Microsoft Application Installer:fAskDest";
// Values the flags hold before the run, which Setup never reads.
constexpr DWORD kBefore = 7;

std::vector<std::string> WriteFails(const char* target, int after) {
  return {"RegSetValueExW", target, "ERROR_ACCESS_DENIED", "--after", std::to_string(after), "--times", "1"};
}

TEST(InstallerFlags, FlagWritesStartAndResultOfTheInstaller) {
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> faults;
    int installerExit;
    bool presetFlags;       // both flags hold kBefore before the run
    bool installerMissing;
    std::optional<std::string> seen;  // what the installer found; none when it never ran
    std::optional<DWORD> resetAfter;
    std::optional<DWORD> askDestAfter;
    Ending ending;  // the notice and reset when the installation counted as done
  };
  const std::vector<std::string> cannotStart = {"CreateProcessW", kInstallerCePath, "ERROR_ACCESS_DENIED"};
  const std::vector<Case> cases = {
      {"installer ends with 0", {}, 0, true, false, "Reset=0 fAskDest=0", 1, 1, Ending::kReset},
      {"installer ends with 1", {}, 1, true, false, "Reset=0 fAskDest=0", 1, 1, Ending::kInstallError},
      {"no flags before the run", {}, 0, false, false, "Reset=0 fAskDest=0", 1, 1, Ending::kReset},
      // fAskDest is written only after Reset was.
      {"Reset = 0 fails", {WriteFails(kResetTarget, 0)}, 0, true, false, "Reset=7 fAskDest=7", 1, 1, Ending::kReset},
      {"fAskDest = 0 fails", {WriteFails(kAskDestTarget, 0)}, 0, true, false, std::nullopt, 0, kBefore,
       Ending::kInstallError},
      {"Reset = 1 fails, installer ends with 0", {WriteFails(kResetTarget, 1)}, 0, true, false, "Reset=0 fAskDest=0", 0,
       0, Ending::kReset},
      {"Reset = 1 fails, installer ends with 1", {WriteFails(kResetTarget, 1)}, 1, true, false, "Reset=0 fAskDest=0",
       0, 0, Ending::kInstallError},
      {"fAskDest = 1 fails", {WriteFails(kAskDestTarget, 1)}, 0, true, false, "Reset=0 fAskDest=0", 1, 0,
       Ending::kInstallError},
      // An exit code that cannot be read is no success.
      {"exit code unreadable", {{"GetExitCodeThread", "*", "ERROR_INVALID_HANDLE"}}, 0, true, false,
       "Reset=0 fAskDest=0", 1, 1, Ending::kInstallError},
      {"installer cannot start", {cannotStart}, 0, true, false, std::nullopt, 1, 1, Ending::kInstallError},
      // Both flags are put back whatever the first write gives.
      {"installer cannot start, Reset = 1 fails", {cannotStart, WriteFails(kResetTarget, 1)}, 0, true, false,
       std::nullopt, 0, 1, Ending::kInstallError},
      {"installer missing", {}, 0, true, true, std::nullopt, 1, 1, Ending::kInstallError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupTerminal terminal;
    terminal.ReplaceInstallerWithProgram(INSTALLER_PROBE_PATH);
    if (c.installerMissing) std::filesystem::remove(terminal.FsPath("Windows/wceload.exe"));
    terminal.PutEntries({Cab("Tool.cab", std::to_string(c.installerExit))});
    if (c.presetFlags) {
      Attached attached(terminal);
      WriteDword(kServicePackKey, u"Reset", kBefore);
      WriteDword(kInstallerKey, u"fAskDest", kBefore);
    }
    for (const auto& fault : c.faults) terminal.AddFault(fault);

    const SetupRun run = terminal.Run();

    const bool started = c.seen.has_value();
    EXPECT_EQ(InstallerCommandLines(run.events),
              started ? StartFolderPaths({"Tool.cab"}) : std::vector<std::string>{});
    if (started) {
      EXPECT_EQ(InstallerExitCodes(run.events), std::vector<int64_t>{c.installerExit});
    }
    const std::string seen = ReadHostFile(terminal.FsPath("FlashDisk/installer-seen.txt"));
    EXPECT_EQ(seen, started ? *c.seen + " cab=\\FlashDisk\\SP\\Tool.cab\n" : "");
    ExpectEnding(run, c.ending, "en");
    Attached attached(terminal);
    EXPECT_EQ(ReadDword(kServicePackKey, u"Reset"), c.resetAfter);
    EXPECT_EQ(ReadDword(kInstallerKey, u"fAskDest"), c.askDestAfter);
  }
}

}  // namespace
