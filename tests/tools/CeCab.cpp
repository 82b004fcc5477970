// cecab: makes a CE cabinet for scripts (the demo, the benchmarks, the runs under
// Wine), with the tests' cabinet maker: a setup file naming the application, the device
// it is made for, where each file goes and the registry values to write.
#include "platform/host/DeviceIdentity.h"
#include "tests/support/Cabinets.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kBadCommandLine = 2;
constexpr unsigned kMaxFiles = 998;  // members .001 to .998; .999 is the setup DLL

constexpr char kUsage[] = R"(usage: cecab OUT.cab --provider TEXT --app TEXT [options]
Makes a CE cabinet: its setup file (the .000 member) names the application
"PROVIDER APP", the device it is made for, where its files go and what it writes to
the registry. The terminal's installer registers it as SOFTWARE\Apps\PROVIDER APP.

  --file HOSTFILE DEST      a file, installed as DEST: FOLDER\NAME, the folder a CE
                            path or a macro (%InstallDir%, %CE1%...%CE17%) and below
  --shortcut PATH DEST      a shortcut PATH (%CE11%\Tool) to the file installed as DEST
  --reg KEY NAME TYPE DATA  a registry value: KEY is ROOT\PATH, ROOT one of HKLM,
                            HKCU, HKCR, HKU or their long names; NAME "" is the default
                            value; TYPE REG_SZ, REG_MULTI_SZ (DATA's strings separated
                            by \0), REG_DWORD (a number) or REG_BINARY (hex bytes)
  --processor NAME|NUMBER   ARM, MIPS, SH3, SH4, X86... or a CE processor type (any)
  --ce-version MIN-MAX      CE versions it installs on, as 4.00-4.99 (any)
  --ce-build MIN-MAX        CE builds it installs on, as 0-908 (any)
  --setup-dll HOSTFILE      the setup DLL, the .999 member
  --no-setup-file           no .000 member: a cabinet the terminal's installer refuses
  --mszip                   compress the members with MSZIP (stored otherwise)
  --help                    this text

Texts are stored byte for byte as given: single-byte text in the terminal's code page.
Exit status: 0 made, 1 a file could not be read or the cabinet not made, 2 a bad
command line.
)";

struct BadCommandLine : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool SameName(std::string a, std::string b) {
  for (auto* text : {&a, &b}) {
    for (char& c : *text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return a == b;
}

std::optional<uint32_t> Number(const std::string& text, int base = 10) {
  if (text.empty() || text.find_first_of("+- ") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, base);
  if (*end != '\0' || value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// "MIN-MAX" into its two halves, each read by `read`.
template <typename Read>
void Range(const std::string& option, const std::string& text, Read read) {
  const size_t dash = text.find('-');
  if (dash == std::string::npos || !read(text.substr(0, dash), true) || !read(text.substr(dash + 1), false))
    throw BadCommandLine(option + " must be MIN-MAX, not '" + text + "'");
}

void Versions(const std::string& text, cabinets::Setup* setup) {
  Range("--ce-version", text, [&](const std::string& half, bool min) {
    uint32_t major = 0, minor = 0;
    if (!host::ParseCeVersion(half, &major, &minor)) return false;
    (min ? setup->minMajor : setup->maxMajor) = major;
    (min ? setup->minMinor : setup->maxMinor) = minor;
    return true;
  });
}

void Builds(const std::string& text, cabinets::Setup* setup) {
  Range("--ce-build", text, [&](const std::string& half, bool min) {
    const auto build = Number(half);
    if (build) (min ? setup->minBuild : setup->maxBuild) = *build;
    return build.has_value();
  });
}

uint16_t Root(const std::string& name) {
  struct RootName {
    const char* shortName;
    const char* longName;
    uint16_t number;  // as the setup file stores it
  };
  constexpr RootName kRoots[] = {{"HKCR", "HKEY_CLASSES_ROOT", 1},
                                 {"HKCU", "HKEY_CURRENT_USER", 2},
                                 {"HKLM", "HKEY_LOCAL_MACHINE", 3},
                                 {"HKU", "HKEY_USERS", 4}};
  for (const auto& root : kRoots) {
    if (SameName(name, root.shortName) || SameName(name, root.longName)) return root.number;
  }
  throw BadCommandLine("--reg: the key must begin with HKLM, HKCU, HKCR or HKU, not '" + name + "'");
}

std::string HexBytes(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c != ',' && c != ' ') hex += c;
  }
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const auto byte = hex.size() - i >= 2 ? Number(hex.substr(i, 2), 16) : std::nullopt;
    if (!byte) throw BadCommandLine("--reg: REG_BINARY data must be hex bytes (01,ff or 01ff), not '" + text + "'");
    bytes += static_cast<char>(*byte);
  }
  return bytes;
}

// The value's type flags and the bytes the setup file stores after its name.
cabinets::Setup::Value Value(const std::string& keyPath, const std::string& name, const std::string& type,
                             const std::string& data) {
  const size_t slash = keyPath.find('\\');
  if (slash == std::string::npos || slash + 1 == keyPath.size())
    throw BadCommandLine("--reg: the key must be ROOT\\PATH, not '" + keyPath + "'");
  cabinets::Setup::Value value{.key = keyPath.substr(slash + 1), .name = name, .flags = 0, .data = ""};
  value.root = Root(keyPath.substr(0, slash));
  if (SameName(type, "REG_SZ")) {
    value.data = data + '\0';
  } else if (SameName(type, "REG_MULTI_SZ")) {
    value.flags = 0x00010000;
    for (size_t start = 0;;) {
      const size_t separator = data.find("\\0", start);
      value.data += data.substr(start, separator - start) + '\0';
      if (separator == std::string::npos) break;
      start = separator + 2;
    }
    value.data += '\0';
  } else if (SameName(type, "REG_DWORD")) {
    const bool hex = data.rfind("0x", 0) == 0 || data.rfind("0X", 0) == 0;
    const auto number = Number(hex ? data.substr(2) : data, hex ? 16 : 10);
    if (!number) throw BadCommandLine("--reg: REG_DWORD data must be a number (40 or 0x28), not '" + data + "'");
    value.flags = 0x00010001;
    for (int i = 0; i < 4; ++i) value.data += static_cast<char>(*number >> (8 * i) & 0xFF);
  } else if (SameName(type, "REG_BINARY")) {
    value.flags = 0x00000001;
    value.data = HexBytes(data);
  } else {
    throw BadCommandLine("--reg: the type must be REG_SZ, REG_MULTI_SZ, REG_DWORD or REG_BINARY, not '" + type + "'");
  }
  return value;
}

struct CommandLine {
  std::string out;
  cabinets::CeCabinet cabinet;
  std::vector<std::pair<std::string, std::string>> shortcuts;  // path, the target's DEST
  std::vector<std::string> destinations;                      // DEST of each file
};

void AddFile(CommandLine* line, const std::string& hostFile, const std::string& destination) {
  const size_t slash = destination.rfind('\\');
  if (slash == std::string::npos || slash == 0 || slash + 1 == destination.size())
    throw BadCommandLine("--file: DEST must be FOLDER\\NAME, not '" + destination + "'");
  auto& files = line->cabinet.setup.files;
  if (files.size() == kMaxFiles) throw BadCommandLine("--file: a cabinet holds at most " + std::to_string(kMaxFiles) + " files");
  files.push_back({static_cast<uint16_t>(files.size() + 1), destination.substr(0, slash), destination.substr(slash + 1)});
  line->cabinet.fileBytes.push_back(ReadHostFile(hostFile));
  line->destinations.push_back(destination);
}

// Each shortcut points at the file installed as its DEST.
void AddShortcuts(CommandLine* line) {
  for (const auto& [path, target] : line->shortcuts) {
    size_t index = 0;
    while (index < line->destinations.size() && line->destinations[index] != target) ++index;
    if (index == line->destinations.size())
      throw BadCommandLine("--shortcut: no --file is installed as '" + target + "'");
    line->cabinet.setup.links.push_back({path, line->cabinet.setup.files[index].number});
  }
}

CommandLine Parse(int argc, char** argv) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    // The values the option takes, as many as it needs.
    auto take = [&](int count) {
      if (i + count >= argc) throw BadCommandLine(option + " needs " + std::to_string(count) + " value(s)");
      std::vector<std::string> values(argv + i + 1, argv + i + 1 + count);
      i += count;
      return values;
    };
    auto& setup = line.cabinet.setup;
    if (option == "--provider") {
      setup.provider = take(1)[0];
    } else if (option == "--app") {
      setup.appName = take(1)[0];
    } else if (option == "--file") {
      const auto values = take(2);
      AddFile(&line, values[0], values[1]);
    } else if (option == "--shortcut") {
      const auto values = take(2);
      line.shortcuts.emplace_back(values[0], values[1]);
    } else if (option == "--reg") {
      const auto values = take(4);
      setup.values.push_back(Value(values[0], values[1], values[2], values[3]));
    } else if (option == "--processor") {
      const std::string name = take(1)[0];
      const auto type = host::ProcessorType(name);
      if (!type) throw BadCommandLine("--processor must be a number or a name such as ARM, MIPS, SH3, SH4, X86, not '" + name + "'");
      setup.processor = *type;
    } else if (option == "--ce-version") {
      Versions(take(1)[0], &setup);
    } else if (option == "--ce-build") {
      Builds(take(1)[0], &setup);
    } else if (option == "--setup-dll") {
      line.cabinet.setupDll = ReadHostFile(take(1)[0]);
      if (line.cabinet.setupDll.empty()) throw BadCommandLine("--setup-dll: the file is empty");
    } else if (option == "--no-setup-file") {
      line.cabinet.withSetupFile = false;
    } else if (option == "--mszip") {
      line.cabinet.compress = true;
    } else if (option.rfind("--", 0) == 0 || !line.out.empty()) {
      throw BadCommandLine("unknown argument '" + option + "' (cecab --help)");
    } else {
      line.out = option;
    }
  }
  if (line.out.empty()) throw BadCommandLine("no OUT.cab named (cecab --help)");
  if (line.cabinet.withSetupFile && (line.cabinet.setup.provider.empty() || line.cabinet.setup.appName.empty()))
    throw BadCommandLine("--provider and --app are needed, and not empty, for the setup file");
  if (!line.cabinet.withSetupFile && line.cabinet.setup.files.empty() && line.cabinet.setupDll.empty())
    throw BadCommandLine("--no-setup-file: name a --file or --setup-dll, a cabinet holds at least one member");
  AddShortcuts(&line);
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::cout << kUsage;
      return 0;
    }
  }
  CommandLine line;
  try {
    line = Parse(argc, argv);
  } catch (const BadCommandLine& bad) {
    std::cerr << "cecab: " << bad.what() << "\n";
    return kBadCommandLine;
  } catch (const std::exception& failure) {
    std::cerr << "cecab: " << failure.what() << "\n";
    return 1;
  }
  try {
    const std::string cabinet = cabinets::MakeCe(line.cabinet);
    std::ofstream out(line.out, std::ios::binary | std::ios::trunc);
    if (!out.write(cabinet.data(), static_cast<std::streamsize>(cabinet.size())) || !out.flush())
      throw std::runtime_error("cannot write " + line.out);
  } catch (const std::exception& failure) {
    std::cerr << "cecab: " << failure.what() << "\n";
    return 1;
  }
  return 0;
}
