// The terminal's files: the answers of each call, row by row (folders opened as files,
// dispositions and refused arguments of CreateFileW, the opens Setup and the installer
// combine, wildcards and searches, copies, names with a trailing separator, 32-bit
// positions and sizes that look like failures, last-write times on a volume and in the
// object store, deletions and new folders, the program's own path), then what takes
// more than one call: searches over time, file handles, share modes across processes,
// faults.

#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;
using namespace conformance;

namespace {

constexpr DWORD kRead = GENERIC_READ, kWrite = GENERIC_WRITE, kBoth = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::u16string& path, DWORD access = kRead, DWORD share = kShareAll, DWORD disposition = OPEN_EXISTING,
            DWORD flags = 0) {
  return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// An open as a row sees it: the handle closed again once the answer is taken.
Answer AskOpen(const char16_t* path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
  HANDLE file = INVALID_HANDLE_VALUE;
  const Answer answer = Ask([&] { return file = Open(path, access, share, disposition); });
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return answer;
}

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : Hex(value); }

class FilesConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    image_.PutFile("FlashDisk/SP/a.cab", "cab");
    image_.PutFile("FlashDisk/src.dat", "source");
    image_.PutFile("FlashDisk/zero.dat", "");
    image_.PutFile("FlashDisk/ro.dat", "read-only");
    ::chmod(image_.FsPath("FlashDisk/ro.dat").c_str(), 0444);
    fs::create_directories(image_.FsPath("FlashDisk/Empty"));
  }

  // Host facts of an entry under fs/: "dir", "file:<bytes>", "absent".
  std::string HostEntry(const std::string& relative) const {
    const fs::path path = image_.FsPath(relative);
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path, ec))) return fs::is_empty(path, ec) ? "empty dir" : "dir";
    if (!fs::exists(fs::symlink_status(path, ec))) return "absent";
    return "file:" + image_.GetFile(relative);
  }

  TestImage image_{Bounded()};
};

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

// Another process of the terminal (programs/FileHolder.cpp) doing one file operation:
// it reports lines on fd 3 and waits for fd 4 to close.
class Child {
 public:
  Child(const TestImage& image, const std::string& role, const std::string& arg, const char* module = nullptr) {
    int report[2], hold[2];
    EXPECT_EQ(::pipe2(report, O_CLOEXEC) | ::pipe2(hold, O_CLOEXEC), 0);
    pid_ = support::Spawn(FILE_HOLDER_PATH, {image.root(), role, arg.empty() ? "-" : arg},
                          {std::string("TERMSIM_MODULE=") + (module ? module : "")},
                          {{.fd = 1, .path = "/dev/null"}, {.fd = 3, .from = report[1]}, {.fd = 4, .from = hold[0]}});
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

}  // namespace

TEST_F(FilesConformance, CreateFileOnAFolderIsDeniedWhateverTheDisposition) {
  std::vector<Row> rows;
  for (const char16_t* folder : {u"\\FlashDisk", u"\\FlashDisk\\Empty", u"\\flashdisk\\EMPTY\\", u"\\"}) {
    for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
      for (DWORD access : {DWORD{0}, kRead, kBoth}) {
        if (disposition == TRUNCATE_EXISTING && access != kBoth) continue;  // truncation needs write access
        rows.push_back({"§2.5", host::ToUtf8(folder) + " disposition " + std::to_string(disposition) + " access " +
                                    Hex(access),
                        [=, this] {
                          const Answer answer = AskOpen(folder, access, kShareAll, disposition);
                          return Answer{answer.result, answer.error, HostEntry("FlashDisk/Empty")};
                        },
                        Fails(-1, ERROR_ACCESS_DENIED, "empty dir")});
      }
    }
  }
  CheckRows(rows);
}

// Each row starts from "old.txt" and a read-only "ro.txt" holding "old", and no "new.txt".
TEST_F(FilesConformance, DispositionsAndArgumentsOfCreateFile) {
  auto create = [this](const char16_t* path, DWORD access, DWORD disposition, DWORD flags, const char* entry) {
    return [=, this] {
      image_.PutFile("old.txt", "old");
      image_.PutFile("ro.txt", "old");
      ::chmod(image_.FsPath("ro.txt").c_str(), 0444);
      fs::remove(image_.FsPath("new.txt"));
      HANDLE file = INVALID_HANDLE_VALUE;
      const Answer answer = Ask([&] { return file = CreateFileW(path, access, 0, nullptr, disposition, flags, nullptr); });
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      return Answer{answer.result, answer.error, HostEntry(entry)};
    };
  };
  const char16_t *old = u"\\old.txt", *fresh = u"\\new.txt", *readOnly = u"\\ro.txt";
  const std::vector<Row> rows = {
      {"§2.5", "CREATE_NEW over a file", create(old, kWrite, CREATE_NEW, 0, "old.txt"), Fails(-1, ERROR_FILE_EXISTS, "file:old")},
      {"§2.5", "OPEN_EXISTING", create(old, kRead, OPEN_EXISTING, 0, "old.txt"), SucceedsClearing(1, "file:old")},
      {"§2.5", "OPEN_ALWAYS of a file", create(old, kRead, OPEN_ALWAYS, 0, "old.txt"), Fails(1, ERROR_ALREADY_EXISTS, "file:old")},
      {"§2.5", "TRUNCATE_EXISTING", create(old, kWrite, TRUNCATE_EXISTING, 0, "old.txt"), Succeeds(1, "file:")},
      {"§2.5", "CREATE_ALWAYS over a file truncates it", create(old, kRead, CREATE_ALWAYS, 0, "old.txt"),
       Fails(1, ERROR_ALREADY_EXISTS, "file:")},
      {"§2.5", "OPEN_EXISTING of a missing file", create(fresh, kRead, OPEN_EXISTING, 0, "new.txt"),
       Fails(-1, ERROR_FILE_NOT_FOUND, "absent")},
      {"§2.5", "TRUNCATE_EXISTING of a missing file", create(fresh, kWrite, TRUNCATE_EXISTING, 0, "new.txt"),
       Fails(-1, ERROR_FILE_NOT_FOUND, "absent")},
      {"§2.5", "CREATE_NEW", create(fresh, kWrite, CREATE_NEW, 0, "new.txt"), Succeeds(1, "file:")},
      {"§2.5", "CREATE_ALWAYS of a new file", create(fresh, kRead, CREATE_ALWAYS, 0, "new.txt"), SucceedsClearing(1, "file:")},
      {"§2.5", "OPEN_ALWAYS of a new file, without access", create(fresh, 0, OPEN_ALWAYS, 0, "new.txt"),
       SucceedsClearing(1, "file:")},
      {"§2.5", "a file in a missing folder", create(u"\\no\\new.txt", kWrite, CREATE_ALWAYS, 0, "no"),
       Fails(-1, ERROR_PATH_NOT_FOUND, "absent")},
      {"§2.5", "the empty path", create(u"", kRead, OPEN_EXISTING, 0, "old.txt"), Fails(-1, ERROR_PATH_NOT_FOUND, "file:old")},
      {"§2.5", "no path", create(nullptr, kRead, OPEN_EXISTING, 0, "old.txt"), Fails(-1, ERROR_PATH_NOT_FOUND, "file:old")},
      {"§2.5", "no disposition", create(old, kRead, 0, 0, "old.txt"), Fails(-1, ERROR_INVALID_PARAMETER, "file:old")},
      {"§2.5", "a disposition Windows does not define", create(old, kRead, 6, 0, "old.txt"),
       Fails(-1, ERROR_INVALID_PARAMETER, "file:old")},
      {"§2.5", "truncation without write access", create(old, kRead, TRUNCATE_EXISTING, 0, "old.txt"),
       Fails(-1, ERROR_INVALID_PARAMETER, "file:old")},
      {"§2.5", "an overlapped open", create(old, kRead, OPEN_EXISTING, 0x40000000, "old.txt"),
       Fails(-1, ERROR_INVALID_PARAMETER, "file:old")},
      {"§2.5", "an attribute the terminal does not keep", create(old, kRead, OPEN_EXISTING, FILE_ATTRIBUTE_HIDDEN, "old.txt"),
       Fails(-1, ERROR_INVALID_PARAMETER, "file:old")},
      {"§2.5", "a read-only file opened to write", create(readOnly, kWrite, OPEN_EXISTING, 0, "ro.txt"),
       Fails(-1, ERROR_ACCESS_DENIED, "file:old")},
      {"§2.5", "a read-only file always created", create(readOnly, kRead, CREATE_ALWAYS, 0, "ro.txt"),
       Fails(-1, ERROR_ACCESS_DENIED, "file:old")},
      {"§2.5", "a read-only file truncated", create(readOnly, kBoth, TRUNCATE_EXISTING, 0, "ro.txt"),
       Fails(-1, ERROR_ACCESS_DENIED, "file:old")},
      {"§2.5", "a read-only file opened to read", create(readOnly, kRead, OPEN_EXISTING, 0, "ro.txt"),
       SucceedsClearing(1, "file:old")},
  };
  CheckRows(rows);
}

// The opens Setup and the installer make of one file while another open holds it:
// Setup reads a cabinet's time (read, no sharing) and writes the calibration's new
// copy (read and write, sharing read); the installer reads a cabinet (read, sharing read).
TEST_F(FilesConformance, OpensThatMeetOnOneFile) {
  struct Meeting {
    DWORD access1, share1;
    std::function<Answer()> second;
    Answer expected;
    const char* what;
  };
  auto open = [](DWORD access, DWORD share) {
    return [=] { return AskOpen(u"\\FLASHDISK\\src.dat", access, share); };
  };
  auto copyFrom = [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\FlashDisk\\copy.dat", FALSE); }); };
  auto copyOnto = [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\SP\\a.cab", u"\\FlashDisk\\src.dat", FALSE); }); };
  // OPEN_EXISTING and CopyFileW set the last error to 0 when they succeed, as Windows does.
  const Answer opened = SucceedsClearing(1), copied = SucceedsClearing(TRUE);
  const Answer violation = Fails(-1, ERROR_SHARING_VIOLATION), copyViolation = Fails(FALSE, ERROR_SHARING_VIOLATION);
  const Meeting meetings[] = {
      {kRead, 0, open(kRead, FILE_SHARE_READ), violation, "the installer's read meets Setup's exclusive read"},
      {kRead, FILE_SHARE_READ, open(kRead, 0), violation, "Setup's exclusive read meets the installer's read"},
      {kBoth, FILE_SHARE_READ, open(kRead, FILE_SHARE_READ), violation, "a read sharing read meets a writer"},
      {kBoth, FILE_SHARE_READ, open(kRead, kShareAll), opened, "a read sharing writing meets a writer sharing read"},
      {kBoth, FILE_SHARE_READ, open(kWrite, kShareAll), violation, "a second writer where only reading is shared"},
      {kBoth, 0, open(0, 0), opened, "an open without read or write access takes no part in sharing"},
      {kRead, kShareAll, open(0, 0), opened, "an open without access, sharing nothing, beside a reader"},
      {0, 0, open(kBoth, 0), opened, "a writer sharing nothing beside an open without access"},
      {kRead, FILE_SHARE_READ, open(kRead, FILE_SHARE_READ), opened, "two reads sharing reading"},
      {kRead, FILE_SHARE_READ, open(kWrite, kShareAll), violation, "a writer beside a reader that shares only reading"},
      {kRead, kShareAll, open(kWrite, FILE_SHARE_READ), opened, "a writer sharing reading beside a reader sharing both"},
      {kWrite, kShareAll, open(kRead, FILE_SHARE_READ), violation, "a reader sharing only reading beside a writer"},
      {kBoth, kShareAll, open(kBoth, kShareAll), opened, "two that share everything"},
      {kRead, FILE_SHARE_WRITE, open(kWrite, FILE_SHARE_READ), opened, "each shares what the other does"},
      {0, kShareAll, [] { return Ask([] { return DeleteFileW(u"\\FlashDisk\\src.dat"); }); },
       Fails(FALSE, ERROR_SHARING_VIOLATION), "a file open in any way is not deleted"},
      // NOTES: CE documents nothing of the opens a copy makes; the desktop's are kept.
      {kRead, FILE_SHARE_READ, copyFrom, copied, "a copy reads beside a reader sharing read"},
      {kBoth, FILE_SHARE_READ, copyFrom, copied, "a copy reads beside a writer sharing read: it shares writing"},
      {kRead, FILE_SHARE_WRITE, copyFrom, copyViolation, "a copy does not read beside an open that shares no reading"},
      {kRead, kShareAll, copyOnto, copied, "a copy writes beside a reader sharing reading and writing"},
      {kBoth, FILE_SHARE_WRITE, copyOnto, copied, "a copy writes beside a writer sharing writing: it shares both"},
      {kRead, FILE_SHARE_READ, copyOnto, copyViolation, "a copy does not write beside an open that shares no writing"},
      {kWrite, FILE_SHARE_READ, copyOnto, copyViolation, "nor beside a writer that shares only reading"},
      {kBoth, 0, [] { return Ask([] { return GetFileAttributesW(u"\\FlashDisk\\src.dat"); }); }, Succeeds(0x20),
       "attributes need no open"},
      {kBoth, 0,
       [] {
         WIN32_FIND_DATAW data;
         HANDLE find = INVALID_HANDLE_VALUE;
         const Answer answer = Ask([&] { return find = FindFirstFileW(u"\\FlashDisk\\src.dat", &data); });
         FindClose(find);
         return answer;
       },
       Succeeds(1), "a search needs no open"},
  };
  std::vector<Row> rows;
  for (const Meeting& m : meetings) {
    rows.push_back({"§2.5", m.what,
                    [&m] {
                      HANDLE first = Open(u"\\FlashDisk\\src.dat", m.access1, m.share1);
                      EXPECT_NE(first, INVALID_HANDLE_VALUE);
                      const Answer answer = m.second();
                      CloseHandle(first);
                      DeleteFileW(u"\\FlashDisk\\copy.dat");
                      return answer;
                    },
                    m.expected});
  }
  CheckRows(rows);
}

TEST_F(FilesConformance, SearchesAnswerTwoThreeOrEighteen) {
  auto search = [](const std::u16string& pattern) {
    return [pattern] {
      WIN32_FIND_DATAW data;
      std::memset(&data, 0xEE, sizeof data);
      HANDLE find = INVALID_HANDLE_VALUE;
      return Ask([&] { return find = FindFirstFileW(pattern.c_str(), &data); },
                 [&] {
                   std::string names = data.dwFileAttributes == 0xEEEEEEEE ? "untouched" : host::ToUtf8(data.cFileName);
                   if (find == INVALID_HANDLE_VALUE) return names;
                   while (FindNextFileW(find, &data)) names += " " + host::ToUtf8(data.cFileName);
                   FindClose(find);
                   return names;
                 });
    };
  };
  const std::u16string longest = u"\\FlashDisk\\" + std::u16string(247, u'x') + u"*";  // 259 characters
  const std::vector<Row> rows = {
      {"§2.4", "an empty folder, \"*\"", search(u"\\FlashDisk\\Empty\\*"), Fails(-1, ERROR_FILE_NOT_FOUND, "untouched")},
      {"§2.4", "an empty folder, \"*.*\"", search(u"\\FlashDisk\\Empty\\*.*"), Fails(-1, ERROR_FILE_NOT_FOUND, "untouched")},
      {"§2.4", "a name absent from its folder", search(u"\\FlashDisk\\Empty\\a.cab"),
       Fails(-1, ERROR_FILE_NOT_FOUND, "untouched")},
      {"§2.4", "a folder missing on the way", search(u"\\FlashDisk\\Gone\\SP\\*.cab"),
       Fails(-1, ERROR_PATH_NOT_FOUND, "untouched")},
      {"§2.4", "a folder named exactly is one entry", search(u"\\flashdisk\\sp"), Succeeds(1, "SP")},
      {"§2.1", "a pattern of 259 characters", search(longest), Fails(-1, ERROR_FILE_NOT_FOUND, "untouched")},
      {"§2.1", "a pattern of 260 characters", search(longest + u"*"), Fails(-1, ERROR_FILENAME_EXCED_RANGE, "untouched")},
      {"§2.1", "a drive letter: CE has none", search(u"C:\\*"), Fails(-1, ERROR_INVALID_NAME, "untouched")},
      // NOTES: CE documents no code for a file searched as a folder; the desktop's is kept.
      {"§2.4", "a file searched as a folder", search(u"\\FlashDisk\\src.dat\\*"), Fails(-1, ERROR_DIRECTORY, "untouched")},
      {"§2.4", "past the last entry, again and again: 18, the record untouched",
       [] {
         WIN32_FIND_DATAW data;
         HANDLE find = FindFirstFileW(u"\\FlashDisk\\SP\\*", &data);
         std::memset(&data, 0xEE, sizeof data);
         const Answer first = Ask([&] { return FindNextFileW(find, &data); });
         const Answer second = Ask([&] { return FindNextFileW(find, &data); });
         FindClose(find);
         const bool untouched = data.dwFileAttributes == 0xEEEEEEEE && data.cFileName[0] == 0xEEEE;
         return Answer{first.result + second.result, first.error == second.error ? first.error : 0,
                       untouched ? "untouched" : "written"};
       },
       Fails(FALSE, ERROR_NO_MORE_FILES, "untouched")},
      {"§2.2", "the record is written within its 560 bytes and its name terminated",
       [] {
         struct {
           WIN32_FIND_DATAW data;
           unsigned char guard[16];
         } record;
         std::memset(&record, 0xEE, sizeof record);
         HANDLE find = INVALID_HANDLE_VALUE;
         return Ask([&] { return find = FindFirstFileW(u"\\FlashDisk\\SRC.DAT", &record.data); },
                    [&] {
                      FindClose(find);
                      const bool guardKept = std::all_of(std::begin(record.guard), std::end(record.guard),
                                                         [](unsigned char c) { return c == 0xEE; });
                      return Units(record.data.cFileName, 8) + " size " + std::to_string(record.data.nFileSizeLow) +
                             " high " + std::to_string(record.data.nFileSizeHigh) + (guardKept ? "" : " past!");
                    });
       },
       Succeeds(1, "src.dat\\0 size 6 high 0")},
  };
  CheckRows(rows);
}

TEST_F(FilesConformance, WildcardsMatchWholeNamesWithoutDotEntries) {
  for (const char* name : {"a.cab", "B.CAB", "Patch01.cab", "patch2.CAB", "README", "x.cabx", "ab.cab"})
    image_.PutFile(std::string("d/") + name, "x");
  fs::create_directory(image_.FsPath("d/Sub.cab"));
  // The names found, sorted, or the last error when the search does not start.
  auto names = [](const char16_t* pattern) {
    return [pattern] {
      WIN32_FIND_DATAW data;
      HANDLE find = FindFirstFileW(pattern, &data);
      if (find == INVALID_HANDLE_VALUE) return Answer{-1, GetLastError(), {}};
      std::vector<std::string> found;
      do found.push_back(host::ToUtf8(data.cFileName));
      while (FindNextFileW(find, &data));
      const DWORD error = GetLastError();
      FindClose(find);
      std::sort(found.begin(), found.end());
      std::string text;
      for (const auto& name : found) text += name + " ";
      return Answer{1, error, text};
    };
  };
  const std::string all = "B.CAB Patch01.cab README Sub.cab a.cab ab.cab patch2.CAB x.cabx ";
  const std::vector<Row> rows = {
      {"§2.4", "*.cab, folders too", names(u"\\d\\*.cab"), Fails(1, ERROR_NO_MORE_FILES, "B.CAB Patch01.cab Sub.cab a.cab ab.cab patch2.CAB ")},
      {"§2.4", "? is one character", names(u"\\d\\?.cab"), Fails(1, ERROR_NO_MORE_FILES, "B.CAB a.cab ")},
      {"§2.4", "forward slashes and a relative path", names(u"d/patch*.CAB"), Fails(1, ERROR_NO_MORE_FILES, "Patch01.cab patch2.CAB ")},
      {"§2.4", "*.* is every name", names(u"\\d\\*.*"), Fails(1, ERROR_NO_MORE_FILES, all)},
      {"§2.4", "* is every name, with no . or ..", names(u"\\d\\*"), Fails(1, ERROR_NO_MORE_FILES, all)},
      {"§2.4", "a name without an extension", names(u"\\d\\readme.*"), Fails(1, ERROR_NO_MORE_FILES, "README ")},
      {"§2.4", "a pattern nothing matches", names(u"\\d\\*q"), Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§2.4", "a folder's name with its separator", names(u"\\d\\"), Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§2.4", "the root's separator alone", names(u"\\"), Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§2.4", "a pattern in a missing folder", names(u"\\nowhere\\*.cab"), Fails(-1, ERROR_PATH_NOT_FOUND)},
      {"§2.4", "a name in a missing folder", names(u"\\nowhere\\a.cab"), Fails(-1, ERROR_PATH_NOT_FOUND)},
      {"§2.4", "the empty pattern", names(u""), Fails(-1, ERROR_PATH_NOT_FOUND)},
      {"§2.4", "no record to fill",
       [] { return Ask([] { return FindFirstFileW(u"\\d\\*", nullptr); }); }, Fails(-1, ERROR_INVALID_PARAMETER)},
  };
  CheckRows(rows);
}

TEST_F(FilesConformance, CopiesKeepTheReadOnlyAttributeAndReportTheSourceFirst) {
  const std::vector<Row> rows = {
      {"§2.8", "a read-only source makes a new read-only copy",
       [this] {
         return Ask([] { return CopyFileW(u"\\FlashDisk\\ro.dat", u"\\FlashDisk\\Copy.dat", TRUE); },
                    [this] { return Hex(GetFileAttributesW(u"\\FlashDisk\\copy.dat")) + " " + HostEntry("FlashDisk/Copy.dat"); });
       },
       SucceedsClearing(TRUE, "0x21 file:read-only")},
      {"§2.8", "the read-only copy cannot be deleted", [] { return Ask([] { return DeleteFileW(u"\\FlashDisk\\Copy.dat"); }); },
       Fails(FALSE, ERROR_ACCESS_DENIED)},
      {"§2.8", "nor overwritten by a second copy",
       [this] {
         return Ask([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\FlashDisk\\Copy.dat", FALSE); },
                    [this] { return HostEntry("FlashDisk/Copy.dat"); });
       },
       Fails(FALSE, ERROR_ACCESS_DENIED, "file:read-only")},
      {"§2.8", "an empty file copies as an empty file",
       [this] {
         return Ask([] { return CopyFileW(u"\\FlashDisk\\zero.dat", u"\\FlashDisk\\zero2.dat", TRUE); },
                    [this] { return Hex(GetFileAttributesW(u"\\FlashDisk\\zero2.dat")) + " " + HostEntry("FlashDisk/zero2.dat"); });
       },
       SucceedsClearing(TRUE, "0x20 file:")},
      {"§2.8", "no source name: as an empty one",
       [] { return Ask([] { return CopyFileW(nullptr, u"\\FlashDisk\\x.dat", FALSE); }); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.8", "an empty source name",
       [] { return Ask([] { return CopyFileW(u"", u"\\FlashDisk\\x.dat", FALSE); }); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.8", "no target name: as an empty one",
       [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\src.dat", nullptr, FALSE); }); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.8", "a missing source is reported before a target in a missing folder",
       [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\none.dat", u"\\Gone\\x.dat", FALSE); }); },
       Fails(FALSE, ERROR_FILE_NOT_FOUND)},
      {"§2.8", "a missing source is reported before a target that exists",
       [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\none.dat", u"\\FlashDisk\\src.dat", TRUE); }); },
       Fails(FALSE, ERROR_FILE_NOT_FOUND)},
      {"§2.5", "a missing source named as a folder is missing",
       [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\none.dat\\", u"\\FlashDisk\\x.dat", FALSE); }); },
       Fails(FALSE, ERROR_FILE_NOT_FOUND)},
      {"§2.5", "a source named as a folder (trailing separator)",
       [] { return Ask([] { return CopyFileW(u"\\FlashDisk\\src.dat\\", u"\\FlashDisk\\x.dat", FALSE); }); },
       Fails(FALSE, ERROR_INVALID_NAME)},
      {"§2.5", "a target named as a folder that does not exist",
       [this] {
         return Ask([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\FlashDisk\\x.dat\\", FALSE); },
                    [this] { return HostEntry("FlashDisk/x.dat"); });
       },
       Fails(FALSE, ERROR_INVALID_NAME, "absent")},
  };
  CheckRows(rows);
}

TEST_F(FilesConformance, AttributesOfNamesWithATrailingSeparator) {
  auto attributes = [](const char16_t* path) {
    return [path] { return Ask([path] { return GetFileAttributesW(path); }); };
  };
  const std::vector<Row> rows = {
      {"§2.5", "a folder", attributes(u"\\FlashDisk\\Empty\\"), Succeeds(FILE_ATTRIBUTE_DIRECTORY)},
      {"§2.3", "a volume folder", attributes(u"\\FlashDisk\\"), Succeeds(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY)},
      {"§2.5", "a file cannot be named as a folder", attributes(u"\\FlashDisk\\src.dat\\"),
       Fails(INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME)},
      {"§2.5", "nor can a file be a folder on the way", attributes(u"\\FlashDisk\\src.dat\\x"),
       Fails(INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND)},
      {"§2.4", "a missing name", attributes(u"\\FlashDisk\\none\\"), Fails(INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND)},
      {"§2.5", "CreateFileW opening a missing name", [] { return AskOpen(u"\\FlashDisk\\none\\", kRead, 0); },
       Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§2.5", "CreateFileW opening a name in a missing folder", [] { return AskOpen(u"\\Gone\\none\\", kRead, 0); },
       Fails(-1, ERROR_PATH_NOT_FOUND)},
      {"§2.5", "CreateFileW opening a file named as a folder", [] { return AskOpen(u"\\FlashDisk\\src.dat\\", kRead, 0); },
       Fails(-1, ERROR_INVALID_NAME)},
      {"§2.5", "CreateFileW creating a name as a folder",
       [this] {
         const Answer answer = AskOpen(u"\\FlashDisk\\new.dat\\", kBoth, 0, CREATE_NEW);
         return Answer{answer.result, answer.error, HostEntry("FlashDisk/new.dat")};
       },
       Fails(-1, ERROR_INVALID_NAME, "absent")},
      {"§2.5", "CreateFileW always creating a name as a folder",
       [this] {
         const Answer answer = AskOpen(u"\\FlashDisk\\new.dat\\", kWrite, 0, CREATE_ALWAYS);
         return Answer{answer.result, answer.error, HostEntry("FlashDisk/new.dat")};
       },
       Fails(-1, ERROR_INVALID_NAME, "absent")},
      {"§2.5", "DeleteFileW of a file named as a folder",
       [this] {
         return Ask([] { return DeleteFileW(u"\\FlashDisk\\src.dat\\"); }, [this] { return HostEntry("FlashDisk/src.dat"); });
       },
       Fails(FALSE, ERROR_INVALID_NAME, "file:source")},
      {"§2.1", "the empty path", attributes(u""), Fails(INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND)},
  };
  CheckRows(rows);
}

TEST_F(FilesConformance, DeletesAndNewFolders) {
  auto remove = [this](const char16_t* path, const char* entry) {
    return [=, this] { return Ask([path] { return DeleteFileW(path); }, [=, this] { return HostEntry(entry); }); };
  };
  auto makeFolder = [this](const char16_t* path, const char* entry) {
    return [=, this] { return Ask([path] { return CreateDirectoryW(path, nullptr); }, [=, this] { return HostEntry(entry); }); };
  };
  const std::vector<Row> rows = {
      {"§2.9", "a missing file", remove(u"\\FlashDisk\\none.dat", "FlashDisk/none.dat"), Fails(FALSE, ERROR_FILE_NOT_FOUND, "absent")},
      {"§2.9", "a file in a missing folder", remove(u"\\none\\a.dat", "none"), Fails(FALSE, ERROR_PATH_NOT_FOUND, "absent")},
      {"§2.9", "a folder", remove(u"\\FlashDisk\\Empty", "FlashDisk/Empty"), Fails(FALSE, ERROR_ACCESS_DENIED, "empty dir")},
      {"§2.9", "a read-only file", remove(u"\\FlashDisk\\ro.dat", "FlashDisk/ro.dat"),
       Fails(FALSE, ERROR_ACCESS_DENIED, "file:read-only")},
      {"§2.9", "the root", remove(u"\\", "FlashDisk"), Fails(FALSE, ERROR_ACCESS_DENIED, "dir")},
      {"§2.9", "the empty path", remove(u"", "FlashDisk"), Fails(FALSE, ERROR_PATH_NOT_FOUND, "dir")},
      {"§2.9", "no path", remove(nullptr, "FlashDisk"), Fails(FALSE, ERROR_PATH_NOT_FOUND, "dir")},
      {"§2.9", "a file by another case", remove(u"\\FLASHDISK\\ZERO.DAT", "FlashDisk/zero.dat"), Succeeds(TRUE, "absent")},
      {"§2.5", "a new folder", makeFolder(u"\\FlashDisk\\New", "FlashDisk/New"), Succeeds(TRUE, "empty dir")},
      {"§2.5", "a folder that exists by another case", makeFolder(u"\\flashdisk\\empty", "FlashDisk/Empty"),
       Fails(FALSE, ERROR_ALREADY_EXISTS, "empty dir")},
      {"§2.5", "the name of a file", makeFolder(u"\\FlashDisk\\ro.dat", "FlashDisk/ro.dat"),
       Fails(FALSE, ERROR_ALREADY_EXISTS, "file:read-only")},
      {"§2.5", "the root", makeFolder(u"\\", "FlashDisk"), Fails(FALSE, ERROR_ALREADY_EXISTS, "dir")},
      {"§2.5", "in a missing folder", makeFolder(u"\\no\\SP", "no"), Fails(FALSE, ERROR_PATH_NOT_FOUND, "absent")},
      {"§2.5", "a wildcard in the name", makeFolder(u"\\FlashDisk\\S?", "FlashDisk/S?"), Fails(FALSE, ERROR_INVALID_NAME, "absent")},
      {"§2.5", "a path without its leading separator", makeFolder(u"FlashDisk\\SP\\Deep", "FlashDisk/SP/Deep"),
       Succeeds(TRUE, "empty dir")},
  };
  CheckRows(rows);
}

// On a full terminal what would take room fails with ERROR_DISK_FULL and changes
// nothing; what takes none still works, and a deletion frees room at once.
TEST_F(FilesConformance, AFullTerminalRefusesWhatWouldTakeRoom) {
  image_.PutFile("FlashDisk/w.dat", "source");
  HANDLE file = Open(u"\\FlashDisk\\w.dat", kWrite, 0);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FillStorage(image_, "FlashDisk/photos.bin");
  auto write = [this, file](LONG at, const char* bytes) {
    return [=, this] {
      SetFilePointer(file, at, nullptr, FILE_BEGIN);
      DWORD written = kSentinel;
      return Ask([&] { return WriteFile(file, bytes, static_cast<DWORD>(std::strlen(bytes)), &written, nullptr); },
                 [&] { return Dword(written) + " " + HostEntry("FlashDisk/w.dat"); });
    };
  };
  auto change = [this](auto call, const char* entry) {
    return [=, this] { return Ask(call, [=, this] { return HostEntry(entry); }); };
  };
  const std::vector<Row> rows = {
      {"§2.5", "a new file", change([] { return Open(u"\\FlashDisk\\new.dat", kWrite, 0, CREATE_NEW); }, "FlashDisk/new.dat"),
       Fails(-1, ERROR_DISK_FULL, "absent")},
      {"§2.5", "a new folder", change([] { return CreateDirectoryW(u"\\FlashDisk\\New", nullptr); }, "FlashDisk/New"),
       Fails(FALSE, ERROR_DISK_FULL, "absent")},
      {"§2.5", "a file that exists opens", [] { return AskOpen(u"\\FlashDisk\\src.dat", kRead, 0, OPEN_ALWAYS); },
       Fails(1, ERROR_ALREADY_EXISTS)},
      {"§2.6", "a write past the end writes nothing", write(6, "more"), Fails(FALSE, ERROR_DISK_FULL, "0x0 file:source")},
      {"§2.6", "a write over bytes the file has", write(0, "SOURCE"), Succeeds(TRUE, "0x6 file:SOURCE")},
      {"§2.8", "a copy to a new file leaves none",
       change([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\FlashDisk\\new.dat", FALSE); }, "FlashDisk/new.dat"),
       Fails(FALSE, ERROR_DISK_FULL, "absent")},
      {"§2.8", "a copy over a shorter file leaves it as it was",
       change([] { return CopyFileW(u"\\FlashDisk\\src.dat", u"\\FlashDisk\\SP\\a.cab", FALSE); }, "FlashDisk/SP/a.cab"),
       Fails(FALSE, ERROR_DISK_FULL, "file:cab")},
      {"§2.8", "a copy over a longer file",
       change([] { return CopyFileW(u"\\FlashDisk\\SP\\a.cab", u"\\FlashDisk\\src.dat", FALSE); }, "FlashDisk/src.dat"),
       SucceedsClearing(TRUE, "file:cab")},
      {"§2.9", "the user's file deleted", change([] { return DeleteFileW(u"\\FlashDisk\\photos.bin"); }, "FlashDisk/photos.bin"),
       Succeeds(TRUE, "absent")},
      {"§2.6", "then the write past the end", write(6, "more"), Succeeds(TRUE, "0x4 file:SOURCEmore")},
  };
  CheckRows(rows);
  CloseHandle(file);
}

// The installer reads a cabinet through SetFilePointer with a high word: a position
// whose low word is 0xFFFFFFFF is told from a failure by the last error alone.
TEST_F(FilesConformance, PositionsAndSizesThatLookLikeFailures) {
  const std::string big = image_.FsPath("FlashDisk/big.bin");
  image_.PutFile("FlashDisk/big.bin", "");
  ASSERT_EQ(::truncate(big.c_str(), 0xFFFFFFFFll), 0);  // sparse
  HANDLE file = Open(u"\\FlashDisk\\big.bin", kRead, FILE_SHARE_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE closed = Open(u"\\FlashDisk\\src.dat", kRead, FILE_SHARE_READ);
  CloseHandle(closed);
  auto seek = [file](LONG low, LONG high, bool withHigh, DWORD method) {
    return [=] {
      LONG word = high;
      return Ask([&] { return SetFilePointer(file, low, withHigh ? &word : nullptr, method); },
                 [&] { return withHigh ? "high " + std::to_string(word) : std::string(); });
    };
  };
  const std::vector<Row> rows = {
      {"§0", "to 0xFFFFFFFF: the failure value with the last error 0", seek(-1, 0, true, FILE_BEGIN),
       Fails(0xFFFFFFFF, 0, "high 0")},
      {"§0", "to 4 GiB + 5", seek(5, 1, true, FILE_BEGIN), Succeeds(5, "high 1")},
      {"§0", "back by 6 from there", seek(-6, -1, true, FILE_CURRENT), Fails(0xFFFFFFFF, 0, "high 0")},
      {"§0", "the end, without a high word", seek(0, 0, false, FILE_END), Fails(0xFFFFFFFF, 0)},
      {"§0", "the size 0xFFFFFFFF",
       [file] {
         DWORD high = kSentinel;
         return Ask([&] { return GetFileSize(file, &high); }, [&] { return Dword(high); });
       },
       Fails(0xFFFFFFFF, 0, "0x0")},
      {"§2.6", "a read at the end: nothing, and success",
       [file] {
         char buffer[4];
         DWORD read = kSentinel;
         return Ask([&] { return ReadFile(file, buffer, sizeof buffer, &read, nullptr); }, [&] { return Dword(read); });
       },
       Succeeds(TRUE, "0x0")},
      {"§2.7", "GetFileTime with every output NULL",
       [file] { return Ask([file] { return GetFileTime(file, nullptr, nullptr, nullptr); }); }, Succeeds(TRUE)},
      {"§2.7", "GetFileTime on a closed handle leaves the outputs alone",
       [closed] {
         FILETIME times[3];
         std::memset(times, 0xEE, sizeof times);
         return Ask([&] { return GetFileTime(closed, &times[0], &times[1], &times[2]); },
                    [&] { return times[0].dwLowDateTime == 0xEEEEEEEE && times[2].dwHighDateTime == 0xEEEEEEEE ? "untouched" : "written"; });
       },
       Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§3.8", "SetFilePointer on a closed handle", [closed] { return Ask([closed] { return SetFilePointer(closed, 0, nullptr, FILE_BEGIN); }); },
       Fails(0xFFFFFFFF, ERROR_INVALID_HANDLE)},
      {"§3.8", "ReadFile on a closed handle: the count zeroed first",
       [closed] {
         char buffer[4];
         DWORD read = kSentinel;
         return Ask([&] { return ReadFile(closed, buffer, sizeof buffer, &read, nullptr); }, [&] { return Dword(read); });
       },
       Fails(FALSE, ERROR_INVALID_HANDLE, "0x0")},
  };
  CheckRows(rows);
  CloseHandle(file);
}

// Setup compares a service pack's last-write time with the DateTime it stored: every
// way of reading the time must give the one the volume keeps.
TEST_F(FilesConformance, LastWriteTimesAreKeptByTheFileSystemThatHoldsTheFile) {
  auto stamp = [this](const std::string& relative, time_t seconds, long nanoseconds) {
    if (!image_.Exists(relative)) image_.PutFile(relative, "x");
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, image_.FsPath(relative).c_str(), times, 0), 0) << relative;
  };
  stamp("FlashDisk/SP/a.cab", 1700000001, 123456789);
  stamp("FlashDisk/src.dat", 1700000000, 500000000);
  stamp("FlashDisk/zero.dat", 1700000000, 0);
  stamp("t.dat", 1700000001, 123456789);
  stamp("Windows/t.dat", 1700000001, 123456789);
  // Seconds since 1970 and 100 ns ticks, when GetFileTime, a search for the name and a
  // listing of its folder agree; else the three.
  auto lastWrite = [](std::u16string path) {
    return [path] {
      HANDLE file = Open(path.c_str(), kRead, kShareAll);
      FILETIME written{};
      const Answer answer = Ask([&] { return GetFileTime(file, nullptr, nullptr, &written); });
      CloseHandle(file);
      WIN32_FIND_DATAW found{}, listed{};
      FindClose(FindFirstFileW(path.c_str(), &found));
      const size_t cut = path.rfind(u'\\');
      HANDLE list = FindFirstFileW((path.substr(0, cut) + u"\\*").c_str(), &listed);
      while (path.substr(cut + 1) != listed.cFileName && FindNextFileW(list, &listed)) {
      }
      FindClose(list);
      auto text = [](const FILETIME& time) {
        const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime) - 116444736000000000ull;
        char digits[32];
        std::snprintf(digits, sizeof digits, "%llu.%07llu", static_cast<unsigned long long>(ticks / 10000000),
                      static_cast<unsigned long long>(ticks % 10000000));
        return std::string(digits);
      };
      const std::string times[] = {text(written), text(found.ftLastWriteTime), text(listed.ftLastWriteTime)};
      const bool agree = times[0] == times[1] && times[1] == times[2];
      return Answer{answer.result, answer.error, agree ? times[0] : times[0] + " " + times[1] + " " + times[2]};
    };
  };
  auto copied = [lastWrite](const char16_t* from, const char16_t* to) {
    return [=] {
      EXPECT_TRUE(CopyFileW(from, to, FALSE));
      return lastWrite(to)();
    };
  };
  auto keeping = [lastWrite](const char* fileTimes) {
    return [=] {
      host::SetSetting("file_times", fileTimes);
      return lastWrite(u"\\FlashDisk\\SP\\a.cab")();
    };
  };
  const std::vector<Row> rows = {
      {"§2.7", "a volume: odd seconds and nanoseconds move up to the next even second",
       lastWrite(u"\\FlashDisk\\SP\\a.cab"), Succeeds(TRUE, "1700000002.0000000")},
      {"§2.7", "a volume: an even second and nanoseconds move up too", lastWrite(u"\\flashdisk\\src.dat"),
       Succeeds(TRUE, "1700000002.0000000")},
      {"§2.7", "a volume: an even second stays", lastWrite(u"\\FlashDisk\\zero.dat"), Succeeds(TRUE, "1700000000.0000000")},
      {"§2.7", "the object store keeps 100 ns: the root", lastWrite(u"\\t.dat"), Succeeds(TRUE, "1700000001.1234567")},
      {"§2.7", "the object store keeps 100 ns: a folder", lastWrite(u"\\Windows\\t.dat"),
       Succeeds(TRUE, "1700000001.1234567")},
      {"§2.8", "a copy onto a volume lands at its resolution", copied(u"\\t.dat", u"\\FlashDisk\\t.dat"),
       Succeeds(TRUE, "1700000002.0000000")},
      {"§2.8", "a copy off a volume keeps the time the volume gave",
       copied(u"\\FlashDisk\\SP\\a.cab", u"\\Windows\\a.cab"), Succeeds(TRUE, "1700000002.0000000")},
      {"§2.7", "a volume of an image made with --file-times exact", keeping("exact"), Succeeds(TRUE, "1700000001.1234567")},
      // Setting() reads an absent setting as empty.
      {"§2.7", "a volume of an image made before the setting existed", keeping(""), Succeeds(TRUE, "1700000001.1234567")},
  };
  CheckRows(rows);
}

TEST_F(FilesConformance, ModuleFileNameBufferSizes) {
  // A program of the terminal learns its CE path from its start-up environment; this
  // test process plays one (the path is read once, at the first call).
  ::setenv("TERMSIM_MODULE", "\\Windows\\Conf.exe", 1);  // 17 characters
  auto module = [](bool withBuffer, DWORD size) {
    return [=] {
      WCHAR buffer[MAX_PATH + 1];
      std::fill(std::begin(buffer), std::end(buffer), kGuard);
      return Ask([&] { return GetModuleFileNameW(nullptr, withBuffer ? buffer : nullptr, size); },
                 [&] { return Units(buffer, std::min<DWORD>(size + 1, 19)); });
    };
  };
  const std::vector<Row> rows = {
      {"§2.10", "MAX_PATH, as the program asks", module(true, MAX_PATH), Succeeds(17, "\\Windows\\Conf.exe\\0#")},
      {"§2.10", "exactly the length and the terminator", module(true, 18), Succeeds(17, "\\Windows\\Conf.exe\\0#")},
      {"§2.10", "one short: cut, and the terminator in the last unit", module(true, 17),
       Fails(17, ERROR_INSUFFICIENT_BUFFER, "\\Windows\\Conf.ex\\0#")},
      {"§2.10", "room for the terminator alone", module(true, 1), Fails(1, ERROR_INSUFFICIENT_BUFFER, "\\0#")},
      {"§2.10", "no room at all: nothing written", module(true, 0), Fails(0, ERROR_INSUFFICIENT_BUFFER, "#")},
      {"§2.10", "two characters: one and the terminator", module(true, 2), Fails(2, ERROR_INSUFFICIENT_BUFFER, "\\\\0#")},
      {"§2.10", "no buffer and no size", module(false, 0), Fails(0, ERROR_INSUFFICIENT_BUFFER, "#")},
      {"§2.10", "no buffer for a size", module(false, 8), Fails(0, ERROR_INVALID_PARAMETER, "#########")},
      {"§2.10", "a module the terminal did not load",
       [] {
         WCHAR buffer[4] = {kGuard, kGuard, kGuard, kGuard};
         return Ask([&] { return GetModuleFileNameW(reinterpret_cast<HMODULE>(buffer), buffer, 4); },
                    [&] { return Units(buffer, 4); });
       },
       Fails(0, ERROR_INVALID_HANDLE, "####")},
  };
  CheckRows(rows);
}

TEST(Find, SearchHandlesCloseWithFindCloseOnly) {
  TestImage image;
  image.PutFile("d/a.cab", "x");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"\\d\\a.cab", &data);
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

// The answers of each disposition stand in the table above.
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
      {u"\\FlashDisk\\src.dat", u"\\FlashDisk\\plain.dat", TRUE, ERROR_FILE_EXISTS},
      {u"\\FlashDisk\\none.dat", u"\\FlashDisk\\x.dat", FALSE, ERROR_FILE_NOT_FOUND},
      {u"\\none\\a.dat", u"\\FlashDisk\\x.dat", FALSE, ERROR_PATH_NOT_FOUND},
      {u"\\FlashDisk\\src.dat", u"\\none\\x.dat", FALSE, ERROR_PATH_NOT_FOUND},
      {u"\\FlashDisk", u"\\FlashDisk\\x.dat", FALSE, ERROR_ACCESS_DENIED},
      {u"\\FlashDisk\\src.dat", u"\\Windows", FALSE, ERROR_ACCESS_DENIED},
      {u"\\FlashDisk\\plain.dat", u"\\FLASHDISK\\PLAIN.DAT", FALSE, ERROR_SHARING_VIOLATION},
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

// The buffer sizes stand in the table above; here, a started program learns
// the CE path it was started as.
TEST(ModuleFileName, IsThePathTheProgramWasStartedAs) {
  TestImage image;
  Child program(image, "module", "", "\\SP\\Setup.exe");
  EXPECT_EQ(program.Report(), "13 3735928559 \\SP\\Setup.exe");  // its length, the error untouched
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
