// An installer for the tests, put at \Windows\wceload.exe: it tells what it found and
// ends as told. It appends one line to \FlashDisk\installer-seen.txt,
//   Reset=R fAskDest=F cab=PATH
// with the two flags' DWORD values as they stand while it runs ("-" when missing) and
// its command line, and ends with the number that the cabinet file holds as text
// ("0", "1"...), or 90 when the cabinet cannot be read.
#include "platform/coredll.h"

#include <string>

namespace {

const WCHAR kReportPath[] = u"\\FlashDisk\\installer-seen.txt";
constexpr int kUnreadableCabinet = 90;

std::string Flag(const WCHAR* key, const WCHAR* name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return "-";
  DWORD value = 0;
  DWORD size = sizeof value;
  DWORD type = REG_NONE;
  const LONG result = RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS || type != REG_DWORD) return "-";
  return std::to_string(value);
}

std::string Utf8(const WCHAR* text) {
  std::string out;
  for (; *text; ++text) {
    const char16_t c = *text;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += '?';  // the tests name their cabinets in ASCII
    }
  }
  return out;
}

void Report(const std::string& line) {
  HANDLE file = CreateFileW(kReportPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  SetFilePointer(file, 0, nullptr, FILE_END);
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

int ExitCodeFromCabinet(const WCHAR* cabPath) {
  HANDLE file = CreateFileW(cabPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return kUnreadableCabinet;
  char text[16] = {};
  DWORD read = 0;
  const BOOL ok = ReadFile(file, text, sizeof text - 1, &read, nullptr);
  CloseHandle(file);
  if (!ok || read == 0) return kUnreadableCabinet;
  return std::stoi(std::string(text, read));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int) {
  Report("Reset=" + Flag(u"SOFTWARE\\KORVA\\Service Pack", u"Reset") +
         " fAskDest=" + Flag(u"SOFTWARE\\Apps\\Microsoft Application Installer", u"fAskDest") +
         " cab=" + Utf8(commandLine) + "\n");
  return ExitCodeFromCabinet(commandLine);
}
