// The CAB installer stand-in, run as \Windows\wceload.exe on test images, with CE
// cabinets made by gcab and the hostile cabinets of the shared collection.
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "tests/support/Cabinets.h"
#include "tests/support/RegistryDump.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr DWORD kRunTimeoutMs = 120000;
constexpr double kDamagedSeconds = 20;  // no damaged cabinet may take longer

// A file for gcab: its name as gcab is given it (relative to the staging folder), its content.
using Staged = cabinets::Member;

void Put16(std::string& data, size_t at, size_t value) {
  data[at] = static_cast<char>(value & 0xFF);
  data[at + 1] = static_cast<char>(value >> 8);
}

// gcab flags every name as UTF-8; a cabinet made elsewhere may store code-page names.
std::string ClearUtf8Flags(std::string cab) {
  auto u16 = [&](size_t at) { return static_cast<uint8_t>(cab[at]) | static_cast<uint8_t>(cab[at + 1]) << 8; };
  size_t entry = u16(16) | static_cast<size_t>(u16(18)) << 16;
  for (int count = u16(28); count > 0; --count) {
    cab[entry + 14] = static_cast<char>(cab[entry + 14] & ~0x80);
    entry = cab.find('\0', entry + 16) + 1;
  }
  return cab;
}

// Replaces stored bytes (a member name) with as many others: gcab refuses to store names
// a hostile cabinet may hold.
std::string Patch(std::string cab, std::string_view from, std::string_view to) {
  for (size_t at = cab.find(from); at != std::string::npos; at = cab.find(from, at + 1)) cab.replace(at, from.size(), to);
  return cab;
}

host::ImageOptions Options(const char* language = "en") {
  host::ImageOptions options;
  options.language = language;
  options.installerPath = WCELOAD_PATH;
  return options;
}

struct InstallerRun {
  DWORD exitCode = kSentinel;
  double seconds = 0;
};

// Starts the installer as Setup does and waits for it.
InstallerRun Install(std::u16string commandLine) {
  InstallerRun run;
  PROCESS_INFORMATION process{};
  const auto start = std::chrono::steady_clock::now();
  if (!CreateProcessW(u"\\Windows\\wceload.exe", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      nullptr, &process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return run;
  }
  if (WaitForSingleObject(process.hProcess, kRunTimeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the installer hangs on " << host::ToUtf8(commandLine);
    host::EndTerminalProcesses(true);
  }
  EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &run.exitCode));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// Everything a run may change: each file under fs/ (size, hash, read-only bit) and the
// whole registry hive as stored.
struct State {
  std::map<std::string, std::string> tree;
  std::string hive;
};

State Snapshot(const TestImage& image) {
  State state;
  const fs::path root = image.root() + "/fs";
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string content = entry.is_directory() ? "<folder>" : ReadHostFile(entry.path());
    const bool readOnly = (entry.status().permissions() & fs::perms::owner_write) == fs::perms::none;
    state.tree[fs::relative(entry.path(), root).string()] =
        std::to_string(content.size()) + (readOnly ? " ro " : " rw ") + std::to_string(std::hash<std::string>()(content));
  }
  state.hive = RegistryDump(true);
  return state;
}

void ExpectUnchanged(const TestImage& image, const State& before, const std::string& what) {
  const State after = Snapshot(image);
  EXPECT_EQ(after.tree, before.tree) << what;
  EXPECT_EQ(after.hive, before.hive) << what;
}

// Every path the run added lies in \Program Files\<application>.
void ExpectOnlyInside(const TestImage& image, const State& before, const std::string& application) {
  const std::string folder = "Program Files/" + application;
  for (const auto& [path, content] : Snapshot(image).tree) {
    if (before.tree.count(path) || path == "Program Files") continue;
    EXPECT_TRUE(path == folder || path.rfind(folder + "/", 0) == 0) << application << ": " << path;
  }
}

// "type:bytes" of a value under HKEY_LOCAL_MACHINE; "" when absent.
std::string Value(const std::u16string& key, const WCHAR* name, HKEY root = HKEY_LOCAL_MACHINE) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "";
  BYTE data[2048];
  DWORD size = sizeof data, type = kSentinel;
  const LONG result = RegQueryValueExW(handle, name, nullptr, &type, data, &size);
  RegCloseKey(handle);
  return result == ERROR_SUCCESS ? std::to_string(type) + ":" + std::string(reinterpret_cast<char*>(data), size) : "";
}

std::string Sz(std::u16string_view text) {
  return "1:" + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2) + std::string(2, '\0');
}

void ExpectRegistered(const std::u16string& application, const std::u16string& cabPath) {
  const std::u16string key = u"SOFTWARE\\Apps\\" + application;
  EXPECT_EQ(Value(key, u"Instl"), std::string("4:\1\0\0\0", 6)) << host::ToUtf8(application);
  EXPECT_EQ(Value(key, u"CabFile"), Sz(cabPath));
  EXPECT_EQ(Value(key, u"InstlDir"), Sz(u"\\Program Files\\" + application));
}

// The shared hostile cabinets, read where they are; empty when the folder is absent.
std::string SharedCab(const std::string& name) { return ReadHostFile(fs::path(KORVA_SHARED_CABS) / name); }

// A service pack as CAB Wizard makes them: files in several macro folders, registry
// values of every type, a shortcut, made for this terminal's processor and version.
cabinets::Setup ServicePack() {
  return {
      .provider = "KORVA",
      .appName = "Service Pack",
      .processor = 2577,
      .minMajor = 4, .minMinor = 0, .maxMajor = 4, .maxMinor = 99, .maxBuild = 0xE0000000,
      .files = {{1, "%CE2%", "qdvdrv.dll"},
                {2, "%InstallDir%\\Data", "config.ini"},
                {3, "%CE4%", "start.exe", 0x10},  // kept where it exists
                {4, "%InstallDir%", "tool.exe"}},
      .values = {{"SOFTWARE\\KORVA\\SP", "Path", 0, std::string("%InstallDir%\\tool.exe") + '\0', 3, true},
                 {"SOFTWARE\\KORVA\\SP", "Drivers", 0x00010000, std::string("a.dll\0b.dll\0\0", 13)},
                 {"SOFTWARE\\KORVA\\SP", "Level", 0x00010001, std::string("\x28\0\0\0", 4)},
                 {"SOFTWARE\\KORVA\\SP", "", 0x00000001, std::string("\x01\xFF", 2)},
                 {"SOFTWARE\\KORVA\\SP", "Owner", 0x00000002, std::string("sp\0", 3)},  // no clobber
                 {"Software\\KORVA", "Theme", 0, std::string("blue\0", 5), 2}},          // HKEY_CURRENT_USER
      .links = {{"%CE11%\\Tool", 4}},
  };
}

// The journal's installer events, "event field|field|...", with the texts unescaped.
std::vector<std::string> InstallerEvents() {
  std::vector<std::string> events;
  for (const auto& e : JournalEvents()) {
    if (e.event.rfind("installer-", 0) != 0) continue;
    std::string line = e.event + " ";
    for (const auto& field : e.fields) {
      if (&field != &e.fields.front()) line += '|';
      const auto* number = std::get_if<int64_t>(&field.value);
      line += number ? std::to_string(*number) : host::ToUtf8(std::get<std::u16string>(field.value));
    }
    events.push_back(line);
  }
  return events;
}

// Runs the installer on each command line: it ends with its exit code, in time, and
// leaves the terminal as it was.
void ExpectEachRunChangesNothing(const TestImage& image, const std::vector<std::pair<std::u16string, DWORD>>& runs) {
  const State before = Snapshot(image);
  for (const auto& [commandLine, exitCode] : runs) {
    const InstallerRun run = Install(commandLine);
    EXPECT_EQ(run.exitCode, exitCode) << host::ToUtf8(commandLine);
    EXPECT_LT(run.seconds, kDamagedSeconds) << host::ToUtf8(commandLine);
    ExpectUnchanged(image, before, host::ToUtf8(commandLine));
  }
}

}  // namespace

TEST(Installer, SetupFileIsApplied) {
  TestImage image(Options());
  const std::string cab = cabinets::Make({{"SP.000", cabinets::SetupFile(ServicePack())},
                                          {"QDVDRV.001", "driver"},
                                          {"CONFIG.002", "[sp]"},
                                          {"START.003", "new start"},
                                          {"TOOL.004", "MZ tool"},
                                          {"EXTRA.TXT", "not in the setup file"}},
                                         true);
  image.PutFile("FlashDisk/SP/sp.cab", cab);
  image.PutFile("Windows/StartUp/start.exe", "old start");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KORVA\\SP", 0, nullptr, 0, 0, nullptr, &key, nullptr), 0);
  ASSERT_EQ(RegSetValueExW(key, u"Owner", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"it"), 6), 0);
  RegCloseKey(key);

  EXPECT_EQ(Install(u"\\FlashDisk\\SP\\sp.cab").exitCode, 0u);
  ExpectRegistered(u"KORVA Service Pack", u"\\FlashDisk\\SP\\sp.cab");
  EXPECT_EQ(image.GetFile("Windows/qdvdrv.dll"), "driver");
  EXPECT_EQ(image.GetFile("Program Files/KORVA Service Pack/Data/config.ini"), "[sp]");
  EXPECT_EQ(image.GetFile("Program Files/KORVA Service Pack/tool.exe"), "MZ tool");
  EXPECT_EQ(image.GetFile("Windows/StartUp/start.exe"), "old start");
  EXPECT_EQ(image.GetFile("Windows/Programs/Tool.lnk"), "44#\"\\Program Files\\KORVA Service Pack\\tool.exe\"");
  EXPECT_FALSE(image.Exists("Program Files/KORVA Service Pack/EXTRA.TXT"));
  EXPECT_FALSE(image.Exists("Program Files/KORVA Service Pack/QDVDRV.001"));
  const std::u16string sp = u"SOFTWARE\\KORVA\\SP";
  EXPECT_EQ(Value(sp, u"Path"), Sz(u"\\Program Files\\KORVA Service Pack\\tool.exe"));
  EXPECT_EQ(Value(sp, u"Drivers"), "7:" + Sz(u"a.dll").substr(2) + Sz(u"b.dll").substr(2) + std::string(2, '\0'));
  EXPECT_EQ(Value(sp, u"Level"), std::string("4:\x28\0\0\0", 6));
  EXPECT_EQ(Value(sp, u""), std::string("3:\x01\xFF", 4));
  EXPECT_EQ(Value(sp, u"Owner"), Sz(u"it"));
  EXPECT_EQ(Value(u"Software\\KORVA", u"Theme"), "");
  EXPECT_EQ(Value(u"Software\\KORVA", u"Theme", HKEY_CURRENT_USER), Sz(u"blue"));
  const std::string c = "\\FlashDisk\\SP\\sp.cab|";
  EXPECT_EQ(InstallerEvents(), (std::vector<std::string>{
                                   "installer-file " + c + "\\Windows\\qdvdrv.dll",
                                   "installer-file " + c + "\\Program Files\\KORVA Service Pack\\Data\\config.ini",
                                   "installer-file " + c + "\\Program Files\\KORVA Service Pack\\tool.exe",
                                   "installer-shortcut " + c + "\\Windows\\Programs\\Tool.lnk|\\Program Files\\KORVA Service Pack\\tool.exe",
                                   "installer-registry " + c + "HKEY_LOCAL_MACHINE|SOFTWARE\\KORVA\\SP|Path",
                                   "installer-registry " + c + "HKEY_LOCAL_MACHINE|SOFTWARE\\KORVA\\SP|Drivers",
                                   "installer-registry " + c + "HKEY_LOCAL_MACHINE|SOFTWARE\\KORVA\\SP|Level",
                                   "installer-registry " + c + "HKEY_LOCAL_MACHINE|SOFTWARE\\KORVA\\SP|",
                                   "installer-registry " + c + "HKEY_CURRENT_USER|Software\\KORVA|Theme",
                                   "installer-registered " + c + "KORVA Service Pack",
                               }));

  // Reinstalling from elsewhere replaces the files and the record. The whole command
  // line is the path, blanks and all, and is recorded exactly as given.
  cabinets::Setup newer = ServicePack();
  newer.files.resize(1);
  newer.links.clear();
  image.PutFile("FlashDisk/My Cabs/SP v2.cab",
                cabinets::Make({{"SP.000", cabinets::SetupFile(newer)}, {"QDVDRV.001", "newer"}}));
  EXPECT_EQ(Install(u"\\flashdisk\\My Cabs\\SP v2.cab").exitCode, 0u);
  ExpectRegistered(u"KORVA Service Pack", u"\\flashdisk\\My Cabs\\SP v2.cab");
  EXPECT_EQ(image.GetFile("Windows/qdvdrv.dll"), "newer");
}

TEST(Installer, RefusedSetupFilesChangeNothing) {
  auto with = [](auto change) {
    cabinets::Setup setup = ServicePack();
    change(setup);
    return cabinets::SetupFile(setup);
  };
  auto patched = [](size_t at, size_t value, size_t cut = 0) {
    std::string data = cabinets::SetupFile(ServicePack());
    if (at) Put16(data, at, value);
    return cut ? data.substr(0, cut) : data;
  };
  const std::string good = cabinets::SetupFile(ServicePack());
  std::string unterminated = good;
  unterminated[unterminated.find("Service Pack") + 12] = 'x';  // the name's NUL
  struct Case {
    const char* what;
    std::string setupFile;  // none: the cabinet has no .000 member
    DWORD exitCode;
    const char* reason;  // part of the line on standard error and in the journal
  } cases[] = {
      {"no setup file", "", 7, "has no setup file (.000 member), which the terminal's installer refuses"},
      {"no signature", "MSCX" + good.substr(4), 3, "no \"MSCE\" header"},
      {"cut short", patched(0, 0, good.size() - 3), 3, "states"},
      {"string section past the end", patched(60, 0xFFF0), 3, "string section lies outside"},
      {"more strings than there are", patched(48, 0xFFFF), 3, "the setup file is damaged"},
      {"name without terminator", unterminated, 3, "application name"},
      {"file without member", with([](auto& s) { s.files.push_back({9, "%CE2%", "x.dll"}); }), 3, "has no member"},
      {"folder leaving the root", with([](auto& s) { s.files[0].folder = "%CE2%\\..\\.."; }), 4, "not a plain path"},
      {"file name with a folder", with([](auto& s) { s.files[0].name = "..\\x.dll"; }), 4, "not a plain name"},
      {"key leaving its root", with([](auto& s) { s.values[0].key = "..\\\\SOFTWARE"; }), 4, "would leave its root"},
      {"two files in one place", with([](auto& s) { s.files[1] = {2, "%CE2%", "QDVDRV.DLL"}; }), 4, "two of"},
      {"another processor", with([](auto& s) { s.processor = 4000; }), 6, "processor type 4000"},
      {"a later CE version", with([](auto& s) { s.minMajor = 5; s.maxMajor = 5; }), 6, "Windows CE 5.00 to 5.99"},
      {"too late a build", with([](auto& s) { s.maxBuild = 500; }), 6, "builds 0 to 500; the terminal runs 4.10 build 908"},
  };
  for (const auto& c : cases) {
    TestImage image(Options());
    std::vector<Staged> members = {{"QDVDRV.001", "d"}, {"CONFIG.002", "c"}, {"START.003", "s"}, {"TOOL.004", "t"}};
    if (!c.setupFile.empty()) members.insert(members.begin(), {"SP.000", c.setupFile});
    image.PutFile("FlashDisk/sp.cab", cabinets::Make(members));
    const State before = Snapshot(image);
    EXPECT_EQ(Install(u"\\FlashDisk\\sp.cab").exitCode, c.exitCode) << c.what;
    ExpectUnchanged(image, before, c.what);
    const auto events = InstallerEvents();
    ASSERT_EQ(events.size(), 1u) << c.what;
    EXPECT_EQ(events[0].rfind("installer-error \\FlashDisk\\sp.cab|", 0), 0u) << events[0];
    EXPECT_NE(events[0].find(c.reason), std::string::npos) << c.what << ": " << events[0];
  }
}

TEST(Installer, HostileMemberNamesOnlyFindTheFilesTheSetupFileNames) {
  TestImage image(Options());
  cabinets::Setup setup{.provider = "KORVA", .appName = "Evil"};
  for (uint16_t number = 1; number <= 5; ++number)
    setup.files.push_back({number, "%InstallDir%", "file" + std::to_string(number) + ".txt"});
  std::string cab = cabinets::Make({{"evil.000", cabinets::SetupFile(setup)},
                                    {"QQ/QQ/up.001", "up"},
                                    {"RR/abs.002", "abs"},
                                    {"dotsX.003", "dots"},
                                    {"ctl\x01x.004", "ctl"},
                                    {"./../work/in.005", "in"}});
  image.PutFile("FlashDisk/evil.cab", Patch(Patch(Patch(cab, "QQ\\QQ", "..\\.."), "RR\\", "C:\\"), "dotsX", "a<>|?"));
  const State before = Snapshot(image);
  ASSERT_EQ(Install(u"\\FlashDisk\\evil.cab").exitCode, 0u);
  ExpectRegistered(u"KORVA Evil", u"\\FlashDisk\\evil.cab");
  ExpectOnlyInside(image, before, "KORVA Evil");
  const char* contents[] = {"up", "abs", "dots", "ctl", "in"};
  for (int number = 1; number <= 5; ++number) {
    EXPECT_EQ(image.GetFile("Program Files/KORVA Evil/file" + std::to_string(number) + ".txt"), contents[number - 1]);
  }
}

TEST(Installer, NamesThatCannotBePlacedRefuseTheCabinet) {
  // A cabinet's names are at most 255 bytes: with the application folder they may not fit.
  const std::string longName(100, 'n');
  const std::vector<Staged> cases[] = {
      {{"x.000", cabinets::SetupFile({.provider = "KORVA", .appName = "Tool",
                                      .files = {{1, "%InstallDir%", "A"}, {2, "%InstallDir%\\a", "b"}}})},
       {"A.001", "file"}, {"B.002", "file in a folder of the same name"}},
      {{"x.000", cabinets::SetupFile({.provider = longName, .appName = longName,
                                      .files = {{1, "%InstallDir%", std::string(43, 'm')}}})},
       {"m.001", "one past MAX_PATH"}},
  };
  for (const auto& files : cases) {
    TestImage image(Options());
    image.PutFile("FlashDisk/bad.cab", cabinets::Make(files));
    const State before = Snapshot(image);
    EXPECT_EQ(Install(u"\\FlashDisk\\bad.cab").exitCode, 4u) << files[0].first;
    ExpectUnchanged(image, before, files[0].first);
  }
}

TEST(Installer, NamesWithoutUtf8FlagFollowTheTerminalCodePage) {
  const std::string sjis = "\x83\x65\x83\x58\x83\x67";  // "テスト" in code page 932
  // The setup file's strings decode in the terminal's code page, as the member names do.
  const std::string cab = ClearUtf8Flags(cabinets::Make(
      {{"x.000", cabinets::SetupFile({.provider = sjis, .appName = "Tool", .files = {{1, "%InstallDir%", sjis + ".txt"}}})},
       {"x.001", "sjis"}}));
  struct Case {
    const char* language;
    std::u16string application;
    std::string file;
  } cases[] = {
      {"ja", u"テスト Tool", "テスト.txt"},
      {"en", u"ƒeƒXƒg Tool", "ƒeƒXƒg.txt"},
  };
  for (const auto& c : cases) {
    TestImage image(Options(c.language));
    image.PutFile("FlashDisk/sjis.cab", cab);
    EXPECT_EQ(Install(u"\\FlashDisk\\sjis.cab").exitCode, 0u) << c.language;
    ExpectRegistered(c.application, u"\\FlashDisk\\sjis.cab");
    EXPECT_EQ(image.GetFile("Program Files/" + host::ToUtf8(c.application) + "/" + c.file), "sjis") << c.language;
  }
}

TEST(Installer, MissingAndDamagedCabinetsChangeNothing) {
  TestImage image(Options());
  const std::string good = cabinets::MakeCe(cabinets::CeCabinet{
      .setup = {.provider = "KORVA", .appName = "Tool", .files = {{1, "%InstallDir%", "a.txt"}}},
      .fileBytes = {std::string(5000, 'a')},
      .compress = true});
  image.PutFile("FlashDisk/text.cab", "this is not a cabinet");
  image.PutFile("FlashDisk/empty.cab", "");
  image.PutFile("FlashDisk/cut.cab", good.substr(0, good.size() / 2));
  std::vector<std::pair<std::u16string, DWORD>> runs = {
      {u"", 1},       {u"\\FlashDisk\\none.cab", 2},  {u"\\Nowhere\\none.cab", 2},  {u"\\FlashDisk", 2},
      {u"\"\\FlashDisk\\cut.cab\"", 2}, {u"\\FlashDisk\\text.cab", 3}, {u"\\FlashDisk\\empty.cab", 3},
      {u"\\FlashDisk\\cut.cab", 3}};
  // Damaged, not merely without a setup file.
  for (const auto& [name, bytes] : cabinets::DamagedHeaders(good)) {
    image.PutFile("FlashDisk/" + name, bytes);
    runs.emplace_back(u"\\FlashDisk\\" + host::FromUtf8(name), 3);
  }
  ExpectEachRunChangesNothing(image, runs);
}

TEST(Installer, CabinetsFromElsewhereChangeNothing) {
  if (!fs::exists(fs::path(KORVA_SHARED_CABS) / "bad_signature.cab"))
    GTEST_SKIP() << "no cabinets from elsewhere in " << KORVA_SHARED_CABS;
  TestImage image(Options());
  std::vector<std::pair<std::u16string, DWORD>> runs;
  // The damaged ones must be found damaged, not merely without a setup file; the good
  // ones, made elsewhere without one, are read to their end (every compression method
  // and name encoding) and refused for it.
  for (const auto& entry : fs::directory_iterator(KORVA_SHARED_CABS)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".cab") continue;
    const bool damaged = name.rfind("cve-", 0) == 0 || name.rfind("bad_", 0) == 0 || name.rfind("lzx-", 0) == 0 ||
                         name == "filename-read-violation-1.cab";
    image.PutFile("FlashDisk/" + name, SharedCab(name));
    runs.emplace_back(u"\\FlashDisk\\" + host::FromUtf8(name), damaged ? 3 : 7);
  }
  ExpectEachRunChangesNothing(image, runs);
}

TEST(Installer, FailedInstallTakesBackWhatItCreated) {
  const std::string plain = cabinets::MakeCe(cabinets::CeCabinet{
      .setup = {.provider = "KORVA",
                .appName = "Tool",
                .files = {{1, "%InstallDir%", "a.txt"},
                          {2, "%InstallDir%", "b.txt"},
                          {3, "%InstallDir%", "c.txt"},
                          {4, "%InstallDir%\\sub", "d.txt"}}},
      .fileBytes = {"a", "b", "c", "d"}});
  const std::string servicePack = cabinets::Make({{"SP.000", cabinets::SetupFile(ServicePack())},
                                                  {"QDVDRV.001", "d"}, {"CONFIG.002", "c"}, {"START.003", "s"},
                                                  {"TOOL.004", "t"}});
  const std::string lastTooBig = cabinets::MakeCe(cabinets::CeCabinet{
      .setup = {.provider = "KORVA",
                .appName = "Tool",
                .files = {{1, "%InstallDir%", "a.txt"}, {2, "%InstallDir%\\sub", "d.txt"}}},
      .fileBytes = {"a", std::string(128 << 10, 'd')}});
  constexpr uint64_t kCapacity = 4u << 20;
  struct Case {
    const char* what;
    const std::string& cab;
    const char* api;
    const char* pattern;
    bool full = false;  // the storage has room for the folders and a.txt, not for d.txt
  } cases[] = {
      {"read-only file in the way", plain, nullptr, nullptr},
      {"disk full", plain, "CreateFileW", "*\\c.txt"},
      {"registry refuses", plain, "RegSetValueExW", "SOFTWARE\\Apps\\KORVA Tool:Instl"},
      {"a setup file's value refused", servicePack, "RegSetValueExW", "SOFTWARE\\KORVA\\SP:Level"},
      {"a setup file's shortcut refused", servicePack, "CreateFileW", "*.lnk"},
      {"the terminal's storage full", lastTooBig, nullptr, nullptr, true},
  };
  for (const auto& c : cases) {
    host::ImageOptions options = Options();
    options.capacity = kCapacity;
    TestImage image(options);
    image.PutFile("FlashDisk/Tool.cab", c.cab);
    if (c.full) {
      image.PutFile("FlashDisk/photos.bin", "");
      const uint64_t room = 48 << 10;  // the database may grow by a few pages meanwhile
      fs::resize_file(image.FsPath("FlashDisk/photos.bin"), kCapacity - host::StorageUsed() - room);
    } else if (c.api) {
      host::AddFaultRule({.api = c.api, .pattern = host::FromUtf8(c.pattern), .error = "ERROR_DISK_FULL"});
    } else {
      image.PutFile("Program Files/KORVA Tool/b.txt", "older");
      fs::permissions(image.FsPath("Program Files/KORVA Tool/b.txt"), fs::perms::owner_write, fs::perm_options::remove);
    }
    const State before = Snapshot(image);
    EXPECT_EQ(Install(u"\\FlashDisk\\Tool.cab").exitCode, 5u) << c.what;
    ExpectUnchanged(image, before, c.what);
  }
}
