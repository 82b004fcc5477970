// Processes, threads and mutexes: the answers of each call, row by row (arguments CE
// does not support, handles of the wrong kind, outputs left alone on failure, the last
// error left alone on success), then programs and scripts started, exit codes, waits,
// the reset that ends every process of the terminal, and mutexes within this process
// and across the terminal's processes.

#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"
#include "tests/host/ProcessTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace conformance;
using namespace process_test;

namespace {

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : std::to_string(value); }

DWORD WINAPI ReturnItsParameter(LPVOID parameter) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)); }

class ProcessConformance : public ::testing::Test {
 protected:
  ProcessConformance() {
    image_.PutFile("Windows/wait.sh", "#!/bin/sh\nexec sleep 30\n");
  }
  ~ProcessConformance() override {
    // Whatever a row left running ends with the terminal's processes.
    host::Guarded(0, [] { return host::EndTerminalProcesses(true), 0; });
  }

  // A program of the terminal that runs until the terminal's processes are ended.
  PROCESS_INFORMATION StartWaiting() {
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(CreateProcessW(u"\\Windows\\wait.sh", u"", nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info));
    return info;
  }

  TestImage image_;
};

}  // namespace

TEST_F(ProcessConformance, CreateProcessRefusesWhatCeDoesNotHave) {
  SECURITY_ATTRIBUTES security{};
  int environment = 0;
  auto start = [](const WCHAR* image, LPSECURITY_ATTRIBUTES thread, LPVOID environmentBlock, LPSTARTUPINFOW startup,
                  bool withInfo) {
    return [=] {
      PROCESS_INFORMATION info;
      std::memset(&info, 0xEF, sizeof info);
      return Ask(
          [&] {
            return CreateProcessW(image, u"", nullptr, thread, FALSE, 0, environmentBlock, nullptr, startup,
                                  withInfo ? &info : nullptr);
          },
          [&] { return info.dwProcessId == 0xEFEFEFEF && info.hProcess == info.hThread ? "untouched" : "written"; });
    };
  };
  auto startWith = [](const WCHAR* image, LPSECURITY_ATTRIBUTES process, BOOL inherit, DWORD flags, LPWSTR folder) {
    return [=] {
      PROCESS_INFORMATION info;
      std::memset(&info, 0xEF, sizeof info);
      return Ask([&] { return CreateProcessW(image, u"", process, nullptr, inherit, flags, nullptr, folder, nullptr, &info); },
                 [&] { return info.dwProcessId == 0xEFEFEFEF && info.hProcess == info.hThread ? "untouched" : "written"; });
    };
  };
  image_.PutFile("Windows/notes.exe", "neither a program nor a script\n");
  image_.PutFile("Windows/lost.sh", "#!/no/such/interpreter\n");
  WCHAR folder[] = u"\\Windows";
  const WCHAR* wait = u"\\Windows\\wait.sh";
  const std::vector<Row> rows = {
      // NOTES: CE documents no code for an empty name; the desktop's is kept.
      {"§3.1", "an empty image name names no file", start(u"", nullptr, nullptr, nullptr, true),
       Fails(FALSE, ERROR_PATH_NOT_FOUND, "untouched")},
      {"§3.1", "thread security attributes", start(wait, &security, nullptr, nullptr, true),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "an environment block", start(wait, nullptr, &environment, nullptr, true),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "start-up information", start(wait, nullptr, nullptr, reinterpret_cast<LPSTARTUPINFOW>(&environment), true),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "no PROCESS_INFORMATION to fill", start(wait, nullptr, nullptr, nullptr, false),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "no image name", start(nullptr, nullptr, nullptr, nullptr, true), Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "process security attributes", startWith(wait, &security, FALSE, 0, nullptr),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "inherited handles", startWith(wait, nullptr, TRUE, 0, nullptr), Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "a suspended start", startWith(wait, nullptr, FALSE, CREATE_SUSPENDED, nullptr),
       Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "a current folder", startWith(wait, nullptr, FALSE, 0, folder), Fails(FALSE, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.1", "a missing program", start(u"\\Windows\\absent.exe", nullptr, nullptr, nullptr, true),
       Fails(FALSE, ERROR_FILE_NOT_FOUND, "untouched")},
      {"§3.1", "a program in a missing folder", start(u"\\NoFolder\\wait.sh", nullptr, nullptr, nullptr, true),
       Fails(FALSE, ERROR_PATH_NOT_FOUND, "untouched")},
      {"§3.1", "a folder", start(u"\\Windows", nullptr, nullptr, nullptr, true), Fails(FALSE, ERROR_ACCESS_DENIED, "untouched")},
      {"§3.1", "a file that is neither a program nor a script", start(u"\\Windows\\notes.exe", nullptr, nullptr, nullptr, true),
       Fails(FALSE, ERROR_BAD_EXE_FORMAT, "untouched")},
      {"§3.1", "a script whose interpreter is missing", start(u"\\Windows\\lost.sh", nullptr, nullptr, nullptr, true),
       Fails(FALSE, ERROR_BAD_EXE_FORMAT, "untouched")},
  };
  CheckRows(rows);
  const auto events = host::JournalEventsAfter(0);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.event == "process-start"; }), 0);
}

TEST_F(ProcessConformance, ExitCodesAndWaitsByHandleKind) {
  const PROCESS_INFORMATION running = StartWaiting();
  const PROCESS_INFORMATION closed = StartWaiting();
  CloseHandle(closed.hProcess);
  CloseHandle(closed.hThread);
  HANDLE opened = OpenProcess(0, FALSE, running.dwProcessId);
  ASSERT_NE(opened, nullptr);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE file = CreateFileW(u"\\w.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"\\Windows\\*", &data);
  HANDLE device = CreateFileW(u"QDV1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"nls", 0, 0, &key), ERROR_SUCCESS);

  auto processCode = [](HANDLE handle) {
    return [handle] {
      DWORD code = kSentinel;
      return Ask([&] { return GetExitCodeProcess(handle, &code); }, [&] { return Dword(code); });
    };
  };
  auto threadCode = [](HANDLE handle) {
    return [handle] {
      DWORD code = kSentinel;
      return Ask([&] { return GetExitCodeThread(handle, &code); }, [&] { return Dword(code); });
    };
  };
  auto wait = [](HANDLE handle, DWORD ms) { return [=] { return Ask([&] { return WaitForSingleObject(handle, ms); }); }; };
  const std::vector<Row> rows = {
      {"§3.2", "a running process opened by id: STILL_ACTIVE, the last error untouched", processCode(opened),
       Succeeds(TRUE, "259")},
      {"§3.5", "a running process, polled", wait(opened, 0), Succeeds(WAIT_TIMEOUT)},
      {"§3.5", "a running process, 10 ms", wait(running.hProcess, 10), Succeeds(WAIT_TIMEOUT)},
      {"§3.2", "GetExitCodeProcess of a thread handle", processCode(running.hThread), Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.2", "GetExitCodeThread of a process handle", threadCode(running.hProcess), Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.2", "GetExitCodeProcess of a mutex", processCode(mutex), Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.2", "GetExitCodeThread of a file", threadCode(file), Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.5", "a file cannot be waited on", wait(file, 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor a search", wait(find, 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor a device", wait(device, 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor a registry key", wait(reinterpret_cast<HANDLE>(key), 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor HKEY_LOCAL_MACHINE", wait(reinterpret_cast<HANDLE>(HKEY_LOCAL_MACHINE), INFINITE),
       Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "a free mutex", wait(mutex, INFINITE), Succeeds(WAIT_OBJECT_0)},
      {"§3.5", "NULL cannot be waited on", wait(nullptr, 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor INVALID_HANDLE_VALUE: the terminal has no pseudo-handles", wait(INVALID_HANDLE_VALUE, 0),
       Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.5", "nor a closed process handle", wait(closed.hProcess, 0), Fails(WAIT_FAILED, ERROR_INVALID_HANDLE)},
      {"§3.2", "GetExitCodeProcess of NULL", processCode(nullptr), Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.2", "GetExitCodeProcess of INVALID_HANDLE_VALUE", processCode(INVALID_HANDLE_VALUE),
       Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.2", "GetExitCodeProcess of a closed process handle", processCode(closed.hProcess),
       Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
  };
  CheckRows(rows);
  host::EndTerminalProcesses(true);
  EXPECT_EQ(WaitForSingleObject(opened, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(running.hThread, INFINITE), WAIT_OBJECT_0);  // the primary thread ended with it
  for (HANDLE handle : {opened, running.hProcess, running.hThread, mutex, file, device}) EXPECT_TRUE(CloseHandle(handle));
  FindClose(find);
  RegCloseKey(key);
}

TEST_F(ProcessConformance, CloseHandleAndNamedMutexLimits) {
  HANDLE device = CreateFileW(u"QDV1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE closedMutex = CreateMutexW(nullptr, FALSE, u"Closed");
  CloseHandle(closedMutex);
  auto close = [](HANDLE handle) { return [=] { return Ask([&] { return CloseHandle(handle); }); }; };
  const std::u16string longest(MAX_PATH - 1, u'm');
  HANDLE kept = nullptr;
  auto create = [](const std::u16string& name, BOOL owner, HANDLE* keep) {
    return [=] {
      HANDLE mutex = nullptr;
      const Answer answer = Ask([&] { return mutex = CreateMutexW(nullptr, owner, name.c_str()); });
      if (keep) {
        *keep = mutex;
      } else if (mutex) {
        CloseHandle(mutex);
      }
      return answer;
    };
  };
  const std::vector<Row> rows = {
      {"§3.8", "NULL", close(nullptr), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§3.8", "INVALID_HANDLE_VALUE", close(INVALID_HANDLE_VALUE), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§3.8", "a closed mutex", close(closedMutex), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§7", "the system driver's handle", close(device), Succeeds(TRUE)},
      {"§3.8", "the same handle again", close(device), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§3.7", "a new name of MAX_PATH - 1 characters: the last error 0", create(longest, TRUE, &kept), Fails(1, 0)},
      {"§3.7", "the same name again: ERROR_ALREADY_EXISTS on success", create(longest, TRUE, nullptr),
       Fails(1, ERROR_ALREADY_EXISTS)},
      {"§3.7", "a new name, not owned: the last error 0", create(u"Fresh", FALSE, nullptr), Fails(1, 0)},
  };
  CheckRows(rows);
  ReleaseMutex(kept);
  CloseHandle(kept);
}

TEST_F(ProcessConformance, ThreadsAsTheProgramStartsThem) {
  auto start = [](DWORD stack, LPDWORD id) {
    return [=] {
      HANDLE thread = nullptr;
      const Answer answer = Ask([&] { return thread = CreateThread(nullptr, stack, ReturnItsParameter,
                                                                   reinterpret_cast<LPVOID>(uintptr_t{42}), 0, id); },
                                [&] {
                                  DWORD code = kSentinel;
                                  WaitForSingleObject(thread, INFINITE);
                                  GetExitCodeThread(thread, &code);
                                  CloseHandle(thread);
                                  return Dword(code);
                                });
      return answer;
    };
  };
  auto refused = [](LPSECURITY_ATTRIBUTES security, LPTHREAD_START_ROUTINE routine, DWORD flags) {
    return [=] {
      DWORD refusedId = kSentinel;
      return Ask([&] { return CreateThread(security, 0, routine, nullptr, flags, &refusedId); },
                 [&] { return Dword(refusedId); });
    };
  };
  SECURITY_ATTRIBUTES security{};
  DWORD id = kSentinel;
  const std::vector<Row> rows = {
      {"§3.6", "a stack size without the reservation flag is ignored", start(4096, nullptr), Succeeds(1, "42")},
      {"§3.6", "the id written where asked", start(0, &id), Succeeds(1, "42")},
      {"§3.6", "security attributes: no thread, the id untouched", refused(&security, ReturnItsParameter, 0),
       Fails(0, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.6", "no routine", refused(nullptr, nullptr, 0), Fails(0, ERROR_INVALID_PARAMETER, "untouched")},
      {"§3.6", "a suspended start", refused(nullptr, ReturnItsParameter, CREATE_SUSPENDED),
       Fails(0, ERROR_INVALID_PARAMETER, "untouched")},
  };
  CheckRows(rows);
  EXPECT_NE(id, kSentinel);
}

// The refusals of each argument stand in the table above; a fault rule refuses
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
  // A running process's own STILL_ACTIVE stands in the table above; its primary thread's:
  DWORD thread = kSentinel;
  EXPECT_TRUE(GetExitCodeThread(info.hThread, &thread));
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
  const host::StartedProcess started = host::StartProgram(u"\\Windows\\alone.sh", u"", {.detached = true});
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

namespace {

std::atomic<bool> g_release{false};
std::atomic<DWORD> g_seenId{0};
std::atomic<bool> g_pastExit{false};

DWORD WINAPI WaitForRelease(LPVOID parameter) {
  g_seenId = GetCurrentThreadId();
  while (!g_release) Sleep(1);
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

DWORD WINAPI EndThroughExitThread(LPVOID) {
  ExitThread(5);
  g_pastExit = true;
  return 6;
}

// Tries the mutex given as parameter once and ends, holding it if it got it.
DWORD WINAPI TakeAndLeave(LPVOID parameter) { return WaitForSingleObject(static_cast<HANDLE>(parameter), 0); }

// Runs `routine` in a thread to its end and gives its exit code.
DWORD RunThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
  HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  CloseHandle(thread);
  return code;
}

}  // namespace

TEST(CreateThread, RunsReportsItsIdAndEndsWithItsCode) {
  TestImage image;
  g_release = false;
  DWORD id = 0, code = kSentinel;
  SetLastError(kSentinel);
  // A stack size given as a reservation (0x10000) is accepted.
  HANDLE thread = CreateThread(nullptr, 65536, WaitForRelease, reinterpret_cast<LPVOID>(uintptr_t{0x12345678}),
                               0x00010000, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  g_release = true;
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(g_seenId.load(), id);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0x12345678u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(CloseHandle(thread));

  g_pastExit = false;
  EXPECT_EQ(RunThread(EndThroughExitThread, nullptr), 5u);
  EXPECT_FALSE(g_pastExit);
}

TEST(CreateMutex, NamedMutexInOneProcess) {
  TestImage image;
  // The last error of a first and a second creation stands in the table above.
  HANDLE first = CreateMutexW(nullptr, TRUE, u"Setup");
  HANDLE second = CreateMutexW(nullptr, TRUE, u"Setup");
  SetLastError(kSentinel);
  HANDLE other = CreateMutexW(nullptr, FALSE, u"setup");  // names are case-sensitive
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(first && second && other && first != second);

  // One object, owned once (the second creation did not take it), recursively.
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_EQ(RunThread(TakeAndLeave, first), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(second));
  EXPECT_TRUE(ReleaseMutex(first));
  for (HANDLE notOwned : {first, other}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ReleaseMutex(notOwned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  }
  // A thread that ends holding it leaves it abandoned, at once, every time.
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(RunThread(TakeAndLeave, first), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(second, 0), WAIT_ABANDONED) << "try " << i;
    ASSERT_TRUE(ReleaseMutex(second));
  }
  // The last handle closing removes it.
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(host::NamedMutexes(), (std::vector<std::u16string>{u"Setup", u"setup"}));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(host::NamedMutexes(), std::vector<std::u16string>{u"setup"});
  CloseHandle(other);
}

TEST(CreateMutex, UnnamedMutexesAreLocal) {
  TestImage image;
  SetLastError(kSentinel);
  HANDLE free = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE owned = CreateMutexW(nullptr, TRUE, u"");
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(free && owned && free != owned);
  EXPECT_TRUE(host::NamedMutexes().empty());
  EXPECT_EQ(RunThread(TakeAndLeave, owned), WAIT_TIMEOUT);
  // NOTES: CE's pages do not list WAIT_ABANDONED; the desktop's answer is kept. Once
  // the thread's handle is signalled, the wait answers it at once, every time.
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(RunThread(TakeAndLeave, free), WAIT_OBJECT_0);
    SetLastError(kSentinel);
    ASSERT_FALSE(ReleaseMutex(free));  // the ended thread owned it, not this one
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    ASSERT_EQ(WaitForSingleObject(free, 0), WAIT_ABANDONED) << "try " << i;
    ASSERT_TRUE(ReleaseMutex(free));
  }
  EXPECT_TRUE(ReleaseMutex(owned));
  CloseHandle(free);
  CloseHandle(owned);
}

TEST(CreateMutex, BadArgumentsHandlesAndFaults) {
  TestImage image;
  SECURITY_ATTRIBUTES security{};
  const std::u16string longName(MAX_PATH, u'm');
  SetLastError(kSentinel);
  EXPECT_EQ(CreateMutexW(&security, TRUE, u"Setup"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateMutexW(nullptr, TRUE, longName.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  HANDLE thread = CreateThread(nullptr, 0, TakeAndLeave, nullptr, 0, nullptr);
  for (HANDLE bad : {HANDLE{}, INVALID_HANDLE_VALUE, thread}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(ReleaseMutex(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  host::AddFaultRule({.api = "CreateMutexW", .pattern = u"*", .error = "ERROR_NOT_ENOUGH_MEMORY"});
  EXPECT_EQ(CreateMutexW(nullptr, TRUE, u"Setup"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_TRUE(host::NamedMutexes().empty());
}

TEST(NamedMutex, SharedAcrossProcessesAndFreedByAKilledHolder) {
  TestImage image;
  InstallProbe(image);
  HANDLE mine = CreateMutexW(nullptr, TRUE, u"Setup");
  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(u"hold Setup", &info));
  EXPECT_EQ(AwaitDword(u"Setup"), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(ReleaseMutex(mine));  // the other process opened it; this thread still owns it
  host::EndTerminalProcesses(true);
  Finish(info);
  CloseHandle(mine);

  ASSERT_TRUE(StartProbe(u"hold Guard", &info));
  ASSERT_EQ(AwaitDword(u"Guard"), 0u);
  mine = CreateMutexW(nullptr, TRUE, u"Guard");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_TIMEOUT);
  host::EndTerminalProcesses(true);
  Finish(info);
  EXPECT_EQ(WaitForSingleObject(mine, 5000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mine));
  CloseHandle(mine);

  // No live process holds it any more: the name makes a new mutex.
  ASSERT_TRUE(StartProbe(u"hold Gone", &info));
  ASSERT_EQ(AwaitDword(u"Gone"), 0u);
  host::EndTerminalProcesses(true);
  Finish(info);
  SetLastError(kSentinel);
  mine = CreateMutexW(nullptr, TRUE, u"Gone");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(ReleaseMutex(mine));
  CloseHandle(mine);
}

TEST(NamedMutex, SimultaneousCreatorsExactlyOneCreates) {
  TestImage image;
  InstallProbe(image);
  PROCESS_INFORMATION racers[4];
  for (auto& racer : racers) ASSERT_TRUE(StartProbe(u"race Race", &racer));
  // Go once every racer runs its WinMain (has registered itself), so that all race.
  for (int64_t running = 0; running < 4; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    const auto records = host::ProcessRecords();
    running = std::count_if(records.begin(), records.end(), [](const auto& r) { return r.registered && !r.exitCode; });
  }
  HKEY key = nullptr;
  const DWORD go = 1;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"ProcessTest", 0, nullptr, 0, 0, nullptr, &key, nullptr), 0);
  ASSERT_EQ(RegSetValueExW(key, u"Go", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&go), sizeof go), 0);
  RegCloseKey(key);
  std::vector<DWORD> codes;
  for (auto& racer : racers) codes.push_back(Finish(racer));
  std::sort(codes.begin(), codes.end());
  EXPECT_EQ(codes, (std::vector<DWORD>{1, 2, 2, 2}));  // one created it, three opened it
}
