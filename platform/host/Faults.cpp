// Fault rules: make a named call fail, or cut the power there. Rules live in the
// image, so they reach every process of the terminal, and their counts are shared.
//
// Every rule change bumps the database's user_version in its own transaction, so a
// process knows from one header read whether the set of APIs with rules it holds is
// still the image's: a call whose API has no rule reads no table and takes no lock.
// A call that has just read the image need not even read the header while the
// database has not changed since the version was last read.
#include "platform/host/HostInternal.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace host {

namespace {

// Every call of the terminal that consults fault rules, and what its target is.
constexpr FaultApi kFaultApis[] = {
    {"CopyFileW", FaultTarget::Path, true, true},
    {"CreateDirectoryW", FaultTarget::Path, false, true},
    {"CreateFileW", FaultTarget::Path, false, true},
    {"CreateMutexW", FaultTarget::None, false},
    {"CreateProcessW", FaultTarget::Path, false, true},
    {"CreateThread", FaultTarget::None, false},
    {"DeleteFileW", FaultTarget::Path, false, true},
    {"DeviceIoControl", FaultTarget::None, false},
    {"FindFirstFileW", FaultTarget::Path, false},
    {"FindWindowW", FaultTarget::None, false},
    {"GetExitCodeProcess", FaultTarget::None, false},
    {"GetExitCodeThread", FaultTarget::None, false},
    {"GetFileTime", FaultTarget::Path, false},
    {"GetWindowThreadProcessId", FaultTarget::None, false},
    {"MessageBoxW", FaultTarget::None, false},
    {"OpenProcess", FaultTarget::None, false},
    {"PostMessageW", FaultTarget::None, false},
    {"ReadFile", FaultTarget::Path, false},
    {"RegCreateKeyExW", FaultTarget::Key, false, true},
    {"RegDeleteKeyW", FaultTarget::Key, false, true},
    {"RegDeleteValueW", FaultTarget::KeyValue, false, true},
    {"RegEnumKeyExW", FaultTarget::Key, false},
    {"RegEnumValueW", FaultTarget::Key, false},
    {"RegOpenKeyExW", FaultTarget::Key, false},
    {"RegQueryInfoKeyW", FaultTarget::Key, false},
    {"RegQueryValueExW", FaultTarget::KeyValue, false},
    {"RegSetValueExW", FaultTarget::KeyValue, false, true},
    {"ReleaseMutex", FaultTarget::None, false},
    {"TouchCalibrate", FaultTarget::None, false, true},
    {"WaitForSingleObject", FaultTarget::None, false},
    {"WriteFile", FaultTarget::Path, true, true},
};

// Sorted by name, so that a call site's exact name is found by binary search.
constexpr bool SortedByName() {
  for (size_t i = 1; i < std::size(kFaultApis); ++i) {
    if (std::string_view(kFaultApis[i - 1].name) >= std::string_view(kFaultApis[i].name)) return false;
  }
  return true;
}
static_assert(SortedByName());

bool SameAsciiName(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

constexpr size_t kFaultApiCount = std::size(kFaultApis);

size_t FaultApiIndex(const FaultApi& api) { return static_cast<size_t>(&api - kFaultApis); }

// The APIs that have rules, as of the image's rule version: one bit per entry of
// kFaultApis, so a call asks without building a name. `dataVersion` is the pager's
// count of database changes when the version was read: while it stays, so does the
// version.
struct RuledApis {
  int64_t version = -1;
  std::bitset<kFaultApiCount> apis;
  std::optional<unsigned> dataVersion;
};
std::mutex g_ruledLock;
RuledApis g_ruled;

int64_t RuleVersion() {
  Statement version("PRAGMA user_version");
  return version.Step() ? version.Int(0) : 0;
}

// The APIs that have rules now. The database is never read under g_ruledLock: a caller
// may hold the database lock. `justRead`: a statement of this call has read the image
// already.
std::bitset<kFaultApiCount> RuledApisNow(bool justRead) {
  std::unique_lock lock(DatabaseLock(), std::defer_lock);
  std::optional<unsigned> dataVersion;
  if (justRead) {
    // The statement's snapshot is the one the data version counts to.
    lock.lock();
    dataVersion = DataVersion();
    if (!dataVersion) throw HostError(std::string("database: ") + sqlite3_errmsg(Database()), ERROR_REGISTRY_IO_FAILED);
    std::lock_guard guard(g_ruledLock);
    if (dataVersion == g_ruled.dataVersion) return g_ruled.apis;
  }
  const int64_t version = RuleVersion();
  {
    std::lock_guard guard(g_ruledLock);
    if (version == g_ruled.version) {
      // Another change since the version was read, but no rule change: the version
      // still holds at this data version.
      if (dataVersion) g_ruled.dataVersion = dataVersion;
      return g_ruled.apis;
    }
  }
  // Read after the version: the set is at least as new as the number kept with it.
  RuledApis fresh;
  fresh.version = version;
  fresh.dataVersion = dataVersion;
  {
    // Not DISTINCT: that would build a temporary table at every program's start, and
    // the set keeps each API once anyway.
    Statement apis("SELECT api FROM faults");
    while (apis.Step()) {
      if (const FaultApi* ruled = FindFaultApi(apis.Text(0))) fresh.apis.set(FaultApiIndex(*ruled));
    }
  }
  std::lock_guard guard(g_ruledLock);
  g_ruled = fresh;
  return fresh.apis;
}

bool HasRules(const FaultApi& api, bool justRead) { return RuledApisNow(justRead).test(FaultApiIndex(api)); }

// Inside the transaction of a rule change.
void BumpRuleVersion() {
  {
    // Whether or not the change commits, what this process knew of the rules is old.
    std::lock_guard guard(g_ruledLock);
    g_ruled.version = -1;
    g_ruled.dataVersion.reset();
  }
  const std::string sql = "PRAGMA user_version = " + std::to_string(RuleVersion() + 1);
  if (sqlite3_exec(Database(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    throw HostError(std::string("database: ") + sqlite3_errmsg(Database()), ERROR_REGISTRY_IO_FAILED);
}

bool IsKeyApi(const FaultApi& api) { return api.target == FaultTarget::Key || api.target == FaultTarget::KeyValue; }

// A key pattern as the rooted targets of registry calls are matched: a pattern that
// names no root means HKEY_LOCAL_MACHINE; "*" alone still matches every call.
std::u16string RootedKeyPattern(std::u16string_view pattern) {
  if (pattern.empty() || pattern == u"*") return std::u16string(pattern);
  if (const auto split = SplitRegistryRoot(pattern)) return std::u16string(RegistryRootName(split->root)) + std::u16string(split->rest);
  std::u16string rooted(RegistryRootName(RegistryRoot::LocalMachine));
  // "*:Instl" and ":Instl" reach the root's own values too.
  if (pattern.front() != u'*' && pattern.front() != u':') rooted += u'\\';
  return rooted + std::u16string(pattern);
}

// The target as the journal shows it: a key of HKEY_LOCAL_MACHINE without its root.
std::u16string_view JournalTarget(const FaultApi& api, std::u16string_view target) {
  if (!IsKeyApi(api)) return target;
  const auto split = SplitRegistryRoot(target);
  if (!split || split->root != RegistryRoot::LocalMachine) return target;
  return split->rest.starts_with(u'\\') ? split->rest.substr(1) : split->rest;
}

// The error text of the rules a call trace consists of; no command line can give it.
constexpr char kTraceRule[] = "trace";

// The first rule of `entry` that fires for this call, counting every rule that matched.
// A registry call's target begins with its key's root. The counts are lasting writes:
// a call made inside a transaction of the terminal's own (the touch driver's) is
// counted even when that transaction rolls back, so that --after and --times hold.
std::optional<Fault> Decide(const FaultApi& entry, std::u16string_view target, bool readsOnly) {
  std::optional<Fault> decision;
  Transaction transaction;
  Statement rules(
      "SELECT id, pattern, error, after, times, caller, matched FROM faults WHERE api = ? COLLATE NOCASE ORDER BY id");
  rules.Bind(1, std::string_view(entry.name));
  while (!decision && rules.Step()) {
    if (rules.Text(2) == kTraceRule) {
      // Lasting, as the counts are: a call the touch driver takes back was still made.
      const std::u16string caller = ModulePath();
      const bool changes = entry.changes && !readsOnly;
      WriteLasting([&] {
        Statement record("INSERT INTO traced_calls(api, target, caller, changes) VALUES(?, ?, ?, ?)");
        record.Bind(1, std::string_view(entry.name)).Bind(2, target).Bind(3, std::u16string_view(caller));
        record.Bind(4, int64_t{changes ? 1 : 0}).Run();
      });
      continue;
    }
    const std::u16string pattern = rules.Text16(1);
    if (!GlobMatch(IsKeyApi(entry) ? RootedKeyPattern(pattern) : pattern, target)) continue;
    if (!rules.IsNull(5) && !EqualsIgnoreCase(rules.Text16(5), ModulePath())) continue;
    const int64_t id = rules.Int(0), after = rules.Int(3), matched = rules.Int(6);
    WriteLasting([id] { Statement("UPDATE faults SET matched = matched + 1 WHERE id = ?").Bind(1, id).Run(); });
    if (matched < after) continue;
    if (!rules.IsNull(4) && matched >= after + rules.Int(4)) continue;
    // A stored text that names no error still fails the call, as a rule was meant to.
    decision = ParseFaultError(rules.Text(2)).value_or(Fault{FaultAction::Fail, ERROR_GEN_FAILURE});
  }
  transaction.Commit();
  return decision;
}

}  // namespace

std::optional<Fault> ParseFaultError(std::string_view text) {
  if (text == "power-loss") return Fault{FaultAction::PowerLoss, 0};
  if (text == "power-loss:half") return Fault{FaultAction::PowerLossHalf, 0};
  const auto code = ErrorFromName(text);
  if (!code) return std::nullopt;
  return Fault{FaultAction::Fail, *code};
}

std::string FaultErrorText(const Fault& fault) {
  if (fault.action == FaultAction::PowerLoss) return "power-loss";
  if (fault.action == FaultAction::PowerLossHalf) return "power-loss:half";
  return ErrorName(fault.error);
}

std::span<const FaultApi> FaultApis() { return kFaultApis; }

const FaultApi* FindFaultApi(std::string_view name) {
  for (const auto& api : kFaultApis) {
    if (SameAsciiName(api.name, name)) return &api;
  }
  return nullptr;
}

void ValidateFaultPattern(const FaultApi& api, std::u16string_view pattern) {
  const std::string name = api.name;
  auto refuse = [](const std::string& reason) { throw HostError(reason, ERROR_INVALID_PARAMETER); };
  if (pattern.empty()) refuse("PATTERN must not be empty (* matches every call)");
  const size_t colon = pattern.find(u':');
  const bool rooted = pattern[0] == u'\\' || pattern[0] == u'/';
  switch (api.target) {
    case FaultTarget::None:
      if (pattern != u"*") refuse(name + " has no path or key to match: its PATTERN is *");
      return;
    case FaultTarget::Path:
      // CE names hold no colon; only a device name ("QDV1:") ends with one.
      if (colon != std::u16string_view::npos && colon + 1 != pattern.size())
        refuse(name + " matches a CE path such as \\FlashDisk\\SP\\*.cab, not KEY:VALUE");
      return;
    case FaultTarget::Key:
    case FaultTarget::KeyValue:
      break;
  }
  std::string upper = ToUtf8(pattern.substr(0, 5));
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (rooted)
    refuse(name + " matches a key without a leading backslash, such as " +
           (api.target == FaultTarget::Key ? "SOFTWARE\\Apps\\*" : "SOFTWARE\\Apps\\*:Instl"));
  if (upper.starts_with("HKEY_") && !SplitRegistryRoot(pattern))
    refuse(name + " matches keys of HKEY_LOCAL_MACHINE (the root may be left out), HKEY_CURRENT_USER, "
                  "HKEY_CLASSES_ROOT or HKEY_USERS: " + ToUtf8(pattern.substr(0, pattern.find_first_of(u"\\:"))) +
           " is none of them");
  if (api.target == FaultTarget::Key && colon != std::u16string_view::npos)
    refuse(name + " matches KEY only (SOFTWARE\\Apps\\*), not KEY:VALUE");
  if (api.target == FaultTarget::KeyValue && colon == std::u16string_view::npos &&
      pattern.find(u'*') == std::u16string_view::npos)
    refuse(name + " matches KEY:VALUE (SOFTWARE\\Apps\\Tool:Instl); without a colon or * it never matches");
}

void ForgetFaultRules() {
  std::lock_guard guard(g_ruledLock);
  g_ruled = RuledApis();
}

namespace {

const FaultApi& LookUpCallSiteApi(const char* api) {
  const auto* exact = std::lower_bound(std::begin(kFaultApis), std::end(kFaultApis), api,
                                       [](const FaultApi& entry, const char* name) { return std::strcmp(entry.name, name) < 0; });
  if (exact != std::end(kFaultApis) && std::strcmp(exact->name, api) == 0) return *exact;
  if (const FaultApi* known = FindFaultApi(api)) return *known;
  // A call site naming an API that termsim cannot give rules for: a rule could never
  // reach it, so the rehearsal would pass where the terminal fails.
  std::fprintf(stderr, "CheckFault: %s is not in the table of calls that consult fault rules\n", api);
  std::abort();
}

const FaultApi& CallSiteApi(const char* api) {
  // Call sites name their API with a literal, so the last few names seen are known by
  // their address (and checked by their text, so a reused buffer cannot mislead).
  struct Seen {
    const char* name = nullptr;
    const FaultApi* api = nullptr;
  };
  thread_local std::array<Seen, 8> seen;
  Seen& slot = seen[(reinterpret_cast<uintptr_t>(api) >> 3) % seen.size()];
  if (slot.name == api && std::strcmp(slot.api->name, api) == 0) return *slot.api;
  const FaultApi& found = LookUpCallSiteApi(api);
  slot = {api, &found};
  return found;
}

}  // namespace

// Another process's change is seen when a statement of this process next starts reading.
std::optional<unsigned> DataVersion() noexcept {
  if (!IsAttached()) return std::nullopt;
  unsigned version = 0;
  if (sqlite3_file_control(Database(), "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK) return std::nullopt;
  return version;
}

void CarryRuleVersion(std::optional<unsigned> begun) noexcept {
  if (!begun) return;
  const auto committed = DataVersion();
  std::lock_guard guard(g_ruledLock);
  if (g_ruled.dataVersion == begun) g_ruled.dataVersion = committed;
}

bool MayHaveFaultRules(const char* api, bool afterRead) { return IsAttached() && HasRules(CallSiteApi(api), afterRead); }

bool HasFaultRules() { return RuledApisNow(true).any(); }

Fault CheckFault(const char* api, std::u16string_view rootedTarget, bool readsOnly) {
  if (!MayHaveFaultRules(api, false)) return {};
  const FaultApi& entry = CallSiteApi(api);
  const auto fault = Decide(entry, rootedTarget, readsOnly);
  if (!fault) return {};
  const std::u16string_view target = JournalTarget(entry, rootedTarget);
  JournalLasting("fault", {{"api", FromUtf8(api)},
                           {"target", std::u16string(target)},
                           {"error", FromUtf8(FaultErrorText(*fault))}});
  if (fault->action != FaultAction::Fail)
    JournalLasting("power-loss", {{"api", FromUtf8(api)}, {"target", std::u16string(target)}});
  if (fault->action == FaultAction::PowerLoss) PowerLoss();
  return *fault;
}

void PowerLoss() {
  // Work not yet committed is lost with the power; what the rule did is kept, and the
  // terminal's own records of its end must not wait for a commit that never comes.
  AbandonTransactions();
  EndTerminalProcesses(false);
  ::_exit(137);  // not reached: the caller ended with the terminal
}

int64_t AddFaultRule(const FaultRule& rule) {
  const FaultApi* api = FindFaultApi(rule.api);
  if (!api) throw HostError("no call consults fault rules as " + rule.api, ERROR_INVALID_PARAMETER);
  Transaction transaction;
  Statement insert("INSERT INTO faults(api, pattern, error, after, times, caller) VALUES(?, ?, ?, ?, ?, ?)");
  insert.Bind(1, std::string_view(api->name)).Bind(2, std::u16string_view(rule.pattern));
  insert.Bind(3, std::string_view(rule.error)).Bind(4, rule.after);
  if (rule.times) {
    insert.Bind(5, *rule.times);
  } else {
    insert.BindNull(5);
  }
  if (rule.caller) {
    insert.Bind(6, std::u16string_view(*rule.caller));
  } else {
    insert.BindNull(6);
  }
  insert.Run();
  const int64_t id = LastInsertRowId();
  BumpRuleVersion();
  transaction.Commit();
  return id;
}

std::vector<FaultRule> ListFaultRules() {
  std::vector<FaultRule> rules;
  Statement query("SELECT id, api, pattern, error, after, times, caller, matched FROM faults ORDER BY id");
  while (query.Step()) {
    FaultRule rule;
    rule.id = query.Int(0);
    rule.api = query.Text(1);
    rule.pattern = query.Text16(2);
    rule.error = query.Text(3);
    rule.after = query.Int(4);
    if (!query.IsNull(5)) rule.times = query.Int(5);
    if (!query.IsNull(6)) rule.caller = query.Text16(6);
    // Matches past the rule's --after fired it, up to its --times.
    const int64_t fired = std::max<int64_t>(0, query.Int(7) - rule.after);
    rule.fired = rule.times ? std::min(fired, *rule.times) : fired;
    rules.push_back(std::move(rule));
  }
  return rules;
}

bool RemoveFaultRule(int64_t id) {
  Transaction transaction;
  Statement remove("DELETE FROM faults WHERE id = ?");
  remove.Bind(1, id).Run();
  if (sqlite3_changes(Database()) == 0) return false;
  BumpRuleVersion();
  transaction.Commit();
  return true;
}

void ClearFaultRules() {
  Transaction transaction;
  Statement("DELETE FROM faults").Run();
  BumpRuleVersion();
  transaction.Commit();
}

void StartCallTrace() {
  Transaction transaction;
  Statement("CREATE TABLE IF NOT EXISTS traced_calls(seq INTEGER PRIMARY KEY AUTOINCREMENT, api TEXT NOT NULL, "
            "target TEXT NOT NULL, caller TEXT NOT NULL, changes INTEGER NOT NULL)").Run();
  Statement("DELETE FROM traced_calls").Run();
  for (const auto& api : kFaultApis) {
    Statement insert("INSERT INTO faults(api, pattern, error) VALUES(?, '*', ?)");
    insert.Bind(1, std::string_view(api.name)).Bind(2, std::string_view(kTraceRule)).Run();
  }
  BumpRuleVersion();
  transaction.Commit();
}

std::vector<TracedCall> StopCallTrace() {
  struct Row {
    const FaultApi* api;
    std::u16string rootedTarget;
    TracedCall call;
  };
  std::vector<Row> rows;
  Transaction transaction;
  {
    Statement calls("SELECT api, target, caller, changes FROM traced_calls ORDER BY seq");
    while (calls.Step()) {
      const FaultApi* api = FindFaultApi(calls.Text(0));
      if (!api) continue;
      Row row{api, calls.Text16(1), {}};
      row.call.api = api->name;
      row.call.target = std::u16string(JournalTarget(*api, row.rootedTarget));
      row.call.caller = calls.Text16(2);
      row.call.changes = calls.Int(3) != 0;
      row.call.writesHalf = row.call.changes && api->writesHalf;
      rows.push_back(std::move(row));
    }
  }
  Statement("DELETE FROM faults WHERE error = ?").Bind(1, std::string_view(kTraceRule)).Run();
  Statement("DROP TABLE traced_calls").Run();
  BumpRuleVersion();
  transaction.Commit();
  // A rule naming the call's own target counts the earlier calls it matches as Decide
  // would: same API, same program, the pattern matching their targets.
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].call.changes) continue;
    const FaultApi& api = *rows[i].api;
    const std::u16string pattern = IsKeyApi(api) ? RootedKeyPattern(rows[i].call.target) : rows[i].call.target;
    for (size_t j = 0; j < i; ++j) {
      if (rows[j].api == &api && EqualsIgnoreCase(rows[j].call.caller, rows[i].call.caller) &&
          GlobMatch(pattern, rows[j].rootedTarget))
        ++rows[i].call.after;
    }
  }
  std::vector<TracedCall> calls;
  for (auto& row : rows) calls.push_back(std::move(row.call));
  return calls;
}

void CreateFaultTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE faults(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  api TEXT NOT NULL,
  pattern TEXT NOT NULL,
  error TEXT NOT NULL,
  after INTEGER NOT NULL DEFAULT 0,
  times INTEGER,
  caller TEXT,
  matched INTEGER NOT NULL DEFAULT 0);
)sql");
}

}  // namespace host
