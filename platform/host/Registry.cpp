// The registry: its four roots in the image database (tables reg_keys and
// reg_values). Every call reads the database, so a change committed by another
// process of the terminal is seen at once; every change is one transaction.
//
// Each root is a row without a parent. HKEY_LOCAL_MACHINE's is row 1, as in images
// made when it was the only root; the others have fixed negative ids, and an image
// made before them gains a root's row when the first key is created in it. A key's
// indexed path (path_key) is its folded path below its root, after a one-byte mark of
// the root for every root but HKEY_LOCAL_MACHINE: an odd length no key of
// HKEY_LOCAL_MACHINE has, so the roots never meet.
#include "platform/host/HostInternal.h"

#include <cstring>
#include <mutex>

namespace host {

namespace {

constexpr int64_t kRootKeyId = 1;  // HKEY_LOCAL_MACHINE
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxDepth = 16;

struct RootInfo {
  RegistryRoot root;
  std::u16string_view longName, shortName;
  int64_t id;
  char mark;  // the first byte of its keys' path_key; none for HKEY_LOCAL_MACHINE
};
constexpr RootInfo kRoots[] = {
    {RegistryRoot::ClassesRoot, u"HKEY_CLASSES_ROOT", u"HKCR", -1, '\x01'},
    {RegistryRoot::CurrentUser, u"HKEY_CURRENT_USER", u"HKCU", -2, '\x02'},
    {RegistryRoot::LocalMachine, u"HKEY_LOCAL_MACHINE", u"HKLM", kRootKeyId, '\0'},
    {RegistryRoot::Users, u"HKEY_USERS", u"HKU", -3, '\x04'},
};

const RootInfo& InfoOf(RegistryRoot root) { return kRoots[static_cast<size_t>(root)]; }

// Root rows are the only ones at or below HKEY_LOCAL_MACHINE's id: AUTOINCREMENT
// numbers every other key above it.
bool IsRootId(int64_t id) { return id <= kRootKeyId; }

// A key's identity: its root, its row, and its path below the root as the caller
// spelled it, which matches the stored one but for case (StoredPath reads that).
// Key names never change, so the path cannot go stale; the row can disappear.
struct KeyRef {
  int64_t id = kRootKeyId;
  RegistryRoot root = RegistryRoot::LocalMachine;
  std::u16string path;
  size_t depth = 0;
};

KeyRef RootKey(RegistryRoot root) { return KeyRef{InfoOf(root).id, root, u"", 0}; }

// Where RegEnumKeyExW of one handle stands: the subkey it found last, and its index.
// Only a place to go on from; the next call reads the database again.
struct EnumPosition {
  std::mutex lock;
  bool known = false;
  DWORD index = 0;
  std::string sortKey;
};

class KeyObject : public HandleObject {
 public:
  explicit KeyObject(KeyRef key) : key_(std::move(key)) {}
  HandleKind Kind() const override { return HandleKind::Key; }
  const KeyRef& key() const { return key_; }
  EnumPosition& subKeyPosition() { return subKeyPosition_; }

 private:
  KeyRef key_;
  EnumPosition subKeyPosition_;
};

// NOTES: Windows CE names no code for a registry write that its full object store
// cannot hold; the terminal answers the one it gives for a value it cannot keep.
constexpr LONG kRegistryFull = ERROR_NOT_ENOUGH_MEMORY;

// Ends a call with its error code from anywhere below the entry point.
struct RegFailure {
  LONG code;
};

[[noreturn]] void FailWith(LONG code) { throw RegFailure{code}; }

// Runs one Reg* call: failures become the returned code; the last error is never set.
// Each statement runs as its own transaction: a call reads once on its way to success
// (a failure may read again, to tell which failure it is), and a change is its own
// write transaction. A fault rule is consulted once the call's read is done, and
// before any change.
template <class F>
LONG RegCall(F&& body) {
  try {
    return body();
  } catch (const RegFailure& failure) {
    return failure.code;
  } catch (const HostError& error) {
    // The host's storage full under the database is the registry's own full answer.
    return error.code() == ERROR_DISK_FULL ? kRegistryFull : static_cast<LONG>(error.code());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

std::optional<RegistryRoot> PredefinedRoot(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return RegistryRoot::ClassesRoot;
  if (key == HKEY_CURRENT_USER) return RegistryRoot::CurrentUser;
  if (key == HKEY_LOCAL_MACHINE) return RegistryRoot::LocalMachine;
  if (key == HKEY_USERS) return RegistryRoot::Users;
  return std::nullopt;
}

// A root always exists, whether or not an older image has its row yet.
bool KeyExists(int64_t id) {
  if (IsRootId(id)) return true;
  Statement query("SELECT 1 FROM reg_keys WHERE id = ?");
  query.Bind(1, id);
  return query.Step();
}

// The predefined roots are no objects of the handle table; their keys and
// enumeration places are the process's.
KeyObject g_rootKeys[] = {KeyObject{RootKey(RegistryRoot::ClassesRoot)}, KeyObject{RootKey(RegistryRoot::CurrentUser)},
                          KeyObject{RootKey(RegistryRoot::LocalMachine)}, KeyObject{RootKey(RegistryRoot::Users)}};

// The key object behind a handle, or the call's failure; kept alive by the caller,
// even should another thread close the handle meanwhile.
std::shared_ptr<KeyObject> KeyOf(HKEY handle) {
  if (const auto root = PredefinedRoot(handle))
    return std::shared_ptr<KeyObject>(std::shared_ptr<void>(), &g_rootKeys[static_cast<size_t>(*root)]);
  auto object = FindHandleOf<KeyObject>(reinterpret_cast<HANDLE>(handle), HandleKind::Key);
  if (!object) FailWith(ERROR_INVALID_HANDLE);
  return object;
}

// The answer to a lookup under `key` that found nothing: the key itself may be gone.
// Returned, not thrown: a value or key that is not there is an everyday answer, and
// an exception in a statically linked program costs far more than the lookup.
LONG MissingAnswer(const KeyRef& key, LONG code) { return KeyExists(key.id) ? code : ERROR_KEY_DELETED; }

void FailIfDeleted(const KeyRef& key) {
  if (!KeyExists(key.id)) FailWith(ERROR_KEY_DELETED);
}

// Names are stored as their UTF-16 code units, so that any name (a lone surrogate
// included) comes back exactly; the sort key orders and matches them case-insensitively.
std::string NameBlob(std::u16string_view name) {
  return std::string(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(char16_t));
}

std::u16string NameFromBlob(std::string_view blob) {
  std::u16string name(blob.size() / sizeof(char16_t), u'\0');
  std::memcpy(name.data(), blob.data(), name.size() * sizeof(char16_t));
  return name;
}

std::string NameSortKey(std::u16string_view name) {
  // Most names are ASCII: their key is built in one pass, as ToSortKey(FoldCase()) would.
  std::string key(name.size() * 2, '\0');
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit >= 0x80) return ToSortKey(FoldCase(name));
    key[2 * i + 1] = static_cast<char>(unit >= u'A' && unit <= u'Z' ? unit + (u'a' - u'A') : unit);
  }
  return key;
}

// The indexed form of a key's path below `root`.
std::string PathKey(RegistryRoot root, std::u16string_view path) {
  const char mark = InfoOf(root).mark;
  return mark ? mark + NameSortKey(path) : NameSortKey(path);
}

std::u16string JoinPath(std::u16string_view base, std::u16string_view name) {
  if (base.empty()) return std::u16string(name);
  if (name.empty()) return std::u16string(base);
  std::u16string path(base);
  path += u'\\';
  path += name;
  return path;
}

// How many names a path holds; nullopt when one is empty or longer than 255 characters.
std::optional<size_t> CountNames(std::u16string_view path) {
  if (path.empty()) return 0;
  size_t count = 0;
  while (true) {
    const size_t cut = path.find(u'\\');
    const size_t length = cut == std::u16string_view::npos ? path.size() : cut;
    if (length == 0 || length > kMaxNameLength) return std::nullopt;
    ++count;
    if (cut == std::u16string_view::npos) return count;
    path.remove_prefix(cut + 1);
  }
}

// The names of a path; nullopt when CountNames refuses it.
std::optional<std::vector<std::u16string>> SplitNames(std::u16string_view path) {
  const auto count = CountNames(path);
  if (!count) return std::nullopt;
  std::vector<std::u16string> names;
  names.reserve(*count);
  for (size_t i = 0; i < *count; ++i) {
    const size_t cut = path.find(u'\\');
    names.emplace_back(path.substr(0, cut));
    path.remove_prefix(cut == std::u16string_view::npos ? path.size() : cut + 1);
  }
  return names;
}

// A subkey argument as given, and how many names it adds below its base.
struct SubKeyPath {
  std::u16string_view path;
  size_t names = 0;
};

// Trailing backslashes, however many, are accepted, as the desktop registry does; an
// empty name, a name over 255 characters or a key nested more than 16 levels below the
// root is refused. NOTES: CE forbids a leading backslash without naming its code; the
// desktop's ERROR_BAD_PATHNAME is the answer.
SubKeyPath CheckSubKey(const KeyRef& base, const WCHAR* subKey) {
  std::u16string_view path(subKey ? subKey : u"");
  if (!path.empty() && path.front() == u'\\') FailWith(ERROR_BAD_PATHNAME);
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  const auto names = CountNames(path);
  if (!names || base.depth + *names > kMaxDepth) FailWith(ERROR_INVALID_PARAMETER);
  return {path, *names};
}

// The names of a subkey argument that CheckSubKey accepts.
std::vector<std::u16string> SplitSubKey(const KeyRef& base, const WCHAR* subKey) {
  return std::move(*SplitNames(CheckSubKey(base, subKey).path));
}

std::vector<std::u16string> SplitPathOrThrow(std::u16string_view path) {
  auto names = SplitNames(path);
  if (!names || names->size() > kMaxDepth) throw HostError("invalid registry path", ERROR_INVALID_PARAMETER);
  return std::move(*names);
}

std::u16string JoinNames(std::u16string_view basePath, const std::vector<std::u16string>& names) {
  std::u16string path(basePath);
  for (const auto& name : names) {
    if (!path.empty()) path += u'\\';
    path += name;
  }
  return path;
}

// The key at `path` (`depth` names) below the root, in one read however deep: every
// key's whole path is indexed in its folded form, and the index alone answers. Nothing
// when the key is absent or `base` is gone (MissingAnswer tells which).
std::optional<KeyRef> FindKeyAt(const KeyRef& base, std::u16string_view path, size_t depth) {
  if (path.empty()) return RootKey(base.root);
  // A root cannot be deleted: below it there is nothing to check.
  const std::string pathKey = PathKey(base.root, path);
  Statement query(IsRootId(base.id)
                      ? "SELECT id FROM reg_keys WHERE path_key = ?1"
                      : "SELECT id FROM reg_keys WHERE path_key = ?1 AND EXISTS(SELECT 1 FROM reg_keys WHERE id = ?2)");
  query.BindBorrowedBlob(1, pathKey);
  if (!IsRootId(base.id)) query.Bind(2, base.id);
  if (!query.Step()) return std::nullopt;
  return KeyRef{query.Int(0), base.root, std::u16string(path), depth};
}

// The key at `names` below `base`.
std::optional<KeyRef> FindKey(const KeyRef& base, const std::vector<std::u16string>& names) {
  return FindKeyAt(base, JoinNames(base.path, names), base.depth + names.size());
}

// A key's path as stored: what the fault rules match and a new subkey's path begins
// with. Read only when needed, so that an open is answered by the path index alone. A
// key that is gone keeps the path it was opened by.
std::u16string StoredPath(const KeyRef& key) {
  if (IsRootId(key.id)) return {};
  Statement query("SELECT path FROM reg_keys WHERE id = ?");
  query.Bind(1, key.id);
  return query.Step() ? NameFromBlob(query.BlobView(0)) : key.path;
}

// What the fault rules match for a key: its root's name, then its path (CheckFault
// journals a key of HKEY_LOCAL_MACHINE without the root's name).
std::u16string RootedTarget(RegistryRoot root, std::u16string_view path) {
  std::u16string target(InfoOf(root).longName);
  if (!path.empty()) target += u'\\';
  target += path;
  return target;
}

std::u16string KeyTarget(const KeyRef& key) { return RootedTarget(key.root, StoredPath(key)); }

// The fault rules' name for a key: its path as stored, or as given below its base while
// it does not exist.
std::u16string KeyTarget(const std::optional<KeyRef>& found, const KeyRef& base, std::u16string_view subPath) {
  return found ? KeyTarget(*found) : RootedTarget(base.root, JoinPath(StoredPath(base), subPath));
}

std::u16string KeyTarget(const std::optional<KeyRef>& found, const KeyRef& base,
                         const std::vector<std::u16string>& names) {
  return KeyTarget(found, base, JoinNames(u"", names));
}

KeyRef InsertSubKey(const KeyRef& parent, std::u16string_view name) {
  Statement insert("INSERT INTO reg_keys(parent, name, sort_key, path, path_key) VALUES(?, ?, ?, ?, ?)");
  const std::u16string path = JoinPath(StoredPath(parent), name);
  const std::string blob = NameBlob(name), sortKey = NameSortKey(name);
  const std::string pathBlob = NameBlob(path), pathKey = PathKey(parent.root, path);
  insert.Bind(1, parent.id)
      .BindBlob(2, blob.data(), blob.size())
      .BindBlob(3, sortKey.data(), sortKey.size())
      .BindBlob(4, pathBlob.data(), pathBlob.size())
      .BindBlob(5, pathKey.data(), pathKey.size())
      .Run();
  return KeyRef{LastInsertRowId(), parent.root, path, parent.depth + 1};
}

// The row of `root`, for an image made before the root had one.
void EnsureRootRow(RegistryRoot root) {
  Statement insert("INSERT OR IGNORE INTO reg_keys(id, parent, name, sort_key, path, path_key) VALUES(?, NULL, x'', x'', x'', ?)");
  const std::string pathKey(1, InfoOf(root).mark);
  insert.Bind(1, InfoOf(root).id).BindBlob(2, pathKey.data(), pathKey.size()).Run();
}

// The bytes a new key or value takes in the storage: its entry and its name.
uint64_t EntryBytes(std::u16string_view name) { return kEntryBytes + name.size() * sizeof(char16_t); }

// Opens or creates the key at `names` below `base` with every missing key on the way;
// true in `created` when the last one was new. Runs inside the caller's transaction.
// `bounded`: a key is created only where the storage has room for it (a call of the
// terminal's programs, not termsim's own import).
KeyRef CreatePath(const KeyRef& base, const std::vector<std::u16string>& names, bool* created, bool bounded) {
  *created = false;
  if (auto found = FindKey(base, names)) return *found;
  if (!KeyExists(base.id)) FailWith(ERROR_KEY_DELETED);
  if (base.root != RegistryRoot::LocalMachine) EnsureRootRow(base.root);
  KeyRef key = base;
  for (size_t i = 0; i < names.size(); ++i) {
    auto existing = FindKey(base, std::vector<std::u16string>(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i + 1)));
    if (!existing && bounded && !RoomFor(EntryBytes(names[i]), Store::Database)) FailWith(kRegistryFull);
    key = existing ? std::move(*existing) : InsertSubKey(key, names[i]);
    *created = !existing;
  }
  return key;
}

KeyRef CreatePathCommitted(const KeyRef& base, const std::vector<std::u16string>& names, bool* created,
                           bool bounded) {
  Transaction transaction;
  KeyRef key = CreatePath(base, names, created, bounded);
  transaction.Commit();
  return key;
}

std::u16string ValueTarget(const KeyRef& key, std::u16string_view valueName) {
  std::u16string target = KeyTarget(key);
  target += u':';
  target += valueName;
  return target;
}

// Consults the fault rules; a rule that fires ends the call with its error. The
// target is built only when a rule may match; `afterRead` as for MayHaveFaultRules.
template <class Target>
void CheckRegistryFault(const char* api, Target&& target, bool afterRead = false) {
  if (!MayHaveFaultRules(api, afterRead)) return;
  const Fault fault = CheckFault(api, target());
  if (fault.action == FaultAction::Fail) FailWith(static_cast<LONG>(fault.error));
  // A half write means nothing for the registry: the power goes at the call.
  if (fault.action == FaultAction::PowerLossHalf) PowerLoss();
}

HKEY NewKeyHandle(KeyRef key) {
  return reinterpret_cast<HKEY>(AddHandle(std::make_shared<KeyObject>(std::move(key))));
}

// Creates or replaces a value. A replaced value keeps its name's case and its place
// in the enumeration; its type and data are the new ones.
void UpsertValue(int64_t keyId, std::u16string_view name, DWORD type, const void* data, size_t size) {
  if (size > static_cast<size_t>(sqlite3_limit(Database(), SQLITE_LIMIT_LENGTH, -1)))
    throw HostError("registry value too large", ERROR_NOT_ENOUGH_MEMORY);
  Statement upsert(
      "INSERT INTO reg_values(key_id, name, sort_key, type, data, seq) "
      "VALUES(?1, ?2, ?3, ?4, ?5, (SELECT COALESCE(MAX(seq), 0) + 1 FROM reg_values WHERE key_id = ?1)) "
      "ON CONFLICT(key_id, sort_key) DO UPDATE SET type = excluded.type, data = excluded.data");
  const std::string blob = NameBlob(name), sortKey = NameSortKey(name);
  upsert.Bind(1, keyId)
      .BindBlob(2, blob.data(), blob.size())
      .BindBlob(3, sortKey.data(), sortKey.size())
      .Bind(4, static_cast<int64_t>(type))
      .BindBlob(5, data, size)
      .Run();
}

// What writing `size` bytes of data to the value adds: a new value its entry, name and
// data; a replaced one what its data grows by.
uint64_t ValueGrowth(int64_t keyId, std::u16string_view name, size_t size) {
  const std::string sortKey = NameSortKey(name);
  Statement query("SELECT length(data) FROM reg_values WHERE key_id = ? AND sort_key = ?");
  query.Bind(1, keyId).BindBorrowedBlob(2, sortKey);
  if (!query.Step()) return EntryBytes(name) + size;
  const auto stored = static_cast<size_t>(query.Int(0));
  return size > stored ? size - stored : 0;
}

bool DeleteValueRow(int64_t keyId, std::u16string_view name) {
  Statement remove("DELETE FROM reg_values WHERE key_id = ? AND sort_key = ?");
  const std::string sortKey = NameSortKey(name);
  remove.Bind(1, keyId).BindBlob(2, sortKey.data(), sortKey.size()).Run();
  return sqlite3_changes(Database()) > 0;
}

// Subkeys and values go with the key (ON DELETE CASCADE).
bool DeleteKeyRow(int64_t id) {
  Statement remove("DELETE FROM reg_keys WHERE id = ?");
  remove.Bind(1, id).Run();
  return sqlite3_changes(Database()) > 0;
}

struct StoredValue {
  DWORD type = REG_NONE;
  std::string data;
};

std::optional<StoredValue> FindValue(const KeyRef& key, std::u16string_view name) {
  const std::string sortKey = NameSortKey(name);
  Statement query("SELECT type, data FROM reg_values WHERE key_id = ? AND sort_key = ?");
  query.Bind(1, key.id).BindBorrowedBlob(2, sortKey);
  if (!query.Step()) return std::nullopt;
  return StoredValue{static_cast<DWORD>(query.Int(0)), query.Blob(1)};
}

struct NamedValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::string data;
};

// Values come in the order they were first written, as the desktop registry gives them.
std::optional<NamedValue> ValueAt(const KeyRef& key, DWORD index) {
  Statement query("SELECT name, type, data FROM reg_values WHERE key_id = ? ORDER BY seq LIMIT 1 OFFSET ?");
  query.Bind(1, key.id).Bind(2, static_cast<int64_t>(index));
  if (!query.Step()) return std::nullopt;
  return NamedValue{NameFromBlob(query.Blob(0)), static_cast<DWORD>(query.Int(1)), query.Blob(2)};
}

struct FoundSubKey {
  std::u16string name;
  std::string sortKey;
};

// The subkey at `index` of `key` in case-insensitive name order. From the place the
// handle's last call found, the next one (or the same one again) is one seek on the
// sort-key index; any other index is counted from the first subkey.
std::optional<FoundSubKey> SubKeyAt(const KeyRef& key, DWORD index, EnumPosition& position) {
  std::lock_guard guard(position.lock);
  const bool same = position.known && index == position.index;
  const bool next = position.known && index == position.index + 1;
  std::optional<Statement> query;
  if (same || next) {
    query.emplace(same ? "SELECT name, sort_key FROM reg_keys WHERE parent = ? AND sort_key >= ? ORDER BY sort_key LIMIT 1"
                       : "SELECT name, sort_key FROM reg_keys WHERE parent = ? AND sort_key > ? ORDER BY sort_key LIMIT 1");
    query->Bind(1, key.id).BindBlob(2, position.sortKey.data(), position.sortKey.size());
  } else {
    query.emplace("SELECT name, sort_key FROM reg_keys WHERE parent = ? ORDER BY sort_key LIMIT 1 OFFSET ?");
    query->Bind(1, key.id).Bind(2, static_cast<int64_t>(index));
  }
  position.known = false;
  if (!query->Step()) return std::nullopt;
  FoundSubKey found{NameFromBlob(query->Blob(0)), query->Blob(1)};
  position.known = true;
  position.index = index;
  position.sortKey = found.sortKey;
  return found;
}

struct KeyInfo {
  bool exists = false;
  int64_t subKeys = 0, values = 0, maxSubKeyName = 0, maxValueName = 0, maxValueData = 0;
};

// One statement, so that the counts describe one state of the key. The lengths are in
// characters (name blobs hold two bytes each), the data length in bytes. Without
// `lengths` they stay 0: a caller that asks only for the counts spares the statement
// three of its lookups.
KeyInfo ReadKeyInfo(int64_t keyId, bool lengths) {
  Statement query(
      lengths ? "SELECT EXISTS(SELECT 1 FROM reg_keys WHERE id = ?1),"
                " (SELECT COUNT(*) FROM reg_keys WHERE parent = ?1),"
                " (SELECT COUNT(*) FROM reg_values WHERE key_id = ?1),"
                " (SELECT COALESCE(MAX(length(name)), 0) / 2 FROM reg_keys WHERE parent = ?1),"
                " (SELECT COALESCE(MAX(length(name)), 0) / 2 FROM reg_values WHERE key_id = ?1),"
                " (SELECT COALESCE(MAX(length(data)), 0) FROM reg_values WHERE key_id = ?1)"
              : "SELECT EXISTS(SELECT 1 FROM reg_keys WHERE id = ?1),"
                " (SELECT COUNT(*) FROM reg_keys WHERE parent = ?1),"
                " (SELECT COUNT(*) FROM reg_values WHERE key_id = ?1), 0, 0, 0");
  query.Bind(1, keyId);
  query.Step();
  return {query.Int(0) != 0, query.Int(1), query.Int(2), query.Int(3), query.Int(4), query.Int(5)};
}

// Copies a name with its terminator when `*chars` (room including the NUL) allows;
// otherwise ERROR_MORE_DATA with the buffer and `*chars` untouched.
LONG CopyName(std::u16string_view name, WCHAR* buffer, DWORD* chars) {
  if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
  buffer[name.size()] = 0;
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// The terminal's keys have no class: an empty string where one is asked for.
LONG CopyEmptyClass(WCHAR* buffer, DWORD* chars) {
  if (!chars) return ERROR_SUCCESS;
  if (buffer) {
    if (*chars < 1) return ERROR_MORE_DATA;
    buffer[0] = 0;
  }
  *chars = 0;
  return ERROR_SUCCESS;
}

}  // namespace

bool IsValidRegistryPath(std::u16string_view path) {
  auto names = SplitNames(path);
  return names && names->size() <= kMaxDepth;
}

bool IsValidRegistryValueName(std::u16string_view name) { return name.size() <= kMaxNameLength; }

std::u16string_view RegistryRootName(RegistryRoot root) { return InfoOf(root).longName; }

std::optional<RegistryRoot> RegistryRootNamed(std::u16string_view name) {
  for (const RootInfo& info : kRoots) {
    if (EqualsIgnoreCase(name, info.longName) || EqualsIgnoreCase(name, info.shortName)) return info.root;
  }
  return std::nullopt;
}

std::optional<RootedText> SplitRegistryRoot(std::u16string_view text) {
  const size_t end = text.find_first_of(u"\\:");
  const auto root = RegistryRootNamed(text.substr(0, end));
  if (!root) return std::nullopt;
  return RootedText{*root, end == std::u16string_view::npos ? std::u16string_view() : text.substr(end)};
}

std::optional<int64_t> RegistryFindKey(RegistryRoot root, std::u16string_view path) {
  const auto found = FindKey(RootKey(root), SplitPathOrThrow(path));
  return found ? std::optional<int64_t>(found->id) : std::nullopt;
}

int64_t RegistryCreateKey(RegistryRoot root, std::u16string_view path) {
  bool created = false;
  return CreatePathCommitted(RootKey(root), SplitPathOrThrow(path), &created, false).id;
}

void RegistryDeleteKey(RegistryRoot root, std::u16string_view path) {
  const auto names = SplitPathOrThrow(path);
  if (names.empty()) throw HostError("a root of the registry cannot be deleted", ERROR_ACCESS_DENIED);
  if (auto found = FindKey(RootKey(root), names)) DeleteKeyRow(found->id);
}

void RegistrySetValue(int64_t key, std::u16string_view name, DWORD type, std::string_view data) {
  if (!IsValidRegistryValueName(name)) throw HostError("registry value name too long", ERROR_INVALID_PARAMETER);
  if (!KeyExists(key)) throw HostError("registry key deleted", ERROR_KEY_DELETED);
  UpsertValue(key, name, type, data.data(), data.size());
}

void RegistryDeleteValue(int64_t key, std::u16string_view name) { DeleteValueRow(key, name); }

std::vector<RegistrySubKey> RegistrySubKeys(int64_t key) {
  std::vector<RegistrySubKey> subKeys;
  Statement query("SELECT name, id FROM reg_keys WHERE parent = ? ORDER BY sort_key");
  query.Bind(1, key);
  while (query.Step()) subKeys.push_back({NameFromBlob(query.Blob(0)), query.Int(1)});
  return subKeys;
}

std::vector<RegistryValue> RegistryValues(int64_t key) {
  std::vector<RegistryValue> values;
  Statement query("SELECT name, type, data FROM reg_values WHERE key_id = ? ORDER BY seq");
  query.Bind(1, key);
  while (query.Step()) values.push_back({NameFromBlob(query.Blob(0)), static_cast<DWORD>(query.Int(1)), query.Blob(2)});
  return values;
}

// The keys and values of every root, and the roots' own rows.
void CreateRegistryTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE reg_keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES reg_keys(id) ON DELETE CASCADE,
  name BLOB NOT NULL,
  sort_key BLOB NOT NULL,
  path BLOB NOT NULL,
  path_key BLOB NOT NULL UNIQUE,
  UNIQUE(parent, sort_key));
CREATE TABLE reg_values(
  key_id INTEGER NOT NULL REFERENCES reg_keys(id) ON DELETE CASCADE,
  name BLOB NOT NULL,
  sort_key BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  seq INTEGER NOT NULL,
  PRIMARY KEY(key_id, sort_key));
)sql");
  Exec(db, "INSERT INTO reg_keys(id, parent, name, sort_key, path, path_key) VALUES(1, NULL, x'', x'', x'', x'');");
  // The other roots' rows: each path_key is the root's mark alone (kRoots).
  Exec(db, "INSERT INTO reg_keys(id, parent, name, sort_key, path, path_key) VALUES"
           "(-1, NULL, x'', x'', x'', x'01'), (-2, NULL, x'', x'', x'', x'02'), (-3, NULL, x'', x'', x'', x'04');");
}

}  // namespace host

using host::FailWith;
using host::KeyRef;
using host::RegCall;

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)samDesired;  // the terminal has no registry security: any mask is accepted
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& base = object->key();
    if (ulOptions != 0) FailWith(ERROR_INVALID_PARAMETER);  // reserved on CE
    const auto subKey = host::CheckSubKey(base, lpSubKey);
    const std::u16string path = host::JoinPath(base.path, subKey.path);
    auto found = host::FindKeyAt(base, path, base.depth + subKey.names);
    host::CheckRegistryFault("RegOpenKeyExW", [&] { return host::KeyTarget(found, base, subKey.path); }, true);
    if (!found) return host::MissingAnswer(base, ERROR_FILE_NOT_FOUND);
    *phkResult = host::NewKeyHandle(std::move(*found));
    return ERROR_SUCCESS;
  });
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  (void)samDesired;  // the terminal has no registry security: any mask is accepted
  (void)lpClass;     // NOTES: key classes are not kept; every key's class reads back as ""
  // As the desktop registry answers; CE documents no code for it.
  if (!phkResult) return ERROR_BADKEY;
  *phkResult = nullptr;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& base = object->key();
    // Reserved must be 0. NOTES: CE ignores dwOptions; the terminal has no volatile keys
    // and no security attributes, so it refuses them rather than pretend.
    if (Reserved != 0 || dwOptions != REG_OPTION_NON_VOLATILE || lpSecurityAttributes)
      FailWith(ERROR_INVALID_PARAMETER);
    const auto names = host::SplitSubKey(base, lpSubKey);
    const auto found = host::FindKey(base, names);
    host::CheckRegistryFault("RegCreateKeyExW", [&] { return host::KeyTarget(found, base, names); }, true);

    // A key that exists is opened without a write transaction.
    bool created = false;
    KeyRef key = found ? *found : host::CreatePathCommitted(base, names, &created, true);
    *phkResult = host::NewKeyHandle(std::move(key));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    const std::u16string name = host::ToU16(lpValueName);
    const auto value = host::FindValue(key, name);
    host::CheckRegistryFault("RegQueryValueExW", [&] { return host::ValueTarget(key, name); }, true);
    if (!value) return host::MissingAnswer(key, ERROR_FILE_NOT_FOUND);
    const auto size = static_cast<DWORD>(value->data.size());
    if (lpType) *lpType = value->type;
    if (!lpData) {
      if (lpcbData) *lpcbData = size;
      return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, value->data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
  // Data that is not there for its size answers as the desktop registry does (CE documents no code).
  if (!lpData && cbData != 0) return ERROR_NOACCESS;
  if (Reserved != 0) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    const std::u16string name = host::ToU16(lpValueName);
    if (name.size() > host::kMaxNameLength) FailWith(ERROR_INVALID_PARAMETER);
    host::CheckRegistryFault("RegSetValueExW", [&] { return host::ValueTarget(key, name); });

    host::Transaction transaction;
    host::FailIfDeleted(key);
    if (!host::RoomFor(host::ValueGrowth(key.id, name, cbData), host::Store::Database)) FailWith(host::kRegistryFull);
    host::UpsertValue(key.id, name, dwType, lpData, cbData);
    transaction.Commit();
    return ERROR_SUCCESS;
  });
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    const auto info = host::ReadKeyInfo(key.id, lpcbMaxSubKeyLen || lpcbMaxValueNameLen || lpcbMaxValueLen);
    host::CheckRegistryFault("RegQueryInfoKeyW", [&] { return host::KeyTarget(key); }, true);
    if (!info.exists && !host::IsRootId(key.id)) FailWith(ERROR_KEY_DELETED);
    const LONG classResult = host::CopyEmptyClass(lpClass, lpcchClass);
    if (classResult != ERROR_SUCCESS) return classResult;
    auto put = [](LPDWORD out, int64_t value) {
      if (out) *out = static_cast<DWORD>(value);
    };
    put(lpcSubKeys, info.subKeys);
    put(lpcbMaxSubKeyLen, info.maxSubKeyName);
    put(lpcbMaxClassLen, 0);
    put(lpcValues, info.values);
    put(lpcbMaxValueNameLen, info.maxValueName);
    put(lpcbMaxValueLen, info.maxValueData);
    // NOTES: the terminal keeps no security descriptors and no key write times.
    put(lpcbSecurityDescriptor, 0);
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    // Case-insensitive name order: indices stay put while no subkey comes or goes.
    const auto found = host::SubKeyAt(key, dwIndex, object->subKeyPosition());
    host::CheckRegistryFault("RegEnumKeyExW", [&] { return host::KeyTarget(key); }, true);
    if (!found) return host::MissingAnswer(key, ERROR_NO_MORE_ITEMS);
    // A name that does not fit leaves the buffer and its size as they were.
    const LONG result = host::CopyName(found->name, lpName, lpcchName);
    if (result != ERROR_SUCCESS) return result;
    host::CopyEmptyClass(lpClass, lpcchClass);
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    const auto value = host::ValueAt(key, dwIndex);
    host::CheckRegistryFault("RegEnumValueW", [&] { return host::KeyTarget(key); }, true);
    if (!value) return host::MissingAnswer(key, ERROR_NO_MORE_ITEMS);
    const std::u16string& name = value->name;
    const std::string& data = value->data;
    const auto size = static_cast<DWORD>(data.size());
    // As the desktop registry answers: the type and the data's size are always given;
    // a name that does not fit leaves both buffers and the name's size alone; data that
    // does not fit still gets its name written, the data buffer left alone.
    if (lpType) *lpType = value->type;
    if (host::CopyName(name, lpValueName, lpcchValueName) != ERROR_SUCCESS || (lpData && *lpcbData < size)) {
      if (lpcbData) *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (lpData) std::memcpy(lpData, data.data(), size);
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& base = object->key();
    const auto names = host::SplitSubKey(base, lpSubKey);
    const auto found = host::FindKey(base, names);
    host::CheckRegistryFault("RegDeleteKeyW", [&] { return host::KeyTarget(found, base, names); }, true);
    if (!found) return host::MissingAnswer(base, ERROR_FILE_NOT_FOUND);
    if (host::IsRootId(found->id)) FailWith(ERROR_ACCESS_DENIED);

    // As on CE, the whole tree goes, values included. NOTES: CE refuses to delete a key
    // that is open; the terminal deletes it, and its handles then answer ERROR_KEY_DELETED.
    host::Transaction transaction;
    const bool removed = host::DeleteKeyRow(found->id);
    transaction.Commit();
    if (!removed) FailWith(names.empty() ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND);
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return RegCall([&]() -> LONG {
    const auto object = host::KeyOf(hKey);
    const KeyRef& key = object->key();
    const std::u16string name = host::ToU16(lpValueName);
    host::CheckRegistryFault("RegDeleteValueW", [&] { return host::ValueTarget(key, name); });
    host::Transaction transaction;
    const bool removed = host::DeleteValueRow(key.id, name);
    transaction.Commit();
    if (!removed) return host::MissingAnswer(key, ERROR_FILE_NOT_FOUND);
    return ERROR_SUCCESS;
  });
}

LONG RegCloseKey(HKEY hKey) {
  if (host::PredefinedRoot(hKey)) return ERROR_SUCCESS;
  auto object = host::FindHandleOf<host::KeyObject>(reinterpret_cast<HANDLE>(hKey), host::HandleKind::Key);
  if (!object) return ERROR_INVALID_HANDLE;
  host::RemoveHandle(reinterpret_cast<HANDLE>(hKey));
  return ERROR_SUCCESS;
}
