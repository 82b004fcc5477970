// The explanation of a run: which CAB Setup takes in which order and why it installs or
// passes over each, by Setup's own model table, inventory and comparisons, read from the
// twin before the run. The run itself decides; Judge.cpp compares the two.
#include "environment/DeviceProfile.h"
#include "install/CabInstaller.h"
#include "install/CabInventory.h"
#include "platform/host/Text.h"
#include "registry/RegistryValues.h"
#include "setup/InstallationPasses.h"
#include "terminal/rehearsal/TwinRun.h"

#include <algorithm>
#include <cstring>

namespace rehearsal {

namespace {

constexpr char16_t kPatchPattern[] = u"Patch*.cab";
constexpr char16_t kCabPattern[] = u"*.cab";
constexpr char16_t kDateTimeValue[] = u"DateTime";
constexpr DWORD kDateTimeBytes = 8;
constexpr DWORD kPlatformNameChars = 256;

// "KORVA LM310 CE4.10" and English: "LM310-en".
std::string KindOfRow(int row) {
  const std::string name = host::ToUtf8(g_modelTable[row].platformName);
  const size_t start = name.find(' ') + 1;
  const std::string model = name.substr(start, name.find(' ', start) - start);
  return model + (g_modelTable[row].language == LANG_JAPANESE ? "-ja" : "-en");
}

bool IsSameName(std::u16string_view a, std::u16string_view b) {
  const std::u16string first(a), second(b);
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, first.c_str(), -1, second.c_str(), -1) == CSTR_EQUAL;
}

// The names the terminal lists for `pattern` in `at`, in its own order.
std::vector<std::u16string> Listing(const std::u16string& at, const char16_t* pattern) {
  std::vector<std::u16string> names;
  const std::u16string search = at + u"\\" + pattern;
  WIN32_FIND_DATAW found;
  HANDLE handle = FindFirstFileW(search.c_str(), &found);
  if (handle == INVALID_HANDLE_VALUE) return names;
  do {
    names.emplace_back(found.cFileName);
  } while (FindNextFileW(handle, &found));
  FindClose(handle);
  return names;
}

// The service pack's last-write time equals the stored DateTime, as Setup compares them.
bool IsUnchanged(const std::u16string& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME lastWrite{0, 0};
  const bool timeRead = GetFileTime(file, nullptr, nullptr, &lastWrite) != 0;
  CloseHandle(file);
  BYTE bytes[kDateTimeBytes];
  for (DWORD i = 0; i < 4; ++i) {
    bytes[i] = static_cast<BYTE>(lastWrite.dwLowDateTime >> (8 * i));
    bytes[4 + i] = static_cast<BYTE>(lastWrite.dwHighDateTime >> (8 * i));
  }
  BYTE stored[kDateTimeBytes];
  DWORD size = kDateTimeBytes;
  if (!timeRead || !RegReadBinary(HKEY_LOCAL_MACHINE, SERVICE_PACK_KEY, kDateTimeValue, stored, &size)) return false;
  return size == kDateTimeBytes && std::memcmp(stored, bytes, kDateTimeBytes) == 0;
}

// The inventory and counters as Setup keeps them through its passes.
struct Simulation {
  std::u16string at;
  std::u16string servicePack;  // "" for a twin of no model
  std::vector<std::u16string> registered;  // the stored CabFile paths
  int count = 0;                           // every installed application
  int added = 0;                           // added since the inventory was read
  bool limitReached = false;
  std::vector<Expected> judged;
  const Applications* applications = nullptr;

  bool IsRegistered(const std::u16string& path) const {
    return std::any_of(registered.begin(), registered.end(), [&](const auto& cab) { return IsSameName(path, cab); });
  }
  Expected* Judged(const std::string& name) {
    const auto found = std::find_if(judged.begin(), judged.end(), [&](const Expected& e) { return e.name == name; });
    return found == judged.end() ? nullptr : &*found;
  }
  std::string ApplicationOf(const std::u16string& path) const {
    const auto found = applications->find(host::FoldCase(path));
    return found == applications->end() ? "" : found->second;
  }
  // What Setup installed counts once it reads the inventory again; until then `added`
  // holds it. A cabinet of an application that another path registered takes that
  // registration: the other path is no longer registered, and no application is added.
  std::vector<std::pair<std::u16string, bool>> installed;
  std::vector<std::u16string> taken;  // registrations another cabinet of their application took
  bool WasTaken(const std::u16string& path) const {
    return std::any_of(taken.begin(), taken.end(), [&](const auto& cab) { return IsSameName(path, cab); });
  }
  void Reload() {
    for (const auto& [path, isNew] : installed) {
      const std::string application = ApplicationOf(path);
      const auto sameApplication = [&](const std::u16string& other) {
        return !application.empty() && !IsSameName(other, path) && ApplicationOf(other) == application;
      };
      const auto gone = std::remove_if(registered.begin(), registered.end(), sameApplication);
      const bool replaced = gone != registered.end();
      taken.insert(taken.end(), gone, registered.end());
      registered.erase(gone, registered.end());
      if (isNew && !replaced) ++count;
      if (static_cast<int>(registered.size()) < MAX_CABS) registered.push_back(path);
    }
    installed.clear();
    added = 0;
  }
};

Simulation LoadSimulation(const std::u16string& at, const Profile& profile, const Applications& applications) {
  Simulation simulation;
  simulation.at = at;
  simulation.applications = &applications;
  simulation.servicePack = profile.servicePack;
  g_installedCabCount = 0;
  LoadInstalledCabList();
  simulation.count = g_installedCabCount;
  for (int i = 0; i < std::min(g_installedCabCount, MAX_CABS); ++i) simulation.registered.emplace_back(g_installedCabs[i]);
  return simulation;
}

// The service-pack step: installed unless registered with an unchanged DateTime.
void ExplainServicePack(Simulation& s, const std::vector<std::u16string>& all) {
  if (s.servicePack.empty()) return;
  const auto found = std::find_if(all.begin(), all.end(), [&](const auto& name) { return IsSameName(name, s.servicePack); });
  if (found == all.end()) return;
  // Setup builds the path from its table's spelling of the name, not the folder's.
  const std::u16string path = s.at + u"\\" + s.servicePack;
  Expected entry{host::ToUtf8(*found), path, Fate::Installed, "", 0};
  if (path.size() >= INSTALLED_CAB_CHARS) {
    entry.fate = Fate::PathTooLong;
    s.judged.push_back(entry);
    return;
  }
  const bool registered = s.IsRegistered(path);
  if (!registered) s.added = 1;
  if (registered && IsUnchanged(path)) {
    entry.fate = Fate::SkippedUnchanged;
  } else if (s.count + s.added > MAX_CABS) {
    entry.fate = Fate::NotReachedLimit;
    s.limitReached = true;
  } else {
    s.installed.emplace_back(path, !registered);
  }
  s.judged.push_back(entry);
}

// A service pack of another model, which this twin installs as an ordinary CAB.
bool IsOtherServicePack(const std::u16string& name) {
  for (int row = 0; row < MODEL_NONE; ++row) {
    if (IsSameName(name, g_modelTable[row].baseCabName)) return true;
  }
  return false;
}

// One pass over `names` as Setup admits them: the limit counts registered CABs too
// and ends the search at the first CAB past it.
void ExplainPass(Simulation& s, const std::vector<std::u16string>& names, int pass) {
  std::vector<Expected> entries;
  int admitted = 0;
  for (const auto& name : names) {
    if (!s.servicePack.empty() && IsSameName(name, s.servicePack)) continue;
    const std::u16string path = s.at + u"\\" + name;
    const std::string shown = host::ToUtf8(name);
    Expected* judged = s.Judged(shown);
    // The patch pass judged it; the other pass takes it again when a cabinet of its
    // application took its registration in between.
    const bool again = judged != nullptr && s.WasTaken(path);
    Expected entry{shown, path, Fate::Installed, "", pass};
    if (s.limitReached) {
      entry.fate = Fate::NotReachedLimit;
    } else if (path.size() >= INSTALLED_CAB_CHARS) {
      entry.fate = Fate::PathTooLong;
    } else {
      const bool registered = s.IsRegistered(path);
      if (!registered) ++s.added;
      if (s.count + s.added > MAX_CABS || (!registered && admitted >= MAX_CABS)) {
        s.limitReached = true;
        entry.fate = Fate::NotReachedLimit;
      } else if (registered) {
        entry.fate = Fate::SkippedRegistered;
      } else {
        entry.fate = IsOtherServicePack(name) ? Fate::InstalledOtherModel : Fate::Installed;
        ++admitted;
      }
    }
    if (!judged) {
      entries.push_back(entry);
    } else if (again && entry.fate == Fate::Installed) {
      judged->fate = judged->fate == Fate::Installed ? Fate::InstalledTwice : Fate::Installed;
      judged->pass = pass;
      s.installed.emplace_back(path, false);
    }
  }
  // Installed in code-unit order of their paths, as Setup sorts its pending list.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Expected& a, const Expected& b) { return host::ToSortKey(a.path) < host::ToSortKey(b.path); });
  for (auto& entry : entries) {
    if (entry.fate == Fate::Installed || entry.fate == Fate::InstalledOtherModel) s.installed.emplace_back(entry.path, true);
    s.judged.push_back(entry);
  }
}

}  // namespace

std::vector<std::string> AllKinds() {
  std::vector<std::string> kinds;
  for (int row = 0; row < MODEL_NONE; ++row) kinds.push_back(KindOfRow(row));
  return kinds;
}

std::string ServicePackNameOfKind(const std::string& kind) {
  for (int row = 0; row < MODEL_NONE; ++row) {
    if (KindOfRow(row) == kind) return host::ToUtf8(g_modelTable[row].baseCabName);
  }
  return "";
}

Profile ReadProfile() {
  Profile profile;
  g_modelIndex = MODEL_NONE;
  profile.platformRead = DetectDeviceProfile() != 0;
  profile.language = g_languageIndex;
  WCHAR name[kPlatformNameChars] = {};
  if (RegReadString(HKEY_LOCAL_MACHINE, u"Platform", u"Name", name, kPlatformNameChars))
    profile.platformName = host::ToUtf8(name);
  const std::string language = g_languageIndex == LANG_JAPANESE ? "-ja" : "-en";
  profile.kind = g_modelIndex < MODEL_NONE ? KindOfRow(g_modelIndex) : (profile.platformRead ? "unknown" : "none") + language;
  const WCHAR* servicePack = profile.platformRead ? ServicePackCabName() : nullptr;
  if (servicePack != nullptr) profile.servicePack = servicePack;
  return profile;
}

bool HoldsServicePack(const std::u16string& at, const Profile& profile) {
  const std::vector<std::u16string> all = Listing(at, kCabPattern);
  return std::any_of(all.begin(), all.end(), [&](const auto& name) { return IsSameName(name, profile.servicePack); });
}

std::vector<Expected> ExplainRun(const std::u16string& at, const Profile& profile, const Applications& applications) {
  Simulation s = LoadSimulation(at, profile, applications);
  const std::vector<std::u16string> all = Listing(at, kCabPattern);
  ExplainServicePack(s, all);
  ExplainPass(s, Listing(at, kPatchPattern), 1);
  // The inventory is read again: what the service pack and the patches registered counts.
  s.Reload();
  ExplainPass(s, all, 2);
  if (!profile.platformRead) {
    for (auto& entry : s.judged) {
      entry.fate = Fate::NotReachedError;
      entry.reason = "Platform\\Name cannot be read: Setup stops before installing";
    }
  }
  return s.judged;
}

}  // namespace rehearsal
