// The power fails in the middle of a calibration save over an older record, at each
// file call of the save and halfway through each write and copy. Whatever the cut, one
// of the records survives whole, the record file never holds a record that looks valid
// but is neither of them, and the next save puts the new record in place.
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace {

using e2e::Termsim;

const char* const kSaverCePath = "\\FlashDisk\\saver.exe";
const char* const kRecord = "FlashDisk/Calibrate.dat";
const char* const kNewCopy = "FlashDisk/CalibrateB.dat";
const char* const kPreviousCopy = "FlashDisk/CalibrateC.dat";

const std::u16string kPreviousRecord = u"30:100,200 300,400:10:";
const char* const kNewCalibration = "460,468 652,860 276,852 276,436 652,436 ";
const std::u16string kNewRecord = u"80:460,468 652,860 276,852 276,436 652,436 :139:";

std::optional<std::string> ReadIfPresent(const e2e::ImageFolder& image, const char* relative) {
  if (!std::filesystem::exists(image.FsPath(relative))) return std::nullopt;
  return ReadHostFile(image.FsPath(relative));
}

// Whether `bytes` is a record that passes its own checks: UTF-16LE "%d:%s:%d:" whose
// first field is the byte length of the second and whose third is the digit sum of the
// second. The second field may hold colons of its own.
bool IsValidRecord(const std::string& bytes) {
  if (bytes.size() % 2 != 0) return false;
  std::u16string text;
  for (size_t i = 0; i < bytes.size(); i += 2)
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
  const auto number = [](std::u16string_view digits) -> std::optional<long> {
    if (digits.empty() || digits.size() > 6 || (digits.size() > 1 && digits[0] == u'0')) return std::nullopt;
    long value = 0;
    for (char16_t c : digits) {
      if (c < u'0' || c > u'9') return std::nullopt;
      value = value * 10 + (c - u'0');
    }
    return value;
  };
  if (text.size() < 4 || text.back() != u':') return false;
  const size_t firstColon = text.find(u':');
  const size_t lastFieldStart = text.rfind(u':', text.size() - 2);
  if (firstColon == std::u16string::npos || lastFieldStart == std::u16string::npos || lastFieldStart <= firstColon)
    return false;
  const auto length = number(std::u16string_view(text).substr(0, firstColon));
  const auto checkSum = number(std::u16string_view(text).substr(lastFieldStart + 1, text.size() - lastFieldStart - 2));
  const std::u16string_view data = std::u16string_view(text).substr(firstColon + 1, lastFieldStart - firstColon - 1);
  if (!length || !checkSum || data.empty()) return false;
  long digitSum = 0;
  for (char16_t c : data) {
    if (c >= u'0' && c <= u'9') digitSum += c - u'0';
  }
  return *length == static_cast<long>(2 * data.size()) && *checkSum == digitSum;
}

TEST(PowerLossTest, RecordValidatorAcceptsOnlyWholeRecords) {
  for (const std::u16string& good : {kPreviousRecord, kNewRecord, std::u16string(u"26:12:34 56:78 9:45:"),
                                     std::u16string(u"40:abcdefghijklmnopqrst:0:")}) {
    EXPECT_TRUE(IsValidRecord(e2e::Utf16Le(good))) << e2e::Utf16Le(good);
  }
  const std::string cut = e2e::Utf16Le(kNewRecord);
  for (const std::string& bad : {
           std::string(),
           cut.substr(0, cut.size() / 2),
           cut.substr(0, cut.size() - 1),
           cut.substr(0, cut.size() - 2),
           e2e::Utf16Le(u"30:100,200 300,400:11:"),
           e2e::Utf16Le(u"32:100,200 300,400:10:"),
           e2e::Utf16Le(u"030:100,200 300,400:10:"),
           e2e::Utf16Le(u"30:100,200 300,400:10"),
           e2e::Utf16Le(u"0::0:"),
           std::string("30:100,200 300,400:10:"),
       }) {
    EXPECT_FALSE(IsValidRecord(bad)) << bad;
  }
}

enum class Left { Previous, New, Damaged };

TEST(PowerLossTest, NoCutInASaveLosesBothRecords) {
  struct Cut {
    const char* api;
    const char* target;
    const char* error;
    Left record;  // what Calibrate.dat holds after the cut
  };
  const Cut cuts[] = {
      {"CreateFileW", "\\FlashDisk\\CalibrateB.dat", "power-loss", Left::Previous},
      {"WriteFile", "\\FlashDisk\\CalibrateB.dat", "power-loss", Left::Previous},
      {"WriteFile", "\\FlashDisk\\CalibrateB.dat", "power-loss:half", Left::Previous},
      {"CopyFileW", "\\FlashDisk\\CalibrateC.dat", "power-loss", Left::Previous},
      {"CopyFileW", "\\FlashDisk\\CalibrateC.dat", "power-loss:half", Left::Previous},
      {"CopyFileW", "\\FlashDisk\\Calibrate.dat", "power-loss", Left::Previous},
      {"CopyFileW", "\\FlashDisk\\Calibrate.dat", "power-loss:half", Left::Damaged},
      {"DeleteFileW", "\\FlashDisk\\CalibrateB.dat", "power-loss", Left::New},
      {"DeleteFileW", "\\FlashDisk\\CalibrateC.dat", "power-loss", Left::New},
  };
  const std::string previous = e2e::Utf16Le(kPreviousRecord);
  const std::string fresh = e2e::Utf16Le(kNewRecord);
  for (const Cut& cut : cuts) {
    SCOPED_TRACE(std::string(cut.api) + " " + cut.target + " " + cut.error);
    e2e::ImageFolder image;
    image.Create({"--time-scale", "0.01"});
    image.PutProgram("FlashDisk/saver.exe", CALIBRATION_SAVER_PATH);
    image.PutFile(kRecord, previous);
    e2e::ImportCalibrationData(image, kNewCalibration);
    // Another program of the terminal, which the cut must end as well.
    const int bystander = e2e::StartWindow(image, "Bystander", "");
    ASSERT_EQ(Termsim({"fault", image.path(), cut.api, cut.target, cut.error, "--times", "1"}).exitCode, 0);

    const auto cutRun = Termsim({"run", image.path(), kSaverCePath});
    for (int normalEnd : {0, 1, 100, 124, 125}) EXPECT_NE(cutRun.exitCode, normalEnd) << cutRun.out << cutRun.err;
    const auto journal = image.Journal();
    const auto faults = e2e::EventsNamed(journal, "fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Text("api"), cut.api);
    EXPECT_EQ(faults[0].Text("target"), cut.target);
    EXPECT_EQ(faults[0].Text("error"), cut.error);
    EXPECT_TRUE(e2e::EventsNamed(journal, "process-exit").empty());
    EXPECT_TRUE(e2e::WaitUntil(10, [&] { return e2e::ProcessGone(bystander); }));

    const auto record = ReadIfPresent(image, kRecord);
    const auto newCopy = ReadIfPresent(image, kNewCopy);
    const auto previousCopy = ReadIfPresent(image, kPreviousCopy);
    bool survivor = false;
    for (const auto& file : {record, newCopy, previousCopy}) survivor = survivor || file == previous || file == fresh;
    EXPECT_TRUE(survivor);
    // The record file is one of the two records, or plainly not a record.
    if (record && *record != previous && *record != fresh) {
      EXPECT_FALSE(IsValidRecord(*record)) << *record;
    }
    switch (cut.record) {
      case Left::Previous: EXPECT_EQ(record, previous); break;
      case Left::New: EXPECT_EQ(record, fresh); break;
      case Left::Damaged: EXPECT_TRUE(record && !IsValidRecord(*record)); break;
    }

    // The next save, with the power on, finishes the job.
    const auto nextRun = Termsim({"run", image.path(), kSaverCePath});
    EXPECT_EQ(nextRun.exitCode, 1) << nextRun.out << nextRun.err;
    EXPECT_EQ(ReadIfPresent(image, kRecord), fresh);
    EXPECT_FALSE(ReadIfPresent(image, kNewCopy));
    EXPECT_FALSE(ReadIfPresent(image, kPreviousCopy));
    EXPECT_EQ(e2e::EventsNamed(image.Journal(), "fault").size(), 1u);
  }
}

}  // namespace
