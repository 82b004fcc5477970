// Files of fs/: CreateFileW and the calls on its handles, GetFileAttributesW,
// CopyFileW, DeleteFileW, CreateDirectoryW.
//
// The terminal enforces what FAT and CE enforce and Linux does not:
// - FILE_ATTRIBUTE_READONLY (the owner-write bit) refuses writing, truncating,
//   overwriting and deleting, whoever the process runs as (root ignores mode bits);
// - share modes hold across every process of the terminal, through the open_files
//   table of the image (keyed by device and inode, rows of ended processes ignored);
// - an open file cannot be deleted (CE 4.x has no FILE_SHARE_DELETE).
#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace host {

namespace {

constexpr DWORD kFileFlagWriteThrough = 0x80000000u;
constexpr DWORD kFileFlagRandomAccess = 0x10000000u;
constexpr DWORD kFileFlagSequentialScan = 0x08000000u;
constexpr DWORD kErrorNegativeSeek = 131;

// Access rights and flags the terminal implements. Anything else (overlapped I/O,
// delete-on-close, hidden or system attributes it could not keep) is refused with
// ERROR_INVALID_PARAMETER rather than ignored.
constexpr DWORD kSupportedAccess = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
constexpr DWORD kSupportedShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kSupportedFlags = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL |
                                  kFileFlagWriteThrough | kFileFlagRandomAccess | kFileFlagSequentialScan;

bool Reads(DWORD access) { return access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL); }
bool Writes(DWORD access) { return access & (GENERIC_WRITE | GENERIC_ALL); }
bool IsReadOnly(const struct ::statx& st) { return !(st.stx_mode & S_IWUSR); }

// The host's last error as the terminal's; a full host is noted as such (LastFullWasHost).
DWORD LastErrno() {
  const DWORD error = ErrorFromErrno(errno);
  if (error == ERROR_DISK_FULL) NoteFull(true);
  return error;
}

// A fault rule on this call: true when the call must fail here (last error set).
// A power loss ends the terminal, this process included, before any effect.
bool Faulted(const char* api, std::u16string_view target, bool readsOnly = false) {
  const Fault fault = CheckFault(api, target, readsOnly);
  if (fault.action == FaultAction::PowerLossHalf) PowerLoss();
  if (fault.action != FaultAction::Fail) return false;
  ::SetLastError(fault.error);
  return true;
}

// A torn-write cut: `write` writes what it can of half the call's bytes (nothing when
// the call fails before writing), and the power goes at the call whatever it answered.
template <class Write>
[[noreturn]] void CutAfter(Write&& write) {
  write();
  PowerLoss();
}

// ---------------------------------------------------------------- the open-file table

struct FileId {
  int64_t dev;
  int64_t ino;
};

FileId IdOf(const struct ::statx& st) {
  return {static_cast<int64_t>(::makedev(st.stx_dev_major, st.stx_dev_minor)), static_cast<int64_t>(st.stx_ino)};
}

std::atomic<int64_t> g_nextOpenId{1};

struct OpenRow {
  DWORD access;
  DWORD share;
};

// The opens of `id` by live processes; rows of ended processes are removed on the
// way. Call inside a Transaction.
std::vector<OpenRow> LiveOpens(FileId id) {
  std::vector<OpenRow> live;
  std::vector<std::pair<int64_t, int64_t>> dead;
  {
    Statement query("SELECT access, share, pid, start_time FROM open_files WHERE dev = ? AND ino = ?");
    query.Bind(1, id.dev).Bind(2, id.ino);
    while (query.Step()) {
      const int pid = static_cast<int>(query.Int(2));
      const int64_t start = query.Int(3);
      if (ProcessAlive(pid, start)) {
        live.push_back({static_cast<DWORD>(query.Int(0)), static_cast<DWORD>(query.Int(1))});
      } else {
        dead.emplace_back(pid, start);
      }
    }
  }
  for (const auto& [pid, start] : dead) {
    Statement remove("DELETE FROM open_files WHERE pid = ? AND start_time = ?");
    remove.Bind(1, pid).Bind(2, start).Run();
  }
  return live;
}

// Whether an open with `access` and `share` may join the live opens of `id`. Opens
// without read or write access take no part in sharing, as on Windows: neither an
// existing one nor the new one.
bool SharingAllows(FileId id, DWORD access, DWORD share) {
  if (!Reads(access) && !Writes(access)) return true;
  for (const auto& open : LiveOpens(id)) {
    if (!Reads(open.access) && !Writes(open.access)) continue;
    if (Reads(access) && !(open.share & FILE_SHARE_READ)) return false;
    if (Writes(access) && !(open.share & FILE_SHARE_WRITE)) return false;
    if (Reads(open.access) && !(share & FILE_SHARE_READ)) return false;
    if (Writes(open.access) && !(share & FILE_SHARE_WRITE)) return false;
  }
  return true;
}

int64_t AddOpen(FileId id, DWORD access, DWORD share) {
  const int64_t openId = g_nextOpenId++;
  Statement insert("INSERT INTO open_files(dev, ino, pid, start_time, handle, access, share) VALUES(?, ?, ?, ?, ?, ?, ?)");
  insert.Bind(1, id.dev).Bind(2, id.ino).Bind(3, int64_t{::getpid()}).Bind(4, SelfStartTime());
  insert.Bind(5, openId).Bind(6, int64_t{access}).Bind(7, int64_t{share}).Run();
  return openId;
}

void RemoveOpen(int64_t openId) {
  Statement remove("DELETE FROM open_files WHERE pid = ? AND start_time = ? AND handle = ?");
  remove.Bind(1, int64_t{::getpid()}).Bind(2, SelfStartTime()).Bind(3, openId).Run();
}

// ---------------------------------------------------------------- descriptors

// One host descriptor and, once registered, its row in the open-file table.
class OpenFile {
 public:
  OpenFile() = default;
  explicit OpenFile(int fd) : fd_(fd) {}
  ~OpenFile() { Reset(); }
  OpenFile(OpenFile&& other) noexcept : fd_(std::move(other.fd_)), openId_(std::exchange(other.openId_, 0)) {}
  OpenFile& operator=(OpenFile&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::move(other.fd_);
      openId_ = std::exchange(other.openId_, 0);
    }
    return *this;
  }

  int fd() const { return fd_.Get(); }
  void Register(FileId id, DWORD access, DWORD share) { openId_ = AddOpen(id, access, share); }
  void Reset() {
    fd_.Reset();
    if (openId_) {
      // The image may be gone (detached) or failing; the row then dies with the process.
      try {
        RemoveOpen(openId_);
      } catch (const HostError&) {
      }
      openId_ = 0;
    }
  }

 private:
  UniqueFd fd_;
  int64_t openId_ = 0;
};

class FileObject : public HandleObject {
 public:
  FileObject(std::u16string cePath, std::u16string_view folder, DWORD access)
      : cePath_(std::move(cePath)), folder_(folder), access_(access) {}
  HandleKind Kind() const override { return HandleKind::File; }

  OpenFile& file() { return file_; }
  int fd() const { return file_.fd(); }
  bool CanRead() const { return Reads(access_); }
  bool CanWrite() const { return Writes(access_); }
  // The path as CreateFileW was given it, for fault rules.
  const std::u16string& cePath() const { return cePath_; }
  // The normalised folder that holds it, whose file system keeps its times.
  const std::u16string& folder() const { return folder_; }

 private:
  OpenFile file_;
  std::u16string cePath_;
  std::u16string folder_;
  DWORD access_;
};

std::shared_ptr<FileObject> FileOf(HANDLE handle) { return FindHandleOf<FileObject>(handle, HandleKind::File); }

bool StatFd(int fd, struct ::statx* out) {
  return ::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, out) == 0;
}

// Writes all of `size` bytes; false with errno.
bool WriteAll(int fd, const char* data, size_t size, DWORD* written) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    if (written) *written += static_cast<DWORD>(n);
  }
  return true;
}

// Writes all of `size` bytes at the file's position where the storage has room for
// what they add to the file. A write that does not fit, on the terminal or on the
// host, writes nothing and fails with ERROR_DISK_FULL (last error set).
// NOTES: FAT may write the clusters it still has before it fails.
BOOL WriteFitting(int fd, const char* data, DWORD size, DWORD* written) {
  struct ::statx st;
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0 || !StatFd(fd, &st)) return Fail(LastErrno(), FALSE);
  const uint64_t end = static_cast<uint64_t>(position) + size;
  const uint64_t adds = end > st.stx_size ? end - st.stx_size : 0;
  if (!RoomFor(adds, Store::Files)) return Fail(static_cast<DWORD>(ERROR_DISK_FULL), FALSE);
  if (WriteAll(fd, data, size, written)) return TRUE;
  const DWORD error = LastErrno();
  if (error == ERROR_DISK_FULL) {
    // The host filled up meanwhile: what the write added goes, as when it is refused.
    if (adds > 0) (void)!::ftruncate(fd, static_cast<off_t>(st.stx_size));
    ::lseek(fd, position, SEEK_SET);
    *written = 0;
  }
  return Fail(error, FALSE);
}

// The entry a resolved path names, refusing anything but files and folders.
// nullopt (last error set) when it is something else; the caller checks `exists`.
std::optional<struct ::statx> StatResolved(const ResolvedPath& path) {
  struct ::statx st {};
  if (!path.exists) return st;
  if (!StatEntry(path.parentFd.Get(), path.hostName, &st)) {
    if (errno == ENOENT) return st;  // removed since it was resolved
    return Fail(LastErrno(), std::nullopt);
  }
  if (!S_ISREG(st.stx_mode) && !S_ISDIR(st.stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), std::nullopt);
  return st;
}

bool Exists(const ResolvedPath& path, const struct ::statx& st) { return path.exists && st.stx_mode != 0; }

// "\a.txt\" with its trailing separator can only name a folder; said of a file, or
// of a name that a call would create, it is an invalid name. (A call that only opens
// reports a missing name as missing first, as the desktop does.)
bool BadFolderSyntax(std::u16string_view given, const ResolvedPath& path, const struct ::statx& st) {
  const bool trailing = !given.empty() && (given.back() == u'\\' || given.back() == u'/');
  return trailing && !(Exists(path, st) && S_ISDIR(st.stx_mode));
}

HANDLE OpenPath(const std::u16string& given, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  auto path = ResolvePath(given);
  if (!path) return INVALID_HANDLE_VALUE;
  Transaction transaction;
  auto st = StatResolved(*path);
  if (!st) return INVALID_HANDLE_VALUE;
  const bool exists = Exists(*path, *st);
  if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
    return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE);
  if (BadFolderSyntax(given, *path, *st)) return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), INVALID_HANDLE_VALUE);
  if (exists && S_ISDIR(st->stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE);
  if (exists && disposition == CREATE_NEW) return Fail(static_cast<DWORD>(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE);
  const bool truncate = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (exists && IsReadOnly(*st) && (Writes(access) || truncate))
    return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE);
  if (exists && !SharingAllows(IdOf(*st), access, share))
    return Fail(static_cast<DWORD>(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE);
  if (!exists && !RoomFor(kEntryBytes, Store::Files))
    return Fail(static_cast<DWORD>(ERROR_DISK_FULL), INVALID_HANDLE_VALUE);

  int hostFlags = (Writes(access) || truncate) ? O_RDWR : O_RDONLY;
  hostFlags |= O_NOCTTY | O_NONBLOCK;  // nothing but a regular file is opened, and never waited on
  if (!exists) hostFlags |= O_CREAT | O_EXCL;
  if (truncate) hostFlags |= O_TRUNC;
  if (flags & kFileFlagWriteThrough) hostFlags |= O_DSYNC;
  auto object = std::make_shared<FileObject>(given, path->Folder(), access);
  const int fd = OpenBeneath(path->parentFd.Get(), path->hostName, hostFlags, 0666);
  if (fd < 0) return Fail(LastErrno(), INVALID_HANDLE_VALUE);
  object->file() = OpenFile(fd);
  struct ::statx opened;
  if (!StatFd(fd, &opened)) return Fail(LastErrno(), INVALID_HANDLE_VALUE);
  if (!S_ISREG(opened.stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE);
  // The attribute given at creation; the handle itself keeps the access it asked for.
  if ((!exists || disposition == CREATE_ALWAYS) && (flags & FILE_ATTRIBUTE_READONLY) &&
      ::fchmod(fd, opened.stx_mode & 07555) != 0)
    return Fail(LastErrno(), INVALID_HANDLE_VALUE);
  object->file().Register(IdOf(opened), access, share);
  transaction.Commit();
  // As Windows does, these success paths set the last error too; callers test it.
  if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ::SetLastError(exists ? ERROR_ALREADY_EXISTS : 0);
  if (disposition == OPEN_EXISTING) ::SetLastError(0);
  return AddHandle(std::move(object));
}

}  // namespace

void CreateFileTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE open_files(
  dev INTEGER NOT NULL,
  ino INTEGER NOT NULL,
  pid INTEGER NOT NULL,
  start_time INTEGER NOT NULL,
  handle INTEGER NOT NULL,
  access INTEGER NOT NULL,
  share INTEGER NOT NULL,
  PRIMARY KEY(pid, start_time, handle));
)sql");
}

}  // namespace host

using host::Fail;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  // CE ignores the security attributes and the template file.
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (!lpFileName || !*lpFileName) return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE);
  if (dwCreationDisposition == TRUNCATE_EXISTING && !host::Writes(dwDesiredAccess))
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE);
  // NOTES: specific access rights, FILE_SHARE_DELETE, overlapped I/O, delete-on-close
  // and the hidden and system attributes are not supported and fail.
  if ((dwDesiredAccess & ~host::kSupportedAccess) || (dwShareMode & ~host::kSupportedShare) ||
      (dwFlagsAndAttributes & ~host::kSupportedFlags))
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE);
  return host::Guarded(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    const std::u16string given(lpFileName);
    const bool readsOnly = !host::Writes(dwDesiredAccess) && dwCreationDisposition == OPEN_EXISTING;
    if (host::Faulted("CreateFileW", given, readsOnly)) return INVALID_HANDLE_VALUE;
    if (host::IsDeviceName(given)) return host::OpenDevice(given);
    return host::OpenPath(given, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
  });
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = host::FileOf(hFile);
  if (!file) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
  // CE has no overlapped I/O, and the count is where the result goes.
  if (lpOverlapped || !lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead))
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), FALSE);
  if (!file->CanRead()) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    if (host::Faulted("ReadFile", file->cePath())) return FALSE;
    auto* out = static_cast<char*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
      const ssize_t n = ::read(file->fd(), out + total, nNumberOfBytesToRead - total);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Fail(host::LastErrno(), FALSE);
      if (n == 0) break;  // the end of the file: success with what was read
      total += static_cast<DWORD>(n);
    }
    *lpNumberOfBytesRead = total;
    return TRUE;
  });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = host::FileOf(hFile);
  if (!file) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
  if (lpOverlapped || !lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite))
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), FALSE);
  if (!file->CanWrite()) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto* data = static_cast<const char*>(lpBuffer);
    const host::Fault fault = host::CheckFault("WriteFile", file->cePath());
    if (fault.action == host::FaultAction::Fail) return Fail(fault.error, FALSE);
    if (fault.action == host::FaultAction::PowerLossHalf)
      host::CutAfter([&] { host::WriteAll(file->fd(), data, nNumberOfBytesToWrite / 2, lpNumberOfBytesWritten); });
    host::CapacityLock lock;
    return host::WriteFitting(file->fd(), data, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
  });
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  auto file = host::FileOf(hFile);
  if (!file) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), INVALID_SET_FILE_POINTER);
  if (dwMoveMethod > FILE_END) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER);
  // Without a high word the distance is a signed 32-bit number; with one, the two
  // words make one signed 64-bit distance.
  const int64_t distance =
      lpDistanceToMoveHigh
          ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                 static_cast<uint32_t>(lDistanceToMove))
          : int64_t{lDistanceToMove};
  int64_t base = 0;
  if (dwMoveMethod == FILE_CURRENT) {
    base = ::lseek(file->fd(), 0, SEEK_CUR);
  } else if (dwMoveMethod == FILE_END) {
    struct ::statx st;
    base = host::StatFd(file->fd(), &st) ? static_cast<int64_t>(st.stx_size) : -1;
  }
  if (base < 0) return Fail(host::LastErrno(), INVALID_SET_FILE_POINTER);
  const int64_t position = base + distance;
  if (position < 0) return Fail(host::kErrorNegativeSeek, INVALID_SET_FILE_POINTER);
  if (::lseek(file->fd(), position, SEEK_SET) < 0) return Fail(host::LastErrno(), INVALID_SET_FILE_POINTER);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(position >> 32);
  const auto low = static_cast<DWORD>(position & 0xFFFFFFFFu);
  // A position whose low word looks like the failure value: the last error tells.
  if (low == INVALID_SET_FILE_POINTER) ::SetLastError(0);
  return low;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = host::FileOf(hFile);
  if (!file) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), INVALID_FILE_SIZE);
  struct ::statx st;
  if (!host::StatFd(file->fd(), &st)) return Fail(host::LastErrno(), INVALID_FILE_SIZE);
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(st.stx_size >> 32);
  const auto low = static_cast<DWORD>(st.stx_size & 0xFFFFFFFFu);
  if (low == INVALID_FILE_SIZE) ::SetLastError(0);
  return low;
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime, LPFILETIME lpLastWriteTime) {
  auto file = host::FileOf(hFile);
  if (!file) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    if (host::Faulted("GetFileTime", file->cePath())) return FALSE;
    struct ::statx st;
    if (!host::StatFd(file->fd(), &st)) return Fail(host::LastErrno(), FALSE);
    if (lpCreationTime) *lpCreationTime = host::CreationTimeOf(st);
    if (lpLastAccessTime) *lpLastAccessTime = host::ToFileTime(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
    if (lpLastWriteTime) *lpLastWriteTime = host::LastWriteTimeOf(st, host::ResolutionIn(file->folder()));
    return TRUE;
  });
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
  if (!lpFileName || !*lpFileName) return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), INVALID_FILE_ATTRIBUTES);
  return host::Guarded(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
    auto path = host::ResolvePath(lpFileName);
    if (!path) return INVALID_FILE_ATTRIBUTES;
    auto st = host::StatResolved(*path);
    if (!st) return INVALID_FILE_ATTRIBUTES;
    if (!host::Exists(*path, *st)) return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES);
    // "\a.txt\" names a folder; said of a file it is an invalid name, as for the other calls.
    if (host::BadFolderSyntax(lpFileName, *path, *st))
      return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), INVALID_FILE_ATTRIBUTES);
    return host::AttributesOf(*st, host::IsVolumeFolder(*path));
  });
}

namespace host {

namespace {

// Copies the open `source` into the open `target` (empty, or of the source's length
// already, as Copy reserves it); with `half`, writes half of the bytes, leaves the
// target that long and cuts the power, before the target takes the source's time (a
// copy that fails before this point is cut by CopyFileW). False with errno.
bool CopyBytes(int source, int target, uint64_t size, bool half) {
  std::vector<char> buffer(64 * 1024);
  uint64_t remaining = half ? size / 2 : UINT64_MAX;
  uint64_t copied = 0;
  for (;;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), remaining));
    if (want == 0) break;
    const ssize_t n = ::read(source, buffer.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(target, buffer.data(), static_cast<size_t>(n), nullptr)) return false;
    remaining -= static_cast<uint64_t>(n);
    copied += static_cast<uint64_t>(n);
  }
  if (half) {
    (void)!::ftruncate(target, static_cast<off_t>(copied));
    PowerLoss();
  }
  return true;
}

constexpr DWORD kCopyShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The source of a copy, checked inside the copy's transaction: a file that the opens
// elsewhere let the copy read. nullopt (last error set) otherwise.
std::optional<struct ::statx> CheckCopySource(const std::u16string& from, const ResolvedPath& path) {
  auto st = StatResolved(path);
  if (!st) return std::nullopt;
  if (!Exists(path, *st)) return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), std::nullopt);
  if (BadFolderSyntax(from, path, *st)) return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), std::nullopt);
  if (S_ISDIR(st->stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), std::nullopt);
  // As the desktop opens them (CE documents nothing): the source is read and the
  // target written, each sharing reading and writing, so that an open elsewhere
  // blocks the copy only when it does not share what the copy does.
  if (!SharingAllows(IdOf(*st), GENERIC_READ, kCopyShare))
    return Fail(static_cast<DWORD>(ERROR_SHARING_VIOLATION), std::nullopt);
  return st;
}

// The target of a copy, checked inside the copy's transaction after its source; sets
// `existed` and the bytes the copy replaces there. False (last error set) when the copy
// may not write it.
bool CheckCopyTarget(const std::u16string& to, const ResolvedPath& path, const struct ::statx& sourceSt,
                     bool failIfExists, bool* existed, uint64_t* replaced) {
  auto st = StatResolved(path);
  if (!st) return false;
  if (BadFolderSyntax(to, path, *st)) return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), false);
  *existed = Exists(path, *st);
  *replaced = *existed ? st->stx_size : 0;
  if (!*existed) return true;
  if (failIfExists) return Fail(static_cast<DWORD>(ERROR_FILE_EXISTS), false);
  if (S_ISDIR(st->stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), false);
  const FileId targetId = IdOf(*st), sourceId = IdOf(sourceSt);
  // Copying a file onto itself: its own source open does not share writing.
  if (targetId.dev == sourceId.dev && targetId.ino == sourceId.ino)
    return Fail(static_cast<DWORD>(ERROR_SHARING_VIOLATION), false);
  if (IsReadOnly(*st)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), false);
  if (!SharingAllows(targetId, GENERIC_WRITE, kCopyShare))
    return Fail(static_cast<DWORD>(ERROR_SHARING_VIOLATION), false);
  return true;
}

// Opens both checked ends of a copy, the target truncated or created. Both opens are
// in the open-file table for the copy's length, so others see them. False (last
// error set) when either cannot be opened.
bool OpenCopyEnds(const ResolvedPath& sourcePath, FileId sourceId, const ResolvedPath& targetPath, bool targetExisted,
                  OpenFile* source, OpenFile* target) {
  *source = OpenFile(OpenBeneath(sourcePath.parentFd.Get(), sourcePath.hostName, O_RDONLY | O_NOCTTY | O_NONBLOCK));
  if (source->fd() < 0) return Fail(LastErrno(), false);
  const int targetFlags = O_WRONLY | O_NOCTTY | O_NONBLOCK | (targetExisted ? O_TRUNC : O_CREAT | O_EXCL);
  *target = OpenFile(OpenBeneath(targetPath.parentFd.Get(), targetPath.hostName, targetFlags, 0666));
  if (target->fd() < 0) return Fail(LastErrno(), false);
  struct ::statx targetOpened;
  if (!StatFd(target->fd(), &targetOpened) || !S_ISREG(targetOpened.stx_mode))
    return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), false);
  source->Register(sourceId, GENERIC_READ, kCopyShare);
  target->Register(IdOf(targetOpened), GENERIC_WRITE, kCopyShare);
  return true;
}

// Fills the opened target from the source: its bytes, then `lastWrite` and the
// source's read-only attribute. False (last error set) on a failure.
BOOL WriteCopy(const OpenFile& source, const OpenFile& target, const ResolvedPath& targetPath,
               const struct ::statx& sourceSt, const std::timespec& lastWrite, bool half) {
  if (!CopyBytes(source.fd(), target.fd(), sourceSt.stx_size, half)) {
    const DWORD error = LastErrno();
    // As the platform does, no partial copy is left behind.
    ::unlinkat(targetPath.parentFd.Get(), targetPath.hostName.c_str(), 0);
    return Fail(error, FALSE);
  }
  const timespec times[2] = {{0, UTIME_OMIT}, lastWrite};
  if (::futimens(target.fd(), times) != 0 || ::fchmod(target.fd(), sourceSt.stx_mode & 07777) != 0)
    return Fail(LastErrno(), FALSE);
  ::SetLastError(0);  // as Windows does on success
  return TRUE;
}

BOOL Copy(const std::u16string& from, const std::u16string& to, bool failIfExists, bool half) {
  auto sourcePath = ResolvePath(from);
  if (!sourcePath) return FALSE;
  std::optional<ResolvedPath> targetPath;
  OpenFile source, target;
  struct ::statx sourceSt {};
  std::timespec lastWrite{};
  {
    Transaction transaction;
    auto checkedSource = CheckCopySource(from, *sourcePath);
    if (!checkedSource) return FALSE;
    sourceSt = *checkedSource;
    // As on the platform, the source is opened before the target is looked at: a
    // missing source is reported whatever is wrong with the target.
    targetPath = ResolvePath(to);
    if (!targetPath) return FALSE;
    bool targetExisted = false;
    uint64_t replaced = 0;
    if (!CheckCopyTarget(to, *targetPath, sourceSt, failIfExists, &targetExisted, &replaced)) return FALSE;
    // Checked before the target is truncated: a copy that does not fit leaves it as it was.
    const uint64_t adds = (targetExisted ? 0 : kEntryBytes) + (sourceSt.stx_size > replaced ? sourceSt.stx_size - replaced : 0);
    if (!RoomFor(adds, Store::Files)) return Fail(static_cast<DWORD>(ERROR_DISK_FULL), FALSE);
    // The time the source reports, as the target's file system keeps it: a copy onto
    // a FAT volume moves it up to an even second there.
    const std::timespec reported =
        KeptTime({sourceSt.stx_mtime.tv_sec, sourceSt.stx_mtime.tv_nsec}, ResolutionIn(sourcePath->Folder()));
    lastWrite = KeptTime(reported, ResolutionIn(targetPath->Folder()));
    if (!OpenCopyEnds(*sourcePath, IdOf(sourceSt), *targetPath, targetExisted, &source, &target)) return FALSE;
    // The target's whole length at once, so that every measure from now on counts what
    // the copy is still writing.
    if (Capacity() && ::ftruncate(target.fd(), static_cast<off_t>(sourceSt.stx_size)) != 0) {
      const DWORD error = LastErrno();
      ::unlinkat(targetPath->parentFd.Get(), targetPath->hostName.c_str(), 0);
      return Fail(error, FALSE);
    }
    transaction.Commit();
  }
  return WriteCopy(source, target, *targetPath, sourceSt, lastWrite, half);
}

}  // namespace

void CopyHostFile(const std::string& from, const std::string& to) {
  // Not std::filesystem::copy_file: it reports a copy that a full host cut short as an
  // input/output error.
  const auto fail = [&](int err) {
    const bool full = err == ENOSPC || err == EDQUOT;
    throw HostError("cannot copy " + from + " to " + to + ": " + (full ? "the host's storage is full" : std::strerror(err)),
                    full ? ERROR_DISK_FULL : ErrorFromErrno(err));
  };
  const UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  struct ::stat st {};
  if (!source.Valid() || ::fstat(source.Get(), &st) != 0) fail(errno);
  const UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
  if (!target.Valid()) fail(errno);
  // A reflink where the file system shares extents (a copy that writes nothing until
  // either side changes), else a copy in the kernel, else through a buffer.
  if (::ioctl(target.Get(), FICLONE, source.Get()) == 0) return;
  for (off_t left = st.st_size; left > 0;) {
    const ssize_t copied = ::copy_file_range(source.Get(), nullptr, target.Get(), nullptr, static_cast<size_t>(left), 0);
    if (copied <= 0) {
      if (copied < 0 && (errno == ENOSPC || errno == EDQUOT)) {
        const int err = errno;
        ::unlink(to.c_str());
        fail(err);
      }
      break;
    }
    left -= copied;
    if (left == 0) return;
  }
  // What the kernel could not copy is copied from where it stopped.
  if (::lseek(source.Get(), ::lseek(target.Get(), 0, SEEK_CUR), SEEK_SET) < 0) fail(errno);
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t got = ::read(source.Get(), buffer.data(), buffer.size());
    if (got == 0) return;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || !WriteAll(target.Get(), buffer.data(), static_cast<size_t>(got), nullptr)) {
      const int err = errno;
      ::unlink(to.c_str());
      fail(err);
    }
  }
}

}  // namespace host

BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  // A missing name is an empty one, as the desktop answers (CE documents no code).
  if (!lpExistingFileName || !lpNewFileName || !*lpExistingFileName || !*lpNewFileName)
    return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const std::u16string from(lpExistingFileName), to(lpNewFileName);
    // Fault rules name the file that the copy writes.
    const host::Fault fault = host::CheckFault("CopyFileW", to);
    if (fault.action == host::FaultAction::Fail) return Fail(fault.error, FALSE);
    if (fault.action == host::FaultAction::PowerLossHalf)
      host::CutAfter([&] { host::Copy(from, to, bFailIfExists != FALSE, true); });
    return host::Copy(from, to, bFailIfExists != FALSE, false);
  });
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
  if (!lpFileName || !*lpFileName) return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const std::u16string given(lpFileName);
    if (host::Faulted("DeleteFileW", given)) return FALSE;
    auto path = host::ResolvePath(given);
    if (!path) return FALSE;
    host::Transaction transaction;
    auto st = host::StatResolved(*path);
    if (!st) return FALSE;
    if (host::BadFolderSyntax(given, *path, *st)) return Fail(static_cast<DWORD>(ERROR_INVALID_NAME), FALSE);
    if (!host::Exists(*path, *st)) return Fail(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), FALSE);
    if (S_ISDIR(st->stx_mode)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
    // Any open blocks a deletion, whatever its access: CE 4.x has no FILE_SHARE_DELETE.
    if (!host::LiveOpens(host::IdOf(*st)).empty()) return Fail(static_cast<DWORD>(ERROR_SHARING_VIOLATION), FALSE);
    if (host::IsReadOnly(*st)) return Fail(static_cast<DWORD>(ERROR_ACCESS_DENIED), FALSE);
    if (::unlinkat(path->parentFd.Get(), path->hostName.c_str(), 0) != 0) return Fail(host::LastErrno(), FALSE);
    transaction.Commit();
    return TRUE;
  });
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  (void)lpSecurityAttributes;  // CE ignores them
  if (!lpPathName || !*lpPathName) return Fail(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const std::u16string given(lpPathName);
    if (host::Faulted("CreateDirectoryW", given)) return FALSE;
    auto path = host::ResolvePath(given);
    if (!path) return FALSE;
    if (path->exists) return Fail(static_cast<DWORD>(ERROR_ALREADY_EXISTS), FALSE);
    host::CapacityLock lock;
    if (!host::RoomFor(host::kEntryBytes, host::Store::Files)) return Fail(static_cast<DWORD>(ERROR_DISK_FULL), FALSE);
    if (::mkdirat(path->parentFd.Get(), path->hostName.c_str(), 0777) != 0)
      return Fail(errno == EEXIST ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : host::LastErrno(), FALSE);
    return TRUE;
  });
}
