// The window owner: a program of the terminal that owns one window of a given class
// and title and runs its message loop, as the programs Setup closes do. WM_CLOSE
// destroys the window (the default handling); WM_DESTROY ends the loop, and the
// process ends after the exit delay. The command line: WindowOwnerCommandLine.h.
#include "platform/coredll.h"
#include "terminal/windowowner/WindowOwnerCommandLine.h"

#include <cstdio>

namespace {

// Exit codes besides the loop's own (0).
constexpr int kExitBadCommandLine = 2;
constexpr int kExitNoWindow = 3;

LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd) {
  (void)hPrevInstance, (void)nShowCmd;
  std::string error;
  const auto options = ParseWindowOwnerCommandLine(lpCmdLine, &error);
  if (!options) {
    std::fprintf(stderr, "windowowner: %s\n", error.c_str());
    return kExitBadCommandLine;
  }
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = OwnerWindowProc;
  windowClass.hInstance = hInstance;
  windowClass.lpszClassName = options->windowClass.c_str();
  if (!RegisterClassW(&windowClass)) {
    std::fprintf(stderr, "windowowner: RegisterClassW failed (%u)\n", static_cast<unsigned>(GetLastError()));
    return kExitNoWindow;
  }
  const HWND window = CreateWindowExW(0, options->windowClass.c_str(), options->title.c_str(), 0, 0, 0, 0, 0,
                                      nullptr, nullptr, hInstance, nullptr);
  if (!window) {
    std::fprintf(stderr, "windowowner: CreateWindowExW failed (%u)\n", static_cast<unsigned>(GetLastError()));
    return kExitNoWindow;
  }
  MSG message = {};
  BOOL got = 0;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) DispatchMessageW(&message);
  if (got < 0) {
    std::fprintf(stderr, "windowowner: GetMessageW failed (%u)\n", static_cast<unsigned>(GetLastError()));
    return kExitNoWindow;
  }
  // A program that takes its time to shut down once its window has gone.
  if (options->exitDelayMs > 0) Sleep(static_cast<DWORD>(options->exitDelayMs));
  return static_cast<int>(message.wParam);
}
