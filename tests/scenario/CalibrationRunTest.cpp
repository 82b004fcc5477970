// Setup's calibration step in whole runs: the routine runs only while the flash disk
// holds no record, a calibrated panel leaves the record of the terminal's calibration
// data, and all of it happens after the other programs' windows are closed and before
// anything is installed.
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using e2e::Termsim;

const char* const kSetupCePath = "\\FlashDisk\\SP\\Setup.exe";
const char* const kRecord = "FlashDisk/Calibrate.dat";

// Runs the program at `cePath` and checks its exit code.
void RunSetup(const e2e::ImageFolder& image, int expectedExit, const char* cePath = kSetupCePath) {
  const auto run = Termsim({"run", image.path(), cePath});
  EXPECT_EQ(run.exitCode, expectedExit) << run.out << run.err;
}

// The results of the calibrate events so far.
std::vector<int64_t> Calibrations(const e2e::ImageFolder& image) {
  std::vector<int64_t> results;
  for (const auto& event : e2e::EventsNamed(image.Journal(), "calibrate")) results.push_back(event.Int("result"));
  return results;
}

// Every file of the terminal whose name begins with "Calibrate", wherever it is.
std::vector<std::string> CalibrationFiles(const e2e::ImageFolder& image) {
  std::vector<std::string> found;
  for (const auto& entry : e2e::ListTree(image.FsPath(""))) {
    if (std::filesystem::path(entry).filename().string().rfind("Calibrate", 0) == 0) found.push_back(entry);
  }
  return found;
}

// An event of Setup's as a step of its run.
std::string Describe(const e2e::Event& event) {
  const std::string name = event.Name();
  if (name == "post-message") {
    const std::string window = event.Text("class") == "WELCOME" ? "WELCOME" : event.Text("title");
    return name + " " + window + " " + std::to_string(event.Int("message"));
  }
  if (name == "calibrate") return name + " " + std::to_string(event.Int("result"));
  if (name == "process-start") return name + " " + event.Text("image") + " " + event.Text("cmdline");
  return name;
}

TEST(CalibrationRunTest, CalibrationIsStoredOnlyWhileTheFlashDiskHasNoRecord) {
  struct Case {
    std::vector<std::string> createArgs;
    std::optional<std::string> existing;  // Calibrate.dat before the first run
    std::optional<std::u16string> stored;  // what the runs leave in Calibrate.dat
  };
  const Case cases[] = {
      // The terminal's own calibration data.
      {{}, std::nullopt, u"80:460,468 652,860 276,852 276,436 652,436 :139:"},
      {{"--calibration-data", "100,200 300,400"}, std::nullopt, u"30:100,200 300,400:10:"},
      {{"--calibration-data", "12:34 56:78 9"}, std::nullopt, u"26:12:34 56:78 9:45:"},
      // A record of 28 bytes is refused, so the next run calibrates again.
      {{"--calibration-data", "1,2 3,4"}, std::nullopt, std::nullopt},
      // Any file of that name counts as a record: it is neither checked nor replaced.
      {{}, "not a record", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.createArgs) + (c.existing ? " with a record" : ""));
    e2e::ImageFolder image;
    std::vector<std::string> args = {"--time-scale", "0.01"};
    args.insert(args.end(), c.createArgs.begin(), c.createArgs.end());
    image.Create(args);
    image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
    if (c.existing) image.PutFile(kRecord, *c.existing);

    RunSetup(image, 1);
    RunSetup(image, 1);

    std::vector<int64_t> expected;
    if (!c.existing) expected = c.stored ? std::vector<int64_t>{1} : std::vector<int64_t>{1, 1};
    EXPECT_EQ(Calibrations(image), expected);
    if (c.existing) {
      EXPECT_EQ(ReadHostFile(image.FsPath(kRecord)), *c.existing);
      EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{kRecord});
    } else if (c.stored) {
      EXPECT_EQ(ReadHostFile(image.FsPath(kRecord)), e2e::Utf16Le(*c.stored));
      EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{kRecord});
    } else {
      EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{});
    }
  }
}

TEST(CalibrationRunTest, FailedCalibrationStoresNothing) {
  e2e::ImageFolder image;
  image.Create({"--time-scale", "0.01", "--calibration", "fail"});
  image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
  // Data of an earlier calibration: a save now would store it.
  e2e::ImportCalibrationData(image, "100,200 300,400");

  RunSetup(image, 1);
  RunSetup(image, 1);

  EXPECT_EQ(Calibrations(image), (std::vector<int64_t>{0, 0}));
  EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{});
  EXPECT_TRUE(e2e::EventsNamed(image.Journal(), "messagebox").empty());
}

TEST(CalibrationRunTest, WithoutAFlashDiskTheRoutineRunsOnEveryRun) {
  const char* const setupCePath = "\\Other\\SP\\Setup.exe";
  e2e::ImageFolder image;
  image.Create({"--time-scale", "0.01", "--volume", "Other"});
  image.PutProgram("Other/SP/Setup.exe", SETUP_PATH);

  RunSetup(image, 1, setupCePath);
  RunSetup(image, 1, setupCePath);
  EXPECT_EQ(Calibrations(image), (std::vector<int64_t>{1, 1}));
  EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{});

  // Without a flash folder the record is looked for in the root.
  image.PutFile("Calibrate.dat", "elsewhere");
  RunSetup(image, 1, setupCePath);
  EXPECT_EQ(Calibrations(image), (std::vector<int64_t>{1, 1}));
  EXPECT_EQ(CalibrationFiles(image), std::vector<std::string>{"Calibrate.dat"});
}

TEST(CalibrationRunTest, WindowsAreClosedBeforeCalibrationAndInstallation) {
  struct Case {
    bool recordStored;
    std::vector<std::string> setupSteps;
  };
  const std::string welcome = "post-message WELCOME 2";
  const std::string welcomeEnded = "welcome process-exit";
  const std::string owner = "post-message 所有者情報のプロパティ 16";
  const std::string dateTime = "post-message 日付/時刻のプロパティ 16";
  const std::string installer = "process-start \\Windows\\wceload.exe \\FlashDisk\\SP\\Tool.cab";
  const Case cases[] = {
      {false, {welcome, welcomeEnded, owner, dateTime, "calibrate 1", installer, "messagebox", "messagebox-answer",
               "process-exit"}},
      {true, {welcome, welcomeEnded, owner, dateTime, installer, "messagebox", "messagebox-answer", "process-exit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.recordStored ? "record stored" : "no record");
    e2e::ImageFolder image;
    image.Create({"--time-scale", "0.01", "--language", "ja"});
    image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
    // Not a cabinet: the installer starts, fails, and Setup reports the error.
    image.PutFile("FlashDisk/SP/Tool.cab", "not a cabinet");
    if (c.recordStored) image.PutFile(kRecord, e2e::Utf16Le(u"30:100,200 300,400:10:"));
    const int welcomeOwner = e2e::StartWindow(image, "WELCOME", "ようこそ", 1000);
    e2e::StartWindow(image, "Dialog", "日付/時刻のプロパティ");
    e2e::StartWindow(image, "Dialog", "所有者情報のプロパティ");

    RunSetup(image, 0);

    const auto journal = image.Journal();
    const int64_t setup = e2e::ExitedProgramPid(journal, kSetupCePath);
    std::vector<std::string> steps;
    for (const auto& event : journal) {
      if (event.Int("pid") == welcomeOwner && event.Name() == "process-exit") steps.push_back(welcomeEnded);
      if (event.Int("pid") != setup) continue;
      steps.push_back(Describe(event));
    }
    EXPECT_EQ(steps, c.setupSteps);
  }
}

}  // namespace
