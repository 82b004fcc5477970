// Text as the emulated terminal handles it: UTF-16 names, UTF-8 on the host, ICU's
// case folding for the comparisons a CE terminal makes without regard to case.
#ifndef KORVA_PLATFORM_HOST_TEXT_H
#define KORVA_PLATFORM_HOST_TEXT_H

#include "platform/coredll.h"

#include <string>
#include <string_view>

namespace host {

std::u16string ToU16(const WCHAR* s);  // null gives ""
std::string ToUtf8(std::u16string_view s);  // lone surrogates become U+FFFD
std::u16string FromUtf8(std::string_view s);  // invalid bytes become U+FFFD
// Full Unicode case folding (ICU), as the terminal compares names.
std::u16string FoldCase(std::u16string_view s);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
// `*` any run (also empty), `?` one character (a surrogate pair is one);
// case-insensitive over the whole text.
bool GlobMatch(std::u16string_view pattern, std::u16string_view text);
// UTF-16 code units as bytes, high byte first: memcmp order is code-unit order.
std::string ToSortKey(std::u16string_view s);
// A JSON string literal with the exact code units (lone surrogates as \u escapes).
std::string JsonString(std::u16string_view s);
// Called before an ICU call that reads ICU's data (a converter, a locale's names or
// likely subtags); case folding and character properties are built into ICU's code.
// A program linked statically maps the data here, once.
void UseIcuData();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_TEXT_H
