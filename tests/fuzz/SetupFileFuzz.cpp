// The CE setup-file reader under arbitrary input: no crash and no read outside the
// member (the sanitizers watch every access); a refusal is one line that says the file
// is damaged; an accepted file holds no more entries than its header counts and only
// what the installer can act on.
#include "terminal/wceload/SetupFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr UINT kCodePage = 1252;

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "setupfile_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

size_t Count(std::string_view data, size_t field) {
  return static_cast<uint8_t>(data[field]) | static_cast<uint8_t>(data[field + 1]) << 8;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // A copy of exactly `size` bytes, so that the sanitizer sees a read one past the end.
  const std::string copy(reinterpret_cast<const char*>(bytes), size);
  const std::string_view data(copy);
  wceload::SetupFile setupFile;
  std::string why;
  wceload::AnsiCodePage codePage(kCodePage);
  if (!wceload::ParseSetupFile(data, codePage, &setupFile, &why)) {
    if (why.rfind("the setup file is damaged: ", 0) != 0 || why.find('\n') != std::string::npos) Fail("bad reason", why);
    return 0;
  }
  if (setupFile.appName.empty() || setupFile.provider.empty()) Fail("accepted without a name");
  if (setupFile.folders.size() > Count(data, 50) || setupFile.files.size() > Count(data, 52) ||
      setupFile.values.size() > Count(data, 56) || setupFile.links.size() > Count(data, 58))
    Fail("more entries than the header counts");
  for (const auto& file : setupFile.files) {
    if (file.number == 0 || file.number > 999 || file.name.empty()) Fail("accepted a file the installer cannot place");
  }
  for (const auto& value : setupFile.values) {
    if (value.root == 0 || value.root > wceload::kLastRoot || value.key.empty()) Fail("accepted a value without a key");
    if (value.type == REG_DWORD && value.bytes.size() != 4) Fail("accepted a DWORD of another size");
  }
  return 0;
}
