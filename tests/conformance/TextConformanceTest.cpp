// Locale answers, comparison and the wide string calls, row by row: counts that
// include the terminator, sizes asked with no buffer, the 1024-character cap of
// wsprintfW, Microsoft's %s and %S, and 16-bit units compared unsigned.
#include "tests/conformance/ConformanceTable.h"

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

TEST_F(TextConformance, LocaleInfoSizes) {
  auto info = [](LCID locale, LCTYPE type, bool withBuffer, int count) {
    return [=] {
      WCHAR buffer[32];
      std::fill(std::begin(buffer), std::end(buffer), kGuard);
      return Ask([&] { return GetLocaleInfoW(locale, type, withBuffer ? buffer : nullptr, count); },
                 [&] { return Units(buffer, std::min(count + 1, 8)); });
    };
  };
  const std::vector<Row> rows = {
      {"§5.1", "the size alone, with no buffer", info(LOCALE_SYSTEM_DEFAULT, LOCALE_SLANGUAGE, false, 0),
       Succeeds(24, "#")},
      {"§5.1", "the installer's code page query: 8 characters", info(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, true, 8),
       Succeeds(5, "1252\\0###")},
      {"§5.1", "exactly the count with the terminator", info(0x0409, LOCALE_SABBREVLANGNAME, true, 4), Succeeds(4, "ENU\\0#")},
      {"§5.1", "one character short: what fits, no terminator", info(0x0409, LOCALE_SABBREVLANGNAME, true, 3),
       Fails(0, ERROR_INSUFFICIENT_BUFFER, "ENU#")},
      {"§5.1", "room for one character", info(0x0409, LOCALE_ILANGUAGE, true, 1), Fails(0, ERROR_INSUFFICIENT_BUFFER, "0#")},
      {"§5.1", "an unknown type asked for its size", info(0x0409, 0x7777, false, 0), Fails(0, ERROR_INVALID_FLAGS, "#")},
      // NOTES: CE documents nothing of language ids alone; the desktop's answer is kept.
      {"§5.1", "English alone is English (United States)", info(0x0009, LOCALE_SLANGUAGE, true, 31),
       Succeeds(24, "English ")},
      {"§5.1", "Japanese alone is Japanese (Japan)", info(0x0011, LOCALE_SLANGUAGE, true, 31), Succeeds(4, "日本語\\0####")},
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
      {"§5.3", "a missing string, even of no characters", compare(LOCALE_SYSTEM_DEFAULT, 0, nullptr, 0, u"", 0),
       Fails(0, ERROR_INVALID_PARAMETER)},
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
