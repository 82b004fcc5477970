// Every twin, each in its own process (the host library attaches one image per
// process), as many at once as Plan::jobs says; their reports gathered in order.
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

// --out, absent or empty, or a new folder; and the programs every twin links to.
void MakeOut(Plan& plan) {
  std::error_code ec;
  if (!plan.out.empty()) {
    if (fs::exists(plan.out, ec) && !(fs::is_directory(plan.out, ec) && fs::is_empty(plan.out, ec)))
      throw BadRequest("--out " + plan.out + " exists and is not an empty folder");
    fs::create_directories(plan.out, ec);
    if (ec) throw Failure("cannot make --out " + plan.out + ": " + ec.message());
    plan.out = fs::absolute(plan.out).string();
  } else {
    std::string pattern = (fs::temp_directory_path(ec) / "rehearsal-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw Failure("cannot make a folder for the twins");
    plan.out = pattern;
    plan.outCreated = true;
  }
  const fs::path standIns = fs::path(plan.out) / ".stand-ins";
  fs::create_directory(standIns);
  const std::pair<std::string, std::string> programs[] = {
      {plan.installerProgram, "wceload.exe"}, {plan.windowOwnerProgram, "windowowner.exe"}, {plan.setupProgram, "Setup.exe"}};
  for (const auto& [from, name] : programs) {
    CopyHostFile(from, standIns / name);
    // Read-only, as the terminal's ROM files: no twin can change what another runs.
    fs::permissions(standIns / name, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  }
  fs::create_directory(fs::path(plan.out) / ".results");
  fs::create_directory(fs::path(plan.out) / "twins");
}

// A twin's process whose report the host had no room for ends so.
constexpr int kNoRoomForReport = 28;

TwinReport Refused(const TwinRequest& request, const std::string& why) {
  TwinReport twin;
  twin.name = request.name;
  twin.count = request.count;
  twin.fleet = !request.regFile.empty();
  twin.refused = why;
  twin.findings = FindingsOf(twin, false);
  return twin;
}

// The twin's own process: its journal boxes and errors go to its log, its report to a file.
[[noreturn]] void RehearseInChild(const Plan& plan, const TwinRequest& request, const std::string& result) {
  const std::string log = plan.out + "/.results/" + request.name + ".log";
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
  }
  TwinReport twin;
  try {
    twin = RehearseTwin(plan, request);
  } catch (const std::exception& e) {
    twin = Refused(request, std::string("the twin could not be rehearsed: ") + e.what());
  }
  std::fflush(nullptr);
  // What Setup and the installers wrote stays with the twin, for inspection.
  std::error_code ec;
  if (!twin.runs.empty()) fs::rename(log, fs::path(twin.image) / "rehearsal.log", ec);
  if (!SaveTwinReport(twin, result)) ::_exit(errno == ENOSPC || errno == EDQUOT ? kNoRoomForReport : 1);
  ::_exit(0);
}

void ShowProgress(size_t done, size_t total) {
  if (::isatty(STDERR_FILENO) == 0) return;
  std::fprintf(stderr, "\rrehearsing: %zu of %zu twins done", done, total);
  if (done == total) std::fprintf(stderr, "\n");
}

// What is left of the rehearsal itself: the twins that ran.
void Tidy(const Plan& plan, const std::vector<TwinReport>& twins) {
  std::error_code ec;
  for (const auto& twin : twins) {
    if (twin.runs.empty()) fs::remove_all(fs::path(plan.out) / "twins" / twin.name, ec);
  }
  fs::remove_all(fs::path(plan.out) / ".results", ec);
  fs::remove_all(fs::path(plan.out) / ".stand-ins", ec);
}

std::vector<TwinReport> RunEveryTwin(const Plan& plan, const std::vector<TwinRequest>& requests) {
  std::map<int, size_t> running;
  std::vector<int> statuses(requests.size(), 0);
  size_t next = 0, done = 0;
  const auto resultOf = [&](size_t i) { return plan.out + "/.results/" + requests[i].name + ".result"; };
  std::fflush(nullptr);
  while (done < requests.size()) {
    while (next < requests.size() && static_cast<int>(running.size()) < plan.jobs) {
      if (!requests[next].refused.empty()) {
        ++next;
        ShowProgress(++done, requests.size());
        continue;
      }
      const int pid = ::fork();
      if (pid == 0) RehearseInChild(plan, requests[next], resultOf(next));
      if (pid < 0) throw Failure("cannot start a twin's process");
      running[pid] = next++;
    }
    if (running.empty()) continue;
    int status = 0;
    const int pid = ::wait(&status);
    if (pid < 0) continue;
    if (const auto twin = running.find(pid); twin != running.end()) {
      statuses[twin->second] = status;
      running.erase(twin);
      ShowProgress(++done, requests.size());
    }
  }
  std::vector<TwinReport> twins;
  for (size_t i = 0; i < requests.size(); ++i) {
    if (!requests[i].refused.empty()) {
      twins.push_back(Refused(requests[i], requests[i].refused));
      continue;
    }
    auto twin = LoadTwinReport(resultOf(i));
    const bool noRoom = WIFEXITED(statuses[i]) && WEXITSTATUS(statuses[i]) == kNoRoomForReport;
    twins.push_back(twin ? *twin
                         : Refused(requests[i], noRoom ? "the host's storage is full: the twin's report could not be written"
                                                       : "the twin's process ended without a report"));
  }
  return twins;
}

}  // namespace

Report Rehearse(Plan plan, const std::vector<TwinRequest>& requests, std::vector<Warning> warnings) {
  MakeOut(plan);
  if (plan.outCreated) std::fprintf(stderr, "termsim rehearse: the twins are kept in %s\n", plan.out.c_str());
  Report report{plan, {}, {}};
  try {
    report.warnings = CheckFolder(plan, (fs::path(plan.out) / ".check").string());
    report.warnings.insert(report.warnings.end(), warnings.begin(), warnings.end());
    report.twins = RunEveryTwin(plan, requests);
  } catch (...) {
    Tidy(plan, report.twins);
    throw;
  }
  Tidy(plan, report.twins);
  ApplyFolderWarnings(report.warnings, report.twins);
  return report;
}

}  // namespace rehearsal
