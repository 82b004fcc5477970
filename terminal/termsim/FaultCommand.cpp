// termsim fault: a rule that makes a named API call of the terminal fail, or cuts the
// power there; and the list of rules, to see and take them away.
#include "platform/host/Faults.h"
#include "platform/host/Paths.h"
#include "platform/host/Text.h"
#include "terminal/termsim/Commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace termsim {

namespace {

// Edit distance, ignoring case: how far a misspelling is from a name.
size_t Distance(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string ClosestApis(const std::string& api) {
  size_t best = SIZE_MAX;
  std::string names;
  for (const auto& candidate : host::FaultApis()) best = std::min(best, Distance(api, candidate.name));
  for (const auto& candidate : host::FaultApis()) {
    if (Distance(api, candidate.name) != best) continue;
    names += (names.empty() ? "" : ", ") + std::string(candidate.name);
  }
  return names;
}

const host::FaultApi& ApiArgument(const std::string& api) {
  if (const host::FaultApi* found = host::FindFaultApi(api)) return *found;
  throw UsageError("no call of the terminal consults fault rules as '" + api + "'; closest: " + ClosestApis(api) +
                   " (termsim fault --help lists them all)");
}

// The error as the rule stores it: power-loss, power-loss:half, or an ERROR_* name
// (a number when the code has none).
std::string RuleError(const host::FaultApi& api, const std::string& error) {
  const auto fault = host::ParseFaultError(error);
  if (!fault)
    throw UsageError("ERROR must be an error name (ERROR_ACCESS_DENIED), a number, power-loss or power-loss:half, not '" +
                     error + "'");
  if (fault->action == host::FaultAction::PowerLossHalf && !api.writesHalf)
    throw UsageError("power-loss:half applies to WriteFile and CopyFileW only, not " + std::string(api.name));
  if (fault->action == host::FaultAction::Fail && fault->error == ERROR_SUCCESS)
    throw UsageError("a fault cannot fail with ERROR_SUCCESS");
  return host::FaultErrorText(*fault);
}

// The caller's CE path as the terminal resolves it: the program's file must exist,
// and the rule keeps the canonical path that its module name will have.
std::u16string CallerArgument(const std::string& value) {
  const std::u16string given = TextArgument("--caller", value);
  const std::string example = "such as \\FlashDisk\\SP\\Setup.exe";
  if (given.empty()) throw UsageError("--caller must be the CE path of a program, " + example);
  const auto resolved = host::ResolvePath(given);
  struct ::statx entry{};
  if (resolved && resolved->exists && host::StatEntry(resolved->parentFd.Get(), resolved->hostName, &entry) &&
      S_ISREG(entry.stx_mode))
    return resolved->cePath;
  if (given.find_first_of(u"\\/") == std::u16string::npos) {
    const auto inWindows = host::ResolvePath(u"\\Windows\\" + given);
    const std::string suggestion = inWindows && inWindows->exists ? "\\Windows\\" + value : example;
    throw UsageError("--caller must be the program's full CE path (" + suggestion + "), not the bare name '" + value +
                     "'");
  }
  throw UsageError("--caller " + value + " names no file on the terminal: put the program into IMAGE/fs first, or give its " +
                   "full CE path, " + example);
}

int AddRule(const Arguments& arguments) {
  const host::FaultApi& api = ApiArgument(arguments.Positional(1));
  host::FaultRule rule;
  rule.api = api.name;
  rule.pattern = TextArgument("PATTERN", arguments.Positional(2));
  CheckAsUsage([&] { host::ValidateFaultPattern(api, rule.pattern); });
  rule.error = RuleError(api, arguments.Positional(3));
  if (arguments.Has("after")) rule.after = CountArgument("--after", *arguments.Value("after"), 0);
  if (arguments.Has("times")) rule.times = CountArgument("--times", *arguments.Value("times"), 1);
  if (arguments.Has("caller")) TextArgument("--caller", *arguments.Value("caller"));
  AttachOrFail(arguments.Positional(0));
  if (arguments.Has("caller")) rule.caller = CallerArgument(*arguments.Value("caller"));
  host::AddFaultRule(rule);
  return kExitOk;
}

// Quoted as the journal shows texts, so that a pattern with blanks stays one field.
std::string Quoted(const std::u16string& text) { return "\"" + host::ToUtf8(text) + "\""; }

void PrintRules() {
  for (const auto& rule : host::ListFaultRules()) {
    std::string line = std::to_string(rule.id) + " api=" + rule.api + " pattern=" + Quoted(rule.pattern) +
                       " error=" + rule.error + " after=" + std::to_string(rule.after) +
                       " times=" + (rule.times ? std::to_string(*rule.times) : "every") +
                       " fired=" + std::to_string(rule.fired);
    if (rule.caller) line += " caller=" + Quoted(*rule.caller);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  std::fflush(stdout);
}

int Fault(const Arguments& arguments) {
  const int listForms = arguments.Has("list") + arguments.Has("remove") + arguments.Has("clear");
  if (listForms == 0) {
    if (arguments.positionals.size() < 4)
      throw UsageError("missing arguments; usage: termsim fault IMAGE API PATTERN ERROR, or IMAGE --list");
    return AddRule(arguments);
  }
  if (listForms > 1 || arguments.positionals.size() > 1 || arguments.Has("after") || arguments.Has("times") ||
      arguments.Has("caller"))
    throw UsageError("--list, --remove N and --clear take only IMAGE: termsim fault IMAGE --list");
  std::optional<int64_t> remove;
  if (arguments.Has("remove")) remove = CountArgument("--remove", *arguments.Value("remove"), 1);
  AttachOrFail(arguments.Positional(0));
  if (arguments.Has("list")) {
    PrintRules();
  } else if (remove) {
    if (!host::RemoveFaultRule(*remove))
      throw CommandFailure("no fault rule " + std::to_string(*remove) + " (termsim fault IMAGE --list shows them)");
  } else {
    host::ClearFaultRules();
  }
  return kExitOk;
}

std::string Summary() {
  std::string apis;
  for (const auto& api : host::FaultApis()) apis += (apis.empty() ? "" : " ") + std::string(api.name);
  return "Adds a fault rule: matching calls of API fail with ERROR, or cut the power there.\n"
         "PATTERN matches the call's CE path (file calls), KEY or KEY:VALUE (registry calls), or is *\n"
         "(calls without either); * and ? match, in any case. ERROR is a name (ERROR_ACCESS_DENIED) or\n"
         "a number. A rule without --times fails on every later run too: --list shows what each did.\n"
         "termsim fault IMAGE --list | --remove N | --clear shows or takes rules away.\n"
         "The calls that consult rules: " +
         apis;
}

}  // namespace

CommandSpec FaultCommand() {
  return {
      .name = "fault",
      .positionals = "IMAGE API PATTERN ERROR|power-loss|power-loss:half",
      .minPositionals = 1,
      .maxPositionals = 4,
      .summary = Summary(),
      .options =
          {
              {"after", "N", "let the first N matching calls pass (0)"},
              {"times", "N", "fail N matching calls, then none (default: every one)"},
              {"caller", "CEPATH", "only calls made by the program at CEPATH (its file must be on the terminal)"},
              {"list", "", "print the rules: number, API, pattern, error, after, times, how often each fired"},
              {"remove", "N", "take rule N away"},
              {"clear", "", "take every rule away"},
          },
      .run = Fault,
  };
}

}  // namespace termsim
