// What a run showed, CAB by CAB: the installer's starts and exits, its errors and what
// it installed, the box, the reset and the faults of the journal. The run decides; where
// it does what the explanation does not expect, the CAB is "unexplained".
#include "platform/host/Terminal.h"
#include "setup/Texts.h"
#include "terminal/termsim/RehearsalRun.h"

#include <algorithm>

namespace termsim::rehearsal {

namespace {

constexpr char16_t kInstallerPath[] = u"\\Windows\\wceload.exe";

// One installer start with what the journal tells of it.
struct InstallerRun {
  std::string cab;
  std::optional<int64_t> child;
  std::optional<int64_t> exitCode;
  bool ended = false;
  std::string reason;
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
  if (e.event == "installer-file") run->files.push_back(TextField(e, "path"));
  if (e.event == "installer-registry") run->registry.push_back(RegistryEntry(e));
  if (e.event == "installer-shortcut") run->shortcuts.push_back(TextField(e, "path") + " -> " + TextField(e, "target"));
}

std::vector<InstallerRun> InstallerRuns(const std::vector<host::JournalEvent>& events) {
  std::vector<InstallerRun> runs;
  for (const auto& e : events) {
    if (e.event == "process-start" && IsInstaller(e.Text("image"))) {
      runs.push_back({TextField(e, "cmdline"), e.Int("child"), std::nullopt, false, "", {}, {}, {}});
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

bool IsInstall(const std::string& fate) { return fate == "installed" || fate == "installed-other-model"; }

std::string FaultReason(const std::vector<host::JournalEvent>& events) {
  for (const auto& e : events) {
    if (e.event == "fault")
      return "after the fault " + TextField(e, "api") + " " + TextField(e, "target") + " " + TextField(e, "error");
  }
  return "";
}

// The fate of one CAB from its installer run, when there was one.
CabFate FateOfStartedCab(const Expected& expected, const InstallerRun& run) {
  CabFate fate{expected.name, expected.fate, run.exitCode, "", "", run.files, run.registry, run.shortcuts};
  const bool succeeded = run.ended && run.exitCode == 0;
  if (!succeeded) {
    fate.fate = "failed";
    fate.reason = !run.reason.empty() ? run.reason
                  : run.ended        ? "the installer ended with exit code " + std::to_string(run.exitCode.value_or(-1))
                                     : "the installer did not end";
  }
  if (!IsInstall(expected.fate)) {
    fate.expected = expected.fate;
    fate.fate = "unexplained";
  }
  return fate;
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

void DescribeOutcome(RunReport& run, const RunFacts& facts) {
  const auto has = [&](const char* name) {
    return std::any_of(facts.events.begin(), facts.events.end(), [&](const auto& e) { return e.event == name; });
  };
  const std::string text = run.box ? run.box->text : "";
  const auto set = [&](const char* outcome, const char* words) {
    run.outcome = outcome;
    run.words = words;
  };
  if (!facts.startError.empty()) return set("not-started", "Setup could not be started");
  if (facts.timedOut) return set("timed-out", "did not end in time; every process of the twin was ended");
  if (has("power-loss")) return set("power-loss", "the power was cut during the run");
  if (run.box && IsTextOf(TextInstallDone, text))
    return run.reset ? set("completed", "completion notice, then the reset") : set("notice-without-reset", "completion notice, but no reset");
  if (run.box && IsTextOf(TextInstallError, text)) return set("install-error", "install error");
  if (run.box && IsTextOf(TextTooManyCabs, text)) return set("too-many-cabs", "over 30 CABs: nothing installed");
  if (run.box && IsTextOf(TextTooManyCabsReset, text))
    return set("too-many-cabs-reset", "over 30 CABs after installing some: a manual reset is asked for");
  if (run.box) return set("other-box", "a box Setup does not show");
  if (run.reset) return set("reset-without-notice", "reset without the completion notice");
  if (run.exitCode == 1) return set("silent", "silent: nothing to install");
  return set("ended-at-once", "ended at once without a box (another copy of Setup was running)");
}

}  // namespace

std::string TextField(const host::JournalEvent& e, std::string_view name) { return host::ToUtf8(e.Text(name)); }

RunReport JudgeRun(const std::vector<Expected>& expected, const RunFacts& facts) {
  RunReport run;
  run.exitCode = facts.setupExit;
  run.reset = std::any_of(facts.events.begin(), facts.events.end(), [](const auto& e) { return e.event == "reset"; });
  run.box = BoxOf(facts.events);
  DescribeOutcome(run, facts);
  const std::vector<InstallerRun> installers = InstallerRuns(facts.events);
  const bool errorBox = run.outcome == "install-error";
  std::string failedCab;
  int failedPass = -1;
  for (const auto& entry : expected) {
    const auto started = std::find_if(installers.begin(), installers.end(),
                                      [&](const InstallerRun& r) { return r.cab == host::ToUtf8(entry.path); });
    if (started != installers.end()) {
      run.cabs.push_back(FateOfStartedCab(entry, *started));
      if (run.cabs.back().fate == "failed" && failedPass < 0) {
        failedCab = entry.name;
        failedPass = entry.pass;
      }
      continue;
    }
    CabFate fate{entry.name, entry.fate, std::nullopt, entry.reason, "", {}, {}, {}};
    const bool laterPass = failedPass >= 0 && entry.pass > failedPass;
    if (failedPass >= 0 && (IsInstall(entry.fate) || laterPass)) {
      fate.fate = "not-reached-error";
      fate.reason = "after " + failedCab + " failed";
    } else if (IsInstall(entry.fate) && errorBox && !FaultReason(facts.events).empty()) {
      fate.fate = "not-reached-error";
      fate.reason = FaultReason(facts.events);
    } else if (IsInstall(entry.fate)) {
      fate.fate = "unexplained";
      fate.expected = entry.fate;
    }
    run.cabs.push_back(fate);
  }
  return run;
}

bool TwinPassed(const TwinReport& twin) {
  if (!twin.refused.empty() || twin.runs.empty()) return false;
  for (size_t i = 0; i < twin.runs.size(); ++i) {
    const std::string& outcome = twin.runs[i].outcome;
    if (outcome != "silent" && (i > 0 || outcome != "completed")) return false;
  }
  return true;
}

}  // namespace termsim::rehearsal
