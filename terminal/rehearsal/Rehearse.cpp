// Every twin, each in its own process (the host library attaches one image per
// process), as many at once as Plan::jobs says; their reports gathered in order.
//
// --out is claimed by a file made exclusively, which stays until the report is written:
// of two rehearsals into one folder one wins, and a folder whose rehearsal did not
// finish says so. An interrupted rehearsal ends its workers, and each worker every
// process of its twin, before it exits; a worker whose rehearsal was killed outright
// notices at once (its parent's death signal) and ends its twin the same way.
#include "platform/host/Terminal.h"
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/TwinRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

namespace rehearsal {

namespace {

namespace fs = std::filesystem;

// In --out: the claim, and the rehearsal's own files, where no twin's name reaches.
constexpr char kClaim[] = ".rehearsal";
constexpr char kWork[] = ".work";
// How long the workers of an interrupted rehearsal get to end their twins.
constexpr auto kWorkersGrace = std::chrono::milliseconds(1500);

fs::path WorkOf(const Plan& plan) { return fs::path(plan.out) / kWork; }

}  // namespace

fs::path StandInsOf(const Plan& plan) { return WorkOf(plan) / "stand-ins"; }

fs::path PreparedImagesOf(const Plan& plan) { return WorkOf(plan) / "prepared"; }

namespace {

// What a folder that is not empty holds, for the line that refuses it.
std::string Holds(const fs::path& folder) {
  std::error_code ec;
  if (fs::exists(folder / kClaim, ec)) return "a rehearsal that did not finish, or still runs";
  if (fs::exists(folder / "report.html", ec)) return "a finished rehearsal";
  return "files of its own";
}

// The page until the report replaces it: a reader of a rehearsal that was cut off sees that.
std::string IncompletePage(const Plan& plan) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Rehearsal not finished</title></head>"
         "<body>\n<p id=\"verdict\" class=\"incomplete\">This rehearsal of " + plan.folder +
         " did not finish: it was interrupted, or it still runs. Its twins are not all there.</p>\n</body></html>\n";
}

// Writes `text` to `path` by way of a file beside it, so that a reader never sees half.
void WriteWhole(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw Failure("cannot write " + path.string());
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) throw Failure("cannot write " + path.string() + ": " + ec.message());
}

// --out, absent or empty, or a new folder when none is named; claimed for this
// rehearsal alone; and the programs every twin links to.
void ClaimOut(Plan& plan) {
  std::error_code ec;
  if (!plan.out.empty()) {
    if (fs::exists(fs::symlink_status(plan.out, ec)) && !(fs::is_directory(fs::symlink_status(plan.out, ec)) && fs::is_empty(plan.out, ec)))
      throw BadRequest("--out " + plan.out + " is not an empty folder: it holds " + Holds(plan.out));
    fs::create_directories(plan.out, ec);
    if (ec) throw Failure("cannot make --out " + plan.out + ": " + ec.message());
    plan.out = fs::absolute(plan.out).string();
  } else {
    std::string pattern = (fs::temp_directory_path(ec) / "rehearsal-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw Failure("cannot make a folder for the twins");
    plan.out = pattern;
    plan.outCreated = true;
  }
  const fs::path claim = fs::path(plan.out) / kClaim;
  const int fd = ::open(claim.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) throw BadRequest("--out " + plan.out + " is taken by another rehearsal");
  const std::string started = "started by process " + std::to_string(::getpid()) + " at " + std::to_string(std::time(nullptr)) + "\n";
  const bool written = ::write(fd, started.data(), started.size()) == static_cast<ssize_t>(started.size());
  ::close(fd);
  if (!written) throw Failure("cannot write " + claim.string());
  WriteWhole(fs::path(plan.out) / "report.html", IncompletePage(plan));
  const fs::path standIns = StandInsOf(plan);
  fs::create_directories(standIns);
  const std::pair<std::string, std::string> programs[] = {
      {plan.installerProgram, "wceload.exe"}, {plan.windowOwnerProgram, "windowowner.exe"}, {plan.setupProgram, "Setup.exe"}};
  for (const auto& [from, name] : programs) {
    CopyHostFile(from, standIns / name);
    // Read-only, as the terminal's ROM files: no twin can change what another runs.
    fs::permissions(standIns / name, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  }
  fs::create_directory(WorkOf(plan) / "results");
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

// The signals that interrupt a rehearsal, held back in every thread and read where
// they can be answered (signalfd, sigwait); programs started on twins get them back.
sigset_t Interruptions() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  return set;
}

// In a worker: when the rehearsal is interrupted or its process dies, every process of
// the twin is ended and the worker with them.
void WatchForTheEnd(int rehearsalPid) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != rehearsalPid) ::_exit(130);  // it died before the death signal was asked for
  std::thread([] {
    const sigset_t set = Interruptions();
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {
    }
    try {
      if (host::IsAttached()) host::EndTerminalProcesses(true);
    } catch (const host::HostError&) {
      // The twin was detached meanwhile: its processes had all ended.
    }
    ::_exit(130);
  }).detach();
}

// The twin's own process: its journal boxes and errors go to its log, its report to a file.
[[noreturn]] void RehearseInChild(const Plan& plan, const TwinRequest& request, const std::string& result,
                                  int rehearsalPid) {
  WatchForTheEnd(rehearsalPid);
  const std::string log = (WorkOf(plan) / "results" / (request.name + ".log")).string();
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
  fs::remove_all(WorkOf(plan), ec);
}

// Ends the running workers (each ends its twin first) and waits for them.
void EndWorkers(std::map<int, size_t>& running) {
  for (const auto& [pid, index] : running) ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kWorkersGrace;
  bool killed = false;
  while (!running.empty()) {
    int status = 0;
    const int pid = ::waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      running.erase(pid);
      continue;
    }
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      for (const auto& [late, index] : running) ::kill(late, SIGKILL);
      killed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<TwinReport> RunEveryTwin(const Plan& plan, const std::vector<TwinRequest>& requests) {
  std::map<int, size_t> running;
  // Each running worker's pidfd: its end wakes the loop at once, and the next twin starts.
  std::map<int, host::UniqueFd> ends;
  std::vector<int> statuses(requests.size(), 0);
  size_t next = 0, done = 0;
  const auto resultOf = [&](size_t i) { return (WorkOf(plan) / "results" / (requests[i].name + ".result")).string(); };
  const sigset_t interruptions = Interruptions();
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &interruptions, &before);
  host::UniqueFd signals(::signalfd(-1, &interruptions, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals.Valid()) throw Failure(std::string("cannot watch for signals: ") + std::strerror(errno));
  const int self = ::getpid();
  std::fflush(nullptr);
  while (done < requests.size()) {
    while (next < requests.size() && static_cast<int>(running.size()) < plan.jobs) {
      if (!requests[next].refused.empty()) {
        ++next;
        ShowProgress(++done, requests.size());
        continue;
      }
      try {
        PrepareTwinImage(plan, requests[next]);
      } catch (const Failure&) {
        // The twin's own process tries again, and reports why it could not.
      }
      const int pid = ::fork();
      if (pid == 0) RehearseInChild(plan, requests[next], resultOf(next), self);
      if (pid < 0) throw Failure("cannot start a twin's process");
      running[pid] = next++;
      ends[pid] = host::OpenPidfd(pid);
    }
    if (running.empty()) continue;
    std::vector<pollfd> watch{{signals.Get(), POLLIN, 0}};
    for (const auto& [pid, end] : ends) {
      if (end.Valid()) watch.push_back({end.Get(), POLLIN, 0});
    }
    // Without a pidfd (an old kernel) the loop looks every 50 ms.
    const bool everyEnd = watch.size() == running.size() + 1;
    if (::poll(watch.data(), watch.size(), everyEnd ? -1 : 50) > 0 && (watch[0].revents & POLLIN)) {
      signalfd_siginfo info{};
      if (::read(signals.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        EndWorkers(running);
        throw Interrupted(std::string("interrupted by ") + ::strsignal(static_cast<int>(info.ssi_signo)));
      }
    }
    int status = 0;
    for (int pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
      if (const auto twin = running.find(pid); twin != running.end()) {
        statuses[twin->second] = status;
        running.erase(twin);
        ends.erase(pid);
        ShowProgress(++done, requests.size());
      }
    }
  }
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
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
  ClaimOut(plan);
  if (plan.outCreated) std::fprintf(stderr, "termsim rehearse: the twins are kept in %s\n", plan.out.c_str());
  Report report{plan, {}, {}};
  try {
    report.warnings = CheckFolder(plan, (WorkOf(plan) / "check").string());
    report.warnings.insert(report.warnings.end(), warnings.begin(), warnings.end());
    report.twins = RunEveryTwin(plan, requests);
  } catch (...) {
    // The claim stays: the folder says that its rehearsal did not finish.
    Tidy(plan, report.twins);
    throw;
  }
  Tidy(plan, report.twins);
  ApplyFolderWarnings(report.warnings, report.twins);
  if (const auto finding = SetupFinding(plan.setupFile)) {
    for (auto& twin : report.twins) twin.findings.insert(twin.findings.begin(), *finding);
  }
  WriteWhole(fs::path(plan.out) / "report.html", HtmlPage(report));
  std::error_code ec;
  fs::remove(fs::path(plan.out) / kClaim, ec);
  return report;
}

}  // namespace rehearsal
