// The one owner of a host file descriptor, for the terminal and its host programs:
// closes it when the owner goes, moves, never copies.
#ifndef KORVA_PLATFORM_HOST_UNIQUEFD_H
#define KORVA_PLATFORM_HOST_UNIQUEFD_H

#include <unistd.h>

#include <utility>

namespace host {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up to the caller, who closes it (or hands it on).
  int Release() noexcept { return std::exchange(fd_, -1); }
  // Closes what it holds and takes `fd` instead.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, for a caller that must know: a write may report its failure only here.
  bool Close() noexcept {
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_UNIQUEFD_H
