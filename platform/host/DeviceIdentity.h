// The terminal's identity as a CE setup file's device check reads it: processor type,
// CE version and build.
#ifndef KORVA_PLATFORM_HOST_DEVICEIDENTITY_H
#define KORVA_PLATFORM_HOST_DEVICEIDENTITY_H

#include <cstdint>
#include <optional>
#include <string>

namespace host {

// What a new image gets when it is told nothing else.
inline constexpr const char* kDefaultProcessor = "ARM";
inline constexpr const char* kDefaultCeVersion = "4.10";
inline constexpr const char* kDefaultCeBuild = "908";

struct DeviceIdentity {
  uint32_t processor = 0;  // CE processor type (2577 for ARM)
  uint32_t major = 0, minor = 0, build = 0;
};

// A processor name (any letter case) or number as its CE processor type; nullopt when unknown.
std::optional<uint32_t> ProcessorType(const std::string& nameOrNumber);
// The first name of a CE processor type ("ARM" for 2577); "" for a number no name stands for.
std::string ProcessorName(uint32_t type);
// "4.10" as 4 and 10; false when the text is not MAJOR.MINOR.
bool ParseCeVersion(const std::string& text, uint32_t* major, uint32_t* minor);
// The attached terminal's identity, from its settings ("processor", "ce_version",
// "ce_build"), the defaults where the image has none.
DeviceIdentity TerminalDeviceIdentity();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_DEVICEIDENTITY_H
