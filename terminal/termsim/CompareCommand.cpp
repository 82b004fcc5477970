// termsim compare: what changed between two rehearsals' reports.
#include "terminal/rehearsal/Rehearsal.h"
#include "terminal/termsim/Commands.h"

namespace termsim {

namespace {

int Compare(const Arguments& arguments) {
  std::vector<rehearsal::Change> changes;
  try {
    changes = rehearsal::CompareReports(rehearsal::ReadReport(arguments.Positional(0)),
                                        rehearsal::ReadReport(arguments.Positional(1)));
  } catch (const rehearsal::BadRequest& e) {
    throw UsageError(e.what());
  }
  rehearsal::PrintChanges(changes, arguments.Has("json"));
  return changes.empty() ? kExitOk : kExitFailed;
}

}  // namespace

CommandSpec CompareCommand() {
  return {
      .name = "compare",
      .positionals = "BEFORE.json AFTER.json",
      .minPositionals = 2,
      .maxPositionals = 2,
      .summary = "What changed between two rehearsals' --json reports, twin by twin: the verdict, each run's outcome,\n"
                 "every CAB whose fate changed, twins only one report has. Exits 0 when nothing changed, 1 when\n"
                 "something did, 2 for a file that is not such a report.",
      .options = {{"json", "", "the changes as one JSON document"}},
      .run = Compare,
  };
}

}  // namespace termsim
