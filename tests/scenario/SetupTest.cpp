// Setup on a terminal, started through termsim as on the real terminal.
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

namespace {

using e2e::Termsim;

const char* const kSetupCePath = "\\FlashDisk\\SP\\Setup.exe";
constexpr int64_t kErrorBoxStyle = 0x00040000 | 0x00000010;  // MB_TOPMOST | MB_ICONHAND

void PutSetup(const e2e::ImageFolder& image) { image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH); }

TEST(SetupTest, SecondCopyLeavesWhileTheFirstRuns) {
  e2e::ImageFolder image;
  image.Create({"--message-box", "never", "--no-platform"});
  PutSetup(image);
  // The first copy stops at its error box, which is never answered, holding the mutex.
  e2e::Process first(TERMSIM_PATH, {"run", image.path(), kSetupCePath, "--timeout", "90"}, {});
  ASSERT_TRUE(e2e::WaitUntil(30, [&] { return !e2e::EventsNamed(image.Journal(), "messagebox").empty(); }));

  const auto second = Termsim({"run", image.path(), kSetupCePath});
  EXPECT_EQ(second.exitCode, 0) << second.err;
  const auto journal = image.Journal();
  EXPECT_EQ(e2e::EventsNamed(journal, "messagebox").size(), 1u);
  EXPECT_TRUE(e2e::EventsNamed(journal, "messagebox-answer").empty());
  const auto exits = e2e::EventsNamed(journal, "process-exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].Text("image"), kSetupCePath);
  EXPECT_EQ(exits[0].Int("exit_code"), 0);
  EXPECT_NE(exits[0].Int("pid"), e2e::EventsNamed(journal, "messagebox")[0].Int("pid"));

  EXPECT_EQ(Termsim({"stop", image.path()}).exitCode, 0);
  first.Finish();
}

TEST(SetupTest, JapaneseTerminalWithoutPlatformKeyReportsAnInstallError) {
  e2e::ImageFolder image;
  image.Create({"--language", "ja", "--no-platform"});
  PutSetup(image);
  const auto run = Termsim({"run", image.path(), kSetupCePath});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const auto journal = image.Journal();
  const auto boxes = e2e::EventsNamed(journal, "messagebox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text("caption"), "Setup");
  EXPECT_EQ(boxes[0].Text("text"), "インストールでエラーが発生しました。\nリセット後、もう一度行って下さい。");
  EXPECT_EQ(boxes[0].Int("style"), kErrorBoxStyle);
  const auto answers = e2e::EventsNamed(journal, "messagebox-answer");
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].Int("result"), 1);  // IDOK
  EXPECT_TRUE(e2e::EventsNamed(journal, "reset").empty());
}

TEST(SetupTest, KnownModelWithNothingToInstallEndsQuietly) {
  e2e::ImageFolder image;
  image.Create();
  PutSetup(image);
  const auto run = Termsim({"run", image.path(), kSetupCePath});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const auto journal = image.Journal();
  EXPECT_TRUE(e2e::EventsNamed(journal, "messagebox").empty());
  EXPECT_TRUE(e2e::EventsNamed(journal, "reset").empty());
  // Setup is the only program that ran: no installer was started.
  const auto starts = e2e::EventsNamed(journal, "process-start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].Text("image"), kSetupCePath);
}

}  // namespace
