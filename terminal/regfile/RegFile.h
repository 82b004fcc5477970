// .reg files for the emulated terminal: importing one into the attached image's
// registry, as regedit merges it, and exporting the registry (or one key) as one.
#ifndef KORVA_TERMINAL_REGFILE_REGFILE_H
#define KORVA_TERMINAL_REGFILE_REGFILE_H

#include "platform/host/RegistryTree.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace regfile {

// One change a .reg file asks for. Keys are paths below their root.
struct Operation {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  host::RegistryRoot root = host::RegistryRoot::LocalMachine;
  std::u16string key;
  std::u16string name;  // value name; "" is the key's unnamed value
  uint32_t type = 0;
  std::string data;  // the value's bytes exactly as stored
  int line = 0;      // first line of the statement in the file
};

// The keys of roots that Windows CE does not have (a desktop export's
// HKEY_CURRENT_CONFIG), which are left out. Counted per root, each key once whatever its
// case or how often it appears.
class SkippedKeys {
 public:
  void Add(const std::string& root, const std::u16string& foldedPath);
  // One line naming how many keys of which roots were skipped; "" when none were.
  std::string Warning() const;

 private:
  std::vector<std::pair<std::string, std::set<std::u16string>>> roots_;  // in the order first met
};

// Whether ICU knows `name` as an encoding (cp932, windows-1252, utf-16le...).
bool IsKnownEncoding(std::string_view name);

// Reads a whole file: "REGEDIT4" or "Windows Registry Editor Version 5.00", CRLF or LF
// lines, in UTF-16LE or UTF-8 by its byte-order mark, else in UTF-8, else in
// `encoding` when one is named. Keys of the terminal's roots (HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS or their short names) become
// operations; keys of HKEY_CURRENT_CONFIG are checked as strictly and counted in
// `skipped`. False with "line N: reason" on the first malformed line.
bool ParseRegFile(std::string_view bytes, std::vector<Operation>* operations, std::string* error,
                  SkippedKeys* skipped = nullptr, std::string_view encoding = {});

// Applies the operations to the attached image in one transaction: all or nothing.
bool ApplyOperations(const std::vector<Operation>& operations, std::string* error);

// Parses, then applies: a malformed file changes nothing.
bool ImportRegFile(std::string_view bytes, std::string* error, SkippedKeys* skipped = nullptr,
                   std::string_view encoding = {});

// The registry below `key` as a "Windows Registry Editor Version 5.00" file in UTF-8
// with LF lines, which imports back to the same keys and values: "" for every root,
// a root's long or short name for all of it, "HKCU\A" for a key of that root, "A" for
// a key of HKEY_LOCAL_MACHINE. "" with a one-line reason when the key is absent or a
// name cannot be written in a .reg file.
std::string ExportRegistry(std::u16string_view key, std::string* error);

}  // namespace regfile

#endif  // KORVA_TERMINAL_REGFILE_REGFILE_H
