#include "tests/support/Cabinets.h"

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace cabinets {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

void Put16(std::string& data, size_t at, size_t value) {
  data[at] = static_cast<char>(value & 0xFF);
  data[at + 1] = static_cast<char>(value >> 8);
}

}  // namespace

std::string Make(const std::vector<Member>& members, bool compress) {
  std::string staging = (fs::temp_directory_path() / "korva-cab-XXXXXX").string();
  if (!::mkdtemp(staging.data())) throw std::runtime_error("mkdtemp failed");
  fs::create_directories(fs::path(staging) / "work");
  std::string command = "cd " + Quoted(staging + "/work") + " && gcab -c " + (compress ? "-z " : "") + "../out.cab";
  for (const auto& [name, bytes] : members) {
    const fs::path path = fs::path(staging) / "work" / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    command += " " + Quoted(name);
  }
  const int status = std::system((command + " 2>/dev/null").c_str());
  std::ifstream in(fs::path(staging) / "out.cab", std::ios::binary);
  std::ostringstream cabinet;
  cabinet << in.rdbuf();
  fs::remove_all(staging);
  if (status != 0 || cabinet.str().empty()) throw std::runtime_error("gcab failed: " + command);
  return cabinet.str();
}

namespace {

void Put32(std::string& data, size_t at, uint32_t value) {
  Put16(data, at, value & 0xFFFF);
  Put16(data, at + 2, value >> 16);
}

std::string U16(size_t value) {
  std::string bytes(2, '\0');
  Put16(bytes, 0, value);
  return bytes;
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream stream(path);
  for (std::string part; std::getline(stream, part, '\\');) parts.push_back(part);
  return parts;
}

// The sections as they are built: strings and paths get ids in order of first use.
struct Builder {
  std::string strings, folders, files, hives, values, links;
  std::vector<std::string> stringTexts, folderPaths, hivePaths;
  uint16_t counts[6] = {};

  uint16_t StringId(const std::string& text) {
    for (size_t i = 0; i < stringTexts.size(); ++i)
      if (stringTexts[i] == text) return static_cast<uint16_t>(i + 1);
    stringTexts.push_back(text);
    strings += U16(stringTexts.size()) + U16(text.size() + 1) + text + '\0';
    ++counts[0];
    return static_cast<uint16_t>(stringTexts.size());
  }
  std::string StringIds(const std::string& path) {
    std::string ids;
    for (const auto& part : Split(path)) ids += U16(StringId(part));
    return ids + U16(0);
  }
  uint16_t FolderId(const std::string& path) {
    for (size_t i = 0; i < folderPaths.size(); ++i)
      if (folderPaths[i] == path) return static_cast<uint16_t>(i + 1);
    folderPaths.push_back(path);
    const std::string ids = StringIds(path);
    folders += U16(folderPaths.size()) + U16(ids.size()) + ids;
    ++counts[1];
    return static_cast<uint16_t>(folderPaths.size());
  }
  uint16_t HiveId(uint16_t root, const std::string& key) {
    const std::string name = std::to_string(root) + key;
    for (size_t i = 0; i < hivePaths.size(); ++i)
      if (hivePaths[i] == name) return static_cast<uint16_t>(i + 1);
    hivePaths.push_back(name);
    const std::string ids = StringIds(key);
    hives += U16(hivePaths.size()) + U16(root) + U16(0) + U16(ids.size()) + ids;
    ++counts[3];
    return static_cast<uint16_t>(hivePaths.size());
  }
};

}  // namespace

std::string SetupFile(const Setup& setup) {
  Builder b;
  for (const auto& file : setup.files) {
    const uint16_t folder = b.FolderId(file.folder);
    std::string flags(4, '\0');
    Put32(flags, 0, file.flags);
    b.files += U16(file.number) + U16(folder) + U16(file.number) + flags + U16(file.name.size() + 1) + file.name + '\0';
    ++b.counts[2];
  }
  for (const auto& value : setup.values) {
    const uint16_t hive = b.HiveId(value.root, value.key);
    std::string flags(4, '\0');
    Put32(flags, 0, value.flags);
    const std::string data = value.name + '\0' + value.data;
    b.values += U16(b.counts[4] + 1) + U16(hive) + U16(value.substitute ? 1 : 0) + flags + U16(data.size()) + data;
    ++b.counts[4];
  }
  for (const auto& link : setup.links) {
    const std::string ids = b.StringIds(link.path);
    b.links += U16(b.counts[5] + 1) + U16(0) + U16(0) + U16(link.target) + U16(link.toFile ? 1 : 0) +
               U16(ids.size()) + ids;
    ++b.counts[5];
  }
  std::string data(100, '\0');
  data.replace(0, 4, "MSCE");
  Put32(data, 16, 1);
  const uint32_t device[] = {setup.processor, setup.minMajor, setup.minMinor, setup.maxMajor,
                             setup.maxMinor,  setup.minBuild, setup.maxBuild};
  for (size_t i = 0; i < 7; ++i) Put32(data, 20 + 4 * i, device[i]);
  Put16(data, 84, data.size());
  Put16(data, 86, setup.appName.size() + 1);
  data += setup.appName + '\0';
  Put16(data, 88, data.size());
  Put16(data, 90, setup.provider.size() + 1);
  data += setup.provider + '\0';
  const std::string* sections[] = {&b.strings, &b.folders, &b.files, &b.hives, &b.values, &b.links};
  for (size_t i = 0; i < 6; ++i) {
    Put16(data, 48 + 2 * i, b.counts[i]);
    Put32(data, 60 + 4 * i, static_cast<uint32_t>(data.size()));
    data += *sections[i];
  }
  Put32(data, 8, static_cast<uint32_t>(data.size()));
  return data;
}

std::string SetupFile(std::string_view provider, std::string_view appName) {
  return SetupFile(Setup{.provider = std::string(provider), .appName = std::string(appName)});
}

namespace {

// A member name as CAB Wizard mangles one: at most eight letters and digits of `stem`
// in capitals, then the file number in three digits.
std::string MemberName(std::string_view stem, unsigned number) {
  std::string name;
  for (char c : stem) {
    if (name.size() < 8 && std::isalnum(static_cast<unsigned char>(c)))
      name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  char extension[8];
  std::snprintf(extension, sizeof extension, ".%03u", number % 1000);
  return (name.empty() ? "FILE" : name) + extension;
}

}  // namespace

std::string MakeCe(const CeCabinet& cabinet) {
  std::vector<Member> members;
  const std::string& application = cabinet.setup.appName;
  if (cabinet.withSetupFile) members.emplace_back(MemberName(application, 0), SetupFile(cabinet.setup));
  std::vector<uint16_t> numbers;
  for (size_t i = 0; i < cabinet.setup.files.size(); ++i) {
    const auto& file = cabinet.setup.files[i];
    if (std::find(numbers.begin(), numbers.end(), file.number) != numbers.end()) continue;
    numbers.push_back(file.number);
    members.emplace_back(MemberName(std::string_view(file.name).substr(0, file.name.rfind('.')), file.number),
                         i < cabinet.fileBytes.size() ? cabinet.fileBytes[i] : std::string());
  }
  if (!cabinet.setupDll.empty()) members.emplace_back(MemberName(application, 999), cabinet.setupDll);
  return Make(members, cabinet.compress);
}

std::string Application(std::string_view provider, std::string_view appName, std::string_view name,
                        std::string_view bytes) {
  return MakeCe(CeCabinet{.setup = {.provider = std::string(provider),
                                  .appName = std::string(appName),
                                  .files = {{1, "%InstallDir%", std::string(name)}}},
                        .fileBytes = {std::string(bytes)}});
}

std::vector<Member> DamagedHeaders(const std::string& good) {
  // CFHEADER: the signature at 0, the offset of the first CFFILE at 16, the folder count
  // at 26 and the file count at 28; a CFFILE's folder index is 8 bytes into it, its
  // name (terminated) 16 bytes into it.
  auto u16 = [](const std::string& bytes, size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8);
  };
  auto put16 = [](std::string& bytes, size_t at, unsigned value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
  };
  if (good.size() < 36 || good.compare(0, 4, "MSCF") != 0) throw std::runtime_error("not a cabinet");
  std::string garbled = good;
  garbled.replace(0, 4, "MSCX");
  std::string noFiles = good;
  put16(noFiles, 28, 0);
  std::string badFolder = good;
  const unsigned folders = u16(good, 26);
  size_t entry = u16(good, 16) | static_cast<size_t>(u16(good, 18)) << 16;
  for (unsigned file = 0, files = u16(good, 28); file < files && entry + 16 < good.size(); ++file) {
    put16(badFolder, entry + 8, folders + 1);
    entry = good.find('\0', entry + 16) + 1;
  }
  return {{"cut-header.cab", good.substr(0, 20)},
          {"bad-signature.cab", garbled},
          {"no-files.cab", noFiles},
          {"bad-folder-index.cab", badFolder}};
}

}  // namespace cabinets

