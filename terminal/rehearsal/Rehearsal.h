// termsim rehearse: a service-pack folder run by the real Setup on twins of a fleet's
// terminals, and the report of what became of every CAB on each.
#ifndef KORVA_TERMINAL_TERMSIM_REHEARSAL_H
#define KORVA_TERMINAL_TERMSIM_REHEARSAL_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace termsim::rehearsal {

// What the user asked for, checked.
struct Plan {
  std::string folder;          // host folder, as it will be copied to a terminal
  std::string setupProgram;    // host path of the Setup to run
  std::u16string at;           // CE folder of the copy: "\FlashDisk\SP"
  std::string out;             // host folder of the twins and report.html
  bool outCreated = false;     // made by this rehearsal (printed, as nobody named it)
  int runs = 2;
  int jobs = 1;
  double timeScale = 0.01;
  bool json = false;
};

// One twin to rehearse: a clean terminal of a kind, or a device's export.
struct TwinRequest {
  std::string name;    // the twin's folder under Plan::out
  std::string model;   // LM310 | LM320, for a clean twin
  std::string language;  // en | ja, for a clean twin
  std::string regFile;   // the export, for a fleet twin ("" for a clean one)
  int64_t count = 1;     // terminals of the fleet that look like this one
};

// What became of one CAB in one run.
struct CabFate {
  std::string name;
  std::string fate;      // installed, skipped-registered, ... (README: termsim rehearse)
  std::optional<int64_t> exitCode;  // the installer's, when it was started and ended
  std::string reason;    // why it failed or was not reached; "" when nothing to say
  std::string expected;  // the explanation's fate, where the run disagreed with it
  std::vector<std::string> files, registry, shortcuts;  // what the installer journalled
};

struct Box {
  std::string text;
  int64_t style = 0;
};

struct RunReport {
  std::string outcome;  // completed, silent, install-error, ... (README)
  std::string words;    // the outcome for people
  std::optional<int64_t> exitCode;  // Setup's; none when the terminal reset under it
  bool reset = false;
  std::optional<Box> box;
  std::vector<CabFate> cabs;  // in the order Setup takes them
};

struct TwinReport {
  std::string name;
  std::string kind;          // LM310-en; "unknown-en" for a platform name of no model
  std::string platformName;  // Platform\Name as the twin holds it ("" when absent)
  std::string source;        // kind | fleet
  int64_t count = 1;
  std::string refused;       // why the twin could not be rehearsed; "" when it was
  std::string image;         // host folder of the twin
  std::vector<std::string> warnings;
  std::vector<RunReport> runs;
};

struct Warning {
  std::string kind;  // service-pack, no-service-pack, other-model-service-pack, order, ...
  std::string cab;   // the file it is about; "" for the folder
  std::string text;
};

struct Report {
  Plan plan;
  std::vector<Warning> warnings;
  std::vector<TwinReport> twins;
};

// The four kinds of terminal, as LM310-en ... LM320-ja, in the model table's order.
std::vector<std::string> AllKinds();
// The service-pack file name that a kind's Setup looks for.
std::string ServicePackNameOfKind(const std::string& kind);

// Warnings about the folder before any run (RehearsalFolder.cpp).
std::vector<Warning> FolderWarnings(const Plan& plan);

// Rehearses one twin in this process, which attaches its image: makes it, runs Setup
// up to plan.runs times and returns what happened (RehearsalTwin.cpp).
TwinReport RehearseTwin(const Plan& plan, const TwinRequest& request);

// The twin's report through a file, from the process that rehearsed it to the one
// that reports (RehearsalTwin.cpp). Load gives nullopt for a missing or cut file.
void SaveTwinReport(const TwinReport& twin, const std::string& path);
std::optional<TwinReport> LoadTwinReport(const std::string& path);

// Whether a twin ended as the exit status wants it: its first run with the completion
// notice or silently, its later runs silently.
bool TwinPassed(const TwinReport& twin);

// The three forms (RehearsalForms.cpp).
void PrintTable(const Report& report);
void PrintJson(const Report& report);
std::string HtmlPage(const Report& report);

}  // namespace termsim::rehearsal

#endif  // KORVA_TERMINAL_TERMSIM_REHEARSAL_H
