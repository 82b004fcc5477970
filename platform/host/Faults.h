// The image's fault rules: which call of which program fails, and how (an ERROR_* code
// or a power cut), and the call trace that lets a rule single out any one call. Rule
// changes and database failures throw HostError.
#ifndef KORVA_PLATFORM_HOST_FAULTS_H
#define KORVA_PLATFORM_HOST_FAULTS_H

#include "platform/coredll.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// PowerLoss: every process of the terminal ends at the call (CheckFault never returns it).
enum class FaultAction { None, Fail, PowerLossHalf, PowerLoss };
struct Fault {
  FaultAction action = FaultAction::None;
  DWORD error = 0;
};
// A rule's error text: "power-loss", "power-loss:half", an ERROR_* name or a number;
// nullopt for any other text.
std::optional<Fault> ParseFaultError(std::string_view text);
// The text a rule stores for `fault`, as the journal's fault event shows it.
std::string FaultErrorText(const Fault& fault);
// Asks the image's fault rules about one call. A rule that fires is journalled. A
// `power-loss` rule ends every process of the terminal here and does not return;
// `power-loss:half` returns PowerLossHalf so that the caller writes half of its bytes
// and then cuts the power.
// `api` must be one of FaultApis(): a call site that names another is a programming
// error and aborts. A registry call's target begins with its key's root
// ("HKEY_LOCAL_MACHINE\SOFTWARE\X:Value"); the journal shows keys of
// HKEY_LOCAL_MACHINE without it, and a rule's pattern without a root means that root.
// `readsOnly`: this call of an API that may change the terminal's state changes nothing
// (a CreateFileW that opens an existing file for reading), which a call trace notes.
Fault CheckFault(const char* api, std::u16string_view target, bool readsOnly = false);

// What a call's rules match: its CE path, its KEY, its KEY:VALUE, or nothing ("*").
enum class FaultTarget { Path, Key, KeyValue, None };
struct FaultApi {
  const char* name;
  FaultTarget target;
  bool writesHalf;  // power-loss:half can cut it after half of its bytes
  bool changes = false;  // it may change the terminal's state (a write, a deletion, a start)
};
// Every call that consults fault rules: the one list termsim checks rules against.
std::span<const FaultApi> FaultApis();
const FaultApi* FindFaultApi(std::string_view name);  // any case; null when absent
// Throws HostError (ERROR_INVALID_PARAMETER) with a one-line reason when `pattern` can
// never match a target of `api`.
void ValidateFaultPattern(const FaultApi& api, std::u16string_view pattern);

struct FaultRule {
  int64_t id = 0;                       // its number, given by AddFaultRule
  std::string api;                      // a name of FaultApis()
  std::u16string pattern;
  std::string error;                    // ERROR_* name or number, power-loss, power-loss:half
  int64_t after = 0;
  std::optional<int64_t> times;         // none: every matching call after `after`
  std::optional<std::u16string> caller;  // canonical CE path of the calling program
  int64_t fired = 0;                    // how often it fired so far (ListFaultRules)
};
// Rule changes, each one transaction; an unknown API throws HostError.
int64_t AddFaultRule(const FaultRule& rule);
std::vector<FaultRule> ListFaultRules();  // in the order they are consulted
bool RemoveFaultRule(int64_t id);  // false when there is no such rule
void ClearFaultRules();

// A call trace: while it is on, every call of every program of the terminal that
// consults fault rules is recorded in order, so that a later rule can single out any
// one of them. It rides on the rules (one rule per API that only records), so a call
// costs no more than a call with rules on its API.
struct TracedCall {
  std::string api;
  std::u16string target;  // as a rule's PATTERN names it (keys of HKLM without root)
  std::u16string caller;  // the program's canonical CE path ("" outside a terminal)
  bool changes = false;   // a state-changing call (file data, a deletion, a start...)
  bool writesHalf = false;  // it writes file data: a torn cut applies
  // How many earlier calls a rule `api target --caller caller` matches: its --after.
  int64_t after = 0;
};
void StartCallTrace();
// Ends the trace begun by StartCallTrace and gives its calls, in order.
std::vector<TracedCall> StopCallTrace();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_FAULTS_H
