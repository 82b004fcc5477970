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

// A JSON text at `json[i]` (the opening quote), as the journal writes it.
std::string ReadJsonText(std::string_view json, size_t& i) {
  std::u16string text;
  for (++i; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] != '\\') {
      size_t end = i;
      while (end < json.size() && json[end] != '"' && json[end] != '\\') ++end;
      text += host::FromUtf8(json.substr(i, end - i));
      i = end - 1;
      continue;
    }
    const char escaped = ++i < json.size() ? json[i] : '\\';
    switch (escaped) {
      case 'n': text += u'\n'; break;
      case 'r': text += u'\r'; break;
      case 't': text += u'\t'; break;
      case 'u': text += static_cast<char16_t>(std::stoi(std::string(json.substr(i + 1, 4)), nullptr, 16)); i += 4; break;
      default: text += static_cast<char16_t>(escaped);
    }
  }
  ++i;
  return host::ToUtf8(text);
}

// The flat object of texts and whole numbers that the journal stores as an event's fields.
std::map<std::string, std::variant<int64_t, std::string>> ReadFields(std::string_view json) {
  std::map<std::string, std::variant<int64_t, std::string>> fields;
  size_t i = 1;
  while (i < json.size() && json[i] == '"') {
    const std::string name = ReadJsonText(json, i);
    ++i;  // the colon
    if (i < json.size() && json[i] == '"') {
      fields[name] = ReadJsonText(json, i);
    } else {
      size_t end = i;
      while (end < json.size() && json[end] != ',' && json[end] != '}') ++end;
      const std::string number(json.substr(i, end - i));
      if (!number.empty() && (std::isdigit(static_cast<unsigned char>(number.back())) != 0)) fields[name] = std::stoll(number);
      i = end;
    }
    if (i < json.size() && json[i] == ',') ++i;
  }
  return fields;
}

// One installer start with what the journal tells of it.
struct InstallerRun {
  std::string cab;
  std::optional<int64_t> child;
  std::optional<int64_t> exitCode;
  bool ended = false;
  std::string reason;
  std::vector<std::string> files, registry, shortcuts;
};

bool IsInstaller(const std::string& image) { return host::EqualsIgnoreCase(host::FromUtf8(image), kInstallerPath); }

InstallerRun* RunOfCab(std::vector<InstallerRun>& runs, const std::string& cab) {
  for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
    if (it->cab == cab) return &*it;
  }
  return nullptr;
}

// What the installer's own events add to its runs.
void NoteInstallerEvent(std::vector<InstallerRun>& runs, const JournalEntry& e) {
  InstallerRun* run = RunOfCab(runs, e.Text("cab"));
  if (run == nullptr) return;
  if (e.event == "installer-error") run->reason = e.Text("reason");
  if (e.event == "installer-file") run->files.push_back(e.Text("path"));
  if (e.event == "installer-registry") run->registry.push_back(e.Text("key") + ": " + e.Text("value"));
  if (e.event == "installer-shortcut") run->shortcuts.push_back(e.Text("path") + " -> " + e.Text("target"));
}

std::vector<InstallerRun> InstallerRuns(const std::vector<JournalEntry>& events) {
  std::vector<InstallerRun> runs;
  for (const auto& e : events) {
    if (e.event == "process-start" && IsInstaller(e.Text("image"))) {
      runs.push_back({e.Text("cmdline"), e.Int("child"), std::nullopt, false, "", {}, {}, {}});
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

std::string FaultReason(const std::vector<JournalEntry>& events) {
  for (const auto& e : events) {
    if (e.event == "fault")
      return "after the fault " + e.Text("api") + " " + e.Text("target") + " " + e.Text("error");
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

std::optional<Box> BoxOf(const std::vector<JournalEntry>& events) {
  for (const auto& e : events) {
    if (e.event == "messagebox") return Box{e.Text("text"), e.Int("style").value_or(0)};
  }
  return std::nullopt;
}

void DescribeOutcome(RunReport& run, const RunFacts& facts) {
  const auto has = [&](const char* name) {
    return std::any_of(facts.events.begin(), facts.events.end(), [&](const JournalEntry& e) { return e.event == name; });
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

std::string JournalEntry::Text(const std::string& name) const {
  auto found = fields.find(name);
  if (found == fields.end() || !std::holds_alternative<std::string>(found->second)) return "";
  return std::get<std::string>(found->second);
}

std::optional<int64_t> JournalEntry::Int(const std::string& name) const {
  auto found = fields.find(name);
  if (found == fields.end() || !std::holds_alternative<int64_t>(found->second)) return std::nullopt;
  return std::get<int64_t>(found->second);
}

std::vector<JournalEntry> JournalAfter(int64_t seq) {
  std::vector<JournalEntry> events;
  for (const auto& event : host::JournalEventsAfter(seq))
    events.push_back({event.pid, event.event, ReadFields(event.fields)});
  return events;
}

RunReport JudgeRun(const std::vector<Expected>& expected, const RunFacts& facts) {
  RunReport run;
  run.exitCode = facts.setupExit;
  run.reset = std::any_of(facts.events.begin(), facts.events.end(), [](const JournalEntry& e) { return e.event == "reset"; });
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
