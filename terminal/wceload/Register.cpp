// The setup file's registry values, and the installation record:
// HKLM\SOFTWARE\Apps\<application>, which the terminal's programs read to learn what is
// installed and from which cabinet. Both go through the CE registry API.
#include "terminal/wceload/Installer.h"

#include "platform/host/Terminal.h"

namespace wceload {

namespace {

constexpr std::u16string_view kAppsKey = u"SOFTWARE\\Apps\\";

LONG SetText(HKEY key, const WCHAR* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

std::string Failure(const char* what, const std::u16string& key, LONG error) {
  return std::string(what) + " HKEY_LOCAL_MACHINE\\" + host::ToUtf8(key) + " (error " + std::to_string(error) + ")";
}

// The topmost key of `path` that does not exist yet, which an undo deletes with all
// beneath it; "" when the whole path exists.
std::u16string FirstMissingKey(const std::u16string& path) {
  for (size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
    const std::u16string prefix = path.substr(0, end);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return prefix;
    RegCloseKey(key);
    if (end == std::u16string::npos) return u"";
  }
}

// Writes one value unless it has the no-clobber flag and exists; `written` says which.
bool WriteValue(const InstallValue& value, Undo* undo, bool* written, std::string* why) {
  const std::u16string missing = FirstMissingKey(value.key);
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, value.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                &disposition);
  if (result != ERROR_SUCCESS) {
    *why = Failure("cannot create the registry key", value.key, result);
    return false;
  }
  if (disposition == REG_CREATED_NEW_KEY && !missing.empty()) undo->CreatedKey(missing);
  const bool exists = RegQueryValueExW(key, value.name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  *written = !(exists && value.noClobber);
  if (*written) {
    result = RegSetValueExW(key, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                            static_cast<DWORD>(value.data.size()));
    if (result == ERROR_SUCCESS && !exists && disposition != REG_CREATED_NEW_KEY)
      undo->CreatedValue(value.key, value.name);
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    *why = Failure("cannot write a value of", value.key, result);
    return false;
  }
  return true;
}

}  // namespace

bool WriteValues(const InstallPlan& plan, const std::u16string& cabPath, Undo* undo, std::string* why) {
  for (const auto& skipped : plan.skipped) {
    ReportLine(cabPath, "skipped the value \"" + host::ToUtf8(skipped.name) + "\" of " + host::ToUtf8(skipped.root) +
                            "\\" + host::ToUtf8(skipped.key) + ": the terminal keeps only HKEY_LOCAL_MACHINE");
    host::Journal("installer-skipped",
                  {{"cab", cabPath}, {"root", skipped.root}, {"key", skipped.key}, {"value", skipped.name}});
  }
  for (const auto& value : plan.values) {
    bool written = false;
    if (!WriteValue(value, undo, &written, why)) return false;
    if (written) {
      host::Journal("installer-registry", {{"cab", cabPath}, {"key", value.key}, {"value", value.name}});
    } else {
      ReportLine(cabPath, "kept the value \"" + host::ToUtf8(value.name) + "\" of HKEY_LOCAL_MACHINE\\" +
                              host::ToUtf8(value.key) + ": its flags do not overwrite an existing value");
    }
  }
  return true;
}

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
