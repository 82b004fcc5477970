// The window owner's command line, one string:
//
//   --class "CLASS" [--title "TITLE"] [--exit-delay MS]
//
// Options in any order. A value is either quoted, where a backslash takes the next
// character as it is (so `\"` is a quote and `\\` a backslash), or a run of
// characters up to the next blank. MS is terminal milliseconds (0 to 86400000).
#ifndef KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERCOMMANDLINE_H
#define KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERCOMMANDLINE_H

#include <optional>
#include <string>
#include <string_view>

struct WindowOwnerOptions {
  std::u16string windowClass;
  std::u16string title;  // "" when not given
  int exitDelayMs = 0;   // after the window is destroyed, before the process ends
};

// The command line for `options`, every value quoted.
std::u16string EncodeWindowOwnerCommandLine(const WindowOwnerOptions& options);
// Nullopt with a one-line reason for a command line that is not of the form above or
// names no class.
std::optional<WindowOwnerOptions> ParseWindowOwnerCommandLine(std::u16string_view commandLine, std::string* error);

#endif  // KORVA_TERMINAL_WINDOWOWNER_WINDOWOWNERCOMMANDLINE_H
