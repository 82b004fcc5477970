#include "environment/StorageLocations.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/host/Image.h"
#include "tests/program/ProgramTest.h"

namespace {

// The folder of the running program is everything before the last backslash of its path.
TEST(StorageLocations, ModuleDirectoryIsThePathCutAtItsLastBackslash) {
  struct Case {
    std::u16string before;
    std::u16string modulePath;
    std::u16string after;
    int result;
  };
  const std::u16string longFolder = u"\\" + std::u16string(250, u'd');
  const Case cases[] = {
      {u"", u"\\FlashDisk\\SP\\app.exe", u"\\FlashDisk\\SP", 1},
      {u"", u"\\FlashDisk\\app.exe", u"\\FlashDisk", 1},
      {u"", u"\\app.exe", u"", 1},
      {u"", u"app.exe", u"", 1},
      {u"", u"\\a\\\\b\\app.exe", u"\\a\\\\b", 1},
      {u"", u"\\a\\\\app.exe", u"\\a\\", 1},
      {u"", u"", u"", 1},
      // It appends to what the buffer holds, and appends nothing that would not fit.
      {u"\\Old", u"\\FlashDisk\\app.exe", u"\\Old\\FlashDisk", 1},
      {u"\\Old\\Folder", longFolder + u"\\app.exe", u"\\Old\\Folder", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.modulePath.begin(), c.modulePath.end()));
    std::vector<WCHAR> directory(PATH_BUFFER_CHARS, 0);
    std::copy(c.before.begin(), c.before.end(), directory.begin());

    EXPECT_EQ(c.result, AppendPathFolder(directory.data(), PATH_BUFFER_CHARS, c.modulePath.c_str()));
    EXPECT_EQ(c.after, std::u16string(directory.data()));
  }
}

TEST(StorageLocations, FlashDiskFolderIsTheFirstMountedVolumeNamedFlashDisk) {
  const std::string longName = "FlashDisk" + std::string(60, 'X');
  struct Case {
    std::vector<std::string> volumes;
    std::u16string found;
  };
  const std::vector<Case> cases = {
      {{"FlashDisk"}, u"FlashDisk"},
      {{"Storage Card", "FlashDisk2"}, u"FlashDisk2"},
      {{"FlashDiskA", "FlashDiskB"}, u"FlashDiskA"},
      {{"flashdisk"}, u""},
      {{"Flash"}, u""},
      // A name that does not fit the 64-unit buffer is passed over.
      {{longName, "FlashDiskB"}, u"FlashDiskB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.volumes.front());
    ResetProgramGlobals();
    host::ImageOptions options;
    options.volumes = c.volumes;
    TestImage image(options);

    EXPECT_EQ(!c.found.empty(), FindFlashDiskFolder(g_flashFolderName, FLASH_FOLDER_NAME_CHARS) != 0);
    EXPECT_EQ(c.found, std::u16string(g_flashFolderName));
  }
}

}  // namespace
