// A host program attached to a terminal image that writes the registry without end and
// reports each write on standard output once its call has returned (committed), so
// that a test can kill it at any moment and know what must have survived.
//
//   stress_registry_writer IMAGE NAME FIRST
//
// Step n (from FIRST on) sets V<n> under SOFTWARE\Stress\NAME\K<n % 16> to the step's
// payload, then Last under SOFTWARE\Stress\NAME to n (REG_DWORD), then prints "n".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/stress/WriterPayload.h"

namespace {

bool Set(const std::string& key, const std::string& name, DWORD type, const std::string& data) {
  HKEY handle = nullptr;
  DWORD disposition = 0;
  const std::u16string keyPath = host::FromUtf8(key);
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                      &disposition) != ERROR_SUCCESS) {
    return false;
  }
  const std::u16string valueName = host::FromUtf8(name);
  const LONG result = RegSetValueExW(handle, valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                     static_cast<DWORD>(data.size()));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: stress_registry_writer IMAGE NAME FIRST\n");
    return 2;
  }
  try {
    host::AttachImage(argv[1]);
  } catch (const host::HostError& e) {
    std::fprintf(stderr, "stress_registry_writer: %s\n", e.what());
    return 2;
  }
  const std::string name = argv[2];
  for (uint64_t n = std::strtoull(argv[3], nullptr, 10);; ++n) {
    const DWORD last = static_cast<DWORD>(n);
    if (!Set(stress::WriterKey(name, n), stress::WriterValueName(n), REG_BINARY, stress::WriterPayload(name, n)) ||
        !Set("SOFTWARE\\Stress\\" + name, "Last", REG_DWORD, std::string(reinterpret_cast<const char*>(&last), 4))) {
      std::fprintf(stderr, "stress_registry_writer: step %llu failed\n", static_cast<unsigned long long>(n));
      return 1;
    }
    const std::string line = std::to_string(n) + "\n";
    if (::write(1, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
  }
}
