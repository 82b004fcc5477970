// termsim rehearse: the folder on a twin of every kind of terminal and of every device
// export of a fleet, then one report in three forms and the verdict as the exit status.
#include "platform/host/Image.h"
#include "platform/host/Paths.h"
#include "platform/host/Text.h"
#include "terminal/regfile/RegFile.h"
#include "terminal/rehearsal/Rehearsal.h"
#include "terminal/termsim/Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <random>
#include <cstdio>
#include <fstream>
#include <set>

namespace termsim {

namespace {

namespace fs = std::filesystem;
using namespace rehearsal;

// The folder and the program, checked before anything is made.
void FindSetup(Plan& plan, const Arguments& arguments) {
  std::error_code ec;
  if (!fs::is_directory(plan.folder, ec)) throw UsageError("FOLDER " + plan.folder + " is not a folder");
  if (fs::is_empty(plan.folder, ec)) throw UsageError("FOLDER " + plan.folder + " is empty");
  std::string folderSetup;
  for (const auto& entry : fs::directory_iterator(plan.folder, ec)) {
    if (entry.is_regular_file() && host::EqualsIgnoreCase(host::FromUtf8(entry.path().filename().string()), u"Setup.exe")) {
      folderSetup = entry.path().string();
      plan.setupFile.name = entry.path().filename().string();
    }
  }
  const ProgramForm form = folderSetup.empty() ? ProgramForm::Neither : ProgramFormOf(folderSetup);
  plan.setupFile.windowsProgram = form == ProgramForm::Windows;
  if (auto setup = arguments.Value("setup")) {
    if (!fs::is_regular_file(*setup, ec)) throw UsageError("--setup " + *setup + " is not a file");
    plan.setupProgram = fs::absolute(*setup).string();
    return;
  }
  if (folderSetup.empty())
    throw UsageError("FOLDER " + plan.folder + " holds no Setup.exe; name the program with --setup PATH");
  if (form == ProgramForm::Neither)
    throw UsageError(folderSetup + " is neither a Windows program nor a program the terminal runs; name the program with "
                                   "--setup PATH");
  if (form == ProgramForm::Terminal) {
    plan.setupProgram = folderSetup;
    return;
  }
  // No twin runs a Windows program: the host build of Setup runs in its place, and the
  // version marks tell whether both were built from the same sources.
  plan.setupProgram = ProgramBesideTermsim("Setup.exe");
  plan.setupFile.hostBuild = true;
  plan.setupFile.mark = VersionMarkOf(folderSetup);
  plan.setupFile.ranMark = VersionMarkOf(plan.setupProgram);
}

std::vector<TwinRequest> KindTwins(const Arguments& arguments) {
  const std::string kinds = arguments.Value("kinds").value_or("all");
  const std::vector<std::string> all = AllKinds();
  std::vector<std::string> chosen;
  if (kinds == "all") chosen = all;
  for (size_t start = 0; kinds != "all" && kinds != "none" && start <= kinds.size();) {
    const size_t end = std::min(kinds.find(',', start), kinds.size());
    const std::string kind = kinds.substr(start, end - start);
    if (std::find(all.begin(), all.end(), kind) == all.end())
      throw UsageError("unknown kind '" + kind + "' (the kinds: LM310-en, LM310-ja, LM320-en, LM320-ja, all, none)");
    if (std::find(chosen.begin(), chosen.end(), kind) == chosen.end()) chosen.push_back(kind);
    start = end + 1;
  }
  std::vector<TwinRequest> twins;
  for (const auto& kind : chosen) twins.push_back({kind, kind.substr(0, 5), kind.substr(6), "", 1, ""});
  return twins;
}

// The clean kinds, then the fleet's exports; the fleet folder's own warnings go with them.
std::vector<TwinRequest> AllTwins(const Arguments& arguments, std::vector<Warning>* warnings) {
  std::vector<TwinRequest> twins = KindTwins(arguments);
  if (auto fleet = arguments.Value("fleet")) {
    Fleet read = ReadFleet(*fleet);
    twins.insert(twins.end(), read.twins.begin(), read.twins.end());
    warnings->insert(warnings->end(), read.warnings.begin(), read.warnings.end());
  }
  if (twins.empty()) throw UsageError("no twin to rehearse: --kinds none and no --fleet");
  std::set<std::u16string> names;
  for (const auto& twin : twins) {
    if (twin.refused.empty() && !names.insert(host::FoldCase(host::FromUtf8(twin.name))).second)
      throw UsageError("two twins would be named '" + twin.name + "': rename the export");
  }
  return twins;
}

std::set<Reason> AllowedReasons(const Arguments& arguments) {
  std::set<Reason> allowed;
  for (const std::string& list : arguments.Values("allow")) {
    for (size_t start = 0; start <= list.size();) {
      const size_t end = std::min(list.find(',', start), list.size());
      const std::string code = list.substr(start, end - start);
      const auto reason = ReasonNamed(code);
      if (!reason) throw UsageError("--allow: no verdict reason is named '" + code + "' (termsim rehearse --help lists them)");
      allowed.insert(*reason);
      start = end + 1;
    }
  }
  return allowed;
}

// Whether `inner` is `outer` or lies below it, links resolved as far as they exist.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  const fs::path relative = fs::weakly_canonical(inner, ec).lexically_relative(fs::weakly_canonical(outer, ec));
  return !relative.empty() && *relative.begin() != "..";
}

// --out must be a folder of its own: the twins copy FOLDER, and read the fleet's exports.
void CheckOut(const std::string& out, const std::string& folder, const std::optional<std::string>& fleet) {
  if (out.empty()) throw UsageError("--out must name a folder");
  for (const auto& [what, other] : {std::pair<std::string, std::optional<std::string>>{"FOLDER", folder}, {"--fleet", fleet}}) {
    if (!other) continue;
    if (IsWithin(out, *other) || IsWithin(*other, out))
      throw UsageError("--out " + out + " and " + what + " " + *other + " must not hold one another");
  }
}

// --shard K/N: K from 1 to N.
std::optional<Shard> ShardArgument(const Arguments& arguments) {
  const auto text = arguments.Value("shard");
  if (!text) return std::nullopt;
  const size_t slash = text->find('/');
  if (slash == std::string::npos) throw UsageError("--shard must be K/N, as 2/5");
  const int64_t n = CountArgument("--shard's N", text->substr(slash + 1), 1);
  const int64_t k = CountArgument("--shard's K", text->substr(0, slash), 1);
  if (k > n || n > 100000) throw UsageError("--shard " + *text + ": K goes from 1 to N, N up to 100000");
  return Shard{static_cast<int>(k), static_cast<int>(n)};
}

// --power-cuts all|sample:N [--seed S]: a sample without a seed draws one, printed so
// that it can be given again.
void PowerCutArguments(Plan& plan, const Arguments& arguments) {
  const auto cuts = arguments.Value("power-cuts");
  const auto seed = arguments.Value("seed");
  if (!cuts) {
    if (seed) throw UsageError("--seed draws the points of --power-cuts sample:N; there is no --power-cuts");
    return;
  }
  if (*cuts == "all") {
    if (seed) throw UsageError("--seed draws the points of --power-cuts sample:N, not of all");
    plan.cuts = Plan::Cuts::All;
    return;
  }
  if (cuts->rfind("sample:", 0) != 0) throw UsageError("--power-cuts must be all or sample:N, as sample:20");
  plan.cuts = Plan::Cuts::Sample;
  plan.sample = static_cast<int>(std::min<int64_t>(CountArgument("--power-cuts sample:N", cuts->substr(7), 1), 1000000));
  if (seed) {
    plan.seed = static_cast<uint64_t>(CountArgument("--seed", *seed, 0));
  } else {
    plan.seed = std::random_device{}() & 0xffffffffu;
    std::fprintf(stderr, "termsim rehearse: the power cuts are sampled with --seed %" PRIu64 "\n", plan.seed);
  }
}

// What changes a rehearsal's outcome besides the terminals' code, as given: the parts of
// one sharded rehearsal must agree on it.
Inputs InputsOf(const Plan& plan, const Arguments& arguments) {
  std::vector<std::pair<std::string, std::string>> options = {
      {"at", host::ToUtf8(plan.at)},
      {"kinds", arguments.Value("kinds").value_or("all")},
      {"runs", std::to_string(plan.runs)},
      {"time_scale", std::to_string(plan.timeScale)},
      {"allow", AllowedText(plan.allowed)},
      {"processor", plan.processor},
      {"ce_version", plan.ceVersion},
      {"ce_build", plan.ceBuild},
      {"file_times", plan.fileTimes},
      {"reg_encoding", plan.regEncoding},
      {"setup", VersionMarkOf(plan.setupProgram)},
  };
  if (plan.cuts != Plan::Cuts::None) options.push_back({"power_cuts", *arguments.Value("power-cuts")});
  if (plan.cuts == Plan::Cuts::Sample) options.push_back({"seed", std::to_string(plan.seed)});
  return IdentifyInputs(plan.folder, arguments.Value("fleet").value_or(""), std::move(options));
}

Plan PlanFrom(const Arguments& arguments) {
  Plan plan = FolderPlan(arguments);
  if (auto runs = arguments.Value("runs")) plan.runs = static_cast<int>(std::min<int64_t>(CountArgument("--runs", *runs, 1), 100));
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  plan.jobs = cores > 0 ? static_cast<int>(cores) : 1;
  if (auto jobs = arguments.Value("j")) plan.jobs = static_cast<int>(std::min<int64_t>(CountArgument("-j", *jobs, 1), 256));
  if (auto scale = arguments.Value("time-scale")) plan.timeScale = NumberArgument("--time-scale", *scale);
  host::ImageOptions probe;
  probe.timeScale = plan.timeScale;
  CheckAsUsage([&] { host::ValidateImageOptions(probe); });
  plan.fleet = arguments.Has("fleet");
  plan.regEncoding = arguments.Value("reg-encoding").value_or("");
  if (arguments.Has("reg-encoding") && !regfile::IsKnownEncoding(plan.regEncoding))
    throw UsageError("--reg-encoding: unknown encoding \"" + plan.regEncoding + "\" (cp932, windows-1252, utf-16le...)");
  plan.allowed = AllowedReasons(arguments);
  plan.out = arguments.Value("out").value_or("");
  if (arguments.Has("out")) CheckOut(plan.out, plan.folder, arguments.Value("fleet"));
  FindSetup(plan, arguments);
  plan.shard = ShardArgument(arguments);
  PowerCutArguments(plan, arguments);
  plan.inputs = InputsOf(plan, arguments);
  plan.installerProgram = ProgramBesideTermsim("wceload");
  plan.windowOwnerProgram = ProgramBesideTermsim("windowowner");
  return plan;
}

int Rehearse(const Arguments& arguments) {
  Report report;
  try {
    report.plan = PlanFrom(arguments);
    std::vector<Warning> fleetWarnings;
    std::vector<TwinRequest> requests = AllTwins(arguments, &fleetWarnings);
    if (const auto shard = report.plan.shard) {
      std::erase_if(requests, [&](const TwinRequest& twin) { return ShardOf(twin.name, shard->n) != shard->k; });
    }
    report = rehearsal::Rehearse(report.plan, requests, fleetWarnings);
  } catch (const BadRequest& e) {
    throw UsageError(e.what());
  } catch (const Failure& e) {
    throw CommandFailure(e.what());
  } catch (const Interrupted& e) {
    std::fprintf(stderr, "termsim rehearse: %s: every twin's processes were ended; --out says the rehearsal did not finish\n",
                 e.what());
    return kExitInterrupted;
  }
  return ReportForms(report, arguments);
}

}  // namespace

int ReportForms(const Report& report, const Arguments& arguments) {
  if (auto junit = arguments.Value("junit")) WriteFileOrFail(*junit, JunitXml(report));
  if (arguments.Has("json")) {
    PrintJson(report);
  } else {
    PrintTable(report);
  }
  return Passed(report) ? kExitOk : kExitFailed;
}

void WriteFileOrFail(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw CommandFailure("cannot write " + path);
}

Plan FolderPlan(const Arguments& arguments) {
  Plan plan;
  plan.folder = fs::absolute(arguments.Positional(0)).lexically_normal().string();
  std::u16string at = TextArgument("--at", arguments.Value("at").value_or("\\FlashDisk\\SP"));
  std::replace(at.begin(), at.end(), u'/', u'\\');
  if (at.empty() || at[0] != u'\\') throw UsageError("--at must be a CE path from the root, as \\FlashDisk\\SP");
  while (!at.empty() && at.back() == u'\\') at.pop_back();
  if (at.find(u"\\\\") != std::u16string::npos || at.find(u"\\.") != std::u16string::npos)
    throw UsageError("--at must name each folder once, without empty, . or .. parts");
  if (std::any_of(at.begin(), at.end(), [](char16_t c) { return c != u'\\' && host::IsForbiddenInFileName(c); }))
    throw UsageError("--at holds a character a terminal's names cannot hold (control characters, / : * ? \" < > |)");
  // Room for Setup.exe below it within the terminal's MAX_PATH, terminator included.
  if (at.size() + std::char_traits<char16_t>::length(u"\\Setup.exe") >= MAX_PATH)
    throw UsageError("--at is " + std::to_string(at.size()) + " characters long: no file below it fits the terminal's " +
                     std::to_string(MAX_PATH - 1) + "-character paths");
  plan.at = at;
  const std::pair<const char*, std::string*> settings[] = {
      {"processor", &plan.processor}, {"ce-version", &plan.ceVersion}, {"ce-build", &plan.ceBuild},
      {"file-times", &plan.fileTimes}};
  for (const auto& [option, value] : settings) {
    if (auto given = arguments.Value(option)) {
      *value = *given;
      std::string setting = option;
      std::replace(setting.begin(), setting.end(), '-', '_');
      plan.given.insert(setting);
    }
  }
  host::ImageOptions probe;
  probe.processor = plan.processor;
  probe.ceVersion = plan.ceVersion;
  probe.ceBuild = plan.ceBuild;
  probe.fileTimes = plan.fileTimes;
  CheckAsUsage([&] { host::ValidateImageOptions(probe); });
  std::error_code ec;
  if (!fs::is_directory(plan.folder, ec)) throw UsageError("FOLDER " + plan.folder + " is not a folder");
  try {
    CheckFolderEntries(plan.folder);
  } catch (const BadRequest& e) {
    throw UsageError(e.what());
  }
  return plan;
}

std::vector<OptionSpec> FolderPlanOptions() {
  return {
      {"at", "CEPATH", "where the folder is placed on each twin (\\FlashDisk\\SP)"},
      {"processor", "NAME|NUMBER", "the twins' processor, as termsim create takes it (ARM: assumed)"},
      {"ce-version", "MAJOR.MINOR", "the twins' CE version (4.10: assumed)"},
      {"ce-build", "N", "the twins' CE build (908: assumed)"},
      {"file-times", "fat|exact", "how the twins' flash disk keeps last-write times (fat: assumed)"},
  };
}

CommandSpec RehearseCommand() {
  CommandSpec command = {
      .name = "rehearse",
      .positionals = "FOLDER",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary =
          "Runs the service-pack FOLDER with the real Setup on a twin of each terminal kind and of each\n"
          "device export, and reports what became of every CAB on each (a table; --json; report.html in --out).\n"
          "Exits 0 when every twin passed, 1 otherwise, 2 on a bad command line. A twin passes when none of\n"
          "its reasons fails it.\n\n" +
          ReasonTableText(),
      .options =
          {
              {"fleet", "DIR", "a twin per DIR/NAME.reg export; DIR/NAME.count: terminals like it (1)"},
              {"kinds", "all|none|LM310-en,LM320-ja,...", "the clean twins, one per kind (all)"},
              {"runs", "N", "runs per twin: after a reset, or a box that asks for one, the twin boots and Setup "
                            "runs again (2)"},
              {"allow", "CODE[,CODE...]", "verdict reasons that fail no twin", true},
              {"setup", "PATH", "the Setup program to run (FOLDER/Setup.exe; the host build of Setup where that is a "
                              "Windows program)"},
              {"out", "DIR", "the twins' images (DIR/twins) and report.html, absent or empty (a new folder, printed)"},
              {"reg-encoding", "NAME", "the exports' encoding when they have no byte-order mark and are not UTF-8"},
              {"json", "", "the report as one JSON document"},
              {"junit", "FILE", "the verdict as JUnit XML too, a test case per twin"},
              {"shard", "K/N", "only the twins of part K of N (termsim merge puts the parts together)"},
              {"power-cuts", "all|sample:N", "after each twin's rehearsal, cut the power at every state-changing call "
                                              "of it (or N drawn), each on a copy of the twin before it"},
              {"seed", "S", "the draw of --power-cuts sample:N (a new one, printed)"},
              {"j", "N", "twins rehearsed at once (the number of cores)"},
              {"time-scale", "X", "real time per terminal time of the twins (0.001)"},
          },
      .run = Rehearse,
  };
  const std::vector<OptionSpec> device = FolderPlanOptions();
  command.options.insert(command.options.begin() + 5, device.begin(), device.end());
  return command;
}

}  // namespace termsim
