// termsim reg import / reg export: the terminal's registry through .reg files.
#include "terminal/regfile/RegFile.h"
#include "terminal/termsim/Commands.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace termsim {

namespace {

std::string ReadWholeFile(const std::string& path) {
  std::error_code ec;
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path, ec)) throw CommandFailure("cannot read " + path);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw CommandFailure("cannot read " + path);
  return bytes;
}

int Import(const Arguments& arguments) {
  const std::string file = arguments.Positional(1);
  const std::string encoding = arguments.Value("reg-encoding").value_or("");
  if (arguments.Has("reg-encoding") && !regfile::IsKnownEncoding(encoding))
    throw UsageError("--reg-encoding: unknown encoding \"" + encoding + "\" (cp932, windows-1252, utf-16le...)");
  AttachOrFail(arguments.Positional(0));
  const std::string bytes = ReadWholeFile(file);
  std::string error;
  regfile::SkippedKeys skipped;
  if (!regfile::ImportRegFile(bytes, &error, &skipped, encoding))
    throw CommandFailure(file + ": " + error + "; nothing was imported");
  const std::string warning = skipped.Warning();
  if (!warning.empty()) std::fprintf(stderr, "termsim reg import: warning: %s: %s\n", file.c_str(), warning.c_str());
  return kExitOk;
}

int Export(const Arguments& arguments) {
  const std::u16string key = TextArgument("KEY", arguments.Positional(1));
  AttachOrFail(arguments.Positional(0));
  std::string error;
  const std::string text = regfile::ExportRegistry(key, &error);
  if (text.empty()) throw CommandFailure(error.empty() ? "nothing to export" : error);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

CommandSpec RegImportCommand() {
  return {
      .name = "reg import",
      .positionals = "IMAGE FILE.reg",
      .minPositionals = 2,
      .maxPositionals = 2,
      .summary = "Merges FILE.reg into the registry as regedit does, every root a terminal has; a malformed line "
                 "imports nothing.",
      .options = {{"reg-encoding", "NAME",
                   "the file's encoding when it has no byte-order mark and is not UTF-8 (cp932, windows-1252...)"}},
      .run = Import,
  };
}

CommandSpec RegExportCommand() {
  return {
      .name = "reg export",
      .positionals = "IMAGE [KEY]",
      .minPositionals = 1,
      .maxPositionals = 2,
      .summary = "Prints the registry below KEY (default: every root) as a .reg file; a KEY without a root is one "
                 "of HKEY_LOCAL_MACHINE.",
      .options = {},
      .run = Export,
  };
}

}  // namespace termsim
