// termsim window: a program of the terminal that owns one window, standing in for the
// windows Setup closes.
#include "terminal/termsim/Commands.h"
#include "terminal/windowowner/WindowOwnerLaunch.h"

#include <cstdio>

namespace termsim {

namespace {

// The owner's own bound on its delay: one day of terminal time.
constexpr int64_t kLongestExitDelayMs = 86'400'000;

int Window(const Arguments& arguments) {
  const auto windowClass = arguments.Value("class");
  if (!windowClass) throw UsageError("--class is required: --class CLASS");
  const std::u16string className = TextArgument("--class", *windowClass);
  if (className.empty()) throw UsageError("--class must not be empty");
  const std::u16string title = TextArgument("--title", arguments.Value("title").value_or(""));
  int64_t exitDelay = 0;
  if (auto delay = arguments.Value("exit-delay")) {
    exitDelay = CountArgument("--exit-delay", *delay, 0);
    if (exitDelay > kLongestExitDelayMs) throw UsageError("--exit-delay must be at most 86400000 (one day)");
  }
  AttachOrFail(arguments.Positional(0));
  const std::string owner = ProgramBesideTermsim("windowowner");
  std::string error;
  const auto pid = StartWindowOwner(owner, className, title, static_cast<int>(exitDelay), &error);
  if (!pid) throw CommandFailure(error);
  std::printf("%d\n", *pid);
  return kExitOk;
}

}  // namespace

CommandSpec WindowCommand() {
  return {
      .name = "window",
      .positionals = "IMAGE",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary = "Starts a window owner on the terminal; prints its pid once its window exists.\n"
                 "WM_CLOSE destroys the window, which ends the owner (after --exit-delay).",
      .options =
          {
              {"class", "C", "the window's class (required)"},
              {"title", "T", "the window's title (none)"},
              {"exit-delay", "MS", "terminal milliseconds between the window's end and the program's (0)"},
          },
      .run = Window,
  };
}

}  // namespace termsim
