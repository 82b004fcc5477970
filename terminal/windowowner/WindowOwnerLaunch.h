// Starting the window owner on a terminal, for termsim's `window` command and tests.
#ifndef KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERLAUNCH_H
#define KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERLAUNCH_H

#include <optional>
#include <string>

// The CE path the window owner runs at on every terminal.
inline constexpr char16_t kWindowOwnerCePath[] = u"\\Windows\\windowowner.exe";

// On the attached image: puts the host program `hostBinary` at `cePath` (a copy,
// refreshed when it differs; left alone when it is a hard link to the program), starts
// it detached with a window of class `windowClass` and title `title` ("" for none) and
// `exitDelayMs`, and returns the owner's pid once its window exists. Nullopt with a
// one-line reason when the program cannot be placed or started, or ends (or takes over
// 30 seconds) without a window.
std::optional<int> StartWindowOwner(const std::string& hostBinary, const std::u16string& windowClass,
                                    const std::u16string& title, int exitDelayMs, std::string* error,
                                    const std::u16string& cePath = kWindowOwnerCePath);

#endif  // KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERLAUNCH_H
