// Locale and text comparison: the terminal's system locale comes from its registry
// (nls\DefaultLCID), locale data from ICU.
#include "platform/host/HostInternal.h"

#include <unicode/ucnv.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

constexpr LCID kLocaleEnglishUs = 0x0409;
constexpr LCID kLocaleJapanese = 0x0411;
constexpr LCID kLocaleInvariant = 0x007F;
constexpr LCID kSubLanguageDefault = 0x0400;
// Real flags of the platform that the terminal does not implement.
constexpr LCTYPE kLocaleReturnNumber = 0x20000000;
constexpr LCTYPE kLocaleUseCpAcp = 0x40000000;

// HKLM\nls\DefaultLCID, read anew on every call so that a change by any process of the
// terminal counts at once. The registry calls leave the last error alone.
LCID SystemLocale() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"nls", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return kLocaleEnglishUs;
  DWORD type = REG_NONE;
  DWORD value = 0;
  DWORD size = sizeof value;
  const LONG result = RegQueryValueExW(key, u"DefaultLCID", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  // NOTES: a value of another type or size counts as absent (0x0409), as the platform
  // falls back when the value is missing; what a real image does with it is unknown.
  if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return kLocaleEnglishUs;
  return value;
}

// The ICU locale id ("ja_JP") of an LCID; nullopt for a locale the terminal lacks.
std::optional<std::string> IcuLocaleOf(LCID lcid) {
  char id[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getLocaleForLCID(lcid, id, sizeof id - 1, &status);
  if (U_FAILURE(status) || length <= 0 || std::strcmp(id, "root") == 0) return std::nullopt;
  return std::string(id, static_cast<size_t>(length));
}

// The LCID and ICU locale a call means: the three defaults name the system locale.
struct Locale {
  LCID lcid = 0;
  std::string icu;
};
std::optional<Locale> ResolveLocale(LCID requested) {
  LCID lcid = requested;
  // NOTES: the terminal has no separate user locale: the user default is the system one.
  if (lcid == LOCALE_SYSTEM_DEFAULT || lcid == LOCALE_USER_DEFAULT || lcid == LOCALE_NEUTRAL) lcid = SystemLocale();
  // A language alone (0x0009, 0x0011) means its default sub-language, as the desktop
  // answers; CE documents nothing of it.
  const LCID language = lcid & 0x3FF;
  if (lcid == language && language != 0 && language != kLocaleInvariant) lcid = language | kSubLanguageDefault;
  auto icu = IcuLocaleOf(lcid);
  if (!icu && lcid != requested) {
    // The registry names a locale the terminal lacks: as if the value were absent.
    lcid = kLocaleEnglishUs;
    icu = IcuLocaleOf(lcid);
  }
  if (!icu) return std::nullopt;
  return Locale{lcid, *icu};
}

std::u16string IcuLanguageName(const std::string& locale, const char* displayLocale) {
  UseIcuData();
  UChar name[128];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getDisplayLanguage(locale.c_str(), displayLocale, name, 128, &status);
  if (U_FAILURE(status) || length <= 0) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(name), static_cast<size_t>(std::min(length, 127)));
}

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string IcuLanguage(const std::string& locale) {
  char language[ULOC_LANG_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(locale.c_str(), language, sizeof language - 1, &status);
  return U_FAILURE(status) ? std::string() : std::string(language);
}

std::string IcuScript(const std::string& locale) {
  UseIcuData();
  char full[ULOC_FULLNAME_CAPACITY] = {};
  char script[ULOC_SCRIPT_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_addLikelySubtags(locale.c_str(), full, sizeof full - 1, &status);
  uloc_getScript(full, script, sizeof script - 1, &status);
  return U_FAILURE(status) ? std::string() : std::string(script);
}

// "Full localized name of the language". The platform names it in the image's own
// user-interface language; each KORVA image names its own language in itself.
std::u16string LanguageName(const Locale& locale) {
  if (locale.lcid == kLocaleJapanese) return u"日本語";
  if (locale.lcid == kLocaleEnglishUs) return u"English (United States)";
  // NOTES: other locales get ICU's name of the language in that language ("français"),
  // without the country the platform adds.
  return IcuLanguageName(locale.icu, locale.icu.c_str());
}

std::u16string AbbreviatedLanguageName(const Locale& locale) {
  static constexpr struct {
    LCID lcid;
    const char16_t* name;
  } kNames[] = {
      {0x0409, u"ENU"}, {0x0809, u"ENG"}, {0x0c09, u"ENA"}, {0x1009, u"ENC"}, {0x0411, u"JPN"}, {0x0407, u"DEU"},
      {0x040c, u"FRA"}, {0x0410, u"ITA"}, {0x0c0a, u"ESN"}, {0x040a, u"ESP"}, {0x0413, u"NLD"}, {0x0416, u"PTB"},
      {0x0816, u"PTG"}, {0x0804, u"CHS"}, {0x0404, u"CHT"}, {0x0412, u"KOR"}, {0x0419, u"RUS"},
  };
  for (const auto& entry : kNames) {
    if (entry.lcid == locale.lcid) return entry.name;
  }
  // NOTES: locales outside the table answer ICU's three-letter language code in capitals
  // ("SWE" for Swedish matches; the platform's third letter names the country, and differs for some).
  std::string code = uloc_getISO3Language(locale.icu.c_str());
  std::transform(code.begin(), code.end(), code.begin(), [](char c) { return static_cast<char>(c & ~0x20); });
  return Ascii(code);
}

// The ANSI code page of a locale's language.
// NOTES: locales the platform gives no ANSI code page (Unicode-only ones) answer 1252.
std::u16string AnsiCodePage(const Locale& locale) {
  const std::string language = IcuLanguage(locale.icu);
  // Looked up only for a language whose code page depends on it: ICU loads a table for it.
  std::optional<std::string> script;
  static constexpr struct {
    const char* language;
    const char* script;  // "" = any
    const char16_t* codePage;
  } kCodePages[] = {
      {"ja", "", u"932"},   {"zh", "Hans", u"936"}, {"ko", "", u"949"},     {"zh", "Hant", u"950"},
      {"th", "", u"874"},   {"vi", "", u"1258"},    {"el", "", u"1253"},    {"tr", "", u"1254"},
      {"he", "", u"1255"},  {"ar", "", u"1256"},    {"fa", "", u"1256"},    {"ur", "", u"1256"},
      {"lt", "", u"1257"},  {"lv", "", u"1257"},    {"et", "", u"1257"},    {"sr", "Cyrl", u"1251"},
      {"sr", "", u"1250"},  {"ru", "", u"1251"},    {"uk", "", u"1251"},    {"bg", "", u"1251"},
      {"be", "", u"1251"},  {"mk", "", u"1251"},    {"kk", "", u"1251"},    {"pl", "", u"1250"},
      {"cs", "", u"1250"},  {"sk", "", u"1250"},    {"hu", "", u"1250"},    {"sl", "", u"1250"},
      {"hr", "", u"1250"},  {"ro", "", u"1250"},    {"sq", "", u"1250"},
  };
  for (const auto& entry : kCodePages) {
    if (language != entry.language) continue;
    if (!*entry.script) return entry.codePage;
    if (!script) script = IcuScript(locale.icu);
    if (*script == entry.script) return entry.codePage;
  }
  return u"1252";
}

// The ICU converter of a Windows code page ("1252").
std::string ConverterName(std::u16string_view codePage) { return "windows-" + ToUtf8(codePage); }

}  // namespace

char16_t WidenAnsiChar(unsigned char c) {
  if (c < 0x80) return c;
  const auto locale = ResolveLocale(LOCALE_SYSTEM_DEFAULT);
  UseIcuData();
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(ConverterName(locale ? AnsiCodePage(*locale) : u"1252").c_str(), &status);
  if (U_FAILURE(status)) return u'?';
  UChar wide[2];
  const char byte = static_cast<char>(c);
  const int32_t length = ucnv_toUChars(converter, wide, 2, &byte, 1, &status);
  ucnv_close(converter);
  // A lead byte alone, or one the code page leaves undefined, is no character.
  if (U_FAILURE(status) || length != 1 || wide[0] == 0xFFFD || wide[0] == 0x1A) return u'?';
  return static_cast<char16_t>(wide[0]);
}

namespace {

// The answer for one LCType; nullopt for a type the terminal does not know.
std::optional<std::u16string> LocaleInfo(const Locale& locale, LCTYPE type) {
  switch (type) {
    case LOCALE_ILANGUAGE: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%04x", static_cast<unsigned>(locale.lcid & 0xFFFF));
      return Ascii(hex);
    }
    case LOCALE_SLANGUAGE:
      return LanguageName(locale);
    case LOCALE_SABBREVLANGNAME:
      return AbbreviatedLanguageName(locale);
    case LOCALE_SNATIVELANGNAME:
      return IcuLanguageName(locale.icu, locale.icu.c_str());
    case LOCALE_SENGLANGUAGE:
      return IcuLanguageName(locale.icu, "en");
    case LOCALE_IDEFAULTANSICODEPAGE:
      return AnsiCodePage(locale);
    default:
      return std::nullopt;
  }
}

// A string of a comparison call: a negative count means up to its terminator.
std::u16string_view CompareOperand(LPCWSTR text, int count) {
  return count < 0 ? std::u16string_view(text) : std::u16string_view(text, static_cast<size_t>(count));
}

int CodePointOrder(std::u16string_view a, std::u16string_view b) {
  return u_strCompare(reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                      reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()), true);
}

}  // namespace

}  // namespace host

int GetLocaleInfoW(LCID Locale, LCTYPE LCType, LPWSTR lpLCData, int cchData) {
  if (cchData < 0 || (cchData > 0 && !lpLCData)) return host::Fail(ERROR_INVALID_PARAMETER, 0);
  return host::Guarded(0, [&]() -> int {
    const auto locale = host::ResolveLocale(Locale);
    if (!locale) return host::Fail(ERROR_INVALID_PARAMETER, 0);
    const LCTYPE type = LCType & ~(LOCALE_NOUSEROVERRIDE | host::kLocaleUseCpAcp);  // no user overrides exist
    // LOCALE_RETURN_NUMBER (a DWORD instead of text) is not implemented.
    if (type & host::kLocaleReturnNumber) return host::Fail(ERROR_INVALID_PARAMETER, 0);
    const auto text = host::LocaleInfo(*locale, type);
    if (!text) return host::Fail(ERROR_INVALID_FLAGS, 0);
    const int needed = static_cast<int>(text->size()) + 1;
    if (cchData == 0) return needed;
    if (cchData < needed) {
      // As the desktop does: as much as fits, without a terminator.
      std::copy_n(text->data(), cchData, lpLCData);
      return host::Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    std::copy_n(text->c_str(), needed, lpLCData);
    return needed;
  });
}

// NOTES: equality is exact: ordinal without NORM_IGNORECASE, by full Unicode case
// folding with it. The platform's linguistic ordering of unequal strings is not
// reproduced: they order by code point of their case-folded forms (then of the
// strings themselves, without NORM_IGNORECASE), and embedded NULs are ordinary
// characters.
int CompareStringW(LCID Locale, DWORD dwCmpFlags, LPCWSTR lpString1, int cchCount1, LPCWSTR lpString2,
                   int cchCount2) {
  if (!lpString1 || !lpString2) return host::Fail(ERROR_INVALID_PARAMETER, 0);
  constexpr DWORD kImplemented = NORM_IGNORECASE | SORT_STRINGSORT;  // the string sort changes order only
  constexpr DWORD kKnown = kImplemented | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS | NORM_IGNOREKANATYPE |
                           NORM_IGNOREWIDTH;
  if (dwCmpFlags & ~kKnown) return host::Fail(ERROR_INVALID_FLAGS, 0);
  // Ignoring diacritics, symbols, kana type or width would change which strings are
  // equal; the terminal does not implement them.
  if (dwCmpFlags & ~kImplemented) return host::Fail(ERROR_INVALID_PARAMETER, 0);
  return host::Guarded(0, [&]() -> int {
    // The defaults always name a locale (0x0409 at worst), so only other LCIDs are looked up.
    const bool isDefault = Locale == LOCALE_SYSTEM_DEFAULT || Locale == LOCALE_USER_DEFAULT || Locale == LOCALE_NEUTRAL;
    if (!isDefault && Locale != host::kLocaleInvariant && !host::IcuLocaleOf(Locale))
      return host::Fail(ERROR_INVALID_PARAMETER, 0);
    const std::u16string_view a = host::CompareOperand(lpString1, cchCount1);
    const std::u16string_view b = host::CompareOperand(lpString2, cchCount2);
    int order = host::CodePointOrder(host::FoldCase(a), host::FoldCase(b));
    if (order == 0 && !(dwCmpFlags & NORM_IGNORECASE)) order = host::CodePointOrder(a, b);
    return order < 0 ? CSTR_LESS_THAN : order == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
  });
}
