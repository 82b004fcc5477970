#include "tests/program/ProgramTest.h"

#include <gtest/gtest.h>

#include "environment/DeviceProfile.h"
#include "environment/StorageLocations.h"
#include "install/CabInventory.h"

void SetValue(const WCHAR* key, const WCHAR* name, DWORD type, const void* data, DWORD size) {
  WCHAR emptyClass[1] = {0};
  HKEY handle = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, emptyClass, 0, KEY_ALL_ACCESS, nullptr,
                                           &handle, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size));
  RegCloseKey(handle);
}

void SetString(const WCHAR* key, const WCHAR* name, std::u16string_view text) {
  std::u16string terminated(text);
  SetValue(key, name, REG_SZ, terminated.c_str(), static_cast<DWORD>((terminated.size() + 1) * sizeof(WCHAR)));
}

void SetDword(const WCHAR* key, const WCHAR* name, DWORD value) {
  SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

RawValue GetValue(const WCHAR* key, const WCHAR* name) {
  RawValue value;
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return value;
  DWORD size = 0;
  if (RegQueryValueExW(handle, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.bytes.resize(size);
    value.found = RegQueryValueExW(handle, name, nullptr, &value.type,
                                   reinterpret_cast<BYTE*>(value.bytes.data()), &size) == ERROR_SUCCESS;
  }
  RegCloseKey(handle);
  return value;
}

bool KeyExists(const WCHAR* key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

std::string Utf16Bytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

void ResetProgramGlobals() {
  g_languageIndex = LANG_ENGLISH;
  g_modelIndex = MODEL_NONE;
  g_installedCabCount = 0;
  memset(g_installedCabs, 0, sizeof(g_installedCabs));
  memset(g_flashFolderName, 0, sizeof(g_flashFolderName));
}
