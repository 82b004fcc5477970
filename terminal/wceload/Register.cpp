// The installation record: HKLM\SOFTWARE\Apps\<application>, which the terminal's
// programs read to learn what is installed and from which cabinet.
#include "terminal/wceload/Installer.h"

namespace wceload {

namespace {

constexpr std::u16string_view kAppsKey = u"SOFTWARE\\Apps\\";

LONG SetText(HKEY key, const WCHAR* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

}  // namespace

bool RegisterApplication(const std::u16string& application, const std::u16string& cabPath,
                         const std::u16string& folder, std::string* why) {
  const std::u16string keyPath = std::u16string(kAppsKey) + application;
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition);
  if (result != ERROR_SUCCESS) {
    *why = "cannot create the registry key (error " + std::to_string(result) + ")";
    return false;
  }
  // Instl last: a record that says installed is complete.
  const DWORD installed = 1;
  result = SetText(key, u"InstlDir", folder);
  if (result == ERROR_SUCCESS) result = SetText(key, u"CabFile", cabPath);
  if (result == ERROR_SUCCESS)
    result = RegSetValueExW(key, u"Instl", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&installed), sizeof installed);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    *why = "cannot write the registry (error " + std::to_string(result) + ")";
    if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str());
    return false;
  }
  return true;
}

}  // namespace wceload
