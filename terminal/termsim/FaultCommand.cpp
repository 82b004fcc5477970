// termsim fault: a rule that makes a named API call of the terminal fail, or cuts the
// power there.
#include "platform/host/HostInternal.h"
#include "terminal/termsim/Commands.h"

#include <strings.h>

namespace termsim {

namespace {

// API names are C identifiers; anything else could never match a call.
void CheckApiName(const std::string& api) {
  bool good = !api.empty() && !(api[0] >= '0' && api[0] <= '9');
  for (char c : api) {
    good = good && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
  }
  if (!good) throw UsageError("API must be the name of an API call such as CreateFileW, not '" + api + "'");
}

// The error as the rule stores it: power-loss, power-loss:half, or an ERROR_* name
// (a number when the code has none).
std::string RuleError(const std::string& api, const std::string& error) {
  if (error == "power-loss") return error;
  if (error == "power-loss:half") {
    // Only these two calls can write half of their bytes (API names match in any case).
    if (strcasecmp(api.c_str(), "WriteFile") != 0 && strcasecmp(api.c_str(), "CopyFileW") != 0)
      throw UsageError("power-loss:half applies to WriteFile and CopyFileW only, not " + api);
    return error;
  }
  const auto code = host::ErrorFromName(error);
  if (!code)
    throw UsageError("ERROR must be an error name (ERROR_ACCESS_DENIED), a number, power-loss or power-loss:half, not '" +
                     error + "'");
  if (*code == ERROR_SUCCESS) throw UsageError("a fault cannot fail with ERROR_SUCCESS");
  return host::ErrorName(*code);
}

int Fault(const Arguments& arguments) {
  const std::string api = arguments.Positional(1);
  CheckApiName(api);
  const std::u16string pattern = TextArgument("PATTERN", arguments.Positional(2));
  const std::string error = RuleError(api, arguments.Positional(3));
  const int64_t after = arguments.Has("after") ? CountArgument("--after", *arguments.Value("after"), 0) : 0;
  std::optional<int64_t> times;
  if (arguments.Has("times")) times = CountArgument("--times", *arguments.Value("times"), 1);
  std::optional<std::u16string> caller;
  if (arguments.Has("caller")) {
    caller = TextArgument("--caller", *arguments.Value("caller"));
    if (caller->empty()) throw UsageError("--caller must be a CE path such as \\FlashDisk\\SP\\Setup.exe");
  }
  AttachOrFail(arguments.Positional(0));
  host::Statement insert("INSERT INTO faults(api, pattern, error, after, times, caller) VALUES(?, ?, ?, ?, ?, ?)");
  insert.Bind(1, std::string_view(api)).Bind(2, std::u16string_view(pattern)).Bind(3, std::string_view(error));
  insert.Bind(4, after);
  if (times) {
    insert.Bind(5, *times);
  } else {
    insert.BindNull(5);
  }
  if (caller) {
    insert.Bind(6, std::u16string_view(*caller));
  } else {
    insert.BindNull(6);
  }
  insert.Run();
  return kExitOk;
}

}  // namespace

CommandSpec FaultCommand() {
  return {
      .name = "fault",
      .positionals = "IMAGE API PATTERN ERROR|power-loss|power-loss:half",
      .minPositionals = 4,
      .maxPositionals = 4,
      .summary = "Adds a fault rule: matching calls of API fail with ERROR, or cut the power there.\n"
                 "PATTERN matches the call's CE path, KEY or KEY:VALUE (* and ?, any case; * for calls\n"
                 "without either). ERROR is a name (ERROR_ACCESS_DENIED) or a number.",
      .options =
          {
              {"after", "N", "let the first N matching calls pass (0)"},
              {"times", "N", "fail N matching calls, then none (default: every one)"},
              {"caller", "CEPATH", "only calls made by the program started as CEPATH"},
          },
      .run = Fault,
  };
}

}  // namespace termsim
