// A small program of the terminal that the end-to-end tests run through termsim to
// make it do one thing. Its whole command line is one of:
//   exit N           ends with code N
//   reset            asks the system driver for a reset (ends with 3 if it returns)
//   write CEPATH     creates CEPATH and writes "probe" into it; ends with 0 or the error
//   echo TEXT        prints TEXT (UTF-8) and the CE path it was started as, ends with 0
//   hold S [CEPATH]  owns the mutex Setup owns (ends with 4 when another holds it),
//                    starts CEPATH, waits S seconds, ends with 0
#include "platform/coredll.h"
#include "platform/host/Terminal.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr DWORD kResetControlCode = 257;

int Reset() {
  HANDLE device = CreateFileW(u"QDV1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD returned = 0;
  DeviceIoControl(device, kResetControlCode, nullptr, 0, nullptr, 0, &returned, nullptr);
  CloseHandle(device);
  return 3;
}

int Write(const std::u16string& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD written = 0;
  const BOOL ok = WriteFile(file, "probe", 5, &written, nullptr);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  return static_cast<int>(error);
}

int Echo(const std::u16string& text) {
  WCHAR module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::printf("[%s] [%s]\n", host::ToUtf8(text).c_str(), host::ToUtf8(module).c_str());
  return 0;
}

int Hold(const std::u16string& rest) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"Setup");
  if (mutex == nullptr) return static_cast<int>(GetLastError());
  if (GetLastError() == ERROR_ALREADY_EXISTS) return 4;
  const size_t blank = rest.find(u' ');
  if (blank != std::u16string::npos) {
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(rest.substr(blank + 1).c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                        &started))
      return static_cast<int>(GetLastError());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
  Sleep(static_cast<DWORD>(std::stoi(host::ToUtf8(rest.substr(0, blank)))) * 1000);
  ReleaseMutex(mutex);
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  const std::u16string line = commandLine;
  const size_t blank = line.find(u' ');
  const std::u16string verb = line.substr(0, blank);
  const std::u16string rest = blank == std::u16string::npos ? u"" : line.substr(blank + 1);
  if (verb == u"exit") return std::stoi(host::ToUtf8(rest));
  if (verb == u"reset") return Reset();
  if (verb == u"write") return Write(rest);
  if (verb == u"echo") return Echo(rest);
  if (verb == u"hold") return Hold(rest);
  std::fprintf(stderr, "probe: unknown command line\n");
  return 99;
}
