// termsim merge: the parts of a sharded rehearsal as the report one rehearsal of all
// its twins gives.
#include "terminal/rehearsal/Rehearsal.h"
#include "terminal/termsim/Commands.h"

namespace termsim {

namespace {

int Merge(const Arguments& arguments) {
  rehearsal::Report report;
  try {
    std::vector<rehearsal::Report> parts;
    for (const auto& part : arguments.positionals) parts.push_back(rehearsal::ReadReport(part));
    report = rehearsal::MergeParts(parts, arguments.positionals);
  } catch (const rehearsal::BadRequest& e) {
    throw UsageError(e.what());
  }
  if (auto html = arguments.Value("html")) WriteFileOrFail(*html, rehearsal::HtmlPage(report));
  return ReportForms(report, arguments);
}

}  // namespace

CommandSpec MergeCommand() {
  return {
      .name = "merge",
      .positionals = "PART.json...",
      .minPositionals = 1,
      .maxPositionals = 100000,
      .summary = "Puts the --json reports of every part of a sharded rehearsal (rehearse --shard K/N) together as\n"
                 "the report, verdict and exit status of one rehearsal of all the twins. A part missing or given\n"
                 "twice, or parts of different inputs, are a bad command line (2).",
      .options = {{"json", "", "the report as one JSON document"},
                  {"html", "FILE", "the page, as rehearse writes report.html"},
                  {"junit", "FILE", "the verdict as JUnit XML"}},
      .run = Merge,
  };
}

}  // namespace termsim
