// Every twin, each in its own process (the host library attaches one image per
// process), as many at once as Plan::jobs says; their reports gathered in order.
//
// --out is claimed by a file made exclusively, which stays until the report is written:
// of two rehearsals into one folder one wins, and a folder whose rehearsal did not
// finish says so. An interrupted rehearsal ends its workers, and each worker every
// process of its twin, before it exits; a worker whose rehearsal was killed outright
// notices at once (its parent's death signal) and ends its twin the same way.
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Programs.h"
#include "platform/host/UniqueFd.h"
#include "terminal/rehearsal/HostFiles.h"
#include "terminal/rehearsal/PowerCuts.h"
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
#include <functional>
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

std::string StateFileOf(const Plan& plan, const std::string& twin) {
  return (WorkOf(plan) / "results" / (twin + ".state")).string();
}

void LogTo(const std::string& log) {
  const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
}

// The twin's own process: its journal boxes and errors go to its log, its report to a file.
[[noreturn]] void RehearseInChild(const Plan& plan, const TwinRequest& request, const std::string& result,
                                  int rehearsalPid) {
  WatchForTheEnd(rehearsalPid);
  const std::string log = (WorkOf(plan) / "results" / (request.name + ".log")).string();
  LogTo(log);
  TwinReport twin;
  try {
    twin = RehearseTwin(plan, request, StateFileOf(plan, request.name));
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

// One line on standard error from the start, rewritten in place as twins are made and
// end; nothing unless standard error is a terminal. Its last state stays on the screen.
class Progress {
 public:
  explicit Progress(size_t twins, const char* one = "twin", const char* many = "twins")
      : twins_(twins), one_(one), many_(many), shown_(::isatty(STDERR_FILENO) != 0) {
    Show();
  }
  ~Progress() {
    if (shown_) std::fputc('\n', stderr);
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Made() {
    ++made_;
    Show();
  }
  void Ended(bool made, bool failed) {
    ended_ += 1;
    endedMade_ += made ? 1 : 0;
    failed_ += failed ? 1 : 0;
    Show();
  }

 private:
  void Show() const {
    if (shown_)
      std::fprintf(stderr, "\r\033[Krehearsing %zu %s: %zu made, %zu running, %zu ended, %zu failed", twins_,
                   twins_ == 1 ? one_ : many_, made_, made_ - endedMade_, ended_, failed_);
  }

  size_t twins_;
  const char *one_, *many_;
  size_t made_ = 0, ended_ = 0, endedMade_ = 0, failed_ = 0;
  bool shown_;
};

// The reasons that only show once every twin is known: the folder's problems, and a
// Setup.exe of the folder that is not the one the twins ran.
void Judge(const Plan& plan, std::vector<Warning>& warnings, std::vector<TwinReport>& twins) {
  ApplyFolderWarnings(warnings, twins);
  if (const auto finding = SetupFinding(plan.setupFile)) {
    for (auto& twin : twins) twin.findings.insert(twin.findings.begin(), *finding);
  }
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

// Runs jobs 0..count-1 at most Plan::jobs at once, each in its own process: `settled`
// answers a job without one (true when it did), `work` is the process's (it never
// returns), `ended` takes its wait status. Interrupted, the workers are ended first.
void RunInWorkers(const Plan& plan, size_t count, Progress& progress, const std::function<bool(size_t)>& settled,
                  const std::function<void(size_t, int)>& work, const std::function<void(size_t, int)>& ended) {
  std::map<int, size_t> running;
  // Each running worker's pidfd: its end wakes the loop at once, and the next job starts.
  std::map<int, host::UniqueFd> ends;
  size_t next = 0, done = 0;
  const sigset_t interruptions = Interruptions();
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &interruptions, &before);
  host::UniqueFd signals(::signalfd(-1, &interruptions, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!signals.Valid()) throw Failure(std::string("cannot watch for signals: ") + std::strerror(errno));
  const int self = ::getpid();
  std::fflush(nullptr);
  while (done < count) {
    while (next < count && static_cast<int>(running.size()) < plan.jobs) {
      if (settled(next)) {
        ++next;
        ++done;
        continue;
      }
      const int pid = ::fork();
      if (pid == 0) {
        work(next, self);
        ::_exit(1);
      }
      if (pid < 0) throw Failure("cannot start a twin's process");
      running[pid] = next++;
      progress.Made();
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
      const auto worker = running.find(pid);
      if (worker == running.end()) continue;
      const size_t i = worker->second;
      running.erase(worker);
      ends.erase(pid);
      ended(i, status);
      ++done;
    }
  }
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

// A worker's wait status in words, for a worker that left no report.
std::string HowEnded(int status) {
  if (WIFSIGNALED(status)) return std::string("ended by ") + ::strsignal(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

// `fails` judges a twin as it ends, for the progress line.
std::vector<TwinReport> RunEveryTwin(const Plan& plan, const std::vector<TwinRequest>& requests,
                                     const std::function<bool(const TwinReport&)>& fails) {
  std::vector<std::optional<TwinReport>> ended(requests.size());
  const auto resultOf = [&](size_t i) { return (WorkOf(plan) / "results" / (requests[i].name + ".result")).string(); };
  Progress progress(requests.size());
  RunInWorkers(
      plan, requests.size(), progress,
      [&](size_t i) {
        if (requests[i].refused.empty()) {
          try {
            PrepareTwinImage(plan, requests[i]);
          } catch (const Failure&) {
            // The twin's own process tries again, and reports why it could not.
          }
          return false;
        }
        ended[i] = Refused(requests[i], requests[i].refused);
        progress.Ended(false, fails(*ended[i]));
        return true;
      },
      [&](size_t i, int self) { RehearseInChild(plan, requests[i], resultOf(i), self); },
      [&](size_t i, int status) {
        ended[i] = LoadTwinReport(resultOf(i));
        const bool noRoom = WIFEXITED(status) && WEXITSTATUS(status) == kNoRoomForReport;
        if (!ended[i])
          ended[i] = Refused(requests[i], noRoom ? "the host's storage is full: the twin's report could not be written"
                                                 : "the twin's process ended without a report (" + HowEnded(status) + ")");
        progress.Ended(true, fails(*ended[i]));
      });
  std::vector<TwinReport> twins;
  for (auto& twin : ended) twins.push_back(std::move(*twin));
  return twins;
}

// One cut point's process: a copy of the twin before its rehearsal, cut, booted and
// compared; its damage, if any, handed back as a twin report of that one point.
[[noreturn]] void CutInChild(const Plan& plan, const TwinReport& twin, const CutPoint& point, const std::string& result,
                             int rehearsalPid) {
  WatchForTheEnd(rehearsalPid);
  const std::string name = twin.name + ".cut" + std::to_string(point.number);
  LogTo((WorkOf(plan) / "results" / (name + ".log")).string());
  const fs::path image = WorkOf(plan) / "cuts" / name;
  TwinReport answer;
  answer.powerCuts = PowerCuts{};
  try {
    const auto reference = LoadState(StateFileOf(plan, twin.name));
    if (!reference) throw Failure("the rehearsal's end state is missing");
    if (auto damaged = CutAndCompare(plan, twin, point, image.string(), *reference))
      answer.powerCuts->damaged.push_back(std::move(*damaged));
  } catch (const std::exception& e) {
    answer.powerCuts->damaged.push_back({point, CutClass::Setup, {std::string("the cut could not be rehearsed: ") + e.what()}});
  }
  std::fflush(nullptr);
  std::error_code ec;
  fs::remove_all(image, ec);
  if (!SaveTwinReport(answer, result)) ::_exit(errno == ENOSPC || errno == EDQUOT ? kNoRoomForReport : 1);
  ::_exit(0);
}

// The reasons of a twin's damaged points, one per class: how many points, and the first.
void CutFindings(TwinReport& twin) {
  for (const CutClass cut : {CutClass::Calibration, CutClass::Installer, CutClass::Setup}) {
    std::vector<const DamagedPoint*> points;
    for (const auto& damaged : twin.powerCuts->damaged) {
      if (damaged.cut == cut) points.push_back(&damaged);
    }
    if (points.empty()) continue;
    const DamagedPoint& first = *points.front();
    std::string text = std::to_string(points.size()) + (points.size() == 1 ? " power cut leaves " : " power cuts leave ") +
                       "a difference (" + NameOf(cut) + "), first at point " + std::to_string(first.point.number) + " (" +
                       first.point.api + " " + first.point.target + (first.point.torn ? ", torn" : "") + "): ";
    for (size_t i = 0; i < first.differences.size(); ++i) text += (i ? "; " : "") + first.differences[i];
    twin.findings.push_back({ReasonOf(cut), text});
  }
}

// Every cut point of every twin that was rehearsed, as many at once as Plan::jobs says.
void RunEveryCut(const Plan& plan, std::vector<TwinReport>& twins) {
  struct Job {
    size_t twin;
    const CutPoint* point;
  };
  std::vector<Job> jobs;
  for (size_t t = 0; t < twins.size(); ++t) {
    TwinReport& twin = twins[t];
    if (twin.runs.empty() || !twin.refused.empty()) continue;
    const int of = static_cast<int>(twin.cutPoints.size());
    std::vector<int> numbers;
    if (plan.cuts == Plan::Cuts::Sample) {
      numbers = SamplePoints(of, plan.sample, plan.seed);
    } else {
      for (int n = 1; n <= of; ++n) numbers.push_back(n);
    }
    twin.powerCuts = PowerCuts{static_cast<int>(numbers.size()), of, 0,
                               plan.cuts == Plan::Cuts::Sample ? numbers : std::vector<int>{}, {}};
    for (const int n : numbers) jobs.push_back({t, &twin.cutPoints[n - 1]});
  }
  std::error_code ec;
  fs::create_directories(WorkOf(plan) / "cuts", ec);
  const auto resultOf = [&](size_t i) {
    return (WorkOf(plan) / "results" / (twins[jobs[i].twin].name + ".cut" + std::to_string(jobs[i].point->number))).string();
  };
  Progress progress(jobs.size(), "power cut", "power cuts");
  RunInWorkers(
      plan, jobs.size(), progress, [](size_t) { return false; },
      [&](size_t i, int self) { CutInChild(plan, twins[jobs[i].twin], *jobs[i].point, resultOf(i), self); },
      [&](size_t i, int) {
        PowerCuts& cuts = *twins[jobs[i].twin].powerCuts;
        const auto answer = LoadTwinReport(resultOf(i));
        if (!answer || !answer->powerCuts) {
          cuts.damaged.push_back({*jobs[i].point, CutClass::Setup, {"the cut's process ended without a report"}});
        } else if (answer->powerCuts->damaged.empty()) {
          ++cuts.recovered;
        } else {
          cuts.damaged.push_back(answer->powerCuts->damaged.front());
        }
        progress.Ended(true, !answer || !answer->powerCuts || !answer->powerCuts->damaged.empty());
      });
  for (auto& twin : twins) {
    if (!twin.powerCuts) continue;
    std::sort(twin.powerCuts->damaged.begin(), twin.powerCuts->damaged.end(),
              [](const DamagedPoint& a, const DamagedPoint& b) { return a.point.number < b.point.number; });
    CutFindings(twin);
  }
}

}  // namespace

Report Rehearse(Plan plan, const std::vector<TwinRequest>& requests, std::vector<Warning> warnings) {
  ClaimOut(plan);
  if (plan.outCreated) std::fprintf(stderr, "termsim rehearse: the twins are kept in %s\n", plan.out.c_str());
  Report report{plan, {}, {}};
  try {
    report.warnings = CheckFolder(plan, (WorkOf(plan) / "check").string());
    report.warnings.insert(report.warnings.end(), warnings.begin(), warnings.end());
    report.twins = RunEveryTwin(plan, requests, [&](const TwinReport& twin) {
      std::vector<Warning> folderWarnings = report.warnings;
      std::vector<TwinReport> judged = {twin};
      Judge(plan, folderWarnings, judged);
      return !TwinPassed(judged.front(), plan.allowed);
    });
    if (plan.cuts != Plan::Cuts::None) RunEveryCut(plan, report.twins);
  } catch (...) {
    // The claim stays: the folder says that its rehearsal did not finish.
    Tidy(plan, report.twins);
    throw;
  }
  Tidy(plan, report.twins);
  Judge(plan, report.warnings, report.twins);
  WriteWhole(fs::path(plan.out) / "report.html", HtmlPage(report));
  std::error_code ec;
  fs::remove(fs::path(plan.out) / kClaim, ec);
  return report;
}

}  // namespace rehearsal
