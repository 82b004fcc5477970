// Processes, waits, handles, mutexes, windows and the system driver, row by row:
// arguments CE does not support, handles of the wrong kind, outputs left alone on
// failure, the last error left alone on success.
#include "platform/host/Errors.h"
#include "platform/host/Journal.h"
#include "platform/host/Programs.h"
#include "tests/conformance/ConformanceTable.h"

#include <algorithm>
#include <cstring>

using namespace conformance;

namespace {

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : std::to_string(value); }

DWORD WINAPI ReturnItsParameter(LPVOID parameter) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)); }

LRESULT CALLBACK IgnoringProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

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

TEST_F(ProcessConformance, SystemDriverNames) {
  HANDLE file = CreateFileW(u"\\f.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  auto open = [](const char16_t* name, DWORD access, DWORD share) {
    return [=] {
      HANDLE handle = INVALID_HANDLE_VALUE;
      const Answer answer = Ask([&] { return handle = CreateFileW(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr); });
      if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
      return answer;
    };
  };
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  auto control = [](HANDLE handle) {
    return [=] {
      DWORD returned = kSentinel;
      return Ask([&] { return DeviceIoControl(handle, IOCTL_QDV_RESET, nullptr, 0, nullptr, 0, &returned, nullptr); });
    };
  };
  const std::vector<Row> rows = {
      {"§7", "opened as the platform's notes open it", open(u"QDV1:", GENERIC_READ | GENERIC_WRITE, 0), Succeeds(1)},
      {"§7", "without the colon it is a file name of the root", open(u"QDV1", 0, 0), Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§7", "another instance of the driver", open(u"QDV2:", 0, 0), Fails(-1, ERROR_DEV_NOT_EXIST)},
      {"§7", "DeviceIoControl on a file",
       [file] {
         DWORD returned = kSentinel;
         return Ask([&] { return DeviceIoControl(file, 256, nullptr, 0, nullptr, 0, &returned, nullptr); },
                    [&] { return Dword(returned); });
       },
       Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§7", "DeviceIoControl on NULL", control(nullptr), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§7", "DeviceIoControl on INVALID_HANDLE_VALUE", control(INVALID_HANDLE_VALUE), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§7", "DeviceIoControl on a mutex", control(mutex), Fails(FALSE, ERROR_INVALID_HANDLE)},
  };
  CheckRows(rows);
  CloseHandle(mutex);
  CloseHandle(file);
}

TEST_F(ProcessConformance, WindowsByEmptyNamesAndBadHandles) {
  WNDCLASSW registration = {};
  registration.lpfnWndProc = IgnoringProc;
  registration.lpszClassName = u"KorvaConformance";
  RegisterClassW(&registration);  // classes outlive the test's image; one may be registered already
  HWND untitled = CreateWindowExW(0, u"KorvaConformance", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(untitled, nullptr);
  HWND destroyed = CreateWindowExW(0, u"KorvaConformance", u"Gone", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(DestroyWindow(destroyed));
  auto find = [](const char16_t* windowClass, const char16_t* title) {
    return [=] { return Ask([&] { return FindWindowW(windowClass, title); }); };
  };
  auto owner = [](HWND window) {
    return [=] {
      DWORD pid = kSentinel;
      return Ask([&] { return GetWindowThreadProcessId(window, &pid); }, [&] { return Dword(pid); });
    };
  };
  const std::vector<Row> rows = {
      {"§4.1", "an empty title matches a window without one", find(nullptr, u""), Succeeds(1)},
      {"§4.1", "an empty class matches none", find(u"", nullptr), Succeeds(0)},
      {"§4.1", "the class alone, in other case", find(u"KORVACONFORMANCE", nullptr), Succeeds(1)},
      {"§3.4", "the owner of a window: its thread, and its process where asked", owner(untitled),
       Succeeds(GetCurrentThreadId(), std::to_string(GetCurrentProcessId()))},
      {"§3.4", "the owner's thread alone",
       [untitled] { return Ask([untitled] { return GetWindowThreadProcessId(untitled, nullptr); }); },
       Succeeds(GetCurrentThreadId())},
      {"§3.4", "a window handle no window has", owner(reinterpret_cast<HWND>(intptr_t{-2})),
       Fails(0, ERROR_INVALID_WINDOW_HANDLE, "untouched")},
      {"§3.4", "a destroyed window", owner(destroyed), Fails(0, ERROR_INVALID_WINDOW_HANDLE, "untouched")},
      {"§3.4", "NULL", owner(nullptr), Fails(0, ERROR_INVALID_WINDOW_HANDLE, "untouched")},
      {"§4.2", "a broadcast, which the terminal does not deliver",
       [] { return Ask([] { return PostMessageW(reinterpret_cast<HWND>(uintptr_t{0xFFFF}), WM_CLOSE, 0, 0); }); },
       Fails(FALSE, ERROR_INVALID_PARAMETER)},
  };
  CheckRows(rows);
  DestroyWindow(untitled);
}
