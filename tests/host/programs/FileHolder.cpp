// A second process of a terminal for the file tests: it attaches to the image, does one
// file operation, reports on descriptor 3 and, for a hold, keeps the file open until
// descriptor 4 closes. A power cut inside the operation ends it without a report.
//
//   fileholder IMAGE hold-both CEPATH    opens CEPATH to read and write, sharing nothing
//   fileholder IMAGE hold-read CEPATH    opens CEPATH to read, sharing read
//   fileholder IMAGE write-half CEPATH   creates CEPATH and writes ten bytes
//   fileholder IMAGE copy-half CEPATH    copies \src.bin to CEPATH
//   fileholder IMAGE module -            its CE path, as GetModuleFileNameW gives it
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <unistd.h>

#include <string>

namespace {

void Say(const std::string& text) { (void)!::write(3, (text + "\n").data(), text.size() + 1); }

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileW(host::FromUtf8(path).c_str(), access, share, nullptr, disposition, 0, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  try {
    host::AttachImage(argv[1]);
  } catch (const host::HostError&) {
    return 2;
  }
  const std::string role = argv[2], path = argv[3];
  if (role == "hold-both" || role == "hold-read") {
    const bool read = role == "hold-read";
    HANDLE file = Open(path, read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, read ? FILE_SHARE_READ : 0, OPEN_EXISTING);
    Say(file == INVALID_HANDLE_VALUE ? "failed " + std::to_string(GetLastError()) : "open");
    char c;
    (void)!::read(4, &c, 1);
    CloseHandle(file);
  } else if (role == "write-half") {
    HANDLE file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    DWORD written = 0;
    Say("returned " + std::to_string(WriteFile(file, "0123456789", 10, &written, nullptr)));
  } else if (role == "copy-half") {
    Say("returned " + std::to_string(CopyFileW(u"\\src.bin", host::FromUtf8(path).c_str(), FALSE)));
  } else if (role == "module") {
    WCHAR buffer[MAX_PATH];
    SetLastError(kSentinel);  // a success must leave it alone
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    Say(std::to_string(length) + " " + std::to_string(GetLastError()) + " " + host::ToUtf8(buffer));
  }
  host::DetachImage();
  return 0;
}
