// Message boxes, the system driver's device (its names and handles row by row, then
// its control codes) and the touch panel's calibration.
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"
#include "tests/host/ProcessTestSupport.h"

using namespace conformance;
using namespace process_test;

namespace {

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : std::to_string(value); }

std::string CalibrationData() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, 0, &key) != ERROR_SUCCESS) return "";
  char data[512];
  DWORD size = sizeof data, type = 0;
  const LONG result = RegQueryValueExW(key, u"CalibrationData", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_SZ ? std::string(data, size) : "";
}

}  // namespace

TEST(MessageBox, AnswersAtOnceWithTheDefaultButton) {
  TestImage image;
  testing::internal::CaptureStderr();
  SetLastError(kSentinel);
  EXPECT_EQ(MessageBoxW(nullptr, u"Install error.\nTry again after reset.", u"Setup", MB_TOPMOST | MB_ICONHAND), IDOK);
  EXPECT_EQ(GetLastError(), kSentinel);
  const struct {
    UINT style;
    int answer;
  } cases[] = {
      {MB_OKCANCEL, IDOK}, {MB_YESNO, IDYES}, {MB_YESNO | 0x100, IDNO},  // MB_DEFBUTTON2
      {0x3 | 0x200, IDCANCEL},                                              // MB_YESNOCANCEL, MB_DEFBUTTON3
      {MB_OK | 0x300, IDOK},                                                // a default button the box lacks
  };
  for (const auto& c : cases) EXPECT_EQ(MessageBoxW(nullptr, u"?", u"Setup", c.style), c.answer) << c.style;
  EXPECT_EQ(MessageBoxW(nullptr, nullptr, nullptr, MB_OK), IDOK);  // Windows' "Error" title
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("+-- Setup\n| Install error.\n| Try again after reset.\n| [OK]"), std::string::npos)
      << printed;
  const auto events = JournalEvents();
  ASSERT_EQ(events.size(), 2 * (std::size(cases) + 2));
  EXPECT_EQ(events[0].FieldsJson(), R"({"caption":"Setup","text":"Install error.\nTry again after reset.","style":262160})");
  EXPECT_EQ(events[1].event + events[1].FieldsJson(), R"(messagebox-answer{"result":1})");
  EXPECT_EQ(events[events.size() - 2].FieldsJson(), R"({"caption":"Error","text":"","style":0})");

  SetLastError(kSentinel);
  EXPECT_EQ(MessageBoxW(nullptr, u"?", u"Setup", 0x7), 0);  // no such set of buttons
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(JournalEvents().size(), events.size());
}

TEST(MessageBox, AnswersAfterTheSetDelayInTerminalTime) {
  host::ImageOptions options;
  options.messageBox = "after:3000";
  options.timeScale = 0.1;
  TestImage image(options);
  testing::internal::CaptureStderr();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(MessageBoxW(nullptr, u"Done", u"Setup", MB_OK), IDOK);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  testing::internal::GetCapturedStderr();
  EXPECT_GE(elapsed, std::chrono::milliseconds(295));
  EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
  const auto events = host::JournalEventsAfter(0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_GE(events[1].timeMs - events[0].timeMs, 2950);
}

TEST(MessageBox, NeverAnsweredWhenSetSo) {
  host::ImageOptions options;
  options.messageBox = "never";
  TestImage image(options);
  InstallProbe(image);
  PROCESS_INFORMATION info;
  ASSERT_TRUE(StartProbe(u"box", &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 500), WAIT_TIMEOUT);
  EXPECT_EQ(JournalEvents("messagebox").size(), 1u);
  EXPECT_TRUE(JournalEvents("messagebox-answer").empty());
  host::EndTerminalProcesses(true);
  Finish(info);
}

// A scaled Sleep lets the process's other threads run until each is blocked; a thread
// whose box is never answered counts as blocked, so it does not hold the Sleep up.
TEST(MessageBox, UnansweredBoxInAThreadDoesNotHoldUpAScaledSleep) {
  host::ImageOptions options;
  options.messageBox = "never";
  options.timeScale = 0.01;
  TestImage image(options);
  InstallProbe(image);
  PROCESS_INFORMATION info;
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(StartProbe(u"boxsleep", &info));
  EXPECT_EQ(Finish(info), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
  EXPECT_EQ(JournalEvents("messagebox").size(), 1u);
  EXPECT_EQ(JournalEvents("sleep").at(0).FieldsJson(), R"({"ms":5000})");
}

TEST(Devices, SystemDriverOpensAndAnswersControlCodes) {
  for (const char16_t* name : {u"QDV1:", u"qdv1:", u"COM0:"}) EXPECT_TRUE(host::IsDeviceName(name));
  for (const char16_t* name : {u"QDV1", u"QDV10:", u"QD1:", u"Q_V1:", u"\\QDV1:"}) EXPECT_FALSE(host::IsDeviceName(name));
  host::ImageOptions options;
  options.resetDevice = "ignore";  // this test process must not be reset
  TestImage image(options);
  SetLastError(kSentinel);
  HANDLE device = CreateFileW(u"qdv1:", 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kSentinel);

  DWORD returned = kSentinel;
  SetLastError(kSentinel);
  EXPECT_TRUE(DeviceIoControl(device, IOCTL_QDV_RESET, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(DeviceIoControl(device, 256, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  int overlapped = 0;
  EXPECT_FALSE(DeviceIoControl(device, IOCTL_QDV_RESET, nullptr, 0, nullptr, 0, &returned,
                               reinterpret_cast<LPOVERLAPPED>(&overlapped)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  const auto ioctls = JournalEvents("ioctl");
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[1].FieldsJson(), R"({"device":"QDV1:","code":256})");
  EXPECT_TRUE(JournalEvents("reset").empty());
  EXPECT_TRUE(CloseHandle(device));
}

TEST(TouchCalibrate, StoresTheImagesStringWhereNoneIsStored) {
  host::ImageOptions options;
  options.calibrationData = "1,2 3,4 5,6 7,8 9,10 ";
  TestImage image(options);
  SetLastError(kSentinel);
  EXPECT_TRUE(TouchCalibrate());
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(CalibrationData(), Bytes(u"1,2 3,4 5,6 7,8 9,10 "));  // REG_SZ with its terminator
  // A stored calibration stays.
  HKEY key = nullptr;
  const char16_t mine[] = u"9,9";
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\TOUCH", 0, 0, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, u"CalibrationData", 0, REG_SZ, reinterpret_cast<const BYTE*>(mine), sizeof mine), 0);
  RegCloseKey(key);
  EXPECT_TRUE(TouchCalibrate());
  EXPECT_EQ(CalibrationData(), Bytes(mine));
  EXPECT_EQ(JournalEvents("calibrate").at(1).FieldsJson(), R"({"result":1})");
}

TEST(TouchCalibrate, FailsAsTheImageOrAFaultRuleSays) {
  host::ImageOptions options;
  options.calibration = "fail";
  TestImage image(options);
  SetLastError(kSentinel);
  EXPECT_FALSE(TouchCalibrate());
  EXPECT_EQ(GetLastError(), 1223u);  // ERROR_CANCELLED
  EXPECT_EQ(JournalEvents("calibrate").at(0).FieldsJson(), R"({"result":0})");

  TestImage faulty;
  host::AddFaultRule({.api = "TouchCalibrate", .pattern = u"*", .error = "31"});
  EXPECT_FALSE(TouchCalibrate());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_TRUE(JournalEvents("calibrate").empty());
  EXPECT_EQ(CalibrationData(), "");

  // A rule on the driver's own registry calls: the driver takes back what it wrote, but
  // not that the rule fired; it fires once, and the next calibration stores the data.
  const std::pair<const char*, const char16_t*> driverCalls[] = {
      {"RegCreateKeyExW", u"HARDWARE\\DEVICEMAP\\TOUCH"},
      {"RegQueryValueExW", u"HARDWARE\\DEVICEMAP\\TOUCH:CalibrationData"},
      {"RegSetValueExW", u"*"},
  };
  for (const auto& [api, pattern] : driverCalls) {
    SCOPED_TRACE(api);
    TestImage driver;
    host::AddFaultRule({.api = api, .pattern = pattern, .error = "ERROR_ACCESS_DENIED", .times = 1});
    EXPECT_FALSE(TouchCalibrate());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REGISTRY_IO_FAILED));
    EXPECT_EQ(host::ListFaultRules().at(0).fired, 1);
    const auto faults = JournalEvents("fault");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Text("api"), host::FromUtf8(api));
    EXPECT_TRUE(TouchCalibrate());
    EXPECT_EQ(CalibrationData(), Bytes(host::FromUtf8(host::ImageOptions().calibrationData)));
    EXPECT_EQ(JournalEvents("fault").size(), 1u);
  }
}

TEST(Devices, SystemDriverNames) {
  TestImage image;
  HANDLE file = CreateFileW(u"\\f.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  auto open = [](const char16_t* name, DWORD access, DWORD share) {
    return [=] {
      HANDLE handle = INVALID_HANDLE_VALUE;
      const Answer answer = Ask([&] { return handle = CreateFileW(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr); });
      if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
      return answer;
    };
  };
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  auto control = [](HANDLE handle) {
    return [=] {
      DWORD returned = kSentinel;
      return Ask([&] { return DeviceIoControl(handle, IOCTL_QDV_RESET, nullptr, 0, nullptr, 0, &returned, nullptr); });
    };
  };
  const std::vector<Row> rows = {
      {"§7", "opened as the platform's notes open it", open(u"QDV1:", GENERIC_READ | GENERIC_WRITE, 0), Succeeds(1)},
      {"§7", "without the colon it is a file name of the root", open(u"QDV1", 0, 0), Fails(-1, ERROR_FILE_NOT_FOUND)},
      {"§7", "another instance of the driver", open(u"QDV2:", 0, 0), Fails(-1, ERROR_DEV_NOT_EXIST)},
      {"§7", "DeviceIoControl on a file",
       [file] {
         DWORD returned = kSentinel;
         return Ask([&] { return DeviceIoControl(file, 256, nullptr, 0, nullptr, 0, &returned, nullptr); },
                    [&] { return Dword(returned); });
       },
       Fails(FALSE, ERROR_INVALID_HANDLE, "untouched")},
      {"§7", "DeviceIoControl on NULL", control(nullptr), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§7", "DeviceIoControl on INVALID_HANDLE_VALUE", control(INVALID_HANDLE_VALUE), Fails(FALSE, ERROR_INVALID_HANDLE)},
      {"§7", "DeviceIoControl on a mutex", control(mutex), Fails(FALSE, ERROR_INVALID_HANDLE)},
  };
  CheckRows(rows);
  CloseHandle(mutex);
  CloseHandle(file);
}
