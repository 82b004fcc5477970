// The rehearsal's report in its three forms: a table for people, one JSON document,
// and a self-contained HTML page with the matrix of twins and CABs.
#include "platform/host/Terminal.h"
#include "terminal/rehearsal/Rehearsal.h"

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

// A box text on one line, its line breaks shown as \n.
std::string OneLine(std::string text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.replace(at, 1, "\\n");
  return text;
}

std::string ExitCodesText(const CabFate& cab) {
  if (cab.exitCodes.empty()) return "no exit code";
  std::string text = cab.exitCodes.size() == 1 ? "exit code " : "exit codes ";
  for (size_t i = 0; i < cab.exitCodes.size(); ++i) text += (i ? " and " : "") + std::to_string(cab.exitCodes[i]);
  return text;
}

std::string FateWords(const CabFate& cab) {
  const std::string code = ExitCodesText(cab);
  const std::string because = cab.reason.empty() ? "" : " (" + cab.reason + ")";
  switch (cab.fate) {
    case Fate::Installed:
      return "installed, " + code;
    case Fate::InstalledOtherModel:
      return "installed as an ordinary application although it is another model's service pack, " + code;
    case Fate::InstalledTwice:
      return "installed twice in one run, " + code + because;
    case Fate::SkippedRegistered:
      return "skipped: already registered";
    case Fate::SkippedUnchanged:
      return "skipped: the service pack is unchanged (DateTime)";
    case Fate::NotReachedLimit:
      return "not reached: the limit of 30 stopped the pass";
    case Fate::NotReachedError:
      return "not reached after an installation error" + because;
    case Fate::PathTooLong:
      return "passed over: its full path is too long";
    case Fate::Failed:
      return "failed, " + code + ": " + cab.reason;
    case Fate::Unexplained:
      break;
  }
  return std::string("unexplained: the explanation expected ") + NameOf(cab.expected.value_or(Fate::Installed)) +
         (cab.exitCodes.empty() ? "" : ", " + code) + because;
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

// Counts of terminals add up without overflowing: a sum past the largest is that.
int64_t AddCount(int64_t sum, int64_t count) {
  int64_t result = 0;
  return __builtin_add_overflow(sum, count, &result) ? INT64_MAX : result;
}

bool InSummary(const Report& report, const TwinReport& twin) { return !report.plan.fleet || twin.fleet; }

struct OutcomeGroup {
  std::string outcome, words;
  int64_t terminals = 0;
  std::vector<std::string> twins;
};

// The terminals of the fleet by outcome; without a fleet, the clean kinds count one each.
std::vector<OutcomeGroup> Summary(const Report& report) {
  std::vector<OutcomeGroup> groups;
  for (const auto& twin : report.twins) {
    if (!InSummary(report, twin)) continue;
    const std::string outcome = TwinOutcome(twin, false);
    auto group = std::find_if(groups.begin(), groups.end(), [&](const OutcomeGroup& g) { return g.outcome == outcome; });
    if (group == groups.end()) group = groups.insert(groups.end(), {outcome, TwinOutcome(twin, true), 0, {}});
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

// The device in one line, then what nobody gave and is assumed.
std::string DeviceLine(const Device& device) {
  const std::string processor = device.processorName.empty() ? std::to_string(device.processor)
                                                             : device.processorName + " (" + std::to_string(device.processor) + ")";
  std::string line = "The device: processor " + processor + ", CE " + device.ceVersion + " build " +
                     std::to_string(device.ceBuild) + ", " + (device.fileTimes == "fat" ? "FAT" : "exact") + " file times";
  if (device.assumed.empty()) return line + ".";
  line += "; assumed, as nobody gave them:";
  for (size_t i = 0; i < device.assumed.size(); ++i) line += (i ? ", " : " ") + device.assumed[i];
  return line + ".";
}

std::string WarningJson(const Warning& w) {
  return "{\"kind\":" + Json(NameOf(w.kind)) + ",\"cab\":" + JsonOrNull(w.cab) + ",\"text\":" + Json(w.text) +
         ",\"fails\":" + (ReasonOf(w.kind) ? "true" : "false") + ",\"twins\":" + JsonList(w.twins) + "}";
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
  return out + "]}";
}

std::string Html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// The matrix's columns: every CAB that any run names, in the order first met.
std::vector<std::string> MatrixColumns(const Report& report) {
  std::vector<std::string> columns;
  for (const auto& twin : report.twins) {
    for (const auto& run : twin.runs) {
      for (const auto& cab : run.cabs) {
        if (std::find(columns.begin(), columns.end(), cab.name) == columns.end()) columns.push_back(cab.name);
      }
    }
  }
  return columns;
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse}th,td{border:1px solid #999;"
    "padding:.25em .5em;text-align:left;vertical-align:top}pre{margin:0;white-space:pre-wrap}"
    ".fate-installed{background:#b6e3b6}.fate-installed-other-model{background:#f7c873}"
    ".fate-skipped-registered,.fate-skipped-unchanged{background:#dde6f0}"
    ".fate-not-reached-limit,.fate-not-reached-error{background:#e6e6e6;color:#555}"
    ".fate-path-too-long{background:#f3e08a}.fate-failed{background:#f19a9a}"
    ".fate-unexplained{background:#c58be0}.fate-installed-twice{background:#f19a9a}.fate-none{background:#fff}"
    ".passed{color:#1a6b1a}.failed{color:#a01818}";

std::string MatrixRow(const TwinReport& twin, const RunReport* run, size_t index, const std::vector<std::string>& columns) {
  std::string row = "<tr data-twin=\"" + Html(twin.name) + "\" data-run=\"" + std::to_string(index + 1) + "\"><th>" +
                    Html(twin.name) + "<br>" + Html(twin.kind) + ", " + std::to_string(twin.count) + " terminal(s)</th><td>" +
                    std::to_string(index + 1) + "</td><td>" + Html(run ? WordsOf(run->outcome) : "refused: " + twin.refused) +
                    "</td>";
  for (const auto& column : columns) {
    const CabFate* cab = nullptr;
    for (size_t i = 0; run != nullptr && i < run->cabs.size(); ++i) {
      if (run->cabs[i].name == column) cab = &run->cabs[i];
    }
    if (cab == nullptr) {
      row += "<td class=\"fate-none\" data-cab=\"" + Html(column) + "\"></td>";
      continue;
    }
    const std::string fate = NameOf(cab->fate);
    row += "<td class=\"fate-" + fate + "\" data-cab=\"" + Html(column) + "\" title=\"" + Html(FateWords(*cab)) + "\">" +
           Html(fate) + (cab->ExitCode() ? " (" + std::to_string(*cab->ExitCode()) + ")" : "") + "</td>";
  }
  return row + "</tr>\n";
}

std::string HtmlMatrix(const Report& report) {
  const std::vector<std::string> columns = MatrixColumns(report);
  std::string out = "<h2>What became of each CAB</h2>\n<table id=\"matrix\"><thead><tr><th>twin</th><th>run</th><th>outcome</th>";
  for (const auto& column : columns) out += "<th>" + Html(column) + "</th>";
  out += "</tr></thead><tbody>\n";
  for (const auto& twin : report.twins) {
    if (twin.runs.empty()) out += MatrixRow(twin, nullptr, 0, columns);
    for (size_t i = 0; i < twin.runs.size(); ++i) out += MatrixRow(twin, &twin.runs[i], i, columns);
  }
  return out + "</tbody></table>\n";
}

std::string HtmlBoxesAndSummary(const Report& report) {
  std::string out = "<h2>Boxes</h2>\n<table id=\"boxes\"><tr><th>twin</th><th>run</th><th>box</th><th>reset</th><th>exit code</th></tr>\n";
  for (const auto& twin : report.twins) {
    for (size_t i = 0; i < twin.runs.size(); ++i) {
      const RunReport& run = twin.runs[i];
      out += "<tr><td>" + Html(twin.name) + "</td><td>" + std::to_string(i + 1) + "</td><td><pre>" +
             Html(run.box ? run.box->text : "(none)") + "</pre></td><td>" + (run.reset ? "yes" : "no") + "</td><td>" +
             (run.exitCode ? std::to_string(*run.exitCode) : "-") + "</td></tr>\n";
    }
  }
  out += "</table>\n<h2>The fleet</h2>\n<table id=\"summary\"><tr><th>terminals</th><th>outcome</th><th>twins</th></tr>\n";
  for (const auto& group : Summary(report)) {
    std::string names;
    for (const auto& name : group.twins) names += (names.empty() ? "" : ", ") + name;
    out += "<tr><td>" + std::to_string(group.terminals) + "</td><td>" + Html(group.words) + "</td><td>" + Html(names) +
           "</td></tr>\n";
  }
  return out + "</table>\n";
}

// The twins' reasons, each marked as failing, allowed, or a warning that fails nothing.
std::string HtmlReasons(const Report& report) {
  std::string out = "<h2>Reasons</h2>\n<table id=\"reasons\"><tr><th>twin</th><th>reason</th><th>what</th><th></th></tr>\n";
  for (const auto& twin : report.twins) {
    for (const auto& finding : twin.findings) {
      const ReasonInfo& info = InfoOf(finding.reason);
      const char* mark = Fails(finding, report.plan.allowed) ? "fails" : info.failsByDefault ? "allowed" : "fails nothing";
      out += "<tr class=\"reason-" + std::string(info.code) + "\"><td>" + Html(twin.name) + "</td><td>" + info.code +
             "</td><td>" + Html(finding.text) + "</td><td>" + mark + "</td></tr>\n";
    }
  }
  return out + "</table>\n";
}

// A finding about the folder: a problem, failing by its reason, or a note.
std::string WarningLine(const Warning& warning) {
  return std::string(ReasonOf(warning.kind) ? "  problem (" : "  note (") + NameOf(warning.kind) + "): " + warning.text + "\n";
}

// The verdict in one line, with what was allowed.
std::string VerdictLine(const Report& report) {
  std::string line = Passed(report) ? "Every twin passed." : "Not every twin passed.";
  if (!report.plan.allowed.empty()) line += " Allowed: " + AllowedText(report.plan.allowed) + ".";
  return line;
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

std::string SetupJson(const Plan& plan) {
  const char* comparison = MarkComparison(plan.setupFile);
  return "{\"folder_file\":" + JsonOrNull(plan.setupFile.name) +
         ",\"windows_program\":" + (plan.setupFile.windowsProgram ? "true" : "false") + ",\"ran\":" + Json(plan.setupProgram) +
         ",\"mark\":" + (comparison ? Json(comparison) : "null") + "}";
}

std::string AssumptionsLine() {
  std::string line = "Assumed of the terminals: ";
  for (size_t i = 0; i < Assumptions().size(); ++i) line += (i ? "; " : "") + std::string(Assumptions()[i]);
  return line + ".";
}

}  // namespace

void PrintTable(const Report& report) {
  std::string out = "Rehearsal of " + report.plan.folder + " at " + host::ToUtf8(report.plan.at) + ": " +
                    std::to_string(report.twins.size()) + (report.twins.size() == 1 ? " twin" : " twins") +
                    "; the twins are in " + report.plan.out + "\n" + SetupLine(report.plan) + "\n" + AssumptionsLine() +
                    "\n" + DeviceLine(DeviceOf(report.plan)) + "\n\nThe folder\n";
  for (const auto& warning : report.warnings) out += WarningLine(warning);
  for (const auto& twin : report.twins) {
    out += "\n" + twin.name + " (" + (twin.kind.empty() ? "?" : twin.kind) + ", " + std::to_string(twin.count) +
           (twin.count == 1 ? " terminal" : " terminals") + "): " +
           (TwinPassed(twin, report.plan.allowed) ? "passed" : "failed") + "\n";
    if (!twin.refused.empty()) out += "  refused: " + twin.refused + "\n";
    for (size_t i = 0; i < twin.runs.size(); ++i) {
      const RunReport& run = twin.runs[i];
      out += "  run " + std::to_string(i + 1) + ": " + WordsOf(run.outcome) + "; reset: " + (run.reset ? "yes" : "no") +
             "; Setup's exit code: " + (run.exitCode ? std::to_string(*run.exitCode) : "none") + "\n";
      if (run.box) out += "    box: \"" + OneLine(run.box->text) + "\"\n";
      for (const auto& cab : run.cabs) {
        std::string name = "    " + cab.name;
        name += std::string(name.size() < 30 ? 30 - name.size() : 1, ' ');
        out += name + FateWords(cab) + "\n";
      }
    }
    for (const auto& warning : twin.warnings) out += "  warning: " + warning + "\n";
    for (const auto& finding : twin.findings) {
      const bool fails = Fails(finding, report.plan.allowed);
      out += std::string("  ") + (fails ? "fails" : InfoOf(finding.reason).failsByDefault ? "allowed" : "note") + " (" +
             InfoOf(finding.reason).code + "): " + finding.text + "\n";
    }
  }
  out += "\n" + std::string(report.plan.fleet ? "The fleet: " : "The twins: ") + std::to_string(Terminals(report)) +
         " terminals\n";
  for (const auto& group : Summary(report)) out += "  " + std::to_string(group.terminals) + "  " + group.words + "\n";
  if (report.plan.fleet) {
    for (const auto& twin : report.twins) {
      if (!twin.fleet) out += "  the clean kind " + twin.name + ": " + TwinOutcome(twin, true) + "\n";
    }
  }
  out += VerdictLine(report) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void PrintJson(const Report& report) {
  std::string out = "{\"folder\":" + Json(report.plan.folder) + ",\"at\":" + Json(host::ToUtf8(report.plan.at)) +
                    ",\"setup\":" + SetupJson(report.plan) + ",\"out\":" + Json(report.plan.out) +
                    ",\"runs\":" + std::to_string(report.plan.runs) +
                    ",\"time_scale\":" + ScaleText(report.plan.timeScale) + ",\"assumptions\":[";
  for (size_t i = 0; i < Assumptions().size(); ++i) out += (i ? "," : "") + Json(Assumptions()[i]);
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

std::string HtmlPage(const Report& report) {
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Rehearsal of " +
                    Html(report.plan.folder) + "</title><style>" + kStyle + "</style></head><body>\n<h1>Rehearsal of " +
                    Html(report.plan.folder) + " at " + Html(host::ToUtf8(report.plan.at)) + "</h1>\n<p id=\"verdict\" class=\"" +
                    (Passed(report) ? "passed" : "failed") + "\">" + Html(VerdictLine(report)) + "</p>\n<p id=\"setup\">" +
                    Html(SetupLine(report.plan)) + "</p>\n<p id=\"assumptions\">" + Html(AssumptionsLine()) +
                    "</p>\n<p id=\"device\">" + Html(DeviceLine(DeviceOf(report.plan))) +
                    "</p>\n<h2>Warnings</h2>\n<ul id=\"warnings\">\n";
  for (const auto& warning : report.warnings)
    out += "<li class=\"warning-" + std::string(NameOf(warning.kind)) + "\">" + Html(warning.text) + "</li>\n";
  for (const auto& twin : report.twins) {
    for (const auto& warning : twin.warnings) out += "<li class=\"warning-twin\">" + Html(twin.name + ": " + warning) + "</li>\n";
  }
  out += "</ul>\n" + HtmlReasons(report) + HtmlMatrix(report) + HtmlBoxesAndSummary(report) + "</body></html>\n";
  return out;
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
