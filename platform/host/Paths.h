// CE paths in the terminal's file system (fs/ of the image), and host files.
// ResolvePath and CanonicalCePath are the first step of every CE file call and answer
// as those calls do (nullopt, the reason in the last error); the rest throws HostError.
#ifndef KORVA_PLATFORM_HOST_PATHS_H
#define KORVA_PLATFORM_HOST_PATHS_H

#include "platform/coredll.h"
#include "platform/host/UniqueFd.h"

#include <optional>
#include <string>
#include <string_view>

struct statx;

namespace host {

// What no CE file name holds: control characters (U+0000..U+001F), the separators
// \ and /, and < > : " | ? *.
bool IsForbiddenInFileName(char16_t c);
// "QDV1:" and the like, which CreateFileW opens as a stream device: three letters, a
// digit, a colon.
bool IsDeviceName(std::u16string_view name);

// A CE path resolved inside fs/.
struct ResolvedPath {
  UniqueFd parentFd;          // O_PATH descriptor of the folder that holds the last component
  std::string hostName;       // the last component as it exists on the host (or as given when absent)
  bool exists = false;        // the last component exists
  std::u16string cePath;      // normalised CE path, "\A\B"
  std::string HostPath() const;  // absolute host path, for diagnostics and exec
  // The folder that holds it: "\A" of "\A\B", "" (the root) of "\A" and of the root.
  std::u16string_view Folder() const;
};
// Resolves `cePath` one component at a time beneath fs/: exact name first, else a
// case-insensitive match; "\" and "/" separate, "." and ".." apply to the text
// (clamped at the root), no leading separator still means the root. Never leaves
// fs/. On failure sets the last error and returns nullopt: ERROR_PATH_NOT_FOUND (a
// folder on the way is missing), ERROR_INVALID_NAME (< > : " | ? *, control
// characters, lone surrogates), ERROR_FILENAME_EXCED_RANGE (260 characters or more),
// ERROR_ACCESS_DENIED (a symlink). The last component need not exist. The root itself
// comes back as hostName "." with parentFd on fs/.
std::optional<ResolvedPath> ResolvePath(std::u16string_view cePath);
// The path as the loader names a module: "\" first, "\" between names, "." and ".."
// applied, the letters as given; nullopt (last error set) where ResolvePath fails on
// the text alone.
std::optional<std::u16string> CanonicalCePath(std::u16string_view cePath);
// The entry `name` of the folder `dirFd`, not following a symlink, with its birth time
// where the host file system keeps one. False with errno on failure.
bool StatEntry(int dirFd, const std::string& name, struct ::statx* out);

// Copies the host file `from` to the new host file `to`, with its permission bits.
// Throws HostError with a one-line reason naming both, which says so where the host's
// storage is full (ERROR_DISK_FULL); nothing of `to` is left then.
void CopyHostFile(const std::string& from, const std::string& to);

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_PATHS_H
