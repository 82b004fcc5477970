// The CE setup file (the cabinet's ".000" member, signature "MSCE"), read into what the
// installer applies: the device it is made for, its folders, files, registry values and
// shortcuts. Parsing checks every offset, count and length against the member's size
// and does nothing else: folder macros stay unresolved, nothing is written.
//
// Layout (little-endian): a 100-byte header, then six sections the header locates.
//   0 "MSCE"; 8 u32 length of the file; 20 u32 processor type (0: any);
//   24/28 u32 minimum CE major/minor, 32/36 maximum, 40/44 u32 minimum/maximum build;
//   48..58 u16 entry counts and 60..80 u32 offsets of STRINGS, DIRS, FILES, REGHIVES,
//   REGKEYS, LINKS; 84/86 u16 offset/length of the application name, 88/90 of the
//   provider (single-byte strings with their NUL).
//   STRINGS  {u16 id, u16 length, bytes ending in NUL}
//   DIRS     {u16 id, u16 length, u16 string ids ending in 0}: components of a path
//   FILES    {u16 number (the member's extension), u16 folder id, u16, u32 flags,
//             u16 length, name ending in NUL}
//   REGHIVES {u16 id, u16 root (1 HKCR, 2 HKCU, 3 HKLM, 4 HKU), u16, u16 length,
//             u16 string ids ending in 0}: components of a key path
//   REGKEYS  {u16 id, u16 hive id, u16 substitute macros, u32 type and flags,
//             u16 length, value name ending in NUL, then the data}
//   LINKS    {u16 id, u16, u16 base folder (0: none, n: %CEn%), u16 target id,
//             u16 target kind (0 folder, 1 file), u16 length, u16 string ids ending in 0}
#ifndef KORVA_TERMINAL_WCELOAD_SETUPFILE_H
#define KORVA_TERMINAL_WCELOAD_SETUPFILE_H

#include "platform/coredll.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wceload {

// FILES flags the installer honours (the CAB Wizard's CopyFiles flags).
inline constexpr uint32_t kCopyNoOverwrite = 0x00000010;   // keep an existing file
inline constexpr uint32_t kCopyReplaceOnly = 0x00000400;   // copy only over an existing file
inline constexpr uint32_t kCopyKeepNewer = 0x20000000;     // keep an existing file that is newer
// REGKEYS flags.
inline constexpr uint32_t kRegNoClobber = 0x00000002;      // keep an existing value
inline constexpr uint32_t kRegTypeMask = 0xFFFF0001;
inline constexpr uint32_t kRegTypeSz = 0x00000000;
inline constexpr uint32_t kRegTypeBinary = 0x00000001;
inline constexpr uint32_t kRegTypeMultiSz = 0x00010000;
inline constexpr uint32_t kRegTypeDword = 0x00010001;
// REGHIVES roots are numbered 1 (HKEY_CLASSES_ROOT) to 4 (HKEY_USERS).
inline constexpr uint16_t kLastRoot = 4;

struct SetupFile {
  std::u16string appName;
  std::u16string provider;
  uint32_t processor = 0;
  uint32_t minMajor = 0, minMinor = 0, maxMajor = 0, maxMinor = 0;
  uint32_t minBuild = 0, maxBuild = 0;

  struct Folder {
    uint16_t id = 0;
    std::vector<std::u16string> components;  // may begin with a macro ("%CE2%")
  };
  struct File {
    uint16_t number = 0;  // the member "*.NNN" that holds it
    uint16_t folder = 0;
    uint32_t flags = 0;
    std::u16string name;
  };
  struct Value {
    uint16_t root = 0;
    std::vector<std::u16string> key;  // components
    std::u16string name;              // "" for the key's default value
    DWORD type = REG_SZ;
    std::vector<std::u16string> texts;  // REG_SZ (one), REG_MULTI_SZ (each)
    std::string bytes;                  // REG_DWORD (four), REG_BINARY
    bool noClobber = false;
    bool substitute = false;  // the texts hold folder macros to resolve
  };
  struct Link {
    uint16_t base = 0;  // 0, or n for %CEn%
    bool toFile = false;
    uint16_t target = 0;  // a file number or a folder id
    std::vector<std::u16string> components;
  };
  std::vector<Folder> folders;
  std::vector<File> files;
  std::vector<Value> values;
  std::vector<Link> links;
};

// The terminal's ANSI code page (932 on a Japanese terminal, 1252 on an English one),
// which decodes names and texts stored without the UTF-8 flag. Get (MemberNames.cpp)
// asks the system at its first call: ASCII reads the same in each code page, so a
// cabinet whose names and texts are ASCII alone never asks.
class AnsiCodePage {
 public:
  AnsiCodePage() = default;
  explicit AnsiCodePage(UINT known) : known_(known) {}
  UINT Get();

 private:
  std::optional<UINT> known_;
};

// Reads the whole setup file; texts decode in `codePage`. False with a one-line `why`
// on the first thing that does not fit the layout or the member's size.
bool ParseSetupFile(std::string_view data, AnsiCodePage& codePage, SetupFile* setupFile, std::string* why);

}  // namespace wceload

#endif  // KORVA_TERMINAL_WCELOAD_SETUPFILE_H
