#include "install/CabInventory.h"

#include <gtest/gtest.h>

#include "tests/program/ProgramTest.h"

namespace {

std::u16string AppKey(std::u16string_view name) { return u"SOFTWARE\\Apps\\" + std::u16string(name); }

void AddApp(std::u16string_view name, DWORD installed, std::u16string_view cabFile) {
  SetDword(AppKey(name).c_str(), u"Instl", installed);
  SetString(AppKey(name).c_str(), u"CabFile", cabFile);
}

std::u16string Entry(int index) { return g_installedCabs[index]; }

TEST(CabInventory, MissingAppsKeyFailsAndKeepsTheList) {
  ResetProgramGlobals();
  TestImage image;
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Apps"));
  g_installedCabCount = 2;

  EXPECT_EQ(0, LoadInstalledCabList());
  EXPECT_EQ(2, g_installedCabCount);
}

TEST(CabInventory, OnlyInstalledApplicationsWithAFittingCabFileCount) {
  ResetProgramGlobals();
  TestImage image;
  AddApp(u"A Not installed", 0, u"\\SP\\A.cab");
  SetDword(AppKey(u"B No CabFile").c_str(), u"Instl", 1);
  AddApp(u"C Installed", 1, u"\\SP\\C.cab");
  // Instl of another type still counts when its bytes are not zero.
  SetValue(AppKey(u"D Binary Instl").c_str(), u"Instl", REG_BINARY, "\x01\x00\x00\x00", 4);
  SetString(AppKey(u"D Binary Instl").c_str(), u"CabFile", u"\\SP\\D.cab");
  // 255 characters fit a 256-unit slot; 256 do not.
  AddApp(u"E Longest", 1, u"\\" + std::u16string(254, u'e'));
  AddApp(u"F Too long", 1, u"\\" + std::u16string(255, u'f'));
  // The longest subkey name the registry allows still makes a usable key path.
  AddApp(u"G" + std::u16string(254, u'g'), 1, u"\\SP\\G.cab");

  ASSERT_EQ(1, LoadInstalledCabList());
  ASSERT_EQ(4, g_installedCabCount);
  EXPECT_EQ(u"\\SP\\C.cab", Entry(0));
  EXPECT_EQ(u"\\SP\\D.cab", Entry(1));
  EXPECT_EQ(u"\\" + std::u16string(254, u'e'), Entry(2));
  EXPECT_EQ(u"\\SP\\G.cab", Entry(3));
}

TEST(CabInventory, LoadAppendsFromTheCurrentCount) {
  ResetProgramGlobals();
  TestImage image;
  AddApp(u"Tool", 1, u"\\SP\\Tool.cab");
  g_installedCabCount = 2;

  ASSERT_EQ(1, LoadInstalledCabList());
  EXPECT_EQ(3, g_installedCabCount);
  EXPECT_EQ(u"\\SP\\Tool.cab", Entry(2));

  g_installedCabCount = 0;
  ASSERT_EQ(1, LoadInstalledCabList());
  EXPECT_EQ(1, g_installedCabCount);
  EXPECT_EQ(u"\\SP\\Tool.cab", Entry(0));
}

TEST(CabInventory, MoreThanThirtyApplicationsAreAllCountedButThirtyStored) {
  ResetProgramGlobals();
  TestImage image;
  auto number = [](int i) { return std::u16string{char16_t(u'0' + i / 10), char16_t(u'0' + i % 10)}; };
  for (int i = 0; i < 35; ++i) AddApp(u"App" + number(i), 1, u"\\SP\\App" + number(i) + u".cab");

  ASSERT_EQ(1, LoadInstalledCabList());
  EXPECT_EQ(35, g_installedCabCount);
  // Subkeys enumerate in name order.
  for (int i = 0; i < MAX_CABS; ++i) EXPECT_EQ(u"\\SP\\App" + number(i) + u".cab", Entry(i));
}

}  // namespace
