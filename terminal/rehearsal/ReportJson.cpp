// A rehearsal's --json document read back into its report, so that reports can be
// compared, and the parts of a sharded rehearsal put together as one.
#include "platform/host/Text.h"
#include "terminal/rehearsal/JsonReader.h"
#include "terminal/rehearsal/Rehearsal.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace rehearsal {

namespace {

// A document that is not a report: refused with the file's name.
struct NotAReport {
  std::string why;
};

template <class Enum>
Enum Named(const std::optional<Enum>& value, const std::string& what, const std::string& name) {
  if (!value) throw NotAReport{"no " + what + " is named \"" + name + "\""};
  return *value;
}

std::vector<std::string> Texts(const JsonValue& list) {
  std::vector<std::string> texts;
  for (const auto& item : list.items) texts.push_back(item.Text());
  return texts;
}

std::optional<int64_t> IntOrNone(const JsonValue& value) {
  return value.IsNull() ? std::nullopt : std::optional<int64_t>(value.Int());
}

CabFate CabFrom(const JsonValue& cab) {
  CabFate fate;
  fate.name = cab["name"].Text();
  fate.fate = Named(FateNamed(cab["fate"].Text()), "fate", cab["fate"].Text());
  for (const auto& code : cab["exit_codes"].items) fate.exitCodes.push_back(code.Int());
  fate.application = cab["application"].Text();
  fate.reason = cab["reason"].Text();
  if (!cab["expected"].IsNull()) fate.expected = Named(FateNamed(cab["expected"].Text()), "fate", cab["expected"].Text());
  fate.files = Texts(cab["files"]);
  fate.registry = Texts(cab["registry"]);
  fate.shortcuts = Texts(cab["shortcuts"]);
  return fate;
}

RunReport RunFrom(const JsonValue& run) {
  RunReport report;
  report.outcome = Named(OutcomeNamed(run["outcome"].Text()), "outcome", run["outcome"].Text());
  report.exitCode = IntOrNone(run["exit_code"]);
  report.reset = run["reset"].boolean;
  if (!run["box"].IsNull()) report.box = Box{run["box"]["text"].Text(), run["box"]["style"].Int()};
  for (const auto& cab : run["cabs"].items) report.cabs.push_back(CabFrom(cab));
  return report;
}

std::optional<PowerCuts> PowerCutsFrom(const JsonValue& cuts) {
  if (cuts.IsNull()) return std::nullopt;
  PowerCuts report;
  report.points = static_cast<int>(cuts["points"].Int());
  report.of = static_cast<int>(cuts["of"].Int());
  report.recovered = static_cast<int>(cuts["recovered"].Int());
  for (const auto& number : cuts["sample"].items) report.sample.push_back(static_cast<int>(number.Int()));
  for (const auto& d : cuts["damaged"].items) {
    const std::string cut = d["class"].Text();
    report.damaged.push_back({{static_cast<int>(d["point"].Int()), d["api"].Text(), d["target"].Text(), d["caller"].Text(),
                               d["torn"].boolean, d["after"].Int()},
                              Named(CutClassNamed(cut), "class of power cut", cut),
                              Texts(d["differences"])});
  }
  return report;
}

TwinReport TwinFrom(const JsonValue& twin) {
  TwinReport report;
  report.name = twin["name"].Text();
  report.kind = twin["kind"].Text();
  report.platformName = twin["platform_name"].Text();
  report.fleet = twin["source"].Text() == "fleet";
  report.count = twin["count"].Int();
  report.refused = twin["refused"].Text();
  report.image = twin["image"].Text();
  report.processes = twin["processes"].Int();
  report.warnings = Texts(twin["warnings"]);
  for (const auto& run : twin["runs"].items) report.runs.push_back(RunFrom(run));
  report.powerCuts = PowerCutsFrom(twin["power_cuts"]);
  for (const auto& reason : twin["reasons"].items) {
    const std::string code = reason["code"].Text();
    report.findings.push_back({Named(ReasonNamed(code), "reason", code), reason["text"].Text()});
  }
  return report;
}

std::vector<FileIdentity> FilesFrom(const JsonValue& files) {
  std::vector<FileIdentity> identities;
  for (const auto& file : files.items) identities.push_back({file["name"].Text(), file["size"].Int(), file["last_write"].Int()});
  return identities;
}

// The device and the Setup of the plan, as the report shows them.
void DeviceAndSetupFrom(const JsonValue& document, Plan& plan) {
  {
    const JsonValue& device = document["device"];
    plan.processor = std::to_string(device["processor"].Int());
    plan.ceVersion = device["ce_version"].Text();
    plan.ceBuild = std::to_string(device["ce_build"].Int());
    plan.fileTimes = device["file_times"].Text();
    const std::vector<std::string> assumed = Texts(device["assumed"]);
    for (const char* setting : {"processor", "ce_version", "ce_build", "file_times"}) {
      if (std::find(assumed.begin(), assumed.end(), setting) == assumed.end()) plan.given.insert(setting);
    }
  }
  const JsonValue& setup = document["setup"];
  plan.setupProgram = setup["ran"].Text();
  plan.setupFile.name = setup["folder_file"].Text();
  plan.setupFile.windowsProgram = setup["windows_program"].boolean;
  // The marks themselves are in the finding that differing marks give; here only how
  // they compare, which the forms show.
  const std::string mark = setup["mark"].Text();
  plan.setupFile.hostBuild = !setup["mark"].IsNull();
  plan.setupFile.ranMark = plan.setupFile.hostBuild ? "ran" : "";
  plan.setupFile.mark = mark == "matches" ? "ran" : mark == "differs" ? "other" : "";
}

Plan PlanFrom(const JsonValue& document) {
  Plan plan;
  plan.folder = document["folder"].Text();
  plan.at = host::FromUtf8(document["at"].Text());
  plan.out = document["out"].Text();
  plan.runs = static_cast<int>(document["runs"].Int());
  plan.timeScale = document["time_scale"].number;
  for (const auto& code : document["allowed"].items) plan.allowed.insert(Named(ReasonNamed(code.Text()), "reason", code.Text()));
  const JsonValue& inputs = document["inputs"];
  plan.inputs.folder = FilesFrom(inputs["folder"]);
  plan.inputs.fleet = FilesFrom(inputs["fleet"]);
  for (const auto& [name, value] : inputs["options"].members) plan.inputs.options.emplace_back(name, value.Text());
  if (!document["shard"].IsNull()) plan.shard = Shard{static_cast<int>(document["shard"]["k"].Int()), static_cast<int>(document["shard"]["n"].Int())};
  DeviceAndSetupFrom(document, plan);
  if (const JsonValue& cuts = document["power_cuts"]; !cuts.IsNull()) {
    const std::string mode = cuts["mode"].Text();
    plan.cuts = mode == "all" ? Plan::Cuts::All : Plan::Cuts::Sample;
    if (plan.cuts == Plan::Cuts::Sample) {
      plan.sample = std::stoi(mode.substr(mode.find(':') + 1));
      plan.seed = static_cast<uint64_t>(cuts["seed"].Int());
    }
  }
  for (const auto& twin : document["twins"].items) plan.fleet = plan.fleet || twin["source"].Text() == "fleet";
  return plan;
}

}  // namespace

Report ReadReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw BadRequest(path + " cannot be read");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string why;
  const auto document = ParseJson(text, &why);
  if (!document || document->kind != JsonValue::Kind::Object)
    throw BadRequest(path + " is not a rehearsal's --json report: " + (document ? "not an object" : why));
  const JsonValue& version = (*document)["schema_version"];
  if (version.kind != JsonValue::Kind::Number || version.Int() != kSchemaVersion)
    throw BadRequest(path + " is a report of schema version " + (version.IsNull() ? "none" : std::to_string(version.Int())) +
                     "; this termsim reads version " + std::to_string(kSchemaVersion));
  try {
    Report report;
    report.plan = PlanFrom(*document);
    for (const auto& warning : (*document)["warnings"].items) {
      const std::string kind = warning["kind"].Text();
      report.warnings.push_back({Named(WarningKindNamed(kind), "warning kind", kind), warning["cab"].Text(),
                                 warning["text"].Text(), "", Texts(warning["twins"])});
    }
    for (const auto& twin : (*document)["twins"].items) report.twins.push_back(TwinFrom(twin));
    return report;
  } catch (const NotAReport& failure) {
    throw BadRequest(path + " is not a rehearsal's --json report: " + failure.why);
  }
}

}  // namespace rehearsal
