// termsim's command line as a whole: help, unknown commands, where options may go.
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

namespace {

using e2e::Termsim;

TEST(CommandLineTest, HelpOnEveryCommand) {
  struct Case {
    std::vector<std::string> args;
    std::string usage;                 // the first line starts with this
    std::vector<std::string> options;  // each one is described
  };
  const Case cases[] = {
      {{"create", "--help"}, "usage: termsim create IMAGE",
       {"--model", "--platform-name", "--no-platform", "--language", "--volume", "--file-times", "--time-scale",
        "--message-box", "--calibration", "--calibration-data", "--reset-device"}},
      {{"reg", "import", "-h"}, "usage: termsim reg import IMAGE FILE.reg", {}},
      {{"reg", "export", "--help"}, "usage: termsim reg export IMAGE [KEY]", {}},
      {{"run", "img", "--help"}, "usage: termsim run IMAGE CEPATH [CMDLINE]", {"--timeout"}},
      {{"window", "--help", "--class"}, "usage: termsim window IMAGE", {"--class", "--title", "--exit-delay"}},
      {{"fault", "--help"}, "usage: termsim fault IMAGE API PATTERN", {"--after", "--times", "--caller", "--list", "--remove", "--clear"}},
      {{"stop", "--help"}, "usage: termsim stop IMAGE", {}},
      {{"journal", "--bogus", "--help"}, "usage: termsim journal IMAGE", {"--json", "--run"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usage);
    const auto result = Termsim(c.args);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind(c.usage, 0), 0u) << result.out;
    for (const auto& option : c.options) EXPECT_NE(result.out.find("\n  " + option), std::string::npos) << option;
    EXPECT_NE(result.out.find("--help"), std::string::npos);
  }

  for (const char* help : {"--help", "-h"}) {
    const auto overview = Termsim({help});
    EXPECT_EQ(overview.exitCode, 0);
    for (const char* command : {"create", "reg import", "reg export", "run", "window", "fault", "stop", "journal"})
      EXPECT_NE(overview.out.find(std::string("termsim ") + command + " "), std::string::npos) << command;
  }
  const auto reg = Termsim({"reg", "--help"});
  EXPECT_EQ(reg.exitCode, 0);
  EXPECT_NE(reg.out.find("termsim reg import"), std::string::npos);
  EXPECT_EQ(reg.out.find("termsim create"), std::string::npos);
}

TEST(CommandLineTest, UnknownOrMissingCommandIsAUsageError) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"bogus"}, {"--json"}, {"reg"}, {"reg", "merge", "x"}, {"Create", "x"},
  };
  for (const auto& args : cases) {
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(args);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(CommandLineTest, OptionsGoBeforeOrAfterPositionalsInEitherForm) {
  const std::vector<std::vector<std::string>> forms = {
      {"create", "IMAGE", "--model", "LM320", "--language=ja"},
      {"create", "--model=LM320", "IMAGE", "--language", "ja"},
      {"create", "--language", "ja", "--model", "LM320", "--", "IMAGE"},
  };
  for (const auto& form : forms) {
    e2e::ImageFolder image;
    std::vector<std::string> args = form;
    for (auto& arg : args) {
      if (arg == "IMAGE") arg = image.path();
    }
    const auto result = Termsim(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string exported = image.Export();
    EXPECT_NE(exported.find("\"Name\"=\"KORVA LM320 CE4.10\""), std::string::npos) << exported;
    EXPECT_NE(exported.find("\"DefaultLCID\"=dword:00000411"), std::string::npos) << exported;
  }
}

TEST(CommandLineTest, TextIsUtf8WhateverTheLocale) {
  e2e::ImageFolder image;
  const std::string name = "KORVA 端末 CE4.10";
  const auto created = Termsim({"create", image.path(), "--platform-name", name}, {"LC_ALL=C", "LANG=C"});
  ASSERT_EQ(created.exitCode, 0) << created.err;
  const auto exported = Termsim({"reg", "export", image.path(), "Platform"}, {"LC_ALL=C", "LANG=C"});
  EXPECT_NE(exported.out.find("\"Name\"=\"" + name + "\""), std::string::npos) << exported.out;

  image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
  const auto run = Termsim({"run", image.path(), "\\FlashDisk\\probe.exe", "echo 日本語 ü"}, {"LC_ALL=C", "LANG=C"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("[日本語 ü] [\\FlashDisk\\probe.exe]"), std::string::npos) << run.out;
  const auto starts = e2e::EventsNamed(image.Journal(), "process-start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].Text("cmdline"), "echo 日本語 ü");
}

}  // namespace
