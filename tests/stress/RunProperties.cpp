#include "tests/stress/RunProperties.h"

#include <map>

#include "platform/host/Text.h"
#include "tests/support/SetupFacts.h"

namespace stress {

namespace {

using setupfacts::kErrorBoxStyle;
using setupfacts::kMaxCabs;
using setupfacts::kNoticeStyle;
using setupfacts::kResetExit;
// A CAB path this long does not fit an inventory slot, so it could never stand
// registered: Setup must pass such a CAB over rather than install it on every run.
using setupfacts::kSlotUnits;
constexpr const char* kInstallerPath = setupfacts::kInstallerCePath;

// One start of the installer and how it ended.
struct Install {
  std::u16string path;
  int64_t seq = 0;
  int64_t exitCode = -1;  // -1: no exit recorded
};

struct Failure {
  int64_t seq = 0;
  std::string what;
};

bool IsCabName(const std::u16string& name) { return host::GlobMatch(u"*.cab", name); }
bool IsPatchName(const std::u16string& name) { return host::GlobMatch(u"Patch*.cab", name); }

std::u16string NameOf(const std::u16string& path) {
  const size_t slash = path.rfind(u'\\');
  return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

bool SameValue(const std::optional<Value>& a, const std::optional<Value>& b) {
  if (!a || !b) return !a && !b;
  return a->type == b->type && a->data == b->data;
}

std::string Hex(const std::string& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string text;
  for (char c : bytes) {
    text += kDigits[static_cast<uint8_t>(c) >> 4];
    text += kDigits[static_cast<uint8_t>(c) & 15];
  }
  return text;
}

class Checker {
 public:
  Checker(const Terminal& terminal, const Pool& pool, const RunRecord& run)
      : terminal_(terminal), pool_(pool), run_(run) {}

  Verdict Check(const Verdict* previous, double secondsBound) {
    ReadInstalls();
    ReadFailures();
    CheckEnded(secondsBound);
    ClassifyEnding();
    CheckEndingAgreesWithInstalls();
    CheckInstallOrder();
    CheckNothingRegisteredInstalledAgain();
    CheckLimit();
    CheckDateTime();
    CheckInstallerFlags();
    if (verdict_.ending == Ending::kSilent || verdict_.ending == Ending::kCompleted) CheckNothingLeftToInstall();
    if (previous && (previous->ending == Ending::kSilent || previous->ending == Ending::kCompleted)) {
      CheckRunAfterCompletion();
    }
    return verdict_;
  }

 private:
  void Violation(const std::string& text) { verdict_.violations.push_back(text); }

  std::u16string ServicePackPath() const {
    return terminal_.servicePackName.empty() ? u"" : U16(terminal_.PathOf(terminal_.servicePackName));
  }
  bool IsServicePack(const std::u16string& path) const {
    return !terminal_.servicePackName.empty() && host::EqualsIgnoreCase(path, ServicePackPath());
  }
  std::string ServicePackTime() const { return terminal_.ServicePackTime(pool_); }
  std::vector<const e2e::Event*> Named(const std::string& name) const {
    std::vector<const e2e::Event*> found;
    for (const auto& event : run_.events) {
      if (event.Name() == name) found.push_back(&event);
    }
    return found;
  }

  void ReadInstalls() {
    for (const auto& event : run_.events) {
      if (event.Text("image") != kInstallerPath) continue;
      if (event.Name() == "process-start") {
        installs_.push_back({U16(event.Text("cmdline")), event.Int("seq"), -1});
      } else if (event.Name() == "process-exit" && !installs_.empty() && installs_.back().exitCode == -1) {
        installs_.back().exitCode = event.Int("exit_code");
      }
    }
  }

  // Whatever makes an installation fail as Setup sees it.
  void ReadFailures() {
    for (const auto& install : installs_) {
      if (install.exitCode != 0) {
        failures_.push_back({install.seq, "the installer ended with " + std::to_string(install.exitCode) + " on " +
                                              Utf8(install.path)});
      }
    }
    for (const auto* fault : Named("fault")) {
      const std::u16string target = U16(fault->Text("target"));
      const std::string api = fault->Text("api");
      const bool askDestination = host::GlobMatch(u"*:fAskDest", target);
      if (api == "CreateProcessW" || (api == "RegSetValueExW" && askDestination) ||
          (api == "RegOpenKeyExW" && host::EqualsIgnoreCase(target, u"SOFTWARE\\Apps"))) {
        failures_.push_back({fault->Int("seq"), api + " failed on " + fault->Text("target")});
      }
    }
  }

  void CheckEnded(double secondsBound) {
    if (run_.exitCode == 124) Violation("Setup did not end before termsim's time-out");
    if (run_.exitCode != 0 && run_.exitCode != 1 && run_.exitCode != kResetExit) {
      Violation("termsim run ended with " + std::to_string(run_.exitCode));
    }
    if (run_.seconds > secondsBound) Violation("the run took " + std::to_string(run_.seconds) + " s");
    // A sanitizer's report ends a program with a code of its own, which may look like one
    // of Setup's.
    for (const char* report : {"Sanitizer", "runtime error:"}) {
      if (run_.standardError.find(report) != std::string::npos)
        Violation(std::string("a sanitizer reported (") + report + ")");
    }
    int starts = 0;
    for (const auto* start : Named("process-start")) starts += start->Text("image") == terminal_.SetupPath();
    if (starts != 1) Violation("Setup was started " + std::to_string(starts) + " times");
    std::vector<int64_t> exits;
    for (const auto* exit : Named("process-exit")) {
      if (exit->Text("image") == terminal_.SetupPath()) exits.push_back(exit->Int("exit_code"));
    }
    const bool reset = !Named("reset").empty();
    if (reset != (run_.exitCode == kResetExit)) Violation("a reset event and termsim's exit code disagree");
    if (reset && !exits.empty()) Violation("Setup recorded an exit although the terminal reset");
    if (!reset && (exits.size() != 1 || exits[0] != run_.exitCode)) {
      Violation("Setup's recorded exit does not match termsim's exit code " + std::to_string(run_.exitCode));
    }
  }

  void ClassifyEnding() {
    const std::string& language = terminal_.language;
    const auto boxes = Named("messagebox");
    const bool reset = !Named("reset").empty();
    if (boxes.size() > 1) Violation(std::to_string(boxes.size()) + " message boxes in one run");
    if (boxes.empty()) {
      if (run_.exitCode == 1) {
        verdict_.ending = Ending::kSilent;
      } else {
        Violation("the run ended with " + std::to_string(run_.exitCode) + " and no message box");
      }
      return;
    }
    const e2e::Event& box = *boxes.front();
    const std::string text = box.Text("text");
    if (box.Text("caption") != "Setup") Violation("box caption " + box.Text("caption"));
    if (text == setupfacts::Text(TextInstallDone, language)) {
      verdict_.ending = Ending::kCompleted;
      if (box.Int("style") != kNoticeStyle) Violation("completion notice style " + std::to_string(box.Int("style")));
      if (terminal_.resetIgnored) {
        if (reset || run_.exitCode != 1) Violation("with a driver that does not reset, the run must end with 1");
      } else {
        const auto resets = Named("reset");
        if (resets.empty()) {
          Violation("a completion notice without a reset");
        } else if (resets.front()->Int("seq") < box.Int("seq")) {
          Violation("the reset came before the completion notice");
        }
      }
      return;
    }
    if (text == setupfacts::Text(TextInstallError, language)) verdict_.ending = Ending::kInstallError;
    if (text == setupfacts::Text(TextTooManyCabs, language)) verdict_.ending = Ending::kTooManyCabs;
    if (text == setupfacts::Text(TextTooManyCabsReset, language)) verdict_.ending = Ending::kTooManyCabsReset;
    if (verdict_.ending == Ending::kUnknown) {
      Violation("a box with an unexpected text: " + text);
      return;
    }
    if (box.Int("style") != kErrorBoxStyle) Violation("error box style " + std::to_string(box.Int("style")));
    if (reset || run_.exitCode != 0) Violation("an error or limit box must end the run with 0 and no reset");
  }

  void CheckEndingAgreesWithInstalls() {
    const Ending ending = verdict_.ending;
    if (!failures_.empty() && ending != Ending::kInstallError) {
      Violation("a failure (" + failures_.front().what + ") but the run ended " + EndingName(ending));
    }
    if (ending == Ending::kInstallError && failures_.empty()) Violation("an install error box but nothing failed");
    if (!failures_.empty()) {
      int64_t first = failures_.front().seq;
      for (const auto& failure : failures_) first = std::min(first, failure.seq);
      for (const auto& install : installs_) {
        if (install.seq > first) Violation("installed " + Utf8(install.path) + " after a failure");
      }
    }
    const bool allSucceeded = failures_.empty();
    switch (ending) {
      case Ending::kCompleted:
      case Ending::kTooManyCabsReset:
        if (installs_.empty() || !allSucceeded)
          Violation(std::string(EndingName(ending)) + " needs an installation and no failure");
        break;
      case Ending::kTooManyCabs:
      case Ending::kSilent:
        if (!installs_.empty()) Violation(std::string(EndingName(ending)) + " although something was installed");
        break;
      default:
        break;
    }
    if (ending == Ending::kTooManyCabs || ending == Ending::kTooManyCabsReset) {
      size_t candidates = 0;
      for (const auto& entry : terminal_.entries) candidates += IsCabName(U16(entry.name));
      if (run_.before.Registered().size() + candidates <= kMaxCabs) {
        Violation("the limit was reported with " + std::to_string(run_.before.Registered().size()) +
                  " registered and " + std::to_string(candidates) + " CABs in the folder");
      }
    }
    for (const auto* box : Named("messagebox")) {
      for (const auto& install : installs_) {
        if (install.seq > box->Int("seq")) Violation("installed " + Utf8(install.path) + " after the message box");
      }
    }
  }

  // The service pack first, then the patches in code-unit order, then the rest in
  // code-unit order; every installed path names a CAB of the start folder.
  void CheckInstallOrder() {
    std::vector<std::u16string> rest;
    for (size_t i = 0; i < installs_.size(); ++i) {
      const std::u16string& path = installs_[i].path;
      if (path.size() >= kSlotUnits) Violation("installed a path of " + std::to_string(path.size()) + " units");
      if (IsServicePack(path)) {
        if (i != 0) Violation("the service pack was installed as number " + std::to_string(i + 1));
        if (!terminal_.ServicePackEntry()) Violation("installed the service pack, which the folder does not hold");
        continue;
      }
      bool inFolder = false;
      for (const auto& entry : terminal_.entries) {
        inFolder = inFolder || (path == U16(terminal_.PathOf(entry.name)) && IsCabName(U16(entry.name)));
      }
      if (!inFolder) Violation("installed " + Utf8(path) + ", which is no CAB of the start folder");
      rest.push_back(path);
    }
    size_t patches = 0;
    while (patches < rest.size() && IsPatchName(NameOf(rest[patches])) &&
           (patches == 0 || rest[patches - 1] < rest[patches])) {
      ++patches;
    }
    for (size_t i = patches + 1; i < rest.size(); ++i) {
      if (!(rest[i - 1] < rest[i])) {
        Violation("installations out of order: " + Utf8(rest[i - 1]) + " before " + Utf8(rest[i]));
      }
    }
    std::map<std::u16string, int> times;
    for (const auto& path : rest) ++times[path];
    for (const auto& [path, count] : times) {
      if (count == 1) continue;
      if (count > 2 || !IsPatchName(NameOf(path)) || run_.after.IsRegistered(path)) {
        Violation(Utf8(path) + " was installed " + std::to_string(count) + " times");
      }
    }
  }

  void CheckNothingRegisteredInstalledAgain() {
    const std::string time = ServicePackTime();
    for (const auto& install : installs_) {
      if (!run_.before.IsRegistered(install.path)) continue;
      if (!IsServicePack(install.path)) {
        Violation("installed " + Utf8(install.path) + " again although it was registered");
      } else if (run_.before.dateTime && !time.empty() && run_.before.dateTime->data == time) {
        Violation("installed the registered service pack although its DateTime matches its file");
      }
    }
  }

  void CheckLimit() {
    const size_t before = run_.before.Registered().size();
    const size_t after = run_.after.Registered().size();
    if (after > kMaxCabs && after > before) {
      Violation(std::to_string(after) + " CABs stand registered (" + std::to_string(before) + " before)");
    }
  }

  void CheckDateTime() {
    if (SameValue(run_.before.dateTime, run_.after.dateTime)) return;
    const bool servicePackInstalled =
        !installs_.empty() && IsServicePack(installs_[0].path) && installs_[0].exitCode == 0;
    if (!servicePackInstalled) Violation("DateTime changed although the service pack was not installed");
    const std::string time = ServicePackTime();
    if (!run_.after.dateTime || run_.after.dateTime->type != REG_BINARY || run_.after.dateTime->data != time) {
      Violation("DateTime is " + (run_.after.dateTime ? Hex(run_.after.dateTime->data) : std::string("missing")) +
                ", not the service pack's time " + Hex(time));
    }
  }

  // After the installer ran, both flags are 1 unless writing them was refused.
  void CheckInstallerFlags() {
    bool startAttempted = !installs_.empty();
    for (const auto* fault : Named("fault")) {
      if (fault->Text("api") == "RegSetValueExW") return;
      startAttempted = startAttempted || fault->Text("api") == "CreateProcessW";
    }
    if (!startAttempted) return;
    if (!IsDwordOne(run_.after.reset)) Violation("Reset is not 1 after the installer ran");
    if (!IsDwordOne(run_.after.askDestination)) Violation("fAskDest is not 1 after the installer ran");
  }

  // A run that ended without an error or limit leaves nothing to install: every CAB of
  // the folder whose path can stand registered is registered, and DateTime holds the
  // service pack's time.
  void CheckNothingLeftToInstall() {
    for (const auto& entry : terminal_.entries) {
      const std::u16string name = U16(entry.name);
      const std::u16string path = U16(terminal_.PathOf(entry.name));
      if (!IsCabName(name) || path.size() >= kSlotUnits) continue;
      if (!run_.after.IsRegistered(path)) {
        Violation(entry.name + " is not registered after a run that ended " + EndingName(verdict_.ending));
      }
      if (IsServicePack(path) && (!run_.after.dateTime || run_.after.dateTime->data != ServicePackTime())) {
        Violation("DateTime does not hold the service pack's time after a run that ended " +
                  std::string(EndingName(verdict_.ending)));
      }
    }
  }

  void CheckRunAfterCompletion() {
    if (verdict_.ending != Ending::kSilent || !installs_.empty()) {
      Violation("the run after a completed one ended " + std::string(EndingName(verdict_.ending)) + " with " +
                std::to_string(installs_.size()) + " installations");
    }
  }

  const Terminal& terminal_;
  const Pool& pool_;
  const RunRecord& run_;
  std::vector<Install> installs_;
  std::vector<Failure> failures_;
  Verdict verdict_;
};

}  // namespace

const char* EndingName(Ending ending) {
  switch (ending) {
    case Ending::kUnknown:
      return "unclassified";
    case Ending::kSilent:
      return "silently";
    case Ending::kCompleted:
      return "with the completion notice";
    case Ending::kInstallError:
      return "with the install error";
    case Ending::kTooManyCabs:
      return "with too many CABs";
    case Ending::kTooManyCabsReset:
      return "with too many CABs after installing";
  }
  return "?";
}

Verdict CheckRun(const Terminal& terminal, const Pool& pool, const RunRecord& run, const Verdict* previous,
                 double secondsBound) {
  return Checker(terminal, pool, run).Check(previous, secondsBound);
}

}  // namespace stress
