// .reg import under arbitrary input: no crash; a refused file leaves the registry as it
// was; an accepted one exports to a file that rebuilds the same registry elsewhere.
#include "terminal/regfile/RegFile.h"

#include "platform/host/Terminal.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

// What an image starts each input with, so that deletions have something to delete.
constexpr std::string_view kSeed =
    "Windows Registry Editor Version 5.00\n"
    "[HKLM\\SOFTWARE\\Apps\\Korva Tool]\n\"Instl\"=dword:00000001\n@=\"x\"\n"
    "[HKLM\\nls]\n\"DefaultLCID\"=dword:00000411\n";

[[noreturn]] void Fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "regfile_fuzz: %s %s\n", what, detail.c_str());
  std::abort();
}

class Images {
 public:
  Images() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korva-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail("mkdtemp");
    root_ = pattern;
    std::string error;
    for (const char* name : {"/a", "/b"}) {
      if (!host::CreateImage(root_ + name, {}, &error)) Fail("CreateImage", error);
      // A connection kept open spares each switch of images the checkpoint that
      // closing the last one makes.
      sqlite3* keeper = nullptr;
      sqlite3_open((root_ + name + "/terminal.db").c_str(), &keeper);
      sqlite3_exec(keeper, "SELECT COUNT(*) FROM settings", nullptr, nullptr, nullptr);
      keepers_.push_back(keeper);
    }
  }
  ~Images() {
    host::DetachImage();
    for (auto* keeper : keepers_) sqlite3_close(keeper);
    std::filesystem::remove_all(root_);
  }
  // Attaches image `name` ("/a" or "/b") with an empty registry.
  void AttachEmpty(const char* name) {
    std::string error;
    if (!host::AttachImage(root_ + name, &error)) Fail("AttachImage", error);
    host::ChangeBatch transaction;
    for (const auto& value : host::RegistryValues(1)) host::RegistryDeleteValue(1, value.name);
    for (const auto& subKey : host::RegistrySubKeys(1)) host::RegistryDeleteKey(subKey.name);
    transaction.Commit();
  }

 private:
  std::string root_;
  std::vector<sqlite3*> keepers_;
};

void DumpKey(int64_t id, std::string* out) {
  for (const auto& value : host::RegistryValues(id)) {
    *out += "V" + host::ToUtf8(value.name) + "|" + std::to_string(value.name.size()) + "|" +
            std::to_string(value.type) + "|" + std::to_string(value.data.size()) + "|" + value.data + "\n";
  }
  for (const auto& subKey : host::RegistrySubKeys(id)) {
    *out += "K" + host::ToUtf8(subKey.name) + "|" + std::to_string(subKey.name.size()) + "\n";
    DumpKey(subKey.id, out);
    *out += "E\n";
  }
}

// Every key, value name, type and byte, as stored and in enumeration order.
std::string Dump() {
  std::string out;
  DumpKey(1, &out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Images images;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;

  images.AttachEmpty("/a");
  if (!regfile::ImportRegFile(kSeed, &error)) Fail("seed refused", error);
  const std::string before = Dump();
  if (!regfile::ImportRegFile(input, &error)) {
    if (error.empty() || error.find('\n') != std::string::npos) Fail("bad error text", error);
    if (Dump() != before) Fail("refused file changed the registry", error);
    return 0;
  }
  const std::string after = Dump();
  const std::string exported = regfile::ExportRegistry(u"", &error);
  if (exported.empty()) Fail("export failed", error);

  images.AttachEmpty("/b");
  if (!regfile::ImportRegFile(exported, &error)) Fail("export does not import", error + "\n" + exported);
  if (Dump() != after) Fail("export does not rebuild the registry", exported);
  if (regfile::ExportRegistry(u"", &error) != exported) Fail("second export differs", exported);
  return 0;
}
