// The default locale as the registry sets it, and text comparison against a model
// of its order; the single answers of each call stand in the conformance tables.
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// The whole answer, or "error N"; a success must leave the last error alone.
std::string LocaleText(LCID locale, LCTYPE type) {
  WCHAR buffer[128];
  SetLastError(kSentinel);
  const int length = GetLocaleInfoW(locale, type, buffer, 128);
  if (length == 0) return "error " + std::to_string(GetLastError());
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(static_cast<size_t>(length), std::u16string(buffer).size() + 1);
  return host::ToUtf8(buffer);
}

void SetDefaultLcid(DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"nls", 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type == REG_NONE ? RegDeleteValueW(key, u"DefaultLCID")
                             : RegSetValueExW(key, u"DefaultLCID", 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

int Compare(DWORD flags, std::u16string_view a, int countA, std::u16string_view b, int countB) {
  return CompareStringW(LOCALE_SYSTEM_DEFAULT, flags, a.data(), countA, b.data(), countB);
}

}  // namespace

TEST(GetLocaleInfo, DefaultsFollowTheRegistry) {
  host::ImageOptions japanese;
  japanese.language = "ja";
  TestImage image(japanese);
  const DWORD french = 0x040c, unknown = 0x1234;
  SetDefaultLcid(REG_DWORD, &french, sizeof french);  // read anew by each call
  EXPECT_EQ(LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE), "français");
  EXPECT_EQ(LocaleText(0x0411, LOCALE_SLANGUAGE), "日本語");
  // Of another type, naming no locale, or absent: 0x0409.
  SetDefaultLcid(REG_SZ, u"0411", 10);
  EXPECT_EQ(LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_ILANGUAGE), "0409");
  SetDefaultLcid(REG_DWORD, &unknown, sizeof unknown);
  EXPECT_EQ(LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_ILANGUAGE), "0409");
  SetDefaultLcid(REG_NONE, nullptr, 0);
  EXPECT_EQ(LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE), "English (United States)");
}

// Against the model: equal exactly when equal (or equal once case-folded), and an
// order that mirrors and chains.
TEST(CompareString, OrderIsConsistentAndEqualityIsCaseFolding) {
  TestImage image;
  const std::vector<std::u16string> words = {u"",  u"a",  u"A",      u"ab",      u"aB",  u"b",          u"straße",
                                             u"STRASSE", u"Ä", u"ä", u"日本語", u"ｶﾅ", u"\U00010400", u"\U00010428"};
  for (DWORD flags : {DWORD{0}, DWORD{NORM_IGNORECASE}}) {
    for (const auto& a : words) {
      for (const auto& b : words) {
        const int ab = Compare(flags, a, -1, b, -1);
        EXPECT_EQ(ab + Compare(flags, b, -1, a, -1), 2 * CSTR_EQUAL) << host::ToUtf8(a) << " / " << host::ToUtf8(b);
        EXPECT_EQ(ab == CSTR_EQUAL, flags ? host::FoldCase(a) == host::FoldCase(b) : a == b) << host::ToUtf8(a);
        for (const auto& c : words) {
          if (ab == CSTR_LESS_THAN && Compare(flags, b, -1, c, -1) == CSTR_LESS_THAN) {
            EXPECT_EQ(Compare(flags, a, -1, c, -1), CSTR_LESS_THAN);
          }
        }
      }
    }
  }
}
