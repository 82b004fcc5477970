// Inside one twin: what Setup's own rules expect of a run, from the twin's state before
// it, and what the run's journal showed, judged CAB by CAB.
#ifndef KORVA_TERMINAL_REHEARSAL_TWINRUN_H
#define KORVA_TERMINAL_REHEARSAL_TWINRUN_H

#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <filesystem>
#include <map>

namespace rehearsal {

// The read-only programs every twin runs: the CAB installer, the window owner, Setup
// (Rehearse.cpp).
std::filesystem::path StandInsOf(const Plan& plan);

// The folder of the rehearsal's own files where its prepared images are (Rehearse.cpp).
std::filesystem::path PreparedImagesOf(const Plan& plan);

// What `termsim create` would be told for the twin of `request`, not durable: a twin is
// made again, never recovered after a crash of the host (Twin.cpp).
host::ImageOptions TwinImageOptions(const Plan& plan, const TwinRequest& request);
// Makes, once per rehearsal, the image that the twins of the same options as `request`'s
// are copied from (Twin.cpp). Called before the twins' processes start.
void PrepareTwinImage(const Plan& plan, const TwinRequest& request);
// Copies the folder to `plan.at` of the attached image, made folder by folder as the
// terminal names them, each entry born after the one before so that the terminal lists
// them as the folder would on a terminal, last-write times kept; Setup.exe left out.
// Returns the folder's host path.
std::filesystem::path CopyFolderIn(const Plan& plan);

// A text field of a journal event as UTF-8; "" when absent or a number.
std::string TextField(const host::JournalEvent& e, std::string_view name);

// The explanation's fate of one CAB, before the run decides.
struct Expected {
  std::string name;     // as the folder lists it
  std::u16string path;  // as Setup hands it to the installer
  Fate fate = Fate::Installed;
  std::string reason;
  int pass = 0;  // 0 the service pack, 1 the patches, 2 the other CABs
};

// The twin's profile as Setup reads it: call before ExplainRun.
struct Profile {
  bool platformRead = false;
  std::string platformName;
  std::string kind;  // LM310-en, or unknown-en when no model row has the name
  int language = 0;  // LANG_ENGLISH | LANG_JAPANESE
  std::u16string servicePack;  // the service-pack CAB of its model; "" for none
};
Profile ReadProfile();

// The application each cabinet registered in the twin's earlier runs, by its path
// case-folded: the explanation knows that two cabinets of one take each other's CabFile.
using Applications = std::map<std::u16string, std::string>;
Applications RegisteredApplications(const std::vector<host::JournalEvent>& events);

// Every CAB of the folder `at` (no trailing backslash) in the order Setup takes them,
// with the fate Setup's rules give it on the attached twin as it stands.
std::vector<Expected> ExplainRun(const std::u16string& at, const Profile& profile, const Applications& applications);
// Whether the folder `at` holds the service pack of the profile's model.
bool HoldsServicePack(const std::u16string& at, const Profile& profile);

// What the run showed, from the journal after the run's start.
struct RunFacts {
  std::vector<host::JournalEvent> events;
  std::optional<int64_t> setupExit;  // none when the terminal reset or Setup never ended
  bool timedOut = false;
  std::string startError;  // Setup could not be started
};
RunReport JudgeRun(const std::vector<Expected>& expected, const RunFacts& facts);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_TWINRUN_H
