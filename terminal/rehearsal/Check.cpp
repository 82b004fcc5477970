// The folder check: every cabinet read as the terminal's installer reads it, on a
// scratch terminal of the plan's device, nothing installed; with what the folder's
// listing tells, every problem of the folder at once.
#include "platform/host/DeviceIdentity.h"
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "terminal/rehearsal/TwinRun.h"
#include "terminal/wceload/Installer.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

// The problem the installer would stop at, as a warning about `cab`.
std::optional<Warning> ProblemOf(const std::string& cab, wceload::ExitCode code, const std::string& why) {
  switch (code) {
    case wceload::kInstalled:
      return std::nullopt;
    case wceload::kNoSetupFile:
      return Warning{WarningKind::NoSetupFile, cab, cab + ": " + why};
    case wceload::kWrongDevice:
      return Warning{WarningKind::DeviceMismatch, cab, cab + ": " + why};
    default:
      return Warning{WarningKind::Damaged, cab, cab + ": the installer refuses it: " + why};
  }
}

// The cabinets Setup would hand to the installer: what the terminal lists as *.cab.
std::vector<std::u16string> Cabinets(const std::u16string& at) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((at + u"\\*.cab").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void CabinetWarnings(const Plan& plan, std::vector<Warning>& warnings) {
  std::map<std::u16string, std::vector<std::string>> cabsOfApplication;  // by the folded name
  std::map<std::u16string, std::u16string> applicationNames;
  for (const auto& name : Cabinets(plan.at)) {
    const std::string cab = host::ToUtf8(name);
    // A file that is no cabinet at all is told by the listing already.
    const bool listedAsNone = std::any_of(warnings.begin(), warnings.end(), [&](const Warning& w) {
      return w.cab == cab && (w.kind == WarningKind::NotACabinet || w.kind == WarningKind::FolderNamedCab);
    });
    if (listedAsNone) continue;
    wceload::PreparedCabinet prepared;
    std::string why;
    const wceload::ExitCode code = wceload::PrepareCabinet(plan.at + u"\\" + name, &prepared, &why);
    if (auto problem = ProblemOf(cab, code, why)) {
      warnings.push_back(*problem);
      continue;
    }
    if (prepared.setupDll) {
      warnings.push_back({WarningKind::SetupDll, cab,
                          cab + " holds a setup DLL (.999 member): what it does on a terminal is not rehearsed"});
    }
    const std::u16string key = host::FoldCase(prepared.application);
    cabsOfApplication[key].push_back(cab);
    applicationNames[key] = prepared.application;
  }
  for (const auto& [key, cabs] : cabsOfApplication) {
    if (cabs.size() < 2) continue;
    std::string names;
    for (size_t i = 0; i < cabs.size(); ++i) names += (i == 0 ? "" : i + 1 == cabs.size() ? " and " : ", ") + cabs[i];
    warnings.push_back({WarningKind::SameApplication, cabs.front(),
                        names + " register one application (SOFTWARE\\Apps\\" + host::ToUtf8(applicationNames[key]) +
                            "): the later takes the earlier's registration, so the earlier is installed again at every "
                            "start"});
  }
}

}  // namespace

std::vector<Warning> CheckFolder(const Plan& plan, const std::string& scratch) {
  std::vector<Warning> warnings = FolderWarnings(plan);
  std::error_code ec;
  fs::remove_all(scratch, ec);
  try {
    host::CreateImage(scratch, TwinImageOptions(plan, {"check", "LM310", "en", "", 1, ""}));
    host::AttachImage(scratch);
  } catch (const host::HostError& e) {
    fs::remove_all(scratch, ec);
    throw Failure("cannot make a terminal to check the folder on: " + std::string(e.what()));
  }
  try {
    CopyFolderIn(plan);
    CabinetWarnings(plan, warnings);
  } catch (...) {
    host::DetachImage();
    fs::remove_all(scratch, ec);
    throw;
  }
  host::DetachImage();
  fs::remove_all(scratch, ec);
  return warnings;
}

void ApplyFolderWarnings(std::vector<Warning>& warnings, std::vector<TwinReport>& twins) {
  for (TwinReport& twin : twins) {
    if (!twin.refused.empty()) continue;
    std::vector<Finding> findings;
    for (Warning& warning : warnings) {
      if (warning.kind == WarningKind::CountWithoutExport) continue;
      if (!warning.terminalKind.empty() && warning.terminalKind != twin.kind) continue;
      warning.twins.push_back(twin.name);
      if (const auto reason = ReasonOf(warning.kind)) findings.push_back({*reason, warning.text});
    }
    // The folder's problems come first: the runs only show what follows from them.
    twin.findings.insert(twin.findings.begin(), findings.begin(), findings.end());
  }
}

Device DeviceOf(const Plan& plan) {
  Device device;
  device.processor = host::ProcessorType(plan.processor).value_or(0);
  device.processorName = host::ProcessorName(device.processor);
  device.ceVersion = plan.ceVersion;
  device.ceBuild = static_cast<uint32_t>(std::stoul(plan.ceBuild));
  device.fileTimes = plan.fileTimes;
  for (const char* setting : {"processor", "ce_version", "ce_build", "file_times"}) {
    if (plan.given.count(setting) == 0) device.assumed.emplace_back(setting);
  }
  return device;
}

}  // namespace rehearsal
