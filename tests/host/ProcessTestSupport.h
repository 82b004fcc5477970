// What the process, sync and device tests share: the probe program in an image and
// the values it records.
#ifndef KORVA_TESTS_HOST_PROCESSTESTSUPPORT_H
#define KORVA_TESTS_HOST_PROCESSTESTSUPPORT_H

#include "platform/host/Image.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace process_test {

// Copies the probe into the image; the host's execute bit only if `executable`.
inline void InstallProbe(const TestImage& image, const std::string& relative = "Windows/probe.exe",
                         bool executable = false) {
  namespace fs = std::filesystem;
  fs::copy_file(PROCESS_PROBE_PATH, image.FsPath(relative), fs::copy_options::overwrite_existing);
  fs::permissions(image.FsPath(relative), executable ? fs::perms(0755) : fs::perms(0644));
}

// A value the probe recorded under HKLM\ProcessTest, as raw bytes; "" when absent.
inline std::string Recorded(const char16_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"ProcessTest", 0, 0, &key) != ERROR_SUCCESS) return "";
  char data[1024];
  DWORD size = sizeof data;
  const LONG result = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS ? std::string(data, size) : "";
}

inline std::string Bytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(char16_t));
}

// Polls for a DWORD the probe records, for at most ten real seconds; kSentinel if none.
inline DWORD AwaitDword(const char16_t* name) {
  for (int i = 0; i < 2000; ++i) {
    const std::string bytes = Recorded(name);
    if (bytes.size() == sizeof(DWORD)) return *reinterpret_cast<const DWORD*>(bytes.data());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return kSentinel;
}

inline bool StartProbe(const char16_t* commandLine, PROCESS_INFORMATION* info,
                       const char16_t* image = u"\\Windows\\probe.exe") {
  return CreateProcessW(image, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, info);
}

// Waits for a started program (at most 20 real seconds whatever the time scale), gives
// its exit code and closes both handles.
inline DWORD Finish(PROCESS_INFORMATION& info) {
  EXPECT_EQ(WaitForSingleObject(info.hProcess, static_cast<DWORD>(20000 / host::TimeScale())), WAIT_OBJECT_0);
  DWORD code = kSentinel;
  EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return code;
}

}  // namespace process_test

#endif  // KORVA_TESTS_HOST_PROCESSTESTSUPPORT_H
