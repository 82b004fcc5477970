// Setup's installing job on a terminal, with the CAB installer stand-in (or a trivial
// installer) as real processes: which CABs are handed to the installer and in which
// order, how the run ends, and what the registry holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "tests/scenario/SetupRunSupport.h"

namespace {

using namespace installrun;

const std::u16string kServicePackKey = u"SOFTWARE\\KORVA\\Service Pack";

std::string AsciiLower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// The CABs of the start folder (named in any case) that stand registered, sorted.
std::vector<std::string> RegisteredFromStartFolder() {
  const std::string folder = AsciiLower(std::string(kStartFolder) + "\\");
  std::vector<std::string> paths;
  for (const auto& cabFile : RegisteredCabFiles()) {
    const std::string path = Utf8(cabFile);
    if (AsciiLower(path).rfind(folder, 0) == 0) paths.push_back(path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// One terminal and one run, as most cases below arrange them.
struct Arrangement {
  std::string language = "en";  // en: ServicePackHQ20.CAB; ja: ServicePackHQ40.CAB (LM310)
  int registeredElsewhere = 0;
  // Applications and the CabFile each registered (CE path, any case).
  std::vector<std::pair<std::string, std::string>> registered;
  std::vector<FolderEntry> entries;  // the start folder, in creation order
  std::optional<std::string> installer;  // the bytes of \Windows\wceload.exe; the stand-in when absent
  std::vector<std::vector<std::string>> faults;
};

void Prepare(const SetupTerminal& terminal, const Arrangement& arrangement) {
  terminal.PutEntries(arrangement.entries);
  if (arrangement.installer) terminal.ReplaceInstaller(*arrangement.installer);
  {
    Attached attached(terminal);
    RegisterElsewhere(arrangement.registeredElsewhere);
    for (const auto& [application, cabFile] : arrangement.registered) {
      RegisterApplication(U16(application), U16(cabFile));
    }
  }
  for (const auto& fault : arrangement.faults) terminal.AddFault(fault);
}

SetupRun Arrange(const SetupTerminal& terminal, const Arrangement& arrangement) {
  Prepare(terminal, arrangement);
  return terminal.Run();
}

// One run on a terminal of its own: the installer started on `started` in that order,
// the run's ending, and the start folder's CABs that stand registered after it.
void ExpectRun(const Arrangement& arrangement, const std::vector<std::string>& started, Ending ending,
               std::vector<std::string> registeredAfter) {
  SetupTerminal terminal;
  const SetupRun run = Arrange(terminal, arrangement);
  EXPECT_EQ(InstallerCommandLines(run.events), StartFolderPaths(started));
  ExpectEnding(run, ending, arrangement.language);
  Attached attached(terminal);
  std::sort(registeredAfter.begin(), registeredAfter.end());
  EXPECT_EQ(RegisteredFromStartFolder(), registeredAfter);
}

TEST(InstallRun, TypicalJapaneseRunInstallsServicePackPatchAndToolThenResets) {
  // The notice is never answered: the reset must not wait for the user.
  SetupTerminal terminal({"--language", "ja", "--message-box", "never"});
  // Created last to first: the order of the steps is not the folder's.
  const std::string servicePack = cabinets::Make(
      {{"SP40.000", cabinets::SetupFile({.provider = "KORVA", .appName = "Service Pack HQ40", .processor = 2577,
                                         .files = {{1, "%CE2%", "qdvdrv.dll"}},
                                         .values = {{"SOFTWARE\\KORVA\\Drivers", "QDV", 0, std::string("on") + '\0'},
                                                    {"ControlPanel\\Keybd", "Layout", 0, std::string("ja") + '\0', 2}}})},
       {"QDVDRV.001", "driver"}});
  terminal.PutEntries({Cab("Tool.cab"), Cab("Patch01.cab"), Cab("ServicePackHQ40.CAB", servicePack)});
  SetLastWriteTime(terminal.FsPath("FlashDisk/SP/ServicePackHQ40.CAB"), 1700000000, 0);
  const std::string servicePackTime = DateTimeBytes(1700000000, 0);

  const SetupRun run = terminal.Run();

  EXPECT_EQ(InstallerCommandLines(run.events),
            StartFolderPaths({"ServicePackHQ40.CAB", "Patch01.cab", "Tool.cab"}));
  EXPECT_EQ(InstallerExitCodes(run.events), (std::vector<int64_t>{0, 0, 0}));
  ExpectEnding(run, Ending::kReset, "ja");
  EXPECT_TRUE(e2e::EventsNamed(run.events, "messagebox-answer").empty());
  EXPECT_TRUE(e2e::EventsNamed(run.events, "calibrate").empty());  // Calibrate.dat was there

  Attached attached(terminal);
  EXPECT_EQ(RegisteredFromStartFolder(), StartFolderPaths({"Patch01.cab", "ServicePackHQ40.CAB", "Tool.cab"}));
  EXPECT_EQ(ReadDword(u"SOFTWARE\\Apps\\KORVA Service Pack HQ40", u"Instl"), 1u);
  const auto dateTime = ReadValue(kServicePackKey, u"DateTime");
  ASSERT_TRUE(dateTime);
  EXPECT_EQ(dateTime->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(dateTime->bytes, servicePackTime);
  EXPECT_EQ(ReadDword(kServicePackKey, u"Reset"), 1u);
  EXPECT_EQ(ReadDword(u"SOFTWARE\\Apps\\Microsoft Application Installer", u"fAskDest"), 1u);
  EXPECT_EQ(ReadHostFile(terminal.FsPath("Windows/qdvdrv.dll")), "driver");
  EXPECT_TRUE(ReadValue(u"SOFTWARE\\KORVA\\Drivers", u"QDV"));
  EXPECT_EQ(ReadHostFile(terminal.FsPath("Program Files/KORVA Tool/readme.txt")), "installed by Setup");
  // The service pack's value of HKEY_CURRENT_USER, where the terminal's installer puts it.
  EXPECT_EQ(terminal.image().Export("HKCU\\ControlPanel"),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\ControlPanel]\n\n"
            "[HKEY_CURRENT_USER\\ControlPanel\\Keybd]\n\"Layout\"=\"ja\"\n\n");
}

TEST(InstallRun, EachEndingShowsItsTextInTheTerminalsLanguage) {
  struct Case {
    const char* name;
    Arrangement arrangement;
    std::vector<std::string> started;
    Ending ending;
  };
  const std::vector<std::string> appsUnreadable = {"RegOpenKeyExW", "SOFTWARE\\Apps", "ERROR_ACCESS_DENIED"};
  const std::vector<Case> cases = {
      {"inventory unreadable at the first load",
       {.language = "en", .entries = {Cab("Tool.cab")}, .faults = {appsUnreadable}}, {}, Ending::kInstallError},
      {"inventory unreadable at the first load",
       {.language = "ja", .entries = {Cab("Tool.cab")}, .faults = {appsUnreadable}}, {}, Ending::kInstallError},
      {"damaged cabinet",
       {.language = "ja", .entries = {Cab("Tool.cab", DamagedCabinet())}}, {"Tool.cab"}, Ending::kInstallError},
      {"cabinet for another processor",
       {.language = "en",
        .entries = {Cab("Tool.cab", cabinets::Make({{"TOOL.000", cabinets::SetupFile({.provider = "KORVA",
                                                                                      .appName = "Tool",
                                                                                      .processor = 10003})}}))}},
       {"Tool.cab"}, Ending::kInstallError},
      // The first load passes; the reload between the passes fails.
      {"inventory unreadable at the reload",
       {.language = "en",
        .entries = {Cab("Patch01.cab"), Cab("Tool.cab")},
        .faults = {{"RegOpenKeyExW", "SOFTWARE\\Apps", "ERROR_ACCESS_DENIED", "--after", "1", "--caller",
                    kSetupCePath}}},
       {"Patch01.cab"}, Ending::kInstallError},
      {"30 registered and one new",
       {.language = "ja", .registeredElsewhere = 30, .entries = {Cab("Tool.cab")}}, {}, Ending::kTooManyCabs},
      {"29 registered, a new service pack and a new patch",
       {.language = "ja", .registeredElsewhere = 29, .entries = {Cab("Patch01.cab"), Cab("ServicePackHQ40.CAB")}},
       {"ServicePackHQ40.CAB"}, Ending::kTooManyCabsReset},
      {"everything registered",
       {.language = "ja", .registered = {{"Tool", "\\FlashDisk\\SP\\Tool.cab"}}, .entries = {Cab("Tool.cab")}},
       {}, Ending::kSilent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " (" + c.arrangement.language + ")");
    SetupTerminal terminal({"--language", c.arrangement.language});
    const SetupRun run = Arrange(terminal, c.arrangement);
    EXPECT_EQ(InstallerCommandLines(run.events), StartFolderPaths(c.started));
    ExpectEnding(run, c.ending, c.arrangement.language);
  }
}

TEST(InstallRun, AFullTerminalFailsTheInstallationCleanlyAndInstallsOnceRoomIsFreed) {
  // 2 MiB hold the image, a cabinet of 512 KiB and 1.2 MiB of the user's photos: the
  // cabinet's file does not fit beside them, and fits once the photos are gone.
  SetupTerminal terminal({"--capacity", "2M"});
  terminal.PutEntries(
      {Cab("Big.cab", cabinets::Application("KORVA", "Big", "big.bin", std::string(512 << 10, 'b')))});
  const std::string photos = terminal.FsPath("FlashDisk/photos.bin");
  e2e::WriteFile(photos, std::string(1200 << 10, 'p'));

  const SetupRun full = terminal.Run();
  EXPECT_EQ(InstallerCommandLines(full.events), StartFolderPaths({"Big.cab"}));
  EXPECT_EQ(InstallerExitCodes(full.events), (std::vector<int64_t>{5}));
  ExpectEnding(full, Ending::kInstallError, "en");
  const auto errors = e2e::EventsNamed(full.events, "installer-error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Text("reason"),
            "cannot write \\Program Files\\KORVA Big\\big.bin: the terminal's storage is full (error 112)");
  EXPECT_FALSE(std::filesystem::exists(terminal.FsPath("Program Files")));
  {
    Attached attached(terminal);
    EXPECT_TRUE(RegisteredFromStartFolder().empty());
  }

  std::filesystem::remove(photos);
  const SetupRun freed = terminal.Run();
  EXPECT_EQ(InstallerExitCodes(freed.events), (std::vector<int64_t>{0}));
  ExpectEnding(freed, Ending::kReset, "en");
  EXPECT_EQ(ReadHostFile(terminal.FsPath("Program Files/KORVA Big/big.bin")).size(), 512u << 10);
}

std::string NumberedName(int number) {
  return "Q" + std::string(number < 10 ? "0" : "") + std::to_string(number) + ".cab";
}

// Names the folder lists in this order; the last one created sorts first of all.
std::vector<FolderEntry> ThirtyOneCabs() {
  std::vector<FolderEntry> entries = {Cab("Tool2.cab"), Cab("a.cab"), Cab("Tool10.cab"), Cab("B.cab")};
  for (int i = 25; i >= 0; --i) entries.push_back(Cab(NumberedName(i)));
  entries.push_back(Cab("A.cab"));
  return entries;
}

std::vector<std::string> ThirtyInstalledInOrder() {
  std::vector<std::string> names = {"B.cab"};
  for (int i = 0; i < 26; ++i) names.push_back(NumberedName(i));
  names.insert(names.end(), {"Tool10.cab", "Tool2.cab", "a.cab"});
  return names;
}

TEST(InstallRun, NoMoreThanThirtyCabsStandRegistered) {
  struct Case {
    const char* name;
    Arrangement arrangement;
    std::vector<std::string> started;
    Ending ending;
  };
  // Enumerated before the others, so that it is among the 30 the inventory stores.
  const std::vector<std::pair<std::string, std::string>> toolRegistered = {{"A Tool", "\\FlashDisk\\SP\\Tool.cab"}};
  const std::vector<Case> cases = {
      {"30 registered and one new", {.registeredElsewhere = 30, .entries = {Cab("Tool.cab")}}, {},
       Ending::kTooManyCabs},
      {"29 registered, a new service pack and a new patch",
       {.registeredElsewhere = 29, .entries = {Cab("ServicePackHQ20.CAB"), Cab("Patch01.cab")}},
       {"ServicePackHQ20.CAB"}, Ending::kTooManyCabsReset},
      {"30 registered and a new service pack: the patch pass never runs",
       {.registeredElsewhere = 30, .entries = {Cab("ServicePackHQ20.CAB"), Cab("Patch01.cab")}}, {},
       Ending::kTooManyCabs},
      {"29 registered and two new patches: the general pass never runs",
       {.registeredElsewhere = 29, .entries = {Cab("Patch01.cab"), Cab("Patch02.cab"), Cab("Tool.cab")}},
       {"Patch01.cab"}, Ending::kTooManyCabsReset},
      {"29 registered and one new", {.registeredElsewhere = 29, .entries = {Cab("Tool.cab")}}, {"Tool.cab"},
       Ending::kReset},
      {"30 registered, one of them here, nothing new",
       {.registeredElsewhere = 29, .registered = toolRegistered, .entries = {Cab("Tool.cab")}}, {}, Ending::kSilent},
      // Every application is counted, also past the 30 the inventory stores.
      {"31 registered, one of them here, nothing new",
       {.registeredElsewhere = 30, .registered = toolRegistered, .entries = {Cab("Tool.cab")}}, {},
       Ending::kTooManyCabs},
      {"31 registered and no CAB here", {.registeredElsewhere = 31, .entries = {Cab("Tool.txt")}}, {}, Ending::kSilent},
      {"31 new CABs for the general pass", {.entries = ThirtyOneCabs()}, ThirtyInstalledInOrder(),
       Ending::kTooManyCabsReset},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // What was installed stays installed, whatever ended the run.
    std::vector<std::string> registeredAfter = StartFolderPaths(c.started);
    for (const auto& [application, cabFile] : c.arrangement.registered) registeredAfter.push_back(cabFile);
    ExpectRun(c.arrangement, c.started, c.ending, registeredAfter);
  }
}

TEST(InstallRun, ServicePackIsInstalledWhenUnregisteredOrChanged) {
  enum class Stored { kNone, kFileTime, kOtherTime, kFirstHalf };
  struct Case {
    const char* name;
    bool registered;
    Stored stored;
    Arrangement arrangement;  // besides the service pack and its registration
    bool holdOpen;            // another process holds the service pack open without sharing
    std::vector<std::string> started;
    Ending ending;
    Stored storedAfter;
    std::vector<std::string> create = {};  // `termsim create` arguments
  };
  const std::string sp = "ServicePackHQ20.CAB";
  const std::vector<std::string> setupCannotOpen = {"CreateFileW", "\\FlashDisk\\SP\\ServicePackHQ20.CAB",
                                                    "ERROR_SHARING_VIOLATION", "--caller", kSetupCePath};
  const std::vector<std::string> setupCannotReadTime = {"GetFileTime", "\\FlashDisk\\SP\\ServicePackHQ20.CAB",
                                                        "ERROR_ACCESS_DENIED", "--caller", kSetupCePath};
  const std::vector<Case> cases = {
      // The flash disk keeps the time moved up to an even second, and Setup stored that.
      {"registered, DateTime equal", true, Stored::kFileTime, {}, false, {}, Ending::kSilent, Stored::kFileTime},
      {"registered, DateTime equal to 100 ns, exact file times", true, Stored::kFileTime, {}, false, {},
       Ending::kSilent, Stored::kFileTime, {"--file-times", "exact"}},
      // The passes neither count nor test it.
      {"registered, DateTime equal, 31 registered", true, Stored::kFileTime, {.registeredElsewhere = 30}, false, {},
       Ending::kSilent, Stored::kFileTime},
      // 29 others and the service pack: installing it again adds no registration.
      {"registered, DateTime changed, 30 registered", true, Stored::kOtherTime, {.registeredElsewhere = 29}, false,
       {sp}, Ending::kReset, Stored::kFileTime},
      {"registered, no DateTime", true, Stored::kNone, {}, false, {sp}, Ending::kReset, Stored::kFileTime},
      {"registered, DateTime of 4 bytes", true, Stored::kFirstHalf, {}, false, {sp}, Ending::kReset,
       Stored::kFileTime},
      {"not registered, DateTime equal", false, Stored::kFileTime, {}, false, {sp}, Ending::kReset, Stored::kFileTime},
      {"registered, DateTime equal, file held open elsewhere", true, Stored::kFileTime,
       {.installer = kTrivialInstaller}, true, {sp}, Ending::kReset, Stored::kFileTime},
      {"registered, last-write time cannot be opened", true, Stored::kOtherTime, {.faults = {setupCannotOpen}}, false,
       {sp}, Ending::kReset, Stored::kOtherTime},
      {"not registered, last-write time cannot be read", false, Stored::kNone, {.faults = {setupCannotReadTime}},
       false, {sp}, Ending::kReset, Stored::kNone},
      {"damaged service pack", false, Stored::kOtherTime, {.entries = {Cab("Patch01.cab")}}, false, {sp},
       Ending::kInstallError, Stored::kOtherTime},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetupTerminal terminal(c.create);
    const bool damaged = c.ending == Ending::kInstallError;
    terminal.PutEntries({damaged ? Cab(sp, DamagedCabinet()) : Cab(sp)});
    SetLastWriteTime(terminal.FsPath("FlashDisk/SP/" + sp), 1700000001, 123456789);
    const std::string fileTime =
        c.create.empty() ? DateTimeBytes(1700000002, 0) : DateTimeBytes(1700000001, 123456789);
    std::string otherTime = fileTime;
    otherTime[7] = static_cast<char>(otherTime[7] ^ 0x01);
    const auto bytesOf = [&](Stored stored) -> std::optional<std::string> {
      switch (stored) {
        case Stored::kNone: return std::nullopt;
        case Stored::kFileTime: return fileTime;
        case Stored::kOtherTime: return otherTime;
        case Stored::kFirstHalf: return fileTime.substr(0, 4);
      }
      return std::nullopt;
    };
    {
      Attached attached(terminal);
      // Enumerated first, so that it is among the 30 the inventory stores.
      if (c.registered) RegisterApplication(u"KORVA ServicePackHQ20", U16(StartFolderPath(sp)));
      if (const auto bytes = bytesOf(c.stored)) WriteValue(kServicePackKey, u"DateTime", REG_BINARY, *bytes);
    }
    Prepare(terminal, c.arrangement);
    SetupRun run;
    if (c.holdOpen) {
      Attached attached(terminal);
      HANDLE holder = CreateFileW(U16(StartFolderPath(sp)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
      run = terminal.Run();
      CloseHandle(holder);
    } else {
      run = terminal.Run();
    }
    EXPECT_EQ(InstallerCommandLines(run.events), StartFolderPaths(c.started));
    ExpectEnding(run, c.ending, "en");
    Attached attached(terminal);
    const auto dateTime = ReadValue(kServicePackKey, u"DateTime");
    const auto expected = bytesOf(c.storedAfter);
    EXPECT_EQ(dateTime.has_value(), expected.has_value());
    if (dateTime && expected) {
      EXPECT_EQ(dateTime->bytes, *expected);
      EXPECT_EQ(dateTime->type, static_cast<DWORD>(REG_BINARY));
    }
  }
}

TEST(InstallRun, NamesFoldersAndFailingInstallers) {
  struct Case {
    const char* name;
    Arrangement arrangement;
    std::vector<std::string> started;
    Ending ending;
    std::vector<std::string> registeredAfter;  // CABs of the start folder
  };
  const std::string tooLong = std::string(243, 'n') + ".cab";  // "\FlashDisk\SP\" and it: 261 characters
  const std::vector<Case> cases = {
      {"registered in other case",
       {.registered = {{"Tool", "\\FLASHDISK\\sp\\TOOL.CAB"}}, .entries = {Cab("Tool.cab")}}, {}, Ending::kSilent,
       {"\\FLASHDISK\\sp\\TOOL.CAB"}},
      // Found under the model's own name and installed once: the passes pass over it by
      // its name, although nothing registered it.
      {"the model's service pack in other case, a name with blanks",
       {.entries = {Cab("servicepackhq20.cab"), Cab("My Tool.cab")}, .installer = kTrivialInstaller},
       {"ServicePackHQ20.CAB", "My Tool.cab"}, Ending::kReset, {}},
      {"another model's service pack is an ordinary CAB",
       {.entries = {Cab("Tool.cab"), Cab("ServicePackHQ40.CAB")}}, {"ServicePackHQ40.CAB", "Tool.cab"},
       Ending::kReset, {"\\FlashDisk\\SP\\ServicePackHQ40.CAB", "\\FlashDisk\\SP\\Tool.cab"}},
      {"patches in code-unit order",
       {.entries = {Cab("Patch_a.cab"), Cab("Patch2.cab"), Cab("Patch_B.cab"), Cab("Patch10.cab")}},
       {"Patch10.cab", "Patch2.cab", "Patch_B.cab", "Patch_a.cab"}, Ending::kReset,
       {"\\FlashDisk\\SP\\Patch10.cab", "\\FlashDisk\\SP\\Patch2.cab", "\\FlashDisk\\SP\\Patch_B.cab",
        "\\FlashDisk\\SP\\Patch_a.cab"}},
      {"a patch that leaves no registration is installed by both passes",
       {.entries = {Cab("Tool.cab"), Cab("Patch01.cab")}, .installer = kTrivialInstaller},
       {"Patch01.cab", "Patch01.cab", "Tool.cab"}, Ending::kReset, {}},
      {"a folder named like a CAB, an installer that takes it",
       {.entries = {Folder("Data.cab")}, .installer = kTrivialInstaller}, {"Data.cab"}, Ending::kReset, {}},
      {"a folder named like a CAB, the installer refuses it", {.entries = {Folder("Data.cab"), Cab("Tool.cab")}},
       {"Data.cab"}, Ending::kInstallError, {}},
      {"an installer failure in the middle of a pass",
       {.entries = {Cab("Tool.cab"), Cab("Patch03.cab"), Cab("Patch02.cab", DamagedCabinet()), Cab("Patch01.cab")}},
       {"Patch01.cab", "Patch02.cab"}, Ending::kInstallError, {"\\FlashDisk\\SP\\Patch01.cab"}},
      {"a CAB whose path would not fit", {.entries = {Cab(tooLong), Cab("Tool.cab")}}, {"Tool.cab"}, Ending::kReset,
       {"\\FlashDisk\\SP\\Tool.cab"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRun(c.arrangement, c.started, c.ending, c.registeredAfter);
  }
}

}  // namespace
