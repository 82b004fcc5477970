// The CAB installer stand-in for desktop runs under Wine, at C:\Windows\wceload.exe:
// it reads nothing of the cabinet, appends its command line (the cabinet's path) to
// wceload.log beside itself, registers SOFTWARE\Apps\<base name> with Instl = 1 and
// CabFile = the path as given, and exits 0; a cabinet whose name starts with "Fail"
// registers nothing and exits 1.
#include <windows.h>

#include <string>

namespace {

// The whole command line: Setup passes the cabinet's path alone, without a program
// name in front, as CE wants it.
std::wstring CabinetPath() { return GetCommandLineW(); }

std::wstring BaseName(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

void AppendToLog(const std::wstring& line) {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring logPath = module;
  logPath.replace(logPath.size() - 3, 3, L"log");
  const std::wstring text = line + L"\n";
  char utf8[4 * MAX_PATH];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), utf8, sizeof(utf8), nullptr, nullptr);
  HANDLE log = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, utf8, (DWORD)bytes, &written, nullptr);
  CloseHandle(log);
}

bool Register(const std::wstring& path) {
  const std::wstring keyPath = L"SOFTWARE\\Apps\\" + BaseName(path);
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const DWORD installed = 1;
  const bool ok =
      RegSetValueExW(key, L"Instl", 0, REG_DWORD, (const BYTE*)&installed, sizeof(installed)) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"CabFile", 0, REG_SZ, (const BYTE*)path.c_str(), (DWORD)((path.size() + 1) * sizeof(wchar_t))) ==
          ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const std::wstring path = CabinetPath();
  AppendToLog(path);
  if (BaseName(path).compare(0, 4, L"Fail") == 0) return 1;
  return Register(path) ? 0 : 2;
}
