// Everything an installation does before it writes: the cabinet read whole, its setup
// file found, parsed and checked against the terminal, the application named and every
// destination planned and checked. The installer and the folder check share it.
#include "terminal/wceload/Installer.h"

#include "platform/host/Text.h"

#include <algorithm>

namespace wceload {

namespace {

constexpr std::u16string_view kProgramFiles = u"\\Program Files\\";
constexpr std::u16string_view kSetupDllExtension = u".999";
constexpr char16_t kUnnamed[] = u"_";

// The application's name as one folder name: "Provider AppName" from the setup file;
// the cabinet's base name where nothing of those names is left once made safe.
std::u16string ApplicationName(const SetupFile& setupFile, const std::u16string& cabPath) {
  std::u16string name = SafeComponent(setupFile.provider + u" " + setupFile.appName);
  if (name.empty()) name = SafeComponent(CabinetBaseName(cabPath));
  return name.empty() ? std::u16string(kUnnamed) : name;
}

bool PathsFit(const InstallPlan& plan, std::string* why) {
  size_t longest = 0;
  for (const auto& folder : plan.folders) longest = std::max(longest, folder.size());
  for (const auto& file : plan.files) longest = std::max(longest, file.path.size());
  for (const auto& shortcut : plan.shortcuts) longest = std::max(longest, shortcut.path.size());
  if (longest < MAX_PATH) return true;
  *why = "a member's path would be " + std::to_string(longest) + " characters long";
  return false;
}

// Reads and checks the setup file at `index` and plans what it installs.
ExitCode PlanFromSetupFile(const std::vector<std::u16string>& safeNames, size_t index, AnsiCodePage& codePage,
                           const std::u16string& cabPath, PreparedCabinet* prepared, std::string* why) {
  SetupFile setupFile;
  if (!ParseSetupFile(prepared->members[index].data, codePage, &setupFile, why)) return kDamaged;
  if (const ExitCode device = CheckDevice(setupFile, why); device != kInstalled) return device;
  prepared->application = ApplicationName(setupFile, cabPath);
  prepared->plan.installDir = std::u16string(kProgramFiles) + prepared->application;
  return PlanSetupFile(setupFile, prepared->members, safeNames, prepared->plan.installDir, &prepared->plan, why);
}

bool IsSetupDll(const std::u16string& safeName) {
  return safeName.size() >= kSetupDllExtension.size() &&
         host::EqualsIgnoreCase(std::u16string_view(safeName).substr(safeName.size() - kSetupDllExtension.size()),
                                kSetupDllExtension);
}

}  // namespace

ExitCode PrepareCabinet(const std::u16string& cabPath, PreparedCabinet* prepared, std::string* why) {
  if (const ExitCode read = ReadCabinet(cabPath, &prepared->members, why); read != kInstalled) return read;
  AnsiCodePage codePage;
  std::vector<std::u16string> safeNames;
  safeNames.reserve(prepared->members.size());
  for (const auto& member : prepared->members) {
    safeNames.push_back(SafeRelativePath(DecodeName(member.rawName, member.utf8Name, codePage)));
  }
  prepared->setupDll = std::any_of(safeNames.begin(), safeNames.end(), IsSetupDll);
  const auto setupIndex = FindSetupFile(safeNames);
  if (!setupIndex) {
    *why = "the cabinet has no setup file (.000 member), which the terminal's installer refuses as not a valid setup "
           "file";
    return kNoSetupFile;
  }
  const ExitCode planned = PlanFromSetupFile(safeNames, *setupIndex, codePage, cabPath, prepared, why);
  if (planned != kInstalled) return planned;
  return PathsFit(prepared->plan, why) ? kInstalled : kRefused;
}

}  // namespace wceload
