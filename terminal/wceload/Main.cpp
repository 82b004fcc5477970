// \Windows\wceload.exe of the emulated terminal: installs the cabinet named by the whole
// command line (no options; the path may hold blanks) as its setup file says, and
// records it in SOFTWARE\Apps\<application>. It never deletes the cabinet.
//
// NOTES: Windows CE's wceload takes options (/noaskdest, /delete n, /noui...), deletes
// the cabinet by default, asks questions, runs the setup DLL (".999") and keeps an
// uninstall record. This one knows no options, never asks, keeps the cabinet (as
// /delete 0) and runs no setup DLL.
#include "terminal/wceload/Installer.h"

#include "platform/host/Errors.h"
#include "platform/host/Journal.h"
#include "platform/host/Text.h"

#include <cstdio>

namespace wceload {

namespace {

// A refusal or failure: the line on standard error, and the same reason in the journal.
int Refuse(const std::u16string& cabPath, ExitCode code, const std::string& why) {
  ReportLine(cabPath, why);
  Record(cabPath, "installer-error", {{"cab", cabPath}, {"reason", host::FromUtf8(why)}});
  return code;
}

int Install(const std::u16string& cabPath) {
  if (cabPath.empty()) return Refuse(cabPath, kNoCabinetNamed, "no cabinet named: the command line is the cabinet's path");
  std::string why;
  Undo undo;
  try {
    PreparedCabinet prepared;
    if (const ExitCode ready = PrepareCabinet(cabPath, &prepared, &why); ready != kInstalled)
      return Refuse(cabPath, ready, why);
    if (!WriteFiles(prepared.plan, cabPath, &undo, &why) || !WriteValues(prepared.plan, cabPath, &undo, &why) ||
        !RegisterApplication(prepared.application, cabPath, prepared.plan.installDir, &why)) {
      undo.Run();
      return Refuse(cabPath, kInstallFailed, why);
    }
    // Which application a cabinet installed as: two cabinets of one take each other's CabFile.
    Record(cabPath, "installer-registered", {{"cab", cabPath}, {"application", prepared.application}});
    return kInstalled;
  } catch (const host::HostError& e) {
    // The terminal's own database failed under a call outside the CE API (the host full
    // past its reserve): what was written goes, as after a failed write.
    undo.Run();
    return Refuse(cabPath, kInstallFailed, e.what());
  }
}

}  // namespace

void ReportLine(const std::u16string& cabPath, const std::string& message) {
  std::fprintf(stderr, "wceload: %s: %s\n", host::ToUtf8(cabPath).c_str(), message.c_str());
}

void Record(const std::u16string& cabPath, const char* event, std::initializer_list<host::JournalField> fields) {
  try {
    host::Journal(event, fields);
  } catch (const host::HostError& e) {
    ReportLine(cabPath, std::string("the journal lost its ") + event + " event: " + e.what());
  }
}

}  // namespace wceload

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
  return wceload::Install(lpCmdLine ? std::u16string(lpCmdLine) : std::u16string());
}
