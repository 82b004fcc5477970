// termsim run, stop and window: programs on the terminal, their exit codes, and the
// journal the run prints.
#include "platform/host/Image.h"
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

namespace {

using e2e::Termsim;

int ReadPid(const std::string& path) {
  const std::string text = ReadHostFile(path);
  return text.empty() ? 0 : std::stoi(text);
}

// The program's own output comes between the journal's lines, which run prints live.
bool HasLine(const std::string& out, const std::string& line) {
  std::istringstream lines(out);
  for (std::string text; std::getline(lines, text);) {
    if (text == line) return true;
  }
  return false;
}

// A script that notes its pid in the scratch folder and then sleeps.
std::string SleeperScript(const e2e::ImageFolder& image, const std::string& pidFile, int seconds) {
  return "#!/bin/sh\necho $$ > '" + image.scratch() + "/" + pidFile + "'\nexec sleep " + std::to_string(seconds) + "\n";
}

TEST(RunTest, ExitCodeIsTheProgramsAndTheRunsJournalIsPrinted) {
  e2e::ImageFolder image;
  image.Create();
  image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
  image.PutFile("FlashDisk/seven.sh", "#!/bin/sh\nexit 7\n");
  struct Case {
    std::string cePath;
    std::string commandLine;
    int exitCode;
    std::string image;  // as the loader names the module
  };
  const Case cases[] = {
      {"\\FlashDisk\\probe.exe", "exit 0", 0, "\\FlashDisk\\probe.exe"},
      {"\\FlashDisk\\probe.exe", "exit 1", 1, "\\FlashDisk\\probe.exe"},
      {"\\FlashDisk\\probe.exe", "exit 42", 42, "\\FlashDisk\\probe.exe"},
      {"\\FlashDisk\\probe.exe", "exit 255", 255, "\\FlashDisk\\probe.exe"},
      {"\\FlashDisk\\seven.sh", "", 7, "\\FlashDisk\\seven.sh"},
      {"\\FLASHDISK\\Seven.SH", "x", 7, "\\FLASHDISK\\Seven.SH"},
      {"/FlashDisk/seven.sh", "", 7, "\\FlashDisk\\seven.sh"},
      {"FlashDisk\\.\\Windows\\..\\probe.exe", "exit 3", 3, "\\FlashDisk\\probe.exe"},
  };
  const std::regex line(R"(^ *(\d+) +(\d+) ms  pid (\d+) +(\S+) +(.*)$)");
  size_t seen = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cePath + " " + c.commandLine);
    const auto run = Termsim({"run", image.path(), c.cePath, c.commandLine});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;

    const auto journal = image.Journal();
    ASSERT_EQ(journal.size(), seen + 4);
    const auto& runStart = journal[seen];
    const auto& start = journal[seen + 1];
    const auto& exit = journal[seen + 2];
    const auto& runEnd = journal[seen + 3];
    seen = journal.size();
    EXPECT_EQ(runStart.Name(), "run-start");
    EXPECT_EQ(runStart.Text("image"), c.image);
    EXPECT_EQ(runStart.Text("cmdline"), c.commandLine);
    EXPECT_EQ(start.Name(), "process-start");
    EXPECT_EQ(start.Text("image"), c.image);
    EXPECT_EQ(start.Text("cmdline"), c.commandLine);
    EXPECT_EQ(exit.Name(), "process-exit");
    EXPECT_EQ(exit.Text("image"), c.image);
    EXPECT_EQ(exit.Int("exit_code"), c.exitCode);
    // A program on the host library writes its own end; a script's starter writes it.
    EXPECT_EQ(exit.Int("pid"), c.image.ends_with(".exe") ? start.Int("child") : runStart.Int("pid"));
    EXPECT_EQ(runEnd.Name(), "run-end");
    EXPECT_EQ(runEnd.Int("exit_code"), c.exitCode);
    EXPECT_EQ(runEnd.Int("pid"), runStart.Int("pid"));
    EXPECT_LT(start.Int("seq"), exit.Int("seq"));
    EXPECT_LE(start.Int("time_ms"), exit.Int("time_ms"));

    // Standard output ends with the run's own events, one readable line each.
    std::vector<std::string> printed;
    std::istringstream lines(run.out);
    for (std::string text; std::getline(lines, text);) {
      std::smatch match;
      if (std::regex_match(text, match, line)) printed.push_back(match[1].str() + " " + match[4].str() + " " + match[5].str());
    }
    EXPECT_EQ(printed, (std::vector<std::string>{
                           std::to_string(runStart.Int("seq")) + " run-start image=\"" + c.image + "\" cmdline=\"" +
                               c.commandLine + "\"",
                           std::to_string(start.Int("seq")) + " process-start image=\"" + c.image + "\" cmdline=\"" +
                               c.commandLine + "\" child=" + std::to_string(start.Int("child")),
                           std::to_string(exit.Int("seq")) + " process-exit image=\"" + c.image +
                               "\" exit_code=" + std::to_string(c.exitCode),
                           std::to_string(runEnd.Int("seq")) + " run-end exit_code=" + std::to_string(c.exitCode),
                       }))
        << run.out;
  }

  // One run of the journal: from its run-start through its run-end.
  const auto all = image.Journal();
  const auto journalOfRun = [&](const std::string& which) {
    return Termsim({"journal", image.path(), "--json", "--run", which});
  };
  std::string second, last;
  for (size_t i = 4; i < 8; ++i) second += all[i].line + "\n";
  for (size_t i = all.size() - 4; i < all.size(); ++i) last += all[i].line + "\n";
  EXPECT_EQ(journalOfRun("2").out, second);
  EXPECT_EQ(journalOfRun("last").out, last);
  const auto beyond = journalOfRun("9");
  EXPECT_EQ(beyond.exitCode, 1);
  EXPECT_TRUE(e2e::IsOneLine(beyond.err)) << beyond.err;

  // Two runs at once: the first one's program waits, through a program it started, until
  // the second one's program runs. Each run's slice, and what each run printed as it
  // went, holds its own events only, though the two interleave in the journal.
  const size_t startsBefore = e2e::EventsNamed(all, "process-start").size();
  const auto started = [&](size_t programs) {
    return e2e::WaitUntil(20, [&] { return e2e::EventsNamed(image.Journal(), "process-start").size() == startsBefore + programs; });
  };
  e2e::Process spawning(TERMSIM_PATH, {"run", image.path(), "\\FlashDisk\\probe.exe", "spawn race Spawned"}, {});
  ASSERT_TRUE(started(2));
  e2e::Process holding(TERMSIM_PATH, {"run", image.path(), "\\FlashDisk\\probe.exe", "hold Held"}, {});
  ASSERT_TRUE(started(3));
  e2e::WriteFile(image.scratch() + "/go.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\ProcessTest]\n\"Go\"=dword:00000001\n");
  ASSERT_EQ(Termsim({"reg", "import", image.path(), image.scratch() + "/go.reg"}).exitCode, 0);
  const auto spawned = spawning.Finish();
  EXPECT_EQ(spawned.exitCode, 1) << spawned.err;
  ::kill(holding.pid(), SIGINT);
  const auto held = holding.Finish();
  EXPECT_EQ(held.exitCode, 130) << held.err;

  const auto slice = [&](size_t run) {
    std::vector<e2e::Event> events;
    std::istringstream lines(journalOfRun(std::to_string(run)).out);
    for (std::string text; std::getline(lines, text);) events.push_back(e2e::ParseJsonLine(text));
    return events;
  };
  const auto seqs = [](const std::vector<e2e::Event>& events) {
    std::vector<int64_t> numbers;
    for (const auto& event : events) numbers.push_back(event.Int("seq"));
    return numbers;
  };
  const auto printedSeqs = [&](const std::string& out) {
    std::vector<int64_t> numbers;
    std::istringstream lines(out);
    for (std::string text; std::getline(lines, text);) {
      std::smatch match;
      if (std::regex_match(text, match, line)) numbers.push_back(std::stoll(match[1].str()));
    }
    return numbers;
  };
  const size_t runs = std::size(cases);
  const auto ofFirst = slice(runs + 1), ofSecond = slice(runs + 2);
  // The waiting programs' sleeps aside.
  const auto steps = [](std::vector<e2e::Event> events) {
    std::erase_if(events, [](const e2e::Event& event) { return event.Name() == "sleep"; });
    return events;
  };
  const auto names = [](const std::vector<e2e::Event>& events) {
    std::vector<std::string> named;
    for (const auto& event : events) named.push_back(event.Name());
    return named;
  };
  const auto firstSteps = steps(ofFirst);
  EXPECT_EQ(names(firstSteps), (std::vector<std::string>{"run-start", "process-start", "process-start", "process-exit",
                                                         "process-exit", "run-end"}));
  EXPECT_EQ(names(steps(ofSecond)), (std::vector<std::string>{"run-start", "process-start", "process-exit", "run-end"}));
  ASSERT_EQ(firstSteps.size(), 6u);
  EXPECT_EQ(firstSteps[2].Int("pid"), firstSteps[1].Int("child"));
  EXPECT_LT(ofSecond.front().Int("seq"), firstSteps[3].Int("seq"));
  // Together they are every event since, each once.
  std::vector<int64_t> both = seqs(ofFirst), since;
  for (const int64_t seq : seqs(ofSecond)) both.push_back(seq);
  std::sort(both.begin(), both.end());
  const auto journal = image.Journal();
  for (size_t i = all.size(); i < journal.size(); ++i) since.push_back(journal[i].Int("seq"));
  EXPECT_EQ(both, since);
  EXPECT_EQ(printedSeqs(spawned.out), seqs(ofFirst)) << spawned.out;
  EXPECT_EQ(printedSeqs(held.out), seqs(ofSecond)) << held.out;
}

TEST(RunTest, ProgramGetsTheWholeCommandLineAsOneArgument) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/args.sh", "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\"\n");
  image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
  const std::string commandLine = "a  \"b c\" \\d -e";
  const auto script = Termsim({"run", image.path(), "\\FlashDisk\\args.sh", "--", commandLine});
  EXPECT_EQ(script.exitCode, 0) << script.err;
  EXPECT_TRUE(HasLine(script.out, "1|" + commandLine)) << script.out;

  // The module name is the canonical path, whatever form the run was given.
  const auto probe = Termsim({"run", "--timeout=30", image.path(), "/FlashDisk/./probe.exe", "echo  two  blanks "});
  EXPECT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_TRUE(HasLine(probe.out, "[ two  blanks ] [\\FlashDisk\\probe.exe]")) << probe.out;
}

TEST(RunTest, TermsimsOwnFailuresGive125AndStartNothing) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/ok.sh", "#!/bin/sh\nexit 0\n");
  const std::string foreign = image.scratch() + "/foreign";
  std::filesystem::create_directories(foreign + "/fs");
  e2e::WriteFile(foreign + "/terminal.db", "");
  const std::vector<std::vector<std::string>> cases = {
      {"run", image.scratch() + "/absent", "\\FlashDisk\\ok.sh"},
      {"run", foreign, "\\FlashDisk\\ok.sh"},
      {"run", image.path(), "\\FlashDisk\\absent.exe"},
      {"run", image.path(), "\\NoSuchFolder\\ok.sh"},
      {"run", image.path(), "\\FlashDisk"},
      {"run", image.path(), ""},
      {"run", image.path()},
      {"run", image.path(), "\\FlashDisk\\ok.sh", "x", "y"},
      {"run", image.path(), "\\FlashDisk\\ok.sh", "--timeout", "soon"},
      {"run", image.path(), "\\FlashDisk\\ok.sh", "--timeout", "0"},
      {"run", image.path(), "\\FlashDisk\\ok.sh", "--timeout"},
      {"run", image.path(), "\\FlashDisk\\ok.sh", "-v"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, 125);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(image.Journal().empty());
}

TEST(RunTest, TimeoutEndsEveryProcessOfTheTerminal) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/sleeper.sh", SleeperScript(image, "sleeper.pid", 60));
  const auto window = Termsim({"window", image.path(), "--class", "Bystander"});
  ASSERT_EQ(window.exitCode, 0) << window.err;
  const int ownerPid = std::stoi(window.out);

  const auto begin = std::chrono::steady_clock::now();
  const auto run = Termsim({"run", image.path(), "\\FlashDisk\\sleeper.sh", "--timeout", "1.5"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(run.exitCode, 124);
  EXPECT_TRUE(e2e::IsOneLine(run.err)) << run.err;
  EXPECT_GE(seconds, 1.5);
  EXPECT_LT(seconds, 20);
  EXPECT_NE(run.out.find("process-start"), std::string::npos) << run.out;

  const int sleeperPid = ReadPid(image.scratch() + "/sleeper.pid");
  ASSERT_GT(sleeperPid, 0);
  EXPECT_TRUE(e2e::WaitUntil(5, [&] { return e2e::ProcessGone(sleeperPid); }));
  EXPECT_TRUE(e2e::WaitUntil(5, [&] { return e2e::ProcessGone(ownerPid); }));
  const auto journal = image.Journal();
  EXPECT_TRUE(e2e::EventsNamed(journal, "process-exit").empty());
  EXPECT_TRUE(e2e::EventsNamed(journal, "reset").empty());
}

TEST(RunTest, SignalsEndTheRunsProcessesOnly) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGKILL};
  for (const int signal : signals) {
    SCOPED_TRACE(signal);
    e2e::ImageFolder image;
    image.Create();
    image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
    image.PutFile("FlashDisk/sleeper.sh", SleeperScript(image, "sleeper.pid", 60));
    const int bystander = e2e::StartWindow(image, "Bystander", "");
    e2e::Process run(TERMSIM_PATH, {"run", image.path(), "\\FlashDisk\\probe.exe", "holdsetup 60 \\FlashDisk\\sleeper.sh"}, {});
    ASSERT_TRUE(e2e::WaitUntil(20, [&] { return ReadPid(image.scratch() + "/sleeper.pid") > 0; }));
    // The journal is printed as it is written, not only at the end. The sleeper's own
    // start event (not the probe's command line, which names it too) says that the probe
    // returned from CreateProcessW before the signal.
    EXPECT_TRUE(e2e::WaitUntil(20, [&] {
      return run.OutputSoFar().find("image=\"\\FlashDisk\\sleeper.sh\"") != std::string::npos;
    })) << run.OutputSoFar();
    ::kill(run.pid(), signal);
    const auto result = run.Finish();
    EXPECT_EQ(result.exitCode, signal == SIGKILL ? 128 + SIGKILL : 130) << result.err;
    const auto starts = e2e::EventsNamed(image.Journal(), "process-start");
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(e2e::WaitUntil(5, [&] { return e2e::ProcessGone(static_cast<int>(starts[0].Int("child"))); }));
    EXPECT_TRUE(e2e::WaitUntil(5, [&] { return e2e::ProcessGone(ReadPid(image.scratch() + "/sleeper.pid")); }));
    EXPECT_FALSE(e2e::ProcessGone(bystander));
    if (signal != SIGKILL) {
      EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
      EXPECT_NE(result.out.find(" run-end "), std::string::npos) << result.out;
      EXPECT_EQ(e2e::EventsNamed(image.Journal(), "run-end").at(0).Int("exit_code"), 130);
    }
    // Nothing of the ended run holds Setup's mutex against the next one.
    EXPECT_EQ(Termsim({"run", image.path(), "\\FlashDisk\\probe.exe", "holdsetup 0"}).exitCode, 0);
  }
}

TEST(RunTest, ResetDuringTheRunGives100) {
  struct Case {
    std::string resetDevice;
    int exitCode;
    size_t resets;
  };
  // When the call comes back the probe exits 0x20000|TRUE, which termsim reports as 255.
  const Case cases[] = {{"restart", 100, 1}, {"ignore", 255, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.resetDevice);
    e2e::ImageFolder image;
    image.Create({"--reset-device", c.resetDevice});
    image.PutProgram("FlashDisk/probe.exe", PROBE_PATH);
    const auto run = Termsim({"run", image.path(), "\\FlashDisk\\probe.exe", "reset"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    const auto journal = image.Journal();
    const auto ioctls = e2e::EventsNamed(journal, "ioctl");
    ASSERT_EQ(ioctls.size(), 1u);
    EXPECT_EQ(ioctls[0].Text("device"), "QDV1:");
    EXPECT_EQ(ioctls[0].Int("code"), 257);
    EXPECT_EQ(e2e::EventsNamed(journal, "reset").size(), c.resets);
    const auto exits = e2e::EventsNamed(journal, "process-exit");
    ASSERT_EQ(exits.size(), 1 - c.resets);
    if (!exits.empty()) {
      EXPECT_EQ(exits[0].Int("exit_code"), 0x20001);
    }
    EXPECT_EQ(run.out.find(" reset\n") != std::string::npos, c.resets == 1) << run.out;
  }
}

TEST(RunTest, StopEndsEveryProcessAndJournalsNothing) {
  e2e::ImageFolder image;
  image.Create();
  image.PutFile("FlashDisk/sleeper.sh", SleeperScript(image, "sleeper.pid", 60));
  const auto idle = Termsim({"stop", image.path()});
  EXPECT_EQ(idle.exitCode, 0) << idle.err;

  e2e::Process background(TERMSIM_PATH, {"run", image.path(), "\\FlashDisk\\sleeper.sh", "--timeout", "90"}, {});
  ASSERT_TRUE(e2e::WaitUntil(20, [&] { return ReadPid(image.scratch() + "/sleeper.pid") > 0; }));
  const int sleeperPid = ReadPid(image.scratch() + "/sleeper.pid");
  const auto window = Termsim({"window", image.path(), "--class", "Bystander", "--title", "Props"});
  ASSERT_EQ(window.exitCode, 0) << window.err;
  const int ownerPid = std::stoi(window.out);
  const size_t eventsBefore = image.Journal().size();

  const auto stop = Termsim({"stop", image.path()});
  EXPECT_EQ(stop.exitCode, 0) << stop.err;
  EXPECT_EQ(stop.out + stop.err, "");
  const auto run = background.Finish();
  EXPECT_NE(run.exitCode, 130);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.exitCode, 100);
  EXPECT_NE(run.exitCode, 124);
  EXPECT_TRUE(e2e::ProcessGone(sleeperPid));
  EXPECT_TRUE(e2e::WaitUntil(5, [&] { return e2e::ProcessGone(ownerPid); }));
  // The stop wrote nothing, and the run it ended only its run-end.
  const auto journal = image.Journal();
  ASSERT_EQ(journal.size(), eventsBefore + 1);
  EXPECT_EQ(journal.back().Name(), "run-end");
}

TEST(RunTest, WindowOwnerHoldsItsWindowUntilClosed) {
  e2e::ImageFolder image;
  image.Create();
  const auto started = Termsim({"window", image.path(), "--class", "Dialog", "--title=プロパティ"});
  ASSERT_EQ(started.exitCode, 0) << started.err;
  ASSERT_TRUE(std::regex_match(started.out, std::regex("[0-9]+\n"))) << started.out;
  const int pid = std::stoi(started.out);
  EXPECT_FALSE(e2e::ProcessGone(pid));
  EXPECT_TRUE(image.Journal().empty()) << "termsim's own commands journal nothing";

  ASSERT_NO_THROW(host::AttachImage(image.path()));
  HWND window = FindWindowW(u"Dialog", u"プロパティ");
  ASSERT_NE(window, nullptr);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  EXPECT_EQ(owner, static_cast<DWORD>(pid));
  EXPECT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_TRUE(e2e::WaitUntil(10, [&] { return e2e::ProcessGone(pid); }));
  EXPECT_EQ(FindWindowW(u"Dialog", nullptr), nullptr);
  host::DetachImage();
  const auto posts = e2e::EventsNamed(image.Journal(), "post-message");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].Text("class"), "Dialog");
  EXPECT_EQ(posts[0].Text("title"), "プロパティ");
  EXPECT_EQ(posts[0].Int("message"), WM_CLOSE);
}

TEST(RunTest, WindowRefusesABadCommandLine) {
  e2e::ImageFolder image;
  image.Create();
  const std::vector<std::vector<std::string>> cases = {
      {"window", image.path()},
      {"window", image.path(), "--class"},
      {"window", image.path(), "--class", ""},
      {"window", image.path(), "--class", "C", "--exit-delay", "-1"},
      {"window", image.path(), "--class", "C", "--exit-delay", "soon"},
      {"window", image.path(), "--class", "C", "extra"},
      {"window", "--class", "C"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TRUE(image.Journal().empty());
}

}  // namespace
