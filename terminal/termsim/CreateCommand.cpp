// termsim create: a new terminal image.
#include "platform/host/Errors.h"
#include "platform/host/Image.h"
#include "terminal/termsim/Commands.h"

#include <cstdio>
#include <filesystem>

namespace termsim {

namespace {

namespace fs = std::filesystem;

host::ImageOptions OptionsFrom(const Arguments& arguments) {
  host::ImageOptions options;
  if (auto model = arguments.Value("model")) options.model = *model;
  if (auto name = arguments.Value("platform-name")) {
    TextArgument("--platform-name", *name);
    options.platformName = *name;
  }
  options.noPlatform = arguments.Has("no-platform");
  if (auto language = arguments.Value("language")) options.language = *language;
  for (const auto& volume : arguments.Values("volume")) {
    TextArgument("--volume", volume);
    options.volumes.push_back(volume);
  }
  if (auto times = arguments.Value("file-times")) options.fileTimes = *times;
  if (auto scale = arguments.Value("time-scale")) options.timeScale = NumberArgument("--time-scale", *scale);
  if (auto box = arguments.Value("message-box")) options.messageBox = *box;
  if (auto calibration = arguments.Value("calibration")) options.calibration = *calibration;
  if (auto data = arguments.Value("calibration-data")) {
    TextArgument("--calibration-data", *data);
    options.calibrationData = *data;
  }
  if (auto reset = arguments.Value("reset-device")) options.resetDevice = *reset;
  if (auto processor = arguments.Value("processor")) options.processor = *processor;
  if (auto version = arguments.Value("ce-version")) options.ceVersion = *version;
  if (auto build = arguments.Value("ce-build")) options.ceBuild = *build;
  if (auto capacity = arguments.Value("capacity")) options.capacity = SizeArgument("--capacity", *capacity);
  CheckAsUsage([&] { host::ValidateImageOptions(options); });
  return options;
}

// The kind Setup tells from the terminal: the model whose platform name it holds, as
// Setup compares it (exactly), and the language; "unknown" for a name of no model (no
// service pack of its own), "none" without a Platform key (Setup's install error box).
std::string KindOf(const host::ImageOptions& options) {
  const std::string language = "-" + options.language;
  if (options.noPlatform) return "none" + language;
  for (const char* model : {"LM310", "LM320"}) {
    host::ImageOptions probe;
    probe.model = model;
    if (host::PlatformNameFor(probe) == host::PlatformNameFor(options)) return model + language;
  }
  return "unknown" + language;
}

// Removes what a failed creation left, and nothing that was there before.
void RemovePartialImage(const fs::path& root, bool existedEmpty) {
  std::error_code ec;
  if (!existedEmpty) {
    fs::remove_all(root, ec);
    return;
  }
  for (const auto& entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
}

int Create(const Arguments& arguments) {
  const fs::path root = arguments.Positional(0);
  if (root.empty()) throw UsageError("IMAGE must not be empty");
  host::ImageOptions options = OptionsFrom(arguments);
  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(root, ec));
  if (exists && fs::exists(root / "terminal.db", ec))
    throw CommandFailure(root.string() + " is already a terminal image");
  if (exists && !(fs::is_directory(root, ec) && fs::is_empty(root, ec)))
    throw CommandFailure(root.string() + " already exists and is not an empty folder");
  // A new image gets a copy of the CAB installer stand-in.
  options.installerPath = ProgramBesideTermsim("wceload");
  try {
    host::CreateImage(root.string(), options);
  } catch (const host::HostError&) {
    RemovePartialImage(root, exists);
    throw;
  }
  // One line, so that a script's log says which terminal it made.
  const std::string platform =
      options.noPlatform ? "no Platform key" : "Platform\\Name \"" + host::PlatformNameFor(options) + "\"";
  std::printf("created %s: %s, %s, locale %s\n", root.string().c_str(), KindOf(options).c_str(), platform.c_str(),
              options.language == "ja" ? "0x0411" : "0x0409");
  return kExitOk;
}

}  // namespace

CommandSpec CreateCommand() {
  return {
      .name = "create",
      .positionals = "IMAGE",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary = "Makes a new terminal image in the folder IMAGE (absent or empty).",
      .options =
          {
              {"model", "LM310|LM320", "the terminal's model (LM310)"},
              {"platform-name", "TEXT", "Platform\\Name instead of \"KORVA <model> CE4.10\""},
              {"no-platform", "", "no Platform key at all"},
              {"language", "en|ja", "system locale 0x0409 or 0x0411 (en)"},
              {"volume", "NAME", "a volume folder of the root (FlashDisk when none is given)", true},
              {"file-times", "fat|exact", "last-write times on the volumes: to 2 s, rounded up, as FAT keeps them, or exact (fat)"},
              {"time-scale", "X", "real time per terminal time, 0.001 to 1000: 0.01 makes 5 s take 50 ms (1)"},
              {"message-box", "ok|never|after:MS", "how message boxes are answered (ok)"},
              {"calibration", "ok|fail", "what TouchCalibrate answers (ok)"},
              {"calibration-data", "TEXT", "the calibration string the touch driver stores"},
              {"reset-device", "restart|ignore|absent", "what the system driver does with a reset (restart)"},
              {"processor", "NAME|NUMBER", "the processor a setup file's device check sees: ARM, MIPS, SH3, SH4, X86... or a CE processor type (ARM = 2577)"},
              {"ce-version", "MAJOR.MINOR", "the CE version a setup file's device check sees (4.10)"},
              {"ce-build", "N", "the CE build a setup file's device check sees (908)"},
              {"capacity", "SIZE", "bytes the terminal stores, fs/ and its database together (K, M, G; the host's space)"},
          },
      .run = Create,
  };
}

}  // namespace termsim
