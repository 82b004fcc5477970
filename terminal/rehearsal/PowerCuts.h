// Inside the workers of a power-cut sweep: the cut points of a twin's rehearsal, and
// what a twin holds of everything Setup and the installer wrote, compared in words.
#ifndef KORVA_TERMINAL_REHEARSAL_POWERCUTS_H
#define KORVA_TERMINAL_REHEARSAL_POWERCUTS_H

#include "platform/host/Faults.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <filesystem>
#include <map>

namespace rehearsal {

// The state-changing calls of Setup (its canonical CE path `setup`) and of the
// installer, in order: each a plain cut, and a torn one where it writes file data.
std::vector<CutPoint> CutPointsOf(const std::vector<host::TracedCall>& calls, const std::u16string& setup);
// `sample` of the numbers 1..points drawn by `seed`, in order; the same for one seed.
std::vector<int> SamplePoints(int points, int sample, uint64_t seed);

// One thing the rehearsal wrote, keyed by what it is ("F" a file's CE path, "D" a
// folder, "V" a registry KEY:VALUE, "K" a key), and what the twin holds of it.
struct Watch {
  CutClass cut = CutClass::Setup;
  std::string cab;                      // the CAB whose installation wrote the file
  std::optional<std::string> contents;  // none: absent
};
struct TwinState {
  std::map<std::string, Watch> watches;
};
// What the rehearsal's calls wrote, not yet captured; `twin` tells which CAB wrote a file.
TwinState ReferenceWatches(const std::vector<host::TracedCall>& calls, const std::u16string& setup,
                           const TwinReport& twin);
// Reads every watch on the attached twin, and the applications it has registered.
void Capture(TwinState& state);
bool SaveState(const TwinState& state, const std::string& path);
std::optional<TwinState> LoadState(const std::string& path);
// Every watch whose contents differ, with its class, in words; `at` is the folder's
// CE path, where the CABs a CabFile names lie.
std::vector<std::pair<CutClass, std::string>> Differences(const TwinState& reference, const TwinState& cut,
                                                           const std::u16string& at);

// Copies a twin's image folder whole, every entry born in the order of the original so
// that the copy lists its folders as the twin does; last-write times kept (Twin.cpp).
void CopyImage(const std::filesystem::path& from, const std::filesystem::path& to);

// Cuts the power at `point` on a copy of the twin's image before its rehearsal, at
// `image`, then boots it and runs Setup up to plan.runs times after the cut; compares
// the end with the rehearsal's (`reference`), and the reasons of the runs after the
// cut with `twin`'s. nullopt when it recovered (Twin.cpp).
std::optional<DamagedPoint> CutAndCompare(const Plan& plan, const TwinReport& twin, const CutPoint& point,
                                          const std::string& image, const TwinState& reference);

}  // namespace rehearsal

#endif  // KORVA_TERMINAL_REHEARSAL_POWERCUTS_H
