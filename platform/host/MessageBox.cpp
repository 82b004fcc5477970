// Message boxes: nobody sits at the emulated terminal, so a box is written to the
// journal and to standard error, and answered as the image's "message_box" setting
// says: "ok" at once, "after:MS" after MS terminal milliseconds, "never" not at all.
#include "platform/host/HostInternal.h"

#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <thread>

namespace host {

namespace {

constexpr UINT kButtonsMask = 0x0000000F;
constexpr UINT kDefaultButtonMask = 0x00000F00;
constexpr UINT kDefaultButtonShift = 8;

// The buttons of each MB_ type (MB_OK .. MB_RETRYCANCEL), as IDs and labels.
struct Button {
  int id;
  const char* label;
};
struct ButtonSet {
  Button buttons[3];
  int count;
};
constexpr ButtonSet kButtonSets[] = {
    {{{IDOK, "OK"}}, 1},
    {{{IDOK, "OK"}, {IDCANCEL, "Cancel"}}, 2},
    {{{3, "Abort"}, {4, "Retry"}, {5, "Ignore"}}, 3},
    {{{IDYES, "Yes"}, {IDNO, "No"}, {IDCANCEL, "Cancel"}}, 3},
    {{{IDYES, "Yes"}, {IDNO, "No"}}, 2},
    {{{4, "Retry"}, {IDCANCEL, "Cancel"}}, 2},
};

// The box as a person would read it; one write, so boxes of threads do not interleave.
void PrintBox(std::u16string_view caption, std::u16string_view text, UINT style, const ButtonSet& set) {
  std::string out = "+-- " + ToUtf8(caption) + "\n";
  size_t start = 0;
  const std::string body = ToUtf8(text);
  do {
    const size_t end = body.find('\n', start);
    out += "| " + body.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
    start = end == std::string::npos ? end : end + 1;
  } while (start != std::string::npos);
  out += "|";
  for (int i = 0; i < set.count; ++i) out += std::string(" [") + set.buttons[i].label + "]";
  char styleText[32];
  std::snprintf(styleText, sizeof styleText, "  (style 0x%05X)\n", style);
  out += styleText;
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
}

[[noreturn]] void WaitForever() {
  std::mutex lock;
  std::condition_variable never;
  std::unique_lock guard(lock);
  for (;;) never.wait(guard);
}

}  // namespace

}  // namespace host

// The answer is the box's default button (the first unless MB_DEFBUTTONn says
// otherwise), as if its user pressed Enter: IDOK for an MB_OK box.
// NOTES: hWnd is not checked: the terminal draws no windows for a box to belong to.
int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  (void)hWnd;
  const UINT buttons = uType & host::kButtonsMask;
  if (buttons >= std::size(host::kButtonSets)) return host::Fail(ERROR_INVALID_PARAMETER, 0);
  const auto& set = host::kButtonSets[buttons];
  const UINT defaultIndex = (uType & host::kDefaultButtonMask) >> host::kDefaultButtonShift;
  const int answer = set.buttons[defaultIndex < static_cast<UINT>(set.count) ? defaultIndex : 0].id;
  // Windows titles a box without a caption "Error".
  const std::u16string caption = lpCaption ? host::ToU16(lpCaption) : u"Error";
  const std::u16string text = host::ToU16(lpText);
  return host::Guarded(0, [&]() -> int {
    const auto fault = host::CheckFault("MessageBoxW", u"*");
    if (fault.action == host::FaultAction::Fail) return host::Fail(fault.error, 0);
    host::Journal("messagebox", {{"caption", caption}, {"text", text}, {"style", static_cast<int64_t>(uType)}});
    host::PrintBox(caption, text, uType, set);
    const std::string policy = host::Setting("message_box");
    if (policy == "never") {
      host::BlockedInCall blocked;
      host::WaitForever();
    }
    if (policy.starts_with("after:")) {
      const double terminalMs = host::SettingDoubleFrom("message_box", std::string_view(policy).substr(6), 0);
      host::BlockedInCall blocked;
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(host::ScaledMs(terminalMs)));
    }
    host::Journal("messagebox-answer", {{"result", static_cast<int64_t>(answer)}});
    return answer;
  });
}
