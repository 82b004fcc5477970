// A twin's report in a file: written by the process that rehearsed the twin, read by
// the one that reports. One record a line, fields apart by tabs.
#include "terminal/rehearsal/Rehearsal.h"

#include <fstream>
#include <sstream>

namespace rehearsal {

namespace {

std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (std::getline(in, field, '\t')) fields.push_back(Unescape(field));
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

std::string Number(const std::optional<int64_t>& value) { return value ? std::to_string(*value) : "-"; }
std::optional<int64_t> ReadNumber(const std::string& text) {
  if (text == "-") return std::nullopt;
  return std::stoll(text);
}

void Line(std::ofstream& out, std::initializer_list<std::string> fields) {
  bool first = true;
  for (const auto& field : fields) {
    out << (first ? "" : "\t") << Escape(field);
    first = false;
  }
  out << '\n';
}

std::string Numbers(const std::vector<int64_t>& values) {
  std::string text;
  for (const int64_t value : values) text += (text.empty() ? "" : ",") + std::to_string(value);
  return text;
}
std::vector<int64_t> ReadNumbers(const std::string& text) {
  std::vector<int64_t> values;
  std::istringstream in(text);
  for (std::string value; std::getline(in, value, ',');) values.push_back(std::stoll(value));
  return values;
}

template <class Enum>
Enum Named(const std::optional<Enum>& value) {
  if (!value) throw std::invalid_argument("an unknown name");
  return *value;
}

Reason ReasonOfCode(const std::string& code) { return Named(ReasonNamed(code)); }

CutPoint ReadPoint(const std::vector<std::string>& f) {
  return {std::stoi(f.at(1)), f.at(2), f.at(3), f.at(4), f.at(5) == "1", std::stoll(f.at(6))};
}

std::vector<int> ReadInts(const std::string& text) {
  std::vector<int> values;
  for (const int64_t value : ReadNumbers(text)) values.push_back(static_cast<int>(value));
  return values;
}

void ReadRecord(TwinReport& twin, const std::vector<std::string>& f) {
  const std::string& tag = f.at(0);
  if (tag == "cutpoint") twin.cutPoints.push_back(ReadPoint(f));
  if (tag == "powercuts") twin.powerCuts = PowerCuts{std::stoi(f.at(1)), std::stoi(f.at(2)), std::stoi(f.at(3)), ReadInts(f.at(4)), {}};
  if (tag == "damaged") twin.powerCuts.value().damaged.push_back({ReadPoint(f), Named(CutClassNamed(f.at(7))), {}});
  if (tag == "difference") twin.powerCuts.value().damaged.at(twin.powerCuts->damaged.size() - 1).differences.push_back(f.at(1));
  if (tag == "twin") {
    twin = TwinReport{f.at(1), f.at(2), f.at(3), f.at(4) == "1", std::stoll(f.at(5)), f.at(6), f.at(7), std::stoll(f.at(8)),
                      {}, {}, {}};
  } else if (tag == "warning") {
    twin.warnings.push_back(f.at(1));
  } else if (tag == "finding") {
    twin.findings.push_back({ReasonOfCode(f.at(1)), f.at(2)});
  } else if (tag == "run") {
    RunReport run{Named(OutcomeNamed(f.at(1))), ReadNumber(f.at(2)), f.at(3) == "1", std::nullopt, {}};
    if (f.at(4) == "1") run.box = Box{f.at(5), std::stoll(f.at(6))};
    twin.runs.push_back(run);
  } else if (tag == "cab") {
    const std::optional<Fate> expected = f.at(6).empty() ? std::nullopt : std::optional<Fate>(Named(FateNamed(f.at(6))));
    twin.runs.at(twin.runs.size() - 1)
        .cabs.push_back({f.at(1), Named(FateNamed(f.at(2))), ReadNumbers(f.at(3)), f.at(4), f.at(5), expected, {}, {}, {}});
  } else if (tag == "file" || tag == "registry" || tag == "shortcut") {
    CabFate& cab = twin.runs.at(twin.runs.size() - 1).cabs.at(twin.runs.back().cabs.size() - 1);
    (tag == "file" ? cab.files : tag == "registry" ? cab.registry : cab.shortcuts).push_back(f.at(1));
  }
}

}  // namespace

bool SaveTwinReport(const TwinReport& twin, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  Line(out, {"twin", twin.name, twin.kind, twin.platformName, twin.fleet ? "1" : "0", std::to_string(twin.count),
             twin.refused, twin.image, std::to_string(twin.processes)});
  for (const auto& warning : twin.warnings) Line(out, {"warning", warning});
  for (const auto& finding : twin.findings) Line(out, {"finding", InfoOf(finding.reason).code, finding.text});
  for (const auto& run : twin.runs) {
    Line(out, {"run", NameOf(run.outcome), Number(run.exitCode), run.reset ? "1" : "0", run.box ? "1" : "0",
               run.box ? run.box->text : "", run.box ? std::to_string(run.box->style) : "0"});
    for (const auto& cab : run.cabs) {
      Line(out, {"cab", cab.name, NameOf(cab.fate), Numbers(cab.exitCodes), cab.application, cab.reason,
                 cab.expected ? NameOf(*cab.expected) : ""});
      for (const auto& file : cab.files) Line(out, {"file", file});
      for (const auto& value : cab.registry) Line(out, {"registry", value});
      for (const auto& shortcut : cab.shortcuts) Line(out, {"shortcut", shortcut});
    }
  }
  for (const auto& p : twin.cutPoints)
    Line(out, {"cutpoint", std::to_string(p.number), p.api, p.target, p.caller, p.torn ? "1" : "0", std::to_string(p.after)});
  if (twin.powerCuts) {
    std::vector<int64_t> sample(twin.powerCuts->sample.begin(), twin.powerCuts->sample.end());
    Line(out, {"powercuts", std::to_string(twin.powerCuts->points), std::to_string(twin.powerCuts->of),
               std::to_string(twin.powerCuts->recovered), Numbers(sample)});
    for (const auto& d : twin.powerCuts->damaged) {
      const CutPoint& p = d.point;
      Line(out, {"damaged", std::to_string(p.number), p.api, p.target, p.caller, p.torn ? "1" : "0",
                 std::to_string(p.after), NameOf(d.cut)});
      for (const auto& difference : d.differences) Line(out, {"difference", difference});
    }
  }
  Line(out, {"end"});
  out.close();
  return !out.fail();
}

std::optional<TwinReport> LoadTwinReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  TwinReport twin;
  std::string line;
  bool ended = false;
  try {
    while (std::getline(in, line)) {
      const std::vector<std::string> fields = Split(line);
      if (fields.empty()) continue;
      ended = fields[0] == "end";
      ReadRecord(twin, fields);
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!ended) return std::nullopt;
  return twin;
}

}  // namespace rehearsal
