// The choices of the installation passes that are made before any installer runs. The
// terminal has no CAB installer here, so an attempted installation shows as
// OUTCOME_INSTALL_ERROR without starting a process.
#include "setup/InstallationPasses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "environment/DeviceProfile.h"
#include "setup/VersionMark.h"
#include "tests/program/ProgramTest.h"

namespace {

const WCHAR kServicePackKey[] = u"SOFTWARE\\KORVA\\Service Pack";

TEST(CompareCabNames, OrdersByPlainCodeUnits) {
  struct Case {
    std::u16string first;
    std::u16string second;
    int expected;
  };
  const Case cases[] = {
      {u"\\SP\\Patch_B.cab", u"\\SP\\Patch_a.cab", -1},
      {u"\\SP\\Patch10.cab", u"\\SP\\Patch2.cab", -1},
      {u"\\SP\\Patch.cab", u"\\SP\\Patch.cab.cab", -1},
      {u"\\SP\\Tool.cab", u"\\SP\\Tool.cab", 0},
      {u"\\SP\\tool.cab", u"\\SP\\Tool.cab", 1},
      // Units compare unsigned: a half-width katakana sorts after every ASCII letter.
      {u"\\SP\\\uFF8C.cab", u"\\SP\\z.cab", 1},
  };
  for (const Case& c : cases) {
    WCHAR first[PATH_BUFFER_CHARS] = {0};
    WCHAR second[PATH_BUFFER_CHARS] = {0};
    std::copy(c.first.begin(), c.first.end(), first);
    std::copy(c.second.begin(), c.second.end(), second);
    EXPECT_EQ(c.expected, CompareCabNames(first, second)) << std::string(c.first.begin(), c.first.end());
    EXPECT_EQ(-c.expected, CompareCabNames(second, first));
  }
}

void PrepareTerminal(const TestImage& image) {
  ResetProgramGlobals();
  g_modelIndex = 0;  // ServicePackHQ20.CAB
  std::filesystem::remove(image.FsPath("Windows/wceload.exe"));
}

void RegisterApps(int count) {
  for (int i = 0; i < count; ++i) {
    std::u16string name = u"App" + std::u16string{char16_t(u'A' + i / 26), char16_t(u'A' + i % 26)};
    SetDword((u"SOFTWARE\\Apps\\" + name).c_str(), u"Instl", 1);
    SetString((u"SOFTWARE\\Apps\\" + name).c_str(), u"CabFile", u"\\Elsewhere\\" + name + u".cab");
  }
}

TEST(InstallationPasses, RegisteredCabsBeyondThirtyReachTheLimitOnTheirOwn) {
  TestImage image;
  PrepareTerminal(image);
  RegisterApps(30);
  SetDword(u"SOFTWARE\\Apps\\Tool", u"Instl", 1);
  SetString(u"SOFTWARE\\Apps\\Tool", u"CabFile", u"\\SP\\Tool.cab");
  image.PutFile("SP/Tool.cab", "cab");
  ASSERT_EQ(1, LoadInstalledCabList());
  ASSERT_EQ(31, g_installedCabCount);

  InstallOutcome outcome = RunInstallationPasses(u"\\SP");

  EXPECT_EQ(OUTCOME_LIMIT_REACHED, outcome.status);
  EXPECT_EQ(0, outcome.installedThisRun);
}

std::string LastWriteBytes(const WCHAR* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  FILETIME time = {0, 0};
  EXPECT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &time));
  CloseHandle(file);
  std::string bytes;
  for (DWORD half : {time.dwLowDateTime, time.dwHighDateTime}) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((half >> (8 * i)) & 0xFF));
  }
  return bytes;
}

TEST(InstallationPasses, RegisteredServicePackIsInstalledAgainUnlessDateTimeMatches) {
  const WCHAR path[] = u"\\SP\\ServicePackHQ20.CAB";
  enum Stored { kSame, kFirstHalfOnly, kDifferent, kNone, kSameButFileHeldOpen };
  struct Case {
    const char* name;
    Stored stored;
    InstallStatus status;
  };
  const Case cases[] = {
      {"same time", kSame, OUTCOME_COMPLETED},
      {"4 bytes of the time", kFirstHalfOnly, OUTCOME_INSTALL_ERROR},
      {"other time", kDifferent, OUTCOME_INSTALL_ERROR},
      {"no DateTime", kNone, OUTCOME_INSTALL_ERROR},
      {"time unreadable", kSameButFileHeldOpen, OUTCOME_INSTALL_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestImage image;
    PrepareTerminal(image);
    image.PutFile("SP/ServicePackHQ20.CAB", "cab");
    SetDword(u"SOFTWARE\\Apps\\KORVA Service Pack", u"Instl", 1);
    SetString(u"SOFTWARE\\Apps\\KORVA Service Pack", u"CabFile", path);
    std::string time = LastWriteBytes(path);
    if (c.stored == kDifferent) time[0] = static_cast<char>(time[0] ^ 1);
    if (c.stored == kFirstHalfOnly) time.resize(4);
    if (c.stored != kNone) SetValue(kServicePackKey, u"DateTime", REG_BINARY, time.data(), DWORD(time.size()));
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (c.stored == kSameButFileHeldOpen) {
      holder = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    }
    ASSERT_EQ(1, LoadInstalledCabList());

    InstallOutcome outcome = RunInstallationPasses(u"\\SP");

    EXPECT_EQ(c.status, outcome.status);
    EXPECT_EQ(0, outcome.installedThisRun);
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
  }
}

TEST(InstallationPasses, CabWhosePathWouldNotFitIsPassedOver) {
  TestImage image;
  PrepareTerminal(image);
  const std::string folder(200, 'd');
  const std::u16string ceFolder = u"\\" + std::u16string(folder.begin(), folder.end());
  // 1 + 200 + 1 + 64 characters: more than a path holds.
  image.PutFile(folder + "/" + std::string(60, 'n') + ".cab", "cab");
  ASSERT_EQ(1, LoadInstalledCabList());

  InstallOutcome outcome = RunInstallationPasses(ceFolder.c_str());
  EXPECT_EQ(OUTCOME_COMPLETED, outcome.status);

  // Paths of 256 to 260 characters fit the buffer but could never stand registered
  // (an inventory slot holds 255), and one of 260 cannot be opened: passed over too.
  for (size_t length : {256u, 259u, 260u}) {
    image.PutFile(folder + "/" + std::string(length - 1 - 200 - 1 - 4, 'm') + ".cab", "cab");
  }
  outcome = RunInstallationPasses(ceFolder.c_str());
  EXPECT_EQ(OUTCOME_COMPLETED, outcome.status);

  // A CAB of the same folder whose path fits a slot is taken (and fails: no installer).
  image.PutFile(folder + "/" + std::string(255 - 1 - 200 - 1 - 4, 's') + ".cab", "cab");
  outcome = RunInstallationPasses(ceFolder.c_str());
  EXPECT_EQ(OUTCOME_INSTALL_ERROR, outcome.status);
}

// Every build of these sources carries this mark, so it must be their hash as they are.
TEST(VersionMark, IsTheHashOfTheProgramsSources) {
  namespace fs = std::filesystem;
  const fs::path root = KORVA_SOURCE_DIR;
  const std::string markFile = "setup/VersionMark.h";
  std::vector<std::string> paths = {"platform/coredll.h"};
  for (const char* folder : {"setup", "environment", "install", "calibration", "registry", "completion", "texts"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      const std::string path = fs::relative(entry.path(), root).generic_string();
      if (entry.is_regular_file() && path != markFile) paths.push_back(path);
    }
  }
  std::sort(paths.begin(), paths.end());
  uint64_t hash = 0xcbf29ce484222325;
  const auto add = [&hash](const std::string& bytes) {
    for (const char c : bytes + '\0') hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  };
  for (const auto& path : paths) {
    std::ifstream in(root / path, std::ios::binary);
    add(path);
    add(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  char mark[64];
  std::snprintf(mark, sizeof mark, "KORVA-SETUP-SOURCE:%016" PRIx64, hash);
  EXPECT_STREQ(mark, SETUP_VERSION_MARK) << "the program's sources changed; refresh the mark with\n  sed -i "
                                         << "'s/KORVA-SETUP-SOURCE:[0-9a-f]*/" << mark << "/' " << (root / markFile).string();
}

}  // namespace
