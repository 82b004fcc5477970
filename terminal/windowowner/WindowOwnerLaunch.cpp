#include "terminal/windowowner/WindowOwnerLaunch.h"

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/UniqueFd.h"
#include "terminal/windowowner/WindowOwnerCommandLine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr auto kWindowTimeout = std::chrono::seconds(30);

bool ReadFull(int fd, char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Whether `name` in `folderFd` holds the bytes of the open `program`, compared a piece
// at a time from its start: the program is megabytes.
bool SameContent(int program, int folderFd, const std::string& name) {
  // Not blocked by a FIFO of that name: a regular file alone is compared.
  const host::UniqueFd placed(::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct ::stat sourceStat {}, placedStat {};
  if (!placed.Valid() || ::fstat(program, &sourceStat) != 0 ||
      ::fstat(placed.Get(), &placedStat) != 0 || !S_ISREG(placedStat.st_mode) || sourceStat.st_size != placedStat.st_size)
    return false;
  std::vector<char> ours(1 << 16), theirs(1 << 16);
  for (off_t left = sourceStat.st_size; left > 0;) {
    const size_t piece = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(ours.size())));
    if (!ReadFull(program, ours.data(), piece) || !ReadFull(placed.Get(), theirs.data(), piece) ||
        std::memcmp(ours.data(), theirs.data(), piece) != 0)
      return false;
    left -= static_cast<off_t>(piece);
  }
  return true;
}

// Puts the program at `cePath`. A copy, not a link: the terminal may write
// to its own files, and must never reach the build's program through one. A running
// owner keeps the file it started from, because the new one replaces it by rename.
bool PlaceProgram(const std::string& hostBinary, const std::u16string& cePath, std::string* error) {
  // A hard link to the program itself (a rehearsal's read-only stand-in) is in place.
  struct ::stat source {}, placed {};
  const auto linked = host::ResolvePath(cePath);
  if (linked && linked->exists && ::stat(hostBinary.c_str(), &source) == 0 &&
      ::fstatat(linked->parentFd.Get(), linked->hostName.c_str(), &placed, AT_SYMLINK_NOFOLLOW) == 0 &&
      source.st_dev == placed.st_dev && source.st_ino == placed.st_ino)
    return true;
  const host::UniqueFd program(::open(hostBinary.c_str(), O_RDONLY | O_CLOEXEC));
  if (!program.Valid()) {
    *error = "cannot read the window owner program " + hostBinary;
    return false;
  }
  auto target = host::ResolvePath(cePath);
  if (!target && GetLastError() == ERROR_PATH_NOT_FOUND) {
    ::mkdirat(host::FsRootFd(), "Windows", 0755);
    target = host::ResolvePath(cePath);
  }
  if (!target) {
    *error = "cannot place the window owner in the terminal: " + host::ErrorName(GetLastError());
    return false;
  }
  if (target->exists && SameContent(program.Get(), target->parentFd.Get(), target->hostName)) return true;
  const std::string temporary = "." + target->hostName + "." + std::to_string(::getpid());
  ::unlinkat(target->parentFd.Get(), temporary.c_str(), 0);
  host::UniqueFd fd(::openat(target->parentFd.Get(), temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0755));
  bool ok = fd.Valid() && ::lseek(program.Get(), 0, SEEK_SET) == 0;
  std::vector<char> piece(1 << 16);
  for (ssize_t n = 0; ok && (n = ::read(program.Get(), piece.data(), piece.size())) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0 && WriteAll(fd.Get(), std::string_view(piece.data(), static_cast<size_t>(n)));
  }
  ok = fd.Close() && ok;
  ok = ok && ::renameat(target->parentFd.Get(), temporary.c_str(), target->parentFd.Get(), target->hostName.c_str()) == 0;
  if (!ok) {
    *error = "cannot write " + target->HostPath() + ": " + std::strerror(errno);
    ::unlinkat(target->parentFd.Get(), temporary.c_str(), 0);
  }
  return ok;
}

}  // namespace

std::optional<int> StartWindowOwner(const std::string& hostBinary, const std::u16string& windowClass,
                                    const std::u16string& title, int exitDelayMs, std::string* error,
                                    const std::u16string& cePath) {
  std::string ignored;
  if (!error) error = &ignored;
  try {
    if (!PlaceProgram(hostBinary, cePath, error)) return std::nullopt;
    const WindowOwnerOptions options{windowClass, title, exitDelayMs};
    std::optional<host::StartedProcess> process;
    try {
      process = host::StartProgram(cePath, EncodeWindowOwnerCommandLine(options), {.detached = true, .journalStart = false});
    } catch (const host::HostError& e) {
      *error = "cannot start the window owner: " + host::ErrorName(e.code());
      return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + kWindowTimeout;
    for (;;) {
      // The owner rings the image's bell when its window is made.
      const uint32_t rings = host::BellRings();
      if (host::HasWindow(*process)) break;
      if (!host::ProcessAlive(process->pid, process->startTime)) {
        *error = "the window owner ended without a window (bad class or title?)";
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        if (host::ProcessStartTime(process->pid) == process->startTime) ::kill(process->pid, SIGKILL);
        *error = "the window owner made no window within 30 seconds";
        return std::nullopt;
      }
      host::AwaitBell(rings, std::chrono::milliseconds(5));
    }
    return process->pid;
  } catch (const host::HostError& e) {
    *error = e.what();
    return std::nullopt;
  }
}
