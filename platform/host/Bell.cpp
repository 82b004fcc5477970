// The image's bell: a counter in a small file of the image (terminal.bell), shared by
// every process of the terminal through a mapping. A change that another process may
// be waiting for (a window made, a message posted) rings it: the counter goes up and
// every waiter wakes (a futex on the shared mapping). A waiter reads the counter, looks
// at the database, and sleeps only while the counter stays as it read it, and never
// longer than it asks: a process that does not ring (or a bell that cannot be made)
// costs a waiter its time-out, never a missed change.
#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <thread>

namespace host {

namespace {

constexpr char kBellFile[] = "terminal.bell";

struct Bell {
  std::string root;  // the image it belongs to
  uint32_t* word = nullptr;
};

std::mutex g_bellLock;
Bell g_bell;

// The attached image's counter, mapped at its first use; null when it cannot be.
uint32_t* BellWord() {
  std::lock_guard guard(g_bellLock);
  if (!IsAttached()) return nullptr;
  if (g_bell.word && g_bell.root == ImageRoot()) return g_bell.word;
  if (g_bell.word) ::munmap(g_bell.word, sizeof(uint32_t));
  g_bell = Bell{ImageRoot(), nullptr};
  const UniqueFd fd(::openat(AT_FDCWD, (ImageRoot() + "/" + kBellFile).c_str(),
                             O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  struct ::stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  if (st.st_size < static_cast<off_t>(sizeof(uint32_t)) && ::ftruncate(fd.Get(), sizeof(uint32_t)) != 0) return nullptr;
  void* mapped = ::mmap(nullptr, sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
  if (mapped == MAP_FAILED) return nullptr;
  g_bell.word = static_cast<uint32_t*>(mapped);
  return g_bell.word;
}

long Futex(uint32_t* word, int operation, uint32_t value, const timespec* timeout) {
  return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

}  // namespace

void RingBell() {
  uint32_t* word = BellWord();
  if (!word) return;
  std::atomic_ref<uint32_t>(*word).fetch_add(1);
  Futex(word, FUTEX_WAKE, INT_MAX, nullptr);
}

uint32_t BellRings() {
  uint32_t* word = BellWord();
  return word ? std::atomic_ref<uint32_t>(*word).load() : 0;
}

void AwaitBell(uint32_t seen, std::chrono::microseconds most) {
  uint32_t* word = BellWord();
  if (!word) {
    std::this_thread::sleep_for(most);
    return;
  }
  const timespec timeout{static_cast<time_t>(most.count() / 1000000), static_cast<long>(most.count() % 1000000) * 1000};
  Futex(word, FUTEX_WAIT, seen, &timeout);
}

void ForgetBell() {
  std::lock_guard guard(g_bellLock);
  if (g_bell.word) ::munmap(g_bell.word, sizeof(uint32_t));
  g_bell = Bell{};
}

}  // namespace host
