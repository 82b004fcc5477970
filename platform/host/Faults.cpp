// Fault rules: make a named call fail, or cut the power there. Rules live in the
// image, so they reach every process of the terminal, and their counts are shared.
#include "platform/host/HostInternal.h"

#include <unistd.h>

namespace host {

Fault CheckFault(const char* api, std::u16string_view target) {
  if (!IsAttached()) return {};
  {
    // The common case, no rule for this call, costs one read and no write lock.
    Statement any("SELECT 1 FROM faults WHERE api = ? COLLATE NOCASE LIMIT 1");
    any.Bind(1, std::string_view(api));
    if (!any.Step()) return {};
  }
  struct Decision {
    Fault fault;
    std::string error;
  };
  std::optional<Decision> decision;
  {
    Transaction transaction;
    Statement rules("SELECT id, pattern, error, after, times, caller, matched FROM faults WHERE api = ? COLLATE NOCASE ORDER BY id");
    rules.Bind(1, std::string_view(api));
    while (!decision && rules.Step()) {
      if (!GlobMatch(rules.Text16(1), target)) continue;
      if (!rules.IsNull(5) && !EqualsIgnoreCase(rules.Text16(5), ModulePath())) continue;
      const int64_t id = rules.Int(0), after = rules.Int(3), matched = rules.Int(6);
      Statement count("UPDATE faults SET matched = matched + 1 WHERE id = ?");
      count.Bind(1, id).Run();
      if (matched < after) continue;
      if (!rules.IsNull(4) && matched >= after + rules.Int(4)) continue;
      Decision d;
      d.error = rules.Text(2);
      if (d.error == "power-loss" || d.error == "power-loss:half") {
        d.fault.action = d.error == "power-loss" ? FaultAction::None : FaultAction::PowerLossHalf;
      } else {
        d.fault.action = FaultAction::Fail;
        d.fault.error = ErrorFromName(d.error).value_or(ERROR_GEN_FAILURE);
        d.error = ErrorName(d.fault.error);
      }
      decision = d;
    }
    transaction.Commit();
  }
  if (!decision) return {};
  Journal("fault", {{"api", FromUtf8(api)}, {"target", std::u16string(target)}, {"error", FromUtf8(decision->error)}});
  if (decision->error == "power-loss") PowerLoss();
  return decision->fault;
}

void PowerLoss() {
  EndTerminalProcesses(false);
  ::_exit(137);  // not reached: the caller ended with the terminal
}

}  // namespace host
