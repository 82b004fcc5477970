// Starting programs and scripts, process handles, exit codes, waits, and the reset
// that ends every process of the terminal.
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "tests/host/ProcessTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

using namespace process_test;

namespace {

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

// The refusals of each argument stand in the conformance table; a fault rule refuses
// before anything starts, and is journaled.
TEST(CreateProcess, FaultRuleRefusesBeforeAnythingStarts) {
  TestImage image;
  InstallProbe(image, "Windows/faulty.exe");
  host::AddFaultRule({.api = "CreateProcessW", .pattern = u"*\\FAULTY.exe", .error = "5"});
  PROCESS_INFORMATION info;
  memset(&info, 0xEF, sizeof info);
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateProcessW(u"\\Windows\\faulty.exe", u"exit 0", nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(info.dwProcessId, 0xEFEFEFEFu);
  EXPECT_EQ(JournalEvents("fault").size(), 1u);
  EXPECT_TRUE(JournalEvents("process-start").empty());
}

TEST(CreateProcess, CommandLineWholeModuleCanonicalWhateverTheModeBits) {
  TestImage image;
  InstallProbe(image, "Windows/plain.exe", false);  // runs through the dynamic loader
  InstallProbe(image, "Windows/marked.exe", true);
  const std::u16string commandLine = u"record  \\FlashDisk\\SP dir\\日本語 ä.cab \"quoted\" $HOME *  ";
  std::vector<DWORD> children;
  // The module name comes from the loader: canonical, with the letters as given.
  for (const auto& [path, module] : std::initializer_list<std::pair<const char16_t*, const char16_t*>>{
           {u"\\windows\\PLAIN.EXE", u"\\windows\\PLAIN.EXE"},
           {u"\\Windows\\marked.exe", u"\\Windows\\marked.exe"},
           {u"Windows/SP/.././/marked.exe", u"\\Windows\\marked.exe"}}) {
    PROCESS_INFORMATION info;
    SetLastError(kSentinel);
    ASSERT_TRUE(StartProbe(commandLine.c_str(), &info, path));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(info.dwThreadId, info.dwProcessId);
    EXPECT_EQ(Finish(info), 7u);
    EXPECT_EQ(Recorded(u"CmdLine"), Bytes(commandLine));
    EXPECT_EQ(Recorded(u"Module"), Bytes(module));
    children.push_back(info.dwProcessId);
    const auto events = JournalEvents();
    EXPECT_EQ(events.back().event, "process-exit");
    EXPECT_EQ(events.back().pid, static_cast<int64_t>(info.dwProcessId));
  }
  const auto starts = JournalEvents("process-start");
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0].pid, ::getpid());
  EXPECT_EQ(starts[0].FieldsJson(), "{\"image\":\"\\\\windows\\\\PLAIN.EXE\",\"cmdline\":\"record  "
                              "\\\\FlashDisk\\\\SP dir\\\\日本語 ä.cab \\\"quoted\\\" $HOME *  \",\"child\":" +
                                  std::to_string(children[0]) + "}");
  EXPECT_EQ(starts[2].FieldsJson().rfind(R"({"image":"\\Windows\\marked.exe",)", 0), 0u) << starts[2].FieldsJson();
  EXPECT_EQ(JournalEvents("process-exit")[0].FieldsJson(), R"({"image":"\\windows\\PLAIN.EXE","exit_code":7})");

  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(nullptr, &info, u"\\Windows\\plain.exe"));
  EXPECT_EQ(Finish(info), 99u);  // no command line: "", which the probe does not know
  EXPECT_EQ(JournalEvents("process-start").back().FieldsJson(),
            R"({"image":"\\Windows\\plain.exe","cmdline":"","child":)" + std::to_string(info.dwProcessId) + "}");
}

TEST(ExitCodes, FullThirtyTwoBitsSignalsAndStillActive) {
  TestImage image;
  InstallProbe(image);
  struct Case {
    const char16_t* commandLine;
    DWORD code;
  } cases[] = {{u"exit 0", 0}, {u"exit 3221225477", 0xC0000005}, {u"exit 4294967295", 0xFFFFFFFF}, {u"kill", 137}};
  for (const auto& c : cases) {
    PROCESS_INFORMATION info;
    ASSERT_TRUE(StartProbe(c.commandLine, &info));
    ASSERT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD thread = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(info.hThread, &thread));  // the primary thread ended with it
    EXPECT_EQ(thread, c.code);
    EXPECT_EQ(Finish(info), c.code);
  }
  // The killed program could not record its end: its starter's wait did.
  const auto exits = JournalEvents("process-exit");
  ASSERT_EQ(exits.size(), std::size(cases));
  EXPECT_EQ(exits.back().pid, ::getpid());
  EXPECT_EQ(exits.back().FieldsJson(), R"({"image":"\\Windows\\probe.exe","exit_code":137})");

  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(u"sleep 400 3", &info));
  DWORD process = kSentinel, thread = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &process));
  EXPECT_TRUE(GetExitCodeThread(info.hThread, &thread));
  EXPECT_EQ(process, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(thread, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(info.hThread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(Finish(info), 3u);
}

TEST(Scripts, RunThroughTheirInterpreterWithTheCommandLineWhole) {
  TestImage image;
  image.PutFile("Windows/report.sh",
                "#!/bin/sh -e\n"
                "printf '%s|%s|%s' \"$1\" \"$TERMSIM_MODULE\" \"$#\" > \"$TERMSIM_ROOT/report.txt\"\n"
                "exit 42\n");
  const char16_t* commandLine = u"  two  spaces \"q\" $HOME ä 日本 \\back\\ ";
  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(commandLine, &info, u"\\WINDOWS\\report.sh"));
  // A second handle to the same child, opened by id: it is reaped and journalled once.
  HANDLE opened = OpenProcess(0, FALSE, info.dwProcessId);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(Finish(info), 42u);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(opened, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(CloseHandle(opened));
  EXPECT_EQ(ReadHostFile(image.root() + "/report.txt"), host::ToUtf8(commandLine) + "|\\WINDOWS\\report.sh|1");
  const auto events = JournalEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].pid, ::getpid());  // a script cannot journal its end: its starter does
  EXPECT_EQ(events[1].FieldsJson(), R"({"image":"\\WINDOWS\\report.sh","exit_code":42})");

  image.PutFile("Windows/bare.sh", "#!/bin/sh");  // a "#!" line without a line end
  ASSERT_TRUE(StartProbe(u"", &info, u"\\Windows\\bare.sh"));
  EXPECT_EQ(Finish(info), 0u);
}

TEST(StartProgram, DetachedRunsInItsOwnSessionWithoutStandardStreams) {
  TestImage image;
  image.PutFile("Windows/alone.sh",
                "#!/bin/sh\n"
                "echo \"$$ $(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/2)\" "
                "> \"$TERMSIM_ROOT/alone.txt\"\n");
  const auto started = host::StartProgram(u"\\Windows\\alone.sh", u"", {.detached = true});
  int status = 0;
  ASSERT_EQ(::waitpid(started.pid, &status, 0), started.pid);
  EXPECT_EQ(host::RecordChildExit(started, status), 0u);
  const std::string pid = std::to_string(started.pid);
  EXPECT_EQ(ReadHostFile(image.root() + "/alone.txt"), pid + " " + pid + " /dev/null /dev/null\n");
}

TEST(OpenProcess, LiveProcessesOfTheTerminalOnlyAlsoOthersChildren) {
  TestImage image;
  InstallProbe(image);
  PROCESS_INFORMATION parent;
  ASSERT_TRUE(StartProbe(u"spawn sleep 500 77", &parent));
  const DWORD childPid = AwaitDword(u"ChildPid");
  for (DWORD pid : {DWORD{0}, static_cast<DWORD>(::getpid()), static_cast<DWORD>(::getppid()), 0xFFFFFFFFu}) {
    SetLastError(kSentinel);
    EXPECT_EQ(OpenProcess(0, FALSE, pid), nullptr) << pid;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << pid;
  }
  EXPECT_EQ(OpenProcess(0, TRUE, childPid), nullptr);  // no inheritance
  SetLastError(kSentinel);
  HANDLE child = OpenProcess(PROCESS_SET_INFORMATION, FALSE, childPid);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(WaitForSingleObject(child, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(child, INFINITE), WAIT_OBJECT_0);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(child, &code));
  EXPECT_EQ(code, 77u);
  EXPECT_TRUE(CloseHandle(child));
  EXPECT_EQ(Finish(parent), 77u);  // the parent read it through the primary thread's handle
  EXPECT_EQ(OpenProcess(0, FALSE, childPid), nullptr);  // ended
  EXPECT_EQ(JournalEvents("process-start").at(1).pid, static_cast<int64_t>(parent.dwProcessId));
}

TEST(Waits, TimeOutsFollowTheTimeScale) {
  host::ImageOptions options;
  options.timeScale = 0.01;
  TestImage image(options);
  InstallProbe(image);
  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(u"sleep 100000000", &info));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 5000), WAIT_TIMEOUT);  // 50 real ms
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(45));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  host::EndTerminalProcesses(true);
  Finish(info);
}

// The reset ends the program that asks for it too, so a program of the terminal asks:
// this test process is none of the terminal's and carries on.
TEST(Reset, EndsEveryProcessOfTheTerminalAtOnce) {
  TestImage image;
  InstallProbe(image);
  const std::string generation = host::Setting("generation");
  PROCESS_INFORMATION sleeper, resetter;
  ASSERT_TRUE(StartProbe(u"sleep 100000", &sleeper));
  ASSERT_TRUE(StartProbe(u"reset", &resetter));
  EXPECT_EQ(Finish(resetter), 0xFFFFFFFFu);
  EXPECT_EQ(Finish(sleeper), 0xFFFFFFFFu);
  EXPECT_NE(host::Setting("generation"), generation);
  std::string names;
  for (const auto& e : JournalEvents()) names += e.event == "sleep" ? "" : e.event + " ";
  EXPECT_EQ(names, "process-start process-start ioctl reset ");  // no process-exit
  EXPECT_EQ(JournalEvents("ioctl").at(0).FieldsJson(), R"({"device":"QDV1:","code":257})");
  EXPECT_EQ(JournalEvents("ioctl").at(0).pid, static_cast<int64_t>(resetter.dwProcessId));

  for (const char* setting : {"ignore", "absent"}) {
    host::ImageOptions options;
    options.resetDevice = setting;
    TestImage other(options);
    InstallProbe(other);
    ASSERT_TRUE(StartProbe(u"reset", &resetter));
    const bool ignore = std::string(setting) == "ignore";
    EXPECT_EQ(Finish(resetter), ignore ? 0x20000u | TRUE : 0x10000u | ERROR_DEV_NOT_EXIST);
    EXPECT_EQ(JournalEvents("ioctl").size(), ignore ? 1u : 0u);
    EXPECT_TRUE(JournalEvents("reset").empty());
  }
}
