// The setup file's registry values, of any root, and the installation record:
// HKLM\SOFTWARE\Apps\<application>, which the terminal's programs read to learn what is
// installed and from which cabinet. Both go through the CE registry API.
#include "terminal/wceload/Installer.h"

#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

namespace wceload {

namespace {

constexpr std::u16string_view kAppsKey = u"SOFTWARE\\Apps\\";

LONG SetText(HKEY key, const WCHAR* name, const std::u16string& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// "HKEY_CURRENT_USER\Software\X", for the lines people read.
std::string KeyName(host::RegistryRoot root, const std::u16string& key) {
  return host::ToUtf8(host::RegistryRootName(root)) + (key.empty() ? "" : "\\" + host::ToUtf8(key));
}

std::string Failure(const char* what, const InstallValue& value, LONG error) {
  return std::string(what) + " " + KeyName(value.root, value.key) + Because(static_cast<DWORD>(error));
}

// The topmost key of `path` that does not exist yet, which an undo deletes with all
// beneath it; "" when the whole path exists.
std::u16string FirstMissingKey(HKEY root, const std::u16string& path) {
  for (size_t end = path.find(u'\\');; end = path.find(u'\\', end + 1)) {
    const std::u16string prefix = path.substr(0, end);
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, prefix.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return prefix;
    RegCloseKey(key);
    if (end == std::u16string::npos) return u"";
  }
}

// Writes one value unless it has the no-clobber flag and exists; `written` says which.
bool WriteValue(const InstallValue& value, Undo* undo, bool* written, std::string* why) {
  const HKEY root = RootHandle(value.root);
  const std::u16string missing = FirstMissingKey(root, value.key);
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExW(root, value.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (result != ERROR_SUCCESS) {
    *why = Failure("cannot create the registry key", value, result);
    return false;
  }
  if (disposition == REG_CREATED_NEW_KEY && !missing.empty()) undo->CreatedKey({value.root, missing});
  const bool exists = RegQueryValueExW(key, value.name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  *written = !(exists && value.noClobber);
  if (*written) {
    result = RegSetValueExW(key, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                            static_cast<DWORD>(value.data.size()));
    if (result == ERROR_SUCCESS && !exists && disposition != REG_CREATED_NEW_KEY)
      undo->CreatedValue({value.root, value.key}, value.name);
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    *why = Failure("cannot write a value of", value, result);
    return false;
  }
  return true;
}

}  // namespace

HKEY RootHandle(host::RegistryRoot root) {
  switch (root) {
    case host::RegistryRoot::ClassesRoot:
      return HKEY_CLASSES_ROOT;
    case host::RegistryRoot::CurrentUser:
      return HKEY_CURRENT_USER;
    case host::RegistryRoot::Users:
      return HKEY_USERS;
    case host::RegistryRoot::LocalMachine:
      break;
  }
  return HKEY_LOCAL_MACHINE;
}

bool WriteValues(const InstallPlan& plan, const std::u16string& cabPath, Undo* undo, std::string* why) {
  for (const auto& value : plan.values) {
    bool written = false;
    if (!WriteValue(value, undo, &written, why)) return false;
    if (written) {
      Record(cabPath, "installer-registry",
             {{"cab", cabPath},
              {"root", std::u16string(host::RegistryRootName(value.root))},
              {"key", value.key},
              {"value", value.name}});
    } else {
      ReportLine(cabPath, "kept the value \"" + host::ToUtf8(value.name) + "\" of " + KeyName(value.root, value.key) +
                              ": its flags do not overwrite an existing value");
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
    *why = "cannot create the registry key" + Because(static_cast<DWORD>(result));
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
    *why = "cannot write the registry" + Because(static_cast<DWORD>(result));
    if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath.c_str());
    return false;
  }
  return true;
}

}  // namespace wceload
