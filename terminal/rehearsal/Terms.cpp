// The report's terms: every fate, outcome, warning kind and verdict reason with its one
// name, as the JSON document, the page and the README give them.
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <iterator>

namespace rehearsal {

namespace {

template <class Enum>
struct Named {
  Enum value;
  const char* name;
};

constexpr Named<Fate> kFates[] = {
    {Fate::Installed, "installed"},
    {Fate::InstalledOtherModel, "installed-other-model"},
    {Fate::InstalledTwice, "installed-twice"},
    {Fate::SkippedRegistered, "skipped-registered"},
    {Fate::SkippedUnchanged, "skipped-unchanged"},
    {Fate::NotReachedLimit, "not-reached-limit"},
    {Fate::NotReachedError, "not-reached-error"},
    {Fate::PathTooLong, "path-too-long"},
    {Fate::Failed, "failed"},
    {Fate::Unexplained, "unexplained"},
};

struct OutcomeTerm {
  Outcome outcome;
  const char* name;
  const char* words;
};
constexpr OutcomeTerm kOutcomes[] = {
    {Outcome::Completed, "completed", "completion notice, then the reset"},
    {Outcome::Silent, "silent", "silent: nothing to install"},
    {Outcome::InstallError, "install-error", "install error"},
    {Outcome::TooManyCabs, "too-many-cabs", "over 30 CABs: nothing installed"},
    {Outcome::TooManyCabsReset, "too-many-cabs-reset", "over 30 CABs after installing some: a manual reset is asked for"},
    {Outcome::NoticeWithoutReset, "notice-without-reset", "completion notice, but no reset"},
    {Outcome::ResetWithoutNotice, "reset-without-notice", "reset without the completion notice"},
    {Outcome::PowerLoss, "power-loss", "the power was cut during the run"},
    {Outcome::TimedOut, "timed-out", "did not end in time; every process of the twin was ended"},
    {Outcome::NotStarted, "not-started", "Setup could not be started"},
    {Outcome::OtherBox, "other-box", "a box Setup does not show"},
    {Outcome::EndedAtOnce, "ended-at-once", "ended at once without a box (another copy of Setup was running)"},
};

constexpr Named<WarningKind> kWarningKinds[] = {
    {WarningKind::ServicePack, "service-pack"},
    {WarningKind::NoServicePack, "no-service-pack"},
    {WarningKind::OtherModelServicePack, "other-model-service-pack"},
    {WarningKind::Order, "order"},
    {WarningKind::CountWithoutExport, "count-without-export"},
    {WarningKind::NotACabinet, "not-a-cabinet"},
    {WarningKind::Damaged, "damaged"},
    {WarningKind::NoSetupFile, "no-setup-file"},
    {WarningKind::DeviceMismatch, "device-mismatch"},
    {WarningKind::SetupDll, "setup-dll"},
    {WarningKind::SameApplication, "same-application"},
    {WarningKind::UnusableName, "unusable-name"},
    {WarningKind::SameName, "same-name"},
    {WarningKind::PathTooLong, "path-too-long"},
    {WarningKind::FolderNamedCab, "folder-named-cab"},
};

constexpr ReasonInfo kReasons[] = {
    {Reason::Box, "box", "a box other than the completion notice", true},
    {Reason::CabFailed, "cab-failed", "a CAB failed to install", true},
    {Reason::Unexplained, "unexplained", "a run did what Setup's rules do not explain", true},
    {Reason::OtherModelServicePack, "other-model-service-pack", "another model's service pack was installed", true},
    {Reason::InstalledTwice, "installed-twice", "a CAB was installed twice in one run", true},
    {Reason::Loop, "loop", "a loop: the terminal installs and resets at every start", true},
    {Reason::BoxAtEveryStart, "box-at-every-start", "a box at every start", true},
    {Reason::TimedOut, "timed-out", "a run did not end in time", true},
    {Reason::PowerLoss, "power-loss", "the power was cut", true},
    {Reason::Ending, "ending",
     "a run ended neither with the completion notice and the reset nor silently (Setup not started, ended at once, "
     "a reset without the notice or the notice without a reset)",
     true},
    {Reason::Refused, "refused", "the twin could not be rehearsed", true},
    {Reason::ForeignSetup, "foreign-setup",
     "the folder's Setup.exe, a Windows program the twins ran the host build of Setup for, carries the mark of "
     "other sources or none",
     true},
    {Reason::NoServicePack, "no-service-pack", "the folder holds no service pack of the twin's model", false},
    {Reason::NotACabinet, "not-a-cabinet", "a file named like a CAB is no cabinet", true},
    {Reason::Damaged, "damaged", "a cabinet the installer cannot read (damaged, cut, or over its limits)", true},
    {Reason::NoSetupFile, "no-setup-file", "a cabinet without a setup file, which the installer refuses", true},
    {Reason::DeviceMismatch, "device-mismatch", "a cabinet made for another processor, CE version or build", true},
    {Reason::SetupDll, "setup-dll", "a cabinet with a setup DLL, whose effects the rehearsal cannot show", true},
    {Reason::SameApplication, "same-application",
     "two CABs register one application: the later takes the earlier's registration, so the earlier is installed "
     "again at every start",
     true},
    {Reason::UnusableName, "unusable-name", "a name a terminal's file system cannot hold", true},
    {Reason::SameName, "same-name", "names that differ only in letter case, which one folder of a terminal cannot hold",
     true},
    {Reason::PathTooLong, "path-too-long", "a CAB whose path has 256 characters or more, which Setup passes over", true},
    {Reason::FolderNamedCab, "folder-named-cab", "a folder named like a CAB, which Setup hands to the installer", true},
    {Reason::PowerCutCalibration, "power-cut-calibration",
     "a power cut leaves Setup's calibration record other than the rehearsal did (torn, missing, left over)", true},
    {Reason::PowerCutInstaller, "power-cut-installer",
     "a power cut leaves what the installer wrote or registered other than the rehearsal did", true},
    {Reason::PowerCutSetup, "power-cut-setup",
     "a power cut leaves Setup's own values or runs other than the rehearsal did", true},
};

constexpr const char* kCutClasses[] = {"calibration", "installer", "setup"};

constexpr const char* kAssumptions[] = {
    "Setup starts at every boot of the terminal",
    "a reset keeps the file system and the registry",
    "the CAB installer shows no dialogs of its own",
};
constexpr const char* kPowerCutAssumptions[] = {
    "a power cut keeps every write a call completed, and a torn write its first part",
    "after a cut the CAB installer behaves as the stand-in: it writes everything, then registers, and takes back "
    "the writes of an installation that failed",
};

// Each table lists its enumeration in declaration order, so a value indexes its row.
template <class Row, size_t N, class Enum>
constexpr bool InOrder(const Row (&table)[N], Enum Row::*member) {
  for (size_t i = 0; i < N; ++i) {
    if (static_cast<size_t>(table[i].*member) != i) return false;
  }
  return true;
}
static_assert(InOrder(kFates, &Named<Fate>::value));
static_assert(InOrder(kOutcomes, &OutcomeTerm::outcome));
static_assert(InOrder(kWarningKinds, &Named<WarningKind>::value));
static_assert(InOrder(kReasons, &ReasonInfo::reason));

template <class Enum, class Row, size_t N>
std::optional<Enum> Find(const Row (&table)[N], std::string_view name) {
  const auto found = std::find_if(std::begin(table), std::end(table), [&](const Row& row) { return name == row.name; });
  if (found == std::end(table)) return std::nullopt;
  return static_cast<Enum>(found - std::begin(table));
}

}  // namespace

const char* NameOf(Fate fate) { return kFates[static_cast<size_t>(fate)].name; }
const char* NameOf(Outcome outcome) { return kOutcomes[static_cast<size_t>(outcome)].name; }
const char* NameOf(WarningKind kind) { return kWarningKinds[static_cast<size_t>(kind)].name; }
const char* WordsOf(Outcome outcome) { return kOutcomes[static_cast<size_t>(outcome)].words; }

std::optional<Reason> ReasonOf(WarningKind kind) {
  if (kind < WarningKind::NotACabinet) return std::nullopt;
  return ReasonNamed(NameOf(kind));
}
std::optional<Fate> FateNamed(std::string_view name) { return Find<Fate>(kFates, name); }
std::optional<Outcome> OutcomeNamed(std::string_view name) { return Find<Outcome>(kOutcomes, name); }
std::optional<WarningKind> WarningKindNamed(std::string_view name) { return Find<WarningKind>(kWarningKinds, name); }

std::span<const ReasonInfo> ReasonTable() { return kReasons; }
const ReasonInfo& InfoOf(Reason reason) { return kReasons[static_cast<size_t>(reason)]; }
std::optional<Reason> ReasonNamed(std::string_view code) {
  const auto found = std::find_if(std::begin(kReasons), std::end(kReasons), [&](const ReasonInfo& row) { return code == row.code; });
  if (found == std::end(kReasons)) return std::nullopt;
  return found->reason;
}

std::vector<std::string> Assumptions(bool powerCuts) {
  std::vector<std::string> lines(std::begin(kAssumptions), std::end(kAssumptions));
  if (powerCuts) lines.insert(lines.end(), std::begin(kPowerCutAssumptions), std::end(kPowerCutAssumptions));
  return lines;
}

const char* NameOf(CutClass cut) { return kCutClasses[static_cast<size_t>(cut)]; }
std::optional<CutClass> CutClassNamed(std::string_view name) {
  for (size_t i = 0; i < std::size(kCutClasses); ++i) {
    if (name == kCutClasses[i]) return static_cast<CutClass>(i);
  }
  return std::nullopt;
}
Reason ReasonOf(CutClass cut) {
  return static_cast<Reason>(static_cast<size_t>(Reason::PowerCutCalibration) + static_cast<size_t>(cut));
}

}  // namespace rehearsal
