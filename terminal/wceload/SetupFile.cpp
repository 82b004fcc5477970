// The application's name: "Provider AppName" from the cabinet's setup file (the ".000"
// member), else the cabinet's base name.
//
// The setup file starts with a 100-byte little-endian header: "MSCE" at 0, and at 84/86
// the offset and length (with its NUL) of the application name, at 88/90 those of the
// provider, both single-byte strings in the code page of the device that made them.
#include "terminal/wceload/Installer.h"

#include "platform/host/HostInternal.h"

namespace wceload {

namespace {

constexpr size_t kHeaderSize = 100;
constexpr size_t kAppNameField = 84;
constexpr size_t kProviderField = 88;
constexpr std::string_view kSignature = "MSCE";
constexpr std::u16string_view kSetupFileExtension = u".000";

uint16_t U16At(const std::string& data, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(data[offset]) | static_cast<uint8_t>(data[offset + 1]) << 8);
}

// The string whose offset and length are at `field`; nullopt when it lies outside the
// file or is empty. The string ends at its NUL, or at its stated length without one.
std::optional<std::u16string> HeaderString(const std::string& data, size_t field, UINT codePage) {
  const size_t offset = U16At(data, field);
  const size_t length = U16At(data, field + 2);
  if (length == 0 || offset + length > data.size()) return std::nullopt;
  std::string_view text(data.data() + offset, length);
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return std::nullopt;
  return DecodeName(text, false, codePage);
}

bool IsSetupFileName(const std::u16string& name) {
  return name.size() >= kSetupFileExtension.size() &&
         host::EqualsIgnoreCase(std::u16string_view(name).substr(name.size() - kSetupFileExtension.size()),
                                kSetupFileExtension);
}

}  // namespace

std::optional<std::u16string> SetupFileApplication(const std::vector<Member>& members,
                                                   const std::vector<std::u16string>& safeNames, UINT codePage) {
  for (size_t i = 0; i < members.size(); ++i) {
    const std::string& data = members[i].data;
    if (!IsSetupFileName(safeNames[i]) || data.size() < kHeaderSize || data.compare(0, kSignature.size(), kSignature) != 0)
      continue;
    const auto provider = HeaderString(data, kProviderField, codePage);
    const auto appName = HeaderString(data, kAppNameField, codePage);
    if (provider && appName) return *provider + u" " + *appName;
  }
  return std::nullopt;
}

std::u16string CabinetBaseName(std::u16string_view cabPath) {
  const size_t slash = cabPath.find_last_of(u"\\/");
  const std::u16string_view fileName = slash == std::u16string_view::npos ? cabPath : cabPath.substr(slash + 1);
  const size_t dot = fileName.rfind(u'.');
  return std::u16string(dot == std::u16string_view::npos || dot == 0 ? fileName : fileName.substr(0, dot));
}

}  // namespace wceload
