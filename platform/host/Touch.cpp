// The touch panel's calibration routine. Nobody touches the emulated screen: the
// image's "calibration" setting says whether calibration succeeds, and on success the
// driver stores the image's "calibration_data" where the registry holds none yet.
#include "platform/host/HostInternal.h"

namespace host {

namespace {

constexpr char16_t kTouchKey[] = u"HARDWARE\\DEVICEMAP\\TOUCH";
constexpr char16_t kCalibrationValue[] = u"CalibrationData";
// What a user who leaves the calibration screen unfinished gets.
constexpr DWORD kErrorCancelled = 1223;  // ERROR_CANCELLED

// Stores the calibration string unless one is there. False on a registry failure.
bool StoreCalibration() {
  Transaction transaction;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTouchKey, 0, nullptr, 0, 0, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  LONG result = RegQueryValueExW(key, kCalibrationValue, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_FILE_NOT_FOUND) {
    const std::u16string data = FromUtf8(Setting("calibration_data"));
    result = RegSetValueExW(key, kCalibrationValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  transaction.Commit();
  return true;
}

}  // namespace

}  // namespace host

BOOL TouchCalibrate(void) {
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("TouchCalibrate", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    DWORD error = ERROR_SUCCESS;
    if (host::Setting("calibration") != "ok") {
      error = host::kErrorCancelled;
    } else if (!host::StoreCalibration()) {
      error = ERROR_REGISTRY_IO_FAILED;
    }
    host::Journal("calibrate", {{"result", int64_t{error == ERROR_SUCCESS ? 1 : 0}}});
    return error == ERROR_SUCCESS ? TRUE : host::Fail(error, FALSE);
  });
}
