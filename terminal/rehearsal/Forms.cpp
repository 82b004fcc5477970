// The rehearsal's report for people on standard output and as one JSON document, the
// folder check's, and the words the page shares with the table.
#include "terminal/rehearsal/Forms.h"

#include "platform/host/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace rehearsal {

namespace {

std::string Json(const std::string& text) { return host::JsonString(host::FromUtf8(text)); }
std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : Json(text); }
std::string JsonNumber(const std::optional<int64_t>& value) { return value ? std::to_string(*value) : "null"; }

std::string ScaleText(double scale) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", scale);
  return text;
}

std::string JsonList(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (size_t i = 0; i < texts.size(); ++i) out += (i ? "," : "") + Json(texts[i]);
  return out + "]";
}

std::string ExitCodesText(const CabFate& cab) {
  if (cab.exitCodes.empty()) return "no exit code";
  std::string text = cab.exitCodes.size() == 1 ? "exit code " : "exit codes ";
  for (size_t i = 0; i < cab.exitCodes.size(); ++i) text += (i ? " and " : "") + std::to_string(cab.exitCodes[i]);
  return text;
}

// A twin's outcome over all its runs, as the summary groups terminals: refused twins
// by their own reason.
std::string TwinOutcome(const TwinReport& twin, bool words) {
  if (!twin.refused.empty()) return "refused: " + twin.refused;
  std::string outcome;
  for (const auto& run : twin.runs) {
    outcome += std::string(outcome.empty() ? "" : ", then ") + (words ? WordsOf(run.outcome) : NameOf(run.outcome));
  }
  return outcome;
}

std::string CabJson(const CabFate& cab) {
  std::string codes = "[";
  for (size_t i = 0; i < cab.exitCodes.size(); ++i) codes += (i ? "," : "") + std::to_string(cab.exitCodes[i]);
  return "{\"name\":" + Json(cab.name) + ",\"fate\":" + Json(NameOf(cab.fate)) +
         ",\"exit_code\":" + JsonNumber(cab.ExitCode()) + ",\"exit_codes\":" + codes + "]" +
         ",\"application\":" + JsonOrNull(cab.application) + ",\"reason\":" + JsonOrNull(cab.reason) +
         ",\"expected\":" + JsonOrNull(cab.expected ? NameOf(*cab.expected) : "") + ",\"files\":" + JsonList(cab.files) +
         ",\"registry\":" + JsonList(cab.registry) + ",\"shortcuts\":" + JsonList(cab.shortcuts) + "}";
}

std::string RunJson(const RunReport& run, size_t index) {
  std::string out = "{\"run\":" + std::to_string(index + 1) + ",\"outcome\":" + Json(NameOf(run.outcome)) +
                    ",\"words\":" + Json(WordsOf(run.outcome)) + ",\"exit_code\":" + JsonNumber(run.exitCode) +
                    ",\"reset\":" + (run.reset ? "true" : "false") + ",\"box\":";
  out += run.box ? "{\"text\":" + Json(run.box->text) + ",\"style\":" + std::to_string(run.box->style) + "}" : "null";
  out += ",\"cabs\":[";
  for (size_t i = 0; i < run.cabs.size(); ++i) out += (i ? "," : "") + CabJson(run.cabs[i]);
  return out + "]}";
}

std::string ReasonsJson(const TwinReport& twin, const std::set<Reason>& allowed) {
  std::string out = "[";
  for (size_t i = 0; i < twin.findings.size(); ++i) {
    const Finding& finding = twin.findings[i];
    out += std::string(i ? "," : "") + "{\"code\":" + Json(InfoOf(finding.reason).code) + ",\"text\":" + Json(finding.text) +
           ",\"allowed\":" + (InfoOf(finding.reason).failsByDefault && !Fails(finding, allowed) ? "true" : "false") + "}";
  }
  return out + "]";
}

std::string DeviceJson(const Device& device) {
  std::string assumed = "[";
  for (size_t i = 0; i < device.assumed.size(); ++i) assumed += (i ? "," : "") + Json(device.assumed[i]);
  return "{\"processor\":" + std::to_string(device.processor) + ",\"processor_name\":" + JsonOrNull(device.processorName) +
         ",\"ce_version\":" + Json(device.ceVersion) + ",\"ce_build\":" + std::to_string(device.ceBuild) +
         ",\"file_times\":" + Json(device.fileTimes) + ",\"assumed\":" + assumed + "]}";
}

std::string WarningJson(const Warning& w) {
  return "{\"kind\":" + Json(NameOf(w.kind)) + ",\"cab\":" + JsonOrNull(w.cab) + ",\"text\":" + Json(w.text) +
         ",\"fails\":" + (ReasonOf(w.kind) ? "true" : "false") + ",\"twins\":" + JsonList(w.twins) + "}";
}

std::string PlanCutsJson(const Plan& plan) {
  if (plan.cuts == Plan::Cuts::None) return "null";
  if (plan.cuts == Plan::Cuts::All) return "{\"mode\":\"all\",\"seed\":null}";
  return "{\"mode\":" + Json("sample:" + std::to_string(plan.sample)) + ",\"seed\":" + std::to_string(plan.seed) + "}";
}

std::string PowerCutsJson(const std::optional<PowerCuts>& cuts) {
  if (!cuts) return "null";
  std::string out = "{\"points\":" + std::to_string(cuts->points) + ",\"of\":" + std::to_string(cuts->of) +
                    ",\"recovered\":" + std::to_string(cuts->recovered) + ",\"sample\":";
  if (cuts->sample.empty() && cuts->points == cuts->of) {
    out += "null";
  } else {
    out += "[";
    for (size_t i = 0; i < cuts->sample.size(); ++i) out += (i ? "," : "") + std::to_string(cuts->sample[i]);
    out += "]";
  }
  out += ",\"damaged\":[";
  for (size_t i = 0; i < cuts->damaged.size(); ++i) {
    const DamagedPoint& d = cuts->damaged[i];
    out += std::string(i ? "," : "") + "{\"point\":" + std::to_string(d.point.number) + ",\"api\":" + Json(d.point.api) +
           ",\"target\":" + Json(d.point.target) + ",\"caller\":" + Json(d.point.caller) +
           ",\"torn\":" + (d.point.torn ? "true" : "false") + ",\"after\":" + std::to_string(d.point.after) +
           ",\"class\":" + Json(NameOf(d.cut)) + ",\"differences\":" + JsonList(d.differences) +
           ",\"repeat\":" + Json(RepeatRule(d.point)) + "}";
  }
  return out + "]}";
}

std::string TwinJson(const TwinReport& twin, const Report& report) {
  const std::set<Reason>& allowed = report.plan.allowed;
  std::string out = "{\"name\":" + Json(twin.name) + ",\"kind\":" + JsonOrNull(twin.kind) +
                    ",\"count\":" + std::to_string(twin.count) + ",\"source\":" + Json(twin.fleet ? "fleet" : "kind") +
                    ",\"platform_name\":" + JsonOrNull(twin.platformName) + ",\"device\":" + DeviceJson(DeviceOf(report.plan)) +
                    ",\"refused\":" + JsonOrNull(twin.refused) +
                    ",\"image\":" + JsonOrNull(twin.runs.empty() ? "" : twin.image) +
                    ",\"processes\":" + std::to_string(twin.processes) +
                    ",\"passed\":" + (TwinPassed(twin, allowed) ? "true" : "false") +
                    ",\"reasons\":" + ReasonsJson(twin, allowed) + ",\"warnings\":" + JsonList(twin.warnings) +
                    ",\"runs\":[";
  for (size_t i = 0; i < twin.runs.size(); ++i) out += (i ? "," : "") + RunJson(twin.runs[i], i);
  return out + "],\"power_cuts\":" + PowerCutsJson(twin.powerCuts) + "}";
}

std::string SetupJson(const Plan& plan) {
  const char* comparison = MarkComparison(plan.setupFile);
  return "{\"folder_file\":" + JsonOrNull(plan.setupFile.name) +
         ",\"windows_program\":" + (plan.setupFile.windowsProgram ? "true" : "false") + ",\"ran\":" + Json(plan.setupProgram) +
         ",\"mark\":" + (comparison ? Json(comparison) : "null") + "}";
}

// A finding about the folder: a problem, failing by its reason, or a note.
std::string WarningLine(const Warning& warning) {
  return std::string(ReasonOf(warning.kind) ? "  problem (" : "  note (") + NameOf(warning.kind) + "): " + warning.text + "\n";
}

// Columns a text takes on a terminal: East Asian wide and fullwidth characters two, the
// others one (the ambiguous ones too, as terminals outside East Asian locales show them).
size_t DisplayWidth(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  size_t width = 0;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const int eastAsian = c < 0 ? U_EA_NEUTRAL : u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    width += eastAsian == U_EA_WIDE || eastAsian == U_EA_FULLWIDTH ? 2 : 1;
  }
  return width;
}

// `text` and blanks up to `columns`, one blank at least.
std::string PadTo(const std::string& text, size_t columns) {
  const size_t width = DisplayWidth(text);
  return text + std::string(width < columns ? columns - width : 1, ' ');
}

// How a twin's runs end, as twins are grouped: its verdict, then every outcome and every
// CAB's fate.
std::string EndingKey(const TwinReport& twin, const std::set<Reason>& allowed) {
  std::string key = TwinPassed(twin, allowed) ? "passed" : "failed";
  for (const auto& run : twin.runs) {
    key += std::string(1, '\0') + NameOf(run.outcome);
    for (const auto& cab : run.cabs) key += std::string(1, '\0') + cab.name + '\0' + NameOf(cab.fate);
  }
  return key;
}

// A line of the table of groups: its mark, its terminals, how the runs end, and the
// lines below the words.
struct GroupRow {
  std::string mark;
  int64_t terminals = 0;
  std::string words;
  std::vector<std::string> below;
};

// The rows with their counts of terminals aligned by the widest of `digits`.
std::string GroupRows(const std::vector<GroupRow>& rows, size_t digits) {
  const std::string indent(2 + 8 + digits + 1 + 10 + 1, ' ');
  std::string out;
  for (const auto& row : rows) {
    const std::string count = std::to_string(row.terminals);
    out += "  " + PadTo(row.mark, 8) + std::string(digits - count.size(), ' ') + count + " " +
           PadTo(row.terminals == 1 ? "terminal" : "terminals", 10) + " " + row.words + "\n";
    for (const auto& line : row.below) out += indent + line + "\n";
  }
  return out;
}

const char* Mark(bool passed) { return passed ? "passed" : "failed"; }

std::vector<GroupRow> RowsOf(const Report& report, const std::vector<Group>& groups) {
  std::vector<GroupRow> rows;
  for (const auto& group : groups) {
    std::vector<std::string> names;
    for (const TwinReport* twin : group.twins) names.push_back(twin->name);
    const std::string twins = Counted(static_cast<int64_t>(names.size()), "twin", "twins");
    GroupRow row{Mark(group.passed), group.terminals, RunsWords(*group.twins.front()),
                 {twins + " (" + KindsOf(group) + "): " + Joined(names)}};
    for (const bool failing : {true, false}) {
      const std::string codes = Joined(GroupReasonCodes(report, group, failing));
      if (!codes.empty()) row.below.push_back((failing ? "fails by: " : "allowed: ") + codes);
    }
    rows.push_back(row);
  }
  return rows;
}

// The verdict and the groups: what a reader decides from.
std::string VerdictAndGroups(const Report& report) {
  std::vector<GroupRow> rows = RowsOf(report, GroupsOf(report, report.plan.fleet));
  for (const TwinReport* twin : RefusedTwins(report))
    rows.push_back({Mark(TwinPassed(*twin, report.plan.allowed)), twin->count, RunsWords(*twin), {"twin: " + twin->name}});
  const std::vector<GroupRow> clean = report.plan.fleet ? RowsOf(report, GroupsOf(report, false)) : std::vector<GroupRow>();
  size_t digits = 1;
  for (const auto& row : rows) digits = std::max(digits, std::to_string(row.terminals).size());
  for (const auto& row : clean) digits = std::max(digits, std::to_string(row.terminals).size());
  return VerdictLine(report) + " " + AllowedLine(report.plan) + "\n" + AssumptionsLine(report) + "\n\n" + TwinsLine(report) + "\n" +
         GroupRows(rows, digits) + (clean.empty() ? "" : "The clean kinds\n" + GroupRows(clean, digits));
}

// One twin: each run, what became of each CAB in it, and the twin's reasons.
std::string TwinLines(const Report& report, const TwinReport& twin, size_t cabColumns) {
  std::string out = "\n" + twin.name + " (" + (twin.kind.empty() ? "" : twin.kind + ", ") +
                    Counted(twin.count, "terminal", "terminals") + "): " + Mark(TwinPassed(twin, report.plan.allowed)) + "\n";
  if (!twin.refused.empty()) out += "  refused: " + twin.refused + "\n";
  for (size_t i = 0; i < twin.runs.size(); ++i) {
    const RunReport& run = twin.runs[i];
    out += "  run " + std::to_string(i + 1) + ": " + RunWords(twin, i) + "; reset: " + (run.reset ? "yes" : "no") +
           "; Setup's exit code: " + (run.exitCode ? std::to_string(*run.exitCode) : "none") + "\n";
    if (run.box) out += "    box: \"" + OneLine(run.box->text) + "\"\n";
    for (const auto& cab : run.cabs) {
      const FateText fate = FateTextOf(cab);
      out += "    " + PadTo(cab.name, cabColumns) + fate.words + (fate.why.empty() ? "" : ": " + fate.why) + "\n";
    }
  }
  for (const auto& warning : twin.warnings) out += "  warning: " + warning + "\n";
  if (twin.powerCuts) {
    out += "  power cuts: " + CutsWords(*twin.powerCuts) + "\n";
    for (const auto& group : CutGroups(*twin.powerCuts)) out += "    " + CutGroupLine(group) + "\n";
  }
  for (const auto& finding : twin.findings) {
    out += std::string("  ") + ReasonMark(finding, report.plan.allowed) + " (" + InfoOf(finding.reason).code +
           "): " + finding.text + "\n";
  }
  return out;
}

}  // namespace

std::string CutsWords(const PowerCuts& cuts) {
  const int damaged = static_cast<int>(cuts.damaged.size());
  return Counted(cuts.points, "cut", "cuts") + (cuts.points == cuts.of ? "" : " of " + Counted(cuts.of, "point", "points")) +
         ", " + std::to_string(cuts.recovered) + (cuts.recovered == 1 ? " recovers, " : " recover, ") +
         std::to_string(damaged) + (damaged == 1 ? " leaves a difference" : " leave a difference");
}

std::vector<CutGroup> CutGroups(const PowerCuts& cuts) {
  std::vector<CutGroup> groups;
  for (const CutClass cut : {CutClass::Calibration, CutClass::Installer, CutClass::Setup}) {
    for (const auto& damaged : cuts.damaged) {
      if (damaged.cut != cut) continue;
      std::string left;
      for (const auto& difference : damaged.differences) left += (left.empty() ? "" : "; ") + difference;
      auto group = std::find_if(groups.begin(), groups.end(), [&](const CutGroup& g) { return g.cut == cut && g.left == left; });
      if (group == groups.end()) group = groups.insert(groups.end(), CutGroup{cut, left, {}});
      group->points.push_back(&damaged);
    }
  }
  return groups;
}

std::string CutGroupLine(const CutGroup& group) {
  std::string points;
  for (const DamagedPoint* d : group.points)
    points += (points.empty() ? "" : ", ") + std::to_string(d->point.number) + (d->point.torn ? " (torn)" : "");
  return std::string(NameOf(group.cut)) + ": " + (group.points.size() == 1 ? "point " : "points ") + points +
         (group.points.size() == 1 ? " leaves " : " leave ") + group.left;
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const auto& text : texts) out += (out.empty() ? "" : ", ") + text;
  return out;
}

std::string Counted(int64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

FateText FateTextOf(const CabFate& cab) {
  switch (cab.fate) {
    case Fate::Installed:
      return {"installed", ""};
    case Fate::InstalledOtherModel:
      return {"installed as an application", "it is another model's service pack"};
    case Fate::InstalledTwice:
      return {"installed twice", cab.reason};
    case Fate::SkippedRegistered:
      return {"skipped", "already registered"};
    case Fate::SkippedUnchanged:
      return {"skipped", "the service pack is unchanged (DateTime)"};
    case Fate::NotReachedLimit:
      return {"not reached", "the limit of 30 stopped the pass"};
    case Fate::NotReachedError:
      return {"not reached", cab.reason.empty() ? "an installation error ended the run" : cab.reason};
    case Fate::PathTooLong:
      return {"passed over", "its full path is too long"};
    case Fate::Failed:
      return {"failed, " + ExitCodesText(cab), cab.reason};
    case Fate::Unexplained:
      break;
  }
  CabFate expected;
  expected.fate = cab.expected.value_or(Fate::Installed);
  return {"unexplained", "Setup's rules expected \"" + FateTextOf(expected).words + "\"" +
                             (cab.exitCodes.empty() ? "" : ", " + ExitCodesText(cab)) +
                             (cab.reason.empty() ? "" : " (" + cab.reason + ")")};
}

bool Repeats(const RunReport& run, size_t index) { return index > 0 && (run.reset || IsBox(run.outcome)); }

std::string RunWords(const TwinReport& twin, size_t index) {
  const RunReport& run = twin.runs[index];
  if (!Repeats(run, index)) return WordsOf(run.outcome);
  if (run.reset) return std::string("a loop: ") + WordsOf(run.outcome) + ", again at every start";
  return std::string("a box at every start: ") + WordsOf(run.outcome) + " again";
}

std::string RunsWords(const TwinReport& twin) {
  if (!twin.refused.empty()) return "refused: " + twin.refused;
  std::string text, last;
  for (size_t i = 0; i < twin.runs.size(); ++i) {
    const std::string words = RunWords(twin, i);
    if (words != last) text += (text.empty() ? "" : "; then ") + words;
    last = words;
  }
  return text;
}

std::vector<Group> GroupsOf(const Report& report, bool fleet) {
  std::vector<std::pair<std::string, Group>> keyed;
  for (const auto& twin : report.twins) {
    if (!twin.refused.empty() || twin.fleet != fleet) continue;
    const std::string key = EndingKey(twin, report.plan.allowed);
    auto found = std::find_if(keyed.begin(), keyed.end(), [&](const auto& entry) { return entry.first == key; });
    if (found == keyed.end()) found = keyed.insert(keyed.end(), {key, Group{{}, 0, TwinPassed(twin, report.plan.allowed)}});
    found->second.twins.push_back(&twin);
    found->second.terminals = AddCount(found->second.terminals, twin.count);
  }
  std::vector<Group> groups;
  for (auto& entry : keyed) groups.push_back(std::move(entry.second));
  std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    return a.passed != b.passed ? !a.passed : a.terminals > b.terminals;
  });
  return groups;
}

std::vector<const TwinReport*> RefusedTwins(const Report& report) {
  std::vector<const TwinReport*> refused;
  for (const auto& twin : report.twins) {
    if (!twin.refused.empty()) refused.push_back(&twin);
  }
  return refused;
}

std::string KindsOf(const Group& group) {
  std::vector<std::string> kinds;
  for (const TwinReport* twin : group.twins) {
    if (std::find(kinds.begin(), kinds.end(), twin->kind) == kinds.end()) kinds.push_back(twin->kind);
  }
  return Joined(kinds);
}

std::vector<std::string> GroupReasonCodes(const Report& report, const Group& group, bool failing) {
  std::vector<std::string> codes;
  for (const ReasonInfo& info : ReasonTable()) {
    const bool found = std::any_of(group.twins.begin(), group.twins.end(), [&](const TwinReport* twin) {
      return std::any_of(twin->findings.begin(), twin->findings.end(), [&](const Finding& finding) {
        return finding.reason == info.reason && info.failsByDefault && Fails(finding, report.plan.allowed) == failing;
      });
    });
    if (found) codes.emplace_back(info.code);
  }
  return codes;
}

int64_t AddCount(int64_t sum, int64_t count) {
  int64_t result = 0;
  return __builtin_add_overflow(sum, count, &result) ? INT64_MAX : result;
}

std::string TwinsLine(const Report& report) {
  const auto twins = std::count_if(report.twins.begin(), report.twins.end(),
                                   [&](const TwinReport& twin) { return InSummary(report, twin); });
  return std::string(report.plan.fleet ? "The fleet: " : "The twins: ") + Counted(Terminals(report), "terminal", "terminals") +
         " in " + Counted(twins, "twin", "twins");
}

const char* ReasonMark(const Finding& finding, const std::set<Reason>& allowed) {
  return Fails(finding, allowed) ? "fails" : InfoOf(finding.reason).failsByDefault ? "allowed" : "note";
}

bool InSummary(const Report& report, const TwinReport& twin) { return !report.plan.fleet || twin.fleet; }

std::vector<OutcomeGroup> Summary(const Report& report) {
  std::vector<OutcomeGroup> groups;
  for (const auto& twin : report.twins) {
    if (!InSummary(report, twin)) continue;
    const std::string outcome = TwinOutcome(twin, false);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const OutcomeGroup& g) { return g.outcome == outcome; });
    if (group == groups.end()) group = groups.insert(groups.end(), {outcome, TwinOutcome(twin, true), 0, {}, &twin});
    group->terminals = AddCount(group->terminals, twin.count);
    group->twins.push_back(twin.name);
  }
  return groups;
}

int64_t Terminals(const Report& report) {
  int64_t total = 0;
  for (const auto& twin : report.twins) {
    if (InSummary(report, twin)) total = AddCount(total, twin.count);
  }
  return total;
}

std::string VerdictLine(const Report& report) {
  int64_t failedTwins = 0, failedTerminals = 0;
  for (const auto& twin : report.twins) {
    if (TwinPassed(twin, report.plan.allowed)) continue;
    ++failedTwins;
    if (InSummary(report, twin)) failedTerminals = AddCount(failedTerminals, twin.count);
  }
  const auto twins = static_cast<int64_t>(report.twins.size());
  const std::string fleet = report.plan.fleet ? "the fleet's " + Counted(Terminals(report), "terminal", "terminals") : "";
  if (failedTwins == 0) {
    const std::string all = twins == 1 ? "the twin passes" : "all " + Counted(twins, "twin", "twins") + " pass";
    return "Passed: " + all + (fleet.empty() ? "" : " (" + fleet + ")") + ".";
  }
  const std::string some = twins == 1 ? "the twin fails" : std::to_string(failedTwins) + " of " + Counted(twins, "twin", "twins") + " fail";
  return "Failed: " + some + (fleet.empty() ? "" : " (" + std::to_string(failedTerminals) + " of " + fleet + ")") + ".";
}

std::string AllowedLine(const Plan& plan) {
  return plan.allowed.empty() ? "Nothing allowed." : "Allowed: " + AllowedText(plan.allowed) + ".";
}

// What the twins ran as Setup, and where; a Windows program of the folder was run by the
// host build of Setup, and its mark compared.
std::string SetupLine(const Plan& plan) {
  const SetupFile& setup = plan.setupFile;
  const std::string as = " as " + host::ToUtf8(plan.at) + "\\" + setup.TwinName();
  if (!setup.hostBuild) return "Setup: the twins ran " + plan.setupProgram + as + ".";
  const std::string comparison = MarkComparison(setup);
  const std::string carries = comparison == "matches"  ? "the mark of the same sources"
                              : comparison == "differs" ? "the mark of other sources"
                                                        : "no mark";
  return "Setup: the twins ran the host build of Setup, " + plan.setupProgram + "," + as + ", in place of the folder's " +
         setup.name + ", a Windows program, which carries " + carries + ".";
}

std::string AssumptionsLine(const Report& report) {
  std::string line = "Assumed of the terminals: ";
  const auto assumptions = Assumptions(report.plan.cuts != Plan::Cuts::None);
  for (size_t i = 0; i < assumptions.size(); ++i) line += (i ? "; " : "") + assumptions[i];
  return line + ".";
}

std::string DeviceWords(const Device& device) {
  const std::string processor = device.processorName.empty() ? std::to_string(device.processor)
                                                             : device.processorName + " (" + std::to_string(device.processor) + ")";
  return "processor " + processor + ", CE " + device.ceVersion + " build " + std::to_string(device.ceBuild) + ", " +
         (device.fileTimes == "fat" ? "FAT" : "exact") + " file times";
}

std::string DeviceLine(const Device& device) {
  std::string line = "The device: " + DeviceWords(device);
  if (device.assumed.empty()) return line + ".";
  line += "; assumed, as nobody gave them:";
  for (size_t i = 0; i < device.assumed.size(); ++i) line += (i ? ", " : " ") + device.assumed[i];
  return line + ".";
}

std::string OneLine(std::string text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.replace(at, 1, "\\n");
  return text;
}

void PrintTable(const Report& report) {
  std::string out = VerdictAndGroups(report) + "\nRehearsal of " + report.plan.folder + " at " + host::ToUtf8(report.plan.at) +
                    ": " + Counted(static_cast<int64_t>(report.twins.size()), "twin", "twins") + ", " +
                    Counted(report.plan.runs, "run", "runs") + " each; the twins are in " + report.plan.out + "\n" +
                    SetupLine(report.plan) + "\n" + DeviceLine(DeviceOf(report.plan)) + "\n\nThe folder\n";
  for (const auto& warning : report.warnings) out += WarningLine(warning);
  size_t cabColumns = 0;
  for (const auto& twin : report.twins) {
    for (const auto& run : twin.runs) {
      for (const auto& cab : run.cabs) cabColumns = std::max(cabColumns, DisplayWidth(cab.name) + 2);
    }
  }
  out += "\nThe twins\n";
  for (const auto& twin : report.twins) out += TwinLines(report, twin, cabColumns);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

namespace {

// The inputs' identity, as merge compares parts by it.
std::string InputsJson(const Inputs& inputs) {
  const auto files = [](const std::vector<FileIdentity>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) {
      out += std::string(i ? "," : "") + "{\"name\":" + Json(list[i].name) + ",\"size\":" + std::to_string(list[i].size) +
             ",\"last_write\":" + std::to_string(list[i].lastWrite) + "}";
    }
    return out + "]";
  };
  std::string options = "{";
  for (size_t i = 0; i < inputs.options.size(); ++i)
    options += std::string(i ? "," : "") + Json(inputs.options[i].first) + ":" + Json(inputs.options[i].second);
  return "{\"digest\":" + Json(inputs.Digest()) + ",\"folder\":" + files(inputs.folder) + ",\"fleet\":" +
         files(inputs.fleet) + ",\"options\":" + options + "}}";
}

}  // namespace

void PrintJson(const Report& report) {
  const std::string shard = report.plan.shard ? "{\"k\":" + std::to_string(report.plan.shard->k) +
                                                    ",\"n\":" + std::to_string(report.plan.shard->n) + "}"
                                              : "null";
  std::string out = "{\"schema_version\":" + std::to_string(kSchemaVersion) + ",\"shard\":" + shard +
                    ",\"inputs\":" + InputsJson(report.plan.inputs) + ",\"folder\":" + Json(report.plan.folder) + ",\"at\":" + Json(host::ToUtf8(report.plan.at)) +
                    ",\"setup\":" + SetupJson(report.plan) + ",\"device\":" + DeviceJson(DeviceOf(report.plan)) +
                    ",\"out\":" + Json(report.plan.out) +
                    ",\"runs\":" + std::to_string(report.plan.runs) +
                    ",\"time_scale\":" + ScaleText(report.plan.timeScale) + ",\"power_cuts\":" + PlanCutsJson(report.plan) +
                    ",\"assumptions\":[";
  const auto assumptions = Assumptions(report.plan.cuts != Plan::Cuts::None);
  for (size_t i = 0; i < assumptions.size(); ++i) out += (i ? "," : "") + Json(assumptions[i]);
  out += "],\"allowed\":[";
  size_t allowedIndex = 0;
  for (const Reason reason : report.plan.allowed) out += (allowedIndex++ ? "," : "") + Json(InfoOf(reason).code);
  out += "],\"warnings\":[";
  for (size_t i = 0; i < report.warnings.size(); ++i) out += std::string(i ? "," : "") + WarningJson(report.warnings[i]);
  out += "],\"twins\":[";
  for (size_t i = 0; i < report.twins.size(); ++i) out += (i ? ",\n" : "\n") + TwinJson(report.twins[i], report);
  int64_t processes = 0;
  for (const auto& twin : report.twins) processes += twin.processes;
  out += "],\"summary\":{\"twins\":" + std::to_string(report.twins.size()) + ",\"terminals\":" +
         std::to_string(Terminals(report)) + ",\"processes\":" + std::to_string(processes) + ",\"passed\":" + (Passed(report) ? "true" : "false") +
         ",\"exit_status\":" + (Passed(report) ? "0" : "1") + ",\"outcomes\":[";
  const std::vector<OutcomeGroup> groups = Summary(report);
  for (size_t i = 0; i < groups.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"outcome\":" + Json(groups[i].outcome) + ",\"words\":" + Json(groups[i].words) +
           ",\"terminals\":" + std::to_string(groups[i].terminals) + ",\"twins\":" + JsonList(groups[i].twins) + "}";
  }
  out += "],\"kinds\":[";
  size_t kindIndex = 0;
  for (const auto& twin : report.twins) {
    if (!report.plan.fleet || twin.fleet) continue;
    out += std::string(kindIndex++ ? "," : "") + "{\"kind\":" + Json(twin.name) + ",\"outcome\":" +
           Json(TwinOutcome(twin, false)) + ",\"words\":" + Json(TwinOutcome(twin, true)) +
           ",\"passed\":" + (TwinPassed(twin, report.plan.allowed) ? "true" : "false") + "}";
  }
  out += "]}}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

std::string AllowedText(const std::set<Reason>& allowed) {
  std::string text;
  for (const Reason reason : allowed) text += (text.empty() ? "" : ", ") + std::string(InfoOf(reason).code);
  return text;
}

std::string ReasonTableText() {
  std::string text = "Verdict reasons (a twin fails by a reason marked \"fails\" unless --allow names it):\n";
  for (const ReasonInfo& info : ReasonTable()) {
    std::string code = "  " + std::string(info.code);
    code += std::string(code.size() < 28 ? 28 - code.size() : 1, ' ');
    text += code + (info.failsByDefault ? "fails   " : "warning ") + info.words + "\n";
  }
  return text;
}

bool CheckPassed(const std::vector<Warning>& warnings) {
  return std::none_of(warnings.begin(), warnings.end(), [](const Warning& w) { return ReasonOf(w.kind).has_value(); });
}

void PrintCheck(const Plan& plan, const std::vector<Warning>& warnings, bool json) {
  std::string out;
  if (json) {
    out = "{\"folder\":" + Json(plan.folder) + ",\"at\":" + Json(host::ToUtf8(plan.at)) +
          ",\"device\":" + DeviceJson(DeviceOf(plan)) + ",\"warnings\":[";
    for (size_t i = 0; i < warnings.size(); ++i) out += std::string(i ? "," : "") + WarningJson(warnings[i]);
    out += std::string("],\"passed\":") + (CheckPassed(warnings) ? "true" : "false") + "}\n";
  } else {
    out = "Check of " + plan.folder + " at " + host::ToUtf8(plan.at) + "\n" + DeviceLine(DeviceOf(plan)) + "\n\n";
    for (const auto& warning : warnings) out += WarningLine(warning);
    out += CheckPassed(warnings) ? "No problem fails a twin.\n" : "Problems fail the twins they concern.\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

}  // namespace rehearsal
