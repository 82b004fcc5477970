#include "tests/scenario/SetupRunSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <tuple>

#include "platform/host/Image.h"
#include "platform/host/Text.h"

namespace installrun {

namespace {

namespace fs = std::filesystem;

// When an entry was born, as the terminal orders a folder's entries.
std::tuple<int64_t, uint32_t> BirthOf(const std::string& hostPath) {
  struct ::statx st {};
  if (::statx(AT_FDCWD, hostPath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &st) != 0) {
    throw std::runtime_error("statx " + hostPath);
  }
  const auto& born = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime;
  return {born.tv_sec, born.tv_nsec};
}

void MakeEntry(const std::string& hostPath, const FolderEntry& entry) {
  if (entry.isFolder) {
    fs::create_directory(hostPath);
  } else {
    e2e::WriteFile(hostPath, entry.bytes);
  }
}

const char* EndingName(Ending ending) {
  switch (ending) {
    case Ending::kReset: return "notice and reset";
    case Ending::kSilent: return "silent end";
    case Ending::kInstallError: return "install error";
    case Ending::kTooManyCabs: return "too many cabs";
    case Ending::kTooManyCabsReset: return "too many cabs, reset by hand";
  }
  return "?";
}

std::vector<e2e::Event> SetupExits(const std::vector<e2e::Event>& events) {
  std::vector<e2e::Event> exits;
  for (const auto& exit : e2e::EventsNamed(events, "process-exit")) {
    if (exit.Text("image") == kSetupCePath) exits.push_back(exit);
  }
  return exits;
}

}  // namespace

// ---------------------------------------------------------------- cabinets

const std::string& ApplicationCabinet(const std::string& appName) {
  static std::map<std::string, std::string> made;
  auto found = made.find(appName);
  if (found == made.end()) found = made.emplace(appName, cabinets::Application("KORVA", appName)).first;
  return found->second;
}

std::string DamagedCabinet() { return ApplicationCabinet("Tool").substr(0, 40); }

// ---------------------------------------------------------------- the terminal

FolderEntry Cab(std::string name, std::string bytes) { return {std::move(name), std::move(bytes), false}; }

FolderEntry Cab(std::string name) {
  std::string bytes = ApplicationCabinet(name.substr(0, name.rfind('.')));
  return Cab(std::move(name), std::move(bytes));
}

FolderEntry Folder(std::string name) { return {std::move(name), "", true}; }

std::string StartFolderPath(std::string_view name) { return std::string(kStartFolder) + "\\" + std::string(name); }

SetupTerminal::SetupTerminal(std::vector<std::string> createArguments) {
  bool scaled = false;
  for (const auto& argument : createArguments) scaled = scaled || argument.rfind("--time-scale", 0) == 0;
  if (!scaled) createArguments.insert(createArguments.end(), {"--time-scale", "0.01"});
  image_.Create(createArguments);
  image_.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
  image_.PutFile("FlashDisk/Calibrate.dat", std::string("1\0:\0", 4));
}

void SetupTerminal::PutEntries(const std::vector<FolderEntry>& entries) const {
  std::tuple<int64_t, uint32_t> previous{0, 0};
  for (const auto& entry : entries) {
    const std::string hostPath = image_.FsPath("FlashDisk/SP/" + entry.name);
    // Entries born in one clock tick would be listed by inode number: wait for the next.
    for (;;) {
      MakeEntry(hostPath, entry);
      const auto born = BirthOf(hostPath);
      if (born > previous) {
        previous = born;
        break;
      }
      fs::remove(hostPath);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

void SetupTerminal::ReplaceInstaller(std::string_view bytes) const { image_.PutFile("Windows/wceload.exe", bytes); }

void SetupTerminal::ReplaceInstallerWithProgram(const std::string& hostPath) const {
  image_.PutProgram("Windows/wceload.exe", hostPath);
}

void SetupTerminal::AddFault(const std::vector<std::string>& arguments) const {
  std::vector<std::string> all = {"fault", image_.path()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const auto result = e2e::Termsim(all);
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

SetupRun SetupTerminal::Run() const {
  int64_t before = 0;
  for (const auto& event : image_.Journal()) before = std::max(before, event.Int("seq"));
  SetupRun run;
  const auto result = e2e::Termsim({"run", image_.path(), kSetupCePath, "--timeout", "60"});
  run.exitCode = result.exitCode;
  run.err = result.err;
  for (auto& event : image_.Journal()) {
    if (event.Int("seq") > before) run.events.push_back(std::move(event));
  }
  return run;
}

// ---------------------------------------------------------------- a run's journal

std::vector<std::string> InstallerCommandLines(const std::vector<e2e::Event>& events) {
  std::vector<std::string> lines;
  for (const auto& start : e2e::EventsNamed(events, "process-start")) {
    if (start.Text("image") == kInstallerCePath) lines.push_back(start.Text("cmdline"));
  }
  return lines;
}

std::vector<int64_t> InstallerExitCodes(const std::vector<e2e::Event>& events) {
  std::vector<int64_t> codes;
  for (const auto& exit : e2e::EventsNamed(events, "process-exit")) {
    if (exit.Text("image") == kInstallerCePath) codes.push_back(exit.Int("exit_code"));
  }
  return codes;
}

int64_t SeqOf(const std::vector<e2e::Event>& events, const std::string& name) {
  for (const auto& event : events) {
    if (event.Name() == name) return event.Int("seq");
  }
  return -1;
}

std::string TextFor(Ending ending, const std::string& language) {
  switch (ending) {
    case Ending::kReset: return setupfacts::Text(TextInstallDone, language);
    case Ending::kInstallError: return setupfacts::Text(TextInstallError, language);
    case Ending::kTooManyCabs: return setupfacts::Text(TextTooManyCabs, language);
    case Ending::kTooManyCabsReset: return setupfacts::Text(TextTooManyCabsReset, language);
    case Ending::kSilent: break;
  }
  return "";
}

void ExpectEnding(const SetupRun& run, Ending ending, const std::string& language) {
  SCOPED_TRACE(EndingName(ending));
  const auto boxes = e2e::EventsNamed(run.events, "messagebox");
  const auto exits = SetupExits(run.events);
  const bool reset = ending == Ending::kReset;
  EXPECT_EQ(run.exitCode, reset ? kResetExit : ending == Ending::kSilent ? 1 : 0) << run.err;
  if (ending == Ending::kSilent) {
    EXPECT_TRUE(boxes.empty()) << boxes[0].line;
  } else if (boxes.size() != 1) {
    ADD_FAILURE() << boxes.size() << " message boxes";
  } else {
    EXPECT_EQ(boxes[0].Text("text"), TextFor(ending, language));
    EXPECT_EQ(boxes[0].Text("caption"), "Setup");
    EXPECT_EQ(boxes[0].Int("style"), reset ? kNoticeStyle : kErrorBoxStyle);
  }
  const int64_t resetSeq = SeqOf(run.events, "reset");
  if (!reset) {
    EXPECT_EQ(resetSeq, -1);
    EXPECT_TRUE(e2e::EventsNamed(run.events, "ioctl").empty());
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].Int("exit_code"), ending == Ending::kSilent ? 1 : 0);
    return;
  }
  // The notice, then five seconds, then the reset request, after the last installer.
  EXPECT_TRUE(exits.empty()) << "Setup ended before the reset: " << exits[0].line;
  const auto sleeps = e2e::EventsNamed(run.events, "sleep");
  const auto ioctls = e2e::EventsNamed(run.events, "ioctl");
  ASSERT_EQ(sleeps.size(), 1u);
  ASSERT_EQ(ioctls.size(), 1u);
  EXPECT_EQ(sleeps[0].Int("ms"), 5000);
  EXPECT_EQ(ioctls[0].Text("device"), "QDV1:");
  EXPECT_EQ(ioctls[0].Int("code"), 257);
  int64_t lastInstallerSeq = 0;
  for (const auto& exit : e2e::EventsNamed(run.events, "process-exit")) {
    if (exit.Text("image") == kInstallerCePath) lastInstallerSeq = exit.Int("seq");
  }
  if (!boxes.empty()) {
    EXPECT_GT(boxes[0].Int("seq"), lastInstallerSeq);
  }
  EXPECT_GT(sleeps[0].Int("seq"), lastInstallerSeq);
  EXPECT_GT(ioctls[0].Int("seq"), sleeps[0].Int("seq"));
  EXPECT_GT(resetSeq, ioctls[0].Int("seq"));
}

std::vector<std::string> StartFolderPaths(const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const auto& name : names) paths.push_back(StartFolderPath(name));
  return paths;
}

// ---------------------------------------------------------------- the registry

Attached::Attached(const SetupTerminal& terminal) {
  host::AttachImage(terminal.image().path());
}

Attached::~Attached() { host::DetachImage(); }

std::optional<RegistryValue> ReadValue(const std::u16string& key, const std::u16string& name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return std::nullopt;
  RegistryValue value;
  DWORD size = 0;
  LONG result = RegQueryValueExW(handle, name.c_str(), nullptr, &value.type, nullptr, &size);
  if (result == ERROR_SUCCESS) {
    value.bytes.resize(size);
    result = RegQueryValueExW(handle, name.c_str(), nullptr, &value.type, reinterpret_cast<BYTE*>(value.bytes.data()),
                              &size);
    value.bytes.resize(size);
  }
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return std::nullopt;
  return value;
}

void WriteValue(const std::u16string& key, const std::u16string& name, DWORD type, std::string_view bytes) {
  HKEY handle = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(handle, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(handle);
}

void WriteDword(const std::u16string& key, const std::u16string& name, DWORD value) {
  WriteValue(key, name, REG_DWORD, std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
}

void WriteString(const std::u16string& key, const std::u16string& name, std::u16string_view text) {
  std::u16string terminated(text);
  terminated.push_back(u'\0');
  WriteValue(key, name, REG_SZ,
             std::string_view(reinterpret_cast<const char*>(terminated.data()), terminated.size() * sizeof(char16_t)));
}

void RegisterApplication(const std::u16string& application, const std::u16string& cabFile) {
  const std::u16string key = u"SOFTWARE\\Apps\\" + application;
  WriteString(key, u"CabFile", cabFile);
  WriteDword(key, u"Instl", 1);
}

void RegisterElsewhere(int count) {
  for (int i = 0; i < count; ++i) {
    const std::u16string name = u"Other" + U16(std::to_string(100 + i));
    RegisterApplication(name, u"\\Elsewhere\\" + name + u".cab");
  }
}

std::optional<DWORD> ReadDword(const std::u16string& key, const std::u16string& name) {
  const auto value = ReadValue(key, name);
  if (!value || value->type != REG_DWORD || value->bytes.size() != sizeof(DWORD)) return std::nullopt;
  DWORD result = 0;
  std::memcpy(&result, value->bytes.data(), sizeof result);
  return result;
}

std::vector<std::u16string> RegisteredCabFiles() {
  std::vector<std::u16string> cabFiles;
  HKEY apps = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps", 0, KEY_ALL_ACCESS, &apps) != ERROR_SUCCESS) return cabFiles;
  WCHAR name[256];
  for (DWORD index = 0;; ++index) {
    DWORD chars = 256;
    if (RegEnumKeyExW(apps, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::u16string key = u"SOFTWARE\\Apps\\" + std::u16string(name, chars);
    const auto installed = ReadDword(key, u"Instl");
    const auto cabFile = ReadValue(key, u"CabFile");
    if (!installed || *installed == 0 || !cabFile || cabFile->bytes.size() < 2) continue;
    std::u16string text(cabFile->bytes.size() / 2, u'\0');
    std::memcpy(text.data(), cabFile->bytes.data(), text.size() * 2);
    if (!text.empty() && text.back() == u'\0') text.pop_back();
    cabFiles.push_back(text);
  }
  RegCloseKey(apps);
  return cabFiles;
}

void SetLastWriteTime(const std::string& hostPath, int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  if (::utimensat(AT_FDCWD, hostPath.c_str(), times, 0) != 0) throw std::runtime_error("utimensat " + hostPath);
}

std::string DateTimeBytes(int64_t seconds, long nanoseconds) {
  const uint64_t time = static_cast<uint64_t>(seconds) * 10000000u + static_cast<uint64_t>(nanoseconds) / 100u +
                        116444736000000000u;
  std::string bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((time >> (8 * i)) & 0xFF));
  return bytes;
}

std::u16string U16(std::string_view utf8) { return host::FromUtf8(utf8); }

std::string Utf8(std::u16string_view text) { return host::ToUtf8(text); }

}  // namespace installrun
