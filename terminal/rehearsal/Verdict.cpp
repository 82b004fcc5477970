// The verdict: the reasons each twin gives, from what its runs showed, and whether it
// passes. A twin passes when none of its reasons fails by default unless allowed.
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <map>

namespace rehearsal {

namespace {

std::string OneLine(std::string text) {
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) text.replace(at, 1, "\\n");
  return text;
}

// Applications that several CABs registered: each took the others' CabFile.
std::string SharedApplications(const TwinReport& twin) {
  std::map<std::string, std::vector<std::string>> cabsOf;
  for (const auto& run : twin.runs) {
    for (const auto& cab : run.cabs) {
      if (cab.application.empty()) continue;
      auto& cabs = cabsOf[cab.application];
      if (std::find(cabs.begin(), cabs.end(), cab.name) == cabs.end()) cabs.push_back(cab.name);
    }
  }
  std::string text;
  for (const auto& [application, cabs] : cabsOf) {
    if (cabs.size() < 2) continue;
    std::string names;
    for (size_t i = 0; i < cabs.size(); ++i) names += (i == 0 ? "" : i + 1 == cabs.size() ? " and " : ", ") + cabs[i];
    text += (text.empty() ? "" : "; ") + names + " register one application (" + application +
            "): each installation takes the other's CabFile";
  }
  return text;
}

// A run's reasons: its ending named with the run, a CAB's fate without it (a CAB that
// fails at every start is one reason).
void RunFindings(const TwinReport& twin, size_t index, const std::string& cause, std::vector<Finding>& findings) {
  const RunReport& run = twin.runs[index];
  const std::string which = "run " + std::to_string(index + 1) + ": ";
  const auto add = [&](Reason reason, const std::string& text) { findings.push_back({reason, text}); };
  const std::string box = run.box ? ": \"" + OneLine(run.box->text) + "\"" : "";
  if (IsBox(run.outcome) && index == 0) {
    add(Reason::Box, which + WordsOf(run.outcome) + box);
  } else if (IsBox(run.outcome)) {
    add(Reason::BoxAtEveryStart, which + "the box again after the reset, " + WordsOf(run.outcome) + box);
  } else if (run.outcome == Outcome::TimedOut) {
    add(Reason::TimedOut, which + WordsOf(run.outcome));
  } else if (run.outcome == Outcome::PowerLoss) {
    add(Reason::PowerLoss, which + WordsOf(run.outcome));
  } else if (run.outcome != Outcome::Completed && run.outcome != Outcome::Silent) {
    add(Reason::Ending, which + WordsOf(run.outcome));
  }
  if (index > 0 && run.reset)
    add(Reason::Loop, which + "installs again and resets: a loop at every start" + (cause.empty() ? "" : " (" + cause + ")"));
  for (const auto& cab : run.cabs) {
    if (cab.fate == Fate::Failed) add(Reason::CabFailed, cab.name + " failed: " + cab.reason);
    if (cab.fate == Fate::Unexplained)
      add(Reason::Unexplained, which + cab.name + ": the explanation expected " + NameOf(cab.expected.value_or(Fate::Installed)));
    if (cab.fate == Fate::InstalledOtherModel)
      add(Reason::OtherModelServicePack, cab.name + ", another model's service pack, was installed as an application");
    if (cab.fate == Fate::InstalledTwice) add(Reason::InstalledTwice, cab.name + " was installed twice: " + cab.reason);
  }
}

}  // namespace

bool IsBox(Outcome outcome) {
  return outcome == Outcome::InstallError || outcome == Outcome::TooManyCabsReset || outcome == Outcome::TooManyCabs ||
         outcome == Outcome::OtherBox;
}

std::vector<Finding> FindingsOf(const TwinReport& twin, bool servicePackMissing) {
  std::vector<Finding> findings;
  if (!twin.refused.empty()) findings.push_back({Reason::Refused, twin.refused});
  if (servicePackMissing) findings.push_back({Reason::NoServicePack, "the folder holds no service pack of " + twin.kind});
  const std::string cause = SharedApplications(twin);
  for (size_t i = 0; i < twin.runs.size(); ++i) RunFindings(twin, i, cause, findings);
  std::vector<Finding> unique;
  for (auto& finding : findings) {
    const bool seen = std::any_of(unique.begin(), unique.end(), [&](const Finding& f) {
      return f.reason == finding.reason && f.text == finding.text;
    });
    if (!seen) unique.push_back(std::move(finding));
  }
  return unique;
}

bool Fails(const Finding& finding, const std::set<Reason>& allowed) {
  return InfoOf(finding.reason).failsByDefault && allowed.count(finding.reason) == 0;
}

bool TwinPassed(const TwinReport& twin, const std::set<Reason>& allowed) {
  return std::none_of(twin.findings.begin(), twin.findings.end(), [&](const Finding& f) { return Fails(f, allowed); });
}

bool Passed(const Report& report) {
  return std::all_of(report.twins.begin(), report.twins.end(),
                     [&](const TwinReport& twin) { return TwinPassed(twin, report.plan.allowed); });
}

}  // namespace rehearsal
