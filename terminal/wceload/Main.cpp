// \Windows\wceload.exe of the emulated terminal: installs the cabinet named by the whole
// command line (no options; the path may hold blanks) as its setup file says, and
// records it in SOFTWARE\Apps\<application>. It never deletes the cabinet.
//
// NOTES: Windows CE's wceload takes options (/noaskdest, /delete n, /noui...), deletes
// the cabinet by default, asks questions, runs the setup DLL (".999") and keeps an
// uninstall record. This one knows no options, never asks, keeps the cabinet (as
// /delete 0) and runs no setup DLL.
#include "terminal/wceload/Installer.h"

#include "platform/host/Terminal.h"

#include <algorithm>
#include <cstdio>

namespace wceload {

namespace {

constexpr std::u16string_view kProgramFiles = u"\\Program Files\\";
constexpr char16_t kUnnamed[] = u"_";

// A refusal or failure: the line on standard error, and the same reason in the journal.
int Refuse(const std::u16string& cabPath, ExitCode code, const std::string& why) {
  ReportLine(cabPath, why);
  host::Journal("installer-error", {{"cab", cabPath}, {"reason", host::FromUtf8(why)}});
  return code;
}

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
ExitCode PlanFromSetupFile(const std::vector<Member>& members, const std::vector<std::u16string>& safeNames,
                           size_t index, UINT codePage, const std::u16string& cabPath, std::u16string* application,
                           InstallPlan* plan, std::string* why) {
  SetupFile setupFile;
  if (!ParseSetupFile(members[index].data, codePage, &setupFile, why)) return kDamaged;
  if (const ExitCode device = CheckDevice(setupFile, why); device != kInstalled) return device;
  *application = ApplicationName(setupFile, cabPath);
  return PlanSetupFile(setupFile, members, safeNames, std::u16string(kProgramFiles) + *application, plan, why);
}

int Install(const std::u16string& cabPath) {
  if (cabPath.empty()) return Refuse(cabPath, kNoCabinetNamed, "no cabinet named: the command line is the cabinet's path");
  std::string why;
  std::vector<Member> members;
  if (const ExitCode read = ReadCabinet(cabPath, &members, &why); read != kInstalled) return Refuse(cabPath, read, why);
  const UINT codePage = AnsiCodePage();
  std::vector<std::u16string> safeNames;
  safeNames.reserve(members.size());
  for (const auto& member : members) {
    safeNames.push_back(SafeRelativePath(DecodeName(member.rawName, member.utf8Name, codePage)));
  }
  const auto setupIndex = FindSetupFile(safeNames);
  if (!setupIndex) {
    return Refuse(cabPath, kNoSetupFile,
                  "the cabinet has no setup file (.000 member), which the terminal's installer refuses as not a "
                  "valid setup file");
  }
  std::u16string application;
  InstallPlan plan;
  const ExitCode planned =
      PlanFromSetupFile(members, safeNames, *setupIndex, codePage, cabPath, &application, &plan, &why);
  if (planned != kInstalled) return Refuse(cabPath, planned, why);
  if (!PathsFit(plan, &why)) return Refuse(cabPath, kRefused, why);
  const std::u16string folder = std::u16string(kProgramFiles) + application;
  Undo undo;
  if (!WriteFiles(plan, cabPath, &undo, &why) || !WriteValues(plan, cabPath, &undo, &why) ||
      !RegisterApplication(application, cabPath, folder, &why)) {
    undo.Run();
    return Refuse(cabPath, kInstallFailed, why);
  }
  // Which application a cabinet installed as: two cabinets of one take each other's CabFile.
  host::Journal("installer-registered", {{"cab", cabPath}, {"application", application}});
  return kInstalled;
}

}  // namespace

void ReportLine(const std::u16string& cabPath, const std::string& message) {
  std::fprintf(stderr, "wceload: %s: %s\n", host::ToUtf8(cabPath).c_str(), message.c_str());
}

}  // namespace wceload

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
  return wceload::Install(lpCmdLine ? std::u16string(lpCmdLine) : std::u16string());
}
