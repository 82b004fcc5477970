// The runtime's string calls over 16-bit WCHAR (never the host's 32-bit wchar_t), and
// the platform's wide formatting: %s is a WCHAR string, %S a narrow one.
#include "platform/host/HostInternal.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>

namespace {

// A writer that never passes its capacity; it remembers that it had to stop.
class BoundedOut {
 public:
  BoundedOut(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void Put(WCHAR c) {
    if (length_ + 1 < capacity_) {
      buffer_[length_++] = c;
    } else {
      truncated_ = true;
    }
  }
  void Finish() {
    if (capacity_ > 0) buffer_[length_] = 0;
  }
  size_t length() const { return length_; }
  bool truncated() const { return truncated_; }

 private:
  WCHAR* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool truncated_ = false;
};

struct Conversion {
  bool left = false, alternate = false, zero = false;
  int width = 0, precision = -1;
  enum { kDefault, kShort, kLong, kLongLong } size = kDefault;
};

void PutPadded(BoundedOut& out, const Conversion& conv, const WCHAR* text, size_t length, WCHAR pad) {
  const size_t width = conv.width > 0 ? static_cast<size_t>(conv.width) : 0;
  const size_t fill = width > length ? width - length : 0;
  if (!conv.left) {
    for (size_t i = 0; i < fill; ++i) out.Put(pad);
  }
  for (size_t i = 0; i < length; ++i) out.Put(text[i]);
  if (conv.left) {
    for (size_t i = 0; i < fill; ++i) out.Put(u' ');
  }
}

void PutNumber(BoundedOut& out, const Conversion& conv, unsigned long long magnitude, bool negative, unsigned base,
               bool upper) {
  WCHAR digits[72];
  size_t n = 0;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[n++] = static_cast<WCHAR>(set[magnitude % base]);
    magnitude /= base;
  } while (magnitude != 0 && n < 64);
  while (conv.precision > 0 && n < static_cast<size_t>(conv.precision) && n < 64) digits[n++] = u'0';
  WCHAR text[72];
  size_t length = 0;
  if (negative) text[length++] = u'-';
  if (conv.alternate && base == 16) {
    text[length++] = u'0';
    text[length++] = upper ? u'X' : u'x';
  }
  const size_t prefix = length;
  while (n > 0) text[length++] = digits[--n];
  if (conv.zero && !conv.left && conv.precision < 0) {
    // Zero padding goes between the sign or prefix and the digits.
    for (size_t i = 0; i < prefix; ++i) out.Put(text[i]);
    Conversion rest = conv;
    rest.width = conv.width > static_cast<int>(prefix) ? conv.width - static_cast<int>(prefix) : 0;
    PutPadded(out, rest, text + prefix, length - prefix, u'0');
  } else {
    PutPadded(out, conv, text, length, u' ');
  }
}

// Reads the flags, width, precision and size of one conversion: `p` starts past its
// '%' and ends on its type character.
Conversion ParseConversion(const WCHAR*& p, va_list* args) {
  Conversion conv;
  for (;; ++p) {
    if (*p == u'-') conv.left = true;
    else if (*p == u'#') conv.alternate = true;
    else if (*p == u'0') conv.zero = true;
    else break;
  }
  if (*p == u'*') {
    conv.width = va_arg(*args, int);
    ++p;
  } else {
    while (*p >= u'0' && *p <= u'9') conv.width = conv.width * 10 + (*p++ - u'0');
  }
  if (*p == u'.') {
    ++p;
    conv.precision = 0;
    while (*p >= u'0' && *p <= u'9') conv.precision = conv.precision * 10 + (*p++ - u'0');
  }
  if (*p == u'h') {
    conv.size = Conversion::kShort;
    ++p;
  } else if (*p == u'l') {
    conv.size = Conversion::kLong;
    ++p;
    if (*p == u'l') {
      conv.size = Conversion::kLongLong;
      ++p;
    }
  } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
    conv.size = Conversion::kLongLong;
    p += 3;
  } else if (p[0] == u'I') {
    // %I32 is 32 bits and %I the size of a pointer: 32 bits on the terminal. Both
    // take their argument, so that the later ones stay in place.
    p += p[1] == u'3' && p[2] == u'2' ? 3 : 1;
  }
  return conv;
}

void PutSigned(BoundedOut& out, const Conversion& conv, va_list* args) {
  long long value = conv.size == Conversion::kLongLong ? va_arg(*args, long long) : va_arg(*args, int);
  if (conv.size == Conversion::kShort) value = static_cast<short>(value);
  const bool negative = value < 0;
  const unsigned long long magnitude =
      negative ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  PutNumber(out, conv, magnitude, negative, 10, false);
}

void PutUnsigned(BoundedOut& out, const Conversion& conv, WCHAR type, va_list* args) {
  unsigned long long value =
      conv.size == Conversion::kLongLong ? va_arg(*args, unsigned long long) : va_arg(*args, unsigned int);
  if (conv.size == Conversion::kShort) value = static_cast<unsigned short>(value);
  PutNumber(out, conv, value, false, type == u'u' ? 10 : 16, type == u'X');
}

// %c and %s take a WCHAR in the W functions; %C and %S (or the h size) take a char of
// the ANSI code page, and the l size a WCHAR whatever the letter.
bool IsNarrow(const Conversion& conv, WCHAR type) {
  return ((type == u'C' || type == u'S') && conv.size != Conversion::kLong) || conv.size == Conversion::kShort;
}

void PutCharacter(BoundedOut& out, const Conversion& conv, WCHAR type, va_list* args) {
  const int value = va_arg(*args, int);
  const WCHAR c =
      IsNarrow(conv, type) ? host::WidenAnsiChar(static_cast<unsigned char>(value)) : static_cast<WCHAR>(value);
  PutPadded(out, conv, &c, 1, u' ');
}

void PutNarrowString(BoundedOut& out, const Conversion& conv, const char* s) {
  if (!s) s = "(null)";
  size_t length = 0;
  while (s[length] && (conv.precision < 0 || length < static_cast<size_t>(conv.precision))) ++length;
  WCHAR wide[256];
  // Narrow strings are ANSI; only ASCII is widened one to one here.
  size_t done = 0;
  Conversion piece = conv;
  const size_t fill = conv.width > static_cast<int>(length) ? conv.width - length : 0;
  if (!conv.left) for (size_t i = 0; i < fill; ++i) out.Put(u' ');
  while (done < length) {
    size_t chunk = 0;
    while (chunk < 256 && done + chunk < length) {
      wide[chunk] = static_cast<WCHAR>(static_cast<unsigned char>(s[done + chunk]));
      ++chunk;
    }
    piece.width = 0;
    PutPadded(out, piece, wide, chunk, u' ');
    done += chunk;
  }
  if (conv.left) for (size_t i = 0; i < fill; ++i) out.Put(u' ');
}

void PutString(BoundedOut& out, const Conversion& conv, WCHAR type, va_list* args) {
  if (IsNarrow(conv, type)) {
    PutNarrowString(out, conv, va_arg(*args, const char*));
    return;
  }
  const WCHAR* s = va_arg(*args, const WCHAR*);
  if (!s) s = u"(null)";
  size_t length = 0;
  while (s[length] && (conv.precision < 0 || length < static_cast<size_t>(conv.precision))) ++length;
  PutPadded(out, conv, s, length, u' ');
}

// Writes one conversion, whose type character `p` points at. A format that ends inside
// a conversion leaves `p` one before its terminator, where the caller's loop stops.
void PutConversion(BoundedOut& out, const Conversion& conv, const WCHAR*& p, va_list* args) {
  switch (*p) {
    case u'd':
    case u'i':
      PutSigned(out, conv, args);
      break;
    case u'u':
    case u'x':
    case u'X':
      PutUnsigned(out, conv, *p, args);
      break;
    case u'c':
    case u'C':
      PutCharacter(out, conv, *p, args);
      break;
    case u's':
    case u'S':
      PutString(out, conv, *p, args);
      break;
    case 0:
      --p;  // a lone % at the end prints nothing
      break;
    default:
      out.Put(*p);  // unknown types are copied, as the platform does
      break;
  }
}

int FormatCore(WCHAR* buffer, size_t capacity, const WCHAR* format, va_list args, bool* truncated) {
  BoundedOut out(buffer, capacity);
  // The steps take the arguments one by one through a pointer, the portable way to
  // share one va_list between functions.
  va_list remaining;
  va_copy(remaining, args);
  for (const WCHAR* p = format; *p; ++p) {
    if (*p != u'%') {
      out.Put(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.Put(u'%');
      continue;
    }
    const Conversion conv = ParseConversion(p, &remaining);
    PutConversion(out, conv, p, &remaining);
  }
  va_end(remaining);
  out.Finish();
  if (truncated) *truncated = out.truncated();
  return static_cast<int>(out.length());
}

}  // namespace

size_t wcslen(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return static_cast<uint16_t>(*a) < static_cast<uint16_t>(*b) ? -1 : 1;
    if (*a == 0) return 0;
  }
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<uint16_t>(a[i]) < static_cast<uint16_t>(b[i]) ? -1 : 1;
    if (a[i] == 0) return 0;
  }
  return 0;
}

long _wtol(const WCHAR* s) {
  while (*s == u' ' || (*s >= u'\t' && *s <= u'\r')) ++s;
  bool negative = false;
  if (*s == u'+' || *s == u'-') negative = *s++ == u'-';
  unsigned long value = 0;
  while (*s >= u'0' && *s <= u'9') value = value * 10 + static_cast<unsigned long>(*s++ - u'0');
  // The old runtime wraps on overflow; so does this, without undefined behaviour.
  return negative ? static_cast<long>(0ul - value) : static_cast<long>(value);
}

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
  // The platform stops at 1024 characters, terminator included.
  va_list args;
  va_start(args, lpFmt);
  const int n = FormatCore(lpOut, 1024, lpFmt, args, nullptr);
  va_end(args);
  return n;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  // The text is formatted with room for a terminator past the count, then as much as the
  // count allows is copied: the runtime writes no terminator when the text fills the
  // count. No text comes near a million units; the cap keeps a wild count from the heap.
  std::u16string text(std::min(count, size_t{1} << 20) + 1, u'\0');
  va_list args;
  va_start(args, format);
  bool truncated = false;
  const int n = FormatCore(text.data(), text.size(), format, args, &truncated);
  va_end(args);
  if (buffer != nullptr) std::copy_n(text.data(), std::min(static_cast<size_t>(n) + 1, count), buffer);
  return truncated ? -1 : n;
}

int swprintf(WCHAR* buffer, const WCHAR* format, ...) {
  // The CE runtime's form has no count: the caller guarantees the room.
  va_list args;
  va_start(args, format);
  const int n = FormatCore(buffer, SIZE_MAX, format, args, nullptr);
  va_end(args);
  return n;
}
