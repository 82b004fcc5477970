// Locale answers and text comparison against a terminal image.
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr WCHAR kGuard = 0x7777;

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

TEST(GetLocaleInfo, BufferSizes) {
  TestImage image;
  const std::u16string name = u"English (United States)";
  const int needed = static_cast<int>(name.size()) + 1;
  WCHAR buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  SetLastError(kSentinel);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, buffer, 0), needed);
  EXPECT_EQ(buffer[0], kGuard);  // a size query writes nothing
  EXPECT_EQ(GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, buffer, needed), needed);
  EXPECT_EQ(GetLastError(), kSentinel);
  EXPECT_EQ(std::u16string(buffer), name);
  EXPECT_EQ(buffer[needed], kGuard);

  // One short: as much as fits, without a terminator, nothing past the count.
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, buffer, needed - 1), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(buffer, needed - 1), name.substr(0, needed - 1));
  EXPECT_EQ(buffer[needed - 1], kGuard);
}

TEST(GetLocaleInfo, BadArguments) {
  TestImage image;
  WCHAR buffer[16];
  struct Case {
    LCID locale;
    LCTYPE type;
    WCHAR* buffer;
    int count;
    DWORD error;
  } cases[] = {
      {0x0409, LOCALE_SLANGUAGE, nullptr, 16, ERROR_INVALID_PARAMETER},
      {0x0409, LOCALE_SLANGUAGE, buffer, -1, ERROR_INVALID_PARAMETER},
      {0x1234, LOCALE_SLANGUAGE, buffer, 16, ERROR_INVALID_PARAMETER},  // no such locale
      {0x1234, 0x9999, buffer, 16, ERROR_INVALID_PARAMETER},            // the locale is checked first
      {0x0409, 0x9999, buffer, 0, ERROR_INVALID_FLAGS},
      {0x0409, LOCALE_SLANGUAGE | 0x20000000, buffer, 16, ERROR_INVALID_PARAMETER},  // LOCALE_RETURN_NUMBER
  };
  for (const auto& c : cases) {
    buffer[0] = kGuard;
    SetLastError(kSentinel);
    EXPECT_EQ(GetLocaleInfoW(c.locale, c.type, c.buffer, c.count), 0) << std::hex << c.locale << " " << c.type;
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.locale << " " << c.type;
    EXPECT_EQ(buffer[0], kGuard);
  }
}

TEST(GetLocaleInfo, AnswersPerLocale) {
  TestImage image;
  struct Case {
    LCID locale;
    LCTYPE type;
    const char* text;
  } cases[] = {
      {0x0409, LOCALE_ILANGUAGE, "0409"},       {0x0409, LOCALE_SABBREVLANGNAME, "ENU"},
      {0x0409, LOCALE_SNATIVELANGNAME, "English"}, {0x0409, LOCALE_IDEFAULTANSICODEPAGE, "1252"},
      {0x0411, LOCALE_SLANGUAGE | LOCALE_NOUSEROVERRIDE, "日本語"},
      {0x0411, LOCALE_SENGLANGUAGE, "Japanese"}, {0x0411, LOCALE_IDEFAULTANSICODEPAGE, "932"},
      {0x040c, LOCALE_ILANGUAGE, "040c"},       {0x040c, LOCALE_SLANGUAGE, "français"},
      {0x041d, LOCALE_SABBREVLANGNAME, "SWE"},  {0x0419, LOCALE_IDEFAULTANSICODEPAGE, "1251"},
      {0x0804, LOCALE_IDEFAULTANSICODEPAGE, "936"}, {0x0404, LOCALE_IDEFAULTANSICODEPAGE, "950"},
  };
  for (const auto& c : cases) EXPECT_EQ(LocaleText(c.locale, c.type), c.text) << std::hex << c.locale << " " << c.type;
}

TEST(GetLocaleInfo, DefaultsFollowTheRegistry) {
  host::ImageOptions japanese;
  japanese.language = "ja";
  TestImage image(japanese);
  EXPECT_EQ(LocaleText(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE), "日本語");
  EXPECT_EQ(LocaleText(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE), "932");
  EXPECT_EQ(LocaleText(LOCALE_NEUTRAL, LOCALE_ILANGUAGE), "0411");
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

TEST(CompareString, Results) {
  TestImage image;
  struct Case {
    DWORD flags;
    std::u16string a;
    int countA;
    std::u16string b;
    int countB;
    int result;
  } cases[] = {
      {0, u"Setup.exe", -1, u"Setup.exe", -1, CSTR_EQUAL},
      {0, u"Setup.exe", -1, u"SETUP.EXE", -1, CSTR_GREATER_THAN},  // equal apart from case: not equal
      {NORM_IGNORECASE, u"Setup.exe", -1, u"SETUP.EXE", -1, CSTR_EQUAL},
      {NORM_IGNORECASE, u"ÄÖÜ", -1, u"äöü", -1, CSTR_EQUAL},
      {NORM_IGNORECASE, u"straße", -1, u"STRASSE", -1, CSTR_EQUAL},  // full folding
      {NORM_IGNORECASE, u"ΟΔΟΣ", -1, u"οδος", -1, CSTR_EQUAL},       // final sigma
      {NORM_IGNORECASE, u"\U00010400", -1, u"\U00010428", -1, CSTR_EQUAL},
      {NORM_IGNORECASE, u"Ä", -1, u"A", -1, CSTR_GREATER_THAN},               // accents count
      {NORM_IGNORECASE, u"ABC", -1, u"ＡＢＣ", -1, CSTR_LESS_THAN},           // width counts
      {NORM_IGNORECASE, u"カタカナ", -1, u"かたかな", -1, CSTR_GREATER_THAN},  // kana type counts
      {NORM_IGNORECASE | SORT_STRINGSORT, u"日本語", -1, u"日本語", -1, CSTR_EQUAL},
      {0, u"apple", -1, u"Banana", -1, CSTR_LESS_THAN},  // letters before case
      {0, u"abcdef", 3, u"abcxyz", 3, CSTR_EQUAL},
      {0, u"abc", 2, u"abc", -1, CSTR_LESS_THAN},
      {0, u"abc", -7, u"abc", 3, CSTR_EQUAL},  // any negative count: up to the terminator
      {0, u"x", 0, u"y", 0, CSTR_EQUAL},
      {0, std::u16string(u"a\0b", 3), 3, std::u16string(u"a\0c", 3), 3, CSTR_LESS_THAN},
      {NORM_IGNORECASE, std::u16string(u"A\0B", 3), 3, std::u16string(u"a\0b", 3), 3, CSTR_EQUAL},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(Compare(c.flags, c.a, c.countA, c.b, c.countB), c.result) << host::ToUtf8(c.a) << " / " << host::ToUtf8(c.b);
    EXPECT_EQ(GetLastError(), kSentinel);
  }
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

TEST(CompareString, BadArguments) {
  TestImage image;
  struct Case {
    LCID locale;
    DWORD flags;
    const WCHAR* a;
    const WCHAR* b;
    DWORD error;
  } cases[] = {
      {LOCALE_SYSTEM_DEFAULT, 0, nullptr, u"a", ERROR_INVALID_PARAMETER},
      {LOCALE_SYSTEM_DEFAULT, 0x80, u"a", nullptr, ERROR_INVALID_PARAMETER},  // strings are checked first
      {LOCALE_SYSTEM_DEFAULT, 0x80, u"a", u"a", ERROR_INVALID_FLAGS},
      // Real flags the terminal does not implement fail rather than answer wrongly.
      {LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | NORM_IGNOREWIDTH, u"a", u"a", ERROR_INVALID_PARAMETER},
      {LOCALE_SYSTEM_DEFAULT, NORM_IGNORENONSPACE, u"a", u"a", ERROR_INVALID_PARAMETER},
      {0x1234, 0, u"a", u"a", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(CompareStringW(c.locale, c.flags, c.a, -1, c.b, -1), 0) << std::hex << c.flags;
    EXPECT_EQ(GetLastError(), c.error) << std::hex << c.flags;
  }
}
