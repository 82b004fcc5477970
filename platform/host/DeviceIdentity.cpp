// What the terminal says it is to a CE setup file: its processor type and its CE
// version and build, stored as image settings at creation.
//
// NOTES: no document here states these for the KORVA terminals. The defaults are
// assumptions: an ARM processor (type 2577, what CE reports for StrongARM/XScale
// cores and what ARM cabinets are made for), CE 4.10, build 908.
#include "platform/host/HostInternal.h"

#include <cstdlib>

namespace host {

namespace {

struct NamedProcessor {
  const char* name;
  uint32_t type;
};
// The processor types of the CE SDK's headers that cabinets name most often.
constexpr NamedProcessor kProcessors[] = {
    {"ARM", 2577},   {"STRONGARM", 2577}, {"ARM720", 1824}, {"ARM820", 2080}, {"ARM920", 2336},
    {"ARM7TDMI", 70001}, {"MIPS", 4000},  {"SH3", 10003},   {"SH4", 10005},   {"X86", 386},
};

std::optional<uint32_t> Number(const std::string& text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

// The minor number is read as written, as CE writes 4.10 and 4.20.
bool ParseCeVersion(const std::string& text, uint32_t* major, uint32_t* minor) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  const auto majorNumber = Number(text.substr(0, dot));
  const auto minorNumber = Number(text.substr(dot + 1));
  if (!majorNumber || !minorNumber) return false;
  *major = *majorNumber;
  *minor = *minorNumber;
  return true;
}

std::string ProcessorName(uint32_t type) {
  for (const auto& processor : kProcessors) {
    if (processor.type == type) return processor.name;
  }
  return "";
}

std::optional<uint32_t> ProcessorType(const std::string& nameOrNumber) {
  if (const auto number = Number(nameOrNumber)) return number;
  std::string upper = nameOrNumber;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  for (const auto& processor : kProcessors) {
    if (upper == processor.name) return processor.type;
  }
  return std::nullopt;
}

bool ValidateDeviceIdentity(const std::string& processor, const std::string& ceVersion, const std::string& ceBuild,
                            std::string* error) {
  uint32_t major = 0, minor = 0;
  if (!ProcessorType(processor)) {
    *error = "--processor must be a number or one of ARM, STRONGARM, ARM720, ARM820, ARM920, ARM7TDMI, MIPS, SH3, "
             "SH4, X86, not '" + processor + "'";
    return false;
  }
  if (!ParseCeVersion(ceVersion, &major, &minor)) {
    *error = "--ce-version must be MAJOR.MINOR, as 4.10, not '" + ceVersion + "'";
    return false;
  }
  if (!Number(ceBuild)) {
    *error = "--ce-build must be a number, not '" + ceBuild + "'";
    return false;
  }
  return true;
}

DeviceIdentity TerminalDeviceIdentity() {
  DeviceIdentity identity;
  // An image made before these settings existed is a terminal of the defaults.
  const std::string processor = Setting("processor"), version = Setting("ce_version"), build = Setting("ce_build");
  if (const auto type = ProcessorType(processor.empty() ? kDefaultProcessor : processor)) identity.processor = *type;
  ParseCeVersion(version.empty() ? kDefaultCeVersion : version, &identity.major, &identity.minor);
  if (const auto number = Number(build.empty() ? kDefaultCeBuild : build)) identity.build = *number;
  return identity;
}

}  // namespace host
