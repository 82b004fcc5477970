// What Setup's own work costs on the emulated terminal, beside the floor it stands on:
//   (a) a run that installs 30 CABs with a trivial installer, beside its floor: 30 bare
//       starts of that installer, the 120 registry writes Setup must commit (Reset and
//       fAskDest before and after each installation) as bare SQLite commits in one
//       process with the image's own settings, and a program that returns at once;
//   (b) a run with nothing to install, beside a program that returns at once;
// and from both, what one installation adds to a run beside one bare start.
// Every run goes through `termsim run`, as people start Setup. Waits are scaled down
// to the smallest time scale an image accepts (0.001, so the five-second wait before the
// reset takes 5 ms, which is taken out of the installing run's figure: the program's
// deliberate wait, which no floor has, stays out of the comparison) and the
// terminal ignores the reset request, so one image serves every round.
//
// Usage: setup_bench [ROUNDS] [RUNS]   (defaults 15 and 3: medians of ROUNDS rounds,
// RUNS times over; the ratios are given with their spread over the runs)
#include "completion/Completion.h"
#include "install/CabInstaller.h"
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"

#include <fcntl.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kCabs = 30;
// Setup writes Reset and fAskDest before and after each installation.
constexpr int kCommits = 4 * kCabs;
constexpr double kTimeScale = 0.001;
// The wait before the reset that a run with installations makes, in real seconds.
constexpr double kResetWaitSeconds = RESET_DELAY_MS / 1000.0 * kTimeScale;
constexpr char kSetupCePath[] = "\\FlashDisk\\SP\\Setup.exe";
constexpr char kEmptyCePath[] = "\\FlashDisk\\SP\\Empty.exe";
constexpr char16_t kInstallerCePath[] = u"\\Windows\\wceload.exe";

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "setup_bench: %s\n", what.c_str());
  std::exit(1);
}

void WriteHostFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string CabName(int index) { return "Cab" + std::to_string(100 + index) + ".cab"; }

// An image whose start folder holds Setup, the empty program and `cabs` CABs, with a
// script installer that succeeds at once and registers nothing.
std::string MakeImage(const std::string& root, int cabs) {
  host::ImageOptions options;
  options.timeScale = kTimeScale;
  options.resetDevice = "ignore";
  host::CreateImage(root, options);
  const fs::path fsRoot = fs::path(root) / "fs";
  fs::create_directories(fsRoot / "FlashDisk/SP");
  fs::copy_file(SETUP_PATH, fsRoot / "FlashDisk/SP/Setup.exe");
  fs::copy_file(EMPTY_PROGRAM_PATH, fsRoot / "FlashDisk/SP/Empty.exe");
  WriteHostFile(fsRoot / "FlashDisk/Calibrate.dat", "1");
  WriteHostFile(fsRoot / "Windows/wceload.exe", "#!/bin/sh\nexit 0\n");
  for (int i = 0; i < cabs; ++i) WriteHostFile(fsRoot / "FlashDisk/SP" / CabName(i), "MSCF");
  return root;
}

// `termsim run IMAGE CEPATH`, its output discarded; returns real seconds.
double TermsimRun(const std::string& image, const char* cePath, int expectedExit) {
  std::vector<std::string> args = {TERMSIM_PATH, "run", image, cePath};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  int pid = 0;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) Die("cannot start termsim");
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != expectedExit) {
    Die(std::string(cePath) + " ended with " + std::to_string(WEXITSTATUS(status)) + ", not " +
        std::to_string(expectedExit));
  }
  return seconds;
}

// `kCabs` starts of the installer on the CABs, one after the other, as Setup makes them
// (start, wait, record the exit); returns real seconds.
double InstallerStarts(const std::string& image) {
  host::AttachImage(image);
  const auto start = Clock::now();
  for (int i = 0; i < kCabs; ++i) {
    const auto started = host::StartProgram(kInstallerCePath, host::FromUtf8("\\FlashDisk\\SP\\" + CabName(i)));
    int status = 0;
    ::waitpid(started.pid, &status, 0);
    if (host::RecordChildExit(started, status) != 0) Die("the installer failed");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  host::DetachImage();
  return seconds;
}

// `kCabs` installations through the program's own installer call, in this process:
// the two flags around each start, the process handles and the wait; real seconds.
double InstallerCalls(const std::string& image) {
  host::AttachImage(image);
  const auto start = Clock::now();
  for (int i = 0; i < kCabs; ++i) {
    const std::u16string cabPath = host::FromUtf8("\\FlashDisk\\SP\\" + CabName(i));
    if (!RunCabInstaller(cabPath.c_str())) Die("the installer call failed");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  host::DetachImage();
  return seconds;
}

// `kCommits` bare SQLite commits in one process, each a DWORD replaced in a table of
// its own, into a database beside the image made with the image's own settings: a
// write-ahead log, synced as the image is (NORMAL; OFF for an image made not durable).
// Returns real seconds.
double BareCommits(const std::string& image, const std::string& scratch) {
  sqlite3* db = nullptr;
  std::string synchronous = "NORMAL";
  if (sqlite3_open_v2((image + "/terminal.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* durable = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM settings WHERE name = 'durable' AND value = 'no'", -1, &durable, nullptr);
    if (durable && sqlite3_step(durable) == SQLITE_ROW) synchronous = "OFF";
    sqlite3_finalize(durable);
  }
  sqlite3_close(db);
  if (sqlite3_open(scratch.c_str(), &db) != SQLITE_OK) Die("cannot open " + scratch);
  const std::string setup = "PRAGMA journal_mode=WAL; PRAGMA synchronous=" + synchronous +
                            "; CREATE TABLE IF NOT EXISTS value(id INTEGER PRIMARY KEY, data BLOB NOT NULL);";
  if (sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Die(sqlite3_errmsg(db));
  sqlite3_stmt *begin = nullptr, *write = nullptr, *commit = nullptr;
  sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO value(id, data) VALUES(?, ?)", -1, &write, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  const auto start = Clock::now();
  for (int i = 0; i < kCommits; ++i) {
    const uint32_t data = static_cast<uint32_t>(i % 2);
    sqlite3_step(begin);
    sqlite3_reset(begin);
    sqlite3_bind_int(write, 1, i % 2);
    sqlite3_bind_blob(write, 2, &data, sizeof data, SQLITE_TRANSIENT);
    sqlite3_step(write);
    sqlite3_reset(write);
    if (sqlite3_step(commit) != SQLITE_DONE) Die(sqlite3_errmsg(db));
    sqlite3_reset(commit);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (sqlite3_stmt* statement : {begin, write, commit}) sqlite3_finalize(statement);
  sqlite3_close(db);
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Report(const char* what, double measured, const char* floorName, double floor) {
  std::printf("%s: %.1f ms, %s: %.1f ms, ratio %.3f\n", what, measured * 1000, floorName, floor * 1000,
              measured / floor);
}

struct Ratios {
  double installing = 0, idle = 0;
};

// One measured run of ROUNDS rounds, with its report; the two ratios to their floors.
Ratios MeasureOnce(const std::string& installing, const std::string& idle, const std::string& scratch, int rounds) {
  std::vector<double> setupInstalling, starts, commits, calls, setupIdle, empty;
  for (int round = 0; round < rounds; ++round) {
    setupInstalling.push_back(TermsimRun(installing, kSetupCePath, 1) - kResetWaitSeconds);
    starts.push_back(InstallerStarts(installing));
    commits.push_back(BareCommits(installing, scratch));
    calls.push_back(InstallerCalls(installing));
    // The first termsim run after this process's own installations takes about 1 ms
    // more, whichever program it runs. An unmeasured run takes that place, so that
    // neither side of (b) pays it for the other.
    TermsimRun(idle, kEmptyCePath, 0);
    setupIdle.push_back(TermsimRun(idle, kSetupCePath, 1));
    empty.push_back(TermsimRun(idle, kEmptyCePath, 0));
  }
  const double floor = Median(starts) + Median(commits) + Median(empty);
  std::printf("medians of %d rounds\n", rounds);
  Report("(a) Setup installing 30 CABs", Median(setupInstalling), "30 installer starts", Median(starts));
  Report("    the same", Median(setupInstalling), "30 installer starts + 120 bare commits + an empty program", floor);
  std::printf("    (120 bare commits alone: %.1f ms)\n", Median(commits) * 1000);
  Report("    of which 30 installer calls", Median(calls), "30 installer starts", Median(starts));
  Report("(b) Setup with nothing to install", Median(setupIdle), "an empty program", Median(empty));
  // What one installation adds to a run, beside one bare start: the fixed cost of any
  // run (b) taken out.
  Report("    per installation, (a) - (b) over 30", (Median(setupInstalling) - Median(setupIdle)) / kCabs,
         "one installer start", Median(starts) / kCabs);
  return {Median(setupInstalling) / floor, Median(setupIdle) / Median(empty)};
}

void PrintRatio(const char* what, std::vector<double> ratios) {
  std::sort(ratios.begin(), ratios.end());
  std::printf("ratio %s to its floor: %.2f (%zu runs: %.3f to %.3f)\n", what, Median(ratios), ratios.size(),
              ratios.front(), ratios.back());
}

}  // namespace

int Bench(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::string folder = (fs::temp_directory_path() / "korva-setup-bench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) Die("mkdtemp failed");
  const std::string installing = MakeImage(folder + "/installing", kCabs);
  const std::string idle = MakeImage(folder + "/idle", 0);
  const std::string scratch = folder + "/commits.db";

  // One round of each first, unmeasured: caches, page faults.
  TermsimRun(installing, kSetupCePath, 1);
  InstallerStarts(installing);
  BareCommits(installing, scratch);
  InstallerCalls(installing);
  TermsimRun(idle, kSetupCePath, 1);
  TermsimRun(idle, kEmptyCePath, 0);

  std::vector<double> installingRatios, idleRatios;
  for (int run = 0; run < runs; ++run) {
    std::printf("== run %d of %d\n", run + 1, runs);
    const Ratios ratios = MeasureOnce(installing, idle, scratch, rounds);
    installingRatios.push_back(ratios.installing);
    idleRatios.push_back(ratios.idle);
  }
  PrintRatio("30-CAB run", installingRatios);
  PrintRatio("no-op run", idleRatios);
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}

int main(int argc, char** argv) {
  try {
    return Bench(argc, argv);
  } catch (const host::HostError& e) {
    Die(e.what());
  }
}
