// A strict reader of JSON: a malformed document is refused with the byte it fails at,
// never half read. Texts come back as UTF-8, \u escapes decoded (pairs of surrogates
// joined; a lone one, which UTF-8 cannot hold, becomes U+FFFD).
#include "terminal/rehearsal/JsonReader.h"

#include <charconv>
#include <stdexcept>

#include "platform/host/Text.h"

namespace rehearsal {

namespace {

// Deeper than any report nests: a hostile document cannot exhaust the stack.
constexpr int kMostDepth = 64;

struct Failure {
  size_t at;
  std::string what;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonValue Document() {
    JsonValue value = Value(0);
    Space();
    if (at_ != text_.size()) Fail("text after the document");
    return value;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw Failure{at_, what}; }

  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) ++at_;
  }

  bool Take(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  JsonValue Value(int depth) {
    if (depth > kMostDepth) Fail("nested too deep");
    Space();
    if (at_ >= text_.size()) Fail("the document ends early");
    JsonValue value;
    const char c = text_[at_];
    if (c == '{') return Object(depth);
    if (c == '[') return List(depth);
    if (c == '"') {
      value.kind = JsonValue::Kind::Text;
      value.text = Text();
    } else if (Take("null")) {
    } else if (Take("true")) {
      value.kind = JsonValue::Kind::Bool;
      value.boolean = true;
    } else if (Take("false")) {
      value.kind = JsonValue::Kind::Bool;
    } else {
      value.kind = JsonValue::Kind::Number;
      const size_t start = at_;
      value.number = Number();
      // Times in nanoseconds pass a double's 53 bits: a whole number is read exactly too.
      const std::string_view written = text_.substr(start, at_ - start);
      if (written.find_first_of(".eE") == std::string_view::npos) {
        std::from_chars(written.data(), written.data() + written.size(), value.integer);
      } else {
        value.integer = static_cast<int64_t>(value.number);
      }
    }
    return value;
  }

  double Number() {
    const size_t start = at_;
    while (at_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[at_]) != std::string_view::npos) ++at_;
    double number = 0;
    const auto [end, error] = std::from_chars(text_.data() + start, text_.data() + at_, number);
    if (start == at_ || error != std::errc() || end != text_.data() + at_) Fail("not a value");
    return number;
  }

  unsigned Hex4() {
    if (at_ + 4 > text_.size()) Fail("a \\u escape ends early");
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, value, 16);
    if (error != std::errc() || end != text_.data() + at_ + 4) Fail("a \\u escape without four hex digits");
    at_ += 4;
    return value;
  }

  // A \u escape is one UTF-16 unit; a pair of them one character, a lone half U+FFFD.
  std::u16string Escape() {
    const char c = text_[at_++];
    switch (c) {
      case '"': case '\\': case '/': return std::u16string(1, static_cast<char16_t>(c));
      case 'b': return u"\b";
      case 'f': return u"\f";
      case 'n': return u"\n";
      case 'r': return u"\r";
      case 't': return u"\t";
      case 'u': break;
      default: Fail("an unknown escape");
    }
    std::u16string units(1, static_cast<char16_t>(Hex4()));
    if (units[0] >= 0xD800 && units[0] < 0xDC00 && text_.substr(at_, 2) == "\\u") {
      const size_t back = at_;
      at_ += 2;
      const auto low = static_cast<char16_t>(Hex4());
      if (low >= 0xDC00 && low < 0xE000) return units + low;
      at_ = back;
    }
    return units;
  }

  std::string Text() {
    ++at_;
    std::string out;
    while (true) {
      if (at_ >= text_.size()) Fail("a text without its closing quote");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("a control character in a text");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) Fail("a text ends in an escape");
      out += host::ToUtf8(Escape());
    }
  }

  JsonValue List(int depth) {
    JsonValue value;
    value.kind = JsonValue::Kind::List;
    ++at_;
    Space();
    if (Take("]")) return value;
    while (true) {
      value.items.push_back(Value(depth + 1));
      Space();
      if (Take("]")) return value;
      if (!Take(",")) Fail("a list without , or ]");
    }
  }

  JsonValue Object(int depth) {
    JsonValue value;
    value.kind = JsonValue::Kind::Object;
    ++at_;
    Space();
    if (Take("}")) return value;
    while (true) {
      Space();
      if (at_ >= text_.size() || text_[at_] != '"') Fail("a member without its quoted name");
      std::string name = Text();
      Space();
      if (!Take(":")) Fail("a member without :");
      value.members.emplace_back(std::move(name), Value(depth + 1));
      Space();
      if (Take("}")) return value;
      if (!Take(",")) Fail("an object without , or }");
    }
  }

  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](std::string_view name) const {
  static const JsonValue none;
  for (const auto& [member, value] : members) {
    if (member == name) return value;
  }
  return none;
}

bool JsonValue::Has(std::string_view name) const {
  for (const auto& member : members) {
    if (member.first == name) return true;
  }
  return false;
}

std::optional<JsonValue> ParseJson(std::string_view document, std::string* why) {
  try {
    return Reader(document).Document();
  } catch (const Failure& failure) {
    if (why) *why = "at byte " + std::to_string(failure.at) + ": " + failure.what;
    return std::nullopt;
  }
}

}  // namespace rehearsal
