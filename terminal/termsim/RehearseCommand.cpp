// termsim rehearse: the folder on a twin of every kind of terminal and of every device
// export of a fleet, each twin in its own process (the host library attaches one image
// per process), as many at once as -j says; then one report in three forms.
#include "platform/host/Terminal.h"
#include "terminal/termsim/Commands.h"
#include "terminal/termsim/Rehearsal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace termsim {

namespace {

namespace fs = std::filesystem;
using namespace rehearsal;

std::u16string FolderAt(const Arguments& arguments) {
  std::u16string at = TextArgument("--at", arguments.Value("at").value_or("\\FlashDisk\\SP"));
  std::replace(at.begin(), at.end(), u'/', u'\\');
  if (at.empty() || at[0] != u'\\') throw UsageError("--at must be a CE path from the root, as \\FlashDisk\\SP");
  while (!at.empty() && at.back() == u'\\') at.pop_back();
  if (at.find(u"\\\\") != std::u16string::npos || at.find(u"\\.") != std::u16string::npos)
    throw UsageError("--at must name each folder once, without empty, . or .. parts");
  return at;
}

// The folder and the program, checked before anything is made.
void CheckFolder(Plan& plan, const Arguments& arguments) {
  std::error_code ec;
  if (!fs::is_directory(plan.folder, ec)) throw UsageError("FOLDER " + plan.folder + " is not a folder");
  if (fs::is_empty(plan.folder, ec)) throw UsageError("FOLDER " + plan.folder + " is empty");
  if (auto setup = arguments.Value("setup")) {
    if (!fs::is_regular_file(*setup, ec)) throw UsageError("--setup " + *setup + " is not a file");
    plan.setupProgram = fs::absolute(*setup).string();
    return;
  }
  for (const auto& entry : fs::directory_iterator(plan.folder, ec)) {
    if (entry.is_regular_file() && host::EqualsIgnoreCase(host::FromUtf8(entry.path().filename().string()), u"Setup.exe"))
      plan.setupProgram = entry.path().string();
  }
  if (plan.setupProgram.empty())
    throw UsageError("FOLDER " + plan.folder + " holds no Setup.exe; name the program with --setup PATH");
}

std::vector<TwinRequest> KindTwins(const Arguments& arguments) {
  const std::string kinds = arguments.Value("kinds").value_or("all");
  const std::vector<std::string> all = AllKinds();
  std::vector<std::string> chosen;
  if (kinds == "all") chosen = all;
  for (size_t start = 0; kinds != "all" && kinds != "none" && start <= kinds.size();) {
    const size_t end = std::min(kinds.find(',', start), kinds.size());
    const std::string kind = kinds.substr(start, end - start);
    if (std::find(all.begin(), all.end(), kind) == all.end())
      throw UsageError("unknown kind '" + kind + "' (the kinds: LM310-en, LM310-ja, LM320-en, LM320-ja, all, none)");
    if (std::find(chosen.begin(), chosen.end(), kind) == chosen.end()) chosen.push_back(kind);
    start = end + 1;
  }
  std::vector<TwinRequest> twins;
  for (const auto& kind : chosen) twins.push_back({kind, kind.substr(0, 5), kind.substr(6), "", 1});
  return twins;
}

// One twin per .reg export of DIR, in name order; NAME.count says how many terminals.
std::vector<TwinRequest> FleetTwins(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw UsageError("--fleet " + dir + " is not a folder");
  std::vector<TwinRequest> twins;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().extension() != ".reg" || !entry.is_regular_file()) continue;
    TwinRequest twin{entry.path().stem().string(), "", "", fs::absolute(entry.path()).string(), 1};
    const fs::path countFile = fs::path(dir) / (twin.name + ".count");
    if (fs::exists(countFile, ec)) {
      std::ifstream in(countFile);
      std::string count;
      in >> count;
      twin.count = CountArgument(countFile.string(), count, 0);
    }
    twins.push_back(twin);
  }
  std::sort(twins.begin(), twins.end(), [](const TwinRequest& a, const TwinRequest& b) { return a.name < b.name; });
  return twins;
}

std::vector<TwinRequest> AllTwins(const Arguments& arguments) {
  std::vector<TwinRequest> twins = KindTwins(arguments);
  if (auto fleet = arguments.Value("fleet")) {
    for (auto& twin : FleetTwins(*fleet)) twins.push_back(twin);
  }
  if (twins.empty()) throw UsageError("no twin to rehearse: --kinds none and no export in --fleet");
  std::map<std::string, int> names;
  for (const auto& twin : twins) {
    if (twin.name.empty() || twin.name[0] == '.' || ++names[twin.name] > 1)
      throw UsageError("two twins would be named '" + twin.name + "': rename the export");
  }
  return twins;
}

Plan PlanFrom(const Arguments& arguments) {
  Plan plan;
  plan.folder = fs::absolute(arguments.Positional(0)).lexically_normal().string();
  plan.at = FolderAt(arguments);
  plan.json = arguments.Has("json");
  if (auto runs = arguments.Value("runs")) plan.runs = static_cast<int>(std::min<int64_t>(CountArgument("--runs", *runs, 1), 100));
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  plan.jobs = cores > 0 ? static_cast<int>(cores) : 1;
  if (auto jobs = arguments.Value("j")) plan.jobs = static_cast<int>(std::min<int64_t>(CountArgument("-j", *jobs, 1), 256));
  if (auto scale = arguments.Value("time-scale")) plan.timeScale = NumberArgument("--time-scale", *scale);
  host::ImageOptions probe;
  probe.timeScale = plan.timeScale;
  std::string error;
  if (!host::ValidateImageOptions(probe, &error)) throw UsageError(error);
  CheckFolder(plan, arguments);
  return plan;
}

// --out, absent or empty, or a new folder; and the stand-ins every twin links to.
void MakeOut(Plan& plan, const Arguments& arguments) {
  std::error_code ec;
  if (auto out = arguments.Value("out")) {
    if (fs::exists(*out, ec) && !(fs::is_directory(*out, ec) && fs::is_empty(*out, ec)))
      throw UsageError("--out " + *out + " exists and is not an empty folder");
    fs::create_directories(*out, ec);
    if (ec) throw CommandFailure("cannot make --out " + *out + ": " + ec.message());
    plan.out = fs::absolute(*out).string();
  } else {
    std::string pattern = (fs::temp_directory_path(ec) / "rehearsal-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw CommandFailure("cannot make a folder for the twins");
    plan.out = pattern;
    plan.outCreated = true;
  }
  const fs::path standIns = fs::path(plan.out) / ".stand-ins";
  fs::create_directory(standIns);
  const std::pair<std::string, std::string> programs[] = {
      {ProgramBesideTermsim("wceload"), "wceload.exe"},
      {ProgramBesideTermsim("windowowner"), "windowowner.exe"},
      {plan.setupProgram, "Setup.exe"}};
  for (const auto& [from, name] : programs) {
    fs::copy_file(from, standIns / name);
    // Read-only, as the terminal's ROM files: no twin can change what another runs.
    fs::permissions(standIns / name, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  }
  fs::create_directory(fs::path(plan.out) / ".results");
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
    twin.name = request.name;
    twin.count = request.count;
    twin.source = request.regFile.empty() ? "kind" : "fleet";
    twin.refused = std::string("the twin could not be rehearsed: ") + e.what();
  }
  std::fflush(nullptr);
  // What Setup and the installers wrote stays with the twin, for inspection.
  std::error_code ec;
  if (!twin.runs.empty()) fs::rename(log, fs::path(twin.image) / "rehearsal.log", ec);
  SaveTwinReport(twin, result);
  ::_exit(0);
}

void ShowProgress(size_t done, size_t total) {
  if (::isatty(STDERR_FILENO) == 0) return;
  std::fprintf(stderr, "\rrehearsing: %zu of %zu twins done", done, total);
  if (done == total) std::fprintf(stderr, "\n");
}

// Runs every twin, at most plan.jobs at once, and collects their reports in order.
std::vector<TwinReport> RehearseAll(const Plan& plan, const std::vector<TwinRequest>& requests) {
  std::map<int, size_t> running;
  size_t next = 0, done = 0;
  const auto resultOf = [&](size_t i) { return plan.out + "/.results/" + requests[i].name + ".result"; };
  std::fflush(nullptr);
  while (done < requests.size()) {
    while (next < requests.size() && static_cast<int>(running.size()) < plan.jobs) {
      const int pid = ::fork();
      if (pid == 0) RehearseInChild(plan, requests[next], resultOf(next));
      if (pid < 0) throw CommandFailure("cannot start a twin's process");
      running[pid] = next++;
    }
    int status = 0;
    const int pid = ::wait(&status);
    if (pid < 0) continue;
    if (running.erase(pid) != 0) ShowProgress(++done, requests.size());
  }
  std::vector<TwinReport> twins;
  for (size_t i = 0; i < requests.size(); ++i) {
    auto twin = LoadTwinReport(resultOf(i));
    if (!twin) {
      twin = TwinReport{requests[i].name, "", "", requests[i].regFile.empty() ? "kind" : "fleet", requests[i].count,
                        "the twin's process ended without a report", "", {}, {}};
    }
    twins.push_back(*twin);
  }
  return twins;
}

// What is left of the rehearsal itself: the twins that ran and the page.
void Tidy(const Plan& plan, const std::vector<TwinReport>& twins) {
  std::error_code ec;
  for (const auto& twin : twins) {
    if (twin.runs.empty()) fs::remove_all(fs::path(plan.out) / twin.name, ec);
  }
  fs::remove_all(fs::path(plan.out) / ".results", ec);
  fs::remove_all(fs::path(plan.out) / ".stand-ins", ec);
}

int Rehearse(const Arguments& arguments) {
  Report report;
  report.plan = PlanFrom(arguments);
  const std::vector<TwinRequest> requests = AllTwins(arguments);
  report.warnings = FolderWarnings(report.plan);
  try {
    MakeOut(report.plan, arguments);
    if (report.plan.outCreated) std::fprintf(stderr, "termsim rehearse: the twins are kept in %s\n", report.plan.out.c_str());
    report.twins = RehearseAll(report.plan, requests);
  } catch (...) {
    Tidy(report.plan, report.twins);
    throw;
  }
  Tidy(report.plan, report.twins);
  std::ofstream(fs::path(report.plan.out) / "report.html", std::ios::binary) << HtmlPage(report);
  if (report.plan.json) {
    PrintJson(report);
  } else {
    PrintTable(report);
  }
  const bool passed = std::all_of(report.twins.begin(), report.twins.end(), TwinPassed);
  return passed ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec RehearseCommand() {
  return {
      .name = "rehearse",
      .positionals = "FOLDER",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary =
          "Runs the service-pack FOLDER with the real Setup on a twin of each terminal kind and of each\n"
          "device export, and reports what became of every CAB on each (a table; --json; report.html in --out).\n"
          "Exits 0 when every twin's first run ends with the completion notice or silently and its later\n"
          "runs are silent, 1 otherwise, 2 on a bad command line.",
      .options =
          {
              {"fleet", "DIR", "a twin per DIR/NAME.reg export; DIR/NAME.count: terminals like it (1)"},
              {"kinds", "all|none|LM310-en,LM320-ja,...", "the clean twins, one per kind (all)"},
              {"runs", "N", "runs per twin: after a run that reset, the twin boots and Setup runs again (2)"},
              {"setup", "PATH", "the Setup program to run (FOLDER/Setup.exe)"},
              {"at", "CEPATH", "where the folder is placed on each twin (\\FlashDisk\\SP)"},
              {"out", "DIR", "the twins' images and report.html, absent or empty (a new folder, printed)"},
              {"json", "", "the report as one JSON document"},
              {"j", "N", "twins rehearsed at once (the number of cores)"},
              {"time-scale", "X", "real time per terminal time of the twins (0.01)"},
          },
      .run = Rehearse,
  };
}

}  // namespace termsim
