// termsim: the emulated terminal's command line. Every command either does all of
// its work or reports one line on standard error and changes nothing.
#include "platform/host/Image.h"
#include "terminal/termsim/Commands.h"

#include <cstdio>
#include <cstring>
#include <span>

namespace {

using termsim::CommandSpec;

std::vector<CommandSpec> AllCommands() {
  return {termsim::CreateCommand(), termsim::RegImportCommand(), termsim::RegExportCommand(),
          termsim::RunCommand(),    termsim::WindowCommand(),    termsim::FaultCommand(),
          termsim::StopCommand(),   termsim::JournalCommand(),  termsim::RehearseCommand(),
          termsim::CheckCommand(),  termsim::CompareCommand(), termsim::MergeCommand()};
}

void PrintOverview(const std::vector<CommandSpec>& commands, const std::string& prefix) {
  std::printf("usage: termsim COMMAND ARGUMENTS [OPTIONS]   (termsim COMMAND --help for its options)\n");
  for (const auto& command : commands) {
    if (command.name.rfind(prefix, 0) != 0) continue;
    // The summary's first line; `termsim COMMAND --help` gives the rest.
    const std::string summary = command.summary.substr(0, command.summary.find('\n'));
    termsim::PrintColumns("termsim " + command.name + " " + command.positionals, summary);
  }
  std::printf("Exit codes: 0 done, 1 not done (nothing changed), 2 bad command line (nothing changed);\n"
              "run: the program's code, 100 reset, 101 power cut, 124 time-out, 125 run failed, 130 interrupted;\n"
              "rehearse: 0 every twin passed, 1 not every twin passed, 2 bad command line, 130 interrupted;\n"
              "check: 0 no problem fails a twin, 1 problems, 2 bad command line;\n"
              "compare: 0 nothing changed, 1 changes, 2 not such reports; merge: as rehearse.\n");
}

// One line, whatever the reason holds.
int Report(const std::string& command, std::string message, int exitCode) {
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "termsim%s%s: %s\n", command.empty() ? "" : " ", command.c_str(), message.c_str());
  return exitCode;
}

int Dispatch(const CommandSpec& command, std::span<char* const> args) {
  termsim::Arguments arguments;
  try {
    arguments = termsim::Parse(command, args);
  } catch (const termsim::UsageError& e) {
    return Report(command.name, e.what(), command.usageExit);
  }
  if (arguments.help) {
    termsim::PrintHelp(command);
    return termsim::kExitOk;
  }
  // Whatever the command attached to is closed on every way out.
  struct Detach {
    ~Detach() { host::DetachImage(); }
  } detach;
  try {
    return command.run(arguments);
  } catch (const termsim::UsageError& e) {
    return Report(command.name, e.what(), command.usageExit);
  } catch (const std::exception& e) {
    // CommandFailure, and the terminal's own HostError from its database.
    return Report(command.name, e.what(), command.failureExit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<CommandSpec> commands = AllCommands();
  const std::span<char* const> args(argv + 1, static_cast<size_t>(argc > 0 ? argc - 1 : 0));
  if (args.empty()) return Report("", "missing command (try termsim --help)", termsim::kExitUsage);
  const std::string first = args[0];
  if (first == "--help" || first == "-h") {
    PrintOverview(commands, "");
    return termsim::kExitOk;
  }
  size_t words = 1;
  std::string name = first;
  if (first == "reg") {
    const std::string second = args.size() > 1 ? args[1] : "";
    if (second == "--help" || second == "-h") {
      PrintOverview(commands, "reg ");
      return termsim::kExitOk;
    }
    if (second != "import" && second != "export")
      return Report("reg", "expected import or export (try termsim reg --help)", termsim::kExitUsage);
    name += " " + second;
    words = 2;
  }
  for (const auto& command : commands) {
    if (command.name == name) return Dispatch(command, args.subspan(words));
  }
  return Report("", "unknown command '" + first + "' (try termsim --help)", termsim::kExitUsage);
}
