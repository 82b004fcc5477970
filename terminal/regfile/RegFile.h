// .reg files for the emulated terminal: importing one into the attached image's
// registry, as regedit merges it, and exporting the registry (or one key) as one.
#ifndef KORVA_TERMINAL_REGFILE_REGFILE_H
#define KORVA_TERMINAL_REGFILE_REGFILE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace regfile {

// One change a .reg file asks for. Keys are paths below HKEY_LOCAL_MACHINE.
struct Operation {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  std::u16string key;
  std::u16string name;  // value name; "" is the key's unnamed value
  uint32_t type = 0;
  std::string data;  // the value's bytes exactly as stored
  int line = 0;      // first line of the statement in the file
};

// Reads a whole file: "REGEDIT4" or "Windows Registry Editor Version 5.00", UTF-8
// with or without a BOM or UTF-16LE with a BOM, CRLF or LF lines. False with
// "line N: reason" on the first malformed line.
bool ParseRegFile(std::string_view bytes, std::vector<Operation>* operations, std::string* error);

// Applies the operations to the attached image in one transaction: all or nothing.
bool ApplyOperations(const std::vector<Operation>& operations, std::string* error);

// Parses, then applies: a malformed file changes nothing.
bool ImportRegFile(std::string_view bytes, std::string* error);

// The registry below `key` ("" or "HKEY_LOCAL_MACHINE" for all of it; "HKLM\..." and
// "HKEY_LOCAL_MACHINE\..." prefixes are accepted) as a "Windows Registry Editor
// Version 5.00" file in UTF-8 with LF lines, which imports back to the same keys and
// values. "" with a one-line reason when the key is absent or a name cannot be
// written in a .reg file.
std::string ExportRegistry(std::u16string_view key, std::string* error);

}  // namespace regfile

#endif  // KORVA_TERMINAL_REGFILE_REGFILE_H
