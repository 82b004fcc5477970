#include "tests/stress/RandomTerminal.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>

#include "platform/host/Text.h"

namespace stress {

namespace {

namespace fs = std::filesystem;

// The models the terminal can be, with the service-pack CAB each one takes in each
// language.
struct Model {
  const char* model;
  const char* language;
  const char* servicePack;
};
constexpr Model kModels[] = {
    {"LM310", "en", "ServicePackHQ20.CAB"},
    {"LM310", "ja", "ServicePackHQ40.CAB"},
    {"LM320", "en", "ServicePackHQ60.CAB"},
    {"LM320", "ja", "ServicePackHQ80.CAB"},
};

class Draw {
 public:
  explicit Draw(uint64_t seed) : engine_(seed) {}
  int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
  template <class T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(Int(0, static_cast<int>(items.size()) - 1))];
  }
  std::mt19937_64& engine() { return engine_; }

 private:
  std::mt19937_64 engine_;
};

// The letters whose case the drawn names and paths change, beyond ASCII.
constexpr std::pair<char16_t, char16_t> kLowerUpper[] = {
    {u'\u00e4', u'\u00c4'}, {u'\u00f6', u'\u00d6'}, {u'\u00fc', u'\u00dc'}, {u'\u00e9', u'\u00c9'}};

char16_t Upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  for (auto [lower, upper] : kLowerUpper) {
    if (c == lower) return upper;
  }
  return c;
}

char16_t Lower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  for (auto [lower, upper] : kLowerUpper) {
    if (c == upper) return lower;
  }
  return c;
}

// The same name in another letter case, often the same one.
std::string CaseVariant(Draw& draw, const std::string& utf8) {
  std::u16string text = U16(utf8);
  switch (draw.Int(0, 5)) {
    case 0:
      for (auto& c : text) c = Upper(c);
      break;
    case 1:
      for (auto& c : text) c = Lower(c);
      break;
    case 2:
      for (auto& c : text) c = draw.Chance(0.5) ? Upper(c) : Lower(c);
      break;
    default:
      break;
  }
  return Utf8(text);
}

std::string Repeat(char c, int count) { return std::string(static_cast<size_t>(std::max(count, 0)), c); }

// The SOFTWARE\Apps key an entry's installation writes: its pool cabinet's application;
// for the others, which no installation registers, the name without its extension.
std::string ApplicationOf(const Entry& entry, const Pool& pool) {
  if (entry.kind == EntryKind::kCabinet) return pool.cabinets()[entry.poolIndex].application;
  return entry.name.substr(0, entry.name.rfind('.'));
}

size_t Units(const std::string& utf8) { return U16(utf8).size(); }

// Keeps names unique in every letter case, as one folder or one registry key holds them.
class NameSet {
 public:
  bool Add(const std::string& name) { return folded_.insert(host::FoldCase(U16(name))).second; }

 private:
  std::set<std::u16string> folded_;
};

std::string DrawFolder(Draw& draw) {
  const int choice = draw.Int(0, 99);
  if (choice < 45) return "\\FlashDisk\\SP";
  if (choice < 55) return "\\FlashDisk";
  if (choice < 65) return "\\FlashDisk\\Service Pack \xC3\xA4";          // "ä"
  if (choice < 75) return "\\Storage Card\\\xE6\x9B\xB4\xE6\x96\xB0 2";  // "更新 2"
  if (choice < 80) return "";
  // Long enough that some of its CABs' paths reach the path limit, short enough for
  // Setup's own path to stay below it.
  const int length = draw.Int(200, 249);
  std::string folder = "\\FlashDisk";
  for (int level = 1; static_cast<int>(Units(folder)) < length - 20; ++level) {
    folder += "\\Stufe \xC3\xA4 " + std::to_string(level);
  }
  folder += "\\" + Repeat('x', length - static_cast<int>(Units(folder)) - 1);
  return folder;
}

const std::vector<std::string> kPatchSuffixes = {
    "01", "02", "10", "2", "_a", "_B", " \xC3\xA4", "-\xE6\x97\xA5\xE6\x9C\xAC", "", " fix", "0"};
const std::vector<std::string> kOtherBases = {
    "Tool",
    "tool kit",
    "Zeta",
    "\xC3\x84rger",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x84\xE3\x83\xBC\xE3\x83\xAB",
    "a",
    "B",
    "\xC3\x9C"
    "berall",
    "Scanner Driver",
    "x y z",
    "ServicePackHQ99",
    "Setup",
    "Patc",
    "NotPatch01"};
const std::vector<std::string> kExtensions = {".cab", ".CAB", ".Cab"};
const std::vector<std::string> kFolderNames = {"Sub.cab", "PatchDir.cab", "Folder.CAB"};
const std::vector<std::string> kDamagedNames = {"Broken.cab", "PatchBroken.cab", "Damaged \xC3\xA4.cab"};
const std::vector<std::string> kTextNames = {"readme.txt", "data.cab.bak", "Patch01.cab.old",
                                             "Tool.ca",    "cabinet",      "Patch.txt"};

// A name whose full path is about as long as the terminal allows; "" when the folder
// leaves no room for one.
std::string NearLimitName(Draw& draw, const std::string& folder) {
  const std::string prefix = draw.Chance(0.5) ? "Patch" : "Long";
  const int total = draw.Int(252, 262);
  const int fill = total - static_cast<int>(Units(folder)) - 1 - static_cast<int>(prefix.size()) - 4;
  if (fill < 1 || fill > 240) return "";
  return prefix + Repeat('x', fill) + ".cab";
}

void DrawEntries(Draw& draw, const Pool& pool, const DrawLimits& limits, Terminal* terminal) {
  NameSet names;
  names.Add("Setup.exe");
  std::vector<Entry> entries;
  // No two entries link one pool cabinet: each installs an application of its own.
  std::vector<bool> linked(pool.cabinets().size());
  auto add = [&](const std::string& name, EntryKind kind) {
    if (name.empty() || !names.Add(name)) return;
    Entry entry{name, kind, 0};
    if (kind == EntryKind::kCabinet) {
      size_t index = static_cast<size_t>(draw.Int(0, static_cast<int>(linked.size()) - 1));
      for (size_t tried = 0; linked[index]; index = (index + 1) % linked.size()) {
        if (++tried > linked.size()) throw std::runtime_error("the pool holds too few cabinets for this draw");
      }
      linked[index] = true;
      entry.poolIndex = index;
    }
    if (kind == EntryKind::kDamaged)
      entry.poolIndex = static_cast<size_t>(draw.Int(0, static_cast<int>(pool.damaged().size()) - 1));
    entries.push_back(entry);
  };
  for (const auto& model : kModels) {
    const bool own = terminal->servicePackName == model.servicePack;
    if (!draw.Chance(own ? 0.55 : 0.15)) continue;
    const int kind = draw.Int(0, 99);
    add(CaseVariant(draw, model.servicePack), kind < 96   ? EntryKind::kCabinet
                                              : kind < 98 ? EntryKind::kDamaged
                                                          : EntryKind::kFolder);
  }
  const int count = draw.Int(0, limits.maxEntries);
  for (int i = 0; i < count; ++i) {
    const int kind = draw.Int(0, 99);
    if (kind < 40) {
      add(CaseVariant(draw, "Patch") + draw.Pick(kPatchSuffixes) + draw.Pick(kExtensions), EntryKind::kCabinet);
    } else if (kind < 80) {
      add(CaseVariant(draw, draw.Pick(kOtherBases)) + draw.Pick(kExtensions), EntryKind::kCabinet);
    } else if (kind < 88) {
      add(NearLimitName(draw, terminal->folder), EntryKind::kCabinet);
    } else {
      add(draw.Pick(kTextNames), EntryKind::kText);
    }
  }
  // Entries the installer refuses end every run that reaches them: one at most, and
  // not on most terminals, so that most terminals get through.
  const int hostile = draw.Int(0, 99);
  if (hostile < 7) {
    add(draw.Pick(kFolderNames), EntryKind::kFolder);
  } else if (hostile < 14) {
    add(draw.Pick(kDamagedNames), EntryKind::kDamaged);
  }
  std::shuffle(entries.begin(), entries.end(), draw.engine());
  terminal->entries = entries;
}

// ---------------------------------------------------------------- the .reg file

std::string Escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string HexData(const std::string& bytes, const std::string& newline) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<uint8_t>(bytes[i]));
    text += byte;
    if (i + 1 < bytes.size()) text += (i % 24 == 23) ? ",\\" + newline + "  " : ",";
  }
  return text;
}

std::string Utf16Bytes(const std::string& utf8) {
  std::string bytes;
  for (char16_t unit : U16(utf8)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

class RegWriter {
 public:
  explicit RegWriter(Draw& draw) : newline_(draw.Chance(0.5) ? "\r\n" : "\n") {
    text_ = draw.Chance(0.5) ? "\xEF\xBB\xBF" : "";
    text_ += "Windows Registry Editor Version 5.00" + newline_;
  }
  void Key(const std::string& path) { text_ += newline_ + "[HKEY_LOCAL_MACHINE\\" + path + "]" + newline_; }
  void Text(const std::string& name, const std::string& value) {
    text_ += "\"" + name + "\"=\"" + Escaped(value) + "\"" + newline_;
  }
  void Dword(const std::string& name, uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "%08x", value);
    text_ += "\"" + name + "\"=dword:" + data + newline_;
  }
  void Hex(const std::string& name, int type, const std::string& bytes) {
    text_ += "\"" + name + "\"=" + (type == 3 ? std::string("hex:") : "hex(" + std::to_string(type) + "):") +
             HexData(bytes, newline_) + newline_;
  }
  const std::string& text() const { return text_; }

 private:
  std::string newline_;
  std::string text_;
};

// Instl of an application that counts as installed: 4 bytes that are not 0, of any type.
void WriteInstalled(Draw& draw, RegWriter& reg) {
  const int choice = draw.Int(0, 99);
  if (choice < 85) {
    reg.Dword("Instl", 1);
  } else if (choice < 93) {
    reg.Hex("Instl", 3, std::string("\5\0\0\0", 4));
  } else {
    reg.Dword("Instl", 2);
  }
}

// CabFile for `path`: a plain string, or the same without its terminator.
void WriteCabFile(Draw& draw, RegWriter& reg, const std::string& path) {
  if (draw.Chance(0.15)) {
    reg.Hex("CabFile", 1, Utf16Bytes(path));
  } else {
    reg.Text("CabFile", path);
  }
}

// An application installed from elsewhere that counts against the limit.
void WriteForeignInstalled(Draw& draw, RegWriter& reg, const std::string& key, const std::vector<Entry>& entries) {
  WriteInstalled(draw, reg);
  const int choice = draw.Int(0, 99);
  if (choice < 35) {
    reg.Text("CabFile", "\\Storage Card\\Apps\\" + key + ".cab");
  } else if (choice < 55) {
    reg.Text("CabFile", "\\FlashDisk\\Old\\" + key + ".CAB");
  } else if (choice < 75) {
    // A CAB of the start folder's name, installed from another folder.
    reg.Text("CabFile", "\\FlashDisk\\SP2\\" + (entries.empty() ? key + ".cab" : draw.Pick(entries).name));
  } else if (choice < 85) {
    reg.Dword("CabFile", 7);  // read as a string all the same
  } else {
    reg.Hex("CabFile", 1, Utf16Bytes("\\Storage Card\\" + key + ".cab"));
  }
}

// An application the inventory passes over: not installed, or without a CabFile that
// fits the inventory.
void WriteIgnored(Draw& draw, RegWriter& reg, const std::string& key) {
  const int choice = draw.Int(0, 99);
  if (choice < 25) {
    reg.Dword("Instl", 0);
    reg.Text("CabFile", "\\Storage Card\\" + key + ".cab");
  } else if (choice < 40) {
    reg.Text("CabFile", "\\Storage Card\\" + key + ".cab");  // no Instl
  } else if (choice < 55) {
    WriteInstalled(draw, reg);  // no CabFile
  } else if (choice < 80) {
    WriteInstalled(draw, reg);
    reg.Text("CabFile", "\\Storage Card\\" + Repeat('y', draw.Int(242, 290)) + ".cab");  // 256 units or more
  } else {
    WriteInstalled(draw, reg);
    reg.Hex("CabFile", 1, Utf16Bytes("\\Storage Card\\" + Repeat('z', 256 - 14)));  // fills the slot, no terminator
  }
}

void DrawInventory(Draw& draw, const Pool& pool, const DrawLimits& limits, Terminal* terminal) {
  RegWriter reg(draw);
  NameSet keys;
  keys.Add("Microsoft Application Installer");
  // How many applications count against the limit of 30: near it as often as not.
  const int band = draw.Int(0, 99);
  const int installed = std::min(band < 30   ? draw.Int(0, 15)
                                 : band < 75 ? draw.Int(26, 33)
                                             : draw.Int(0, 40),
                                 limits.maxApplications);
  const int ignored = std::min(draw.Int(0, 8), limits.maxApplications - installed);
  int counted = 0;
  int written = 0;
  // CABs of the start folder installed before, under the application name the
  // installer gives them, with their path in any letter case.
  for (const auto& entry : terminal->entries) {
    if (entry.kind != EntryKind::kCabinet && entry.kind != EntryKind::kDamaged) continue;
    if (counted >= installed || !draw.Chance(0.4)) continue;
    const std::string key = CaseVariant(draw, ApplicationOf(entry, pool));
    if (!keys.Add(key)) continue;
    reg.Key("SOFTWARE\\Apps\\" + key);
    const std::string path = CaseVariant(draw, terminal->PathOf(entry.name));
    if (draw.Chance(0.1)) {
      WriteIgnored(draw, reg, key);
    } else {
      WriteInstalled(draw, reg);
      WriteCabFile(draw, reg, path);
      counted += Units(path) < 256;
    }
    ++written;
  }
  for (int index = 0; (counted < installed || written < installed + ignored) && written < limits.maxApplications;
       ++index) {
    std::string key;
    const int choice = draw.Int(0, 99);
    if (choice < 10 && !terminal->entries.empty()) {
      key = ApplicationOf(draw.Pick(terminal->entries), pool);  // a folder CAB's application, installed from elsewhere
    } else if (choice < 55) {
      key = "App " + std::to_string(index);
    } else if (choice < 80) {
      key = "Scanner-Tool " + std::to_string(index);
    } else {
      key = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x82\xA2\xE3\x83\x97\xE3\x83\xAA " + std::to_string(index);
    }
    if (!keys.Add(key)) continue;
    reg.Key("SOFTWARE\\Apps\\" + key);
    if (counted < installed) {
      WriteForeignInstalled(draw, reg, key, terminal->entries);
      ++counted;
    } else {
      WriteIgnored(draw, reg, key);
    }
    ++written;
  }

  const std::string servicePackTime = terminal->ServicePackTime(pool);
  std::string dateTime;
  const int choice = draw.Int(0, 99);
  if (!servicePackTime.empty()) {
    if (choice < 40) {
      dateTime = servicePackTime;
    } else if (choice < 65) {
      dateTime = servicePackTime;
      dateTime[static_cast<size_t>(draw.Int(0, 7))] ^= static_cast<char>(draw.Int(1, 255));
    } else if (choice < 75) {
      dateTime = servicePackTime.substr(0, 4);
    }
  } else if (choice < 50) {
    for (int i = 0; i < 8; ++i) dateTime += static_cast<char>(draw.Int(0, 255));
  }
  if (!dateTime.empty()) {
    reg.Key("SOFTWARE\\KORVA\\Service Pack");
    reg.Hex("DateTime", 3, dateTime);
  }
  terminal->regFile = reg.text();
}

void DrawFaults(Draw& draw, Terminal* terminal) {
  auto& faults = terminal->faults;
  if (draw.Chance(0.08)) {
    faults.push_back({"CreateProcessW", "\\Windows\\wceload.exe", "ERROR_NOT_ENOUGH_MEMORY", "--after",
                      std::to_string(draw.Int(0, 3)), "--times", "1"});
  }
  if (draw.Chance(0.08)) {
    faults.push_back({"RegSetValueExW", "SOFTWARE\\KORVA\\Service Pack:Reset", "ERROR_ACCESS_DENIED", "--after",
                      std::to_string(draw.Int(0, 5)), "--times", std::to_string(draw.Int(1, 2))});
  }
  if (draw.Chance(0.08)) {
    faults.push_back({"RegSetValueExW", "SOFTWARE\\Apps\\Microsoft Application Installer:fAskDest",
                      "ERROR_ACCESS_DENIED", "--after", std::to_string(draw.Int(0, 5)), "--times", "1"});
  }
  if (draw.Chance(0.07)) {
    faults.push_back({"RegOpenKeyExW", "SOFTWARE\\Apps", "ERROR_ACCESS_DENIED", "--after", "1", "--times", "1",
                      "--caller", terminal->SetupPath()});
  }
  std::vector<std::string> cabinets;
  for (const auto& entry : terminal->entries) {
    if (entry.kind == EntryKind::kCabinet) cabinets.push_back(entry.name);
  }
  if (!cabinets.empty() && draw.Chance(0.06)) {
    // The installer cannot open one cabinet.
    faults.push_back({"CreateFileW", terminal->PathOf(draw.Pick(cabinets)), "ERROR_SHARING_VIOLATION", "--times", "1",
                      "--caller", "\\Windows\\wceload.exe"});
  }
}

bool Run(const std::vector<std::string>& arguments, std::string* why) {
  const e2e::Result result = e2e::Termsim(arguments);
  if (result.exitCode == 0) return true;
  *why = "termsim " + arguments[0] + " failed (" + std::to_string(result.exitCode) + "): " + result.err;
  return false;
}

}  // namespace

const PoolFile* Terminal::PoolFileOf(const Entry& entry, const Pool& pool) const {
  switch (entry.kind) {
    case EntryKind::kCabinet:
      return &pool.cabinets()[entry.poolIndex];
    case EntryKind::kDamaged:
      return &pool.damaged()[entry.poolIndex];
    case EntryKind::kText:
      return &pool.text();
    case EntryKind::kFolder:
      return nullptr;
  }
  return nullptr;
}

const Entry* Terminal::ServicePackEntry() const {
  if (servicePackName.empty()) return nullptr;
  for (const auto& entry : entries) {
    if (host::EqualsIgnoreCase(U16(entry.name), U16(servicePackName))) return &entry;
  }
  return nullptr;
}

std::string Terminal::ServicePackTime(const Pool& pool) const {
  const Entry* entry = ServicePackEntry();
  const PoolFile* file = entry ? PoolFileOf(*entry, pool) : nullptr;
  if (!file) return "";
  // Every folder drawn under \FlashDisk lies on the volume; the others in the object store.
  const bool onFlashDisk = folder.rfind("\\FlashDisk", 0) == 0;
  return onFlashDisk && !exactTimes ? file->fatTimeBytes : file->fileTimeBytes;
}

std::string Terminal::Describe() const {
  static const char* const kKinds[] = {"cabinet", "damaged", "folder", "text"};
  std::string text = "termsim create IMAGE";
  for (const auto& argument : createArguments) text += " " + argument;
  text += "\nSetup: " + SetupPath() + "\nentries:";
  for (const auto& entry : entries) {
    text +=
        "\n  " + entry.name + " (" + kKinds[static_cast<int>(entry.kind)] + " " + std::to_string(entry.poolIndex) + ")";
  }
  for (const auto& fault : faults) {
    text += "\nfault:";
    for (const auto& argument : fault) text += " " + argument;
  }
  return text;
}

Terminal DrawTerminal(uint64_t seed, const Pool& pool, const DrawLimits& limits) {
  Draw draw(seed);
  Terminal terminal;
  terminal.seed = seed;
  const Model& model = kModels[draw.Int(0, 3)];
  terminal.language = model.language;
  terminal.createArguments = {"--model",      model.model, "--language",    model.language,
                              "--time-scale", "0.001",     "--message-box", "ok"};
  const int platform = draw.Int(0, 99);
  if (platform < 85) {
    terminal.servicePackName = model.servicePack;
  } else if (platform < 95) {
    terminal.createArguments.insert(terminal.createArguments.end(), {"--platform-name", "KORVA LM330 CE4.10"});
  } else {
    terminal.createArguments.insert(terminal.createArguments.end(), {"--platform-name", "korva lm310 ce4.10"});
  }
  terminal.resetIgnored = draw.Chance(0.1);
  if (terminal.resetIgnored)
    terminal.createArguments.insert(terminal.createArguments.end(), {"--reset-device", "ignore"});
  terminal.exactTimes = draw.Chance(0.15);
  if (terminal.exactTimes) terminal.createArguments.insert(terminal.createArguments.end(), {"--file-times", "exact"});
  terminal.folder = DrawFolder(draw);
  DrawEntries(draw, pool, limits, &terminal);
  DrawInventory(draw, pool, limits, &terminal);
  DrawFaults(draw, &terminal);
  return terminal;
}

std::string HostRelative(const std::string& cePath) {
  std::string relative = cePath;
  while (!relative.empty() && relative.front() == '\\') relative.erase(0, 1);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return relative;
}

bool BuildTerminal(const Terminal& terminal, const Pool& pool, const std::string& image, const std::string& scratch,
                   std::string* why) {
  std::vector<std::string> create = {"create", image};
  create.insert(create.end(), terminal.createArguments.begin(), terminal.createArguments.end());
  if (!Run(create, why)) return false;
  try {
    const std::string fsRoot = image + "/fs/";
    // The installer stand-in too is linked rather than copied into every image.
    fs::remove(fsRoot + "Windows/wceload.exe");
    Link(pool.installer().path, fsRoot + "Windows/wceload.exe");
    std::string folder = fsRoot + HostRelative(terminal.folder);
    if (folder.back() != '/') folder += '/';
    Link(pool.setup().path, folder + "Setup.exe");
    for (const auto& entry : terminal.entries) {
      if (const PoolFile* file = terminal.PoolFileOf(entry, pool)) {
        Link(file->path, folder + entry.name);
      } else {
        fs::create_directories(folder + entry.name);
      }
    }
  } catch (const std::exception& e) {
    *why = e.what();
    return false;
  }
  fs::create_directories(scratch);
  const std::string regPath = scratch + "/inventory.reg";
  e2e::WriteFile(regPath, terminal.regFile);
  if (!Run({"reg", "import", image, regPath}, why)) return false;
  for (const auto& fault : terminal.faults) {
    std::vector<std::string> arguments = {"fault", image};
    arguments.insert(arguments.end(), fault.begin(), fault.end());
    if (!Run(arguments, why)) return false;
  }
  return true;
}

}  // namespace stress
