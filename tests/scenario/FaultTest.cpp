// termsim fault: rules given on the command line, and what they do to a program.
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using e2e::Termsim;

// Every rule of the image, one "api|pattern|error|after|times|caller" line each.
std::vector<std::string> Rules(const std::string& image) {
  std::vector<std::string> rules;
  EXPECT_NO_THROW(host::AttachImage(image));
  for (const auto& rule : host::ListFaultRules()) {
    rules.push_back(rule.api + "|" + host::ToUtf8(rule.pattern) + "|" + rule.error + "|" + std::to_string(rule.after) +
                    "|" + (rule.times ? std::to_string(*rule.times) : "-") + "|" +
                    (rule.caller ? host::ToUtf8(*rule.caller) : "-"));
  }
  host::DetachImage();
  return rules;
}

TEST(FaultTest, RulesAreStoredWithTheirErrorNamed) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/SP/Setup.exe", "");
  const std::vector<std::vector<std::string>> commands = {
      {"CreateFileW", "\\FlashDisk\\*.cab", "ERROR_ACCESS_DENIED"},
      {"RegSetValueExW", "SOFTWARE\\KORVA\\Service Pack:Reset", "5", "--after", "2", "--times=1"},
      {"CopyFileW", "*", "0x20", "--caller", "\\FlashDisk\\SP\\Setup.exe"},
      {"--times", "3", "DeviceIoControl", "*", "1234"},
      {"WriteFile", "\\Windows\\*", "power-loss:half"},
      {"regopenkeyexw", "SOFTWARE\\Apps", "power-loss", "--after=0", "--caller", "flashdisk/./SP/setup.exe"},
      {"CreateFileW", "QDV1:", "ERROR_DEV_NOT_EXIST"},
      {"RegSetValueExW", "HKCU\\Software\\*:Theme", "5"},
  };
  for (const auto& command : commands) {
    std::vector<std::string> args = {"fault", image.path()};
    args.insert(args.end(), command.begin(), command.end());
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
  }
  EXPECT_EQ(Rules(image.path()), (std::vector<std::string>{
                                     "CreateFileW|\\FlashDisk\\*.cab|ERROR_ACCESS_DENIED|0|-|-",
                                     "RegSetValueExW|SOFTWARE\\KORVA\\Service Pack:Reset|ERROR_ACCESS_DENIED|2|1|-",
                                     "CopyFileW|*|ERROR_SHARING_VIOLATION|0|-|\\FlashDisk\\SP\\Setup.exe",
                                     "DeviceIoControl|*|1234|0|3|-",
                                     "WriteFile|\\Windows\\*|power-loss:half|0|-|-",
                                     "RegOpenKeyExW|SOFTWARE\\Apps|power-loss|0|-|\\flashdisk\\SP\\setup.exe",
                                     "CreateFileW|QDV1:|ERROR_DEV_NOT_EXIST|0|-|-",
                                     "RegSetValueExW|HKCU\\Software\\*:Theme|ERROR_ACCESS_DENIED|0|-|-",
                                 }));
  // Adding rules journals nothing.
  EXPECT_TRUE(image.Journal().empty());
}

TEST(FaultTest, BadRulesAreRefusedAndNothingIsStored) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/SP/Setup.exe", "");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string says = "";  // the refusal names what to write instead
  };
  const Case cases[] = {
      {{"CreatFileW", "*", "5"}, 2, "closest: CreateFileW "},
      {{"Sleep", "*", "5"}, 2, "closest: "},
      {{"CreateFileW", "SOFTWARE\\Apps:Instl", "5"}, 2, "CE path"},
      {{"RegOpenKeyExW", "\\FlashDisk\\*", "5"}, 2, "without a leading backslash"},
      {{"RegOpenKeyExW", "HKEY_CURRENT_CONFIG\\System", "5"}, 2, "HKEY_CURRENT_CONFIG is none of them"},
      {{"RegOpenKeyExW", "SOFTWARE\\Apps:Instl", "5"}, 2, "KEY only"},
      {{"RegSetValueExW", "SOFTWARE\\Apps", "5"}, 2, "KEY:VALUE"},
      {{"MessageBoxW", "\\FlashDisk\\*", "5"}, 2, "PATTERN is *"},
      {{"CreateFileW", "*", "5", "--caller", "wceload.exe"}, 2, "(\\Windows\\wceload.exe)"},
      {{"CreateFileW", "*", "5", "--caller", "Setup.exe"}, 2, "full CE path"},
      {{"CreateFileW", "*", "5", "--caller", "\\FlashDisk\\Absent.exe"}, 2, "names no file"},
      {{"CreateFileW", "*", "5", "--caller", "\\FlashDisk\\SP"}, 2, "names no file"},
      {{"CreateFileW", "*", "5", "--list"}, 2},
      {{"--list", "--clear"}, 2},
      {{"--remove", "0"}, 2},
      {{"--remove", "first"}, 2},
      {{"--remove", "1"}, 1, "no fault rule 1"},
      {{"", "*", "5"}, 2},
      {{"Create File", "*", "5"}, 2},
      {{"1CreateFileW", "*", "5"}, 2},
      {{"CreateFileW", "*", "ERROR_NO_SUCH_THING"}, 2},
      {{"CreateFileW", "*", "ERROR_SUCCESS"}, 2},
      {{"CreateFileW", "*", "0"}, 2},
      {{"CreateFileW", "*", "-5"}, 2},
      {{"CreateFileW", "*", "power-loss:quarter"}, 2},
      {{"RegSetValueExW", "*", "power-loss:half"}, 2},
      {{"CreateFileW", "*", "5", "--after", "-1"}, 2},
      {{"CreateFileW", "*", "5", "--after", "two"}, 2},
      {{"CreateFileW", "*", "5", "--times", "0"}, 2},
      {{"CreateFileW", "*", "5", "--times"}, 2},
      {{"CreateFileW", "*", "5", "--caller", ""}, 2},
      {{"CreateFileW", "*", "5", "--when", "now"}, 2},
      {{"CreateFileW", "*"}, 2},
      {{"CreateFileW", "*", "5", "extra"}, 2},
      {{"CreateFileW", "\xc3(", "5"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args = {"fault", image.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(Rules(image.path()).empty());
}

TEST(FaultTest, RuleFailsTheMatchingCallsOfAProgram) {
  e2e::ImageFolder image;
  image.Create();
  image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
  ASSERT_EQ(Termsim({"fault", image.path(), "CreateFileW", "\\flashdisk\\*.TXT", "ERROR_ACCESS_DENIED", "--after", "1",
                     "--times", "1"})
                .exitCode,
            0);
  image.PutFile("FlashDisk/other.exe", "");
  // Only calls made by another program: never these.
  ASSERT_EQ(Termsim({"fault", image.path(), "CreateFileW", "*", "ERROR_DISK_FULL", "--caller", "\\FlashDisk\\other.exe"})
                .exitCode,
            0);
  std::vector<int> codes;
  for (const char* name : {"a.txt", "b.txt", "c.dat", "d.txt"}) {
    const auto run = Termsim({"run", image.path(), "\\FlashDisk\\probe.exe", std::string("write \\FlashDisk\\") + name});
    codes.push_back(run.exitCode);
  }
  // The first match passes, the second fails with the rule's error, then none do;
  // a path that does not match is not counted.
  EXPECT_EQ(codes, (std::vector<int>{0, 5, 0, 0}));
  const auto faults = e2e::EventsNamed(image.Journal(), "fault");
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0].Text("api"), "CreateFileW");
  EXPECT_EQ(faults[0].Text("target"), "\\FlashDisk\\b.txt");
  EXPECT_EQ(faults[0].Text("error"), "ERROR_ACCESS_DENIED");
  EXPECT_EQ(ReadHostFile(image.FsPath("FlashDisk/a.txt")), "probe");
  EXPECT_FALSE(std::filesystem::exists(image.FsPath("FlashDisk/b.txt")));

  // The list shows what each rule did; rules can be taken away one by one or all.
  const auto list = [&] { return Termsim({"fault", image.path(), "--list"}).out; };
  EXPECT_EQ(list(),
            "1 api=CreateFileW pattern=\"\\flashdisk\\*.TXT\" error=ERROR_ACCESS_DENIED after=1 times=1 fired=1\n"
            "2 api=CreateFileW pattern=\"*\" error=ERROR_DISK_FULL after=0 times=every fired=0 "
            "caller=\"\\FlashDisk\\other.exe\"\n");
  EXPECT_EQ(Termsim({"fault", image.path(), "--remove", "1"}).exitCode, 0);
  EXPECT_EQ(list().rfind("2 api=CreateFileW", 0), 0u);
  EXPECT_EQ(Termsim({"fault", image.path(), "--clear"}).exitCode, 0);
  EXPECT_EQ(list(), "");
  EXPECT_EQ(Termsim({"run", image.path(), "\\FlashDisk\\probe.exe", "write \\FlashDisk\\b.txt"}).exitCode, 0);
}

TEST(FaultTest, PowerLossEndsTheRunWithoutAReset) {
  struct Case {
    std::string api;
    std::string target;  // the rule's pattern, and what its events name
    std::string error;
    std::string program;
    std::string commandLine;
    std::string file;                    // a file of the call
    std::optional<std::string> written;  // what it holds afterwards; none: absent
  };
  const std::string probe = "\\FlashDisk\\probe.exe", setup = "\\FlashDisk\\SP\\Setup.exe";
  const Case cases[] = {
      {"WriteFile", "\\FlashDisk\\cut.txt", "power-loss", probe, "write \\FlashDisk\\cut.txt", "FlashDisk/cut.txt", ""},
      {"WriteFile", "\\FlashDisk\\cut.txt", "power-loss:half", probe, "write \\FlashDisk\\cut.txt", "FlashDisk/cut.txt",
       "pr"},
      // The touch driver's write, inside a transaction of its own that the cut ends.
      {"RegSetValueExW", "HARDWARE\\DEVICEMAP\\TOUCH:CalibrationData", "power-loss", setup, "", "FlashDisk/Calibrate.dat",
       std::nullopt},
      // A torn copy that fails before writing (no record to keep yet) is cut all the same.
      {"CopyFileW", "\\FlashDisk\\CalibrateC.dat", "power-loss:half", setup, "", "FlashDisk/CalibrateC.dat",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.api + " " + c.error);
    e2e::ImageFolder image;
    image.Create({"--time-scale", "0.01"});
    image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
    image.PutProgram("FlashDisk/SP/Setup.exe", SETUP_PATH);
    ASSERT_EQ(Termsim({"fault", image.path(), c.api, c.target, c.error, "--times", "1"}).exitCode, 0);
    const auto run = Termsim({"run", image.path(), c.program, c.commandLine});
    EXPECT_EQ(run.exitCode, 101) << run.err;
    const auto journal = image.Journal();
    const auto faults = e2e::EventsNamed(journal, "fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Text("api"), c.api);
    EXPECT_EQ(faults[0].Text("error"), c.error);
    // Nothing happens after the cut but the run's end.
    ASSERT_GE(journal.size(), 2u);
    const auto& cut = journal[journal.size() - 2];
    EXPECT_EQ(cut.Name(), "power-loss");
    EXPECT_EQ(cut.Text("api"), c.api);
    EXPECT_EQ(cut.Text("target"), c.target);
    EXPECT_EQ(journal.back().Int("exit_code"), 101);
    EXPECT_TRUE(e2e::EventsNamed(journal, "process-exit").empty());
    EXPECT_TRUE(e2e::EventsNamed(journal, "reset").empty());
    EXPECT_NE(Termsim({"fault", image.path(), "--list"}).out.find(" times=1 fired=1\n"), std::string::npos);
    if (c.written) {
      EXPECT_EQ(ReadHostFile(image.FsPath(c.file)), *c.written);
    } else {
      EXPECT_FALSE(std::filesystem::exists(image.FsPath(c.file)));
    }
  }
}

}  // namespace
