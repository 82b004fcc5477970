// termsim check: every problem of a service-pack folder at once, as the terminal's
// installer and Setup would meet them, without running anything.
#include "terminal/rehearsal/Rehearsal.h"
#include "terminal/termsim/Commands.h"

#include <cstdlib>
#include <filesystem>

namespace termsim {

namespace {

namespace fs = std::filesystem;

int Check(const Arguments& arguments) {
  const rehearsal::Plan plan = FolderPlan(arguments);
  std::error_code ec;
  std::string scratch = (fs::temp_directory_path(ec) / "check-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr) throw CommandFailure("cannot make a folder to check in");
  std::vector<rehearsal::Warning> warnings;
  try {
    warnings = rehearsal::CheckFolder(plan, scratch + "/terminal");
  } catch (const rehearsal::Failure& e) {
    fs::remove_all(scratch, ec);
    throw CommandFailure(e.what());
  }
  fs::remove_all(scratch, ec);
  rehearsal::PrintCheck(plan, warnings, arguments.Has("json"));
  return rehearsal::CheckPassed(warnings) ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec CheckCommand() {
  CommandSpec command = {
      .name = "check",
      .positionals = "FOLDER",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary = "Reads every entry of the service-pack FOLDER and every CAB as the terminal's installer would, on a\n"
                 "terminal of the given device, installs nothing, and reports every problem at once. Exits 0 when\n"
                 "no problem fails a twin by rehearse's verdict, 1 otherwise, 2 on a bad command line.",
      .options = {{"json", "", "the findings as one JSON document"}},
      .run = Check,
  };
  const std::vector<OptionSpec> device = FolderPlanOptions();
  command.options.insert(command.options.begin(), device.begin(), device.end());
  return command;
}

}  // namespace termsim
