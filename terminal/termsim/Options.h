// termsim's command lines: what each command accepts, how its arguments are read,
// and the exit codes every command shares.
#ifndef KORVA_TERMINAL_TERMSIM_OPTIONS_H
#define KORVA_TERMINAL_TERMSIM_OPTIONS_H

#include "platform/host/Errors.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace termsim {

// Exit codes of termsim's own commands. `run` exits with the program's code, so
// there termsim's own failures, usage errors included, all give kExitRunFailed.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the command could not be carried out; nothing changed
constexpr int kExitUsage = 2;   // the command line is wrong; nothing changed
constexpr int kExitReset = 100;
constexpr int kExitPowerLoss = 101;
constexpr int kExitTimeout = 124;
constexpr int kExitRunFailed = 125;
constexpr int kExitInterrupted = 130;

// The command line is wrong (unknown option, missing or bad value...).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Runs `check`, the terminal's own check of a value the command line gave, with its
// HostError as a UsageError.
template <class F>
void CheckAsUsage(F&& check) {
  try {
    check();
  } catch (const host::HostError& e) {
    throw UsageError(e.what());
  }
}

// The command line is right but the command cannot be carried out (no image, a
// malformed .reg file...).
class CommandFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;       // "model" for --model
  std::string valueName;  // "LM310|LM320"; empty for a flag
  std::string help;
  bool repeatable = false;
};

struct Arguments;

struct CommandSpec {
  std::string name;         // "create", "reg import"
  std::string positionals;  // "IMAGE [KEY]", for the usage line
  size_t minPositionals = 0;
  size_t maxPositionals = 0;
  std::string summary;
  std::vector<OptionSpec> options;
  int (*run)(const Arguments& arguments) = nullptr;
  int usageExit = kExitUsage;
  int failureExit = kExitFailed;
};

struct Arguments {
  std::vector<std::string> positionals;
  std::map<std::string, std::vector<std::string>> options;  // a flag holds one ""
  bool help = false;

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> Value(const std::string& name) const;
  std::vector<std::string> Values(const std::string& name) const;
  // The positional at `index`, "" when absent.
  std::string Positional(size_t index) const;
};

// Reads `args` (what follows the command's name) against `command`. Options may come
// before or after the positionals, as `--opt value` or `--opt=value` (a one-letter
// option as `-j value` or `-jvalue`); `--` ends the options. `--help` or `-h` anywhere
// sets `help` and nothing else is checked.
Arguments Parse(const CommandSpec& command, std::span<char* const> args);

// Usage line, summary and one line per option, on standard output.
void PrintHelp(const CommandSpec& command);
// "  left   right" for help texts, the right column aligned.
void PrintColumns(const std::string& left, const std::string& right);

// The text of an argument that the terminal stores or compares as UTF-16; invalid
// UTF-8 is refused rather than replaced.
std::u16string TextArgument(const std::string& what, const std::string& value);
// A whole number from `minimum` up; refuses anything else.
int64_t CountArgument(const std::string& what, const std::string& value, int64_t minimum);
// A finite decimal number.
double NumberArgument(const std::string& what, const std::string& value);
// A size in bytes above 0: a whole number, with K, M or G (any case) for 2^10, 2^20, 2^30.
uint64_t SizeArgument(const std::string& what, const std::string& value);

// Attaches this process to the image, or throws CommandFailure with the reason.
void AttachOrFail(const std::string& image);

// The host path of a program built beside termsim (the stand-ins); throws
// CommandFailure when it is missing.
std::string ProgramBesideTermsim(const std::string& name);

}  // namespace termsim

#endif  // KORVA_TERMINAL_TERMSIM_OPTIONS_H
