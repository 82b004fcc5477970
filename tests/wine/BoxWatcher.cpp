// Answers message boxes under Wine, as a user would, and logs each one: until it is
// ended, it finds every message box on the desktop, appends "caption<TAB>text<TAB>style"
// (UTF-8, line breaks as \n) to the log file named on its command line, and presses OK.
// The style is rebuilt as MessageBoxW's flags from what the box shows: MB_TOPMOST from
// WS_EX_TOPMOST, and MB_ICONHAND for an icon. Wine keeps an icon's image in the process
// that loaded it, so another process cannot tell the stop icon from the others; the
// stop icon is the only one Setup shows.
#include <windows.h>

#include <string>

namespace {

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  GetWindowTextW(window, text, 1024);
  return text;
}

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) out += c == L'\n' ? std::wstring(L"\\n") : std::wstring(1, c);
  return out;
}

struct BoxContents {
  std::wstring text;
  bool icon = false;
};

BOOL CALLBACK ReadChild(HWND child, LPARAM contents) {
  wchar_t className[32] = {};
  GetClassNameW(child, className, 32);
  if (lstrcmpiW(className, L"Static") != 0) return TRUE;
  BoxContents* box = reinterpret_cast<BoxContents*>(contents);
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    box->icon = box->icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
  } else if (box->text.empty()) {
    box->text = WindowText(child);
  }
  return TRUE;
}

void AppendLine(LPCWSTR logPath, const std::wstring& line) {
  const std::wstring text = line + L"\n";
  char utf8[8192];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), utf8, sizeof(utf8), nullptr, nullptr);
  HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, utf8, (DWORD)bytes, &written, nullptr);
  CloseHandle(log);
}

// Logs the box, presses OK and waits (at most five seconds) until it is gone.
void Answer(HWND box, LPCWSTR logPath) {
  BoxContents contents;
  EnumChildWindows(box, ReadChild, reinterpret_cast<LPARAM>(&contents));
  const bool topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  const UINT style = (topmost ? MB_TOPMOST : 0) | (contents.icon ? MB_ICONHAND : 0);
  AppendLine(logPath, WindowText(box) + L"\t" + Escaped(contents.text) + L"\t" + std::to_wstring(style));
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)GetDlgItem(box, IDOK));
  for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(50);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR logPath, int) {
  for (;;) {
    // The dialog class of message boxes.
    HWND box = FindWindowW(L"#32770", nullptr);
    if (box != nullptr && IsWindowVisible(box)) {
      Answer(box, logPath);
    } else {
      Sleep(50);
    }
  }
}
