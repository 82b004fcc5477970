// Setup and the windows of other programs, on a terminal with real window owners: the
// welcome application is ended and waited for, the property dialogs of the terminal's
// language are closed, and nothing else is touched.
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

namespace {

using e2e::Termsim;

const char* const kSetupCePath = "\\FlashDisk\\SP\\Setup.exe";
const char* const kOwnerCePath = "\\Windows\\windowowner.exe";
constexpr int64_t kWmDestroy = 2;
constexpr int64_t kWmClose = 16;

struct Titles {
  const char* language;
  const char* welcome;
  const char* owner;
  const char* dateTime;
};
const Titles kEnglish = {"en", "Welcome", "Owner Properties", "Date/Time Properties"};
const Titles kJapanese = {"ja", "ようこそ", "所有者情報のプロパティ", "日付/時刻のプロパティ"};

void MakeTerminal(e2e::ImageFolder& image, const char* language) {
  image.Create({"--time-scale", "0.01", "--language", language});
  image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
}

// Runs Setup to its end (nothing to install: it exits 1) and returns the journal.
std::vector<e2e::Event> RunSetup(const e2e::ImageFolder& image) {
  const auto run = Termsim({"run", image.path(), kSetupCePath});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  return image.Journal();
}

// Where the first event named `name` of process `pid` stands in the journal; -1 when
// there is none.
int IndexOf(const std::vector<e2e::Event>& journal, const std::string& name, int64_t pid) {
  for (size_t i = 0; i < journal.size(); ++i) {
    if (journal[i].Name() == name && journal[i].Int("pid") == pid) return static_cast<int>(i);
  }
  return -1;
}

TEST(WindowsRunTest, WindowsThatAreNotSetupsTargetsAreLeftAlone) {
  for (const Titles& titles : {kEnglish, kJapanese}) {
    SCOPED_TRACE(titles.language);
    e2e::ImageFolder image;
    MakeTerminal(image, titles.language);
    // A near miss of each target: another class with the right title, or the right
    // class with another title.
    const int owners[] = {
        e2e::StartWindow(image, "WELCOME2", titles.welcome),
        e2e::StartWindow(image, "Welcome Center", ""),
        e2e::StartWindow(image, "Dialog", "Network Properties"),
        e2e::StartWindow(image, "Dialog", std::string(titles.owner) + " "),
        e2e::StartWindow(image, "OwnerDialog", titles.owner),
        e2e::StartWindow(image, "Properties", titles.dateTime),
    };

    const auto journal = RunSetup(image);
    EXPECT_TRUE(e2e::EventsNamed(journal, "post-message").empty());
    EXPECT_TRUE(e2e::EventsNamed(journal, "fault").empty());
    EXPECT_EQ(e2e::EventsNamed(journal, "calibrate").size(), 1u);
    for (int owner : owners) EXPECT_FALSE(e2e::ProcessGone(owner)) << owner;
  }
}

TEST(WindowsRunTest, SetupGoesOnOnlyOnceTheWelcomeApplicationHasEnded) {
  constexpr int kExitDelayMs = 3000;
  for (const Titles& titles : {kEnglish, kJapanese}) {
    SCOPED_TRACE(titles.language);
    e2e::ImageFolder image;
    MakeTerminal(image, titles.language);
    const int owner = e2e::StartWindow(image, "WELCOME", titles.welcome, kExitDelayMs);

    const auto journal = RunSetup(image);
    const int64_t setup = e2e::ExitedProgramPid(journal, kSetupCePath);
    const auto posts = e2e::EventsNamed(journal, "post-message");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].Int("pid"), setup);
    EXPECT_EQ(posts[0].Text("class"), "WELCOME");
    EXPECT_EQ(posts[0].Text("title"), titles.welcome);
    EXPECT_EQ(posts[0].Int("message"), kWmDestroy);

    // The owner took the message, lingered for its delay and ended; Setup's next step
    // (the calibration) came only after that.
    const auto ownerEvents = e2e::EventsOf(journal, owner);
    ASSERT_EQ(ownerEvents.size(), 2u);
    EXPECT_EQ(ownerEvents[0].Name(), "sleep");
    EXPECT_EQ(ownerEvents[0].Int("ms"), kExitDelayMs);
    EXPECT_EQ(ownerEvents[1].Name(), "process-exit");
    EXPECT_EQ(ownerEvents[1].Text("image"), kOwnerCePath);
    const int posted = IndexOf(journal, "post-message", setup);
    const int ownerEnded = IndexOf(journal, "process-exit", owner);
    const int calibrated = IndexOf(journal, "calibrate", setup);
    EXPECT_LT(posted, ownerEnded);
    EXPECT_LT(ownerEnded, calibrated);
    for (int i = posted + 1; i < ownerEnded; ++i) EXPECT_NE(journal[i].Int("pid"), setup) << journal[i].line;
    EXPECT_GE(journal[calibrated].Int("time_ms") - journal[posted].Int("time_ms"), kExitDelayMs);
    EXPECT_TRUE(e2e::ProcessGone(owner));
  }
}

TEST(WindowsRunTest, WelcomeApplicationThatCannotBeOpenedKeepsItsWindow) {
  e2e::ImageFolder image;
  MakeTerminal(image, "en");
  const int owner = e2e::StartWindow(image, "WELCOME", "Welcome");
  const auto rule = Termsim({"fault", image.path(), "OpenProcess", "*", "ERROR_ACCESS_DENIED", "--caller", kSetupCePath});
  ASSERT_EQ(rule.exitCode, 0) << rule.err;

  const auto journal = RunSetup(image);
  const int64_t setup = e2e::ExitedProgramPid(journal, kSetupCePath);
  const auto faults = e2e::EventsNamed(journal, "fault");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].Text("api"), "OpenProcess");
  EXPECT_EQ(faults[0].Int("pid"), setup);
  EXPECT_TRUE(e2e::EventsNamed(journal, "post-message").empty());
  EXPECT_TRUE(e2e::EventsOf(journal, owner).empty());
  EXPECT_LT(IndexOf(journal, "fault", setup), IndexOf(journal, "calibrate", setup));
  EXPECT_FALSE(e2e::ProcessGone(owner));
}

TEST(WindowsRunTest, WelcomeWindowWhoseOwnerIsUnknownIsDestroyedWithoutAWait) {
  // Far longer than Setup's whole run: a wait would show.
  constexpr int kExitDelayMs = 200'000;
  e2e::ImageFolder image;
  MakeTerminal(image, "ja");
  const int owner = e2e::StartWindow(image, "WELCOME", "ようこそ", kExitDelayMs);
  ASSERT_EQ(Termsim({"fault", image.path(), "GetWindowThreadProcessId", "*", "ERROR_INVALID_WINDOW_HANDLE", "--caller",
                     kSetupCePath})
                .exitCode,
            0);

  const auto journal = RunSetup(image);
  const int64_t setup = e2e::ExitedProgramPid(journal, kSetupCePath);
  const auto faults = e2e::EventsNamed(journal, "fault");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].Text("api"), "GetWindowThreadProcessId");
  const auto posts = e2e::EventsNamed(journal, "post-message");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].Int("pid"), setup);
  EXPECT_EQ(posts[0].Text("class"), "WELCOME");
  EXPECT_EQ(posts[0].Int("message"), kWmDestroy);
  const int posted = IndexOf(journal, "post-message", setup);
  const int calibrated = IndexOf(journal, "calibrate", setup);
  ASSERT_LT(posted, calibrated);
  EXPECT_LT(journal[calibrated].Int("time_ms") - journal[posted].Int("time_ms"), kExitDelayMs);
  // Setup ended while the owner was still winding down.
  EXPECT_EQ(IndexOf(journal, "process-exit", owner), -1);
  EXPECT_FALSE(e2e::ProcessGone(owner));
  // The owner did get the message: it starts its exit delay.
  EXPECT_TRUE(e2e::WaitUntil(30, [&] { return IndexOf(image.Journal(), "sleep", owner) >= 0; }));
}

TEST(WindowsRunTest, PropertyDialogsOfTheTerminalsLanguageAreClosedOwnerFirst) {
  struct Case {
    const Titles& titles;
    const Titles& other;  // the same dialogs in the other language: left open
  };
  for (const Case& c : {Case{kJapanese, kEnglish}, Case{kEnglish, kJapanese}}) {
    SCOPED_TRACE(c.titles.language);
    e2e::ImageFolder image;
    MakeTerminal(image, c.titles.language);
    // The date/time dialogs open first, so the order of the closes is Setup's own.
    const int dateTime = e2e::StartWindow(image, "Dialog", c.titles.dateTime);
    const int otherDateTime = e2e::StartWindow(image, "Dialog", c.other.dateTime);
    const int otherOwner = e2e::StartWindow(image, "Dialog", c.other.owner);
    const int owner = e2e::StartWindow(image, "Dialog", c.titles.owner);

    const auto journal = RunSetup(image);
    const int64_t setup = e2e::ExitedProgramPid(journal, kSetupCePath);
    const auto posts = e2e::EventsNamed(journal, "post-message");
    ASSERT_EQ(posts.size(), 2u);
    for (const auto& post : posts) {
      EXPECT_EQ(post.Int("pid"), setup);
      EXPECT_EQ(post.Text("class"), "Dialog");
      EXPECT_EQ(post.Int("message"), kWmClose);
    }
    EXPECT_EQ(posts[0].Text("title"), c.titles.owner);
    EXPECT_EQ(posts[1].Text("title"), c.titles.dateTime);
    EXPECT_LT(posts[1].Int("seq"), e2e::EventsNamed(journal, "calibrate").at(0).Int("seq"));

    // Closing a dialog ends its owner; nothing waits for that.
    EXPECT_TRUE(e2e::WaitUntil(10, [&] { return e2e::ProcessGone(owner) && e2e::ProcessGone(dateTime); }));
    EXPECT_FALSE(e2e::ProcessGone(otherOwner));
    EXPECT_FALSE(e2e::ProcessGone(otherDateTime));
  }
}

}  // namespace
