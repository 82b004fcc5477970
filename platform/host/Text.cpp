// UTF-16 text on the host: conversions, case folding and name patterns (ICU).
#include "platform/host/HostInternal.h"

#include <algorithm>

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstdio>

namespace host {

namespace {

const UChar* AsUChar(const char16_t* s) { return reinterpret_cast<const UChar*>(s); }

}  // namespace

std::u16string ToU16(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(); }

std::string ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    UChar32 c;
    U16_NEXT(s.data(), i, s.size(), c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  int32_t i = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  const auto length = static_cast<int32_t>(s.size());
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) c = 0xFFFD;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      out += static_cast<char16_t>(U16_LEAD(c));
      out += static_cast<char16_t>(U16_TRAIL(c));
    }
  }
  return out;
}

std::u16string FoldCase(std::u16string_view s) {
  if (s.empty()) return {};
  // Most names are ASCII, whose folding is A-Z to a-z: ICU is asked only otherwise.
  if (std::all_of(s.begin(), s.end(), [](char16_t unit) { return unit < 0x80; })) {
    std::u16string out(s);
    for (char16_t& unit : out) {
      if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit + (u'a' - u'A'));
    }
    return out;
  }
  std::u16string out(s.size() * 3 + 1, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = u_strFoldCase(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                            AsUChar(s.data()), static_cast<int32_t>(s.size()), U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return std::u16string(s);
  out.resize(static_cast<size_t>(n));
  return out;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  return FoldCase(a) == FoldCase(b);
}

bool GlobMatch(std::u16string_view pattern, std::u16string_view text) {
  const std::u16string p = FoldCase(pattern);
  const std::u16string t = FoldCase(text);
  // Iterative matcher with one backtrack point for the last `*`.
  size_t pi = 0, ti = 0, starP = std::u16string::npos, starT = 0;
  while (ti < t.size()) {
    if (pi < p.size() && p[pi] == u'*') {
      starP = pi++;
      starT = ti;
    } else if (pi < p.size() && (p[pi] == u'?' || p[pi] == t[ti])) {
      if (p[pi] == u'?' && U16_IS_LEAD(t[ti]) && ti + 1 < t.size() && U16_IS_TRAIL(t[ti + 1])) ++ti;
      ++pi;
      ++ti;
    } else if (starP != std::u16string::npos) {
      pi = starP + 1;
      ti = ++starT;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == u'*') ++pi;
  return pi == p.size();
}

std::string ToSortKey(std::u16string_view s) {
  std::string key(s.size() * 2, '\0');
  for (size_t i = 0; i < s.size(); ++i) {
    key[2 * i] = static_cast<char>(s[i] >> 8);
    key[2 * i + 1] = static_cast<char>(s[i] & 0xFF);
  }
  return key;
}

std::string JsonString(std::u16string_view s) {
  std::string out = "\"";
  size_t i = 0;
  char escape[8];
  while (i < s.size()) {
    const char16_t unit = s[i];
    const bool pair = U16_IS_LEAD(unit) && i + 1 < s.size() && U16_IS_TRAIL(s[i + 1]);
    if (pair) {
      out += ToUtf8(s.substr(i, 2));
      i += 2;
      continue;
    }
    if (U16_IS_SURROGATE(unit) || unit < 0x20) {
      switch (unit) {
        case u'\n': out += "\\n"; break;
        case u'\r': out += "\\r"; break;
        case u'\t': out += "\\t"; break;
        default:
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
          out += escape;
      }
    } else if (unit == u'"') {
      out += "\\\"";
    } else if (unit == u'\\') {
      out += "\\\\";
    } else {
      out += ToUtf8(s.substr(i, 1));
    }
    ++i;
  }
  out += '"';
  return out;
}

// Defined only where the program is linked statically (SharedIcuData.cpp): a program
// linked with ICU's shared libraries has the data library loaded with them.
[[gnu::weak]] bool MapSharedIcuData();

void UseIcuData() {
  static const bool mapped = MapSharedIcuData && MapSharedIcuData();
  (void)mapped;
}

}  // namespace host
