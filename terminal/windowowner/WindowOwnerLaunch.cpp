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

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr auto kWindowTimeout = std::chrono::seconds(30);

std::optional<std::string> ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::optional<std::string> ReadFileAt(int folderFd, const std::string& name) {
  const host::UniqueFd fd(::openat(folderFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.Valid()) return std::nullopt;
  std::string bytes;
  char chunk[65536];
  ssize_t n;
  while ((n = ::read(fd.Get(), chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(n));
  if (n < 0) return std::nullopt;
  return bytes;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
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
  const auto program = ReadHostFile(hostBinary);
  if (!program) {
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
  if (target->exists && ReadFileAt(target->parentFd.Get(), target->hostName) == program) return true;
  const std::string temporary = "." + target->hostName + "." + std::to_string(::getpid());
  host::UniqueFd fd(::openat(target->parentFd.Get(), temporary.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0755));
  bool ok = fd.Valid() && WriteAll(fd.Get(), *program);
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
