// Windows and messages: the answers of each call for empty names and bad handles, row
// by row; the window table shared by the terminal's processes, the message loop, and
// the window-owner program on a real terminal image.
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "terminal/windowowner/WindowOwnerCommandLine.h"
#include "terminal/windowowner/WindowOwnerLaunch.h"
#include "tests/host/ConformanceTable.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace conformance;

namespace {

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : std::to_string(value); }

LRESULT CALLBACK IgnoringProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

constexpr DWORD kErrorClassAlreadyExists = 1410;
constexpr const char16_t* kClass = u"KorvaTestWindow";
const HWND kNoSuchWindow = reinterpret_cast<HWND>(uintptr_t{0x7777});

std::vector<UINT> g_received;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  g_received.push_back(message);
  return DefWindowProcW(window, message, wParam, lParam);
}

// Classes belong to the process and outlive each test's image.
HWND MakeWindow(const char16_t* title, const char16_t* windowClass = kClass) {
  WNDCLASSW registration = {};
  registration.lpfnWndProc = RecordingProc;
  registration.lpszClassName = windowClass;
  if (!RegisterClassW(&registration)) {
    EXPECT_EQ(GetLastError(), kErrorClassAlreadyExists);
  }
  return CreateWindowExW(0, windowClass, title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

template <class Condition>
bool WaitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override { g_received.clear(); }
  TestImage image_;
};

// Ends every process of its terminal afterwards, whatever happened.
class WindowOwner : public ::testing::Test {
 protected:
  ~WindowOwner() override { host::Guarded(0, [] { return host::EndTerminalProcesses(true), 0; }); }

  // Starts an owner and opens its process; returns its window.
  HWND Start(const std::u16string& windowClass, const std::u16string& title, int exitDelayMs = 0) {
    std::string error;
    const auto pid = StartWindowOwner(std::string(KORVA_BIN_DIR) + "/windowowner", windowClass, title, exitDelayMs, &error);
    EXPECT_TRUE(pid) << error;
    pid_ = pid.value_or(0);
    process_ = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid_));
    return FindWindowW(windowClass.c_str(), title.c_str());
  }

  TestImage image_{[] {
    host::ImageOptions options;
    options.timeScale = 0.25;
    return options;
  }()};
  int pid_ = 0;
  HANDLE process_ = nullptr;
};

}  // namespace

TEST_F(Windows, FindWindowMatchesWholeNamesCaseInsensitivelyNewestFirst) {
  const HWND scanner = MakeWindow(u"Scanner Tool");
  const HWND japanese = MakeWindow(u"スキャナ設定");
  const HWND umlaut = MakeWindow(u"ÄRGER");
  const HWND other = MakeWindow(u"Scanner Tool", u"KorvaOtherWindow");
  struct Case {
    const char16_t* windowClass;
    const char16_t* title;
    HWND found;
  } cases[] = {
      {u"korvatestwindow", u"SCANNER TOOL", scanner}, {kClass, u"スキャナ設定", japanese}, {kClass, u"ärger", umlaut},
      {kClass, nullptr, umlaut}, {nullptr, u"scanner tool", other}, {nullptr, nullptr, other},  // the newest
      {kClass, u"Scanner", nullptr}, {u"KorvaTest", nullptr, nullptr}, {kClass, u"スキャナ", nullptr},  // whole names
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(FindWindowW(c.windowClass, c.title), c.found) << host::ToUtf8(host::ToU16(c.title));
    EXPECT_EQ(GetLastError(), kSentinel);
  }
  ASSERT_TRUE(DestroyWindow(other));
  EXPECT_EQ(FindWindowW(nullptr, u"Scanner Tool"), scanner);
  EXPECT_EQ(FindWindowW(reinterpret_cast<LPCWSTR>(uintptr_t{0xC000}), nullptr), nullptr);  // atoms: not implemented
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Windows, PostMessageQueuesAndJournalsOnlyForExistingWindows) {
  const HWND window = MakeWindow(u"スキャナ設定");
  SetLastError(kSentinel);
  EXPECT_TRUE(PostMessageW(window, WM_USER + 1, 7, -3));
  EXPECT_EQ(GetLastError(), kSentinel);
  const auto posted = JournalEvents("post-message");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].FieldsJson(), "{\"class\":\"KorvaTestWindow\",\"title\":\"スキャナ設定\",\"message\":1025}");

  MSG message;
  ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  EXPECT_EQ(message.hwnd, window);
  EXPECT_EQ(message.message, static_cast<UINT>(WM_USER + 1));
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_EQ(message.lParam, -3);
  DispatchMessageW(&message);
  EXPECT_EQ(g_received, std::vector<UINT>{WM_USER + 1});

  ASSERT_TRUE(DestroyWindow(window));
  const std::pair<HWND, DWORD> cases[] = {{window, ERROR_INVALID_WINDOW_HANDLE},
                                          {kNoSuchWindow, ERROR_INVALID_WINDOW_HANDLE},
                                          {HWND{}, ERROR_INVALID_PARAMETER}};  // thread messages: not implemented
  for (const auto& [target, error] : cases) {
    EXPECT_FALSE(PostMessageW(target, WM_CLOSE, 0, 0));
    EXPECT_EQ(GetLastError(), error);
  }
  EXPECT_EQ(JournalEvents("post-message").size(), 1u);
}

TEST_F(Windows, MessageLoopOrderFiltersAndQuit) {
  const HWND first = MakeWindow(u"First");
  const HWND second = MakeWindow(u"Second");
  ASSERT_TRUE(PostMessageW(first, WM_USER + 1, 1, 0));
  ASSERT_TRUE(PostMessageW(second, WM_USER + 2, 2, 0));
  ASSERT_TRUE(PostMessageW(first, WM_USER + 3, 3, 0));
  PostQuitMessage(5);
  MSG message;
  ASSERT_EQ(GetMessageW(&message, nullptr, WM_USER + 2, WM_USER + 3), TRUE);  // by range
  EXPECT_EQ(message.wParam, 2u);
  ASSERT_EQ(GetMessageW(&message, first, 0, 0), TRUE);  // by window, oldest first
  EXPECT_EQ(message.wParam, 1u);
  ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  EXPECT_EQ(message.wParam, 3u);
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), FALSE);  // WM_QUIT once the queue is empty
  EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(message.wParam, 5u);

  // A window's queued messages go with it.
  ASSERT_TRUE(PostMessageW(first, WM_USER, 0, 0));
  ASSERT_TRUE(DestroyWindow(first));
  ASSERT_TRUE(PostMessageW(second, WM_QUIT, 9, 0));
  EXPECT_EQ(GetMessageW(&message, nullptr, 0, 0), FALSE);
  EXPECT_EQ(message.wParam, 9u);

  EXPECT_EQ(GetMessageW(nullptr, nullptr, 0, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetMessageW(&message, first, 0, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(Windows, CloseDestroysAndOnlyTheCreatorMayDestroy) {
  const HWND window = MakeWindow(u"Closing");
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  MSG message;
  ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  DispatchMessageW(&message);
  EXPECT_EQ(g_received, (std::vector<UINT>{WM_CLOSE, WM_DESTROY}));
  EXPECT_EQ(FindWindowW(kClass, u"Closing"), nullptr);
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));

  // Posting WM_DESTROY runs the procedure but destroys nothing.
  const HWND kept = MakeWindow(u"Kept");
  ASSERT_TRUE(PostMessageW(kept, WM_DESTROY, 0, 0));
  ASSERT_EQ(GetMessageW(&message, nullptr, 0, 0), TRUE);
  DispatchMessageW(&message);
  std::thread([&] {
    EXPECT_FALSE(DestroyWindow(kept));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetMessageW(&message, kept, 0, 0), -1);
  }).join();
  EXPECT_EQ(FindWindowW(kClass, u"Kept"), kept);

  SetLastError(kSentinel);
  EXPECT_EQ(CreateWindowExW(0, u"KorvaUnregistered", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 1407u);  // ERROR_CANNOT_FIND_WND_CLASS
  EXPECT_EQ(CreateWindowExW(0, kClass, u"Child", 0, 0, 0, 0, 0, kept, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));  // child windows: not implemented
}

TEST_F(Windows, FaultRulesFailTheCalls) {
  const HWND window = MakeWindow(u"Faulty");
  for (const char* api : {"FindWindowW", "GetWindowThreadProcessId", "PostMessageW"})
    host::AddFaultRule({.api = api, .pattern = u"*", .error = "ERROR_ACCESS_DENIED", .times = 1});
  DWORD pid = kSentinel;
  EXPECT_EQ(FindWindowW(kClass, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(GetWindowThreadProcessId(window, &pid), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(pid, kSentinel);
  EXPECT_FALSE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(JournalEvents("post-message").size(), 0u);
  EXPECT_EQ(JournalEvents("fault").size(), 3u);
  EXPECT_EQ(FindWindowW(kClass, nullptr), window);  // once only
}

TEST(WindowOwnerCommandLine, RoundTripsAndRefusesMalformedLines) {
  const WindowOwnerOptions options{u"Scan \"Tool\" \\x", u"読み取り 設定", 1500};
  std::string error;
  const auto parsed = ParseWindowOwnerCommandLine(EncodeWindowOwnerCommandLine(options), &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->windowClass, options.windowClass);
  EXPECT_EQ(parsed->title, options.title);
  EXPECT_EQ(parsed->exitDelayMs, 1500);
  const auto plain = ParseWindowOwnerCommandLine(u" --exit-delay 20\t--class Scanner ", &error);
  ASSERT_TRUE(plain) << error;
  EXPECT_EQ(plain->windowClass + u"|" + plain->title, u"Scanner|");
  for (const char16_t* bad : {u"", u"--title T", u"--class", u"--class \"open", u"--class \"\"", u"--class C --bogus 1",
                              u"--class C --exit-delay -1", u"--class C --exit-delay 99999999"})
    EXPECT_FALSE(ParseWindowOwnerCommandLine(bad, &error)) << host::ToUtf8(bad);
}

TEST_F(WindowOwner, CloseEndsTheOwner) {
  const HWND window = Start(u"KorvaScanner", u"読み取り設定");
  ASSERT_TRUE(window && process_);
  EXPECT_TRUE(image_.Exists("Windows/windowowner.exe"));
  EXPECT_EQ(FindWindowW(u"korvascanner", nullptr), window);
  DWORD owner = 0;
  EXPECT_NE(GetWindowThreadProcessId(window, &owner), 0u);
  EXPECT_EQ(owner, static_cast<DWORD>(pid_));
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(WaitForSingleObject(process_, 40000), WAIT_OBJECT_0);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(process_, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(FindWindowW(u"KorvaScanner", nullptr), nullptr);
  EXPECT_EQ(JournalEvents("process-exit").size(), 1u);
  CloseHandle(process_);
}

TEST_F(WindowOwner, PostedDestroyEndsTheOwnerAndItsWindowGoesWithIt) {
  const HWND window = Start(u"KorvaScanner", u"");
  ASSERT_TRUE(window && process_);
  ASSERT_TRUE(PostMessageW(window, WM_DESTROY, 0, 0));  // the window itself is never destroyed
  EXPECT_EQ(WaitForSingleObject(process_, 40000), WAIT_OBJECT_0);
  CloseHandle(process_);
  EXPECT_EQ(FindWindowW(nullptr, nullptr), nullptr);
  EXPECT_FALSE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(JournalEvents("post-message").size(), 1u);
}

TEST_F(WindowOwner, WindowOfKilledOwnerIsGone) {
  const HWND window = Start(u"KorvaScanner", u"Killed");
  ASSERT_TRUE(window);
  ASSERT_EQ(::kill(pid_, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([&] { return host::ProcessStartTime(pid_) == 0; }));
  EXPECT_EQ(FindWindowW(nullptr, nullptr), nullptr);
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  CloseHandle(process_);

  std::string error;
  EXPECT_FALSE(StartWindowOwner(std::string(KORVA_BIN_DIR) + "/windowowner", u"", u"", 0, &error));  // no class
  EXPECT_NE(error.find("without a window"), std::string::npos) << error;
}

TEST_F(WindowOwner, ExitDelayKeepsTheOwnerAfterItsWindow) {
  // 4000 terminal ms at the time scale of 0.25: one real second.
  const HWND window = Start(u"KorvaSlow", u"Slow", 4000);
  ASSERT_TRUE(window && process_);
  const auto posted = std::chrono::steady_clock::now();
  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return FindWindowW(u"KorvaSlow", nullptr) == nullptr; }));
  EXPECT_EQ(WaitForSingleObject(process_, 200), WAIT_TIMEOUT);  // the window is gone, its owner is not
  EXPECT_EQ(WaitForSingleObject(process_, 40000), WAIT_OBJECT_0);
  const auto elapsed = std::chrono::steady_clock::now() - posted;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
  CloseHandle(process_);
  EXPECT_EQ(JournalEvents("sleep").at(0).FieldsJson(), "{\"ms\":4000}");
}

TEST(WindowsConformance, WindowsByEmptyNamesAndBadHandles) {
  TestImage image;
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
