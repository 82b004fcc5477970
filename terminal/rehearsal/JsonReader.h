// Reading a rehearsal's own JSON back: enough of JSON for the documents termsim writes.
#ifndef KORVA_TERMINAL_REHEARSAL_JSONREADER_H
#define KORVA_TERMINAL_REHEARSAL_JSONREADER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rehearsal {

struct JsonValue {
  enum class Kind { Null, Bool, Number, Text, List, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  int64_t integer = 0;  // exact, for a number written as a whole one
  std::string text;  // UTF-8
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in the order written

  // The member `name`; a Null value when there is none.
  const JsonValue& operator[](std::string_view name) const;
  bool Has(std::string_view name) const;
  bool IsNull() const { return kind == Kind::Null; }
  int64_t Int() const { return integer; }
  // The text, or "" for null.
  const std::string& Text() const { return text; }
};

// A whole document; nullopt with `why` ("at byte N: ...") for anything else.
std::optional<JsonValue> ParseJson(std::string_view document, std::string* why);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_JSONREADER_H
