// FindFirstFileW / FindNextFileW / FindClose over a folder of fs/.
//
// A search takes its snapshot when it starts: every matching entry, in creation order
// as the terminal's FAT volumes list them (birth time, then inode number for entries
// born in the same clock tick). Nothing is kept between searches, so a file put into
// fs/ behind the terminal's back is found by the next search at once.
#include "platform/host/HostInternal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

namespace host {

namespace {

class FindObject : public HandleObject {
 public:
  explicit FindObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  HandleKind Kind() const override { return HandleKind::Find; }

  // The next entry; false when the search is exhausted.
  bool Next(WIN32_FIND_DATAW* out) {
    if (next_ >= entries_.size()) return false;
    *out = entries_[next_++];
    return true;
  }

 private:
  std::vector<WIN32_FIND_DATAW> entries_;
  size_t next_ = 0;
};

struct Found {
  WIN32_FIND_DATAW data;
  int64_t bornSeconds;
  uint32_t bornNanoseconds;
  uint64_t inode;
};

bool HasWildcard(std::u16string_view s) { return s.find_first_of(u"*?") != std::u16string_view::npos; }

// A host name the terminal can show: valid UTF-8, short enough for cFileName, and
// free of what a CE name cannot hold (a planted "a\b" or "x:y" could never be opened).
bool Representable(std::string_view host, const std::u16string& name) {
  if (ToUtf8(name) != host || name.empty() || name.size() >= MAX_PATH) return false;
  return std::none_of(name.begin(), name.end(), IsForbiddenInFileName);
}

Found Describe(const struct ::statx& entry, const std::u16string& name, bool volumeFolder, TimeResolution resolution) {
  Found found{};
  WIN32_FIND_DATAW& data = found.data;
  data.dwFileAttributes = AttributesOf(entry, volumeFolder);
  data.ftCreationTime = CreationTimeOf(entry);
  data.ftLastAccessTime = ToFileTime(entry.stx_atime.tv_sec, entry.stx_atime.tv_nsec);
  data.ftLastWriteTime = LastWriteTimeOf(entry, resolution);
  if (!S_ISDIR(entry.stx_mode)) {
    data.nFileSizeHigh = static_cast<DWORD>(entry.stx_size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(entry.stx_size & 0xFFFFFFFFu);
  }
  data.dwOID = 0;  // entries of FAT volumes have no object-store identifier
  name.copy(data.cFileName, name.size());
  const auto& born = (entry.stx_mask & STATX_BTIME) ? entry.stx_btime : entry.stx_ctime;
  found.bornSeconds = born.tv_sec;
  found.bornNanoseconds = born.tv_nsec;
  found.inode = entry.stx_ino;
  return found;
}

// `*.*` and any pattern ending in ".*" also match a name without that extension,
// as the platform's searches always have.
bool PatternMatches(std::u16string_view pattern, std::u16string_view name) {
  if (GlobMatch(pattern, name)) return true;
  return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == u".*" &&
         name.find(u'.') == std::u16string_view::npos && GlobMatch(pattern.substr(0, pattern.size() - 2), name);
}

// Every entry of `folder` that `pattern` matches, in creation order.
std::optional<std::vector<Found>> Scan(const ResolvedPath& folder, std::u16string_view pattern) {
  // Read before the folder is open: a failing image read must not leave it open.
  const bool inRoot = folder.cePath == u"\\";
  const std::vector<std::u16string> volumes = inRoot ? Volumes() : std::vector<std::u16string>();
  const TimeResolution resolution = ResolutionIn(folder.cePath);
  UniqueFd dirFd(OpenBeneath(folder.parentFd.Get(), folder.hostName, O_RDONLY | O_DIRECTORY));
  if (!dirFd.Valid()) {
    const int error = errno;
    // "file.txt\*": the folder part names a file, as the desktop answers (CE documents
    // no code). Anything else that is no folder (a FIFO) is none of the terminal's.
    struct ::statx st;
    if (error == ENOTDIR && StatEntry(folder.parentFd.Get(), folder.hostName, &st) && S_ISREG(st.stx_mode))
      return Fail(static_cast<DWORD>(ERROR_DIRECTORY), std::nullopt);
    return Fail(error == ENOTDIR || error == ENOENT ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : ErrorFromErrno(error),
                std::nullopt);
  }
  DIR* dir = ::fdopendir(dirFd.Get());
  if (!dir) return Fail(ErrorFromErrno(errno), std::nullopt);
  dirFd.Release();  // closedir closes it
  std::vector<Found> found;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view host = entry->d_name;
    if (host == "." || host == "..") continue;
    const std::u16string name = FromUtf8(host);
    if (!Representable(host, name) || !PatternMatches(pattern, name)) continue;
    struct ::statx st;
    if (!StatEntry(::dirfd(dir), std::string(host), &st)) continue;  // gone meanwhile
    if (!S_ISDIR(st.stx_mode) && !S_ISREG(st.stx_mode)) continue;    // symlinks and the like do not exist here
    const bool volume =
        std::any_of(volumes.begin(), volumes.end(), [&](const std::u16string& v) { return EqualsIgnoreCase(v, name); });
    found.push_back(Describe(st, name, volume, resolution));
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.bornSeconds, a.bornNanoseconds, a.inode) < std::tie(b.bornSeconds, b.bornNanoseconds, b.inode);
  });
  return found;
}

// The one entry a path without wildcards names.
std::optional<std::vector<Found>> Lookup(std::u16string_view cePath) {
  auto path = ResolvePath(cePath);
  if (!path) return std::nullopt;
  // The root is no entry of any folder.
  if (!path->exists || path->hostName == ".") return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), std::nullopt);
  struct ::statx st;
  if (!StatEntry(path->parentFd.Get(), path->hostName, &st)) return Fail(ErrorFromErrno(errno), std::nullopt);
  if (!S_ISDIR(st.stx_mode) && !S_ISREG(st.stx_mode)) return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), std::nullopt);
  std::vector<Found> found;
  found.push_back(Describe(st, FromUtf8(path->hostName), IsVolumeFolder(*path), ResolutionIn(path->Folder())));
  return found;
}

}  // namespace

}  // namespace host

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (!lpFileName || !*lpFileName) return host::Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE);
  if (!lpFindFileData) return host::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE);
  return host::Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    const std::u16string given(lpFileName);
    const host::Fault fault = host::CheckFault("FindFirstFileW", given);
    if (fault.action == host::FaultAction::PowerLossHalf) host::PowerLoss();
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, INVALID_HANDLE_VALUE);

    const size_t cut = given.find_last_of(u"\\/");
    const std::u16string pattern = cut == std::u16string::npos ? given : given.substr(cut + 1);
    std::optional<std::vector<host::Found>> found;
    if (pattern.empty()) {
      // "\FlashDisk\": a folder part and nothing to match in it.
      auto folder = host::ResolvePath(given);
      if (!folder) return INVALID_HANDLE_VALUE;
      return host::Fail(static_cast<DWORD>(folder->exists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND),
                        INVALID_HANDLE_VALUE);
    }
    if (host::HasWildcard(pattern)) {
      if (given.size() >= MAX_PATH) return host::Fail(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), INVALID_HANDLE_VALUE);
      for (char16_t c : pattern) {
        if (c != u'*' && c != u'?' && host::IsForbiddenInFileName(c))
          return host::Fail(static_cast<DWORD>(ERROR_INVALID_NAME), INVALID_HANDLE_VALUE);
      }
      auto folder = host::ResolvePath(std::u16string_view(given).substr(0, cut == std::u16string::npos ? 0 : cut));
      if (!folder) return INVALID_HANDLE_VALUE;
      if (!folder->exists) return host::Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE);
      found = host::Scan(*folder, pattern);
    } else {
      found = host::Lookup(given);
    }
    if (!found) return INVALID_HANDLE_VALUE;
    if (found->empty()) return host::Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE);
    std::vector<WIN32_FIND_DATAW> entries;
    entries.reserve(found->size());
    for (const auto& f : *found) entries.push_back(f.data);
    auto search = std::make_shared<host::FindObject>(std::move(entries));
    search->Next(lpFindFileData);
    return host::AddHandle(std::move(search));
  });
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  auto search = host::FindHandleOf<host::FindObject>(hFindFile, host::HandleKind::Find);
  if (!search) return host::Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
  if (!lpFindFileData) return host::Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), FALSE);
  if (!search->Next(lpFindFileData)) return host::Fail(static_cast<DWORD>(ERROR_NO_MORE_FILES), FALSE);
  return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
  if (!host::FindHandleOf<host::FindObject>(hFindFile, host::HandleKind::Find))
    return host::Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
  host::RemoveHandle(hFindFile);
  return TRUE;
}
