// termsim create: what a new image holds, and every refusal changing nothing.
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace {

namespace fs = std::filesystem;
using e2e::Termsim;

// The whole registry of an image: "KEY" -> "name|type|data in hex" per value.
using RegistryDump = std::map<std::string, std::vector<std::string>>;

std::string Hex(const BYTE* data, DWORD size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (DWORD i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0xF];
  }
  return out;
}

void DumpKey(HKEY key, const std::string& path, RegistryDump* dump) {
  auto& values = (*dump)[path];
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD nameChars = 256, type = 0, size = 4096;
    BYTE data[4096];
    if (RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    values.push_back(host::ToUtf8(std::u16string(name, nameChars)) + "|" + std::to_string(type) + "|" + Hex(data, size));
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD nameChars = 256;
    if (RegEnumKeyExW(key, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::string child = host::ToUtf8(std::u16string(name, nameChars));
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, name, 0, 0, &sub), ERROR_SUCCESS);
    DumpKey(sub, path.empty() ? child : path + "\\" + child, dump);
    RegCloseKey(sub);
  }
}

// Read in this process through the terminal's own registry calls.
RegistryDump DumpRegistry(const std::string& image) {
  RegistryDump dump;
  EXPECT_NO_THROW(host::AttachImage(image));
  DumpKey(HKEY_LOCAL_MACHINE, "", &dump);
  host::DetachImage();
  dump.erase("");  // the root holds no values
  return dump;
}

std::map<std::string, std::string> Settings(const std::string& image) {
  std::map<std::string, std::string> settings;
  EXPECT_NO_THROW(host::AttachImage(image));
  for (const char* name : {"model", "language", "time_scale", "message_box", "calibration", "calibration_data",
                           "reset_device", "volumes", "file_times", "processor", "ce_version", "ce_build"})
    settings[name] = host::Setting(name);
  // Stored only when given: without it the terminal has the host's room.
  if (const std::string capacity = host::Setting("capacity"); !capacity.empty()) settings["capacity"] = capacity;
  host::DetachImage();
  return settings;
}

// UTF-16LE bytes with the terminator, as REG_SZ stores them, in hex.
std::string SzHex(const std::string& utf8) {
  const std::u16string text = host::FromUtf8(utf8);
  std::string bytes;
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  bytes += std::string(2, '\0');
  return Hex(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

std::vector<std::string> ImageTree(const std::string& image) {
  std::vector<std::string> tree;
  for (const auto& entry : e2e::ListTree(image)) {
    // SQLite's own companions of an open database, if a checkpoint left them.
    if (entry != "terminal.db-wal" && entry != "terminal.db-shm") tree.push_back(entry);
  }
  return tree;
}

TEST(CreateTest, NewImageHoldsExactlyWhatItIsToldAndNothingElse) {
  struct Case {
    std::vector<std::string> args;
    std::string platformName;  // "" for no Platform key
    std::string lcidHex;
    std::vector<std::string> volumes;
    std::map<std::string, std::string> settings;
    std::string kind;  // as Setup tells it from the platform name
  };
  const std::map<std::string, std::string> defaults = {
      {"model", "LM310"},      {"language", "en"},
      {"time_scale", "1"},     {"message_box", "ok"},
      {"calibration", "ok"},   {"calibration_data", "460,468 652,860 276,852 276,436 652,436 "},
      {"reset_device", "restart"}, {"volumes", "FlashDisk"},
      {"file_times", "fat"},   {"processor", "2577"},
      {"ce_version", "4.10"},  {"ce_build", "908"},
  };
  auto with = [&](std::map<std::string, std::string> changes) {
    auto settings = defaults;
    for (auto& [name, value] : changes) settings[name] = value;
    return settings;
  };
  const Case cases[] = {
      {{}, "KORVA LM310 CE4.10", "09040000", {"FlashDisk"}, defaults, "LM310-en"},
      {{"--model", "LM320", "--language=ja", "--volume", "Storage Card", "--volume=ストレージ"},
       "KORVA LM320 CE4.10",
       "11040000",
       {"Storage Card", "ストレージ"},
       with({{"model", "LM320"}, {"language", "ja"}, {"volumes", "Storage Card\nストレージ"}}),
       "LM320-ja"},
      {{"--no-platform", "--time-scale", "0.01", "--message-box", "after:250", "--calibration", "fail",
        "--calibration-data", "1,2 3,4 ", "--reset-device", "absent"},
       "",
       "09040000",
       {"FlashDisk"},
       with({{"time_scale", "0.01"},
             {"message_box", "after:250"},
             {"calibration", "fail"},
             {"calibration_data", "1,2 3,4 "},
             {"reset_device", "absent"}}),
       "none-en"},
      {{"--platform-name", "KORVA LM310 CE4.10 改", "--message-box=never", "--reset-device=ignore", "--processor",
        "sh4", "--ce-version", "5.00", "--ce-build", "1400"},
       "KORVA LM310 CE4.10 改",
       "09040000",
       {"FlashDisk"},
       with({{"message_box", "never"}, {"reset_device", "ignore"}, {"processor", "10005"}, {"ce_version", "5.00"},
             {"ce_build", "1400"}}),
       "unknown-en"},
      {{"--processor", "4000", "--file-times", "exact", "--capacity", "1536k"}, "KORVA LM310 CE4.10", "09040000",
       {"FlashDisk"}, with({{"processor", "4000"}, {"file_times", "exact"}, {"capacity", "1572864"}}), "LM310-en"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    e2e::ImageFolder image;
    std::vector<std::string> args = {"create", image.path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = Termsim(args);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::string platform =
        c.platformName.empty() ? "no Platform key" : "Platform\\Name \"" + c.platformName + "\"";
    EXPECT_EQ(result.out, "created " + image.path() + ": " + c.kind + ", " + platform + ", locale 0x" + c.lcidHex.substr(2, 2) + c.lcidHex.substr(0, 2) + "\n");
    EXPECT_EQ(result.err, "");

    RegistryDump expected = {
        {"HARDWARE", {}},
        {"HARDWARE\\DEVICEMAP", {}},
        {"HARDWARE\\DEVICEMAP\\TOUCH", {}},
        {"SOFTWARE", {}},
        {"SOFTWARE\\Apps", {}},
        {"nls", {"DefaultLCID|4|" + c.lcidHex}},
    };
    if (!c.platformName.empty()) expected["Platform"] = {"Name|1|" + SzHex(c.platformName)};
    EXPECT_EQ(DumpRegistry(image.path()), expected);

    std::vector<std::string> tree = {"fs/", "fs/Windows/", "fs/Windows/wceload.exe", "terminal.db"};
    for (const auto& volume : c.volumes) tree.push_back("fs/" + volume + "/");
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(ImageTree(image.path()), tree);
    EXPECT_EQ(ReadHostFile(image.FsPath("Windows/wceload.exe")), ReadHostFile(WCELOAD_PATH));

    auto settings = Settings(image.path());
    EXPECT_DOUBLE_EQ(std::stod(settings["time_scale"]), std::stod(c.settings.at("time_scale")));
    settings["time_scale"] = c.settings.at("time_scale");
    EXPECT_EQ(settings, c.settings);

    const auto journal = Termsim({"journal", image.path()});
    EXPECT_EQ(journal.exitCode, 0);
    EXPECT_EQ(journal.out, "");
    EXPECT_TRUE(image.Journal().empty());
  }
}

TEST(CreateTest, BadCommandLineIsRefusedAndCreatesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--model", "LM330"},
      {"--model"},
      {"--model="},
      {"--colour", "red"},
      {"-x"},
      {"--language", "fr"},
      {"--no-platform", "--platform-name", "KORVA"},
      {"--no-platform=yes"},
      {"--time-scale", "0"},
      {"--time-scale", "0.0009"},
      {"--time-scale", "-1"},
      {"--time-scale", "1001"},
      {"--time-scale", "fast"},
      {"--time-scale", "nan"},
      {"--time-scale", "1x"},
      {"--message-box", "sometimes"},
      {"--message-box", "after:"},
      {"--message-box", "after:1s"},
      {"--calibration", "maybe"},
      {"--reset-device", "reboot"},
      {"--processor", "PowerPC"},
      {"--processor", "-1"},
      {"--ce-version", "4"},
      {"--ce-version", "4.x"},
      {"--ce-build", "908a"},
      {"--file-times", "ntfs"},
      {"--capacity", "0"},
      {"--capacity", "1.5M"},
      {"--capacity", "2T"},
      {"--capacity", "-1"},
      {"--capacity", "17179869184G"},
      {"--volume", ""},
      {"--volume", "a/b"},
      {"--volume", "a\tb"},
      {"--volume", "..",},
      {"--model", "LM310", "--model", "LM320"},
      {"--platform-name", "\xff\xfe"},
      {"second-image"},
  };
  for (const auto& extra : cases) {
    SCOPED_TRACE(testing::PrintToString(extra));
    e2e::ImageFolder image;
    std::vector<std::string> args = {"create"};
    if (!extra.empty()) args.push_back(image.path());
    args.insert(args.end(), extra.begin(), extra.end());
    const auto result = Termsim(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_FALSE(fs::exists(image.path()));
  }
}

TEST(CreateTest, ExistingImageOrFolderIsLeftAlone) {
  e2e::ImageFolder image;
  image.Create({"--model", "LM310"});
  const auto treeBefore = ImageTree(image.path());
  const auto registryBefore = DumpRegistry(image.path());

  const auto again = Termsim({"create", image.path(), "--model", "LM320", "--no-platform"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_TRUE(e2e::IsOneLine(again.err)) << again.err;
  EXPECT_EQ(ImageTree(image.path()), treeBefore);
  EXPECT_EQ(DumpRegistry(image.path()), registryBefore);
  EXPECT_EQ(Settings(image.path())["model"], "LM310");

  // A folder with something in it, and a plain file: neither is touched.
  const std::string folder = image.scratch() + "/notes";
  fs::create_directories(folder);
  e2e::WriteFile(folder + "/keep.txt", "keep");
  const std::string file = image.scratch() + "/file";
  e2e::WriteFile(file, "plain");
  for (const auto& target : {folder, file}) {
    const auto result = Termsim({"create", target});
    EXPECT_EQ(result.exitCode, 1) << target;
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
  }
  EXPECT_EQ(e2e::ListTree(folder), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(ReadHostFile(file), "plain");

  // An empty folder is a fine place for a new image.
  const std::string empty = image.scratch() + "/empty";
  fs::create_directories(empty);
  const auto created = Termsim({"create", empty});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_TRUE(fs::exists(empty + "/terminal.db"));
  Termsim({"stop", empty});
}

TEST(CreateTest, WithoutTheInstallerBesideItNothingIsCreated) {
  e2e::ImageFolder image;
  const std::string lonely = image.scratch() + "/termsim";
  fs::copy_file(TERMSIM_PATH, lonely);
  const auto result = e2e::RunProgram(lonely, {"create", image.path()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
  EXPECT_NE(result.err.find("wceload"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(image.path()));
}

TEST(CreateTest, CommandsRefuseAMissingOrForeignImage) {
  e2e::ImageFolder image;
  const std::string foreign = image.scratch() + "/foreign";
  fs::create_directories(foreign + "/fs");
  e2e::WriteFile(foreign + "/terminal.db", "not a database at all, just some text to be safe");
  const std::string reg = image.scratch() + "/a.reg";
  e2e::WriteFile(reg, "REGEDIT4\n");
  for (const std::string& target : {image.path(), foreign}) {
    const std::vector<std::vector<std::string>> commands = {
        {"reg", "import", target, reg}, {"reg", "export", target},    {"fault", target, "CreateFileW", "*", "5"},
        {"stop", target},               {"journal", target, "--json"}, {"window", target, "--class", "C"},
    };
    for (const auto& args : commands) {
      SCOPED_TRACE(testing::PrintToString(args));
      const auto result = Termsim(args);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
      EXPECT_EQ(result.out, "");
    }
  }
  EXPECT_FALSE(fs::exists(image.path()));
  EXPECT_EQ(e2e::ListTree(foreign), (std::vector<std::string>{"fs/", "terminal.db"}));
}

}  // namespace
