// .reg files: parsed whole before anything is applied, applied in one transaction,
// and written so that they import back to exactly the registry they came from.
#include "terminal/regfile/RegFile.h"

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#include <unicode/ucnv.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdio>
#include <memory>
#include <optional>

namespace regfile {

namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
// A desktop export's root that Windows CE does not have.
constexpr std::u16string_view kCurrentConfig = u"HKEY_CURRENT_CONFIG";
constexpr std::u16string_view kCurrentConfigShort = u"HKCC";

struct Line {
  int number = 0;
  std::u16string text;
};

// A malformed file: the statement's first line and why.
struct ParseFailure {
  int line;
  std::string reason;
};

[[noreturn]] void Reject(int line, std::string reason) { throw ParseFailure{line, std::move(reason)}; }

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool EqualsAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithAscii(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsAscii(s.substr(0, prefix.size()), prefix);
}

bool IsCurrentConfig(std::u16string_view root) {
  return EqualsAscii(root, kCurrentConfig) || EqualsAscii(root, kCurrentConfigShort);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// 1 to `maxDigits` hex digits, nothing else.
std::optional<uint32_t> ParseHex(std::u16string_view s, size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return std::nullopt;
  uint32_t value = 0;
  for (char16_t c : s) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return value;
}

// ---------------------------------------------------------------- decoding

// A byte-order mark wins over any named encoding: UTF-16 big-endian is refused by name.
void RejectBigEndianBom(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF)
    Reject(1, "UTF-16 big-endian: save it as UTF-16LE with BOM or UTF-8");
}

// UTF-16 that the file does not mark with a BOM, named as such: it would otherwise fail
// as text full of NUL characters.
void RejectUnmarkedUtf16(std::string_view bytes) {
  if (bytes.size() < 2) return;
  const auto first = static_cast<unsigned char>(bytes[0]), second = static_cast<unsigned char>(bytes[1]);
  if (first == 0 && second != 0)
    Reject(1, "UTF-16 big-endian without a byte-order mark: save it as UTF-16LE with BOM or UTF-8");
  if (first != 0 && second == 0)
    Reject(1, "UTF-16 without a byte-order mark: save it as UTF-16LE with BOM or UTF-8, or name its encoding "
              "(--reg-encoding utf-16le)");
}

bool IsUtf16LeWithBom(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

bool HasUtf8Bom(std::string_view bytes) { return bytes.substr(0, 3) == "\xEF\xBB\xBF"; }

// Decoded text must hold no NUL and no unpaired surrogate, so that every name it gives
// the registry can be written back to a file.
void CheckDecoded(std::u16string_view text) {
  int line = 1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\n') ++line;
    if (unit == 0) Reject(line, "NUL character in the text");
    if (U16_IS_LEAD(unit) && i + 1 < text.size() && U16_IS_TRAIL(text[i + 1])) {
      ++i;
    } else if (U16_IS_SURROGATE(unit)) {
      Reject(line, "unpaired surrogate in the UTF-16 text");
    }
  }
}

// The code units after the BOM; a failure names the line it is on.
std::u16string DecodeUtf16Le(std::string_view bytes) {
  if (bytes.size() % 2 != 0) {
    int line = 1;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) line += bytes[i] == '\n' && bytes[i + 1] == 0;
    Reject(line, "UTF-16 text ends in the middle of a character");
  }
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 2; i < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                            (static_cast<unsigned char>(bytes[i + 1]) << 8));
    text += unit;
  }
  CheckDecoded(text);
  return text;
}

// Valid UTF-8 without a NUL: what a file without a BOM is read as, whatever encoding
// is named for it.
bool IsPlainUtf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(data, i, length, c);
    if (c <= 0) return false;
  }
  return true;
}

// UTF-8, after a BOM if there is one; a failure names the line it is on.
std::u16string DecodeUtf8(std::string_view bytes) {
  int line = 1;
  if (HasUtf8Bom(bytes)) bytes.remove_prefix(3);
  std::u16string text;
  text.reserve(bytes.size());
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int32_t>(bytes.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(data, i, length, c);
    if (c < 0) Reject(line, "text is not valid UTF-8: name the file's encoding (--reg-encoding cp932, windows-1252...)");
    if (c == 0) Reject(line, "NUL character in the text");
    if (c == '\n') ++line;
    if (c < 0x10000) {
      text += static_cast<char16_t>(c);
    } else {
      text += static_cast<char16_t>(U16_LEAD(c));
      text += static_cast<char16_t>(U16_TRAIL(c));
    }
  }
  return text;
}

using Converter = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

Converter OpenConverter(std::string_view encoding) {
  host::UseIcuData();
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(std::string(encoding).c_str(), &status), ucnv_close);
  if (U_FAILURE(status)) converter.reset();
  return converter;
}

// Bytes in `encoding` (a converter ICU knows); bytes it gives no character refuse the
// file at their line.
std::u16string DecodeEncoding(std::string_view bytes, std::string_view encoding) {
  Converter converter = OpenConverter(encoding);
  if (!converter) Reject(1, "unknown encoding " + std::string(encoding));
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  // A byte gives at most one unit, a sequence of several at most a surrogate pair.
  std::u16string text(bytes.size() + 2, u'\0');
  UChar* target = text.data();
  const char* source = bytes.data();
  ucnv_toUnicode(converter.get(), &target, text.data() + text.size(), &source, bytes.data() + bytes.size(), nullptr,
                 true, &status);
  text.resize(static_cast<size_t>(target - text.data()));
  if (U_FAILURE(status)) {
    int line = 1;
    for (char16_t unit : text) line += unit == u'\n';
    Reject(line, "text is not valid " + std::string(encoding));
  }
  CheckDecoded(text);
  return text;
}

// The file's text as lines of UTF-16 code units: UTF-16LE or UTF-8 by their BOM, else
// UTF-8, else the named encoding.
std::vector<Line> DecodeLines(std::string_view bytes, std::string_view encoding) {
  RejectBigEndianBom(bytes);
  std::u16string text;
  if (IsUtf16LeWithBom(bytes)) {
    text = DecodeUtf16Le(bytes);
  } else if (!HasUtf8Bom(bytes) && !encoding.empty() && !IsPlainUtf8(bytes)) {
    text = DecodeEncoding(bytes, encoding);
  } else {
    RejectUnmarkedUtf16(bytes);
    text = DecodeUtf8(bytes);
  }
  std::vector<Line> lines;
  std::u16string_view rest(text);
  for (int number = 1;; ++number) {
    const size_t end = rest.find(u'\n');
    std::u16string_view current = rest.substr(0, end);
    if (end != std::u16string_view::npos && !current.empty() && current.back() == u'\r') current.remove_suffix(1);
    lines.push_back({number, std::u16string(current)});
    if (end == std::u16string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return lines;
}

// ---------------------------------------------------------------- parsing

class Parser {
 public:
  explicit Parser(std::vector<Line> lines, SkippedKeys* skipped) : lines_(std::move(lines)), skipped_(skipped) {}

  std::vector<Operation> Run() {
    const std::u16string_view header = Trim(lines_.front().text);
    if (header != kHeader5 && header != kHeader4)
      Reject(1, "not a registry file: the first line must be \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    for (next_ = 1; next_ < lines_.size();) {
      const Line& line = lines_[next_++];
      const std::u16string_view text = Trim(line.text);
      if (text.empty() || text.front() == u';') continue;
      if (text.front() == u'[') {
        KeyLine(line.number, text);
      } else if (text.front() == u'"' || text.front() == u'@') {
        ValueLine(line.number, text);
      } else {
        Reject(line.number, "neither a [key] nor a \"name\"=value line");
      }
    }
    return std::move(operations_);
  }

 private:
  void KeyLine(int number, std::u16string_view text) {
    if (text.back() != u']') Reject(number, "key line does not end with ]");
    std::u16string_view inner = text.substr(1, text.size() - 2);
    const bool remove = !inner.empty() && inner.front() == u'-';
    if (remove) inner.remove_prefix(1);
    const size_t cut = inner.find(u'\\');
    const std::u16string_view rootName = inner.substr(0, cut);
    const auto root = host::RegistryRootNamed(rootName);
    if (!root && !IsCurrentConfig(rootName))
      Reject(number, "unknown root key: a terminal has HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT "
                     "and HKEY_USERS (or HKLM, HKCU, HKCR, HKU)");
    const std::u16string path(cut == std::u16string_view::npos ? std::u16string_view() : inner.substr(cut + 1));
    if ((cut != std::u16string_view::npos && path.empty()) || !host::IsValidRegistryPath(path))
      Reject(number, "key name empty, over 255 characters or nested over 16 levels");
    if (remove && path.empty()) Reject(number, "a root key itself cannot be deleted");
    currentKey_ = remove ? std::nullopt : std::optional<Key>(Key{root.value_or(host::RegistryRoot::LocalMachine), path});
    // A key of a desktop's HKEY_CURRENT_CONFIG is read like any other, so that a
    // malformed line in it still refuses the file, and then left out: CE has no such root.
    skipping_ = !root;
    if (skipping_) {
      if (skipped_) skipped_->Add(host::ToUtf8(kCurrentConfig), host::FoldCase(path));
      return;
    }
    Operation operation;
    operation.kind = remove ? Operation::Kind::DeleteKey : Operation::Kind::CreateKey;
    operation.root = *root;
    operation.key = path;
    operation.line = number;
    operations_.push_back(std::move(operation));
  }

  // A quoted string with \\ and \" escapes, starting at text[*pos] == '"'; moves
  // *pos past the closing quote.
  static std::u16string QuotedString(int number, std::u16string_view text, size_t* pos) {
    std::u16string out;
    for (size_t i = *pos + 1; i < text.size(); ++i) {
      const char16_t c = text[i];
      if (c == u'"') {
        *pos = i + 1;
        return out;
      }
      if (c == u'\\') {
        if (i + 1 >= text.size() || (text[i + 1] != u'\\' && text[i + 1] != u'"'))
          Reject(number, "only \\\\ and \\\" escapes are allowed in a string");
        ++i;
      }
      out += text[i];
    }
    Reject(number, "string without its closing quote");
  }

  void ValueLine(int number, std::u16string_view text) {
    if (!currentKey_) Reject(number, "value line outside a key");
    Operation operation;
    operation.kind = Operation::Kind::SetValue;
    operation.root = currentKey_->root;
    operation.key = currentKey_->path;
    operation.line = number;
    size_t pos = 0;
    if (text.front() == u'@') {
      pos = 1;
    } else {
      operation.name = QuotedString(number, text, &pos);
    }
    if (!host::IsValidRegistryValueName(operation.name)) Reject(number, "value name over 255 characters");
    std::u16string_view rest = Trim(text.substr(pos));
    if (rest.empty() || rest.front() != u'=') Reject(number, "value name without =");
    rest = Trim(rest.substr(1));

    if (rest == u"-") {
      operation.kind = Operation::Kind::DeleteValue;
    } else if (!rest.empty() && rest.front() == u'"') {
      size_t end = 0;
      const std::u16string value = QuotedString(number, rest, &end);
      if (!Trim(rest.substr(end)).empty()) Reject(number, "text after the closing quote");
      operation.type = REG_SZ;
      operation.data = StringBytes(value);
    } else if (StartsWithAscii(rest, u"dword:")) {
      const auto value = ParseHex(rest.substr(6), 8);
      if (!value) Reject(number, "dword: needs 1 to 8 hex digits");
      operation.type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) operation.data += static_cast<char>((*value >> shift) & 0xFF);
    } else if (StartsWithAscii(rest, u"hex")) {
      HexValue(number, rest.substr(3), &operation);
    } else {
      Reject(number, "value data must be \"text\", dword:, hex:, hex(N): or -");
    }
    if (!skipping_) operations_.push_back(std::move(operation));
  }

  static std::string StringBytes(std::u16string_view text) {
    std::string bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t unit : text) {
      bytes += static_cast<char>(unit & 0xFF);
      bytes += static_cast<char>(unit >> 8);
    }
    bytes.append(2, '\0');
    return bytes;
  }

  // `rest` follows "hex": ":" for REG_BINARY or "(N):"; the byte list may go on over
  // lines that end with a backslash.
  void HexValue(int number, std::u16string_view rest, Operation* operation) {
    operation->type = REG_BINARY;
    if (!rest.empty() && rest.front() == u'(') {
      const size_t close = rest.find(u')');
      const auto type = close == std::u16string_view::npos ? std::nullopt : ParseHex(rest.substr(1, close - 1), 8);
      if (!type) Reject(number, "hex(N): needs a type of 1 to 8 hex digits");
      operation->type = *type;
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest.front() != u':') Reject(number, "hex data without :");
    std::u16string list(Trim(rest.substr(1)));
    while (!list.empty() && list.back() == u'\\') {
      list.pop_back();
      if (next_ >= lines_.size()) Reject(number, "continuation line missing at the end of the file");
      list += Trim(lines_[next_++].text);
    }
    if (Trim(list).empty()) return;
    std::u16string_view items(list);
    while (true) {
      const size_t comma = items.find(u',');
      const auto byte = ParseHex(Trim(items.substr(0, comma)), 2);
      if (!byte) Reject(number, "hex data must be bytes of 1 or 2 hex digits separated by commas");
      operation->data += static_cast<char>(*byte);
      if (comma == std::u16string_view::npos) break;
      items.remove_prefix(comma + 1);
    }
  }

  std::vector<Line> lines_;
  size_t next_ = 0;
  struct Key {
    host::RegistryRoot root;
    std::u16string path;
  };
  std::optional<Key> currentKey_;
  bool skipping_ = false;  // the current key is of a root Windows CE does not have
  SkippedKeys* skipped_;
  std::vector<Operation> operations_;
};

// ---------------------------------------------------------------- export

// Text a .reg line can carry: well formed, without a line feed or NUL. A carriage
// return is safe: in a line it is never followed by the line feed that would end it.
bool Writable(std::u16string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit == u'\n' || unit == 0) return false;
    if (U16_IS_LEAD(unit) && i + 1 < name.size() && U16_IS_TRAIL(name[i + 1])) {
      ++i;
    } else if (U16_IS_SURROGATE(unit)) {
      return false;
    }
  }
  return true;
}

std::string Quoted(std::u16string_view text) {
  std::string out = "\"";
  for (char unit : host::ToUtf8(text)) {
    if (unit == '"' || unit == '\\') out += '\\';
    out += unit;
  }
  return out + "\"";
}

// REG_SZ data that is one terminated string, with nothing a quoted line would lose.
std::optional<std::u16string> PlainText(const host::RegistryValue& value) {
  if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i < value.data.size(); i += 2) {
    text += static_cast<char16_t>(static_cast<unsigned char>(value.data[i]) |
                                  (static_cast<unsigned char>(value.data[i + 1]) << 8));
  }
  if (text.back() != 0) return std::nullopt;
  text.pop_back();
  if (!Writable(text)) return std::nullopt;
  return text;
}

void WriteValue(const host::RegistryValue& value, std::string* out) {
  std::string line = value.name.empty() ? "@=" : Quoted(value.name) + "=";
  char buffer[16];
  if (auto text = PlainText(value)) {
    *out += line + Quoted(*text) + "\n";
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[static_cast<size_t>(i)]);
    std::snprintf(buffer, sizeof buffer, "%08x", number);
    *out += line + "dword:" + buffer + "\n";
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    std::snprintf(buffer, sizeof buffer, "%x", value.type);
    line += std::string("hex(") + buffer + "):";
  }
  // Lines of at most about 80 columns, continued with a backslash, as regedit writes them.
  for (size_t i = 0; i < value.data.size(); ++i) {
    if (i > 0) {
      line += ',';
      if (line.size() > 76) {
        *out += line + "\\\n";
        line = "  ";
      }
    }
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(value.data[i]));
    line += buffer;
  }
  *out += line + "\n";
}

struct ExportFailure {
  std::string reason;
};

// A key's name in a file: its root's name, then its path.
std::string KeyName(host::RegistryRoot root, const std::u16string& path) {
  return host::ToUtf8(host::RegistryRootName(root)) + (path.empty() ? std::string() : "\\" + host::ToUtf8(path));
}

void WriteKey(host::RegistryRoot root, const std::u16string& path, int64_t id, std::string* out) {
  *out += "[" + KeyName(root, path) + "]\n";
  for (const auto& value : host::RegistryValues(id)) {
    if (!Writable(value.name))
      throw ExportFailure{"value name in " + KeyName(root, path) + " cannot be written to a .reg file"};
    WriteValue(value, out);
  }
  *out += "\n";
  for (const auto& subKey : host::RegistrySubKeys(id)) {
    if (!Writable(subKey.name))
      throw ExportFailure{"key name under " + KeyName(root, path) + " cannot be written to a .reg file"};
    WriteKey(root, path.empty() ? subKey.name : path + u"\\" + subKey.name, subKey.id, out);
  }
}

// A key as `reg export` names it: "HKCU\A" or "HKEY_CURRENT_USER\A" is A of that root;
// a key without a root is one of HKEY_LOCAL_MACHINE; the root alone names it all.
struct NamedKey {
  host::RegistryRoot root = host::RegistryRoot::LocalMachine;
  std::u16string path;
};
std::optional<NamedKey> KeyNamed(std::u16string_view key) {
  if (const auto split = host::SplitRegistryRoot(key)) {
    if (split->rest.empty()) return NamedKey{split->root, u""};
    if (split->rest.front() == u'\\') return NamedKey{split->root, std::u16string(split->rest.substr(1))};
    return std::nullopt;  // "HKCU:x" names no key
  }
  return NamedKey{host::RegistryRoot::LocalMachine, std::u16string(key)};
}

// The key at `path` with its names as stored, which the file shows.
std::optional<std::pair<std::u16string, int64_t>> StoredKey(host::RegistryRoot root, std::u16string_view path) {
  std::pair<std::u16string, int64_t> key{u"", *host::RegistryFindKey(root, u"")};
  while (!path.empty()) {
    const size_t cut = path.find(u'\\');
    const std::u16string_view name = path.substr(0, cut);
    bool found = false;
    for (auto& subKey : host::RegistrySubKeys(key.second)) {
      if (!host::EqualsIgnoreCase(subKey.name, name)) continue;
      key = {key.first.empty() ? subKey.name : key.first + u"\\" + subKey.name, subKey.id};
      found = true;
      break;
    }
    if (!found) return std::nullopt;
    path = cut == std::u16string_view::npos ? std::u16string_view() : path.substr(cut + 1);
  }
  return key;
}

// Every root, in the order of their predefined handles, as regedit exports them; a root
// other than HKEY_LOCAL_MACHINE only when it holds something.
std::string ExportEveryRoot() {
  std::string out = "Windows Registry Editor Version 5.00\n\n";
  for (const host::RegistryRoot root : host::kRegistryRoots) {
    const int64_t id = *host::RegistryFindKey(root, u"");
    if (root != host::RegistryRoot::LocalMachine && host::RegistryValues(id).empty() && host::RegistrySubKeys(id).empty())
      continue;
    WriteKey(root, u"", id, &out);
  }
  return out;
}

}  // namespace

void SkippedKeys::Add(const std::string& root, const std::u16string& foldedPath) {
  for (auto& [name, keys] : roots_) {
    if (name == root) {
      keys.insert(foldedPath);
      return;
    }
  }
  roots_.push_back({root, {foldedPath}});
}

std::string SkippedKeys::Warning() const {
  if (roots_.empty()) return {};
  std::string text = "skipped ";
  for (size_t i = 0; i < roots_.size(); ++i) {
    if (i > 0) text += i + 1 == roots_.size() ? " and " : ", ";
    const size_t count = roots_[i].second.size();
    text += std::to_string(count) + (count == 1 ? " key of " : " keys of ") + roots_[i].first;
  }
  return text + ": Windows CE has no such root";
}

bool IsKnownEncoding(std::string_view name) { return !name.empty() && OpenConverter(name) != nullptr; }

bool ParseRegFile(std::string_view bytes, std::vector<Operation>* operations, std::string* error,
                  SkippedKeys* skipped, std::string_view encoding) {
  try {
    *operations = Parser(DecodeLines(bytes, encoding), skipped).Run();
    return true;
  } catch (const ParseFailure& failure) {
    if (error) *error = "line " + std::to_string(failure.line) + ": " + failure.reason;
    return false;
  }
}

bool ApplyOperations(const std::vector<Operation>& operations, std::string* error) {
  int line = 0;
  try {
    host::ChangeBatch transaction;
    // The key a section's values go to, created when the section began.
    struct Current {
      host::RegistryRoot root;
      std::u16string path;
      int64_t id;
    };
    std::optional<Current> current;
    auto create = [&](const Operation& operation) {
      current.emplace(Current{operation.root, operation.key, host::RegistryCreateKey(operation.root, operation.key)});
    };
    for (const auto& operation : operations) {
      line = operation.line;
      switch (operation.kind) {
        case Operation::Kind::CreateKey:
          create(operation);
          break;
        case Operation::Kind::DeleteKey:
          host::RegistryDeleteKey(operation.root, operation.key);
          current.reset();
          break;
        case Operation::Kind::SetValue:
          if (!current || current->root != operation.root || current->path != operation.key) create(operation);
          host::RegistrySetValue(current->id, operation.name, operation.type, operation.data);
          break;
        case Operation::Kind::DeleteValue:
          if (auto id = host::RegistryFindKey(operation.root, operation.key)) host::RegistryDeleteValue(*id, operation.name);
          break;
      }
    }
    transaction.Commit();
    return true;
  } catch (const host::HostError& failure) {
    if (error) *error = "line " + std::to_string(line) + ": " + failure.what();
    return false;
  }
}

bool ImportRegFile(std::string_view bytes, std::string* error, SkippedKeys* skipped, std::string_view encoding) {
  std::vector<Operation> operations;
  return ParseRegFile(bytes, &operations, error, skipped, encoding) && ApplyOperations(operations, error);
}

std::string ExportRegistry(std::u16string_view key, std::string* error) {
  const std::u16string_view rootName = key.substr(0, key.find(u'\\'));
  if (IsCurrentConfig(rootName)) {
    if (error) *error = host::ToUtf8(kCurrentConfig) + ": Windows CE has no such root";
    return {};
  }
  try {
    // One read snapshot, so that the file shows one state of the registry without
    // holding up the terminal's writers meanwhile.
    host::ReadSnapshot snapshot;
    if (key.empty()) return ExportEveryRoot();
    const auto named = KeyNamed(key);
    const auto found = named && host::IsValidRegistryPath(named->path) ? StoredKey(named->root, named->path) : std::nullopt;
    if (!found) {
      if (error) *error = "no such key: " + (named ? KeyName(named->root, named->path) : host::ToUtf8(key));
      return {};
    }
    std::string out = "Windows Registry Editor Version 5.00\n\n";
    WriteKey(named->root, found->first, found->second, &out);
    return out;
  } catch (const ExportFailure& failure) {
    if (error) *error = failure.reason;
  } catch (const host::HostError& failure) {
    if (error) *error = failure.what();
  }
  return {};
}

}  // namespace regfile
