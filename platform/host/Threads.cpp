// Threads made by CreateThread: real host threads. A thread handle is signalled when
// its thread ends; its exit code is the routine's result or ExitThread's argument.
//
// A thread records its code on its way out, but the host thread exists a little
// longer (it unwinds, then the kernel tears it down). Everything that asks whether a
// thread lives (an abandoned mutex's owner above all) asks the kernel, so the handle is
// signalled, and the code given, only once the kernel has no such thread: whoever saw
// the handle signalled then finds the thread gone everywhere.
#include "platform/host/HostInternal.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <thread>
#include <utility>

namespace host {

namespace {

// CE reads cbStack as a reservation under this flag and ignores it otherwise; a host
// thread's default stack is larger than any the terminal's programs reserve, so it is
// used either way.
constexpr DWORD kStackSizeIsReservation = 0x00010000;

class ThreadState final : public Task {
 public:
  HandleKind Kind() const override { return HandleKind::Thread; }

  DWORD Wait(Deadline deadline) override {
    {
      std::unique_lock lock(lock_);
      const auto ended = [&] { return code_.has_value(); };
      if (!deadline) {
        changed_.wait(lock, ended);
      } else if (!changed_.wait_until(lock, *deadline, ended)) {
        return WAIT_TIMEOUT;
      }
    }
    return AwaitGone(deadline) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  std::optional<DWORD> ExitCode() override {
    std::optional<DWORD> code;
    {
      std::lock_guard guard(lock_);
      code = code_;
    }
    // A recorded code belongs to a thread that is on its way out: a short wait.
    if (code) AwaitGone(std::nullopt);
    return code;
  }

  void MarkRunning(DWORD id) {
    std::lock_guard guard(lock_);
    id_ = id;
    running_ = true;
    changed_.notify_all();
  }

  DWORD WaitUntilRunning() {
    std::unique_lock lock(lock_);
    changed_.wait(lock, [&] { return running_; });
    return id_;
  }

  void MarkEnded(DWORD code) {
    std::lock_guard guard(lock_);
    code_ = code;
    changed_.notify_all();
  }

 private:
  // True once the kernel has no thread of this id; false when the deadline came first.
  // Called only after the code was recorded, when the thread has nothing left to do
  // but end, so the wait is short; once gone, a reused id is never looked at again.
  bool AwaitGone(Deadline deadline) {
    while (!gone_) {
      if (!ThreadAlive(::getpid(), id_)) {
        gone_ = true;
        break;
      }
      if (deadline && std::chrono::steady_clock::now() >= *deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
  }

  std::atomic<bool> gone_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;
  DWORD id_ = 0;
  std::optional<DWORD> code_;
};

struct ThreadStart {
  std::shared_ptr<ThreadState> state;
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

// The calling thread's state, when CreateThread made it.
thread_local ThreadState* t_self = nullptr;

void EndSelf(DWORD code) {
  ThreadState* self = std::exchange(t_self, nullptr);
  if (!self) return;
  ThreadEnded();
  self->MarkEnded(code);
}

void* ThreadMain(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  const std::shared_ptr<ThreadState> state = start->state;  // outlives a closed handle
  t_self = state.get();
  ThreadStarted();
  state->MarkRunning(GetCurrentThreadId());
  const DWORD code = start->routine(start->parameter);
  EndSelf(code);
  return nullptr;
}

}  // namespace

}  // namespace host

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpsa, DWORD cbStack, LPTHREAD_START_ROUTINE lpStartAddr,
                    LPVOID lpvThreadParam, DWORD fdwCreate, LPDWORD lpIDThread) {
  (void)cbStack;
  if (lpsa || !lpStartAddr) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
  // NOTES: CREATE_SUSPENDED is not supported (there is no ResumeThread); no other
  // creation flag but the stack reservation one is either.
  if (fdwCreate & ~host::kStackSizeIsReservation) return host::Fail(ERROR_INVALID_PARAMETER, HANDLE{});
  return host::Guarded(HANDLE{}, [&]() -> HANDLE {
    const auto fault = host::CheckFault("CreateThread", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, HANDLE{});
    auto state = std::make_shared<host::ThreadState>();
    auto start = std::make_unique<host::ThreadStart>(host::ThreadStart{state, lpStartAddr, lpvThreadParam});
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = ::pthread_create(&thread, &attributes, host::ThreadMain, start.get());
    ::pthread_attr_destroy(&attributes);
    if (err != 0) return host::Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE{});
    start.release();  // the thread owns it now
    const DWORD id = state->WaitUntilRunning();
    if (lpIDThread) *lpIDThread = id;
    return host::AddHandle(state);
  });
}

// A thread made by CreateThread ends through pthread_exit, whose unwinding runs the
// destructors of this library's frames; the program's own frames hold nothing that
// needs them. Its code is recorded before, so that waiters never depend on the unwind.
// NOTES: ExitThread on the primary thread ends the process with that code.
void ExitThread(DWORD dwExitCode) {
  if (!host::t_self && ::gettid() == ::getpid()) ExitProcess(dwExitCode);
  host::EndSelf(dwExitCode);
  ::pthread_exit(nullptr);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto task = host::FindHandleOf<host::Task>(hThread, host::HandleKind::Thread);
  if (!task) return host::Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!lpExitCode) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("GetExitCodeThread", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    *lpExitCode = task->ExitCode().value_or(STILL_ACTIVE);
    return TRUE;
  });
}

DWORD GetCurrentThreadId(void) { return static_cast<DWORD>(::gettid()); }
