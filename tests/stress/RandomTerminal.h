// Terminals drawn from a seed: the model and language, the folder Setup is started from
// and what lies in it, the applications already installed, and the faults the terminal
// will show. The same seed draws the same terminal.
#ifndef KORVA_TESTS_STRESS_RANDOMTERMINAL_H
#define KORVA_TESTS_STRESS_RANDOMTERMINAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/stress/StressSupport.h"

namespace stress {

enum class EntryKind {
  kCabinet,  // a good cabinet of the pool
  kDamaged,  // a damaged cabinet of the pool
  kFolder,   // a sub-folder
  kText,     // a file that is no cabinet
};

// One entry of the start folder, in the order the folder is filled.
struct Entry {
  std::string name;  // UTF-8
  EntryKind kind = EntryKind::kCabinet;
  size_t poolIndex = 0;  // into the pool's cabinets or damaged cabinets
};

// How big a terminal may be drawn.
struct DrawLimits {
  int maxApplications = 40;  // in the inventory
  int maxEntries = 12;       // start-folder entries besides Setup and service packs
};

struct Terminal {
  uint64_t seed = 0;
  std::vector<std::string> createArguments;  // for `termsim create IMAGE`
  std::string language;                      // "en" or "ja"
  std::string servicePackName;               // the model's service-pack CAB; "" when no model matches
  bool resetIgnored = false;                 // the system driver returns without a reset
  bool exactTimes = false;                   // --file-times exact: the flash disk keeps 100 ns
  std::string folder;                        // CE folder of Setup, no trailing backslash ("" is the root)
  std::vector<Entry> entries;
  std::string regFile;                           // the inventory and DateTime, as a .reg file
  std::vector<std::vector<std::string>> faults;  // each: `termsim fault IMAGE` arguments

  std::string SetupPath() const { return folder + "\\Setup.exe"; }
  std::string PathOf(const std::string& name) const { return folder + "\\" + name; }
  // The pool file an entry links to; null for a folder.
  const PoolFile* PoolFileOf(const Entry& entry, const Pool& pool) const;
  // The entry whose name is the model's service-pack CAB in any letter case; null when none.
  const Entry* ServicePackEntry() const;
  // Its last-write time as the terminal reports it, in DateTime's bytes; "" when it is no file.
  std::string ServicePackTime(const Pool& pool) const;
  // A readable summary for failure messages.
  std::string Describe() const;
};

Terminal DrawTerminal(uint64_t seed, const Pool& pool, const DrawLimits& limits);

// Makes the terminal's image at `image` (absent): `termsim create`, the pool's files
// linked into fs/, the inventory imported, the fault rules added. False with a reason.
bool BuildTerminal(const Terminal& terminal, const Pool& pool, const std::string& image, const std::string& scratch,
                   std::string* why);

// fs/-relative host path of a CE path ("\FlashDisk\SP" -> "FlashDisk/SP").
std::string HostRelative(const std::string& cePath);

}  // namespace stress

#endif  // KORVA_TESTS_STRESS_RANDOMTERMINAL_H
