#include "calibration/CalibrationRecord.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/program/ProgramTest.h"

namespace {

const WCHAR kTouchKey[] = u"HARDWARE\\DEVICEMAP\\TOUCH";

TEST(DigitSum, AddsTheValuesOfAsciiDigitsOnly) {
  EXPECT_EQ(-1, DigitSum(nullptr));
  EXPECT_EQ(-1, DigitSum(u""));
  EXPECT_EQ(0, DigitSum(u"abc ,-"));
  EXPECT_EQ(10, DigitSum(u"100,200 300,400"));
  EXPECT_EQ(5, DigitSum(u"-5"));
  // Full-width digits are not '0' to '9'.
  EXPECT_EQ(0, DigitSum(u"\uFF11\uFF12"));
  EXPECT_EQ(1143, DigitSum(std::u16string(127, u'9').c_str()));
}

TEST(CalibrationRecord, WorkedExampleRecordsAreStoredByteForByte) {
  struct Case {
    std::u16string calibration;
    std::u16string record;  // empty when refused
  };
  const Case cases[] = {
      {u"100,200 300,400", u"30:100,200 300,400:10:"},
      {u"12,34 56,78 9", u"26:12,34 56,78 9:45:"},
      {u"12,34 56,78 ", u""},
      {u"1,2 3,4", u""},
      {u"abcdefghijklmnopqrst", u"40:abcdefghijklmnopqrst:0:"},
      {u"12:34 56:78 9", u"26:12:34 56:78 9:45:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.calibration.begin(), c.calibration.end()));
    TestImage image;
    SetString(kTouchKey, u"CalibrationData", c.calibration);

    EXPECT_EQ(c.record.empty() ? 0 : 1, SaveTouchCalibration());

    EXPECT_EQ(!c.record.empty(), image.Exists("FlashDisk/Calibrate.dat"));
    EXPECT_EQ(Utf16Bytes(c.record), image.GetFile("FlashDisk/Calibrate.dat"));
    EXPECT_FALSE(image.Exists("FlashDisk/CalibrateB.dat"));
    EXPECT_FALSE(image.Exists("FlashDisk/CalibrateC.dat"));
  }
}

TEST(CalibrationRecord, SuccessfulSaveReplacesTheRecordAndRemovesLeftovers) {
  TestImage image;
  SetString(kTouchKey, u"CalibrationData", u"460,468 652,860 276,852 276,436 652,436 ");
  image.PutFile("FlashDisk/Calibrate.dat", Utf16Bytes(u"30:100,200 300,400:10:"));
  image.PutFile("FlashDisk/CalibrateB.dat", "left over");
  image.PutFile("FlashDisk/CalibrateC.dat", "left over");

  EXPECT_EQ(1, SaveTouchCalibration());

  EXPECT_EQ(Utf16Bytes(u"80:460,468 652,860 276,852 276,436 652,436 :139:"), image.GetFile("FlashDisk/Calibrate.dat"));
  EXPECT_FALSE(image.Exists("FlashDisk/CalibrateB.dat"));
  EXPECT_FALSE(image.Exists("FlashDisk/CalibrateC.dat"));
}

TEST(CalibrationRecord, UnusableCalibrationDataStoresNothing) {
  TestImage image;
  EXPECT_EQ(0, SaveTouchCalibration());  // no value

  SetString(kTouchKey, u"CalibrationData", u"");
  EXPECT_EQ(0, SaveTouchCalibration());

  // 128 characters and the terminator do not fit the 128-unit read buffer.
  SetString(kTouchKey, u"CalibrationData", std::u16string(128, u'1'));
  EXPECT_EQ(0, SaveTouchCalibration());

  EXPECT_FALSE(image.Exists("FlashDisk/Calibrate.dat"));
  EXPECT_FALSE(image.Exists("FlashDisk/CalibrateB.dat"));
}

TEST(CalibrationRecord, UnterminatedCalibrationDataEndsInsideTheBuffer) {
  TestImage image;
  const std::u16string data = u"1,2 3,4 5,6 7,8 9,10";
  SetValue(kTouchKey, u"CalibrationData", REG_BINARY, data.data(), DWORD(data.size() * 2));
  EXPECT_EQ(1, SaveTouchCalibration());
  EXPECT_EQ(Utf16Bytes(u"40:" + data + u":46:"), image.GetFile("FlashDisk/Calibrate.dat"));

  // A full buffer without a terminator keeps its first 127 characters.
  const std::u16string full(128, u'a');
  SetValue(kTouchKey, u"CalibrationData", REG_BINARY, full.data(), DWORD(full.size() * 2));
  EXPECT_EQ(1, SaveTouchCalibration());
  EXPECT_EQ(Utf16Bytes(u"254:" + full.substr(0, 127) + u":0:"), image.GetFile("FlashDisk/Calibrate.dat"));
}

TEST(CalibrationRecord, RecordThatCannotBeReplacedKeepsThePreviousCopy) {
  TestImage image;
  const std::string previous = Utf16Bytes(u"30:100,200 300,400:10:");
  image.PutFile("FlashDisk/Calibrate.dat", previous);
  // The terminal reads a file without the owner's write bit as read-only.
  std::filesystem::permissions(image.FsPath("FlashDisk/Calibrate.dat"), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  SetString(kTouchKey, u"CalibrationData", u"460,468 652,860 276,852 276,436 652,436 ");

  EXPECT_EQ(0, SaveTouchCalibration());

  EXPECT_EQ(previous, image.GetFile("FlashDisk/Calibrate.dat"));
  EXPECT_EQ(previous, image.GetFile("FlashDisk/CalibrateC.dat"));
  EXPECT_FALSE(image.Exists("FlashDisk/CalibrateB.dat"));
}

}  // namespace
