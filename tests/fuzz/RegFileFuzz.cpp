// .reg import under arbitrary input: no crash; a refused file leaves the registry as it
// was; an accepted one exports to a file that rebuilds the same registry from an empty one.
#include "terminal/regfile/RegFile.h"

#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "platform/host/RegistryTree.h"
#include "tests/support/RegistryDump.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// What an image starts each input with, so that deletions have something to delete.
constexpr std::string_view kSeed =
    "Windows Registry Editor Version 5.00\n"
    "[HKLM\\SOFTWARE\\Apps\\Korva Tool]\n\"Instl\"=dword:00000001\n@=\"x\"\n"
    "[HKLM\\nls]\n\"DefaultLCID\"=dword:00000411\n"
    "[HKCU\\ControlPanel\\Volume]\n\"Key\"=dword:00000005\n[HKEY_CLASSES_ROOT\\.cab]\n@=\"cabfile\"\n";

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "regfile_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

// One image for every input, attached once: switching images would checkpoint the
// database at each switch.
class Image {
 public:
  Image() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korva-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail("mkdtemp");
    root_ = pattern;
    try {
      host::CreateImage(root_ + "/image", {});
      host::AttachImage(root_ + "/image");
    } catch (const host::HostError& e) {
      Fail("image", e.what());
    }
  }
  ~Image() {
    host::DetachImage();
    std::filesystem::remove_all(root_);
  }
  // Empties the registry.
  void Clear() {
    host::ChangeBatch transaction;
    for (const host::RegistryRoot root : host::kRegistryRoots) {
      const int64_t id = host::RegistryFindKey(root, u"").value();
      for (const auto& value : host::RegistryValues(id)) host::RegistryDeleteValue(id, value.name);
      for (const auto& subKey : host::RegistrySubKeys(id)) host::RegistryDeleteKey(root, subKey.name);
    }
    transaction.Commit();
  }

 private:
  std::string root_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Image image;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;

  image.Clear();
  if (!regfile::ImportRegFile(kSeed, &error)) Fail("seed refused", error);
  const std::string before = RegistryDump();
  if (!regfile::ImportRegFile(input, &error)) {
    if (error.empty() || error.find('\n') != std::string::npos) Fail("bad error text", error);
    if (RegistryDump() != before) Fail("refused file changed the registry", error);
    return 0;
  }
  const std::string after = RegistryDump();
  const std::string exported = regfile::ExportRegistry(u"", &error);
  if (exported.empty()) Fail("export failed", error);

  image.Clear();
  if (!regfile::ImportRegFile(exported, &error)) Fail("export does not import", error + "\n" + exported);
  if (RegistryDump() != after) Fail("export does not rebuild the registry", exported);
  if (regfile::ExportRegistry(u"", &error) != exported) Fail("second export differs", exported);
  return 0;
}
