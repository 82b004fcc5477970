// What changed between two rehearsals' reports, twin by twin (matched by name): the
// verdict, each run's outcome, and every CAB whose fate changed.
#include "platform/host/Text.h"
#include "terminal/rehearsal/Forms.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <cstdio>

namespace rehearsal {

namespace {

const TwinReport* Named(const Report& report, const std::string& name) {
  const auto found = std::find_if(report.twins.begin(), report.twins.end(), [&](const TwinReport& t) { return t.name == name; });
  return found == report.twins.end() ? nullptr : &*found;
}

const CabFate* CabNamed(const RunReport& run, const std::string& name) {
  const auto found = std::find_if(run.cabs.begin(), run.cabs.end(), [&](const CabFate& c) { return c.name == name; });
  return found == run.cabs.end() ? nullptr : &*found;
}

void CompareRun(const std::string& twin, int run, const RunReport& before, const RunReport& after,
                std::vector<Change>& changes) {
  if (before.outcome != after.outcome)
    changes.push_back({twin, run, "", "outcome", NameOf(before.outcome), NameOf(after.outcome)});
  for (const auto& cab : after.cabs) {
    const CabFate* old = CabNamed(before, cab.name);
    if (!old) {
      changes.push_back({twin, run, cab.name, "fate", std::nullopt, NameOf(cab.fate)});
    } else if (old->fate != cab.fate) {
      changes.push_back({twin, run, cab.name, "fate", NameOf(old->fate), NameOf(cab.fate)});
    }
  }
  for (const auto& cab : before.cabs) {
    if (!CabNamed(after, cab.name)) changes.push_back({twin, run, cab.name, "fate", NameOf(cab.fate), std::nullopt});
  }
}

void CompareTwin(const TwinReport& before, const TwinReport& after, const Report& beforeReport,
                 const Report& afterReport, std::vector<Change>& changes) {
  const auto verdict = [](const TwinReport& twin, const Report& report) {
    return std::string(TwinPassed(twin, report.plan.allowed) ? "passed" : "failed");
  };
  if (verdict(before, beforeReport) != verdict(after, afterReport))
    changes.push_back({after.name, std::nullopt, "", "verdict", verdict(before, beforeReport), verdict(after, afterReport)});
  const auto cuts = [](const TwinReport& twin) {
    return twin.powerCuts ? std::optional<std::string>(CutsWords(*twin.powerCuts)) : std::nullopt;
  };
  if (cuts(before) != cuts(after)) changes.push_back({after.name, std::nullopt, "", "power-cuts", cuts(before), cuts(after)});
  const size_t runs = std::max(before.runs.size(), after.runs.size());
  for (size_t i = 0; i < runs; ++i) {
    const int run = static_cast<int>(i + 1);
    if (i >= before.runs.size()) {
      changes.push_back({after.name, run, "", "outcome", std::nullopt, NameOf(after.runs[i].outcome)});
    } else if (i >= after.runs.size()) {
      changes.push_back({after.name, run, "", "outcome", NameOf(before.runs[i].outcome), std::nullopt});
    } else {
      CompareRun(after.name, run, before.runs[i], after.runs[i], changes);
    }
  }
}

std::string Words(const Change& change) {
  std::string where = change.twin + (change.run ? " run " + std::to_string(*change.run) : "") + ": ";
  if (change.what == "added") return change.twin + ": a twin only the second report has";
  if (change.what == "removed") return change.twin + ": a twin only the first report has";
  if (change.what == "power-cuts")
    return change.twin + ": power cuts: " + change.before.value_or("none") + " \u2192 " + change.after.value_or("none");
  if (!change.cab.empty()) where += change.cab + ": ";
  if (!change.before) return where + *change.after + (change.cab.empty() ? " (a run more)" : " (new in the folder)");
  if (!change.after) return where + *change.before + (change.cab.empty() ? " (a run fewer)" : " (gone from the folder)");
  return where + *change.before + " \u2192 " + *change.after;
}

std::string JsonOrNull(const std::optional<std::string>& text) {
  return text ? host::JsonString(host::FromUtf8(*text)) : "null";
}

}  // namespace

std::vector<Change> CompareReports(const Report& before, const Report& after) {
  std::vector<Change> changes;
  for (const auto& twin : before.twins) {
    if (!Named(after, twin.name)) changes.push_back({twin.name, std::nullopt, "", "removed", std::nullopt, std::nullopt});
  }
  for (const auto& twin : after.twins) {
    const TwinReport* old = Named(before, twin.name);
    if (!old) {
      changes.push_back({twin.name, std::nullopt, "", "added", std::nullopt, std::nullopt});
      continue;
    }
    CompareTwin(*old, twin, before, after, changes);
  }
  return changes;
}

void PrintChanges(const std::vector<Change>& changes, bool json) {
  std::string out;
  if (json) {
    out = "{\"schema_version\":" + std::to_string(kSchemaVersion) + ",\"changes\":[";
    for (size_t i = 0; i < changes.size(); ++i) {
      const Change& c = changes[i];
      out += std::string(i ? ",\n" : "\n") + "{\"twin\":" + host::JsonString(host::FromUtf8(c.twin)) +
             ",\"run\":" + (c.run ? std::to_string(*c.run) : "null") +
             ",\"cab\":" + (c.cab.empty() ? "null" : host::JsonString(host::FromUtf8(c.cab))) + ",\"what\":\"" + c.what +
             "\",\"before\":" + JsonOrNull(c.before) + ",\"after\":" + JsonOrNull(c.after) + "}";
    }
    out += "]}\n";
  } else {
    for (const auto& change : changes) out += Words(change) + "\n";
    out += changes.empty() ? "Nothing changed.\n" : std::to_string(changes.size()) + (changes.size() == 1 ? " change.\n" : " changes.\n");
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

}  // namespace rehearsal
