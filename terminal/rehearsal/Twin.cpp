// One twin: its image, the folder copied into it, its runs of Setup from a terminal
// just switched on, and its report handed to the process that reports.
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "platform/host/UniqueFd.h"
#include "terminal/regfile/RegFile.h"
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/PowerCuts.h"
#include "terminal/rehearsal/TwinRun.h"
#include "terminal/windowowner/WindowOwnerLaunch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

namespace rehearsal {

namespace {

// Runs `body`, calls of the terminal, with a HostError as the rehearsal's Failure.
template <class F>
void AsFailure(F&& body) {
  try {
    body();
  } catch (const host::HostError& e) {
    throw Failure(e.what());
  }
}

namespace fs = std::filesystem;

// Real seconds a run may take before every process of the twin is ended.
constexpr double kRunTimeoutSeconds = 120;

// `target` as a hard link to the shared read-only `source`; a copy where no link can be
// made (another file system).
void LinkStandIn(const fs::path& source, const fs::path& target) {
  std::error_code ec;
  fs::remove(target, ec);
  fs::create_hard_link(source, target, ec);
  if (ec) CopyHostFile(source, target);
}

using Birth = std::tuple<int64_t, uint32_t, uint64_t>;

// The order in which the terminal lists entries, as on FAT: birth time, then inode.
Birth BirthOf(const fs::path& path) {
  struct ::statx entry{};
  ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_INO, &entry);
  return {entry.stx_btime.tv_sec, entry.stx_btime.tv_nsec, entry.stx_ino};
}

// A read-only file with other names: a shared stand-in program, which a copy of a twin
// links to as the twin does.
bool IsSharedStandIn(const fs::path& path) {
  struct ::stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1 && (st.st_mode & S_IWUSR) == 0;
}

// Copies `from` into the host folder `to`, each entry born after the one before, so
// that the twin lists them as the folder would on a terminal; last-write times kept.
// `linkStandIns`: the shared stand-ins are linked, keeping their place in the order.
void CopyFolder(const fs::path& from, const fs::path& to, bool top, bool linkStandIns = false) {
  std::vector<std::pair<Birth, fs::path>> entries;
  for (const auto& entry : fs::directory_iterator(from)) entries.emplace_back(BirthOf(entry.path()), entry.path());
  std::sort(entries.begin(), entries.end());
  Birth previous{};
  for (const auto& [birth, entry] : entries) {
    const fs::path target = to / entry.filename();
    if (top && host::EqualsIgnoreCase(host::FromUtf8(entry.filename().string()), u"Setup.exe")) continue;
    if (linkStandIns && IsSharedStandIn(entry)) {
      LinkStandIn(entry, target);
      continue;
    }
    // Within one clock tick a file system may hand out a lower inode: then the next tick.
    for (int attempt = 0;; ++attempt) {
      if (fs::is_directory(entry)) {
        fs::create_directory(target);
      } else {
        CopyHostFile(entry, target);
      }
      const Birth born = BirthOf(target);
      if (born > previous || attempt == 100) {
        previous = born;
        break;
      }
      fs::remove(target);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fs::is_directory(entry)) CopyFolder(entry, target, false, linkStandIns);
    fs::last_write_time(target, fs::last_write_time(entry));
  }
}

}  // namespace

void CopyImage(const fs::path& from, const fs::path& to) {
  fs::create_directory(to);
  CopyFolder(from, to, false, true);
}

void CopyHostFile(const fs::path& from, const fs::path& to) {
  AsFailure([&] { host::CopyHostFile(from.string(), to.string()); });
}

fs::path CopyFolderIn(const Plan& plan) {
  std::u16string path;
  size_t start = 1;
  DWORD error = 0;
  while (start <= plan.at.size()) {
    const size_t end = std::min(plan.at.find(u'\\', start), plan.at.size());
    path += u"\\" + plan.at.substr(start, end - start);
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) error = GetLastError();
    start = end + 1;
  }
  const auto resolved = host::ResolvePath(plan.at.empty() ? u"\\" : plan.at);
  if (!resolved || (!plan.at.empty() && !resolved->exists))
    throw Failure("cannot make " + host::ToUtf8(plan.at) + " in the twin" +
                  (error == ERROR_DISK_FULL ? ": the host's storage is full" : ""));
  const fs::path folder = plan.at.empty() ? fs::path(host::FsRoot()) : fs::path(resolved->HostPath());
  CopyFolder(plan.folder, folder, true);
  return folder;
}

host::ImageOptions TwinImageOptions(const Plan& plan, const TwinRequest& request) {
  host::ImageOptions options;
  options.timeScale = plan.timeScale;
  if (request.regFile.empty()) {
    options.model = request.model;
    options.language = request.language;
  } else {
    // A device's export brings its own platform name; without one the twin has none.
    options.noPlatform = true;
  }
  options.processor = plan.processor;
  options.ceVersion = plan.ceVersion;
  options.ceBuild = plan.ceBuild;
  options.fileTimes = plan.fileTimes;
  options.durable = false;
  const std::u16string volume = plan.at.empty() ? u"" : plan.at.substr(1, plan.at.find(u'\\', 1) - 1);
  if (!volume.empty() && !host::EqualsIgnoreCase(volume, u"FlashDisk")) options.volumes = {"FlashDisk", host::ToUtf8(volume)};
  return options;
}

namespace {

// One prepared image for each set of options: a clean kind's, or every export's (the
// export brings the platform and the language).
fs::path PreparedImageOf(const Plan& plan, const TwinRequest& request) {
  return PreparedImagesOf(plan) / (request.regFile.empty() ? request.model + "-" + request.language : "export");
}

}  // namespace

void PrepareTwinImage(const Plan& plan, const TwinRequest& request) {
  const fs::path prepared = PreparedImageOf(plan, request);
  std::error_code ec;
  if (fs::exists(prepared / "terminal.db", ec)) return;
  fs::create_directories(PreparedImagesOf(plan), ec);
  // Made beside its place and renamed there whole: a twin never copies half of one.
  const fs::path making = prepared.string() + "." + std::to_string(::getpid());
  try {
    host::CreateImage(making.string(), TwinImageOptions(plan, request));
  } catch (const host::HostError& e) {
    fs::remove_all(making, ec);
    throw Failure(e.what());
  }
  fs::rename(making, prepared, ec);
  if (ec) {
    fs::remove_all(making, ec);
    // Another process may have put its own there meanwhile.
    if (!fs::exists(prepared / "terminal.db", ec)) throw Failure("cannot prepare the twins' image");
  }
}

namespace {

// The folder, and Setup from the shared read-only copy, in the attached twin.
void PlaceFolder(const Plan& plan) {
  LinkStandIn(StandInsOf(plan) / "Setup.exe", CopyFolderIn(plan) / plan.setupFile.TwinName());
}

// Makes the twin's image and attaches it.
void MakeImage(const Plan& plan, const TwinRequest& request, const std::string& root) {
  PrepareTwinImage(plan, request);
  AsFailure([&] { host::AttachNewImage(PreparedImageOf(plan, request).string(), root); });
  // A terminal has its CAB installer there too; the welcome window's owner has no file
  // of its own on the twin (WelcomeWindow).
  LinkStandIn(StandInsOf(plan) / "wceload.exe", fs::path(root) / "fs" / "Windows" / "wceload.exe");
}

// Opens the welcome window, as after every start of a terminal. Its owner runs from a
// name of \Windows no file has, and that file goes once the window is open: the
// terminal's own welcome application takes no path a cabinet could install to.
void WelcomeWindow(const Plan& plan, const Profile& profile) {
  const fs::path windows = fs::path(host::FsRoot()) / "Windows";
  std::error_code ec;
  int number = 0;
  while (fs::exists(fs::symlink_status(windows / ("~welcome" + std::to_string(number) + ".exe"), ec))) ++number;
  const std::string name = "~welcome" + std::to_string(number) + ".exe";
  LinkStandIn(StandInsOf(plan) / "windowowner.exe", windows / name);
  std::string error;
  const std::u16string title = profile.language == 1 ? u"ようこそ" : u"Welcome";
  const bool started = StartWindowOwner((StandInsOf(plan) / "windowowner.exe").string(), u"WELCOME", title, 0, &error,
                                        u"\\Windows\\" + host::FromUtf8(name)).has_value();
  fs::remove(windows / name, ec);
  if (!started) throw Failure(error);
}

// A device's export is a few megabytes at most; a bigger file is none.
constexpr size_t kMostExportBytes = 64u << 20;

std::string ImportExport(const std::string& file, const std::string& encoding) {
  const auto read = ReadSmallFile(file, kMostExportBytes);
  if (!read) return fs::path(file).filename().string() + ": cannot be read";
  if (read->size() > kMostExportBytes) return fs::path(file).filename().string() + ": over 64 MiB, which no export is";
  const std::string& bytes = *read;
  std::string error;
  if (!regfile::ImportRegFile(bytes, &error, nullptr, encoding)) return fs::path(file).filename().string() + ": " + error;
  return "";
}

// Waits for Setup at most `seconds`; true when it ended.
bool WaitForSetup(int pid, double seconds) {
  const host::UniqueFd pidfd = host::OpenPidfd(pid);
  if (!pidfd.Valid()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  bool ended = false;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd watch{pidfd.Get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, 1000);
    if (ready < 0 && errno != EINTR) break;
    ended = ready > 0;
  }
  return ended;
}

// One run from a terminal just switched on: the welcome window open, Setup started.
RunReport RunOnce(const Plan& plan, const Profile& profile) {
  WelcomeWindow(plan, profile);
  const std::vector<Expected> expected =
      ExplainRun(plan.at, profile, RegisteredApplications(host::JournalEventsAfter(0)));
  RunFacts facts;
  const int64_t before = host::LastJournalSeq();
  std::optional<host::StartedProcess> started;
  try {
    started = host::StartProgram(plan.at + u"\\" + host::FromUtf8(plan.setupFile.TwinName()), u"");
  } catch (const host::HostError& e) {
    facts.startError = host::ErrorName(e.code());
  }
  if (started) {
    facts.timedOut = !WaitForSetup(started->pid, kRunTimeoutSeconds);
    if (facts.timedOut) host::EndTerminalProcesses(true);
    int status = 0;
    while (::waitpid(started->pid, &status, 0) < 0 && errno == EINTR) {
    }
    const DWORD code = host::RecordChildExit(*started, status);
    facts.events = host::JournalEventsAfter(before);
    const bool reset =
        std::any_of(facts.events.begin(), facts.events.end(), [](const auto& e) { return e.event == "reset"; });
    if (!reset && !facts.timedOut) facts.setupExit = code;
  }
  if (facts.events.empty()) facts.events = host::JournalEventsAfter(before);
  // The next start of the terminal: nothing of this run goes on.
  host::EndTerminalProcesses(true);
  return JudgeRun(expected, facts);
}

// After Setup's own reset, and after a box that asks the user to reset (the install
// error, the limit after installing), the terminal boots and Setup runs again.
bool BootsAgain(const RunReport& run) {
  return run.reset || run.outcome == Outcome::InstallError || run.outcome == Outcome::TooManyCabsReset;
}

// Where the twin of a sweep keeps its image as it was before its first run.
fs::path BeforeOf(const TwinReport& twin) { return twin.image + ".before"; }

std::u16string SetupPath(const Plan& plan) { return plan.at + u"\\" + host::FromUtf8(plan.setupFile.TwinName()); }

// Runs from the start until the power goes at the point, then up to plan.runs runs
// after it; the runs after the cut.
std::vector<RunReport> RunsAroundTheCut(const Plan& plan, const Profile& profile, bool& cut) {
  std::vector<RunReport> after;
  cut = false;
  for (int run = 0; run < plan.runs && !cut; ++run) {
    const RunReport report = RunOnce(plan, profile);
    cut = report.outcome == Outcome::PowerLoss;
    if (!cut && !BootsAgain(report)) break;
  }
  if (!cut) return after;
  // After the cut the terminal boots as after any reset.
  for (int run = 0; run < plan.runs; ++run) {
    after.push_back(RunOnce(plan, profile));
    if (!BootsAgain(after.back())) break;
  }
  return after;
}

}  // namespace

std::optional<DamagedPoint> CutAndCompare(const Plan& plan, const TwinReport& twin, const CutPoint& point,
                                          const std::string& image, const TwinState& reference) {
  CopyImage(BeforeOf(twin), image);
  AsFailure([&] { host::AttachImage(image); });
  host::FaultRule rule;
  rule.api = point.api;
  rule.pattern = host::FromUtf8(point.target);
  rule.error = point.torn ? "power-loss:half" : "power-loss";
  rule.after = point.after;
  rule.times = 1;
  rule.caller = host::FromUtf8(point.caller);
  host::AddFaultRule(rule);
  const Profile profile = ReadProfile();
  bool cut = false;
  TwinReport after;
  after.runs = RunsAroundTheCut(plan, profile, cut);
  TwinState state = reference;
  Capture(state);
  host::DetachImage();
  DamagedPoint damaged{point, CutClass::Setup, {}};
  std::vector<std::pair<CutClass, std::string>> differences;
  if (!cut) differences.emplace_back(CutClass::Setup, "the power was never cut: the runs went otherwise than the rehearsal's");
  const auto found = Differences(reference, state, plan.at);
  differences.insert(differences.end(), found.begin(), found.end());
  // The runs after the cut must pass as the rehearsal's did: a reason the rehearsal did
  // not give is a difference.
  for (const auto& finding : FindingsOf(after, false)) {
    const bool known = std::any_of(twin.findings.begin(), twin.findings.end(),
                                   [&](const Finding& f) { return f.reason == finding.reason; });
    if (known || !Fails(finding, plan.allowed)) continue;
    const bool installer = finding.reason == Reason::CabFailed || finding.reason == Reason::InstalledTwice ||
                           finding.reason == Reason::OtherModelServicePack;
    const std::string words = finding.reason == Reason::BoxAtEveryStart ? "a box at every start"
                              : finding.reason == Reason::Loop          ? "a loop at every start"
                                                                        : finding.text;
    differences.emplace_back(installer ? CutClass::Installer : CutClass::Setup, words);
  }
  if (differences.empty()) return std::nullopt;
  // The record first: a torn calibration record is never repaired, whatever else follows.
  damaged.cut = std::min_element(differences.begin(), differences.end())->first;
  const bool byInstaller = host::EqualsIgnoreCase(host::FromUtf8(point.caller), u"\\Windows\\wceload.exe");
  for (const auto& difference : differences)
    damaged.differences.push_back(difference.second + (byInstaller ? " (depends on the terminal's installer)" : ""));
  return damaged;
}

namespace {

// After the plain rehearsal of a sweep: its cut points, and what it wrote as it ended,
// beside the twin's report for the cut runs.
void KeepReference(const Plan& plan, TwinReport& twin, const std::string& stateFile) {
  const std::vector<host::TracedCall> calls = host::StopCallTrace();
  twin.cutPoints = CutPointsOf(calls, SetupPath(plan));
  TwinState state = ReferenceWatches(calls, SetupPath(plan), twin);
  Capture(state);
  if (!SaveState(state, stateFile)) throw Failure("cannot write " + stateFile);
}

}  // namespace

TwinReport RehearseTwin(const Plan& plan, const TwinRequest& request, const std::string& stateFile) {
  TwinReport twin;
  twin.name = request.name;
  twin.count = request.count;
  twin.fleet = !request.regFile.empty();
  twin.kind = request.regFile.empty() ? request.model + "-" + request.language : "";
  twin.image = (fs::path(plan.out) / "twins" / request.name).string();
  MakeImage(plan, request, twin.image);
  PlaceFolder(plan);
  if (!request.regFile.empty()) {
    twin.refused = ImportExport(request.regFile, plan.regEncoding);
    if (!twin.refused.empty()) {
      twin.findings = FindingsOf(twin, false);
      return twin;
    }
  }
  const Profile profile = ReadProfile();
  twin.kind = profile.kind;
  twin.platformName = profile.platformName;
  if (!profile.platformRead) {
    twin.warnings.push_back("no Platform\\Name: Setup cannot tell the model and ends with the install error box");
  } else if (profile.kind.rfind("unknown", 0) == 0) {
    twin.warnings.push_back("Platform\\Name \"" + profile.platformName + "\" names no model: no service pack is installed");
  }
  const bool servicePackMissing = !profile.servicePack.empty() && !HoldsServicePack(plan.at, profile);
  const bool sweep = plan.cuts != Plan::Cuts::None;
  if (sweep) {
    // No process runs yet: the copy is the twin as it was switched on. It is made
    // detached: closing a copied database file would drop this process's locks on it,
    // and the next program would take the database for unused and reset its index
    // under this process's mapping.
    host::CheckpointImage();
    host::DetachImage();
    CopyImage(twin.image, BeforeOf(twin));
    AsFailure([&] { host::AttachImage(twin.image); });
    host::StartCallTrace();
  }
  for (int run = 0; run < plan.runs; ++run) {
    twin.runs.push_back(RunOnce(plan, profile));
    if (!BootsAgain(twin.runs.back())) break;
  }
  twin.findings = FindingsOf(twin, servicePackMissing);
  twin.processes = static_cast<int64_t>(host::ProcessRecords().size());
  if (sweep) KeepReference(plan, twin, stateFile);
  // A kept twin holds its database in one file, not in a write-ahead log beside it;
  // detached, it keeps neither the log nor its index.
  host::CheckpointImage();
  host::DetachImage();
  return twin;
}

}  // namespace rehearsal
