// The rehearsal's report as one self-contained page (no script, nothing fetched): the
// verdict first, the fleet as groups of twins whose runs end alike, then the matrix of
// twins and CABs, then the folder's findings.
#include "platform/host/Text.h"
#include "terminal/rehearsal/Forms.h"

#include <algorithm>
#include <optional>
#include <tuple>

namespace rehearsal {

namespace {

// Text as HTML, on one line: a matrix row stays one line of the page, as its readers take it.
std::string Html(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const char* entity = c == '\n'  ? "&#10;"
                         : c == '<' ? "&lt;"
                         : c == '>' ? "&gt;"
                         : c == '&' ? "&amp;"
                         : c == '"' ? "&quot;"
                                    : nullptr;
    if (entity != nullptr) out += entity;
    else out += c;
  }
  return out;
}

// Text in the twin's language, so that a Japanese font shows it as Japanese.
std::string LangOf(const TwinReport& twin) { return twin.kind.ends_with("-ja") ? " lang=\"ja\"" : ""; }

std::string MarkHtml(bool passed) {
  return passed ? "<span class=\"mark\">✓ passed</span>" : "<span class=\"mark\">✗ failed</span>";
}

// The kind, by its row of the model table, whose service pack the CAB is.
std::optional<size_t> ServicePackRow(const std::string& cab) {
  const std::vector<std::string> kinds = AllKinds();
  for (size_t row = 0; row < kinds.size(); ++row) {
    if (host::EqualsIgnoreCase(host::FromUtf8(cab), host::FromUtf8(ServicePackNameOfKind(kinds[row])))) return row;
  }
  return std::nullopt;
}

// Where a CAB stands in the matrix: the service packs in the model table's order, then the
// patches, then the other CABs, each in code-unit order as Setup sorts a pass.
std::tuple<int, size_t, std::string> ColumnRank(const std::string& cab) {
  const std::u16string name = host::FromUtf8(cab);
  if (const auto row = ServicePackRow(cab)) return {0, *row, host::ToSortKey(name)};
  return {host::GlobMatch(u"Patch*.cab", name) ? 1 : 2, 0, host::ToSortKey(name)};
}

// The matrix's columns: every CAB that any run names, in one order for every twin.
std::vector<std::string> MatrixColumns(const Report& report) {
  std::vector<std::string> columns;
  for (const auto& twin : report.twins) {
    for (const auto& run : twin.runs) {
      for (const auto& cab : run.cabs) {
        if (std::find(columns.begin(), columns.end(), cab.name) == columns.end()) columns.push_back(cab.name);
      }
    }
  }
  std::sort(columns.begin(), columns.end(),
            [](const std::string& a, const std::string& b) { return ColumnRank(a) < ColumnRank(b); });
  return columns;
}

std::string ColumnHead(const std::string& cab) {
  const auto row = ServicePackRow(cab);
  return "<th data-cab=\"" + Html(cab) + "\">" + Html(cab) +
         (row ? "<small>service pack of " + AllKinds()[*row] + "</small>" : "") + "</th>";
}

// What an installation wrote, closed until asked for.
std::string WroteHtml(const CabFate& cab) {
  std::vector<std::string> parts;
  if (!cab.files.empty()) parts.push_back(Counted(static_cast<int64_t>(cab.files.size()), "file", "files"));
  if (!cab.registry.empty())
    parts.push_back(Counted(static_cast<int64_t>(cab.registry.size()), "registry value", "registry values"));
  if (!cab.shortcuts.empty()) parts.push_back(Counted(static_cast<int64_t>(cab.shortcuts.size()), "shortcut", "shortcuts"));
  if (parts.empty()) return "";
  std::string items;
  for (const auto* list : {&cab.files, &cab.registry, &cab.shortcuts}) {
    for (const auto& item : *list) items += "<li>" + Html(item) + "</li>";
  }
  return "<details><summary>" + Joined(parts) + "</summary><ul>" + items + "</ul></details>";
}

std::string CellHtml(const TwinReport& twin, const RunReport& run, const std::string& column) {
  const auto cab = std::find_if(run.cabs.begin(), run.cabs.end(), [&](const CabFate& c) { return c.name == column; });
  if (cab == run.cabs.end()) return "<td class=\"fate-none\" data-cab=\"" + Html(column) + "\"></td>";
  const FateText text = FateTextOf(*cab);
  const auto servicePack = ServicePackRow(column);
  const bool own = servicePack && AllKinds()[*servicePack] == twin.kind;
  return "<td class=\"fate-" + std::string(NameOf(cab->fate)) + "\" data-cab=\"" + Html(column) + "\">" +
         (own ? "<span class=\"first\">its service pack, taken first</span>" : "") + "<b>" + Html(text.words) + "</b>" +
         (text.why.empty() ? "" : ": " + Html(text.why)) + WroteHtml(*cab) + "</td>";
}

// The twin's runs, a row each; the twin's own cell spans them and stays in view.
std::string TwinRows(const Report& report, const TwinReport& twin, const std::vector<std::string>& columns) {
  const bool passed = TwinPassed(twin, report.plan.allowed);
  std::string out;
  for (size_t i = 0; i < twin.runs.size(); ++i) {
    const RunReport& run = twin.runs[i];
    out += "<tr data-twin=\"" + Html(twin.name) + "\" data-run=\"" + std::to_string(i + 1) + "\">";
    if (i == 0) {
      out += "<th class=\"twin " + std::string(passed ? "passed" : "failed") + "\" rowspan=\"" +
             std::to_string(twin.runs.size()) + "\">" + MarkHtml(passed) + " " + Html(twin.name) + "<small>" +
             Html(twin.kind) + ", " + Counted(twin.count, "terminal", "terminals") + "</small></th>";
    }
    out += "<td class=\"run" + std::string(Repeats(run, i) ? " repeats" : "") + "\"><b>" + std::to_string(i + 1) + ".</b> " +
           Html(RunWords(twin, i));
    if (run.box) out += "<q class=\"box\"" + LangOf(twin) + ">" + Html(run.box->text) + "</q>";
    out += "<small>" + std::string(run.reset ? "reset" : "no reset") + "; Setup's exit code " +
           (run.exitCode ? std::to_string(*run.exitCode) : "none") + "</small></td>";
    for (const auto& column : columns) out += CellHtml(twin, run, column);
    out += "</tr>\n";
  }
  return out;
}

std::string MatrixHtml(const Report& report) {
  const std::vector<std::string> columns = MatrixColumns(report);
  std::string out =
      "<section id=\"cabs\"><h2>What became of each CAB</h2>\n<p class=\"hint\">A row per twin and run. The columns are in "
      "one order for every twin: the service packs, the patches, then the other CABs; each twin installs its own "
      "service pack first.</p>\n<div class=\"scroll\"><table id=\"matrix\"><thead><tr><th class=\"twin\">twin</th>"
      "<th class=\"run\">run</th>";
  for (const auto& column : columns) out += ColumnHead(column);
  out += "</tr></thead><tbody>\n";
  // The twins in the order of their groups, so that rows that end alike stand together.
  for (const bool fleet : {true, false}) {
    for (const auto& group : GroupsOf(report, fleet)) {
      for (const TwinReport* twin : group.twins) out += TwinRows(report, *twin, columns);
    }
  }
  return out + "</tbody></table></div></section>\n";
}

std::string ReasonsHtml(const Report& report, const TwinReport& twin) {
  std::string out;
  for (const auto& finding : twin.findings) {
    const std::string mark = ReasonMark(finding, report.plan.allowed);
    out += "<li class=\"" + mark + "\"><b>" + mark + "</b> (" + InfoOf(finding.reason).code + "): " + Html(finding.text) +
           "</li>";
  }
  return out.empty() ? "" : "<ul class=\"reasons\">" + out + "</ul>";
}

// A twin's power cuts: the counts, and the damaged points by class and by what they left,
// each with the rule that repeats it.
std::string PowerCutsHtml(const TwinReport& twin) {
  if (!twin.powerCuts) return "";
  std::string out = "<div class=\"power-cuts\">Power cuts: " + Html(CutsWords(*twin.powerCuts));
  const auto groups = CutGroups(*twin.powerCuts);
  if (!groups.empty()) out += "<ul class=\"cuts\">";
  for (const auto& group : groups) {
    out += "<li class=\"cut-" + std::string(NameOf(group.cut)) + "\">" + Html(CutGroupLine(group)) + "<br><code>" +
           Html(RepeatRule(group.points.front()->point)) + "</code></li>";
  }
  if (!groups.empty()) out += "</ul>";
  return out + "</div>";
}

// A twin in a list: its mark, name and terminals, its device, its reasons.
std::string TwinItem(const Report& report, const TwinReport& twin) {
  const bool passed = TwinPassed(twin, report.plan.allowed);
  // A refused twin is no device yet: its reason says why.
  std::string device;
  if (twin.refused.empty()) {
    device = twin.kind + "; " +
             (twin.platformName.empty() ? "no Platform\\Name" : "Platform\\Name \"" + twin.platformName + "\"") + "; " +
             DeviceWords(DeviceOf(report.plan)) + (twin.fleet ? "; a device export" : "; a clean terminal of its kind");
  }
  return "<li class=\"twin " + std::string(passed ? "passed" : "failed") + "\" data-twin=\"" + Html(twin.name) + "\">" +
         MarkHtml(passed) + " <b>" + Html(twin.name) + "</b>, " + Counted(twin.count, "terminal", "terminals") +
         (device.empty() ? "" : "<small class=\"device\">" + Html(device) + "</small>") + PowerCutsHtml(twin) +
         ReasonsHtml(report, twin) + "</li>\n";
}

std::string GroupHtml(const Report& report, const Group& group) {
  std::string reasons;
  for (const bool failing : {true, false}) {
    const std::string codes = Joined(GroupReasonCodes(report, group, failing));
    if (!codes.empty()) reasons += std::string("<small>") + (failing ? "fails by: " : "allowed: ") + Html(codes) + "</small>";
  }
  std::string out = "<details class=\"group " + std::string(group.passed ? "passed" : "failed") + "\"><summary>" +
                    MarkHtml(group.passed) + " <b>" + Counted(group.terminals, "terminal", "terminals") + "</b> in " +
                    Counted(static_cast<int64_t>(group.twins.size()), "twin", "twins") + " (" + Html(KindsOf(group)) + "): " +
                    Html(RunsWords(*group.twins.front())) + reasons + "</summary>\n<ul class=\"twins\">\n";
  for (const TwinReport* twin : group.twins) out += TwinItem(report, *twin);
  return out + "</ul></details>\n";
}

// The twins as groups whose runs end alike, the fleet's apart from the clean kinds', and
// the refused twins apart with their reasons.
std::string GroupsHtml(const Report& report) {
  std::string out = "<section id=\"groups\"><h2>" + Html(TwinsLine(report)) + "</h2>\n<p class=\"hint\">Twins whose runs end alike form a group; open one to see its twins.</p>\n";
  for (const auto& group : GroupsOf(report, report.plan.fleet)) out += GroupHtml(report, group);
  const std::vector<const TwinReport*> refused = RefusedTwins(report);
  if (!refused.empty()) {
    out += "<h3>Refused: not rehearsed</h3>\n<ul id=\"refused\" class=\"twins\">\n";
    for (const TwinReport* twin : refused) out += TwinItem(report, *twin);
    out += "</ul>\n";
  }
  if (report.plan.fleet) {
    const std::vector<Group> clean = GroupsOf(report, false);
    if (!clean.empty()) out += "<h3>The clean kinds</h3>\n";
    for (const auto& group : clean) out += GroupHtml(report, group);
  }
  return out + "</section>\n";
}

// The verdict, what was allowed, the assumptions and the terminals by outcome.
std::string VerdictHtml(const Report& report) {
  const bool passed = Passed(report);
  std::string out = "<header>\n<p id=\"verdict\" class=\"" + std::string(passed ? "passed" : "failed") + "\">" +
                    Html(VerdictLine(report)) + "</p>\n<p id=\"allowed\">" + Html(AllowedLine(report.plan)) +
                    "</p>\n<p id=\"assumptions\">" + Html(AssumptionsLine(report)) + "</p>\n<table id=\"outcomes\">";
  std::vector<OutcomeGroup> outcomes = Summary(report);
  std::stable_sort(outcomes.begin(), outcomes.end(), [](const auto& a, const auto& b) { return a.terminals > b.terminals; });
  for (const auto& outcome : outcomes) {
    out += "<tr><td>" + Counted(outcome.terminals, "terminal", "terminals") + "</td><td>" + Html(RunsWords(*outcome.first)) +
           "</td></tr>";
  }
  return out + "</table>\n<h1>Rehearsal of " + Html(report.plan.folder) + " at " + Html(host::ToUtf8(report.plan.at)) +
         "</h1>\n<p id=\"setup\">" + Html(SetupLine(report.plan)) + "</p>\n<p id=\"device\">" +
         Html(DeviceLine(DeviceOf(report.plan))) + "</p>\n<p>" + Counted(report.plan.runs, "run", "runs") +
         " at most per twin; the twins are kept in " + Html(report.plan.out) + ".</p>\n</header>\n";
}

// The folder's problems, which fail the twins they concern, then what is only told.
std::string FolderHtml(const Report& report) {
  std::string problems, notes;
  for (const auto& warning : report.warnings) {
    const bool problem = ReasonOf(warning.kind).has_value();
    (problem ? problems : notes) += "<li class=\"warning-" + std::string(NameOf(warning.kind)) + "\"><b>" +
                                    (problem ? "problem" : "note") + "</b> (" + NameOf(warning.kind) + "): " +
                                    Html(warning.text) + "</li>\n";
  }
  for (const auto& twin : report.twins) {
    for (const auto& warning : twin.warnings)
      notes += "<li class=\"warning-twin\"><b>note</b>: " + Html(twin.name + ": " + warning) + "</li>\n";
  }
  return "<section id=\"folder\"><h2>The folder</h2>\n<ul id=\"warnings\">\n" +
         (problems.empty() ? "<li>No problem of the folder fails a twin.</li>\n" : problems) + notes + "</ul>\n</section>\n";
}

// Japanese fallbacks after the Latin faces, so that box texts and CAB names show on a
// machine that has any Japanese font.
constexpr char kFonts[] =
    "system-ui,'Segoe UI',Roboto,'Noto Sans','Helvetica Neue',Arial,'Noto Sans CJK JP','Noto Sans JP','Hiragino Sans',"
    "'Hiragino Kaku Gothic ProN','Yu Gothic UI','Yu Gothic',Meiryo,'MS PGothic','IPAexGothic','IPAPGothic','IPAGothic',"
    "'TakaoPGothic','VL PGothic',sans-serif";

// Long names wrap anywhere and the matrix scrolls in its own box, its twin column fixed,
// so that the page itself never scrolls sideways. Paper cannot open a group: print shows
// each group's twins, and the whole matrix.
constexpr char kStyle[] =
    "body{margin:0 auto;max-width:88rem;padding:1rem 1.25rem;line-height:1.4;color:#1d1d1d;overflow-wrap:anywhere}"
    "h1{font-size:1.05rem;margin:1em 0 .3em}h2{font-size:1.25rem;margin:1.5em 0 .4em}h3{font-size:1.05rem}"
    "header p{margin:.3em 0}small{display:block;color:#444;font-size:.85em}"
    "#verdict{font-size:1.6rem;font-weight:700;margin:0 0 .4em;padding:.4em .7em;border-left:.5rem solid}"
    "#verdict.passed,.passed>.mark,.group.passed>summary .mark{color:#17601a}#verdict.passed{background:#e4f3e4}"
    "#verdict.failed,.failed>.mark,.group.failed>summary .mark{color:#a3151b}#verdict.failed{background:#fbe5e5}"
    ".mark{font-weight:700;white-space:nowrap}#outcomes{border-collapse:collapse;margin:.4em 0}"
    "#outcomes td{padding:.1em .8em .1em 0;vertical-align:top}#outcomes td:first-child{white-space:nowrap;font-weight:600}"
    ".hint{color:#444}details.group{border:1px solid #bbb;border-radius:4px;margin:.4em 0;padding:.3em .6em}"
    "details.group.failed{border-left:.35rem solid #c62828}details.group.passed{border-left:.35rem solid #2e7d32}"
    "summary{cursor:pointer}ul.twins{padding-left:1.2em}ul.twins>li{margin:.4em 0}ul.reasons{margin:.2em 0;padding-left:1.2em}"
    "li.fails b{color:#a3151b}li.allowed b{color:#7a5a00}li.note b{color:#444}"
    ".scroll{overflow-x:auto;border:1px solid #999;max-height:none}"
    "#matrix{border-collapse:separate;border-spacing:0;font-size:.88em}"
    "#matrix th,#matrix td{border-right:1px solid #aaa;border-bottom:1px solid #aaa;padding:.3em .45em;text-align:left;"
    "vertical-align:top}#matrix thead th{background:#eee;position:sticky;top:0;overflow-wrap:break-word;max-width:16em}"
    "#matrix td{min-width:9em;max-width:16em}#matrix td.run{min-width:12em;background:#fafafa}"
    "#matrix td.run.repeats{background:#fbe5e5;color:#7d0f13;font-weight:600}"
    "#matrix th.twin{position:sticky;left:0;z-index:1;background:#fff;min-width:7.5em;max-width:11em;"
    "border-right:2px solid #666}#matrix thead th.twin{z-index:2;background:#eee}"
    "#matrix tr:has(>th.twin)>*{border-top:2px solid #666}q.box{display:block;white-space:pre-line;font-weight:400;"
    "font-style:italic;margin:.2em 0}"
    ".first{display:block;font-size:.8em;font-weight:700;text-transform:uppercase;letter-spacing:.02em;color:#0b3d91}"
    "#matrix details{margin-top:.2em}#matrix details ul{margin:.2em 0;padding-left:1em;font-size:.9em}"
    ".fate-installed{background:#c8ebc8}.fate-installed-other-model{background:#f7d089}"
    ".fate-skipped-registered,.fate-skipped-unchanged{background:#e1e9f3}"
    ".fate-not-reached-limit,.fate-not-reached-error{background:#e9e9e9;color:#3d3d3d}"
    ".fate-path-too-long{background:#f3e08a}.fate-failed,.fate-installed-twice{background:#f4a9a9}"
    ".fate-unexplained{background:#d3a6e8}.fate-none{background:#fff}"
    "@media (max-width:40rem){body{padding:.5rem .6rem}#verdict{font-size:1.3rem}"
    "#matrix th.twin{min-width:5.5em;max-width:7em}#matrix td{min-width:7.5em}#matrix td.run{min-width:8em}}"
    "@media print{body{max-width:none;padding:0;font-size:9pt;print-color-adjust:exact;-webkit-print-color-adjust:exact}"
    ".scroll{overflow:visible;border:0}"
    "#matrix th.twin,#matrix thead th{position:static}#matrix tr{break-inside:avoid}"
    "details.group::details-content{content-visibility:visible;display:block}"
    "#verdict{border:2px solid}}";

}  // namespace

std::string HtmlPage(const Report& report) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>" +
         std::string(Passed(report) ? "Passed" : "Failed") + ": rehearsal of " + Html(report.plan.folder) +
         "</title><style>body{font-family:" + kFonts + "}" + kStyle + "</style></head><body>\n" + VerdictHtml(report) +
         GroupsHtml(report) + MatrixHtml(report) + FolderHtml(report) + "</body></html>\n";
}

}  // namespace rehearsal
