// The registry beneath the Reg* calls, for importing and exporting .reg files: no
// handles, no fault rules. A path is below one of the terminal's roots ("" is the root,
// names joined by "\"); names are matched case-insensitively and kept as first written.
// Database failures throw HostError; an invalid path throws HostError with
// ERROR_INVALID_PARAMETER.
#ifndef KORVA_PLATFORM_HOST_REGISTRYTREE_H
#define KORVA_PLATFORM_HOST_REGISTRYTREE_H

#include "platform/coredll.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The four roots a Windows CE registry has, in the order of their predefined handles.
// NOTES: CE documents no relation between them; the terminal keeps each apart (on the
// desktop HKEY_CURRENT_USER is a key of HKEY_USERS, and HKEY_CLASSES_ROOT a merged view).
enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users };
inline constexpr RegistryRoot kRegistryRoots[] = {RegistryRoot::ClassesRoot, RegistryRoot::CurrentUser,
                                                  RegistryRoot::LocalMachine, RegistryRoot::Users};
// "HKEY_CURRENT_USER" and the like.
std::u16string_view RegistryRootName(RegistryRoot root);
// A root's long or short name (HKEY_CURRENT_USER, HKCU), any letter case.
std::optional<RegistryRoot> RegistryRootNamed(std::u16string_view name);
// A text that begins with a root's name: the root, and the rest after the name (empty,
// or beginning with "\" or ":"). nullopt when the text begins with no root's name.
struct RootedText {
  RegistryRoot root;
  std::u16string_view rest;
};
std::optional<RootedText> SplitRegistryRoot(std::u16string_view text);

struct RegistryValue {
  std::u16string name;
  DWORD type = 0;
  std::string data;
};
struct RegistrySubKey {
  std::u16string name;
  int64_t id = 0;
};
// Every name non-empty and at most 255 characters, at most 16 levels.
bool IsValidRegistryPath(std::u16string_view path);
bool IsValidRegistryValueName(std::u16string_view name);
std::optional<int64_t> RegistryFindKey(RegistryRoot root, std::u16string_view path);
int64_t RegistryCreateKey(RegistryRoot root, std::u16string_view path);  // creates whatever is missing
void RegistryDeleteKey(RegistryRoot root, std::u16string_view path);     // the whole tree; nothing if absent
void RegistrySetValue(int64_t key, std::u16string_view name, DWORD type, std::string_view data);
void RegistryDeleteValue(int64_t key, std::u16string_view name);  // nothing if absent
std::vector<RegistrySubKey> RegistrySubKeys(int64_t key);  // in enumeration order
std::vector<RegistryValue> RegistryValues(int64_t key);    // in enumeration order

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_REGISTRYTREE_H
