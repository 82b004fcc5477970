// Member names: decoding (UTF-8 when the cabinet says so, else the terminal's ANSI code
// page) and making each name safe; the setup file's texts decode alike.
#include "terminal/wceload/Installer.h"

#include "platform/host/Paths.h"
#include "platform/host/Text.h"

#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <memory>

namespace wceload {

namespace {

constexpr UINT kFallbackCodePage = 1252;
constexpr char16_t kReplacement = u'_';

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter OpenConverter(const std::string& name) {
  host::UseIcuData();
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(name.c_str(), &status));
  if (U_FAILURE(status)) converter.reset();
  return converter;
}

// DEL and the decoder's substitute are legal but would name the file by a garbled byte.
bool ForbiddenInName(char16_t c) { return host::IsForbiddenInFileName(c) || c == 0x7F || c == 0xFFFD; }

}  // namespace

UINT AnsiCodePage::Get() {
  if (known_) return *known_;
  WCHAR text[8] = {};
  known_ = kFallbackCodePage;
  if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE, text, 8) > 0) {
    const long codePage = _wtol(text);
    if (codePage > 0) known_ = static_cast<UINT>(codePage);
  }
  return *known_;
}

std::u16string DecodeName(std::string_view bytes, bool utf8, AnsiCodePage& codePage) {
  // UTF-8 and every ANSI code page of the terminal's locales keep ASCII as it is: a name
  // of ASCII alone needs no converter, which ICU would load for each cabinet.
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::u16string(bytes.begin(), bytes.end());
  Converter converter = OpenConverter(utf8 ? "UTF-8" : "windows-" + std::to_string(codePage.Get()));
  // A code page ICU does not know decodes as Latin-1 rather than failing the install.
  if (!converter) converter = OpenConverter("ISO-8859-1");
  if (!converter) return std::u16string(bytes.size(), kReplacement);
  // No supported encoding yields more than one UTF-16 unit per byte, plus a substitute.
  std::u16string text(bytes.size() + 1, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = ucnv_toUChars(converter.get(), reinterpret_cast<UChar*>(text.data()),
                                       static_cast<int32_t>(text.size()), bytes.data(),
                                       static_cast<int32_t>(bytes.size()), &status);
  if (U_FAILURE(status)) return std::u16string(bytes.size(), kReplacement);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string EncodeText(std::u16string_view text, UINT codePage) {
  Converter converter = OpenConverter("windows-" + std::to_string(codePage));
  if (!converter) converter = OpenConverter("ISO-8859-1");
  if (!converter) return std::string(text.size(), '?');
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setSubstChars(converter.get(), "?", 1, &status);
  // No supported code page takes more than two bytes a UTF-16 unit.
  std::string bytes(text.size() * 2 + 1, '\0');
  const int32_t length =
      ucnv_fromUChars(converter.get(), bytes.data(), static_cast<int32_t>(bytes.size()),
                      reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::string(text.size(), '?');
  bytes.resize(static_cast<size_t>(length));
  return bytes;
}

std::u16string CabinetBaseName(std::u16string_view cabPath) {
  const size_t slash = cabPath.find_last_of(u"\\/");
  const std::u16string_view fileName = slash == std::u16string_view::npos ? cabPath : cabPath.substr(slash + 1);
  const size_t dot = fileName.rfind(u'.');
  return std::u16string(dot == std::u16string_view::npos || dot == 0 ? fileName : fileName.substr(0, dot));
}

std::u16string SafeComponent(std::u16string_view name) {
  std::u16string safe;
  safe.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (U16_IS_LEAD(c) && i + 1 < name.size() && U16_IS_TRAIL(name[i + 1])) {
      safe += c;
      safe += name[++i];
    } else {
      // A lone surrogate has no name on the host's file system either.
      safe += ForbiddenInName(c) || U16_IS_SURROGATE(c) ? kReplacement : c;
    }
  }
  // Windows drops trailing dots and blanks, which also turns "." and ".." into "".
  while (!safe.empty() && (safe.back() == u'.' || safe.back() == u' ')) safe.pop_back();
  return safe;
}

std::u16string SafeRelativePath(std::u16string_view name) {
  std::u16string path;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    const std::u16string component = SafeComponent(name.substr(start, end - start));
    if (!component.empty()) {
      if (!path.empty()) path += u'\\';
      path += component;
    }
    start = end + 1;
  }
  return path.empty() ? std::u16string(1, kReplacement) : path;
}

}  // namespace wceload
