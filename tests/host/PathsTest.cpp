// No CE path reaches outside the image's fs/: ".." runs, symlinks planted in fs/
// (absolute, relative, looping, to devices), device-like names, names with characters
// Windows forbids, and paths at and over MAX_PATH, through every call that takes a
// path. A canary file and folder outside fs/ (next to the image and beside it in the
// temporary folder) keep their content and times, and no file of fs/ ever holds their
// content.
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string_view>

using namespace conformance;
namespace fs = std::filesystem;

namespace {

const std::string kCanaryText = "canary: must never be read or written through the terminal";
const std::string kImageText = "beside fs/: must never be read or written through the terminal";
constexpr int64_t kCanaryTime = 1234567890;

void Stamp(const fs::path& path) {
  const timespec times[2] = {{kCanaryTime, 0}, {kCanaryTime, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Every entry below `root` (not following symlinks, leaving out `skip`): its kind,
// size, times to the nanosecond, mode and, for files, content.
std::map<std::string, std::string> Snapshot(const fs::path& root, const std::vector<std::string>& skip = {}) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (std::find(skip.begin(), skip.end(), relative.substr(0, relative.find('/'))) != skip.end()) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    ::lstat(it->path().c_str(), &st);
    std::string facts = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (S_ISREG(st.st_mode)) facts += " " + ReadHostFile(it->path());
    entries[relative] = facts;
  }
  return entries;
}

// One way of using a path, and what it answers when it refuses.
struct Use {
  const char* name;
  int64_t failure;  // INVALID_HANDLE_VALUE (-1), INVALID_FILE_ATTRIBUTES or FALSE
  std::function<Answer(const std::u16string&)> call;
};

Answer Opened(HANDLE handle, const std::function<void(HANDLE)>& use = nullptr) {
  const Answer answer{ResultOf(handle), GetLastError(), {}};
  if (handle != INVALID_HANDLE_VALUE) {
    if (use) use(handle);
    CloseHandle(handle);
  }
  return answer;
}

const std::vector<Use>& Uses() {
  static const std::vector<Use> uses = {
      {"CreateFileW to read", -1,
       [](const std::u16string& path) {
         SetLastError(kSentinel);
         return Opened(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
       }},
      {"CreateFileW to write", -1,
       [](const std::u16string& path) {
         SetLastError(kSentinel);
         return Opened(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr), [](HANDLE file) {
           DWORD written = 0;
           WriteFile(file, "written", 7, &written, nullptr);
         });
       }},
      {"GetFileAttributesW", INVALID_FILE_ATTRIBUTES,
       [](const std::u16string& path) { return Ask([&] { return GetFileAttributesW(path.c_str()); }); }},
      {"FindFirstFileW", -1,
       [](const std::u16string& path) {
         WIN32_FIND_DATAW data;
         SetLastError(kSentinel);
         HANDLE find = FindFirstFileW(path.c_str(), &data);
         const Answer answer{ResultOf(find), GetLastError(), {}};
         if (find != INVALID_HANDLE_VALUE) FindClose(find);
         return answer;
       }},
      {"FindFirstFileW inside", -1,
       [](const std::u16string& path) {
         WIN32_FIND_DATAW data;
         SetLastError(kSentinel);
         HANDLE find = FindFirstFileW((path + u"\\*").c_str(), &data);
         const Answer answer{ResultOf(find), GetLastError(), {}};
         if (find != INVALID_HANDLE_VALUE) FindClose(find);
         return answer;
       }},
      {"CopyFileW from", FALSE,
       [](const std::u16string& path) {
         const Answer answer = Ask([&] { return CopyFileW(path.c_str(), u"\\FlashDisk\\stolen.txt", FALSE); });
         DeleteFileW(u"\\FlashDisk\\stolen.txt");
         return answer;
       }},
      {"CopyFileW onto", FALSE,
       [](const std::u16string& path) { return Ask([&] { return CopyFileW(u"\\FlashDisk\\payload.txt", path.c_str(), FALSE); }); }},
      {"DeleteFileW", FALSE, [](const std::u16string& path) { return Ask([&] { return DeleteFileW(path.c_str()); }); }},
      {"CreateDirectoryW", FALSE,
       [](const std::u16string& path) { return Ask([&] { return CreateDirectoryW(path.c_str(), nullptr); }); }},
      {"CreateDirectoryW inside", FALSE,
       [](const std::u16string& path) { return Ask([&] { return CreateDirectoryW((path + u"\\new").c_str(), nullptr); }); }},
      {"CreateProcessW", FALSE,
       [](const std::u16string& path) {
         PROCESS_INFORMATION info;
         const Answer answer = Ask([&] {
           return CreateProcessW(path.c_str(), u"", nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info);
         });
         if (answer.result) {
           WaitForSingleObject(info.hProcess, INFINITE);
           CloseHandle(info.hThread);
           CloseHandle(info.hProcess);
         }
         return answer;
       }},
  };
  return uses;
}

const Use& UseOf(std::string_view name) {
  const auto use = std::find_if(Uses().begin(), Uses().end(), [&](const Use& u) { return u.name == name; });
  if (use == Uses().end()) throw std::logic_error("no use " + std::string(name));
  return *use;
}

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korva-canary-XXXXXX").string();
    ASSERT_TRUE(::mkdtemp(pattern.data()));
    canary_ = pattern;
    std::ofstream(canary_ / "canary.txt") << kCanaryText;
    fs::create_directory(canary_ / "canarydir");
    std::ofstream(root_ / "outside.txt") << kImageText;
    fs::create_directory(root_ / "outdir");
    for (const fs::path& path : {canary_ / "canary.txt", canary_ / "canarydir", root_ / "outside.txt", root_ / "outdir"})
      Stamp(path);
    image_.PutFile("FlashDisk/payload.txt", "payload");
    image_.PutFile("FlashDisk/a.txt", "a");
    const fs::path in = root_ / "fs";
    const std::string canaryName = canary_.filename().string();
    const std::pair<const char*, std::string> links[] = {
        {"abs", (canary_ / "canary.txt").string()},
        {"absdir", (canary_ / "canarydir").string()},
        {"rel", "../outside.txt"},
        {"reldir", "../../" + canaryName + "/canarydir"},
        {"loop", "loop"},
        {"self", "."},
        {"root", "/"},
        {"dev", "/dev"},
        {"null", "/dev/null"},
        {"FlashDisk/up", ".."},
        {"FlashDisk/inner", "a.txt"},  // even one that stays inside
    };
    for (const auto& [name, target] : links) fs::create_symlink(target, in / name);
    before_ = Snapshot(root_, {"fs", "terminal.db", "terminal.db-wal", "terminal.db-shm"});
    canaryBefore_ = Snapshot(canary_);
  }

  void TearDown() override {
    EXPECT_EQ(Snapshot(root_, {"fs", "terminal.db", "terminal.db-wal", "terminal.db-shm"}), before_);
    EXPECT_EQ(Snapshot(canary_), canaryBefore_);
    for (const auto& [name, facts] : Snapshot(root_ / "fs")) {
      EXPECT_EQ(facts.find(kCanaryText), std::string::npos) << name;
      EXPECT_EQ(facts.find(kImageText), std::string::npos) << name;
    }
    std::error_code ec;
    fs::remove_all(canary_, ec);
  }

  // Rows for every use of every path, each refused with `error`.
  std::vector<Row> Refused(const std::vector<std::u16string>& paths, DWORD error, const char* notes) const {
    std::vector<Row> rows;
    for (const std::u16string& path : paths) {
      for (const Use& use : Uses()) {
        rows.push_back({notes, std::string(use.name) + " " + host::ToUtf8(path), [&use, path] { return use.call(path); },
                        Fails(use.failure, error)});
      }
    }
    return rows;
  }

  TestImage image_;
  const fs::path root_ = image_.root();
  fs::path canary_;
  std::map<std::string, std::string> before_, canaryBefore_;
};

}  // namespace

TEST_F(Confinement, SymlinksAreRefusedWhereverTheyStand) {
  const std::vector<std::u16string> paths = {
      u"\\abs",     u"\\ABS",           u"\\absdir",          u"\\absdir\\x",   u"\\rel",
      u"\\reldir",  u"\\RelDir\\x",     u"\\loop",            u"\\loop\\x",     u"\\self",
      u"\\self\\FlashDisk\\a.txt",      u"\\root",            u"\\root\\etc\\passwd",
      u"/dev/null", u"\\dev\\zero",     u"\\null",            u"\\FlashDisk\\up",
      u"\\FlashDisk\\up\\FlashDisk\\a.txt",                   u"\\flashdisk\\INNER",
  };
  CheckRows(Refused(paths, ERROR_ACCESS_DENIED, "§2.1"));
}

TEST_F(Confinement, ForbiddenCharactersAreInvalidNames) {
  const std::vector<std::u16string> paths = {
      u"\\a<b",       u"\\a>b",          u"\\a\"b",     u"\\a|b",     u"\\FlashDisk\\a*\\x", u"\\FlashDisk\\a?\\x",
      u"\\a\x01z",    u"\\a\x1fz",       u"\\x\xD800",  u"\\x\xDC00y", u"C:\\Windows",        u"\\\\?\\C:\\x",
      u"\\QDV1:",     u"\\FlashDisk\\QDV1:", u"COM1:\\x", u"\\abs:stream", u"\\a:b",       u"\\QDV1:\\x",
      u"\\Fl*\\*",
  };
  CheckRows(Refused(paths, ERROR_INVALID_NAME, "§2.1"));
}

TEST_F(Confinement, PathsOfMaxPathCharactersOrMoreAreRefused) {
  const std::u16string longName = u"\\FlashDisk\\" + std::u16string(249, u'c');  // 260 characters
  std::u16string dots = u"\\FlashDisk";
  while (dots.size() < MAX_PATH) dots += u"\\x\\..";  // short once "." and ".." apply
  const std::u16string fromTheRoot = longName.substr(1);  // 259 characters, 260 once the root is put in front
  const std::vector<std::u16string> paths = {longName, longName + u".txt", fromTheRoot, dots,
                                             dots + u"\\..\\..\\..\\outside.txt"};
  CheckRows(Refused(paths, ERROR_FILENAME_EXCED_RANGE, "§2.1"));
}

TEST_F(Confinement, PathsJustUnderTheLimitWork) {
  const std::u16string folder = u"\\FlashDisk\\" + std::u16string(200, u'a');
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::u16string file = folder + u"\\" + std::u16string(47, u'b');  // 259 characters
  const std::string hostFile = "FlashDisk/" + std::string(200, 'a') + "/" + std::string(47, 'b');
  const std::vector<Row> rows = {
      {"§2.1", "CopyFileW onto 259 characters",
       [&] {
         return Ask([&] { return CopyFileW(u"\\FlashDisk\\payload.txt", file.c_str(), FALSE); },
                    [&] { return image_.GetFile(hostFile); });
       },
       SucceedsClearing(TRUE, "payload")},
      {"§2.1", "GetFileAttributesW", [&] { return Ask([&] { return GetFileAttributesW(file.c_str()); }); },
       Succeeds(FILE_ATTRIBUTE_ARCHIVE)},
      {"§2.1", "FindFirstFileW", [&] { return UseOf("FindFirstFileW").call(file); }, Succeeds(1)},
      {"§2.1", "CreateFileW to read", [&] { return UseOf("CreateFileW to read").call(file); }, SucceedsClearing(1)},
      {"§2.1", "DeleteFileW", [&] { return Ask([&] { return DeleteFileW(file.c_str()); }); }, Succeeds(TRUE)},
      {"§2.1", "CreateDirectoryW", [&] { return Ask([&] { return CreateDirectoryW(file.c_str(), nullptr); }); },
       Succeeds(TRUE)},
      {"§2.1", "CreateFileW to write a new file", [&] { return UseOf("CreateFileW to write").call(folder + u"\\" + std::u16string(47, u'd')); },
       Fails(1, 0)},
      {"§2.1", "a surrogate pair is one character like any other",
       [this] {
         Answer answer = UseOf("CreateFileW to write").call(u"\\\xD83D\xDE00.txt");
         answer.outputs = image_.GetFile("\xF0\x9F\x98\x80.txt");
         return answer;
       },
       Fails(1, 0, "written")},
  };
  CheckRows(rows);
}

TEST_F(Confinement, DotDotRunsAndHostPathsStayInsideFs) {
  const std::u16string canaryAsCePath = host::FromUtf8((canary_ / "canary.txt").string());
  auto names = [](const char16_t* pattern) {
    return [pattern] {
      WIN32_FIND_DATAW data;
      HANDLE find = INVALID_HANDLE_VALUE;
      return Ask([&] { return find = FindFirstFileW(pattern, &data); },
                 [&] {
                   std::vector<std::string> found;
                   if (find != INVALID_HANDLE_VALUE) {
                     do found.push_back(host::ToUtf8(data.cFileName));
                     while (FindNextFileW(find, &data));
                     FindClose(find);
                   }
                   std::sort(found.begin(), found.end());
                   std::string text;
                   for (const auto& name : found) text += name + " ";
                   return text;
                 });
    };
  };
  const std::vector<Row> rows = {
      {"§2.1", "\"..\" stops at the root: nothing beside fs/ is seen",
       [] { return Ask([] { return GetFileAttributesW(u"\\..\\outside.txt"); }); },
       Fails(INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND)},
      {"§2.1", "\"..\" past the root, then down again",
       [] { return Ask([] { return GetFileAttributesW(u"..\\..\\..\\FlashDisk\\..\\FlashDisk\\.\\a.txt"); }); },
       Succeeds(FILE_ATTRIBUTE_ARCHIVE)},
      {"§2.1", "a file created above the root lands in the root",
       [this] {
         Answer answer = UseOf("CreateFileW to write").call(u"\\..\\..\\escape.txt");
         answer.outputs = image_.GetFile("escape.txt");
         return answer;
       },
       Fails(1, 0, "written")},  // created: the last error 0
      {"§2.1", "a copy onto a path above the root lands in the root",
       [this] {
         return Ask([] { return CopyFileW(u"\\FlashDisk\\payload.txt", u"/../../../escape2.txt", FALSE); },
                    [this] { return image_.GetFile("escape2.txt"); });
       },
       SucceedsClearing(TRUE, "payload")},
      {"§2.1", "a folder made above the root is made in it",
       [this] {
         return Ask([] { return CreateDirectoryW(u"\\FlashDisk\\..\\..\\..\\escdir", nullptr); },
                    [this] { return fs::is_directory(image_.FsPath("escdir")) ? "in fs" : "elsewhere"; });
       },
       Succeeds(TRUE, "in fs")},
      {"§2.1", "a search above the root lists the root",
       names(u"\\..\\..\\*"), Succeeds(1, "FlashDisk Windows escape.txt escape2.txt escdir ")},
      {"§2.1", "deleting beside fs/", [] { return Ask([] { return DeleteFileW(u"\\..\\outside.txt"); }); },
       Fails(FALSE, ERROR_FILE_NOT_FOUND)},
      {"§2.1", "a host file by its host path is a CE path inside fs/",
       [] { return Ask([] { return CopyFileW(u"/etc/passwd", u"\\stolen.txt", FALSE); }); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.1", "the canary by its host path",
       [canaryAsCePath] { return Ask([&] { return DeleteFileW(canaryAsCePath.c_str()); }); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.1", "the canary reached with \"..\"",
       [this] {
         const std::u16string path = u"\\..\\..\\" + host::FromUtf8(canary_.filename().string()) + u"\\canary.txt";
         return Ask([&] { return CopyFileW(path.c_str(), u"\\stolen.txt", FALSE); });
       },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§3.1", "a host program by \"..\"",
       [] { return UseOf("CreateProcessW").call(u"\\..\\..\\..\\..\\bin\\sh"); }, Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§3.1", "a host program by its host path", [] { return UseOf("CreateProcessW").call(u"/proc/self/exe"); },
       Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"§2.5", "\"..\" of the root is the root, a folder", [] { return UseOf("CreateFileW to read").call(u"\\.."); },
       Fails(-1, ERROR_ACCESS_DENIED)},
  };
  CheckRows(rows);
}

// A FIFO planted in fs/ is no file of the terminal: no call opens it (an open would
// wait for a writer) and none runs it.
TEST_F(Confinement, FifosAreNeitherOpenedNorRun) {
  ASSERT_EQ(::mkfifo(image_.FsPath("Windows/pipe.exe").c_str(), 0644), 0);
  const std::u16string pipe = u"\\Windows\\PIPE.exe";
  const std::pair<const char*, Answer> expected[] = {
      {"CreateFileW to read", Fails(-1, ERROR_ACCESS_DENIED)},
      {"CreateFileW to write", Fails(-1, ERROR_ACCESS_DENIED)},
      {"GetFileAttributesW", Fails(INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED)},
      {"FindFirstFileW", Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"FindFirstFileW inside", Fails(-1, ERROR_PATH_NOT_FOUND)},
      {"CopyFileW from", Fails(FALSE, ERROR_ACCESS_DENIED)},
      {"CopyFileW onto", Fails(FALSE, ERROR_ACCESS_DENIED)},
      {"DeleteFileW", Fails(FALSE, ERROR_ACCESS_DENIED)},
      {"CreateDirectoryW", Fails(FALSE, ERROR_ALREADY_EXISTS)},
      {"CreateDirectoryW inside", Fails(FALSE, ERROR_PATH_NOT_FOUND)},
      {"CreateProcessW", Fails(FALSE, ERROR_ACCESS_DENIED)},
  };
  std::vector<Row> rows;
  for (const auto& [name, answer] : expected) {
    const Use& use = UseOf(name);
    rows.push_back({"§2.1", name, [&use, pipe] { return use.call(pipe); }, answer});
  }
  CheckRows(rows);
  std::error_code ec;
  EXPECT_TRUE(fs::is_fifo(image_.FsPath("Windows/pipe.exe"), ec));
}

// CE knows devices only as three letters, a digit and a colon; "NUL", "CON" and the
// desktop's "\\.\" forms are ordinary names of fs/.
TEST_F(Confinement, DeviceLikeNames) {
  std::vector<Row> rows = {
      {"§7", "the system driver opens as a device", [] { return UseOf("CreateFileW to read").call(u"QDV1:"); }, Succeeds(1)},
      {"§2.5", "a device the terminal lacks", [] { return UseOf("CreateFileW to read").call(u"COM1:"); }, Fails(-1, ERROR_DEV_NOT_EXIST)},
  };
  for (const Use& use : Uses()) {
    if (std::string_view(use.name).starts_with("CreateFileW")) continue;
    for (const char16_t* device : {u"QDV1:", u"COM1:"}) {
      rows.push_back({"§2.1", std::string(use.name) + " " + host::ToUtf8(device), [&use, device] { return use.call(device); },
                      Fails(use.failure, ERROR_INVALID_NAME)});
    }
  }
  const std::pair<const char16_t*, const char*> plainNames[] = {
      {u"NUL", "NUL"},           {u"\\CON", "CON"},         {u"AUX", "AUX"},
      {u"\\PRN", "PRN"},        {u"\\COM1", "COM1"},       {u"LPT1", "LPT1"},
      {u"CONIN$", "CONIN$"},     {u"\\Windows\\NUL", "Windows/NUL"}, {u"\\\\.\\PhysicalDrive0", "PhysicalDrive0"},
  };
  for (const auto& [name, hostName] : plainNames) {
    const std::string what = host::ToUtf8(name);
    rows.push_back({"§2.1", "CreateFileW to write " + what,
                    [this, name, hostName] {
                      Answer answer = UseOf("CreateFileW to write").call(name);
                      answer.outputs = image_.GetFile(hostName);
                      return answer;
                    },
                    Fails(1, 0, "written")});  // created: the last error 0
    rows.push_back({"§2.1", "GetFileAttributesW " + what, [name] { return UseOf("GetFileAttributesW").call(name); },
                    Succeeds(FILE_ATTRIBUTE_ARCHIVE)});
    rows.push_back({"§2.1", "DeleteFileW " + what, [name] { return UseOf("DeleteFileW").call(name); }, Succeeds(TRUE)});
  }
  CheckRows(rows);
}
