// Stream devices: the terminal has one, "QDV1:", its maker's system driver, whose
// control code 257 resets the terminal. The image's "reset_device" setting says what
// the driver does: "restart" (reset), "ignore" (answer without a reset) or "absent"
// (no such device).
#include "platform/host/HostInternal.h"

namespace host {

namespace {

constexpr char16_t kSystemDriver[] = u"QDV1:";

class Device final : public HandleObject {
 public:
  explicit Device(std::u16string name) : name_(std::move(name)) {}
  HandleKind Kind() const override { return HandleKind::Device; }
  const std::u16string& name() const { return name_; }

 private:
  std::u16string name_;
};

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

}  // namespace

bool IsDeviceName(std::u16string_view name) {
  return name.size() == 5 && IsAsciiLetter(name[0]) && IsAsciiLetter(name[1]) && IsAsciiLetter(name[2]) &&
         name[3] >= u'0' && name[3] <= u'9' && name[4] == u':';
}

// NOTES: a device the terminal lacks fails with ERROR_DEV_NOT_EXIST; CE's answer is
// not documented (ERROR_FILE_NOT_FOUND is the other candidate).
HANDLE OpenDevice(std::u16string_view name) {
  return Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    if (!EqualsIgnoreCase(name, kSystemDriver) || Setting("reset_device") == "absent")
      return Fail(static_cast<DWORD>(ERROR_DEV_NOT_EXIST), INVALID_HANDLE_VALUE);
    return AddHandle(std::make_shared<Device>(kSystemDriver));
  });
}

}  // namespace host

// With "ignore" the driver accepts the reset code and returns TRUE without resetting,
// as a driver that leaves the reset to later would.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  (void)lpInBuffer, (void)nInBufferSize, (void)lpOutBuffer, (void)nOutBufferSize;
  auto device = host::FindHandleOf<host::Device>(hDevice, host::HandleKind::Device);
  if (!device) return host::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (lpOverlapped) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);  // CE has no overlapped I/O
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("DeviceIoControl", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    host::Journal("ioctl", {{"device", device->name()}, {"code", static_cast<int64_t>(dwIoControlCode)}});
    if (dwIoControlCode != IOCTL_QDV_RESET) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (host::Setting("reset_device") != "ignore") {
      host::Journal("reset", {});
      host::EndTerminalProcesses(false);
    }
    if (lpBytesReturned) *lpBytesReturned = 0;
    return TRUE;
  });
}
