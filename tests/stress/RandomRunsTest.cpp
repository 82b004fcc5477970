// Randomized whole runs: terminals drawn from seeds, Setup run on each through
// `termsim run` with the installer stand-in, every run checked from the journal and
// the registry. A terminal gets up to three runs: after a completed run the next must
// find nothing to do, after an error or a limit reached after installing, the next
// shows how Setup goes on.
//
// By hand:
//   KORVA_RANDOM_RUNS=N   terminals to draw (default 100)
//   KORVA_RANDOM_SEED=S   seed of the first terminal (default 1); terminal i has seed S+i
//   KORVA_RANDOM_APPS=A   most applications in a drawn inventory (default 40)
// A failing terminal prints its seed and keeps its image folder (the path is printed);
// KORVA_RANDOM_SEED=<seed> KORVA_RANDOM_RUNS=1 draws the same terminal again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>

#include "tests/stress/RandomTerminal.h"
#include "tests/stress/RunProperties.h"
#include "tests/stress/StressSupport.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRunsPerTerminal = 3;
constexpr double kRunSeconds = 60;  // Setup's longest acceptable run, the sanitizer build included
constexpr int kMaxReportedTerminals = 5;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

std::string Workspace() {
  std::string pattern = (fs::temp_directory_path() / "korva-stress-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

struct TerminalResult {
  std::vector<stress::Ending> endings;
  std::string report;  // empty when every run kept its promises
};

std::string RunLog(const stress::RunRecord& run, const e2e::Result& termsim) {
  std::string log = "journal of the run:\n";
  for (const auto& event : run.events) log += "  " + event.line + "\n";
  log += "termsim's standard error:\n" + termsim.err;
  return log;
}

TerminalResult RunTerminal(const stress::Terminal& terminal, const stress::Pool& pool, const std::string& folder) {
  TerminalResult result;
  const std::string image = folder + "/image";
  std::string why;
  if (!stress::BuildTerminal(terminal, pool, image, folder + "/scratch", &why)) {
    result.report = "the terminal could not be made: " + why;
    return result;
  }
  stress::Registry before = stress::ReadRegistry(image);
  int64_t lastSeq = 0;
  stress::Verdict previous;
  for (int number = 1; number <= kRunsPerTerminal; ++number) {
    stress::RunRecord run;
    run.before = before;
    const auto start = std::chrono::steady_clock::now();
    const e2e::Result termsim = e2e::Termsim({"run", image, terminal.SetupPath(), "--timeout", "90"});
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.exitCode = termsim.exitCode;
    run.standardError = termsim.err;
    const auto journal = stress::ReadJournal(image);
    run.events = stress::EventsAfter(journal, lastSeq);
    if (!journal.empty()) lastSeq = journal.back().Int("seq");
    run.after = stress::ReadRegistry(image);
    const stress::Verdict verdict =
        stress::CheckRun(terminal, pool, run, number > 1 ? &previous : nullptr, kRunSeconds);
    result.endings.push_back(verdict.ending);
    if (!verdict.violations.empty()) {
      result.report = "run " + std::to_string(number) + " (ended " + stress::EndingName(verdict.ending) + "):\n";
      for (const auto& violation : verdict.violations) result.report += "  - " + violation + "\n";
      result.report += RunLog(run, termsim);
      return result;
    }
    // A run that installed nothing changed nothing: the next would do the same.
    if (verdict.ending == stress::Ending::kSilent || verdict.ending == stress::Ending::kTooManyCabs) break;
    previous = verdict;
    before = run.after;
  }
  return result;
}

TEST(RandomTerminals, EveryRunKeepsSetupsPromises) {
  const uint64_t count = EnvNumber("KORVA_RANDOM_RUNS", 100);
  const uint64_t firstSeed = EnvNumber("KORVA_RANDOM_SEED", 1);
  stress::DrawLimits limits;
  limits.maxApplications = static_cast<int>(EnvNumber("KORVA_RANDOM_APPS", 40));
  const std::string workspace = Workspace();
  const stress::Pool pool(workspace + "/pool");

  const auto start = std::chrono::steady_clock::now();
  std::map<stress::Ending, int> endings;
  int failed = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t seed = firstSeed + i;
    const stress::Terminal terminal = stress::DrawTerminal(seed, pool, limits);
    const std::string folder = workspace + "/terminal-" + std::to_string(seed);
    const TerminalResult result = RunTerminal(terminal, pool, folder);
    for (auto ending : result.endings) ++endings[ending];
    if (result.report.empty()) {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
      continue;
    }
    ++failed;
    e2e::WriteFile(folder + "/report.txt", terminal.Describe() + "\n" + result.report);
    if (failed <= kMaxReportedTerminals) {
      ADD_FAILURE() << "terminal with seed " << seed << " failed; image kept in " << folder
                    << "\nreproduce: KORVA_RANDOM_SEED=" << seed << " KORVA_RANDOM_RUNS=1\n"
                    << terminal.Describe() << "\n"
                    << result.report;
    }
  }
  EXPECT_EQ(failed, 0) << failed << " of " << count << " terminals failed (reports in " << workspace << ")";
  const auto changed = pool.Changed();
  EXPECT_TRUE(changed.empty()) << "a file linked into the images was written through a link: " << changed.front();

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << count << " terminals in " << seconds << " s; runs ended:";
  for (const auto& [ending, times] : endings) std::cout << " " << stress::EndingName(ending) << " " << times << ";";
  std::cout << std::endl;
  // A draw that never reaches an ending would leave that ending untested.
  if (count >= 100) {
    for (auto ending : {stress::Ending::kSilent, stress::Ending::kCompleted, stress::Ending::kInstallError,
                        stress::Ending::kTooManyCabs, stress::Ending::kTooManyCabsReset}) {
      EXPECT_GT(endings[ending], 0) << "no run ended " << stress::EndingName(ending);
    }
  }
  if (failed == 0 && changed.empty()) {
    std::error_code ignored;
    fs::remove_all(workspace, ignored);
  }
}

// A checker that cannot fail proves nothing: forged journals of bad runs are rejected.
TEST(RandomTerminals, CheckerRejectsForgedBadRuns) {
  const std::string workspace = Workspace();
  const stress::Pool pool(workspace + "/pool");
  stress::Terminal terminal;
  terminal.language = "en";
  terminal.folder = "\\FlashDisk\\SP";
  terminal.entries = {{"a.cab"}, {"b.cab"}};
  const auto install = [](int seq, const char* name) {
    return std::string(R"({"seq":)") + std::to_string(seq) +
           R"(,"event":"process-start","image":"\\Windows\\wceload.exe","cmdline":"\\FlashDisk\\SP\\)" + name + "\"}";
  };
  const std::string limitBox =
      R"({"seq":9,"event":"messagebox","caption":"Setup","text":"The number of the cab files exceeds 30.","style":262160})";
  struct Forgery {
    const char* what;
    std::vector<std::string> lines;
    const char* violation;
  };
  const Forgery forgeries[] = {
      {"a CAB installed twice", {install(1, "a.cab"), install(2, "a.cab")}, "was installed 2 times"},
      {"out of order", {install(1, "b.cab"), install(2, "a.cab")}, "out of order"},
      {"past the limit", {limitBox}, "the limit was reported with"},
  };
  for (const auto& forgery : forgeries) {
    SCOPED_TRACE(forgery.what);
    stress::RunRecord run;
    run.exitCode = 0;
    for (const auto& line : forgery.lines) run.events.push_back(e2e::ParseJsonLine(line));
    const stress::Verdict verdict = stress::CheckRun(terminal, pool, run, nullptr, kRunSeconds);
    bool found = false;
    for (const auto& violation : verdict.violations) found = found || violation.find(forgery.violation) != std::string::npos;
    EXPECT_TRUE(found) << "expected a violation: " << forgery.violation;
  }
  std::error_code ignored;
  fs::remove_all(workspace, ignored);
}

}  // namespace
