// The terminal's storage: what its files and its database hold against its capacity
// (an image setting), and the room a change needs there and on the host.
//
// Usage is measured, never counted along: files put into fs/ behind the terminal's
// back are seen at once, as everything else in fs/ is. A measure walks fs/ and reads
// the database's page count, so it is taken only for a change that adds something.
#include "platform/host/HostInternal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace host {

namespace {

// Host space left to the terminal's bookkeeping (the journal, the process and open-file
// tables), so that a run whose files fill the host still records how it ended: enough
// for SQLite's write-ahead log to grow to its checkpoint (1000 pages of 4 KiB) and for
// the checkpoint to move those pages into the database. Windows CE keeps the last
// 24 KB of its object store for its own operations in the same way.
constexpr uint64_t kHostReserve = 8u << 20;

// Which room the last refusal of this process found missing.
std::atomic<bool> g_hostWasFull{false};

// Bytes a folder's entries take, its subfolders' included: each entry, and each file's
// length. A host program (owner-execute bit: Setup.exe, the stand-ins) stands for a CE
// program of another size, so its length is left out.
// NOTES: a file counts its length, not the clusters a FAT volume gives it.
uint64_t FolderBytes(int folderFd) {
  const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* folder = ::fdopendir(fd);
  if (!folder) {
    ::close(fd);
    return 0;
  }
  uint64_t bytes = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct ::stat st {};
    if (::fstatat(::dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const UniqueFd child(::openat(::dirfd(folder), entry->d_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      bytes += kEntryBytes + (child.Valid() ? FolderBytes(child.Get()) : 0);
    } else if (S_ISREG(st.st_mode)) {
      bytes += kEntryBytes + ((st.st_mode & S_IXUSR) ? 0 : static_cast<uint64_t>(st.st_size));
    }
  }
  ::closedir(folder);
  return bytes;
}

// The database's pages in use, as this connection's view has them: the write-ahead
// log holds changes of those pages, so it adds nothing of its own.
uint64_t DatabaseBytes() {
  Statement query(
      "SELECT (SELECT page_count FROM pragma_page_count()) - (SELECT freelist_count FROM pragma_freelist_count()), "
      "(SELECT page_size FROM pragma_page_size())");
  if (!query.Step()) return 0;
  return static_cast<uint64_t>(std::max<int64_t>(0, query.Int(0))) * static_cast<uint64_t>(query.Int(1));
}

// Free bytes of the host file system that holds fs/ (files) or the image folder (the database).
std::optional<uint64_t> HostFree(Store store) {
  struct ::statvfs vfs {};
  const int result =
      store == Store::Files ? ::fstatvfs(FsRootFd(), &vfs) : ::statvfs(ImageRoot().c_str(), &vfs);
  if (result != 0) return std::nullopt;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

}  // namespace

uint64_t StorageUsed() { return FolderBytes(FsRootFd()) + DatabaseBytes(); }

void NoteFull(bool host) { g_hostWasFull = host; }

bool LastFullWasHost() { return g_hostWasFull; }

bool RoomFor(uint64_t bytes, Store store) {
  if (bytes == 0) return true;
  const auto free = HostFree(store);
  if (free && *free < kHostReserve + bytes) {
    NoteFull(true);
    return false;
  }
  const auto capacity = Capacity();
  if (!capacity || StorageUsed() + bytes <= *capacity) return true;
  NoteFull(false);
  return false;
}

CapacityLock::CapacityLock() {
  if (Capacity()) transaction_.emplace();
}

}  // namespace host
