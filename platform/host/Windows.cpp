// Windows and messages. The window table and the posted messages live in the image,
// so that every process of the terminal finds, and posts to, every other's windows;
// window classes (which hold procedure addresses) are the process's own.
#include "platform/host/HostInternal.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

namespace host {

namespace {

constexpr DWORD kErrorCannotFindWindowClass = 1407;
constexpr DWORD kErrorClassAlreadyExists = 1410;
constexpr ATOM kFirstClassAtom = 0xC000;  // where the platform's string atoms begin

struct WindowClass {
  std::u16string name;
  WNDPROC procedure = nullptr;
  ATOM atom = 0;
};

std::mutex g_classLock;
std::vector<WindowClass> g_classes;

// A class given as an atom: the low word of a pointer whose high bits are zero.
bool IsAtom(LPCWSTR name) { return reinterpret_cast<uintptr_t>(name) <= 0xFFFF; }

std::optional<WindowClass> FindClass(std::u16string_view name) {
  std::lock_guard guard(g_classLock);
  for (const auto& windowClass : g_classes) {
    if (EqualsIgnoreCase(windowClass.name, name)) return windowClass;
  }
  return std::nullopt;
}

std::optional<WindowClass> FindClassByAtom(ATOM atom) {
  std::lock_guard guard(g_classLock);
  for (const auto& windowClass : g_classes) {
    if (windowClass.atom == atom) return windowClass;
  }
  return std::nullopt;
}

int64_t WindowId(HWND window) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(window)); }
HWND WindowHandle(int64_t id) { return reinterpret_cast<HWND>(static_cast<intptr_t>(id)); }

struct WindowRow {
  int64_t id = 0;
  std::u16string windowClass;
  std::u16string title;
  int pid = 0;
  int64_t startTime = 0;
  DWORD thread = 0;

  bool OwnedByThisThread() const {
    return pid == ::getpid() && startTime == SelfStartTime() && thread == GetCurrentThreadId();
  }
};

void DeleteWindowRow(int64_t id) {
  Transaction transaction;
  Statement messages("DELETE FROM messages WHERE hwnd = ?");
  messages.Bind(1, id).Run();
  Statement window("DELETE FROM windows WHERE hwnd = ?");
  window.Bind(1, id).Run();
  transaction.Commit();
}

// Every window row, newest first. A window whose owner has ended is gone: its row
// (left behind by a killed process) is removed here.
std::vector<WindowRow> LiveWindows() {
  std::vector<WindowRow> rows;
  {
    Statement query("SELECT hwnd, class, title, pid, start_time, thread FROM windows ORDER BY hwnd DESC");
    while (query.Step()) {
      rows.push_back({query.Int(0), query.Text16(1), query.Text16(2), static_cast<int>(query.Int(3)), query.Int(4),
                      static_cast<DWORD>(query.Int(5))});
    }
  }
  std::map<std::pair<int, int64_t>, bool> alive;
  std::erase_if(rows, [&](const WindowRow& row) {
    const auto owner = std::make_pair(row.pid, row.startTime);
    auto known = alive.find(owner);
    if (known == alive.end()) known = alive.emplace(owner, ProcessAlive(row.pid, row.startTime)).first;
    if (known->second) return false;
    DeleteWindowRow(row.id);
    return true;
  });
  return rows;
}

std::optional<WindowRow> LiveWindow(HWND window) {
  const int64_t id = WindowId(window);
  if (id <= 0) return std::nullopt;
  WindowRow row;
  {
    Statement query("SELECT class, title, pid, start_time, thread FROM windows WHERE hwnd = ?");
    query.Bind(1, id);
    if (!query.Step()) return std::nullopt;
    row = {id, query.Text16(0), query.Text16(1), static_cast<int>(query.Int(2)), query.Int(3),
           static_cast<DWORD>(query.Int(4))};
  }
  if (!ProcessAlive(row.pid, row.startTime)) {
    DeleteWindowRow(id);
    return std::nullopt;
  }
  return row;
}

// Windows whose WM_DESTROY the calling thread is handling.
thread_local std::vector<int64_t> t_destroying;

// WM_QUIT of the calling thread, posted by PostQuitMessage.
thread_local bool t_quitPosted = false;
thread_local int t_quitCode = 0;

struct PostedMessage {
  int64_t window = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// Takes the oldest posted message for the calling thread's windows (or for `window`
// alone), within [first, last] unless both are 0. Only the owning thread takes from
// its queue, so looking first and removing after needs no write lock while idle.
std::optional<PostedMessage> TakePostedMessage(int64_t window, UINT first, UINT last) {
  const int64_t low = (first == 0 && last == 0) ? 0 : first;
  const int64_t high = (first == 0 && last == 0) ? INT64_MAX : last;
  int64_t id = 0;
  PostedMessage posted;
  {
    Statement query(
        "SELECT m.id, m.hwnd, m.message, m.wparam, m.lparam FROM messages m JOIN windows w ON w.hwnd = m.hwnd "
        "WHERE w.pid = ? AND w.start_time = ? AND w.thread = ? AND (? = 0 OR m.hwnd = ?) "
        "AND m.message BETWEEN ? AND ? ORDER BY m.id LIMIT 1");
    query.Bind(1, static_cast<int64_t>(::getpid())).Bind(2, SelfStartTime());
    query.Bind(3, static_cast<int64_t>(GetCurrentThreadId())).Bind(4, window).Bind(5, window);
    query.Bind(6, low).Bind(7, high);
    if (!query.Step()) return std::nullopt;
    id = query.Int(0);
    posted = {query.Int(1), static_cast<UINT>(query.Int(2)), static_cast<WPARAM>(query.Int(3)),
              static_cast<LPARAM>(query.Int(4))};
  }
  Statement remove("DELETE FROM messages WHERE id = ?");
  remove.Bind(1, id).Run();
  // Gone meanwhile: its window was destroyed.
  if (sqlite3_changes(Database()) == 0) return std::nullopt;
  return posted;
}

void FillMessage(LPMSG out, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  *out = {};
  out->hwnd = window;
  out->message = message;
  out->wParam = wParam;
  out->lParam = lParam;
  out->time = GetTickCount();
}

}  // namespace

bool HasWindow(const StartedProcess& process) {
  Statement query("SELECT 1 FROM windows WHERE pid = ? AND start_time = ? LIMIT 1");
  query.Bind(1, static_cast<int64_t>(process.pid)).Bind(2, process.startTime);
  return query.Step();
}

void CreateWindowTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE windows(
  hwnd INTEGER PRIMARY KEY AUTOINCREMENT,
  class TEXT NOT NULL,
  title TEXT NOT NULL,
  pid INTEGER NOT NULL,
  start_time INTEGER NOT NULL,
  thread INTEGER NOT NULL);
CREATE TABLE messages(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  hwnd INTEGER NOT NULL,
  message INTEGER NOT NULL,
  wparam INTEGER NOT NULL,
  lparam INTEGER NOT NULL);
)sql");
}

}  // namespace host

ATOM RegisterClassW(const WNDCLASSW* lpWndClass) {
  if (!lpWndClass || !lpWndClass->lpfnWndProc || !lpWndClass->lpszClassName || host::IsAtom(lpWndClass->lpszClassName))
    return host::Fail(ERROR_INVALID_PARAMETER, ATOM{0});
  std::lock_guard guard(host::g_classLock);
  for (const auto& windowClass : host::g_classes) {
    if (host::EqualsIgnoreCase(windowClass.name, lpWndClass->lpszClassName))
      return host::Fail(host::kErrorClassAlreadyExists, ATOM{0});
  }
  const auto atom = static_cast<ATOM>(host::kFirstClassAtom + host::g_classes.size());
  host::g_classes.push_back({lpWndClass->lpszClassName, lpWndClass->lpfnWndProc, atom});
  return atom;
}

// NOTES: only top-level windows exist; position, size and styles are kept nowhere, and
// no WM_CREATE is sent (the terminal has no CREATESTRUCT to pass).
HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HANDLE hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  (void)dwExStyle, (void)dwStyle, (void)X, (void)Y, (void)nWidth, (void)nHeight, (void)hMenu, (void)hInstance,
      (void)lpParam;
  if (!lpClassName) return host::Fail(ERROR_INVALID_PARAMETER, HWND{});
  // Child windows are not implemented.
  if (hWndParent) return host::Fail(ERROR_INVALID_PARAMETER, HWND{});
  const auto windowClass = host::IsAtom(lpClassName)
                               ? host::FindClassByAtom(static_cast<ATOM>(reinterpret_cast<uintptr_t>(lpClassName)))
                               : host::FindClass(lpClassName);
  if (!windowClass) return host::Fail(host::kErrorCannotFindWindowClass, HWND{});
  return host::Guarded(HWND{}, [&] {
    host::Statement insert("INSERT INTO windows(class, title, pid, start_time, thread) VALUES(?, ?, ?, ?, ?)");
    insert.Bind(1, std::u16string_view(windowClass->name)).Bind(2, host::ToU16(lpWindowName));
    insert.Bind(3, static_cast<int64_t>(::getpid())).Bind(4, host::SelfStartTime());
    insert.Bind(5, static_cast<int64_t>(GetCurrentThreadId())).Run();
    const HWND window = host::WindowHandle(host::LastInsertRowId());
    host::RingBell();
    return window;
  });
}

BOOL DestroyWindow(HWND hWnd) {
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto window = host::LiveWindow(hWnd);
    if (!window) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    // The platform lets only the creating thread destroy a window.
    if (!window->OwnedByThisThread()) return host::Fail(ERROR_ACCESS_DENIED, FALSE);
    // A procedure that destroys its window again while handling WM_DESTROY gets no second one.
    if (std::find(host::t_destroying.begin(), host::t_destroying.end(), window->id) != host::t_destroying.end())
      return TRUE;
    // The window still exists while its procedure handles WM_DESTROY.
    if (const auto windowClass = host::FindClass(window->windowClass)) {
      host::t_destroying.push_back(window->id);
      windowClass->procedure(hWnd, WM_DESTROY, 0, 0);
      host::t_destroying.pop_back();
    }
    host::DeleteWindowRow(window->id);
    return TRUE;
  });
}

// NOTES: a window that is not found leaves the last error as it was (as the desktop
// does); a class given as an atom is not implemented (ERROR_INVALID_PARAMETER).
HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  if (lpClassName && host::IsAtom(lpClassName)) return host::Fail(ERROR_INVALID_PARAMETER, HWND{});
  return host::Guarded(HWND{}, [&]() -> HWND {
    const auto fault = host::CheckFault("FindWindowW", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, HWND{});
    for (const auto& window : host::LiveWindows()) {
      if (lpClassName && !host::EqualsIgnoreCase(window.windowClass, lpClassName)) continue;
      if (lpWindowName && !host::EqualsIgnoreCase(window.title, lpWindowName)) continue;
      return host::WindowHandle(window.id);
    }
    return HWND{};
  });
}

DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
  return host::Guarded(DWORD{0}, [&]() -> DWORD {
    const auto fault = host::CheckFault("GetWindowThreadProcessId", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, DWORD{0});
    const auto window = host::LiveWindow(hWnd);
    if (!window) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, DWORD{0});
    if (lpdwProcessId) *lpdwProcessId = static_cast<DWORD>(window->pid);
    return window->thread;
  });
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  // Thread messages (no window) and broadcasts (HWND_BROADCAST) are not implemented.
  if (!hWnd || host::WindowId(hWnd) == 0xFFFF) return host::Fail(ERROR_INVALID_PARAMETER, FALSE);
  return host::Guarded(FALSE, [&]() -> BOOL {
    const auto fault = host::CheckFault("PostMessageW", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, FALSE);
    const auto window = host::LiveWindow(hWnd);
    if (!window) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    host::Transaction transaction;
    // Inside the transaction the window cannot vanish between the check and the queueing.
    host::Statement insert(
        "INSERT INTO messages(hwnd, message, wparam, lparam) SELECT hwnd, ?, ?, ? FROM windows WHERE hwnd = ?");
    insert.Bind(1, static_cast<int64_t>(Msg)).Bind(2, static_cast<int64_t>(wParam));
    insert.Bind(3, static_cast<int64_t>(lParam)).Bind(4, window->id).Run();
    if (sqlite3_changes(host::Database()) == 0) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    host::Journal("post-message",
                  {{"class", window->windowClass}, {"title", window->title}, {"message", static_cast<int64_t>(Msg)}});
    transaction.Commit();
    host::RingBell();
    return TRUE;
  });
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) return host::Fail(ERROR_INVALID_PARAMETER, -1);
  return host::Guarded(BOOL{-1}, [&]() -> BOOL {
    if (hWnd) {
      const auto window = host::LiveWindow(hWnd);
      if (!window || !window->OwnedByThisThread()) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, -1);
    }
    host::BlockedInCall blocked;
    // Other processes post through the database and ring the image's bell: the queue is
    // looked at again at each ring, and at least every 20 ms.
    for (;;) {
      const uint32_t rings = host::BellRings();
      if (const auto posted = host::TakePostedMessage(host::WindowId(hWnd), wMsgFilterMin, wMsgFilterMax)) {
        host::FillMessage(lpMsg, host::WindowHandle(posted->window), posted->message, posted->wParam, posted->lParam);
        return posted->message == WM_QUIT ? FALSE : TRUE;
      }
      // As on the platform, WM_QUIT comes only once the posted messages are taken.
      if (host::t_quitPosted) {
        host::t_quitPosted = false;
        host::FillMessage(lpMsg, HWND{}, WM_QUIT, static_cast<WPARAM>(host::t_quitCode), 0);
        return FALSE;
      }
      host::AwaitBell(rings, std::chrono::milliseconds(20));
    }
  });
}

LRESULT DispatchMessageW(const MSG* lpMsg) {
  if (!lpMsg) return host::Fail(ERROR_INVALID_PARAMETER, LRESULT{0});
  // A message for no window (a thread message) has no procedure to go to.
  if (!lpMsg->hwnd) return 0;
  const auto procedure = host::Guarded(WNDPROC{}, [&]() -> WNDPROC {
    const auto window = host::LiveWindow(lpMsg->hwnd);
    if (!window || !window->OwnedByThisThread()) return host::Fail(ERROR_INVALID_WINDOW_HANDLE, WNDPROC{});
    const auto windowClass = host::FindClass(window->windowClass);
    return windowClass ? windowClass->procedure : host::Fail(ERROR_INVALID_WINDOW_HANDLE, WNDPROC{});
  });
  // The procedure runs with no database statement open, so it may call anything.
  return procedure ? procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  (void)wParam, (void)lParam;
  if (Msg == WM_CLOSE) DestroyWindow(hWnd);
  return 0;
}

void PostQuitMessage(int nExitCode) {
  host::t_quitPosted = true;
  host::t_quitCode = nExitCode;
}
