// The image's settings as numbers. Every setting is stored as text; a text that is
// not wholly one number means the image was changed behind the terminal's back, and
// its reader gets one error naming the setting rather than a guess.
#include "platform/host/HostInternal.h"

#include <charconv>

namespace host {

namespace {

template <class T>
T NumberFrom(const std::string& name, std::string_view text, T fallback) {
  if (text.empty()) return fallback;
  T value{};
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end)
    throw HostError("the image's setting " + name + " is not a number: '" + std::string(text) + "'",
                    ERROR_REGISTRY_CORRUPT);
  return value;
}

}  // namespace

int64_t SettingIntFrom(const std::string& name, std::string_view text, int64_t fallback) {
  return NumberFrom(name, text, fallback);
}

double SettingDoubleFrom(const std::string& name, std::string_view text, double fallback) {
  return NumberFrom(name, text, fallback);
}

int64_t SettingInt(const std::string& name, int64_t fallback) { return SettingIntFrom(name, Setting(name), fallback); }

double SettingDouble(const std::string& name, double fallback) {
  return SettingDoubleFrom(name, Setting(name), fallback);
}

}  // namespace host
