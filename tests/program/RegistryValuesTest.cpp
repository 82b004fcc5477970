#include "registry/RegistryValues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "tests/program/ProgramTest.h"

namespace {

const WCHAR kKey[] = u"SOFTWARE\\KORVA\\Test";
const WCHAR kGuard = 0xAAAA;

TEST(RegistryValues, WriteDwordCreatesTheWholePathAndStoresFourBytes) {
  TestImage image;
  ASSERT_FALSE(KeyExists(u"A"));

  EXPECT_EQ(1, RegWriteDword(HKEY_LOCAL_MACHINE, u"A\\B\\C", u"Value", 0x01020304));

  RawValue value = GetValue(u"A\\B\\C", u"Value");
  ASSERT_TRUE(value.found);
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value.type);
  EXPECT_EQ(std::string("\x04\x03\x02\x01", 4), value.bytes);
}

TEST(RegistryValues, ReadDwordTakesAtMostFourBytesAndChangesNothingOnFailure) {
  TestImage image;
  SetString(kKey, u"Text", u"12345");
  SetValue(kKey, u"Short", REG_BINARY, "\x2a\x01", 2);
  DWORD value = kSentinel;

  EXPECT_EQ(0, RegReadDword(HKEY_LOCAL_MACHINE, kKey, u"Text", &value));
  EXPECT_EQ(kSentinel, value);
  EXPECT_EQ(0, RegReadDword(HKEY_LOCAL_MACHINE, kKey, u"Missing", &value));
  EXPECT_EQ(0, RegReadDword(HKEY_LOCAL_MACHINE, u"No\\Such", u"Value", &value));
  EXPECT_EQ(kSentinel, value);
  EXPECT_FALSE(KeyExists(u"No"));

  // The bytes a shorter value does not set read as zero.
  EXPECT_EQ(1, RegReadDword(HKEY_LOCAL_MACHINE, kKey, u"Short", &value));
  EXPECT_EQ(0x012au, value);
}

TEST(RegistryValues, ReadStringNeverWritesPastTheCallersBuffer) {
  TestImage image;
  SetString(kKey, u"Fits", u"abcdefg");
  SetString(kKey, u"TooLong", u"abcdefgh");
  SetValue(kKey, u"Unterminated", REG_SZ, u"abcdefgh", 16);
  SetValue(kKey, u"ShortUnterminated", REG_SZ, u"abc", 6);
  SetDword(kKey, u"Dword", 0x00420041);
  WCHAR buffer[12];

  // Eight units offered; four guard units behind them.
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(1, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"Fits", buffer, 8));
  EXPECT_EQ(std::u16string(u"abcdefg"), std::u16string(buffer));

  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(0, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"TooLong", buffer, 8));
  EXPECT_EQ(kGuard, buffer[8]);

  // Fills all eight units without a terminator.
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(0, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"Unterminated", buffer, 8));
  EXPECT_EQ(kGuard, buffer[8]);

  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(1, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"ShortUnterminated", buffer, 8));
  EXPECT_EQ(std::u16string(u"abc"), std::u16string(buffer));

  // The type is not examined: the four data bytes arrive as two units.
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(1, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"Dword", buffer, 8));
  EXPECT_EQ(std::u16string(u"AB"), std::u16string(buffer));

  // However large the buffer, no more than 2048 bytes are offered.
  static WCHAR large[1500];
  SetString(kKey, u"Largest", std::u16string(1023, u'x'));
  SetString(kKey, u"Larger", std::u16string(1024, u'x'));
  EXPECT_EQ(1, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"Largest", large, 1500));
  EXPECT_EQ(0, RegReadString(HKEY_LOCAL_MACHINE, kKey, u"Larger", large, 1500));
}

TEST(RegistryValues, ReadBinaryReportsHowManyBytesItRead) {
  TestImage image;
  SetValue(kKey, u"Sixteen", REG_BINARY, "0123456789abcdef", 16);
  SetValue(kKey, u"Eight", REG_BINARY, "01234567", 8);
  SetValue(kKey, u"Five", REG_BINARY, "01234", 5);
  BYTE bytes[8];
  DWORD size = 8;

  EXPECT_EQ(0, RegReadBinary(HKEY_LOCAL_MACHINE, kKey, u"Sixteen", bytes, &size));
  EXPECT_EQ(8u, size);

  EXPECT_EQ(1, RegReadBinary(HKEY_LOCAL_MACHINE, kKey, u"Eight", bytes, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(0, memcmp(bytes, "01234567", 8));

  EXPECT_EQ(1, RegReadBinary(HKEY_LOCAL_MACHINE, kKey, u"Five", bytes, &size));
  EXPECT_EQ(5u, size);
}

TEST(RegistryValues, WriteBinaryReplacesAValueOfAnotherType) {
  TestImage image;
  SetDword(kKey, u"DateTime", 7);
  const BYTE time[8] = {1, 2, 3, 4, 5, 6, 7, 8};

  EXPECT_EQ(1, RegWriteBinary(HKEY_LOCAL_MACHINE, kKey, u"DateTime", time, sizeof(time)));

  RawValue value = GetValue(kKey, u"DateTime");
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.type);
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), value.bytes);
}

}  // namespace
