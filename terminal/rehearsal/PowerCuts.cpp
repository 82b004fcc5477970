// Power cuts: the moments of a twin's rehearsal at which the power can go, what the
// twin holds at its end of everything Setup and the installer wrote, and the
// differences a cut leaves against the rehearsal that was not cut, in words.
#include "platform/host/Faults.h"
#include "platform/host/Paths.h"
#include "platform/host/Text.h"
#include "terminal/rehearsal/PowerCuts.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

constexpr char16_t kInstaller[] = u"\\Windows\\wceload.exe";
constexpr char16_t kApps[] = u"SOFTWARE\\Apps";
constexpr char16_t kTouchKey[] = u"HARDWARE\\DEVICEMAP\\TOUCH";
// Files bigger than this are compared by a digest of their bytes.
constexpr size_t kMostKeptBytes = 1u << 20;

bool StartsWithIgnoreCase(std::u16string_view text, std::u16string_view start) {
  return text.size() >= start.size() && host::EqualsIgnoreCase(text.substr(0, start.size()), start);
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// What a state-changing call leaves for the comparison: a file ("F"), a folder ("D"),
// a registry value ("V") or key ("K"); "" for a call that leaves nothing (a start).
std::string WatchOf(const host::TracedCall& call) {
  const std::string target = host::ToUtf8(call.target);
  if (call.api == "WriteFile" || call.api == "CopyFileW" || call.api == "CreateFileW" || call.api == "DeleteFileW")
    return "F" + target;
  if (call.api == "CreateDirectoryW") return "D" + target;
  if (call.api == "RegSetValueExW" || call.api == "RegDeleteValueW") return "V" + target;
  if (call.api == "RegCreateKeyExW" || call.api == "RegDeleteKeyW") return "K" + target;
  if (call.api == "TouchCalibrate") return "V" + host::ToUtf8(kTouchKey) + ":CalibrationData";
  return "";
}

// The class of what a watch concerns: Setup's calibration record (its files on the
// flash disk, the touch driver's registry value), the installer's writes, or Setup's
// own (its flags in the installer's key too).
CutClass ClassOf(const std::string& watch, bool byInstaller) {
  const std::u16string what = host::FromUtf8(watch.substr(1));
  if (watch[0] == 'F') {
    const std::u16string name = what.substr(what.rfind(u'\\') + 1);
    if (StartsWithIgnoreCase(name, u"Calibrate")) return CutClass::Calibration;
  }
  if ((watch[0] == 'V' || watch[0] == 'K') && StartsWithIgnoreCase(what, kTouchKey)) return CutClass::Calibration;
  return byInstaller ? CutClass::Installer : CutClass::Setup;
}

std::optional<std::string> FileContents(const std::string& cePath) {
  const auto resolved = host::ResolvePath(host::FromUtf8(cePath));
  if (!resolved || !resolved->exists) return std::nullopt;
  const std::string path = resolved->HostPath();
  std::error_code ec;
  if (fs::is_directory(path, ec)) return std::string("<folder>");
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > kMostKeptBytes)
    return "<" + std::to_string(bytes.size()) + " bytes, digest " + std::to_string(std::hash<std::string>{}(bytes)) + ">";
  return bytes;
}

HKEY RootOf(std::u16string& key) {
  const std::pair<std::u16string_view, HKEY> roots[] = {{u"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
                                                          {u"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
                                                          {u"HKEY_USERS\\", HKEY_USERS},
                                                          {u"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE}};
  for (const auto& [name, root] : roots) {
    if (StartsWithIgnoreCase(key, name)) {
      key.erase(0, name.size());
      return root;
    }
  }
  return HKEY_LOCAL_MACHINE;
}

std::optional<std::string> RegistryContents(const std::string& watch) {
  std::u16string target = host::FromUtf8(watch.substr(1));
  std::u16string value;
  if (watch[0] == 'V') {
    const size_t colon = target.rfind(u':');
    value = target.substr(colon + 1);
    target.erase(colon);
  }
  const HKEY root = RootOf(target);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, target.c_str(), 0, 0, &key) != ERROR_SUCCESS) return std::nullopt;
  std::optional<std::string> contents = std::string("<key>");
  if (watch[0] == 'V') {
    DWORD type = 0, size = 0;
    contents.reset();
    if (RegQueryValueExW(key, value.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      std::string data(size, '\0');
      if (RegQueryValueExW(key, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
          ERROR_SUCCESS)
        contents = std::to_string(type) + ":" + data.substr(0, size);
    }
  }
  RegCloseKey(key);
  return contents;
}

// Instl and CabFile of every application the twin has registered.
std::vector<std::string> AppWatches() {
  std::vector<std::string> watches;
  HKEY apps = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kApps, 0, 0, &apps) != ERROR_SUCCESS) return watches;
  char16_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumKeyExW(apps, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::string key = host::ToUtf8(kApps) + "\\" + host::ToUtf8(std::u16string_view(name, chars));
    watches.push_back("V" + key + ":Instl");
    watches.push_back("V" + key + ":CabFile");
  }
  RegCloseKey(apps);
  return watches;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : bytes) hex += {kDigits[c >> 4], kDigits[c & 15]};
  return hex;
}

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// A registry value's data in words: a string without its terminator, or a number.
std::string ValueWords(const std::string& contents) {
  const size_t colon = contents.find(':');
  const int type = std::stoi(contents.substr(0, colon));
  const std::string data = contents.substr(colon + 1);
  if (type == REG_DWORD && data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(data[i]);
    return std::to_string(number);
  }
  if (type == REG_SZ && data.size() % 2 == 0) {
    std::u16string text(data.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) | static_cast<unsigned char>(data[2 * i + 1]) << 8);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return "\"" + host::ToUtf8(text) + "\"";
  }
  return std::to_string(data.size()) + " bytes";
}

}  // namespace

std::string RepeatRule(const CutPoint& point) {
  return "termsim fault IMAGE " + point.api + " " + Quoted(point.target) + (point.torn ? " power-loss:half" : " power-loss") +
         " --after " + std::to_string(point.after) + " --times 1 --caller " + Quoted(point.caller);
}

std::vector<CutPoint> CutPointsOf(const std::vector<host::TracedCall>& calls, const std::u16string& setup) {
  std::vector<CutPoint> points;
  for (const auto& call : calls) {
    if (!call.changes) continue;
    if (!host::EqualsIgnoreCase(call.caller, setup) && !host::EqualsIgnoreCase(call.caller, kInstaller)) continue;
    for (const bool torn : {false, true}) {
      if (torn && !call.writesHalf) continue;
      CutPoint point;
      point.number = static_cast<int>(points.size()) + 1;
      point.api = call.api;
      point.target = host::ToUtf8(call.target);
      point.caller = host::ToUtf8(call.caller);
      point.torn = torn;
      point.after = call.after;
      points.push_back(std::move(point));
    }
  }
  return points;
}

std::vector<int> SamplePoints(int points, int sample, uint64_t seed) {
  std::vector<int> numbers(points);
  for (int i = 0; i < points; ++i) numbers[i] = i + 1;
  // Shuffled by hand: std::shuffle's draws differ between standard libraries, and a
  // seed must name the same points wherever it is given again.
  std::mt19937_64 random(seed);
  for (int i = points - 1; i > 0; --i) std::swap(numbers[i], numbers[random() % static_cast<uint64_t>(i + 1)]);
  numbers.resize(std::min(points, sample));
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

TwinState ReferenceWatches(const std::vector<host::TracedCall>& calls, const std::u16string& setup,
                           const TwinReport& twin) {
  TwinState state;
  std::map<std::string, std::string> cabOfFile;
  for (const auto& run : twin.runs) {
    for (const auto& cab : run.cabs) {
      for (const auto& file : cab.files) cabOfFile[host::ToUtf8(host::FoldCase(host::FromUtf8(file)))] = cab.name;
    }
  }
  for (const auto& call : calls) {
    if (!call.changes) continue;
    const bool installer = host::EqualsIgnoreCase(call.caller, kInstaller);
    if (!installer && !host::EqualsIgnoreCase(call.caller, setup)) continue;
    const std::string watch = WatchOf(call);
    if (watch.empty() || state.watches.count(watch)) continue;
    Watch& entry = state.watches[watch];
    entry.cut = ClassOf(watch, installer);
    if (watch[0] == 'F') {
      const auto cab = cabOfFile.find(host::ToUtf8(host::FoldCase(host::FromUtf8(watch.substr(1)))));
      if (cab != cabOfFile.end()) entry.cab = cab->second;
    }
  }
  return state;
}

void Capture(TwinState& state) {
  for (const auto& watch : AppWatches()) {
    if (!state.watches.count(watch)) state.watches[watch].cut = CutClass::Installer;
  }
  for (auto& [watch, entry] : state.watches)
    entry.contents = watch[0] == 'F' || watch[0] == 'D' ? FileContents(watch.substr(1)) : RegistryContents(watch);
}

bool SaveState(const TwinState& state, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (const auto& [watch, entry] : state.watches)
    out << Hex(watch) << '\t' << NameOf(entry.cut) << '\t' << Hex(entry.cab) << '\t' << (entry.contents ? "1" : "0")
        << '\t' << Hex(entry.contents.value_or("")) << '\n';
  out.close();
  return !out.fail();
}

std::optional<TwinState> LoadState(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  TwinState state;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string watch, cut, cab, present, contents;
    std::getline(fields, watch, '\t');
    std::getline(fields, cut, '\t');
    std::getline(fields, cab, '\t');
    std::getline(fields, present, '\t');
    std::getline(fields, contents, '\t');
    Watch& entry = state.watches[Unhex(watch)];
    entry.cut = CutClassNamed(cut).value_or(CutClass::Setup);
    entry.cab = Unhex(cab);
    if (present == "1") entry.contents = Unhex(contents);
  }
  return state;
}

std::vector<std::pair<CutClass, std::string>> Differences(const TwinState& reference, const TwinState& cut,
                                                           const std::u16string& at) {
  std::vector<std::pair<CutClass, std::string>> differences;
  // Whether the cut twin registers the CAB `name` of the folder (a CabFile naming it).
  const std::u16string folder = at + u"\\";
  const auto registered = [&](const std::string& name) {
    const std::u16string path = folder + host::FromUtf8(name);
    return std::any_of(cut.watches.begin(), cut.watches.end(), [&](const auto& entry) {
      if (entry.first.size() < 9 || entry.first.compare(entry.first.size() - 8, 8, ":CabFile") != 0 || !entry.second.contents)
        return false;
      const std::string& data = *entry.second.contents;
      std::u16string text;
      for (size_t i = data.find(':') + 1; i + 1 < data.size(); i += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(data[i]) | static_cast<unsigned char>(data[i + 1]) << 8);
      while (!text.empty() && text.back() == u'\0') text.pop_back();
      return host::EqualsIgnoreCase(text, path);
    });
  };
  std::map<std::string, const Watch*> both;
  for (const auto& [watch, entry] : reference.watches) both[watch] = &entry;
  for (const auto& [watch, entry] : cut.watches) both.emplace(watch, &entry);
  for (const auto& [watch, owner] : both) {
    const auto ref = reference.watches.find(watch);
    const auto now = cut.watches.find(watch);
    const std::optional<std::string> before = ref == reference.watches.end() ? std::nullopt : ref->second.contents;
    const std::optional<std::string> after = now == cut.watches.end() ? std::nullopt : now->second.contents;
    if (before == after) continue;
    const std::string what = watch.substr(1);
    const bool file = watch[0] == 'F' || watch[0] == 'D';
    std::string words;
    if (!after) {
      words = what + " missing";
      if (!owner->cab.empty() && registered(owner->cab)) words = owner->cab + " registered but " + words;
    } else if (!before) {
      words = what + " left behind" + (file ? "" : " (" + (watch[0] == 'V' ? ValueWords(*after) : "a key") + ")") +
              ", which the rehearsal ends without";
    } else if (file && after->size() < before->size() && before->compare(0, after->size(), *after) == 0) {
      words = what + ": " + std::to_string(after->size()) + " of " + std::to_string(before->size()) + " bytes, torn";
    } else if (file) {
      words = what + ": other contents (" + std::to_string(after->size()) + " bytes, the rehearsal's " +
              std::to_string(before->size()) + ")";
    } else if (watch[0] == 'V') {
      words = what + " is " + ValueWords(*after) + ", the rehearsal's " + ValueWords(*before);
    }
    if (!words.empty()) differences.emplace_back(owner->cut, words);
  }
  return differences;
}

}  // namespace rehearsal
