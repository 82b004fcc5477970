// What any run of Setup must have done, judged from outside: from the journal it left
// and from the registry before and after it, for a terminal whose folder and model the
// test knows.
#ifndef KORVA_TESTS_STRESS_RUNPROPERTIES_H
#define KORVA_TESTS_STRESS_RUNPROPERTIES_H

#include <string>
#include <vector>

#include "tests/stress/RandomTerminal.h"
#include "tests/stress/StressSupport.h"

namespace stress {

// How a run ended, as the user saw it.
enum class Ending { kUnknown, kSilent, kCompleted, kInstallError, kTooManyCabs, kTooManyCabsReset };

struct RunRecord {
  int exitCode = -1;  // of `termsim run`
  double seconds = 0;
  std::vector<e2e::Event> events;  // this run's part of the journal
  std::string standardError;       // termsim's, which Setup's and the installer's join
  Registry before;
  Registry after;
};

struct Verdict {
  Ending ending = Ending::kUnknown;
  std::vector<std::string> violations;
};

// `previous` is the verdict of the run before on the same terminal, if any.
Verdict CheckRun(const Terminal& terminal, const Pool& pool, const RunRecord& run, const Verdict* previous,
                 double secondsBound);

const char* EndingName(Ending ending);

}  // namespace stress

#endif  // KORVA_TESTS_STRESS_RUNPROPERTIES_H
