// The terminal's core: images, the journal, fault rules and name matching.
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace {

// Whether `call` threw a HostError whose reason holds `words`.
template <class F>
testing::AssertionResult ThrowsHostError(F&& call, const std::string& words) {
  try {
    call();
  } catch (const host::HostError& e) {
    if (std::string(e.what()).find(words) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "it threw: " << e.what();
  }
  return testing::AssertionFailure() << "it threw nothing";
}

}  // namespace

TEST(Image, CreateRefusesExistingNonEmptyFolderAndBadOptions) {
  TestImage image;
  EXPECT_TRUE(ThrowsHostError([&] { host::CreateImage(image.root(), {}); }, "already exists"));
  host::ImageOptions bad;
  bad.model = "LM999";
  EXPECT_TRUE(ThrowsHostError([&] { host::CreateImage(image.root() + "/other", bad); }, "--model"));
  EXPECT_FALSE(std::filesystem::exists(image.root() + "/other"));
}

TEST(Image, CreatingAnotherLeavesTheCallerOnItsImageMidChange) {
  TestImage image;
  {
    host::ChangeBatch batch;
    host::RegistryCreateKey(host::RegistryRoot::LocalMachine, u"Probe");
    ASSERT_NO_THROW(host::CreateImage(image.root() + "/other", {}));
    batch.Commit();
  }
  EXPECT_EQ(host::ImageRoot(), image.root());
  EXPECT_TRUE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"Probe"));
  ASSERT_NO_THROW(host::AttachImage(image.root() + "/other"));
  EXPECT_FALSE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"Probe"));
  EXPECT_TRUE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"Platform"));
}

// A rehearsal's twins: copies of one prepared image, each made anew, none synced to disk.
TEST(Image, CopyOfAPreparedImageHoldsItsStateWithItsOwnCreationTimeNotDurable) {
  namespace fs = std::filesystem;
  TestImage image;
  EXPECT_EQ(host::Setting("durable"), "");  // termsim create's images are synced
  host::ImageOptions twin;
  twin.language = "ja";
  twin.durable = false;
  const std::string prepared = image.root() + "/prepared", copy = image.root() + "/copy";
  ASSERT_NO_THROW(host::CreateImage(prepared, twin));
  fs::create_directories(prepared + "/fs/FlashDisk/SP");
  { std::ofstream(prepared + "/fs/FlashDisk/SP/a.cab") << "MSCF"; }
  const auto before = std::chrono::system_clock::now();
  ASSERT_NO_THROW(host::AttachNewImage(prepared, copy));
  EXPECT_TRUE(ThrowsHostError([&] { host::AttachNewImage(prepared, copy); }, "not an empty folder"));
  EXPECT_EQ(host::Setting("durable"), "no");
  EXPECT_EQ(host::Setting("language"), "ja");
  EXPECT_TRUE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"SOFTWARE\\Apps"));
  EXPECT_GE(host::CreatedMs(),
            std::chrono::duration_cast<std::chrono::milliseconds>(before.time_since_epoch()).count());
  // Its files are its own: writing one leaves the prepared image's as it was.
  { std::ofstream(copy + "/fs/FlashDisk/SP/a.cab", std::ios::app) << "more"; }
  EXPECT_EQ(fs::file_size(prepared + "/fs/FlashDisk/SP/a.cab"), 4u);
  EXPECT_EQ(fs::hard_link_count(copy + "/fs/FlashDisk/SP/a.cab"), 1u);
}

// A folder, and a database whose settings table has NULLs where an image has none.
TEST(Image, AttachRefusesForeignFolderAndDatabase) {
  EXPECT_TRUE(ThrowsHostError([] { host::AttachImage("/tmp"); }, "not a terminal image"));
  TestImage image;
  const std::string foreign = image.root() + "/foreign";
  std::filesystem::create_directories(foreign + "/fs");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((foreign + "/terminal.db").c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE settings(name TEXT, value TEXT);"
               "INSERT INTO settings VALUES('format', NULL), (NULL, 'korva-terminal-1');", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_TRUE(ThrowsHostError([&] { host::AttachImage(foreign); }, "not a terminal image"));
}

// A number setting changed behind the terminal's back is refused by its name, not guessed.
TEST(Image, MalformedNumberSettingIsRefusedByName) {
  TestImage image;
  host::SetSetting("generation", "2x");
  try {
    host::SettingInt("generation", 0);
    ADD_FAILURE() << "no error";
  } catch (const host::HostError& e) {
    EXPECT_NE(std::string(e.what()).find("generation"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_REGISTRY_CORRUPT));
  }
  host::SetSetting("time_scale", "fast");
  host::DetachImage();
  EXPECT_TRUE(ThrowsHostError([&] { host::AttachImage(image.root()); }, "time_scale"));
}

TEST(Journal, RecordsAndReadsBackExactCodeUnits) {
  TestImage image;
  host::Journal("messagebox", {{"caption", std::u16string(u"Setup")},
                               {"text", std::u16string(u"a\n\"\\\xD800 日本語")},
                               {"style", int64_t{262160}}});
  const auto events = host::JournalEventsAfter(host::LastJournalSeq() - 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, "messagebox");
  EXPECT_EQ(events[0].FieldsJson(),
            "{\"caption\":\"Setup\",\"text\":\"a\\n\\\"\\\\\\ud800 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\","
            "\"style\":262160}");
  EXPECT_EQ(events[0].Text("text"), u"a\n\"\\\xD800 日本語");
  EXPECT_EQ(events[0].Int("style"), 262160);
  EXPECT_EQ(events[0].Int("caption"), std::nullopt);
}

TEST(Faults, AfterTimesCallerAndGlob) {
  TestImage image;
  // A registry call's target begins with its key's root.
  const std::u16string target = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\KORVA\\Service Pack:Reset";
  // What this process knew before the rule came is never served after it.
  EXPECT_EQ(host::CheckFault("RegSetValueExW", target).action, host::FaultAction::None);
  host::AddFaultRule(
      {.api = "RegSetValueExW", .pattern = u"software\\*:Reset", .error = "ERROR_ACCESS_DENIED", .after = 1, .times = 1});
  EXPECT_EQ(host::CheckFault("RegSetValueExW", target).action, host::FaultAction::None);  // --after 1
  auto fault = host::CheckFault("RegSetValueExW", target);
  EXPECT_EQ(fault.action, host::FaultAction::Fail);
  EXPECT_EQ(fault.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(host::CheckFault("RegSetValueExW", target).action, host::FaultAction::None);  // --times 1
  EXPECT_EQ(host::CheckFault("RegSetValueExW", u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps:Reset").action, host::FaultAction::None);
  const auto events = host::JournalEventsAfter(0);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.event == "fault"; }), 1);
  const auto rules = host::ListFaultRules();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].fired, 1);
  const int64_t every = host::AddFaultRule({.api = "RegSetValueExW", .pattern = u"*", .error = "5"});
  EXPECT_EQ(host::CheckFault("RegSetValueExW", target).action, host::FaultAction::Fail);
  EXPECT_TRUE(host::RemoveFaultRule(every));
  EXPECT_FALSE(host::RemoveFaultRule(every));
  EXPECT_EQ(host::CheckFault("RegSetValueExW", target).action, host::FaultAction::None);
}
