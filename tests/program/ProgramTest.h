// Helpers for the program's unit tests: arranging and inspecting a terminal image with
// the raw API, so that the operations under test are not used to check themselves.
#ifndef KORVA_TESTS_PROGRAM_PROGRAMTEST_H
#define KORVA_TESTS_PROGRAM_PROGRAMTEST_H

#include <string>
#include <string_view>

#include "platform/coredll.h"
#include "tests/support/TestImage.h"

// Stores a value under HKEY_LOCAL_MACHINE\key, creating the key.
void SetValue(const WCHAR* key, const WCHAR* name, DWORD type, const void* data, DWORD size);
// A REG_SZ with its terminator.
void SetString(const WCHAR* key, const WCHAR* name, std::u16string_view text);
void SetDword(const WCHAR* key, const WCHAR* name, DWORD value);

struct RawValue {
  bool found = false;
  DWORD type = REG_NONE;
  std::string bytes;
};
RawValue GetValue(const WCHAR* key, const WCHAR* name);
bool KeyExists(const WCHAR* key);

// The UTF-16LE bytes of text, as the terminal stores it in files.
std::string Utf16Bytes(std::u16string_view text);

// Puts the program's process-wide state back to its start-up values.
void ResetProgramGlobals();

#endif  // KORVA_TESTS_PROGRAM_PROGRAMTEST_H
