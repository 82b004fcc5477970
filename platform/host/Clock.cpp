// The terminal's clock: Sleep and time-outs follow the image's time scale. Scaling
// compresses waiting, not computing: below scale 1 a Sleep first lets the process's
// other threads run until each is blocked in a terminal call or has ended.
#include "platform/host/HostInternal.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace host {

namespace {

std::mutex g_clockLock;
std::condition_variable g_clockChanged;
int g_runningThreads = 0;            // CreateThread threads not blocked in a terminal call
thread_local bool t_counted = false;  // this thread is one of them
thread_local int t_blockedDepth = 0;

void WaitForOtherThreadsToBlock() {
  std::unique_lock lock(g_clockLock);
  const int self = (t_counted && t_blockedDepth == 0) ? 1 : 0;
  g_clockChanged.wait_for(lock, std::chrono::seconds(1), [&] { return g_runningThreads - self <= 0; });
}

}  // namespace

BlockedInCall::BlockedInCall() {
  std::lock_guard lock(g_clockLock);
  if (t_counted && t_blockedDepth++ == 0) {
    --g_runningThreads;
    g_clockChanged.notify_all();
  }
}

BlockedInCall::~BlockedInCall() {
  std::lock_guard lock(g_clockLock);
  if (t_counted && --t_blockedDepth == 0) ++g_runningThreads;
}

void ThreadStarted() {
  std::lock_guard lock(g_clockLock);
  t_counted = true;
  t_blockedDepth = 0;
  ++g_runningThreads;
}

void ThreadEnded() {
  std::lock_guard lock(g_clockLock);
  if (!t_counted) return;
  if (t_blockedDepth == 0) --g_runningThreads;
  t_counted = false;
  g_clockChanged.notify_all();
}

double ScaledMs(double ms) { return ms * TimeScale(); }

}  // namespace host

void Sleep(DWORD dwMilliseconds) {
  if (host::IsAttached()) {
    host::Guarded(0, [&] {
      host::Journal("sleep", {{"ms", static_cast<int64_t>(dwMilliseconds)}});
      return 0;
    });
  }
  if (host::TimeScale() < 1.0) host::WaitForOtherThreadsToBlock();
  host::BlockedInCall blocked;
  const auto real = std::chrono::duration<double, std::milli>(host::ScaledMs(dwMilliseconds));
  std::this_thread::sleep_for(real);
}

DWORD GetTickCount(void) {
  using namespace std::chrono;
  const auto real = duration_cast<duration<double, std::milli>>(steady_clock::now().time_since_epoch()).count();
  return static_cast<DWORD>(static_cast<int64_t>(real / host::TimeScale()));
}
