// Locale answers, comparison and the wide string calls: the answers of each call, row
// by row (counts that include the terminator, sizes asked with no buffer, the answers
// of each locale, the 1024-character cap of wsprintfW, Microsoft's %s and %S, 16-bit
// units compared unsigned), the default locale as the registry sets it, comparison
// against a model of its order, and the glob matching of the terminal's names.

#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace conformance;

namespace {

// Sign of a comparison, so that rows do not depend on the magnitude returned.
int Sign(int value) { return (value > 0) - (value < 0); }

class TextConformance : public ::testing::Test {
 protected:
  TestImage image_;
};

}  // namespace

TEST_F(TextConformance, LocaleInfoSizesAndArguments) {
  auto info = [](LCID locale, LCTYPE type, bool withBuffer, int count) {
    return [=] {
      WCHAR buffer[32];
      std::fill(std::begin(buffer), std::end(buffer), kGuard);
      return Ask([&] { return GetLocaleInfoW(locale, type, withBuffer ? buffer : nullptr, count); },
                 [&] { return Units(buffer, std::clamp(count + 1, 1, 8)); });
    };
  };
  const std::vector<Row> rows = {
      {"§5.1", "the size alone, with no buffer", info(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, false, 0),
       Succeeds(24, "#")},
      {"§5.1", "the size alone, with a buffer: nothing written", info(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, true, 0),
       Succeeds(24, "#")},
      {"§5.1", "the installer's code page query: 8 characters", info(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, true, 8),
       Succeeds(5, "1252\\0###")},
      {"§5.1", "exactly the count with the terminator", info(0x0409, LOCALE_SABBREVLANGNAME, true, 4), Succeeds(4, "ENU\\0#")},
      {"§5.1", "one character short: what fits, no terminator", info(0x0409, LOCALE_SABBREVLANGNAME, true, 3),
       Fails(0, ERROR_INSUFFICIENT_BUFFER, "ENU#")},
      {"§5.1", "room for one character", info(0x0409, LOCALE_ILANGUAGE, true, 1), Fails(0, ERROR_INSUFFICIENT_BUFFER, "0#")},
      {"§5.1", "an unknown type asked for its size", info(0x0409, 0x7777, false, 0), Fails(0, ERROR_INVALID_FLAGS, "#")},
      {"§5.1", "a count with no buffer", info(0x0409, LOCALE_SLANGUAGE, false, 16),
       Fails(0, ERROR_INVALID_PARAMETER, "########")},
      {"§5.1", "a negative count", info(0x0409, LOCALE_SLANGUAGE, true, -1), Fails(0, ERROR_INVALID_PARAMETER, "#")},
      {"§5.1", "no such locale", info(0x1234, LOCALE_SLANGUAGE, true, 16), Fails(0, ERROR_INVALID_PARAMETER, "########")},
      {"§5.1", "the locale is checked before the type", info(0x1234, 0x7777, true, 16),
       Fails(0, ERROR_INVALID_PARAMETER, "########")},
      {"§5.1", "LOCALE_RETURN_NUMBER is not the terminal's", info(0x0409, LOCALE_SLANGUAGE | 0x20000000, true, 16),
       Fails(0, ERROR_INVALID_PARAMETER, "########")},
      // NOTES: CE documents nothing of language ids alone; the desktop's answer is kept.
      {"§5.1", "English alone is English (United States)", info(0x0009, LOCALE_SLANGUAGE, true, 31),
       Succeeds(24, "English ")},
      {"§5.1", "Japanese alone is Japanese (Japan)", info(0x0011, LOCALE_SLANGUAGE, true, 31), Succeeds(4, "日本語\\0####")},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, LocaleInfoPerLocale) {
  auto text = [](LCID locale, LCTYPE type) {
    return [=] {
      WCHAR buffer[64] = {};
      return Ask([&] { return GetLocaleInfoW(locale, type, buffer, 64); }, [&] { return host::ToUtf8(buffer); });
    };
  };
  const std::vector<Row> rows = {
      {"§5.1", "English: the language id", text(0x0409, LOCALE_ILANGUAGE), Succeeds(5, "0409")},
      {"§5.1", "English: the abbreviation", text(0x0409, LOCALE_SABBREVLANGNAME), Succeeds(4, "ENU")},
      {"§5.1", "English: the native name", text(0x0409, LOCALE_SNATIVELANGNAME), Succeeds(8, "English")},
      {"§5.1", "English: the code page", text(0x0409, LOCALE_IDEFAULTANSICODEPAGE), Succeeds(5, "1252")},
      {"§5.1", "Japanese without user overrides", text(0x0411, LOCALE_SLANGUAGE | LOCALE_NOUSEROVERRIDE),
       Succeeds(4, "日本語")},
      {"§5.1", "Japanese: the English name", text(0x0411, LOCALE_SENGLANGUAGE), Succeeds(9, "Japanese")},
      {"§5.1", "Japanese: the code page", text(0x0411, LOCALE_IDEFAULTANSICODEPAGE), Succeeds(4, "932")},
      {"§5.1", "French: the language id in lower case hex", text(0x040c, LOCALE_ILANGUAGE), Succeeds(5, "040c")},
      {"§5.1", "French: the name", text(0x040c, LOCALE_SLANGUAGE), Succeeds(9, "français")},
      {"§5.1", "Swedish: the abbreviation", text(0x041d, LOCALE_SABBREVLANGNAME), Succeeds(4, "SWE")},
      {"§5.1", "Russian: the code page", text(0x0419, LOCALE_IDEFAULTANSICODEPAGE), Succeeds(5, "1251")},
      {"§5.1", "Simplified Chinese: the code page", text(0x0804, LOCALE_IDEFAULTANSICODEPAGE), Succeeds(4, "936")},
      {"§5.1", "Traditional Chinese: the code page", text(0x0404, LOCALE_IDEFAULTANSICODEPAGE), Succeeds(4, "950")},
  };
  CheckRows(rows);
}

TEST(TextConformanceJapanese, LocaleInfoOfTheJapaneseImage) {
  host::ImageOptions japanese;
  japanese.language = "ja";
  TestImage image(japanese);
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  const std::vector<Row> rows = {
      {"§5.1", "the size of 日本語", [] { return Ask([] { return GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, nullptr, 0); }); },
       Succeeds(4)},
      {"§5.1", "日本語 as the program asks for it",
       [&buffer] {
         return Ask([&] { return GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, buffer, 4); },
                    [&] { return Units(buffer, 5); });
       },
       Succeeds(4, "日本語\\0#")},
      {"§5.4", "%C is a char of code page 932: 0xB1 is ｱ, a lead byte alone is none",
       [] {
         WCHAR text[8];
         return Ask([&] { return wsprintfW(text, u"%C%C", 0xB1, 0x82); }, [&] { return Units(text, 3); });
       },
       Succeeds(2, "ｱ?\\0")},
      {"§5.1", "the user default is the system's", [] { return Ask([] { return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILANGUAGE, nullptr, 0); }); },
       Succeeds(5)},
      {"§5.1", "the user default's code page",
       [] {
         WCHAR text[8] = {};
         return Ask([&] { return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, 8); },
                    [&] { return host::ToUtf8(text); });
       },
       Succeeds(4, "932")},
      {"§5.1", "the neutral locale is the system's",
       [] {
         WCHAR text[8] = {};
         return Ask([&] { return GetLocaleInfoW(LOCALE_NEUTRAL, LOCALE_ILANGUAGE, text, 8); }, [&] { return host::ToUtf8(text); });
       },
       Succeeds(5, "0411")},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, CompareStringLocalesFlagsAndCounts) {
  auto compare = [](LCID locale, DWORD flags, const char16_t* a, int countA, const char16_t* b, int countB) {
    return [=] { return Ask([&] { return CompareStringW(locale, flags, a, countA, b, countB); }); };
  };
  const std::vector<Row> rows = {
      {"§5.3", "as Setup compares names", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"SP\\Tool.CAB", -1, u"sp\\tool.cab", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "the user default locale", compare(LOCALE_USER_DEFAULT, NORM_IGNORECASE, u"a", -1, u"A", -1), Succeeds(CSTR_EQUAL)},
      {"§5.3", "the neutral locale", compare(LOCALE_NEUTRAL, 0, u"a", -1, u"b", -1), Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "an explicit Japanese locale", compare(0x0411, NORM_IGNORECASE, u"ＡＢＣ", -1, u"ａｂｃ", -1), Succeeds(CSTR_EQUAL)},
      {"§5.3", "the string sort alone", compare(LOCALE_SYSTEM_DEFAULT, SORT_STRINGSORT, u"ab", -1, u"ab", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "-1 and the exact count are the same string", compare(LOCALE_SYSTEM_DEFAULT, 0, u"Setup", -1, u"Setup", 5),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "a count shorter than the text", compare(LOCALE_SYSTEM_DEFAULT, 0, u"Setup.exe", 5, u"Setup", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "no characters against the empty string", compare(LOCALE_SYSTEM_DEFAULT, 0, u"x", 0, u"", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "no characters against one", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"x", 0, u"x", 1),
       Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "case counts without NORM_IGNORECASE", compare(LOCALE_SYSTEM_DEFAULT, 0, u"Setup.exe", -1, u"SETUP.EXE", -1),
       Succeeds(CSTR_GREATER_THAN)},
      {"§5.3", "letters before case", compare(LOCALE_SYSTEM_DEFAULT, 0, u"apple", -1, u"Banana", -1), Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "umlauts fold", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"ÄÖÜ", -1, u"äöü", -1), Succeeds(CSTR_EQUAL)},
      {"§5.3", "full folding: ß is ss", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"straße", -1, u"STRASSE", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "the final sigma folds", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"ΟΔΟΣ", -1, u"οδος", -1),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "letters outside the BMP fold",
       compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"\U00010400", -1, u"\U00010428", -1), Succeeds(CSTR_EQUAL)},
      {"§5.3", "accents count", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"Ä", -1, u"A", -1),
       Succeeds(CSTR_GREATER_THAN)},
      {"§5.3", "width counts", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"ABC", -1, u"ＡＢＣ", -1),
       Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "kana type counts", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"カタカナ", -1, u"かたかな", -1),
       Succeeds(CSTR_GREATER_THAN)},
      {"§5.3", "the string sort with case folding",
       compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, u"日本語", -1, u"日本語", -1), Succeeds(CSTR_EQUAL)},
      {"§5.3", "equal counts of longer texts", compare(LOCALE_SYSTEM_DEFAULT, 0, u"abcdef", 3, u"abcxyz", 3),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "a prefix is less", compare(LOCALE_SYSTEM_DEFAULT, 0, u"abc", 2, u"abc", -1), Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "any negative count: up to the terminator", compare(LOCALE_SYSTEM_DEFAULT, 0, u"abc", -7, u"abc", 3),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "no characters on both sides", compare(LOCALE_SYSTEM_DEFAULT, 0, u"x", 0, u"y", 0), Succeeds(CSTR_EQUAL)},
      {"§5.3", "counted text goes past a NUL", compare(LOCALE_SYSTEM_DEFAULT, 0, u"a\0b", 3, u"a\0c", 3),
       Succeeds(CSTR_LESS_THAN)},
      {"§5.3", "and folds past it", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, u"A\0B", 3, u"a\0b", 3),
       Succeeds(CSTR_EQUAL)},
      {"§5.3", "a missing string, even of no characters", compare(LOCALE_SYSTEM_DEFAULT, 0, nullptr, 0, u"", 0),
       Fails(0, ERROR_INVALID_PARAMETER)},
      {"§5.3", "a missing first string", compare(LOCALE_SYSTEM_DEFAULT, 0, nullptr, -1, u"a", -1),
       Fails(0, ERROR_INVALID_PARAMETER)},
      {"§5.3", "the strings are checked before the flags", compare(LOCALE_SYSTEM_DEFAULT, 0x80, u"a", -1, nullptr, -1),
       Fails(0, ERROR_INVALID_PARAMETER)},
      {"§5.3", "a flag Windows does not define", compare(LOCALE_SYSTEM_DEFAULT, 0x80, u"a", -1, u"a", -1),
       Fails(0, ERROR_INVALID_FLAGS)},
      // Real flags the terminal does not implement fail rather than answer wrongly.
      {"§5.3", "NORM_IGNOREWIDTH", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE | NORM_IGNOREWIDTH, u"a", -1, u"a", -1),
       Fails(0, ERROR_INVALID_PARAMETER)},
      {"§5.3", "NORM_IGNORENONSPACE", compare(LOCALE_SYSTEM_DEFAULT, NORM_IGNORENONSPACE, u"a", -1, u"a", -1),
       Fails(0, ERROR_INVALID_PARAMETER)},
      {"§5.3", "no such locale", compare(0x1234, 0, u"a", -1, u"a", -1), Fails(0, ERROR_INVALID_PARAMETER)},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, WsprintfStopsAt1024Characters) {
  std::vector<WCHAR> buffer(1100);
  auto format = [&buffer](auto... args) {
    return [&buffer, args...] {
      std::fill(buffer.begin(), buffer.end(), kGuard);
      return Ask([&] { return wsprintfW(buffer.data(), args...); },
                 [&] {
                   const auto end = std::find(buffer.begin(), buffer.end(), u'\0');
                   return std::to_string(end - buffer.begin()) + " " + Units(&buffer[1022], 4);
                 });
    };
  };
  const std::u16string text1023(1023, u'x'), text1024(1024, u'x'), text5000(5000, u'y');
  const std::vector<Row> rows = {
      {"§5.4", "1023 characters fit", format(u"%s", text1023.c_str()), Succeeds(1023, "1023 x\\0##")},
      {"§5.4", "1024 characters: 1023 and the terminator", format(u"%s", text1024.c_str()), Succeeds(1023, "1023 x\\0##")},
      {"§5.4", "5000 characters of format text", format(text5000.c_str()), Succeeds(1023, "1023 y\\0##")},
      {"§5.4", "a width of 2000", format(u"%2000d", 7), Succeeds(1023, "1023  \\0##")},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, WideFormattingIsMicrosoftStyle) {
  auto format = [](auto... args) {
    return [args...] {
      WCHAR buffer[64];
      std::fill(std::begin(buffer), std::end(buffer), kGuard);
      return Ask([&] { return swprintf(buffer, args...); },
                 [&] {
                   const size_t length = std::find(std::begin(buffer), std::end(buffer), u'\0') - std::begin(buffer);
                   return Units(buffer, std::min<size_t>(length + 2, 64));
                 });
    };
  };
  const char narrow[] = "cab";
  const std::vector<Row> rows = {
      {"§5.5", "%s is a WCHAR string", format(u"[%s]", u"日本"), Succeeds(4, "[日本]\\0#")},
      {"§5.5", "%S is a char string", format(u"[%S]", narrow), Succeeds(5, "[cab]\\0#")},
      {"§5.4", "%ls wide, %hs narrow", format(u"%ls/%hs", u"w", narrow), Succeeds(5, "w/cab\\0#")},
      {"§5.4", "%c a WCHAR, %C a char", format(u"%c%C", u'語', 'z'), Succeeds(2, "語z\\0#")},
      {"§5.4", "%C and %hc go through code page 1252, %lc is wide", format(u"%C%hc%lc", 0x99, 0xE9, u'語'),
       Succeeds(3, "™é語\\0#")},
      {"§5.4", "%I32 and %I take their argument: the later ones stay in place",
       format(u"%I32x %Id %d", 0xBEEFu, -5, 7), Succeeds(9, "beef -5 7\\0#")},
      {"§5.4", "signed, unsigned, hex", format(u"%d %u %x %X", -5, -1, 0xBEEFu, 0xBEEFu),
       Succeeds(23, "-5 4294967295 beef BEEF\\0#")},
      {"§5.4", "flags and widths", format(u"%05d|%-4d|%#x|%.3d|%5.2s|", -42, 7, 255, 7, u"abc"),
       Succeeds(26, "-0042|7   |0xff|007|   ab|\\0#")},
      {"§5.4", "64-bit counts", format(u"%I64d %lld", -4294967296ll, 4294967296ll), Succeeds(22, "-4294967296 4294967296\\0#")},
      {"§5.4", "a percent sign and a type the platform does not know", format(u"100%% %q"), Succeeds(6, "100% q\\0#")},
      {"§5.4", "a null string", format(u"%s", static_cast<const WCHAR*>(nullptr)), Succeeds(6, "(null)\\0#")},
      {"§5.4", "wsprintfW as Setup joins a path",
       [] {
         WCHAR buffer[16];
         std::fill(std::begin(buffer), std::end(buffer), kGuard);
         return Ask([&] { return wsprintfW(buffer, u"%s\\%s", u"\\FlashDisk", u"a"); }, [&] { return Units(buffer, 14); });
       },
       Succeeds(12, "\\FlashDisk\\a\\0#")},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, BoundedFormattingReportsTheCut) {
  auto format = [](size_t count, const char16_t* text) {
    return [=] {
      WCHAR buffer[8];
      std::fill(std::begin(buffer), std::end(buffer), kGuard);
      return Ask([&] { return _snwprintf(buffer, count, u"%s", text); }, [&] { return Units(buffer, 7); });
    };
  };
  const std::vector<Row> rows = {
      {"§5.5", "no room at all: nothing written", format(0, u"abc"), Succeeds(-1, "#######")},
      {"§5.5", "room for the text and its terminator", format(4, u"abc"), Succeeds(3, "abc\\0###")},
      {"§5.5", "the text fills the count: no terminator", format(3, u"abc"), Succeeds(3, "abc####")},
      {"§5.5", "cut at the count, no terminator", format(2, u"abc"), Succeeds(-1, "ab#####")},
      {"§5.5", "nothing to write into room for the terminator", format(1, u""), Succeeds(0, "\\0######")},
      {"§5.5", "flags and widths within the count",
       [] {
         WCHAR buffer[16];
         std::fill(std::begin(buffer), std::end(buffer), kGuard);
         return Ask([&] { return _snwprintf(buffer, 16, u"%04x|%-3d|%5s", 0xAB, 7, u"ab"); }, [&] { return Units(buffer, 16); });
       },
       Succeeds(14, "00ab|7  |   ab\\0#")},
  };
  CheckRows(rows);
}

TEST_F(TextConformance, RuntimeStringsOverSixteenBitUnits) {
  auto ncompare = [](const char16_t* a, const char16_t* b, size_t n) {
    return [=] { return Ask([&] { return Sign(wcsncmp(a, b, n)); }); };
  };
  auto compare = [](const char16_t* a, const char16_t* b) { return [=] { return Ask([&] { return Sign(wcscmp(a, b)); }); }; };
  auto number = [](const char16_t* text) { return [=] { return Ask([&] { return _wtol(text); }); }; };
  const std::vector<Row> rows = {
      {"§5.6", "wcsncmp: units are unsigned (0x8000 above 0x7FFF)", ncompare(u"\x8000", u"\x7FFF", 1), Succeeds(1)},
      {"§5.6", "wcsncmp: code units, not code points (a surrogate below U+FFFF)", ncompare(u"\U00010000", u"\xFFFF", 1),
       Succeeds(-1)},
      {"§5.6", "wcsncmp: nothing compared", ncompare(u"a", u"b", 0), Succeeds(0)},
      {"§5.6", "wcsncmp: stops at the terminator", ncompare(u"ab\0x", u"ab\0y", 4), Succeeds(0)},
      {"§5.6", "wcsncmp: the shorter string ends first", ncompare(u"Flash", u"FlashDisk", 9), Succeeds(-1)},
      {"§5.6", "wcsncmp: the program's prefix test", ncompare(u"FlashDisk2", u"FlashDisk", 9), Succeeds(0)},
      {"§5.6", "wcscmp: unsigned units", compare(u"\xFF21", u"a"), Succeeds(1)},
      {"§5.6", "wcscmp: code units, not code points", compare(u"\U0001F600", u"\xFFFD"), Succeeds(-1)},
      {"§5.6", "wcslen counts units", [] { return Ask([] { return wcslen(u"\U0001F600日"); }); }, Succeeds(3)},
      {"§5.6", "_wtol: leading white space of every kind", number(u" \t\n\v\f\r42"), Succeeds(42)},
      {"§5.6", "_wtol: a plus sign", number(u"+17x"), Succeeds(17)},
      {"§5.6", "_wtol: blanks, a minus sign, digits up to the first other character", number(u"  -42x"), Succeeds(-42)},
      {"§5.6", "_wtol: no digits at all", number(u"x"), Succeeds(0)},
      {"§5.6", "_wtol: no digits after the sign", number(u"-"), Succeeds(0)},
      {"§5.6", "_wtol: a blank between sign and digits", number(u"- 5"), Succeeds(0)},
      {"§5.6", "_wtol: no hexadecimal", number(u"0x1A"), Succeeds(0)},
      {"§5.6", "_wtol: leading zeros", number(u"007"), Succeeds(7)},
      {"§5.6", "_wtol: the 32-bit extremes", number(u"-2147483648"), Succeeds(-2147483648ll)},
      {"§5.6", "_wtol: the largest 32-bit value", number(u"2147483647"), Succeeds(2147483647)},
      {"§5.6", "_wtol: the empty string", number(u""), Succeeds(0)},
  };
  CheckRows(rows);
}

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

TEST(Text, GlobMatchesWholeNameCaseInsensitively) {
  struct Case {
    const char16_t* pattern;
    const char16_t* text;
    bool match;
  } cases[] = {
      {u"*.cab", u"Tool.CAB", true},  {u"Patch*.cab", u"patch01.cab", true}, {u"*.*", u"a.b", true},
      {u"?.cab", u"ab.cab", false},   {u"*.cab", u"a.cabx", false},          {u"*", u"", true},
      {u"a*b*c", u"aXbYbZc", true},   {u"a*b*c", u"aXbYbZ", false},          {u"STRASSE", u"straße", true},
  };
  for (const auto& c : cases) EXPECT_EQ(host::GlobMatch(c.pattern, c.text), c.match) << host::ToUtf8(c.pattern);
}
