// Threads and mutexes, within this process and across the terminal's processes.
#include "platform/host/Faults.h"
#include "platform/host/Programs.h"
#include "tests/host/ProcessTestSupport.h"

#include <algorithm>
#include <atomic>

using namespace process_test;

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
  SetLastError(kSentinel);
  HANDLE first = CreateMutexW(nullptr, TRUE, u"Setup");
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(kSentinel);
  HANDLE second = CreateMutexW(nullptr, TRUE, u"Setup");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
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
