#include "terminal/termsim/Options.h"

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace termsim {

namespace {

const OptionSpec* FindOption(const CommandSpec& command, const std::string& name) {
  for (const auto& option : command.options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

std::string OptionDashes(const OptionSpec& option) { return option.name.size() == 1 ? "-" : "--"; }

}  // namespace

std::optional<std::string> Arguments::Value(const std::string& name) const {
  auto found = options.find(name);
  if (found == options.end() || found->second.empty()) return std::nullopt;
  return found->second.back();
}

std::vector<std::string> Arguments::Values(const std::string& name) const {
  auto found = options.find(name);
  return found == options.end() ? std::vector<std::string>() : found->second;
}

std::string Arguments::Positional(size_t index) const {
  return index < positionals.size() ? positionals[index] : std::string();
}

Arguments Parse(const CommandSpec& command, std::span<char* const> args) {
  Arguments result;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string arg = args[i];
    if (arg == "--") break;
    if (IsHelp(arg)) {
      result.help = true;
      return result;
    }
  }
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string arg = args[i];
    if (optionsEnded || arg == "-" || arg.rfind("-", 0) != 0) {
      result.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // One-letter options are written with one dash ("-j 4" or "-j4"), all others with two.
    const bool shortForm = arg.rfind("--", 0) != 0;
    const std::string dashes = shortForm ? "-" : "--";
    const size_t equals = shortForm ? (arg.size() > 2 ? 2 : std::string::npos) : arg.find('=');
    const size_t nameEnd = equals == std::string::npos ? std::string::npos : equals - dashes.size();
    const std::string name = shortForm ? arg.substr(1, 1) : arg.substr(2, nameEnd);
    const OptionSpec* option = FindOption(command, name);
    if (!option || (name.size() == 1) != shortForm) throw UsageError("unknown option '" + arg + "' (try --help)");
    if (result.Has(name) && !option->repeatable) throw UsageError(dashes + name + " is given more than once");
    std::string value;
    if (option->valueName.empty()) {
      if (equals != std::string::npos) throw UsageError(dashes + name + " takes no value");
    } else if (equals != std::string::npos) {
      value = arg.substr(shortForm ? equals : equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      throw UsageError(dashes + name + " needs a value: " + dashes + name + " " + option->valueName);
    }
    result.options[name].push_back(value);
  }
  if (result.positionals.size() < command.minPositionals)
    throw UsageError("missing arguments; usage: termsim " + command.name + " " + command.positionals);
  if (result.positionals.size() > command.maxPositionals)
    throw UsageError("unexpected argument '" + result.positionals[command.maxPositionals] + "'; usage: termsim " +
                     command.name + " " + command.positionals);
  return result;
}

void PrintColumns(const std::string& left, const std::string& right) {
  constexpr size_t kLeftWidth = 38;
  std::string line = "  " + left;
  // A long left column puts its text on the next line rather than shifting it.
  if (line.size() + 1 > kLeftWidth) line += "\n";
  line += std::string(kLeftWidth - (line.back() == '\n' ? 0 : line.size()), ' ');
  std::printf("%s%s\n", line.c_str(), right.c_str());
}

void PrintHelp(const CommandSpec& command) {
  std::string usage = "usage: termsim " + command.name + " " + command.positionals;
  for (const auto& option : command.options) {
    usage += " [" + OptionDashes(option) + option.name + (option.valueName.empty() ? "" : " " + option.valueName) + "]";
    if (option.repeatable) usage += "...";
  }
  std::printf("%s\n%s\n", usage.c_str(), command.summary.c_str());
  for (const auto& option : command.options)
    PrintColumns(OptionDashes(option) + option.name + (option.valueName.empty() ? "" : " " + option.valueName),
                 option.help);
  PrintColumns("-h, --help", "this text");
}

std::u16string TextArgument(const std::string& what, const std::string& value) {
  std::u16string text = host::FromUtf8(value);
  if (host::ToUtf8(text) != value) throw UsageError(what + " is not valid UTF-8");
  return text;
}

int64_t CountArgument(const std::string& what, const std::string& value, int64_t minimum) {
  int64_t number = 0;
  const char* end = value.data() + value.size();
  const auto parsed = std::from_chars(value.data(), end, number);
  if (value.empty() || parsed.ec != std::errc() || parsed.ptr != end || number < minimum)
    throw UsageError(what + " must be a whole number from " + std::to_string(minimum) + " up, not '" + value + "'");
  return number;
}

double NumberArgument(const std::string& what, const std::string& value) {
  double number = 0;
  const char* end = value.data() + value.size();
  const auto parsed = std::from_chars(value.data(), end, number, std::chars_format::general);
  if (value.empty() || parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(number))
    throw UsageError(what + " must be a decimal number, not '" + value + "'");
  return number;
}

uint64_t SizeArgument(const std::string& what, const std::string& value) {
  const auto bad = [&] { return UsageError(what + " must be a size in bytes above 0, with K, M or G, not '" + value + "'"); };
  const char* end = value.data() + value.size();
  uint64_t number = 0;
  const auto parsed = std::from_chars(value.data(), end, number);
  if (value.empty() || parsed.ec != std::errc() || number == 0) throw bad();
  int shift = 0;
  if (parsed.ptr + 1 == end) {
    switch (*parsed.ptr) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: throw bad();
    }
  } else if (parsed.ptr != end) {
    throw bad();
  }
  if (number > (UINT64_MAX >> shift)) throw bad();
  return number << shift;
}

void AttachOrFail(const std::string& image) {
  try {
    host::AttachImage(image);
  } catch (const host::HostError& e) {
    throw CommandFailure(e.what());
  }
}

std::string ProgramBesideTermsim(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw CommandFailure("cannot find termsim's own folder: " + ec.message());
  const fs::path program = self.parent_path() / name;
  if (!fs::is_regular_file(program, ec))
    throw CommandFailure("the stand-in program " + program.string() + " is missing (build target " + name + ")");
  return program.string();
}

}  // namespace termsim
