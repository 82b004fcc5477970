// The whole registry of the attached image as text, through the public tree calls:
// every root, key, value name, type and byte, as stored and in enumeration order.
#ifndef KORVA_TESTS_SUPPORT_REGISTRYDUMP_H
#define KORVA_TESTS_SUPPORT_REGISTRYDUMP_H

#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#include <string>

namespace registry_dump {

// `withKeyIds`: a key deleted and made again shows, though its contents are the same.
inline void DumpKey(int64_t id, bool withKeyIds, std::string* out) {
  for (const auto& value : host::RegistryValues(id)) {
    *out += "V" + host::ToUtf8(value.name) + "|" + std::to_string(value.name.size()) + "|" +
            std::to_string(value.type) + "|" + std::to_string(value.data.size()) + "|" + value.data + "\n";
  }
  for (const auto& subKey : host::RegistrySubKeys(id)) {
    *out += "K" + host::ToUtf8(subKey.name) + "|" + std::to_string(subKey.name.size());
    *out += (withKeyIds ? "|" + std::to_string(subKey.id) : "") + "\n";
    DumpKey(subKey.id, withKeyIds, out);
    *out += "E\n";
  }
}

}  // namespace registry_dump

inline std::string RegistryDump(bool withKeyIds = false) {
  std::string out;
  for (const host::RegistryRoot root : host::kRegistryRoots) {
    out += "R" + host::ToUtf8(host::RegistryRootName(root)) + "\n";
    registry_dump::DumpKey(host::RegistryFindKey(root, u"").value(), withKeyIds, &out);
  }
  return out;
}

#endif  // KORVA_TESTS_SUPPORT_REGISTRYDUMP_H
