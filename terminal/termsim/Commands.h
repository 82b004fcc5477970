// termsim's commands, one source file each.
#ifndef KORVA_TERMINAL_TERMSIM_COMMANDS_H
#define KORVA_TERMINAL_TERMSIM_COMMANDS_H

#include "platform/host/Journal.h"
#include "terminal/rehearsal/Rehearsal.h"
#include "terminal/termsim/Options.h"

#include <cstdint>
#include <set>

namespace termsim {

CommandSpec CreateCommand();
CommandSpec RegImportCommand();
CommandSpec RegExportCommand();
CommandSpec RunCommand();
CommandSpec WindowCommand();
CommandSpec FaultCommand();
CommandSpec StopCommand();
CommandSpec JournalCommand();
CommandSpec RehearseCommand();
CommandSpec CheckCommand();
CommandSpec CompareCommand();
CommandSpec MergeCommand();

// A rehearsal's report in the forms the command line asks for (--json, --junit FILE),
// and its verdict as the exit status (RehearseCommand.cpp).
int ReportForms(const rehearsal::Report& report, const Arguments& arguments);
// Writes `text` to `path`, or throws CommandFailure.
void WriteFileOrFail(const std::string& path, const std::string& text);

// The folder and the device of `rehearse` and `check` (RehearseCommand.cpp): FOLDER,
// --at and the device options, checked; and those options for the help.
rehearsal::Plan FolderPlan(const Arguments& arguments);
std::vector<OptionSpec> FolderPlanOptions();

// The events of one run of termsim run, told from those of runs that overlap it on the
// same image (JournalCommand.cpp): termsim's own (its pid), and those of every process
// its program started, directly or through others, as their process-start events name
// them (`child`).
class RunEvents {
 public:
  explicit RunEvents(int64_t termsimPid) : pids_{termsimPid} {}
  // Whether `event` is the run's; the events must come in the journal's order.
  bool Takes(const host::JournalEvent& event);

 private:
  std::set<int64_t> pids_;
};

// The journal of the attached image (JournalCommand.cpp); its newest seq is host::LastJournalSeq().
// Events with a seq above `afterSeq` (only those `run` takes, when given): one readable
// line each, or one JSON object each. Returns the seq of the last one read (`afterSeq`
// if none).
int64_t PrintJournal(int64_t afterSeq, bool json, RunEvents* run = nullptr);
bool JournalHasEvent(int64_t afterSeq, const char* event);

}  // namespace termsim

#endif  // KORVA_TERMINAL_TERMSIM_COMMANDS_H
