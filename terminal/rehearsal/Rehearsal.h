// The rehearsal: a service-pack folder run by the real Setup on twins of a fleet's
// terminals, the report of what became of every CAB on each, and its verdict.
#ifndef KORVA_TERMINAL_REHEARSAL_REHEARSAL_H
#define KORVA_TERMINAL_REHEARSAL_REHEARSAL_H

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rehearsal {

// What the user asked for cannot be rehearsed as asked (a bad command line).
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The rehearsal could not go on (a twin could not be made, a file not be written).
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A signal ended the rehearsal; its workers and their twins' processes were ended first.
class Interrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- the report's terms (Terms.cpp)

// What became of one CAB in one run (README: termsim rehearse).
enum class Fate {
  Installed,
  InstalledOtherModel,
  InstalledTwice,
  SkippedRegistered,
  SkippedUnchanged,
  NotReachedLimit,
  NotReachedError,
  PathTooLong,
  Failed,
  Unexplained,
};
// How one run of Setup ended.
enum class Outcome {
  Completed,
  Silent,
  InstallError,
  TooManyCabs,
  TooManyCabsReset,
  NoticeWithoutReset,
  ResetWithoutNotice,
  PowerLoss,
  TimedOut,
  NotStarted,
  OtherBox,
  EndedAtOnce,
};
// What a warning about the folder or the fleet is about. The first kinds are only told;
// from NotACabinet on, each is a problem that fails the twins it concerns (its reason of
// the same name) unless allowed.
enum class WarningKind {
  ServicePack,
  NoServicePack,
  OtherModelServicePack,
  Order,
  CountWithoutExport,
  NotACabinet,
  Damaged,
  NoSetupFile,
  DeviceMismatch,
  SetupDll,
  SameApplication,
  UnusableName,
  SameName,
  PathTooLong,
  FolderNamedCab,
};
// Why a twin passes or fails: the verdict's reasons.
enum class Reason {
  Box,
  CabFailed,
  Unexplained,
  OtherModelServicePack,
  InstalledTwice,
  Loop,
  BoxAtEveryStart,
  TimedOut,
  PowerLoss,
  Ending,
  Refused,
  ForeignSetup,
  NoServicePack,
  NotACabinet,
  Damaged,
  NoSetupFile,
  DeviceMismatch,
  SetupDll,
  SameApplication,
  UnusableName,
  SameName,
  PathTooLong,
  FolderNamedCab,
  PowerCutCalibration,
  PowerCutInstaller,
  PowerCutSetup,
};

// What a power cut left, by whose writes it concerns: Setup's calibration record, what
// the installer wrote or registered, Setup's own values and runs.
enum class CutClass { Calibration, Installer, Setup };
const char* NameOf(CutClass cut);
std::optional<CutClass> CutClassNamed(std::string_view name);
// The verdict's reason for damage of a class.
Reason ReasonOf(CutClass cut);

const char* NameOf(Fate fate);
const char* NameOf(Outcome outcome);
const char* NameOf(WarningKind kind);
const char* WordsOf(Outcome outcome);  // the outcome for people
// The reason by which a warning of this kind fails the twins it concerns; none for the
// kinds that are only told.
std::optional<Reason> ReasonOf(WarningKind kind);
std::optional<Fate> FateNamed(std::string_view name);
std::optional<Outcome> OutcomeNamed(std::string_view name);
std::optional<WarningKind> WarningKindNamed(std::string_view name);

// One row of the table of verdict reasons: its code (which --allow takes), its words,
// and whether it fails a twin unless allowed.
struct ReasonInfo {
  Reason reason;
  const char* code;
  const char* words;
  bool failsByDefault;
};
std::span<const ReasonInfo> ReasonTable();
const ReasonInfo& InfoOf(Reason reason);
std::optional<Reason> ReasonNamed(std::string_view code);

// What the rehearsal assumes of the terminals, which nothing here can know: one line each.
// With `powerCuts`, what a sweep of power cuts assumes too.
std::vector<std::string> Assumptions(bool powerCuts);

// ---------------------------------------------------------------- the request

// The folder's Setup.exe, and the Setup the twins run where it is a Windows program.
struct SetupFile {
  std::string name;              // as the folder names it ("SETUP.EXE"); "" when it holds none
  bool windowsProgram = false;   // a PE file, which no twin can run
  bool hostBuild = false;        // the twins run the host build of Setup in its place
  std::string mark, ranMark;     // the version marks of it and of the host build ("" none)

  // Where the twins find Setup in the folder: the folder's own name for it.
  std::string TwinName() const { return name.empty() ? "Setup.exe" : name; }
};

// One file of the inputs, as its identity counts: its name below its folder, its size
// and its last-write time (nanoseconds since 1970).
struct FileIdentity {
  std::string name;
  int64_t size = 0;
  int64_t lastWrite = 0;
};
// What a rehearsal's outcome depends on besides the terminals' own code: the folder's
// files, the fleet folder's files, and the options that change outcomes, by name. Two
// rehearsals of the same inputs, on any machines, have the same digest (Shards.cpp).
struct Inputs {
  std::vector<FileIdentity> folder, fleet;
  std::vector<std::pair<std::string, std::string>> options;
  std::string Digest() const;
};
// Part `k` of `n` of a rehearsal's twins.
struct Shard {
  int k = 1, n = 1;
};

// What the user asked for, checked.
struct Plan {
  std::string folder;              // host folder, as it will be copied to a terminal
  std::string setupProgram;        // host path of the Setup to run
  SetupFile setupFile;
  std::string installerProgram;    // host path of the CAB installer stand-in
  std::string windowOwnerProgram;  // host path of the window owner
  std::u16string at;               // CE folder of the copy: "\FlashDisk\SP"
  std::string out;                 // host folder of the twins and report.html
  bool outCreated = false;         // made by this rehearsal (printed, as nobody named it)
  int runs = 2;
  int jobs = 1;
  double timeScale = 0.001;  // Setup's five seconds before the reset take 5 ms
  bool fleet = false;              // the twins include a fleet's exports
  // The twins' device, as `termsim create` takes it; `given` names what the command line
  // set ("processor", "ce_version", "ce_build", "file_times"), the rest is assumed.
  std::string processor = "ARM", ceVersion = "4.10", ceBuild = "908", fileTimes = "fat";
  std::set<std::string> given;
  std::string regEncoding;         // of exports without a BOM that are not UTF-8
  std::set<Reason> allowed;        // reasons that fail no twin (--allow)
  Inputs inputs;
  std::optional<Shard> shard;      // this rehearsal is one part of the twins
  // Power cuts after each twin's rehearsal: none, every cut point, or `sample` points
  // drawn by `seed`.
  enum class Cuts { None, All, Sample } cuts = Cuts::None;
  int sample = 0;
  uint64_t seed = 0;
};

// One twin to rehearse: a clean terminal of a kind, or a device's export.
struct TwinRequest {
  std::string name;      // the twin's folder under Plan::out/twins
  std::string model;     // LM310 | LM320, for a clean twin
  std::string language;  // en | ja, for a clean twin
  std::string regFile;   // the export, for a fleet twin ("" for a clean one)
  int64_t count = 1;     // terminals of the fleet that look like this one
  std::string refused;   // why it cannot be rehearsed at all; "" when it can
};

struct Warning {
  WarningKind kind;
  std::string cab;  // the file it is about; "" for the folder
  std::string text;
  std::string terminalKind;        // the kind of terminal it is about; "" for every twin
  std::vector<std::string> twins;  // the twins it concerns, once the twins are known
};

// The twins of a fleet folder: one per export (*.reg in any letter case), counted by
// NAME.count; warnings for what the folder holds besides (Fleet.cpp). A folder that
// is none or holds no export is a BadRequest.
struct Fleet {
  std::vector<TwinRequest> twins;
  std::vector<Warning> warnings;
};
Fleet ReadFleet(const std::string& folder);

// The four kinds of terminal, as LM310-en ... LM320-ja, in the model table's order.
std::vector<std::string> AllKinds();
// The service-pack file name that a kind's Setup looks for.
std::string ServicePackNameOfKind(const std::string& kind);

// What the folder's listing tells (Folder.cpp), and what the installer would say of
// each of its cabinets on a terminal of the plan's device (Check.cpp): the whole check,
// on a scratch image under `scratch` (a folder that is made and removed), nothing run.
std::vector<Warning> FolderWarnings(const Plan& plan);
// FOLDER as a terminal's folder can hold it, walked without following links: a link is
// a BadRequest unless it stays inside FOLDER and names a regular file (then copied as
// that file); a FIFO, device or socket is a BadRequest, never opened.
void CheckFolderEntries(const std::string& folder);
std::vector<Warning> CheckFolder(const Plan& plan, const std::string& scratch);
// The twins each warning concerns, and the reasons of the problems among them added to
// those twins' findings.
void ApplyFolderWarnings(std::vector<Warning>& warnings, std::vector<struct TwinReport>& twins);

// ---------------------------------------------------------------- the report

// What became of one CAB in one run.
struct CabFate {
  std::string name;
  Fate fate = Fate::Installed;
  std::vector<int64_t> exitCodes;  // the installer's, one per start that ended
  std::string application;         // the SOFTWARE\Apps key its installation registered
  std::string reason;              // why it failed or was not reached; "" when nothing to say
  std::optional<Fate> expected;    // the explanation's fate, where the run disagreed with it
  std::vector<std::string> files, registry, shortcuts;  // what the installer journalled

  // The last installer's exit code.
  std::optional<int64_t> ExitCode() const {
    return exitCodes.empty() ? std::nullopt : std::optional<int64_t>(exitCodes.back());
  }
};

struct Box {
  std::string text;
  int64_t style = 0;
};

struct RunReport {
  Outcome outcome = Outcome::Silent;
  std::optional<int64_t> exitCode;  // Setup's; none when the terminal reset under it
  bool reset = false;
  std::optional<Box> box;
  std::vector<CabFate> cabs;  // in the order Setup takes them
};

// One reason a twin gives the verdict, with what it is about.
struct Finding {
  Reason reason;
  std::string text;
};

// The device a twin is, as a setup file is checked against it.
struct Device {
  uint32_t processor = 0;
  std::string processorName;  // "ARM"; "" for a number no name stands for
  std::string ceVersion;      // "4.10"
  uint32_t ceBuild = 0;
  std::string fileTimes;       // fat | exact
  std::vector<std::string> assumed;  // the settings nobody gave
};
Device DeviceOf(const Plan& plan);

// One moment of a twin's rehearsal at which the power can be cut: a state-changing call
// of Setup or of the installer, as a fault rule singles it out (its --after and
// --caller), cut plainly or, for a call that writes file data, torn.
struct CutPoint {
  int number = 0;  // from 1, in the order of the calls
  std::string api, target, caller;
  bool torn = false;
  int64_t after = 0;
};
// The `termsim fault` rule that cuts the power at `point` on a copy of NAME.before/
// (IMAGE stands for the copy).
std::string RepeatRule(const CutPoint& point);

// A cut point after which the twin did not end as its rehearsal did.
struct DamagedPoint {
  CutPoint point;
  CutClass cut = CutClass::Setup;
  std::vector<std::string> differences;  // in words, one each
};

// The power cuts of one twin: how many were run (`points`, of `of` in the full sweep),
// how many recovered, and the damaged ones. `sample`: the numbers of a sample's points.
struct PowerCuts {
  int points = 0, of = 0, recovered = 0;
  std::vector<int> sample;
  std::vector<DamagedPoint> damaged;
};

struct TwinReport {
  std::string name;
  std::string kind;          // LM310-en; "unknown-en" for a platform name of no model
  std::string platformName;  // Platform\Name as the twin holds it ("" when absent)
  bool fleet = false;        // a device's export, not a clean kind
  int64_t count = 1;
  std::string refused;       // why the twin could not be rehearsed; "" when it was
  std::string image;         // host folder of the twin
  int64_t processes = 0;     // processes started on the twin: Setup, the installers, the welcome window's owners
  std::vector<std::string> warnings;
  std::vector<RunReport> runs;
  std::vector<Finding> findings;  // the verdict's reasons, in the order found
  std::optional<PowerCuts> powerCuts;  // when the rehearsal cut the power
  std::vector<CutPoint> cutPoints;     // the points to cut, between the reference and the cuts
};

struct Report {
  Plan plan;
  std::vector<Warning> warnings;
  std::vector<TwinReport> twins;
};

// Makes Plan::out (absent or empty, or a new folder when none is named), checks the
// folder, and rehearses every twin, at most Plan::jobs at once, each in its own process
// (the host library attaches one image per process). What is left: the twins that ran,
// under out/twins. `warnings` are the fleet folder's, which the report keeps.
Report Rehearse(Plan plan, const std::vector<TwinRequest>& requests, std::vector<Warning> warnings);

// Rehearses one twin in this process, which attaches its image: makes it, runs Setup
// up to plan.runs times and returns what happened (Twin.cpp). For a sweep of power
// cuts it keeps the image before the runs as NAME.before beside the twin, gives the
// cut points and writes what the runs wrote to `stateFile`.
TwinReport RehearseTwin(const Plan& plan, const TwinRequest& request, const std::string& stateFile);

// The twin's report through a file, from the process that rehearsed it to the one
// that reports (Transfer.cpp). Save gives false, errno set, when the file could not be
// written whole; Load gives nullopt for a missing or cut file.
bool SaveTwinReport(const TwinReport& twin, const std::string& path);
std::optional<TwinReport> LoadTwinReport(const std::string& path);

// ---------------------------------------------------------------- the folder's Setup (SetupFile.cpp)

// What a file is as a program: a Windows program (a PE file), one the terminal runs (a
// host executable or a script), or neither.
enum class ProgramForm { Windows, Terminal, Neither };
ProgramForm ProgramFormOf(const std::string& path);
// The version mark a build of Setup carries (setup/VersionMark.h); "" when it has none.
std::string VersionMarkOf(const std::string& path);
// "matches", "differs" or "missing": the folder's mark against the host build's, where
// the twins ran that in its place; nullptr when nothing was compared.
const char* MarkComparison(const SetupFile& setup);
// The reason every twin gives when the folder's Setup is not the one the twins ran.
std::optional<Finding> SetupFinding(const SetupFile& setup);

// ---------------------------------------------------------------- the verdict (Verdict.cpp)

// The reasons a twin gives the verdict, from its report; `servicePackMissing`: the
// folder lacks the service pack of the twin's model.
std::vector<Finding> FindingsOf(const TwinReport& twin, bool servicePackMissing);
// A box other than the completion notice: the install-error box, either limit box, or
// one Setup does not show.
bool IsBox(Outcome outcome);
// A finding fails its twin when its reason fails by default and was not allowed.
bool Fails(const Finding& finding, const std::set<Reason>& allowed);
bool TwinPassed(const TwinReport& twin, const std::set<Reason>& allowed);
bool Passed(const Report& report);

// ---------------------------------------------------------------- reports read back, and shards

// The version of the --json report's shape, at its top as "schema_version".
inline constexpr int kSchemaVersion = 1;
// A --json report read back (ReportJson.cpp); BadRequest naming the file for anything
// that is not a report of this schema version.
Report ReadReport(const std::string& path);

// The part, from 1 to `parts`, that the twin `name` falls in: FNV-1a (64 bits) of the
// name's UTF-8, modulo `parts`, plus one, so that a twin keeps its part whatever else
// the fleet holds (Shards.cpp).
int ShardOf(const std::string& name, int parts);
// The inputs' identity: the files of `folder` (all of its tree) and of `fleetFolder`
// ("" for none), and `options`, the settings that change outcomes, as given.
Inputs IdentifyInputs(const std::string& folder, const std::string& fleetFolder,
                      std::vector<std::pair<std::string, std::string>> options);
// The parts of one sharded rehearsal as the report one rehearsal of all its twins gives.
// `names` name the parts' files for the refusals (BadRequest): a part missing or given
// twice, or parts of different inputs.
Report MergeParts(const std::vector<Report>& parts, const std::vector<std::string>& names);

// One change between two reports (Compare.cpp): of a twin's verdict ("verdict"), a
// run's outcome ("outcome"), a CAB's fate ("fate"; before or after none when the CAB
// is new in the folder or gone from it), or a twin only one report has ("added",
// "removed").
struct Change {
  std::string twin;
  std::optional<int> run;
  std::string cab;  // "" when the change is no CAB's
  std::string what;
  std::optional<std::string> before, after;
};
std::vector<Change> CompareReports(const Report& before, const Report& after);
// In words, one line each; or as {"schema_version", "changes"}.
void PrintChanges(const std::vector<Change>& changes, bool json);

// ---------------------------------------------------------------- the forms (Forms.cpp)

void PrintTable(const Report& report);
void PrintJson(const Report& report);
std::string HtmlPage(const Report& report);
// The folder check alone: every finding, and whether any fails.
void PrintCheck(const Plan& plan, const std::vector<Warning>& warnings, bool json);
bool CheckPassed(const std::vector<Warning>& warnings);
// The table of verdict reasons, for --help: one line each.
std::string ReasonTableText();
// The report as JUnit XML (Junit.cpp).
std::string JunitXml(const Report& report);
// The codes of `allowed`, apart by commas.
std::string AllowedText(const std::set<Reason>& allowed);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_REHEARSAL_H
