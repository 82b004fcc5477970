#include "terminal/windowowner/WindowOwnerCommandLine.h"

#include "platform/host/Text.h"

namespace {

constexpr int kMaxExitDelayMs = 86400000;

std::u16string Quoted(std::u16string_view value) {
  std::u16string out = u"\"";
  for (char16_t c : value) {
    if (c == u'"' || c == u'\\') out += u'\\';
    out += c;
  }
  out += u'"';
  return out;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Reads one word or quoted value at `pos`; nullopt when a quote is not closed.
std::optional<std::u16string> NextToken(std::u16string_view text, size_t& pos) {
  std::u16string token;
  if (text[pos] != u'"') {
    while (pos < text.size() && !IsBlank(text[pos])) token += text[pos++];
    return token;
  }
  ++pos;
  while (pos < text.size() && text[pos] != u'"') {
    if (text[pos] == u'\\' && pos + 1 < text.size()) ++pos;
    token += text[pos++];
  }
  if (pos == text.size()) return std::nullopt;
  ++pos;
  return token;
}

std::optional<int> ParseDelay(std::u16string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  int value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (value > kMaxExitDelayMs) return std::nullopt;
  return value;
}

}  // namespace

std::u16string EncodeWindowOwnerCommandLine(const WindowOwnerOptions& options) {
  std::u16string line = u"--class " + Quoted(options.windowClass);
  if (!options.title.empty()) line += u" --title " + Quoted(options.title);
  if (options.exitDelayMs > 0) line += u" --exit-delay " + host::FromUtf8(std::to_string(options.exitDelayMs));
  return line;
}

std::optional<WindowOwnerOptions> ParseWindowOwnerCommandLine(std::u16string_view commandLine, std::string* error) {
  auto fail = [&](const std::string& reason) -> std::optional<WindowOwnerOptions> {
    if (error) *error = reason;
    return std::nullopt;
  };
  WindowOwnerOptions options;
  bool haveClass = false;
  size_t pos = 0;
  for (;;) {
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    if (pos == commandLine.size()) break;
    const auto name = NextToken(commandLine, pos);
    while (pos < commandLine.size() && IsBlank(commandLine[pos])) ++pos;
    if (!name || pos == commandLine.size()) return fail("expected --class, --title or --exit-delay with a value");
    const auto value = NextToken(commandLine, pos);
    if (!value) return fail("a quoted value is not closed");
    if (*name == u"--class") {
      options.windowClass = *value;
      haveClass = true;
    } else if (*name == u"--title") {
      options.title = *value;
    } else if (*name == u"--exit-delay") {
      const auto delay = ParseDelay(*value);
      if (!delay) return fail("--exit-delay must be 0 to 86400000 milliseconds");
      options.exitDelayMs = *delay;
    } else {
      return fail("unknown option " + host::ToUtf8(*name));
    }
  }
  if (!haveClass || options.windowClass.empty()) return fail("--class names no window class");
  return options;
}
