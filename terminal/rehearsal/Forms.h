// What the table on standard output and the page both say (Forms.cpp): the words of a
// fate and of a run, the twins grouped by how their runs end, and the verdict in a line.
#ifndef KORVA_TERMINAL_REHEARSAL_FORMS_H
#define KORVA_TERMINAL_REHEARSAL_FORMS_H

#include "terminal/rehearsal/Rehearsal.h"

#include <string>
#include <string_view>
#include <vector>

namespace rehearsal {

// Texts apart by commas.
std::string Joined(const std::vector<std::string>& texts);
// A twin's power cuts in one line: "12 cuts, 10 recover, 2 leave a difference".
std::string CutsWords(const PowerCuts& cuts);
// Damaged points that left the same differences, by class.
struct CutGroup {
  CutClass cut;
  std::string left;  // the differences, joined
  std::vector<const DamagedPoint*> points;
};
std::vector<CutGroup> CutGroups(const PowerCuts& cuts);
// "calibration: points 10 (torn), 12 leave ..."
std::string CutGroupLine(const CutGroup& group);
// A count with its noun in the right number: "1 twin", "2 twins".
std::string Counted(int64_t count, std::string_view one, std::string_view many);

// A CAB's fate in words, and why, where there is something to say.
struct FateText {
  std::string words;  // "not reached"
  std::string why;    // "after BrowserCE5.cab failed"; "" when nothing is to be said
};
FateText FateTextOf(const CabFate& cab);

// Whether the run at `index` does again what it did before: a later run that resets is a
// loop, one that shows a box a box at every start.
bool Repeats(const RunReport& run, size_t index);
// One run in words; a loop or a box at every start says so.
std::string RunWords(const TwinReport& twin, size_t index);
// All the twin's runs in words, a repeated run once; a refused twin's reason.
std::string RunsWords(const TwinReport& twin);

// Twins whose runs end alike: the same outcomes, the same fate of every CAB, the same
// verdict; the failed groups first, then by terminals, most first.
struct Group {
  std::vector<const TwinReport*> twins;
  int64_t terminals = 0;
  bool passed = true;
};
// The rehearsed twins of the fleet (`fleet`) or of the clean kinds; refused twins in none.
std::vector<Group> GroupsOf(const Report& report, bool fleet);
std::vector<const TwinReport*> RefusedTwins(const Report& report);
// The kinds of a group's twins, apart by commas: "LM310-en, unknown-en".
std::string KindsOf(const Group& group);
// The codes of the reasons that fail a group's twins, or that were allowed, in the table's order.
std::vector<std::string> GroupReasonCodes(const Report& report, const Group& group, bool failing);

// "The fleet: 250 terminals in 14 twins", or "The twins: ..." without a fleet.
std::string TwinsLine(const Report& report);
// How a reason weighs on its twin: "fails", "allowed" (by --allow), or "note" (it fails no twin).
const char* ReasonMark(const Finding& finding, const std::set<Reason>& allowed);

// The terminals the summary counts: the fleet's, or the clean kinds' one each without one.
bool InSummary(const Report& report, const TwinReport& twin);
int64_t Terminals(const Report& report);
// Counts of terminals add up without overflowing: a sum past the largest is that.
int64_t AddCount(int64_t sum, int64_t count);
// The terminals by how the runs of their twins end (the JSON summary's outcomes).
struct OutcomeGroup {
  std::string outcome, words;
  int64_t terminals = 0;
  std::vector<std::string> twins;
  const TwinReport* first = nullptr;  // says it in the words of RunsWords
};
std::vector<OutcomeGroup> Summary(const Report& report);

// "Failed: 3 of 14 twins fail (212 of the fleet's 250 terminals)."
std::string VerdictLine(const Report& report);
// What --allow spared, or that nothing was.
std::string AllowedLine(const Plan& plan);
std::string SetupLine(const Plan& plan);
std::string AssumptionsLine(const Report& report);
// "processor ARM (2577), CE 4.10 build 908, FAT file times"
std::string DeviceWords(const Device& device);
// The device, then what nobody gave and is assumed.
std::string DeviceLine(const Device& device);
// A box text on one line, its line breaks shown as \n.
std::string OneLine(std::string text);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_FORMS_H
