// The terminal's files as scenarios: names resolved from the root, searches, file
// handles, copies, share modes across processes, faults; the single answers of each
// call stand in the conformance tables.
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

namespace {

constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE, kBoth = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
using Names = std::vector<std::string>;

// A call's result and the last error after it (kSentinel: left alone).
template <class F>
auto Outcome(F call) {
  SetLastError(kSentinel);
  const auto result = call();
  return std::make_pair(result, GetLastError());
}
std::pair<BOOL, DWORD> Failed(DWORD error) { return {FALSE, error}; }
const std::pair<BOOL, DWORD> kSucceeded{TRUE, kSentinel};
// OPEN_EXISTING and CopyFileW set the last error to 0 when they succeed, as Windows does.
const std::pair<BOOL, DWORD> kSucceededClearing{TRUE, 0};

HANDLE Open(const std::u16string& path, DWORD access = kRead, DWORD share = kShareAll, DWORD disposition = OPEN_EXISTING,
            DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Whether the open succeeded; closes what it opened, keeping the last error.
BOOL Closed(HANDLE file) { return file != INVALID_HANDLE_VALUE && CloseHandle(file); }

// The names a search yields in its order, or "!<error>" when it does not start.
Names Search(const std::u16string& pattern, bool sorted = false) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return {"!" + std::to_string(GetLastError())};
  Names names;
  do names.push_back(host::ToUtf8(data.cFileName));
  while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(find));
  if (sorted) std::sort(names.begin(), names.end());
  return names;
}

void PutReadOnly(const TestImage& image, const std::string& relative, const std::string& bytes) {
  image.PutFile(relative, bytes);
  ::chmod(image.FsPath(relative).c_str(), 0444);
}

// This test program started again as another process of the terminal, running
// FilesChild.DISABLED_Role: it reports lines on fd 3 and waits for fd 4 to close.
class Child {
 public:
  Child(const TestImage& image, const std::string& role, const std::string& arg, const char* module = nullptr) {
    int report[2], hold[2];
    EXPECT_EQ(::pipe2(report, O_CLOEXEC) | ::pipe2(hold, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report[1], 3);
    posix_spawn_file_actions_adddup2(&actions, hold[0], 4);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env = {"FILES_CHILD_ROOT=" + image.root(), "FILES_CHILD_ROLE=" + role,
                                    "FILES_CHILD_ARG=" + arg, std::string("TERMSIM_MODULE=") + (module ? module : "")};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = fs::read_symlink("/proc/self/exe"), filter = "--gtest_filter=FilesChild.DISABLED_Role",
                disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(report[1]);
    ::close(hold[0]);
    report_ = report[0];
    hold_ = hold[1];
  }
  ~Child() { Finish(); }

  std::string Report() {
    std::string text;
    char c;
    while (::read(report_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  void Kill() { ::kill(pid_, SIGKILL); }
  void Finish() {
    if (hold_ < 0) return;
    ::close(hold_);
    ::close(report_);
    hold_ = -1;
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = 0;
  int report_ = -1, hold_ = -1;
};

void Say(const std::string& text) { (void)!::write(3, (text + "\n").data(), text.size() + 1); }

}  // namespace

// Not a test of its own: the body of a Child.
TEST(FilesChild, DISABLED_Role) {
  const std::string role = std::getenv("FILES_CHILD_ROLE"), arg = std::getenv("FILES_CHILD_ARG");
  ASSERT_NO_THROW(host::AttachImage(std::getenv("FILES_CHILD_ROOT")));
  if (role == "hold-both" || role == "hold-read") {
    const bool read = role == "hold-read";
    HANDLE file = Open(host::FromUtf8(arg), read ? kRead : kBoth, read ? FILE_SHARE_READ : 0);
    Say(file == INVALID_HANDLE_VALUE ? "failed " + std::to_string(GetLastError()) : "open");
    char c;
    (void)!::read(4, &c, 1);
    CloseHandle(file);
  } else if (role == "write-half") {
    HANDLE file = Open(host::FromUtf8(arg), kWrite, 0, CREATE_ALWAYS);
    DWORD written = 0;
    Say("returned " + std::to_string(WriteFile(file, "0123456789", 10, &written, nullptr)));
  } else if (role == "copy-half") {
    Say("returned " + std::to_string(CopyFileW(u"\\src.bin", host::FromUtf8(arg).c_str(), FALSE)));
  } else if (role == "module") {
    WCHAR buffer[MAX_PATH];
    auto [n, error] = Outcome([&] { return GetModuleFileNameW(nullptr, buffer, MAX_PATH); });
    Say(std::to_string(n) + " " + std::to_string(error) + " " + host::ToUtf8(buffer));
  }
  host::DetachImage();
}

TEST(Paths, NamesResolveCaseInsensitivelyFromTheRoot) {
  TestImage image;
  image.PutFile("FlashDisk/SP/Tool.CAB", "tool");
  image.PutFile("FlashDisk/Straße.txt", "s");
  image.PutFile("FlashDisk/two.txt", "lower");
  image.PutFile("FlashDisk/TWO.txt", "upper");
  for (const char16_t* path : {u"\\flashdisk\\sp\\TOOL.cab", u"FLASHDISK\\Sp\\tool.cab", u"/FlashDisk//SP\\\\Tool.CAB",
                               u"\\FlashDisk\\STRASSE.TXT"})
    EXPECT_EQ(GetFileAttributesW(path), DWORD{FILE_ATTRIBUTE_ARCHIVE}) << host::ToUtf8(path);
  EXPECT_EQ(Search(u"\\FLASHDISK\\sp\\tool.cab"), Names{"Tool.CAB"});  // the name as stored
  EXPECT_EQ(Outcome([] { return Closed(Open(u"\\FLASHDISK\\SP\\TOOL.CAB", kWrite, 0, CREATE_ALWAYS)); }),
            std::make_pair(TRUE, DWORD{ERROR_ALREADY_EXISTS}));
  EXPECT_EQ(Search(u"\\FlashDisk\\SP\\*"), Names{"Tool.CAB"});
  EXPECT_EQ(image.GetFile("FlashDisk/SP/Tool.CAB"), "");
  EXPECT_TRUE(DeleteFileW(u"\\flashdisk\\TWO.txt"));  // the exact name wins
  EXPECT_EQ(Search(u"\\FlashDisk\\t*", true), Names{"two.txt"});
}

// The patterns' answers stand in the conformance table; a search handle closes with
// FindClose alone, once.
TEST(Find, SearchHandlesCloseWithFindCloseOnly) {
  TestImage image;
  image.PutFile("d/a.cab", "x");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"\\d\\a.cab", &data);
  EXPECT_EQ(Outcome([&] { return FindNextFileW(find, &data); }), Failed(ERROR_NO_MORE_FILES));
  EXPECT_EQ(Outcome([&] { return CloseHandle(find); }), Failed(ERROR_INVALID_HANDLE));  // FindClose only
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(Outcome([&] { return FindClose(find); }), Failed(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Outcome([&] { return FindNextFileW(find, &data); }), Failed(ERROR_INVALID_HANDLE));
}

TEST(Find, EntriesComeInCreationOrderAndNewFilesAppearAtOnce) {
  TestImage image;
  auto put = [&](const char* name) {
    image.PutFile(std::string("FlashDisk/") + name, "x");
    std::this_thread::sleep_for(std::chrono::milliseconds(25));  // past the clock tick of the birth time
  };
  for (const char* name : {"c.cab", "a.cab", "b.cab"}) put(name);
  EXPECT_EQ(Search(u"\\FlashDisk\\*.cab"), (Names{"c.cab", "a.cab", "b.cab"}));
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"\\FlashDisk\\*.cab", &data);
  ASSERT_TRUE(DeleteFileW(u"\\FlashDisk\\a.cab"));
  put("a.cab");
  put("d.cab");
  EXPECT_EQ(Search(u"\\FlashDisk\\*.cab"), (Names{"c.cab", "b.cab", "a.cab", "d.cab"}));
  Names earlier{host::ToUtf8(data.cFileName)};  // a search started before keeps what it saw
  while (FindNextFileW(search, &data)) earlier.push_back(host::ToUtf8(data.cFileName));
  EXPECT_EQ(earlier, (Names{"c.cab", "a.cab", "b.cab"}));
  FindClose(search);
}

TEST(Find, RecordHasTheCeLayoutAttributesAndTimes) {
  static_assert(sizeof(WIN32_FIND_DATAW) == 560 && offsetof(WIN32_FIND_DATAW, dwOID) == 36 &&
                offsetof(WIN32_FIND_DATAW, cFileName) == 40);
  host::ImageOptions options;
  options.volumes = {"FlashDisk", "Storage Card"};
  TestImage image(options);
  fs::create_directory(image.FsPath("Plain"));
  image.PutFile("big.bin", std::string(70000, 'x'));
  PutReadOnly(image, "ro.txt", "r");
  const timespec times[2] = {{1600000000, 5}, {1700000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.FsPath("big.bin").c_str(), times, 0), 0);
  const std::pair<const char16_t*, DWORD> cases[] = {
      {u"\\FlashDisk", 0x110}, {u"\\storage card", 0x110}, {u"\\Windows", 0x10},
      {u"\\Plain", 0x10},      {u"\\big.bin", 0x20},       {u"\\ro.txt", 0x21},
  };
  for (const auto& [path, attributes] : cases) {
    WIN32_FIND_DATAW data;
    std::fill_n(reinterpret_cast<char*>(&data), sizeof data, '\xEE');
    FindClose(FindFirstFileW(path, &data));
    EXPECT_EQ(data.dwFileAttributes, attributes) << host::ToUtf8(path);
    EXPECT_EQ(GetFileAttributesW(path), attributes) << host::ToUtf8(path);
    EXPECT_EQ(data.dwOID, 0u);
    if (attributes != 0x20) continue;
    const uint64_t write = 1700000000ull * 10000000 + 1234567 + 116444736000000000ull;
    const uint64_t access = 1600000000ull * 10000000 + 116444736000000000ull;  // 5 ns is below one tick
    EXPECT_EQ(data.nFileSizeLow + (uint64_t{data.nFileSizeHigh} << 32), 70000u);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime + (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32), write);
    EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime + (uint64_t{data.ftLastAccessTime.dwHighDateTime} << 32), access);
  }
  EXPECT_EQ(GetFileAttributesW(u"\\"), DWORD{FILE_ATTRIBUTE_DIRECTORY});
  EXPECT_EQ(Outcome([] { return GetFileAttributesW(u"\\none\\x"); }),
            std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{ERROR_PATH_NOT_FOUND}));
}

// The answers of each disposition stand in the conformance table.
TEST(CreateFile, ReadOnlyNewFileIsWrittenThroughItsCreatorOnly) {
  TestImage image;
  HANDLE file = Open(u"\\made.txt", kWrite, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  DWORD written = kSentinel;
  EXPECT_TRUE(WriteFile(file, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  CloseHandle(file);
  EXPECT_EQ(GetFileAttributesW(u"\\made.txt"), DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE});
  EXPECT_EQ(Outcome([] { return Open(u"\\made.txt", kWrite); }).second, DWORD{ERROR_ACCESS_DENIED});
}

TEST(FileHandles, ReadWriteSeekSizeAndTime) {
  TestImage image;
  HANDLE file = Open(u"\\f.bin", kBoth, 0, CREATE_NEW);
  DWORD count = kSentinel, high = kSentinel;
  EXPECT_TRUE(WriteFile(file, "0123456789", 10, &count, nullptr) && count == 10);
  EXPECT_TRUE(WriteFile(file, "", 0, &count, nullptr) && count == 0);
  LONG seekHigh = 0;
  EXPECT_EQ(SetFilePointer(file, -4, nullptr, FILE_END), 6u);
  EXPECT_EQ(SetFilePointer(file, 2, &seekHigh, FILE_CURRENT), 8u);
  EXPECT_EQ(Outcome([&] { return SetFilePointer(file, -9, nullptr, FILE_CURRENT); }),
            std::make_pair(INVALID_SET_FILE_POINTER, DWORD{131}));  // ERROR_NEGATIVE_SEEK
  EXPECT_EQ(Outcome([&] { return SetFilePointer(file, 0, nullptr, 3); }),
            std::make_pair(INVALID_SET_FILE_POINTER, DWORD{ERROR_INVALID_PARAMETER}));
  EXPECT_EQ(SetFilePointer(file, 3, nullptr, FILE_BEGIN), 3u);
  char buffer[16] = {};
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "3456789");
  EXPECT_EQ(GetFileSize(file, &high), 10u);
  EXPECT_EQ(high, 0u);

  const timespec times[2] = {{0, UTIME_OMIT}, {1262304000, 999999999}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.FsPath("f.bin").c_str(), times, 0), 0);
  FILETIME created{kSentinel, kSentinel}, written{kSentinel, kSentinel};
  EXPECT_EQ(Outcome([&] { return GetFileTime(file, &created, nullptr, &written); }), kSucceeded);
  EXPECT_EQ(written.dwLowDateTime + (uint64_t{written.dwHighDateTime} << 32),
            1262304000ull * 10000000 + 9999999 + 116444736000000000ull);  // cut, never rounded up
  EXPECT_NE(created.dwHighDateTime, kSentinel);
  EXPECT_TRUE(CloseHandle(file));

  HANDLE reader = Open(u"\\f.bin", kRead), writer = Open(u"\\f.bin", kWrite);
  auto* overlapped = reinterpret_cast<OVERLAPPED*>(buffer);
  auto withCount = [&](auto call) {
    count = kSentinel;
    auto outcome = Outcome(call);
    EXPECT_EQ(count, 0u);  // zeroed before anything is checked
    return outcome;
  };
  EXPECT_EQ(withCount([&] { return WriteFile(reader, "x", 1, &count, nullptr); }), Failed(ERROR_ACCESS_DENIED));
  EXPECT_EQ(withCount([&] { return ReadFile(writer, buffer, 1, &count, nullptr); }), Failed(ERROR_ACCESS_DENIED));
  EXPECT_EQ(withCount([&] { return WriteFile(writer, "x", 1, &count, overlapped); }), Failed(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(withCount([&] { return WriteFile(file, "x", 1, &count, nullptr); }), Failed(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Outcome([&] { return GetFileSize(file, nullptr); }), std::make_pair(INVALID_FILE_SIZE, DWORD{ERROR_INVALID_HANDLE}));
  CloseHandle(reader);
  CloseHandle(writer);
  EXPECT_EQ(image.GetFile("f.bin"), "0123456789");
}

TEST(ShareModes, HoldAcrossProcessesUntilTheHolderEnds) {
  TestImage image;
  image.PutFile("FlashDisk/held.dat", "held");
  image.PutFile("FlashDisk/other.dat", "other");
  Child holder(image, "hold-both", "\\FlashDisk\\held.dat");
  ASSERT_EQ(holder.Report(), "open");
  const auto violation = Failed(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Outcome([] { return Closed(Open(u"\\flashdisk\\held.dat", kRead, kShareAll)); }), violation);
  EXPECT_EQ(Outcome([] { return DeleteFileW(u"\\FlashDisk\\held.dat"); }), violation);
  EXPECT_EQ(Outcome([] { return CopyFileW(u"\\FlashDisk\\held.dat", u"\\FlashDisk\\c.dat", FALSE); }), violation);
  EXPECT_EQ(Outcome([] { return CopyFileW(u"\\FlashDisk\\other.dat", u"\\FlashDisk\\held.dat", FALSE); }), violation);
  EXPECT_EQ(image.GetFile("FlashDisk/held.dat"), "held");
  holder.Kill();  // it ends without closing anything: what it held must not block
  holder.Finish();
  EXPECT_TRUE(Closed(Open(u"\\FlashDisk\\held.dat", kBoth, 0)));

  HANDLE file = Open(u"\\FlashDisk\\other.dat", kWrite, FILE_SHARE_WRITE);
  Child refused(image, "hold-read", "\\FlashDisk\\other.dat");
  EXPECT_EQ(refused.Report(), "failed 32");
  CloseHandle(file);
  Child reader(image, "hold-read", "\\FlashDisk\\other.dat");
  EXPECT_EQ(reader.Report(), "open");
  EXPECT_EQ(Outcome([] { return Closed(Open(u"\\FlashDisk\\other.dat", kWrite, kShareAll)); }), violation);
  reader.Finish();
  EXPECT_TRUE(DeleteFileW(u"\\FlashDisk\\other.dat"));
}

TEST(CopyFile, OverwritesInPlaceKeepingTimeAndAttribute) {
  TestImage image;
  PutReadOnly(image, "FlashDisk/src.dat", "calibration");
  const timespec times[2] = {{0, UTIME_OMIT}, {1500000000, 250000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.FsPath("FlashDisk/src.dat").c_str(), times, 0), 0);
  image.PutFile("FlashDisk/dst.dat", "a much longer old content");
  image.PutFile("FlashDisk/plain.dat", "plain");
  struct stat before, after;
  ::stat(image.FsPath("FlashDisk/dst.dat").c_str(), &before);
  EXPECT_EQ(Outcome([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\flashdisk\\DST.dat", FALSE); }), kSucceededClearing);
  ::stat(image.FsPath("FlashDisk/dst.dat").c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino);  // truncated and written, not replaced
  EXPECT_EQ(image.GetFile("FlashDisk/dst.dat"), "calibration");
  EXPECT_EQ(after.st_mtim.tv_sec, 1500000002);  // as the FAT volume keeps it: the next even second
  EXPECT_EQ(after.st_mtim.tv_nsec, 0);
  EXPECT_EQ(GetFileAttributesW(u"\\FlashDisk\\dst.dat"), DWORD{FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE});

  const std::tuple<const char16_t*, const char16_t*, BOOL, DWORD> cases[] = {
      {u"\\FlashDisk\\plain.dat", u"\\FlashDisk\\dst.dat", FALSE, ERROR_ACCESS_DENIED},  // read-only like its source
      {u"\\FlashDisk\\src.dat", u"\\FlashDisk\\plain.dat", TRUE, ERROR_FILE_EXISTS},
      {u"\\FlashDisk\\none.dat", u"\\FlashDisk\\x.dat", FALSE, ERROR_FILE_NOT_FOUND},
      {u"\\none\\a.dat", u"\\FlashDisk\\x.dat", FALSE, ERROR_PATH_NOT_FOUND},
      {u"\\FlashDisk\\src.dat", u"\\none\\x.dat", FALSE, ERROR_PATH_NOT_FOUND},
      {u"\\FlashDisk", u"\\FlashDisk\\x.dat", FALSE, ERROR_ACCESS_DENIED},
      {u"\\FlashDisk\\src.dat", u"\\Windows", FALSE, ERROR_ACCESS_DENIED},
      {u"\\FlashDisk\\plain.dat", u"\\FLASHDISK\\PLAIN.DAT", FALSE, ERROR_SHARING_VIOLATION},
      {u"", u"\\FlashDisk\\x.dat", FALSE, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& [from, to, failIfExists, error] : cases)
    EXPECT_EQ(Outcome([&] { return CopyFileW(from, to, failIfExists); }), Failed(error)) << host::ToUtf8(to);
  EXPECT_EQ(image.GetFile("FlashDisk/plain.dat"), "plain");
  EXPECT_FALSE(image.Exists("FlashDisk/x.dat"));

  HANDLE exclusive = Open(u"\\FlashDisk\\plain.dat", kRead, 0);
  EXPECT_EQ(Outcome([] { return CopyFileW(u"\\FlashDisk\\plain.dat", u"\\y.dat", FALSE); }),
            Failed(ERROR_SHARING_VIOLATION));
  CloseHandle(exclusive);
  HANDLE shared = Open(u"\\FlashDisk\\plain.dat", kRead, FILE_SHARE_READ);
  EXPECT_TRUE(CopyFileW(u"\\FlashDisk\\plain.dat", u"\\y.dat", TRUE));
  CloseHandle(shared);
  EXPECT_EQ(image.GetFile("y.dat"), "plain");
}

TEST(Faults, FileCallsFailOrLoseThePowerHalfway) {
  TestImage image;
  image.PutFile("FlashDisk/a.txt", "a");
  image.PutFile("src.bin", std::string(1000, 'c'));
  for (const auto& [api, pattern, error] : std::initializer_list<std::tuple<const char*, const char*, const char*>>{
           {"CreateFileW", "*\\b.txt", "ERROR_DISK_FULL"},
           {"DeleteFileW", "\\FlashDisk\\*", "ERROR_ACCESS_DENIED"},
           {"FindFirstFileW", "*.cab", "ERROR_NO_MORE_FILES"},
           {"CopyFileW", "\\FlashDisk\\copy.bin", "ERROR_DISK_FULL"},  // rules name what a copy writes
           {"GetFileTime", "\\FlashDisk\\a.txt", "ERROR_GEN_FAILURE"},
           {"WriteFile", "\\FlashDisk\\a.txt", "ERROR_WRITE_PROTECT"},
           {"WriteFile", "\\half.txt", "power-loss:half"},
           {"CopyFileW", "\\half.bin", "power-loss:half"}}) {
    host::AddFaultRule({.api = api, .pattern = host::FromUtf8(pattern), .error = error});
  }
  EXPECT_EQ(Outcome([] { return Closed(Open(u"\\FlashDisk\\b.txt", kWrite, 0, CREATE_ALWAYS)); }),
            Failed(ERROR_DISK_FULL));
  EXPECT_EQ(Outcome([] { return DeleteFileW(u"\\FlashDisk\\a.txt"); }), Failed(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Search(u"\\FlashDisk\\*.cab"), Names{"!18"});
  EXPECT_EQ(Outcome([] { return CopyFileW(u"\\src.bin", u"\\FlashDisk\\copy.bin", FALSE); }), Failed(ERROR_DISK_FULL));
  // Handles are known by the path they were opened with.
  FILETIME time;
  DWORD written = kSentinel;
  HANDLE file = Open(u"FlashDisk/a.txt", kBoth);
  EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &time) && WriteFile(file, "b", 1, &written, nullptr));
  CloseHandle(file);
  file = Open(u"\\FlashDisk\\a.txt", kBoth);
  EXPECT_EQ(Outcome([&] { return GetFileTime(file, nullptr, nullptr, &time); }), Failed(ERROR_GEN_FAILURE));
  EXPECT_EQ(Outcome([&] { return WriteFile(file, "c", 1, &written, nullptr); }), Failed(ERROR_WRITE_PROTECT));
  CloseHandle(file);
  EXPECT_EQ(image.GetFile("FlashDisk/a.txt"), "b");
  EXPECT_EQ(Search(u"\\FlashDisk\\*", true), Names{"a.txt"});
  const auto events = host::JournalEventsAfter(0);
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.event == "fault"; }), 6);

  // The power goes after half of the bytes: the caller never sees its call return.
  Child writer(image, "write-half", "\\half.txt");
  EXPECT_EQ(writer.Report(), "");
  EXPECT_EQ(image.GetFile("half.txt"), "01234");
  Child copier(image, "copy-half", "\\half.bin");
  EXPECT_EQ(copier.Report(), "");
  EXPECT_EQ(image.GetFile("half.bin"), std::string(500, 'c'));
}

// The buffer sizes stand in the conformance table; here, a started program learns
// the CE path it was started as.
TEST(ModuleFileName, IsThePathTheProgramWasStartedAs) {
  TestImage image;
  Child program(image, "module", "", "\\SP\\Setup.exe");
  EXPECT_EQ(program.Report(), "13 3735928559 \\SP\\Setup.exe");  // its length, the error untouched
}
