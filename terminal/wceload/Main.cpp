// \Windows\wceload.exe of the emulated terminal: installs the cabinet named by the whole
// command line (no options; the path may hold blanks) under \Program Files\<application>
// and records it in SOFTWARE\Apps\<application>. It never deletes the cabinet.
//
// NOTES: Windows CE's wceload takes options (/noaskdest, /delete n, /noui...), deletes
// the cabinet by default, asks questions, and follows the setup file's own folders,
// registry entries and shortcuts. This one knows no options, never asks, keeps the
// cabinet (as /delete 0), and places every member under its own name.
#include "terminal/wceload/Installer.h"

#include "platform/host/HostInternal.h"

#include <algorithm>
#include <cstdio>

namespace wceload {

namespace {

constexpr std::u16string_view kProgramFiles = u"\\Program Files\\";
constexpr char16_t kUnnamed[] = u"_";

// One line on standard error, for people reading a run.
void Report(const std::u16string& cabPath, const std::string& message) {
  std::fprintf(stderr, "wceload: %s: %s\n", host::ToUtf8(cabPath).c_str(), message.c_str());
}

// The application's name as one folder name: from the setup file when it has a usable
// one, else the cabinet's base name.
std::u16string ApplicationName(const std::vector<Member>& members, const std::vector<std::u16string>& safeNames,
                               UINT codePage, const std::u16string& cabPath) {
  if (const auto fromSetupFile = SetupFileApplication(members, safeNames, codePage)) {
    std::u16string name = SafeComponent(*fromSetupFile);
    if (!name.empty()) return name;
  }
  const std::u16string name = SafeComponent(CabinetBaseName(cabPath));
  return name.empty() ? std::u16string(kUnnamed) : name;
}

bool PathsFit(const std::u16string& folder, const Plan& plan, std::string* why) {
  size_t longest = folder.size();
  for (const auto& file : plan.files) longest = std::max(longest, folder.size() + 1 + file.relativePath.size());
  if (longest < MAX_PATH) return true;
  *why = "a member's path would be " + std::to_string(longest) + " characters long";
  return false;
}

int Install(const std::u16string& cabPath) {
  if (cabPath.empty()) {
    Report(cabPath, "no cabinet named: the command line is the cabinet's path");
    return kNoCabinetNamed;
  }
  std::string why;
  std::vector<Member> members;
  if (const ExitCode read = ReadCabinet(cabPath, &members, &why); read != kInstalled) {
    Report(cabPath, why);
    return read;
  }
  const UINT codePage = AnsiCodePage();
  std::vector<std::u16string> safeNames;
  safeNames.reserve(members.size());
  for (const auto& member : members) {
    safeNames.push_back(SafeRelativePath(DecodeName(member.rawName, member.utf8Name, codePage)));
  }
  const std::u16string application = ApplicationName(members, safeNames, codePage, cabPath);
  const std::u16string folder = std::u16string(kProgramFiles) + application;
  Plan plan;
  if (!PlanMembers(members, safeNames, &plan, &why) || !PathsFit(folder, plan, &why)) {
    Report(cabPath, why);
    return kRefused;
  }
  Undo undo;
  if (!WritePlan(folder, plan, &undo, &why) || !RegisterApplication(application, cabPath, folder, &why)) {
    undo.Run();
    Report(cabPath, why);
    return kInstallFailed;
  }
  return kInstalled;
}

}  // namespace

}  // namespace wceload

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
  return wceload::Install(lpCmdLine ? std::u16string(lpCmdLine) : std::u16string());
}
