#include "tests/stress/StressSupport.h"
#include "tests/support/Cabinets.h"
#include "tests/support/SetupFacts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "terminal/regfile/RegFile.h"

namespace stress {

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
using setupfacts::kSlotUnits;
constexpr int kApplications = 20;   // more cabinets than one terminal draws

// Bytes that do not compress away, the same for every run of the test.
std::string Noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 16);
  }
  return bytes;
}

int64_t MtimeNs(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return -1;
  return static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

std::string FileTimeBytes(int64_t mtimeNs) {
  const uint64_t fileTime = static_cast<uint64_t>(mtimeNs / 100) + kUnixEpochAsFileTime;
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(fileTime >> (8 * i));
  return bytes;
}

bool StartsWithIgnoreCase(const std::u16string& text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         host::EqualsIgnoreCase(std::u16string_view(text).substr(0, prefix.size()), prefix);
}

}  // namespace

// ---------------------------------------------------------------- the pool

Pool::Pool(const std::string& folder) : folder_(folder) {
  fs::create_directories(folder_);
  // What the cabinets install, kind by kind: uncompressed and MSZIP, a subfolder, a
  // name in the terminal's code page ("\xDC" is "Ü" in 1252), larger files.
  struct Kind {
    std::vector<cabinets::Setup::File> files;
    std::vector<std::string> bytes;
    bool compress;
  };
  const Kind kinds[] = {
      {{{1, "%InstallDir%", "readme.txt"}}, {"read me\r\n"}, false},
      {{{1, "%InstallDir%", "app.exe"}, {2, "%InstallDir%\\data", "config.ini"}}, {Noise(3000, 1), "[a]\nb=1\n"}, true},
      {{{1, "%InstallDir%\\lib", "a.dll"}, {2, "%InstallDir%\\lib", "b.dll"}, {3, "%InstallDir%", "help.txt"}},
       {Noise(700, 2), Noise(900, 3), "?"},
       true},
      {{{1, "%InstallDir%", "\xDC" "bersicht.txt"}}, {"\xE6\x97\xA5\xE6\x9C\xAC"}, false},
      {{{1, "%InstallDir%", "big.bin"}, {2, "%InstallDir%", "small.txt"}}, {Noise(40000, 4), "s"}, true},
  };
  for (int i = 0; i < kApplications; ++i) {
    const Kind& kind = kinds[i % std::size(kinds)];
    const std::string appName = "Stress " + std::to_string(i);
    const cabinets::CeCabinet cabinet{.setup = {.provider = "KORVA", .appName = appName, .files = kind.files},
                                      .fileBytes = kind.bytes,
                                      .compress = kind.compress};
    cabinets_.push_back(Add("stress" + std::to_string(i) + ".cab", cabinets::MakeCe(cabinet)));
    cabinets_.back().application = "KORVA " + appName;
  }

  for (const auto& [name, bytes] : cabinets::DamagedHeaders(cabinets_[0].bytes)) damaged_.push_back(Add(name, bytes));
  const std::string& whole = cabinets_[1].bytes;
  damaged_.push_back(Add("truncated.cab", whole.substr(0, whole.size() / 2)));

  text_ = Add("notes.txt", "not a cabinet\r\n");
  setup_ = Add("Setup.exe", ReadHostFile(SETUP_PATH));
  installer_ = Add("wceload.exe", ReadHostFile(WCELOAD_PATH));
  if (setup_.bytes.empty() || installer_.bytes.empty()) throw std::runtime_error("Setup or the installer is missing");
  fs::permissions(setup_.path, fs::perms::owner_all, fs::perm_options::add);
  fs::permissions(installer_.path, fs::perms::owner_all, fs::perm_options::add);
}

PoolFile Pool::Add(const std::string& name, const std::string& bytes) {
  PoolFile file;
  file.path = folder_ + "/" + name;
  file.bytes = bytes;
  e2e::WriteFile(file.path, bytes);
  file.mtimeNs = MtimeNs(file.path);
  file.fileTimeBytes = FileTimeBytes(file.mtimeNs);
  constexpr int64_t kTwoSeconds = 2000000000;
  file.fatTimeBytes = FileTimeBytes((file.mtimeNs + kTwoSeconds - 1) / kTwoSeconds * kTwoSeconds);
  return file;
}

std::vector<std::string> Pool::Changed() const {
  std::vector<std::string> changed;
  auto check = [&](const PoolFile& file) {
    if (ReadHostFile(file.path) != file.bytes) changed.push_back(file.path + ": content changed");
    if (MtimeNs(file.path) != file.mtimeNs) changed.push_back(file.path + ": last-write time changed");
  };
  for (const auto& file : cabinets_) check(file);
  for (const auto& file : damaged_) check(file);
  check(text_);
  check(setup_);
  check(installer_);
  return changed;
}

void Link(const std::string& from, const std::string& to) {
  fs::create_directories(fs::path(to).parent_path());
  if (::link(from.c_str(), to.c_str()) != 0) throw std::runtime_error("cannot link " + from + " to " + to);
}

// ---------------------------------------------------------------- the registry

std::vector<std::u16string> Registry::Registered() const {
  std::vector<std::u16string> paths;
  for (const auto& application : applications) {
    if (!application.instl || application.instl->data.size() != 4 || application.instl->data == std::string(4, '\0'))
      continue;
    if (!application.cabFile) continue;
    const std::string& data = application.cabFile->data;
    if (data.size() > kSlotUnits * 2) continue;
    std::u16string path;
    bool terminated = false;
    for (size_t at = 0; at + 1 < data.size(); at += 2) {
      const char16_t unit =
          static_cast<char16_t>(static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8);
      if (unit == 0) {
        terminated = true;
        break;
      }
      path += unit;
    }
    if (!terminated && path.size() >= kSlotUnits) continue;
    paths.push_back(path);
  }
  return paths;
}

bool Registry::IsRegistered(const std::u16string& path) const {
  for (const auto& registered : Registered()) {
    if (host::EqualsIgnoreCase(registered, path)) return true;
  }
  return false;
}

Registry ReadRegistry(const std::string& image) {
  Registry registry;
  // Exported as `termsim reg export` does it, in this process: a run of termsim per
  // read would cost the random runs a good part of their time.
  try {
    host::AttachImage(image);
  } catch (const host::HostError& e) {
    ADD_FAILURE() << "cannot read the registry of " << image << ": " << e.what();
    return registry;
  }
  std::string error;
  const std::string exported = regfile::ExportRegistry(u"SOFTWARE", &error);
  host::DetachImage();
  EXPECT_FALSE(exported.empty()) << error;
  std::vector<regfile::Operation> operations;
  if (!regfile::ParseRegFile(exported, &operations, &error)) {
    ADD_FAILURE() << "the export does not read back: " << error;
    return registry;
  }
  constexpr std::u16string_view kApps = u"SOFTWARE\\Apps\\";
  constexpr std::u16string_view kServicePack = u"SOFTWARE\\KORVA\\Service Pack";
  constexpr std::u16string_view kInstaller = u"SOFTWARE\\Apps\\Microsoft Application Installer";
  std::map<std::u16string, size_t> byFoldedKey;
  for (const auto& operation : operations) {
    const bool isApplication =
        StartsWithIgnoreCase(operation.key, kApps) && operation.key.find(u'\\', kApps.size()) == std::u16string::npos;
    if (operation.kind == regfile::Operation::Kind::CreateKey && isApplication) {
      byFoldedKey[host::FoldCase(operation.key)] = registry.applications.size();
      registry.applications.push_back({Utf8(operation.key.substr(kApps.size())), std::nullopt, std::nullopt});
      continue;
    }
    if (operation.kind != regfile::Operation::Kind::SetValue) continue;
    const Value value{operation.type, operation.data};
    if (host::EqualsIgnoreCase(operation.key, kServicePack)) {
      if (host::EqualsIgnoreCase(operation.name, u"DateTime")) registry.dateTime = value;
      if (host::EqualsIgnoreCase(operation.name, u"Reset")) registry.reset = value;
    }
    if (host::EqualsIgnoreCase(operation.key, kInstaller) && host::EqualsIgnoreCase(operation.name, u"fAskDest"))
      registry.askDestination = value;
    if (!isApplication) continue;
    auto found = byFoldedKey.find(host::FoldCase(operation.key));
    if (found == byFoldedKey.end()) {
      byFoldedKey[host::FoldCase(operation.key)] = registry.applications.size();
      registry.applications.push_back({Utf8(operation.key.substr(kApps.size())), std::nullopt, std::nullopt});
      found = byFoldedKey.find(host::FoldCase(operation.key));
    }
    Application& application = registry.applications[found->second];
    if (host::EqualsIgnoreCase(operation.name, u"Instl")) application.instl = value;
    if (host::EqualsIgnoreCase(operation.name, u"CabFile")) application.cabFile = value;
  }
  return registry;
}

bool IsDwordOne(const std::optional<Value>& value) {
  return value && value->type == REG_DWORD && value->data == std::string("\1\0\0\0", 4);
}

// ---------------------------------------------------------------- the journal

std::vector<e2e::Event> ReadJournal(const std::string& image) {
  const e2e::Result result = e2e::Termsim({"journal", image, "--json"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<e2e::Event> events;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) events.push_back(e2e::ParseJsonLine(line));
  return events;
}

std::vector<e2e::Event> EventsAfter(const std::vector<e2e::Event>& events, int64_t seq) {
  std::vector<e2e::Event> after;
  for (const auto& event : events) {
    if (event.Int("seq") > seq) after.push_back(event);
  }
  return after;
}

// ---------------------------------------------------------------- text

std::u16string U16(const std::string& utf8) { return host::FromUtf8(utf8); }
std::string Utf8(const std::u16string& text) { return host::ToUtf8(text); }

}  // namespace stress
