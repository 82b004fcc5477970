// CE paths inside fs/: resolution one component at a time, the entry facts every
// file call shares (attributes, times), and the program's own module path.
//
// The rules a path follows on the terminal:
// - "\" and "/" both separate components (as Windows does); runs of separators count
//   as one; there is no current directory, so a path without a leading separator
//   starts at the root, and "" is the root.
// - "." is dropped and ".." removes the component before it, on the text of the path
//   as Windows does, clamped at the root: "\..\Windows" is "\Windows". Nothing ever
//   reaches the host file system as "..".
// - A whole path of MAX_PATH (260) characters or more fails with
//   ERROR_FILENAME_EXCED_RANGE: MAX_PATH counts the terminator.
// - Characters Windows forbids in names (< > : " | ? * and U+0001..U+001F) and lone
//   surrogates (no UTF-8 host name exists for them) fail with ERROR_INVALID_NAME.
//   Device names ("QDV1:") carry a colon and are dispatched before a path is resolved.
// - A symlink anywhere below fs/ fails with ERROR_ACCESS_DENIED: the terminal has none,
//   so one can only have been planted, and following it could leave fs/.
#include "platform/host/HostInternal.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace host {

namespace {

constexpr uint64_t kBeneath = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool HasLoneSurrogate(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// The components of `cePath` after "." and ".." are applied; nullopt with the error.
std::optional<std::vector<std::u16string>> Components(std::u16string_view cePath, DWORD* error) {
  if (cePath.size() >= MAX_PATH) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return std::nullopt;
  }
  std::vector<std::u16string> parts;
  size_t i = 0;
  while (i < cePath.size()) {
    if (IsSeparator(cePath[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < cePath.size() && !IsSeparator(cePath[end])) ++end;
    const std::u16string_view name = cePath.substr(i, end - i);
    i = end;
    if (name == u".") continue;
    if (name == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    for (char16_t c : name) {
      if (IsForbiddenInFileName(c)) {
        *error = ERROR_INVALID_NAME;
        return std::nullopt;
      }
    }
    if (HasLoneSurrogate(name)) {
      *error = ERROR_INVALID_NAME;
      return std::nullopt;
    }
    parts.emplace_back(name);
  }
  return parts;
}

// The host name of the entry `name` in the folder `dirFd`: the exact name when it
// exists, else the first (in byte order, so always the same one) whose case folding
// equals the name's. nullopt when neither exists; errno is then set.
std::optional<std::string> FindEntry(int dirFd, std::u16string_view name) {
  const std::string exact = ToUtf8(name);
  struct stat st;
  if (::fstatat(dirFd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return exact;
  if (errno != ENOENT) return std::nullopt;
  UniqueFd listFd(OpenBeneath(dirFd, ".", O_RDONLY | O_DIRECTORY));
  if (!listFd.Valid()) return std::nullopt;
  DIR* dir = ::fdopendir(listFd.Get());
  if (!dir) return std::nullopt;
  listFd.Release();  // closedir closes it
  const std::u16string folded = FoldCase(name);
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view host = entry->d_name;
    if (host == "." || host == "..") continue;
    if (best && host >= *best) continue;
    if (FoldCase(FromUtf8(host)) == folded) best = std::string(host);
  }
  ::closedir(dir);
  if (!best) errno = ENOENT;
  return best;
}

}  // namespace

bool IsForbiddenInFileName(char16_t c) {
  return c < 0x20 || std::u16string_view(u"\\/<>:\"|?*").find(c) != std::u16string_view::npos;
}

int OpenBeneath(int dirFd, const std::string& name, int flags, unsigned mode) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & O_CREAT) ? mode : 0;
  how.resolve = kBeneath;
  for (int attempt = 0;; ++attempt) {
    const long fd = ::syscall(SYS_openat2, dirFd, name.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename elsewhere raced the lookup; the kernel asks for a retry.
    if (errno != EINTR && !(errno == EAGAIN && attempt < 16)) return -1;
  }
}

bool StatEntry(int dirFd, const std::string& name, struct ::statx* out) {
  return ::statx(dirFd, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME, out) ==
         0;
}

DWORD AttributesOf(const struct ::statx& entry, bool volumeFolder) {
  DWORD attributes = 0;
  if (S_ISDIR(entry.stx_mode)) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
    if (volumeFolder) attributes |= FILE_ATTRIBUTE_TEMPORARY;
  } else {
    // FAT sets the archive bit on every file it creates or changes; a file with
    // other attributes never shows FILE_ATTRIBUTE_NORMAL, so that one never appears.
    attributes = FILE_ATTRIBUTE_ARCHIVE;
  }
  if (!(entry.stx_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

namespace {

bool IsVolumeName(std::u16string_view name) {
  const auto volumes = Volumes();
  return std::any_of(volumes.begin(), volumes.end(), [&](const std::u16string& v) { return EqualsIgnoreCase(v, name); });
}

}  // namespace

bool IsVolumeFolder(const ResolvedPath& path) {
  if (!path.exists || path.cePath.rfind(u'\\') != 0 || path.cePath.size() < 2) return false;
  return IsVolumeName(FromUtf8(path.hostName));
}

FILETIME ToFileTime(int64_t seconds, uint32_t nanoseconds) {
  constexpr int64_t kUnixEpochTicks = 116444736000000000;
  const uint64_t ticks = static_cast<uint64_t>(seconds * 10000000 + nanoseconds / 100 + kUnixEpochTicks);
  return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

TimeResolution ResolutionIn(std::u16string_view folder) {
  const size_t start = folder.find_first_not_of(u'\\');
  if (start == std::u16string_view::npos) return TimeResolution::Exact;
  const std::u16string_view volume = folder.substr(start, folder.find(u'\\', start) - start);
  // Images made before the setting existed keep the exact times they were made with,
  // so that a DateTime stored on them still matches.
  return IsVolumeName(volume) && Setting("file_times") == "fat" ? TimeResolution::Fat : TimeResolution::Exact;
}

std::timespec KeptTime(const std::timespec& time, TimeResolution resolution) {
  if (resolution == TimeResolution::Exact) return time;
  // NOTES: FAT keeps local time, from 1980 to 2107; the terminal keeps the host's UTC
  // time, in no time zone, at FAT's resolution, and clamps no time outside that range.
  const time_t even = time.tv_sec - ((time.tv_sec % 2) + 2) % 2;
  if (even == time.tv_sec && time.tv_nsec == 0) return time;
  return std::timespec{even + 2, 0};
}

// NOTES: only last-write times follow the volume's file system; creation and last-access
// times stay the host's, to 100 ns, where FAT keeps 10 ms and a date.
FILETIME LastWriteTimeOf(const struct ::statx& entry, TimeResolution resolution) {
  const std::timespec kept = KeptTime({entry.stx_mtime.tv_sec, entry.stx_mtime.tv_nsec}, resolution);
  return ToFileTime(kept.tv_sec, static_cast<uint32_t>(kept.tv_nsec));
}

FILETIME CreationTimeOf(const struct ::statx& entry) {
  const auto& t = (entry.stx_mask & STATX_BTIME) ? entry.stx_btime : entry.stx_ctime;
  return ToFileTime(t.tv_sec, t.tv_nsec);
}

// ---------------------------------------------------------------- ResolvedPath

std::u16string_view ResolvedPath::Folder() const {
  const size_t cut = cePath.rfind(u'\\');
  return std::u16string_view(cePath).substr(0, cut == std::u16string::npos ? 0 : cut);
}

std::string ResolvedPath::HostPath() const {
  char link[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(parentFd.Get());
  const ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
  if (n < 0) return std::string();
  std::string folder(link, static_cast<size_t>(n));
  return hostName == "." ? folder : folder + "/" + hostName;
}

namespace {

std::u16string Joined(const std::vector<std::u16string>& parts) {
  std::u16string path = u"\\";
  for (size_t i = 0; i < parts.size(); ++i) path += (i ? u"\\" : u"") + parts[i];
  return path;
}

}  // namespace

std::optional<std::u16string> CanonicalCePath(std::u16string_view cePath) {
  DWORD error = 0;
  auto parts = Components(cePath, &error);
  if (!parts) return Fail(error, std::optional<std::u16string>());
  std::u16string path = Joined(*parts);
  if (path.size() >= MAX_PATH) return Fail(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), std::optional<std::u16string>());
  return path;
}

namespace {

// Walks `result` from the root down to the folder that holds the last of `parts`;
// false (last error set) when a folder on the way is missing or refused.
bool OpenParentFolder(const std::vector<std::u16string>& parts, ResolvedPath& result) {
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    auto host = FindEntry(result.parentFd.Get(), parts[i]);
    if (!host) {
      return Fail(errno == ENOENT || errno == ENOTDIR ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                                      : ErrorFromErrno(errno),
                  false);
    }
    const int next = OpenBeneath(result.parentFd.Get(), *host, O_PATH | O_DIRECTORY);
    if (next < 0) {
      // A file where a folder should be is a missing folder; a symlink is refused.
      return Fail(errno == ENOTDIR || errno == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND)
                                                      : ErrorFromErrno(errno),
                  false);
    }
    result.parentFd.Reset(next);
  }
  return true;
}

// Names the last component in the opened parent folder: its host name when it
// exists, else the name it would be created under. False (last error set) otherwise.
bool FindLastComponent(const std::u16string& last, ResolvedPath& result) {
  if (auto host = FindEntry(result.parentFd.Get(), last)) {
    struct stat st;
    if (::fstatat(result.parentFd.Get(), host->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return Fail(ErrorFromErrno(errno), false);
    if (S_ISLNK(st.st_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), false);
    result.hostName = std::move(*host);
    result.exists = true;
  } else if (errno == ENOENT) {
    result.hostName = ToUtf8(last);
  } else {
    return Fail(ErrorFromErrno(errno), false);
  }
  return true;
}

}  // namespace

std::optional<ResolvedPath> ResolvePath(std::u16string_view cePath) {
  DWORD error = 0;
  auto parts = Components(cePath, &error);
  if (!parts) return Fail(error, std::nullopt);
  const int rootFd = FsRootFd();
  if (rootFd < 0) return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), std::nullopt);

  ResolvedPath result;
  result.cePath = Joined(*parts);
  if (result.cePath.size() >= MAX_PATH) return Fail(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), std::nullopt);

  result.parentFd.Reset(OpenBeneath(rootFd, ".", O_PATH | O_DIRECTORY));
  if (!result.parentFd.Valid()) return Fail(ErrorFromErrno(errno), std::nullopt);
  if (parts->empty()) {
    // The root: its own parent, named ".".
    result.hostName = ".";
    result.exists = true;
    return result;
  }
  if (!OpenParentFolder(*parts, result) || !FindLastComponent(parts->back(), result)) return std::nullopt;
  return result;
}

}  // namespace host

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  // NOTES: the terminal loads no modules; only the executable itself (NULL) is known.
  if (hModule != nullptr) return host::Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), DWORD{0});
  if (!lpFilename && nSize) return host::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), DWORD{0});
  const std::u16string& path = host::ModulePath();
  if (path.empty()) {
    if (nSize) lpFilename[0] = 0;
    return host::Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), DWORD{0});
  }
  if (nSize == 0) return host::Fail(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), DWORD{0});
  if (path.size() < nSize) {
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  // Truncated, but always terminated: nSize - 1 characters and the NUL, as desktop
  // Windows since Vista does; the result equals nSize so that callers see the cut.
  path.copy(lpFilename, nSize - 1);
  lpFilename[nSize - 1] = 0;
  return host::Fail(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), nSize);
}
