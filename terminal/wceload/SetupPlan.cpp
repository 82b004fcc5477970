// From a parsed setup file to what the installation writes: the device check, the
// folder macros, the members behind the files, and the checks that keep every
// destination a plain path of the terminal and every key under its root.
//
// NOTES: the folder macros are those of Windows CE (%CE11% is \Windows\Programs), not
// the Pocket PC ones; a shortcut's base folder n is %CEn%; a path without a macro is
// taken from the root, as CE has no current folder.
#include "terminal/wceload/Installer.h"

#include "platform/host/DeviceIdentity.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#include <map>
#include <set>

namespace wceload {

namespace {

constexpr const char16_t* kMacroFolders[] = {
    u"\\Program Files",          u"\\Windows",
    u"\\Windows\\Desktop",       u"\\Windows\\StartUp",
    u"\\My Documents",           u"\\Program Files\\Accessories",
    u"\\Program Files\\Communications", u"\\Program Files\\Games",
    u"\\Program Files\\Pocket Outlook", u"\\Program Files\\Office",
    u"\\Windows\\Programs",      u"\\Windows\\Programs\\Accessories",
    u"\\Windows\\Programs\\Communications", u"\\Windows\\Programs\\Games",
    u"\\Windows\\Fonts",         u"\\Windows\\Recent",
    u"\\Windows\\Favorites",
};
constexpr size_t kMacroCount = sizeof kMacroFolders / sizeof kMacroFolders[0];
constexpr std::u16string_view kSetupFileExtension = u".000";
constexpr std::u16string_view kShortcutExtension = u".lnk";
constexpr size_t kMaxKeyNameLength = 255;
// The setup file's root numbers (1 to 4; the file is refused for any other) as the
// terminal's roots.
constexpr host::RegistryRoot kRoots[] = {host::RegistryRoot::LocalMachine /* no root 0 */, host::RegistryRoot::ClassesRoot,
                                         host::RegistryRoot::CurrentUser, host::RegistryRoot::LocalMachine,
                                         host::RegistryRoot::Users};

std::string Utf8(std::u16string_view text) { return host::ToUtf8(text); }

bool EndsWithIgnoreCase(std::u16string_view text, std::u16string_view end) {
  return text.size() >= end.size() && host::EqualsIgnoreCase(text.substr(text.size() - end.size()), end);
}

// The folder a macro at `text`'s start stands for, and its length; nullopt for none.
std::optional<std::pair<std::u16string, size_t>> MacroAt(std::u16string_view text, const std::u16string& installDir) {
  if (text.empty() || text[0] != u'%') return std::nullopt;
  const size_t close = text.find(u'%', 1);
  if (close == std::u16string_view::npos) return std::nullopt;
  const std::u16string_view name = text.substr(1, close - 1);
  if (host::EqualsIgnoreCase(name, u"InstallDir")) return std::make_pair(installDir, close + 1);
  if (name.size() < 3 || name.size() > 4 || !host::EqualsIgnoreCase(name.substr(0, 2), u"CE")) return std::nullopt;
  size_t number = 0;
  for (char16_t c : name.substr(2)) {
    if (c < u'0' || c > u'9') return std::nullopt;
    number = number * 10 + (c - u'0');
  }
  if (number == 0 || number > kMacroCount) return std::nullopt;
  return std::make_pair(std::u16string(kMacroFolders[number - 1]), close + 1);
}

// Every macro in `text` replaced by its folder (registry texts marked for it).
std::u16string SubstituteMacros(std::u16string_view text, const std::u16string& installDir) {
  std::u16string result;
  for (size_t i = 0; i < text.size();) {
    if (const auto macro = MacroAt(text.substr(i), installDir)) {
      result += macro->first;
      i += macro->second;
    } else {
      result += text[i++];
    }
  }
  return result;
}

// The components as a CE path: a macro may open it; every component must be a plain
// name the terminal can store ("..", "." and forbidden characters refuse it).
bool ResolvePath(const std::vector<std::u16string>& components, const std::u16string& prefix,
                 const std::u16string& installDir, std::u16string* path, std::string* why) {
  std::u16string joined;
  for (const auto& component : components) joined += (joined.empty() ? u"" : u"\\") + component;
  *path = prefix;
  std::u16string_view rest = joined;
  if (const auto macro = MacroAt(rest, installDir); macro && prefix.empty()) {
    *path = macro->first;
    rest.remove_prefix(macro->second);
  }
  while (!rest.empty()) {
    const size_t slash = rest.find(u'\\');
    const std::u16string_view name = rest.substr(0, slash);
    rest = slash == std::u16string_view::npos ? std::u16string_view() : rest.substr(slash + 1);
    if (name.empty()) continue;
    if (SafeComponent(name) != name || name.find(u'%') != std::u16string_view::npos) {
      *why = "the destination " + Utf8(joined) + " is not a plain path of the terminal";
      return false;
    }
    *path += u"\\" + std::u16string(name);
  }
  if (path->empty()) *path = u"\\";
  return true;
}

// A key under its root: components of at most 255 characters, none empty, "." or "..".
bool ResolveKey(const std::vector<std::u16string>& components, std::u16string* key, std::string* why) {
  key->clear();
  for (const auto& component : components) *key += (key->empty() ? u"" : u"\\") + component;
  std::u16string_view rest = *key;
  for (size_t slash = 0; slash != std::u16string_view::npos; rest = rest.substr(slash + 1)) {
    slash = rest.find(u'\\');
    const std::u16string_view name = rest.substr(0, slash);
    if (name.empty() || name == u"." || name == u".." || name.size() > kMaxKeyNameLength) {
      *why = "the registry key " + Utf8(*key) + " would leave its root";
      return false;
    }
    if (slash == std::u16string_view::npos) break;
  }
  return true;
}

std::string TextBytes(const std::vector<std::u16string>& texts, bool multi) {
  std::u16string all;
  for (const auto& text : texts) all += text + u'\0';
  if (multi) all += u'\0';
  return std::string(reinterpret_cast<const char*>(all.data()), all.size() * sizeof(char16_t));
}

ExitCode PlanValues(const SetupFile& setupFile, const std::u16string& installDir, InstallPlan* plan, std::string* why) {
  for (const auto& value : setupFile.values) {
    std::u16string key;
    if (!ResolveKey(value.key, &key, why)) return kRefused;
    InstallValue write{.root = kRoots[value.root], .key = key, .name = value.name, .type = value.type,
                       .data = value.bytes, .noClobber = value.noClobber};
    if (value.type == REG_SZ || value.type == REG_MULTI_SZ) {
      std::vector<std::u16string> texts = value.texts;
      if (value.substitute) {
        for (auto& text : texts) text = SubstituteMacros(text, installDir);
      }
      write.data = TextBytes(texts, value.type == REG_MULTI_SZ);
    }
    plan->values.push_back(std::move(write));
  }
  return kInstalled;
}

// The member "*.NNN" for each file number; a later member of a number replaces an earlier one.
std::map<uint16_t, size_t> MembersByNumber(const std::vector<std::u16string>& safeNames) {
  std::map<uint16_t, size_t> members;
  for (size_t i = 0; i < safeNames.size(); ++i) {
    const std::u16string& name = safeNames[i];
    if (name.size() < 4 || name[name.size() - 4] != u'.') continue;
    uint16_t number = 0;
    bool digits = true;
    for (char16_t c : std::u16string_view(name).substr(name.size() - 3)) {
      digits = digits && c >= u'0' && c <= u'9';
      number = static_cast<uint16_t>(number * 10 + (c - u'0'));
    }
    if (digits && number != 0) members[number] = i;
  }
  return members;
}

ExitCode PlanFiles(const SetupFile& setupFile, const std::vector<Member>& members,
                   const std::vector<std::u16string>& safeNames, const std::u16string& installDir,
                   std::map<uint16_t, std::u16string>* folders, InstallPlan* plan, std::string* why) {
  for (const auto& folder : setupFile.folders) {
    if (!ResolvePath(folder.components, u"", installDir, &(*folders)[folder.id], why)) return kRefused;
  }
  const auto memberOf = MembersByNumber(safeNames);
  for (const auto& file : setupFile.files) {
    const auto folder = folders->find(file.folder);
    const auto member = memberOf.find(file.number);
    if (folder == folders->end() || member == memberOf.end()) {
      *why = "the setup file's " + Utf8(file.name) + " has no " + (member == memberOf.end() ? "member" : "folder");
      return kDamaged;
    }
    if (SafeComponent(file.name) != file.name) {
      *why = "the file name " + Utf8(file.name) + " is not a plain name";
      return kRefused;
    }
    const std::u16string path = (folder->second == u"\\" ? u"" : folder->second) + u"\\" + file.name;
    plan->files.push_back({path, &members[member->second].data, file.flags, members[member->second].writeTime});
  }
  return kInstalled;
}

// The CE shortcut file's text: the length of the quoted target, '#', the quoted target.
std::string ShortcutText(const std::u16string& target) {
  const std::string quoted = "\"" + EncodeText(target, AnsiCodePage().Get()) + "\"";
  return std::to_string(quoted.size()) + "#" + quoted;
}

ExitCode PlanLinks(const SetupFile& setupFile, const std::map<uint16_t, std::u16string>& folders,
                   const std::u16string& installDir, InstallPlan* plan, std::string* why) {
  for (const auto& link : setupFile.links) {
    std::u16string target;
    if (link.toFile) {
      for (size_t i = 0; i < setupFile.files.size(); ++i) {
        if (setupFile.files[i].number == link.target) target = plan->files[i].path;
      }
    } else if (const auto folder = folders.find(link.target); folder != folders.end()) {
      target = folder->second;
    }
    if (target.empty() || link.base > kMacroCount) {
      *why = "a shortcut of the setup file names no target or base folder";
      return kDamaged;
    }
    const std::u16string base = link.base == 0 ? u"" : kMacroFolders[link.base - 1];
    std::u16string path;
    if (!ResolvePath(link.components, base, installDir, &path, why)) return kRefused;
    if (!EndsWithIgnoreCase(path, kShortcutExtension)) path += kShortcutExtension;
    plan->shortcuts.push_back({path, target, ShortcutText(target)});
  }
  return kInstalled;
}

std::u16string ParentOf(const std::u16string& path) { return path.substr(0, path.rfind(u'\\')); }

// Two writes to one path, or a file where a folder must be, refuse the cabinet.
ExitCode CheckCollisions(InstallPlan* plan, std::string* why) {
  std::set<std::u16string> written;
  auto claim = [&](const std::u16string& path) {
    if (written.insert(host::FoldCase(path)).second) return true;
    *why = "two of the setup file's files go to " + Utf8(path);
    return false;
  };
  for (const auto& file : plan->files) {
    if (!claim(file.path)) return kRefused;
    AddFolder(ParentOf(file.path), plan);
  }
  for (const auto& shortcut : plan->shortcuts) {
    if (!claim(shortcut.path)) return kRefused;
    AddFolder(ParentOf(shortcut.path), plan);
  }
  for (const auto& folder : plan->folders) {
    if (written.count(host::FoldCase(folder))) {
      *why = Utf8(folder) + " is both a file and a folder of the setup file";
      return kRefused;
    }
  }
  return kInstalled;
}

}  // namespace

std::optional<size_t> FindSetupFile(const std::vector<std::u16string>& safeNames) {
  for (size_t i = 0; i < safeNames.size(); ++i) {
    if (EndsWithIgnoreCase(safeNames[i], kSetupFileExtension)) return i;
  }
  return std::nullopt;
}

ExitCode CheckDevice(const SetupFile& setupFile, std::string* why) {
  const host::DeviceIdentity terminal = host::TerminalDeviceIdentity();
  const auto version = [](uint32_t major, uint32_t minor) { return static_cast<uint64_t>(major) << 32 | minor; };
  const uint64_t terminalVersion = version(terminal.major, terminal.minor);
  const uint64_t minVersion = version(setupFile.minMajor, setupFile.minMinor);
  const uint64_t maxVersion = version(setupFile.maxMajor, setupFile.maxMinor);
  const auto versionText = [](uint32_t major, uint32_t minor) {
    return std::to_string(major) + "." + (minor < 10 ? "0" : "") + std::to_string(minor);
  };
  if (setupFile.processor != 0 && setupFile.processor != terminal.processor) {
    *why = "the cabinet is for processor type " + std::to_string(setupFile.processor) + ", the terminal's is " +
           std::to_string(terminal.processor);
  } else if ((minVersion != 0 && terminalVersion < minVersion) || (maxVersion != 0 && terminalVersion > maxVersion) ||
             (setupFile.minBuild != 0 && terminal.build < setupFile.minBuild) ||
             (setupFile.maxBuild != 0 && terminal.build > setupFile.maxBuild)) {
    *why = "the cabinet is for Windows CE " + versionText(setupFile.minMajor, setupFile.minMinor) + " to " +
           versionText(setupFile.maxMajor, setupFile.maxMinor) + ", builds " + std::to_string(setupFile.minBuild) +
           " to " + std::to_string(setupFile.maxBuild) + "; the terminal runs " +
           versionText(terminal.major, terminal.minor) + " build " + std::to_string(terminal.build);
  } else {
    return kInstalled;
  }
  return kWrongDevice;
}

ExitCode PlanSetupFile(const SetupFile& setupFile, const std::vector<Member>& members,
                       const std::vector<std::u16string>& safeNames, const std::u16string& installDir,
                       InstallPlan* plan, std::string* why) {
  AddFolder(installDir, plan);
  std::map<uint16_t, std::u16string> folders;
  ExitCode result = PlanFiles(setupFile, members, safeNames, installDir, &folders, plan, why);
  if (result == kInstalled) result = PlanLinks(setupFile, folders, installDir, plan, why);
  if (result == kInstalled) result = PlanValues(setupFile, installDir, plan, why);
  if (result == kInstalled) result = CheckCollisions(plan, why);
  return result;
}

void AddFolder(const std::u16string& folder, InstallPlan* plan) {
  if (folder.empty() || folder == u"\\") return;
  if (plan->folderKeys.count(host::FoldCase(folder))) return;
  AddFolder(ParentOf(folder), plan);
  plan->folderKeys.insert(host::FoldCase(folder));
  plan->folders.push_back(folder);
}

}  // namespace wceload
