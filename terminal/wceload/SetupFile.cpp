// Reading the CE setup file. Every read goes through Cursor, which never reaches past
// the end it was given; each section's entries are read inside the file's stated length.
#include "terminal/wceload/SetupFile.h"

#include "terminal/wceload/Installer.h"

#include <map>
#include <optional>
#include <set>

namespace wceload {

namespace {

constexpr size_t kHeaderSize = 100;
constexpr std::string_view kSignature = "MSCE";

enum Section { kStrings, kFolders, kFiles, kHives, kValues, kLinks, kSectionCount };
constexpr const char* kSectionNames[kSectionCount] = {"string", "folder", "file", "registry key", "registry value",
                                                      "shortcut"};

// Bounded little-endian reads over [begin, end) of the file.
class Cursor {
 public:
  Cursor(std::string_view data, size_t at, size_t end) : data_(data), at_(at), end_(end) {}
  bool U16(uint16_t* value) {
    if (!Has(2)) return false;
    *value = static_cast<uint16_t>(Byte(0) | Byte(1) << 8);
    at_ += 2;
    return true;
  }
  bool U32(uint32_t* value) {
    if (!Has(4)) return false;
    *value = static_cast<uint32_t>(Byte(0) | Byte(1) << 8 | Byte(2) << 16 | static_cast<uint32_t>(Byte(3)) << 24);
    at_ += 4;
    return true;
  }
  bool Bytes(size_t count, std::string_view* bytes) {
    if (!Has(count)) return false;
    *bytes = data_.substr(at_, count);
    at_ += count;
    return true;
  }
  bool Skip(size_t count) {
    std::string_view ignored;
    return Bytes(count, &ignored);
  }

 private:
  bool Has(size_t count) const { return at_ <= end_ && count <= end_ - at_; }
  uint32_t Byte(size_t offset) const { return static_cast<uint8_t>(data_[at_ + offset]); }
  std::string_view data_;
  size_t at_;
  size_t end_;
};

struct Parser {
  std::string_view data;
  AnsiCodePage* codePage = nullptr;
  size_t end = 0;  // the file's stated length, at most the member's size
  std::map<uint16_t, std::u16string> strings;
  std::map<uint16_t, uint16_t> hiveRoots;
  std::map<uint16_t, std::vector<std::u16string>> hiveKeys;
  SetupFile* out = nullptr;
  std::string* why = nullptr;

  bool Fail(const std::string& text) {
    *why = "the setup file is damaged: " + text;
    return false;
  }
  bool Entry(Section section, size_t index, const char* what) {
    return Fail(std::string(kSectionNames[section]) + " " + std::to_string(index + 1) + " " + what);
  }

  // A single-byte string that must end in its NUL within `bytes`.
  bool Text(std::string_view bytes, std::u16string* text) {
    const size_t nul = bytes.find('\0');
    if (nul == std::string_view::npos) return false;
    *text = DecodeName(bytes.substr(0, nul), false, *codePage);
    return true;
  }

  // A list of string ids ending in 0, within `length` bytes, each id naming a string.
  bool Components(Cursor& cursor, uint16_t length, std::vector<std::u16string>* components) {
    std::string_view idList;
    if (length % 2 != 0 || !cursor.Bytes(length, &idList)) return false;
    Cursor ids(idList, 0, idList.size());
    for (uint16_t id = 0; ids.U16(&id);) {
      if (id == 0) return !components->empty();
      const auto found = strings.find(id);
      if (found == strings.end()) return false;
      components->push_back(found->second);
    }
    return false;  // no terminating 0
  }
};

bool ReadHeaderString(Parser& p, size_t field, std::u16string* text) {
  Cursor cursor(p.data, field, kHeaderSize);
  uint16_t offset = 0, length = 0;
  std::string_view bytes;
  cursor.U16(&offset);
  cursor.U16(&length);
  Cursor at(p.data, offset, p.end);
  return length > 0 && at.Bytes(length, &bytes) && p.Text(bytes, text) && !text->empty();
}

bool ReadStrings(Parser& p, Cursor& cursor, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t id = 0, length = 0;
    std::string_view bytes;
    std::u16string text;
    if (!cursor.U16(&id) || !cursor.U16(&length) || !cursor.Bytes(length, &bytes)) return p.Entry(kStrings, i, "runs past the end");
    if (id == 0 || !p.Text(bytes, &text)) return p.Entry(kStrings, i, "has no id or no terminator");
    if (!p.strings.emplace(id, text).second) return p.Entry(kStrings, i, "repeats an id");
  }
  return true;
}

bool ReadFolders(Parser& p, Cursor& cursor, size_t count) {
  std::set<uint16_t> ids;
  for (size_t i = 0; i < count; ++i) {
    SetupFile::Folder folder;
    uint16_t length = 0;
    if (!cursor.U16(&folder.id) || !cursor.U16(&length)) return p.Entry(kFolders, i, "runs past the end");
    if (!p.Components(cursor, length, &folder.components)) return p.Entry(kFolders, i, "has a bad path");
    if (folder.id == 0 || !ids.insert(folder.id).second) return p.Entry(kFolders, i, "has no id or repeats one");
    p.out->folders.push_back(std::move(folder));
  }
  return true;
}

bool ReadFiles(Parser& p, Cursor& cursor, size_t count) {
  std::set<uint16_t> numbers;
  for (size_t i = 0; i < count; ++i) {
    SetupFile::File file;
    uint16_t length = 0;
    std::string_view name;
    if (!cursor.U16(&file.number) || !cursor.U16(&file.folder) || !cursor.Skip(2) || !cursor.U32(&file.flags) ||
        !cursor.U16(&length) || !cursor.Bytes(length, &name))
      return p.Entry(kFiles, i, "runs past the end");
    if (!p.Text(name, &file.name) || file.name.empty()) return p.Entry(kFiles, i, "has no name or no terminator");
    if (file.number == 0 || file.number > 999 || !numbers.insert(file.number).second)
      return p.Entry(kFiles, i, "has a number outside 1..999 or repeats one");
    p.out->files.push_back(std::move(file));
  }
  return true;
}

bool ReadHives(Parser& p, Cursor& cursor, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint16_t id = 0, root = 0, length = 0;
    std::vector<std::u16string> key;
    if (!cursor.U16(&id) || !cursor.U16(&root) || !cursor.Skip(2) || !cursor.U16(&length))
      return p.Entry(kHives, i, "runs past the end");
    if (!p.Components(cursor, length, &key)) return p.Entry(kHives, i, "has a bad path");
    if (root == 0 || root > kLastRoot) return p.Entry(kHives, i, "names no root");
    if (id == 0 || !p.hiveRoots.emplace(id, root).second) return p.Entry(kHives, i, "has no id or repeats one");
    p.hiveKeys[id] = std::move(key);
  }
  return true;
}

// The value's data after its name, as its type stores it.
bool ReadValueData(Parser& p, std::string_view data, SetupFile::Value* value) {
  switch (value->type) {
    case REG_DWORD:
      value->bytes = std::string(data);
      return data.size() == 4;
    case REG_BINARY:
      value->bytes = std::string(data);
      return true;
    case REG_SZ:
      value->texts.emplace_back();
      return p.Text(data, &value->texts.back());
    default:  // REG_MULTI_SZ: strings each ending in NUL, the list in an empty one
      while (!data.empty() && data[0] != '\0') {
        value->texts.emplace_back();
        if (!p.Text(data, &value->texts.back())) return false;
        data.remove_prefix(data.find('\0') + 1);
      }
      return !data.empty();
  }
}

std::optional<DWORD> ValueType(uint32_t flags) {
  switch (flags & kRegTypeMask) {
    case kRegTypeSz: return REG_SZ;
    case kRegTypeBinary: return REG_BINARY;
    case kRegTypeMultiSz: return REG_MULTI_SZ;
    case kRegTypeDword: return REG_DWORD;
    default: return std::nullopt;
  }
}

bool ReadValues(Parser& p, Cursor& cursor, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    SetupFile::Value value;
    uint16_t id = 0, hive = 0, substitute = 0, length = 0;
    uint32_t flags = 0;
    std::string_view data;
    if (!cursor.U16(&id) || !cursor.U16(&hive) || !cursor.U16(&substitute) || !cursor.U32(&flags) ||
        !cursor.U16(&length) || !cursor.Bytes(length, &data))
      return p.Entry(kValues, i, "runs past the end");
    const auto root = p.hiveRoots.find(hive);
    if (root == p.hiveRoots.end()) return p.Entry(kValues, i, "names no registry key");
    const auto type = ValueType(flags);
    if (!type) return p.Entry(kValues, i, "has an unknown type");
    value.root = root->second;
    value.key = p.hiveKeys[hive];
    value.type = *type;
    value.noClobber = (flags & kRegNoClobber) != 0;
    value.substitute = substitute != 0;
    if (!p.Text(data, &value.name)) return p.Entry(kValues, i, "has a name without a terminator");
    if (!ReadValueData(p, data.substr(data.find('\0') + 1), &value)) return p.Entry(kValues, i, "has bad data");
    p.out->values.push_back(std::move(value));
  }
  return true;
}

bool ReadLinks(Parser& p, Cursor& cursor, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    SetupFile::Link link;
    uint16_t kind = 0, length = 0;
    if (!cursor.Skip(4) || !cursor.U16(&link.base) || !cursor.U16(&link.target) || !cursor.U16(&kind) ||
        !cursor.U16(&length))
      return p.Entry(kLinks, i, "runs past the end");
    if (!p.Components(cursor, length, &link.components)) return p.Entry(kLinks, i, "has a bad path");
    if (kind > 1) return p.Entry(kLinks, i, "has an unknown target kind");
    link.toFile = kind == 1;
    p.out->links.push_back(std::move(link));
  }
  return true;
}

bool ReadHeader(Parser& p) {
  if (p.data.size() < kHeaderSize || p.data.substr(0, kSignature.size()) != kSignature)
    return p.Fail("no \"MSCE\" header");
  Cursor header(p.data, 8, kHeaderSize);
  uint32_t length = 0;
  header.U32(&length);
  if (length < kHeaderSize || length > p.data.size())
    return p.Fail("it states " + std::to_string(length) + " bytes but has " + std::to_string(p.data.size()));
  p.end = length;
  SetupFile& out = *p.out;
  Cursor device(p.data, 20, kHeaderSize);
  for (uint32_t* field : {&out.processor, &out.minMajor, &out.minMinor, &out.maxMajor, &out.maxMinor, &out.minBuild,
                          &out.maxBuild})
    device.U32(field);
  if (!ReadHeaderString(p, 84, &out.appName) || !ReadHeaderString(p, 88, &out.provider))
    return p.Fail("the application name or the provider lies outside the file");
  return true;
}

}  // namespace

bool ParseSetupFile(std::string_view data, AnsiCodePage& codePage, SetupFile* setupFile, std::string* why) {
  *setupFile = SetupFile{};
  Parser p{.data = data, .codePage = &codePage, .out = setupFile, .why = why};
  if (!ReadHeader(p)) return false;
  using Reader = bool (*)(Parser&, Cursor&, size_t);
  constexpr Reader kReaders[kSectionCount] = {ReadStrings, ReadFolders, ReadFiles, ReadHives, ReadValues, ReadLinks};
  // Strings first and keys before values: the later sections refer to them by id.
  for (int section = 0; section < kSectionCount; ++section) {
    Cursor counts(data, 48 + 2 * section, kHeaderSize), offsets(data, 60 + 4 * section, kHeaderSize);
    uint16_t count = 0;
    uint32_t offset = 0;
    counts.U16(&count);
    offsets.U32(&offset);
    if (count == 0) continue;
    if (offset < kHeaderSize || offset >= p.end)
      return p.Fail(std::string("the ") + kSectionNames[section] + " section lies outside the file");
    Cursor cursor(data, offset, p.end);
    if (!kReaders[section](p, cursor, count)) return false;
  }
  return true;
}

}  // namespace wceload
