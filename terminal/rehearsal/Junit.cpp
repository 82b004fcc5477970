// The rehearsal as JUnit XML, as CI systems read it: the rehearsal one test suite, each
// twin one test case that passes, fails by its reasons, or errs when it was refused.
// A refused twin is an error, never a skipped case: CI systems pass skipped cases.
#include "terminal/rehearsal/Forms.h"
#include "terminal/rehearsal/Rehearsal.h"

namespace rehearsal {

namespace {

// Text as XML 1.0 holds it: the five markup characters escaped, and control characters
// it cannot hold at all as '?'.
std::string Xml(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else if (c == '\'') out += "&apos;";
    else if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') out += '?';
    else out += c;
  }
  return out;
}

std::string TestCase(const TwinReport& twin, const std::set<Reason>& allowed) {
  std::string out = "  <testcase classname=\"" + Xml(twin.fleet ? "fleet" : twin.name) + "\" name=\"" + Xml(twin.name) +
                    "\">\n    <properties><property name=\"terminals\" value=\"" + std::to_string(twin.count) +
                    "\"/>" +
                    (twin.powerCuts ? "<property name=\"power_cuts\" value=\"" + Xml(CutsWords(*twin.powerCuts)) + "\"/>" : "") +
                    "</properties>\n";
  if (!twin.refused.empty()) {
    out += "    <error type=\"refused\" message=\"" + Xml(twin.refused) + "\">" + Xml(twin.refused) + "</error>\n";
  } else if (!TwinPassed(twin, allowed)) {
    std::string reasons, first;
    for (const auto& finding : twin.findings) {
      if (!Fails(finding, allowed)) continue;
      const std::string line = std::string(InfoOf(finding.reason).code) + ": " + finding.text;
      if (first.empty()) first = line;
      reasons += line + "\n";
    }
    out += "    <failure type=\"verdict\" message=\"" + Xml(first) + "\">" + Xml(reasons) + "</failure>\n";
  }
  return out + "  </testcase>\n";
}

}  // namespace

std::string JunitXml(const Report& report) {
  size_t failures = 0, errors = 0;
  for (const auto& twin : report.twins) {
    if (!twin.refused.empty()) {
      ++errors;
    } else if (!TwinPassed(twin, report.plan.allowed)) {
      ++failures;
    }
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"" +
                    Xml("termsim rehearse " + report.plan.folder) + "\" tests=\"" + std::to_string(report.twins.size()) +
                    "\" failures=\"" + std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
                    "\" skipped=\"0\">\n";
  for (const auto& twin : report.twins) out += TestCase(twin, report.plan.allowed);
  return out + "</testsuite>\n";
}

}  // namespace rehearsal
