// What a run showed, CAB by CAB: the installer's starts and exits, its errors and what
// it installed, the box, the reset and the faults of the journal. The run decides; where
// it does what the explanation does not expect, the CAB is "unexplained".
#include "platform/host/Journal.h"
#include "platform/host/Text.h"
#include "terminal/rehearsal/TwinRun.h"
#include "texts/Texts.h"

#include <algorithm>

namespace rehearsal {

namespace {

constexpr char16_t kInstallerPath[] = u"\\Windows\\wceload.exe";

// One installer start with what the journal tells of it.
struct InstallerRun {
  std::string cab;
  std::optional<int64_t> child;
  std::optional<int64_t> exitCode;
  bool ended = false;
  std::string reason;
  std::string application;
  std::vector<std::string> files, registry, shortcuts;
};

bool IsInstaller(std::u16string_view image) { return host::EqualsIgnoreCase(image, kInstallerPath); }

InstallerRun* RunOfCab(std::vector<InstallerRun>& runs, const std::string& cab) {
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    if (it->cab == cab) return &*it;
  }
  return nullptr;
}

// "KEY: VALUE" for a value of HKEY_LOCAL_MACHINE, as Setup's own keys are named; the
// root's name first for the others.
std::string RegistryEntry(const host::JournalEvent& e) {
  const std::string root = TextField(e, "root");
  const std::string key = root.empty() || root == "HKEY_LOCAL_MACHINE" ? TextField(e, "key") : root + "\\" + TextField(e, "key");
  return key + ": " + TextField(e, "value");
}

// What the installer's own events add to its runs.
void NoteInstallerEvent(std::vector<InstallerRun>& runs, const host::JournalEvent& e) {
  InstallerRun* run = RunOfCab(runs, TextField(e, "cab"));
  if (run == nullptr) return;
  if (e.event == "installer-error") run->reason = TextField(e, "reason");
  if (e.event == "installer-registered") run->application = TextField(e, "application");
  if (e.event == "installer-file") run->files.push_back(TextField(e, "path"));
  if (e.event == "installer-registry") run->registry.push_back(RegistryEntry(e));
  if (e.event == "installer-shortcut") run->shortcuts.push_back(TextField(e, "path") + " -> " + TextField(e, "target"));
}

std::vector<InstallerRun> InstallerRuns(const std::vector<host::JournalEvent>& events) {
  std::vector<InstallerRun> runs;
  for (const auto& e : events) {
    if (e.event == "process-start" && IsInstaller(e.Text("image"))) {
      runs.push_back({TextField(e, "cmdline"), e.Int("child"), std::nullopt, false, "", "", {}, {}, {}});
    } else if (e.event == "process-exit" && IsInstaller(e.Text("image"))) {
      // Setup waits for each installer, so an exit belongs to the latest start.
      auto open = std::find_if(runs.begin(), runs.end(), [&](const InstallerRun& r) {
        return !r.ended && (!r.child || *r.child == e.pid);
      });
      if (open != runs.end()) {
        open->ended = true;
        open->exitCode = e.Int("exit_code");
      }
    } else {
      NoteInstallerEvent(runs, e);
    }
  }
  return runs;
}

bool IsInstall(Fate fate) {
  return fate == Fate::Installed || fate == Fate::InstalledOtherModel || fate == Fate::InstalledTwice;
}

std::string FaultReason(const std::vector<host::JournalEvent>& events) {
  for (const auto& e : events) {
    if (e.event == "fault")
      return "after the fault " + TextField(e, "api") + " " + TextField(e, "target") + " " + TextField(e, "error");
  }
  return "";
}

bool Succeeded(const InstallerRun& run) { return run.ended && run.exitCode == 0; }

// The fate of one CAB from its installer starts, one or more.
CabFate FateOfStartedCab(const Expected& expected, const std::vector<const InstallerRun*>& starts) {
  const InstallerRun& last = *starts.back();
  CabFate fate{expected.name, expected.fate, {}, last.application, "", std::nullopt, {}, {}, {}};
  for (const InstallerRun* start : starts) {
    if (start->exitCode) fate.exitCodes.push_back(*start->exitCode);
    fate.files.insert(fate.files.end(), start->files.begin(), start->files.end());
    fate.registry.insert(fate.registry.end(), start->registry.begin(), start->registry.end());
    fate.shortcuts.insert(fate.shortcuts.end(), start->shortcuts.begin(), start->shortcuts.end());
  }
  const auto failed = std::find_if(starts.begin(), starts.end(), [](const InstallerRun* r) { return !Succeeded(*r); });
  if (failed != starts.end()) {
    const InstallerRun& run = **failed;
    fate.fate = Fate::Failed;
    fate.reason = !run.reason.empty() ? run.reason
                  : run.ended        ? "the installer ended with exit code " + std::to_string(run.exitCode.value_or(-1))
                                     : "the installer did not end";
  } else if (starts.size() > 1) {
    fate.fate = Fate::InstalledTwice;
  }
  if (!IsInstall(expected.fate)) {
    fate.expected = expected.fate;
    fate.fate = Fate::Unexplained;
  }
  return fate;
}

// Why a CAB was installed again: another CAB of the run registered its application in
// between, and so took its CabFile.
void ExplainTwice(RunReport& run) {
  for (CabFate& cab : run.cabs) {
    if (cab.fate != Fate::InstalledTwice) continue;
    for (const CabFate& other : run.cabs) {
      if (&other == &cab || other.application.empty() || other.application != cab.application) continue;
      cab.reason = other.name + " registers the same application (" + cab.application +
                   ") and took its CabFile, so Setup installed it again";
      break;
    }
  }
}

bool IsTextOf(int pair, const std::string& text) {
  for (int language = 0; language < LANGUAGE_COUNT; ++language) {
    if (host::ToUtf8(g_texts[pair][language]) == text) return true;
  }
  return false;
}

std::optional<Box> BoxOf(const std::vector<host::JournalEvent>& events) {
  for (const auto& e : events) {
    if (e.event == "messagebox") return Box{TextField(e, "text"), e.Int("style").value_or(0)};
  }
  return std::nullopt;
}

Outcome OutcomeOf(const RunReport& run, const RunFacts& facts) {
  const bool powerLoss =
      std::any_of(facts.events.begin(), facts.events.end(), [](const auto& e) { return e.event == "power-loss"; });
  const std::string text = run.box ? run.box->text : "";
  if (!facts.startError.empty()) return Outcome::NotStarted;
  if (facts.timedOut) return Outcome::TimedOut;
  if (powerLoss) return Outcome::PowerLoss;
  if (run.box && IsTextOf(TextInstallDone, text)) return run.reset ? Outcome::Completed : Outcome::NoticeWithoutReset;
  if (run.box && IsTextOf(TextInstallError, text)) return Outcome::InstallError;
  if (run.box && IsTextOf(TextTooManyCabs, text)) return Outcome::TooManyCabs;
  if (run.box && IsTextOf(TextTooManyCabsReset, text)) return Outcome::TooManyCabsReset;
  if (run.box) return Outcome::OtherBox;
  if (run.reset) return Outcome::ResetWithoutNotice;
  if (run.exitCode == 1) return Outcome::Silent;
  return Outcome::EndedAtOnce;
}

}  // namespace

std::string TextField(const host::JournalEvent& e, std::string_view name) { return host::ToUtf8(e.Text(name)); }

Applications RegisteredApplications(const std::vector<host::JournalEvent>& events) {
  Applications applications;
  for (const auto& e : events) {
    if (e.event == "installer-registered") applications[host::FoldCase(e.Text("cab"))] = TextField(e, "application");
  }
  return applications;
}

RunReport JudgeRun(const std::vector<Expected>& expected, const RunFacts& facts) {
  RunReport run;
  run.exitCode = facts.setupExit;
  run.reset = std::any_of(facts.events.begin(), facts.events.end(), [](const auto& e) { return e.event == "reset"; });
  run.box = BoxOf(facts.events);
  run.outcome = OutcomeOf(run, facts);
  const std::vector<InstallerRun> installers = InstallerRuns(facts.events);
  const bool errorBox = run.outcome == Outcome::InstallError;
  std::string failedCab;
  int failedPass = -1;
  for (const auto& entry : expected) {
    std::vector<const InstallerRun*> starts;
    for (const InstallerRun& installer : installers) {
      if (installer.cab == host::ToUtf8(entry.path)) starts.push_back(&installer);
    }
    if (!starts.empty()) {
      run.cabs.push_back(FateOfStartedCab(entry, starts));
      if (run.cabs.back().fate == Fate::Failed && failedPass < 0) {
        failedCab = entry.name;
        failedPass = entry.pass;
      }
      continue;
    }
    CabFate fate{entry.name, entry.fate, {}, "", entry.reason, std::nullopt, {}, {}, {}};
    const bool laterPass = failedPass >= 0 && entry.pass > failedPass;
    if (failedPass >= 0 && (IsInstall(entry.fate) || laterPass)) {
      fate.fate = Fate::NotReachedError;
      fate.reason = "after " + failedCab + " failed";
    } else if (IsInstall(entry.fate) && errorBox && !FaultReason(facts.events).empty()) {
      fate.fate = Fate::NotReachedError;
      fate.reason = FaultReason(facts.events);
    } else if (IsInstall(entry.fate)) {
      fate.fate = Fate::Unexplained;
      fate.expected = entry.fate;
    }
    run.cabs.push_back(fate);
  }
  ExplainTwice(run);
  return run;
}

}  // namespace rehearsal
