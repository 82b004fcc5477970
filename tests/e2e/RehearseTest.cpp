// termsim rehearse end to end: folders of real cabinets on twins of every kind and of
// device exports, read back from its JSON document and its HTML page.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>

#include "platform/host/Terminal.h"
#include "tests/e2e/InstallRunSupport.h"

namespace {

namespace fs = std::filesystem;
using installrun::Cab;
using installrun::Ending;
using installrun::Folder;
using installrun::TextFor;

// A JSON value, enough of JSON for the rehearsal's document.
struct Json {
  enum Kind { kNull, kBool, kNumber, kText, kList, kObject } kind = kNull;
  double number = 0;
  std::string text;  // a text, or "true"/"false"
  std::vector<Json> items;
  std::map<std::string, Json> members;

  const Json& operator[](const std::string& name) const {
    static const Json missing;
    auto found = members.find(name);
    EXPECT_TRUE(found != members.end()) << "no member " << name;
    return found == members.end() ? missing : found->second;
  }
  bool Has(const std::string& name) const { return members.count(name) != 0; }
};

void SkipSpace(std::string_view s, size_t& i) {
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
}

std::string ParseText(std::string_view s, size_t& i) {
  std::string text;
  for (++i; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] == '\\') {
      const char c = s[++i];
      text += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
    } else {
      text += s[i];
    }
  }
  ++i;
  return text;
}

Json ParseJson(std::string_view s, size_t& i) {
  Json value;
  SkipSpace(s, i);
  if (s[i] == '{' || s[i] == '[') {
    const bool object = s[i] == '{';
    value.kind = object ? Json::kObject : Json::kList;
    for (++i, SkipSpace(s, i); s[i] != (object ? '}' : ']'); SkipSpace(s, i)) {
      if (s[i] == ',') ++i;
      SkipSpace(s, i);
      if (!object) {
        value.items.push_back(ParseJson(s, i));
        continue;
      }
      const std::string name = ParseText(s, i);
      SkipSpace(s, i);
      ++i;  // the colon
      value.members[name] = ParseJson(s, i);
    }
    ++i;
  } else if (s[i] == '"') {
    value.kind = Json::kText;
    value.text = ParseText(s, i);
  } else if (s.substr(i, 4) == "null") {
    i += 4;
  } else if (s.substr(i, 4) == "true" || s.substr(i, 5) == "false") {
    value.kind = Json::kBool;
    value.text = s[i] == 't' ? "true" : "false";
    i += value.text.size();
  } else {
    value.kind = Json::kNumber;
    size_t used = 0;
    value.number = std::stod(std::string(s.substr(i, 32)), &used);
    i += used;
  }
  return value;
}

struct Rehearsal {
  int exitCode = -1;
  Json report;
  std::string html;
  std::string err;
  std::string out;
};

// `termsim rehearse FOLDER --json --out SCRATCH/outN arguments...`, each rehearsal of a
// test in a new --out.
Rehearsal Rehearse(const installrun::SetupTerminal& source, const std::vector<std::string>& arguments) {
  Rehearsal rehearsal;
  rehearsal.out = source.image().scratch() + "/out";
  for (int n = 2; fs::exists(rehearsal.out); ++n) rehearsal.out = source.image().scratch() + "/out" + std::to_string(n);
  std::vector<std::string> all = {"rehearse", source.FsPath("FlashDisk/SP"), "--json", "--out", rehearsal.out};
  all.insert(all.end(), arguments.begin(), arguments.end());
  const e2e::Result result = e2e::Termsim(all);
  rehearsal.exitCode = result.exitCode;
  rehearsal.err = result.err;
  size_t at = 0;
  if (!result.out.empty()) rehearsal.report = ParseJson(result.out, at);
  if (fs::exists(rehearsal.out + "/report.html")) rehearsal.html = e2e::ReadFile(rehearsal.out + "/report.html");
  return rehearsal;
}

const Json* TwinNamed(const Rehearsal& rehearsal, const std::string& name) {
  for (const auto& twin : rehearsal.report["twins"].items) {
    if (twin["name"].text == name) return &twin;
  }
  ADD_FAILURE() << "no twin " << name;
  return nullptr;
}

// "name=fate" of every CAB of a run, in the report's order.
std::vector<std::string> Fates(const Json& run) {
  std::vector<std::string> fates;
  for (const auto& cab : run["cabs"].items) fates.push_back(cab["name"].text + "=" + cab["fate"].text);
  return fates;
}

// "code" of each reason a twin gives, "code (allowed)" where --allow spared it.
std::vector<std::string> ReasonCodes(const Json& twin) {
  std::vector<std::string> codes;
  for (const auto& reason : twin["reasons"].items)
    codes.push_back(reason["code"].text + (reason["allowed"].text == "true" ? " (allowed)" : ""));
  return codes;
}

std::vector<std::string> WarningKinds(const Rehearsal& rehearsal) {
  std::vector<std::string> kinds;
  for (const auto& warning : rehearsal.report["warnings"].items) kinds.push_back(warning["kind"].text);
  return kinds;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// The matrix of report.html: "twin/run/cab" -> the fate its cell is coloured by.
std::map<std::string, std::string> HtmlMatrix(const std::string& html) {
  std::map<std::string, std::string> cells;
  const std::regex row("<tr data-twin=\"([^\"]*)\" data-run=\"([0-9]+)\">(.*?)</tr>");
  const std::regex cell("<td class=\"fate-([a-z-]+)\" data-cab=\"([^\"]*)\"");
  for (std::sregex_iterator r(html.begin(), html.end(), row), end; r != end; ++r) {
    const std::string cellsText = (*r)[3];
    for (std::sregex_iterator c(cellsText.begin(), cellsText.end(), cell); c != end; ++c) {
      if ((*c)[1] != "none") cells[(*r)[1].str() + "/" + (*r)[2].str() + "/" + (*c)[2].str()] = (*c)[1];
    }
  }
  return cells;
}

// DateTime for a time since 1970, as a .reg hex list.
std::string DateTimeHex(int64_t seconds, long nanoseconds) {
  std::string hex;
  char byte[4];
  for (const char c : installrun::DateTimeBytes(seconds, nanoseconds)) {
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    hex += (hex.empty() ? "" : ",") + std::string(byte);
  }
  return hex;
}

constexpr char kRegHead[] = "Windows Registry Editor Version 5.00\n\n";
std::string PlatformLines(const std::string& model) {
  return "[HKEY_LOCAL_MACHINE\\Platform]\n\"Name\"=\"KORVA " + model + " CE4.10\"\n\n";
}
constexpr char kJapanese[] = "[HKEY_LOCAL_MACHINE\\nls]\n\"DefaultLCID\"=dword:00000411\n\n";

std::string AppLines(const std::string& app, const std::string& cabFile) {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\" + app + "]\n\"Instl\"=dword:00000001\n\"CabFile\"=\"" + cabFile + "\"\n\n";
}

std::string AppsElsewhere(int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += AppLines("Old" + std::to_string(i), "\\\\Elsewhere\\\\Old" + std::to_string(i) + ".cab");
  return lines;
}

const std::vector<installrun::FolderEntry> kTypicalFolder = {Cab("ServicePackHQ40.CAB"), Cab("Patch01.cab"), Cab("Tool.cab")};

TEST(Rehearse, TypicalFolderOnTheFourKinds) {
  installrun::SetupTerminal source;
  source.PutEntries(kTypicalFolder);
  // Three kinds install another model's service pack: that fails them unless allowed.
  const Rehearsal rehearsal = Rehearse(source, {"--allow", "other-model-service-pack"});
  ASSERT_EQ(rehearsal.exitCode, 0) << rehearsal.err;
  struct Expectation {
    std::string kind, language;
    std::vector<std::string> first, second;
  };
  const std::vector<Expectation> expectations = {
      {"LM310-en", "en", {"Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model", "Tool.cab=installed"},
       {"Patch01.cab=skipped-registered", "ServicePackHQ40.CAB=skipped-registered", "Tool.cab=skipped-registered"}},
      {"LM310-ja", "ja", {"ServicePackHQ40.CAB=installed", "Patch01.cab=installed", "Tool.cab=installed"},
       {"ServicePackHQ40.CAB=skipped-unchanged", "Patch01.cab=skipped-registered", "Tool.cab=skipped-registered"}},
      {"LM320-en", "en", {"Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model", "Tool.cab=installed"},
       {"Patch01.cab=skipped-registered", "ServicePackHQ40.CAB=skipped-registered", "Tool.cab=skipped-registered"}},
      {"LM320-ja", "ja", {"Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model", "Tool.cab=installed"},
       {"Patch01.cab=skipped-registered", "ServicePackHQ40.CAB=skipped-registered", "Tool.cab=skipped-registered"}},
  };
  const std::map<std::string, std::string> matrix = HtmlMatrix(rehearsal.html);
  for (const auto& expected : expectations) {
    SCOPED_TRACE(expected.kind);
    const Json* twin = TwinNamed(rehearsal, expected.kind);
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ((*twin)["kind"].text, expected.kind);
    EXPECT_EQ((*twin)["count"].number, 1);
    ASSERT_EQ((*twin)["runs"].items.size(), 2u);
    const Json& first = (*twin)["runs"].items[0];
    const Json& second = (*twin)["runs"].items[1];
    EXPECT_EQ(first["outcome"].text, "completed");
    EXPECT_EQ(first["reset"].text, "true");
    EXPECT_EQ(first["exit_code"].kind, Json::kNull);
    EXPECT_EQ(first["box"]["text"].text, TextFor(Ending::kReset, expected.language));
    EXPECT_EQ(first["box"]["style"].number, installrun::kNoticeStyle);
    EXPECT_EQ(Fates(first), expected.first);
    EXPECT_EQ(first["cabs"].items[0]["exit_code"].number, 0);
    EXPECT_EQ(second["outcome"].text, "silent");
    EXPECT_EQ(second["exit_code"].number, 1);
    EXPECT_EQ(second["box"].kind, Json::kNull);
    EXPECT_EQ(Fates(second), expected.second);
    EXPECT_EQ((*twin)["passed"].text, "true");
    const std::vector<std::string> reasons = {"no-service-pack", "other-model-service-pack (allowed)"};
    EXPECT_EQ(ReasonCodes(*twin), expected.kind == "LM310-ja" ? std::vector<std::string>() : reasons);
    // The page colours each cell by the fate the document gives.
    for (size_t run = 0; run < 2; ++run) {
      for (const auto& cab : (*twin)["runs"].items[run]["cabs"].items) {
        const std::string key = expected.kind + "/" + std::to_string(run + 1) + "/" + cab["name"].text;
        EXPECT_EQ(matrix.count(key) ? matrix.at(key) : "<no cell>", cab["fate"].text) << key;
      }
    }
  }
  EXPECT_EQ(matrix.size(), 4u * 2u * 3u);
  EXPECT_NE(rehearsal.html.find("<p id=\"verdict\" class=\"passed\">Every twin passed. Allowed: other-model-service-pack."),
            std::string::npos);
  EXPECT_EQ(rehearsal.report["allowed"].items.size(), 1u);
  EXPECT_EQ(rehearsal.report["assumptions"].items.size(), 3u);
  EXPECT_EQ(rehearsal.html.find("<script"), std::string::npos);
  EXPECT_EQ(rehearsal.html.find("http"), std::string::npos);
  const Json& summary = rehearsal.report["summary"];
  EXPECT_EQ(summary["terminals"].number, 4);
  EXPECT_EQ(summary["exit_status"].number, 0);
  ASSERT_EQ(summary["outcomes"].items.size(), 1u);
  EXPECT_EQ(summary["outcomes"].items[0]["outcome"].text, "completed, then silent");
  const std::vector<std::string> kinds = WarningKinds(rehearsal);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "other-model-service-pack"), 3);
  EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "no-service-pack"), 3);
  EXPECT_TRUE(Contains(kinds, "service-pack"));
  // The user's folder is as it was: Setup and the three CABs.
  EXPECT_EQ(e2e::ListTree(source.FsPath("FlashDisk/SP")).size(), 4u);
  // Each twin's CABs are its own copies: one written in a twin leaves the user's folder
  // and the other twins as they were.
  const std::string userCab = e2e::ReadFile(source.FsPath("FlashDisk/SP/Tool.cab"));
  const std::string twinCab = rehearsal.out + "/twins/LM310-en/fs/FlashDisk/SP/Tool.cab";
  EXPECT_EQ(fs::hard_link_count(twinCab), 1u);
  e2e::WriteFile(twinCab, "written on the twin");
  EXPECT_EQ(e2e::ReadFile(source.FsPath("FlashDisk/SP/Tool.cab")), userCab);
  EXPECT_EQ(e2e::ReadFile(rehearsal.out + "/twins/LM320-en/fs/FlashDisk/SP/Tool.cab"), userCab);
  // The processes a rehearsal cannot do without: at each of two boots the welcome
  // window's owner and Setup, and the installer for each of the three CABs.
  EXPECT_EQ(rehearsal.report["time_scale"].number, 0.001);
  for (const auto& twin : rehearsal.report["twins"].items) EXPECT_EQ(twin["processes"].number, 2 * 2 + 3);
  EXPECT_EQ(summary["processes"].number, 4 * 7);
  // A twin is made again, never recovered: not synced to disk, unlike termsim create's.
  std::string error;
  ASSERT_TRUE(host::AttachImage(rehearsal.out + "/twins/LM310-ja", &error)) << error;
  EXPECT_EQ(host::Setting("durable"), "no");
  host::DetachImage();

  // Not allowed, the other model's service pack fails the kind that installs it.
  const Rehearsal strict = Rehearse(source, {"--kinds", "LM320-en"});
  EXPECT_EQ(strict.exitCode, 1) << strict.err;
  const Json* twin = TwinNamed(strict, "LM320-en");
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ((*twin)["passed"].text, "false");
  EXPECT_EQ(ReasonCodes(*twin), (std::vector<std::string>{"no-service-pack", "other-model-service-pack"}));
}

TEST(Rehearse, FleetExportsNearTheLimitWithUnchangedAndChangedServicePacksAndRefusals) {
  installrun::SetupTerminal source;
  source.PutEntries(kTypicalFolder);
  // A twin's flash disk keeps it as 1700000002: the time a terminal stored in DateTime.
  installrun::SetLastWriteTime(source.FsPath("FlashDisk/SP/ServicePackHQ40.CAB"), 1700000001, 123456789);
  const std::string fleet = source.image().scratch() + "/fleet";
  fs::create_directories(fleet);
  const std::string servicePack = "\\\\FlashDisk\\\\SP\\\\ServicePackHQ40.CAB";
  const std::string registeredPack = AppLines("KORVA ServicePackHQ40", servicePack);
  const std::string dateTimeKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KORVA\\Service Pack]\n\"DateTime\"=hex:";
  struct Export {
    std::string file, text, count;
    std::string kind, outcome;
    std::vector<std::string> fates;
  };
  const std::vector<Export> exports = {
      {"near-limit.reg", PlatformLines("LM310") + kJapanese + AppsElsewhere(28), "40\n", "LM310-ja",
       "too-many-cabs-reset, then too-many-cabs",
       {"ServicePackHQ40.CAB=installed", "Patch01.cab=installed", "Tool.cab=not-reached-limit"}},
      {"unchanged.reg", PlatformLines("LM310") + kJapanese + registeredPack + dateTimeKey + DateTimeHex(1700000002, 0) + "\n",
       "3", "LM310-ja", "completed, then silent",
       {"ServicePackHQ40.CAB=skipped-unchanged", "Patch01.cab=installed", "Tool.cab=installed"}},
      // The host's time to 100 ns, which no FAT volume reports.
      {"changed.reg", PlatformLines("LM310") + kJapanese + registeredPack + dateTimeKey +
                          DateTimeHex(1700000001, 123456789) + "\n",
       "", "LM310-ja", "completed, then silent",
       {"ServicePackHQ40.CAB=installed", "Patch01.cab=installed", "Tool.cab=installed"}},
      // No DefaultLCID: the terminal reads English.
      {"english.reg", PlatformLines("LM320"), "", "LM320-en", "completed, then silent",
       {"Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model", "Tool.cab=installed"}},
      // A platform of no model: no service pack of its own, the rest installed.
      {"Osaka.REG", PlatformLines("LM330"), "5\r\n", "unknown-en", "completed, then silent",
       {"Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model", "Tool.cab=installed"}},
      {"broken.reg", PlatformLines("LM310") + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:zz\n", "2", "", "broken.reg: line 7", {}},
      {"dup.reg", PlatformLines("LM310"), "", "", "differ only in letter case", {}},
      {"DUP.reg", PlatformLines("LM310"), "", "", "differ only in letter case", {}},
      {"junk.reg", PlatformLines("LM310"), "3 junk\n", "", "junk.count holds \"3 junk\", not one number", {}},
      {"huge.reg", PlatformLines("LM310"), "9223372036854775807", "", "huge.count holds \"9223372036854775807\"", {}},
      // Made a FIFO and a link below: never opened, never followed.
      {"fifo.reg", PlatformLines("LM310"), "", "", "fifo.count is not a file that can be read", {}},
      {"linked.reg", "", "", "", "linked.reg is a link", {}},
  };
  for (const auto& device : exports) {
    e2e::WriteFile(fleet + "/" + device.file, std::string(kRegHead) + device.text);
    if (!device.count.empty()) e2e::WriteFile(fleet + "/" + fs::path(device.file).stem().string() + ".count", device.count);
  }
  e2e::WriteFile(fleet + "/orphan.count", "7\n");
  ASSERT_EQ(::mkfifo((fleet + "/fifo.count").c_str(), 0644), 0);
  fs::remove(fleet + "/linked.reg");
  fs::create_symlink(fleet + "/english.reg", fleet + "/linked.reg");
  const Rehearsal rehearsal = Rehearse(source, {"--fleet", fleet, "--kinds", "LM310-ja"});
  EXPECT_EQ(rehearsal.exitCode, 1) << rehearsal.err;
  std::map<std::string, double> terminalsByOutcome;
  for (const auto& group : rehearsal.report["summary"]["outcomes"].items)
    terminalsByOutcome[group["outcome"].text] = group["terminals"].number;
  for (const auto& device : exports) {
    SCOPED_TRACE(device.file);
    const Json* twin = TwinNamed(rehearsal, fs::path(device.file).stem().string());
    ASSERT_NE(twin, nullptr);
    if (device.kind.empty()) {
      // Refused twins fail, each counted under its own reason, and leave no image.
      const std::string refused = (*twin)["refused"].text;
      EXPECT_NE(refused.find(device.outcome), std::string::npos) << refused;
      EXPECT_EQ(ReasonCodes(*twin), std::vector<std::string>{"refused"});
      EXPECT_EQ(terminalsByOutcome["refused: " + refused], (*twin)["count"].number);
      EXPECT_FALSE(fs::exists(rehearsal.out + "/twins/" + (*twin)["name"].text));
      continue;
    }
    EXPECT_EQ((*twin)["kind"].text, device.kind);
    EXPECT_EQ(Fates((*twin)["runs"].items[0]), device.fates);
    EXPECT_GE(terminalsByOutcome[device.outcome], (*twin)["count"].number);
    EXPECT_TRUE(fs::exists(rehearsal.out + "/twins/" + (*twin)["name"].text + "/terminal.db"));
  }
  EXPECT_EQ((*TwinNamed(rehearsal, "broken"))["count"].number, 2);
  EXPECT_EQ((*TwinNamed(rehearsal, "junk"))["count"].number, 1);
  EXPECT_EQ(terminalsByOutcome["completed, then silent"], 3 + 1 + 1 + 5);
  // The fleet counts its own terminals; the clean kind is shown apart.
  EXPECT_EQ(rehearsal.report["summary"]["terminals"].number, 40 + 3 + 1 + 1 + 5 + 2 + 1 + 1 + 1 + 3);
  ASSERT_EQ(rehearsal.report["summary"]["kinds"].items.size(), 1u);
  EXPECT_EQ(rehearsal.report["summary"]["kinds"].items[0]["kind"].text, "LM310-ja");
  EXPECT_TRUE(Contains(WarningKinds(rehearsal), "count-without-export"));
}

TEST(Rehearse, CabinetWithoutSetupFileAndSurprisingNamesAreWarnedAboutAndEndTheRun) {
  installrun::SetupTerminal source;
  // A terminal refuses a cabinet without a setup file: so must the rehearsal.
  const std::string bare = cabinets::MakeCe(
      {.setup = {.files = {{1, "%InstallDir%", "readme.txt"}}}, .fileBytes = {"r"}, .withSetupFile = false});
  source.PutEntries({Cab("Patch10.cab"), Cab("Patch2.cab"), Cab("Broken.cab", bare), Folder("Folder.cab"),
                     Cab("notes.cab", "not a cabinet")});
  const Rehearsal rehearsal = Rehearse(source, {"--kinds", "LM310-en"});
  EXPECT_EQ(rehearsal.exitCode, 1) << rehearsal.err;
  const std::vector<std::string> kinds = WarningKinds(rehearsal);
  for (const char* kind : {"order", "folder-named-cab", "not-a-cabinet", "no-service-pack"}) EXPECT_TRUE(Contains(kinds, kind)) << kind;
  const Json* twin = TwinNamed(rehearsal, "LM310-en");
  ASSERT_NE(twin, nullptr);
  // The box asks for a reset: the user resets, Setup starts again, and shows it again.
  ASSERT_EQ((*twin)["runs"].items.size(), 2u);
  EXPECT_EQ((*twin)["runs"].items[1]["outcome"].text, "install-error");
  EXPECT_EQ(Fates((*twin)["runs"].items[1]),
            (std::vector<std::string>{"Patch10.cab=skipped-registered", "Patch2.cab=skipped-registered", "Broken.cab=failed",
                                      "Folder.cab=not-reached-error", "notes.cab=not-reached-error"}));
  // The folder's problems come first, then what the runs showed.
  EXPECT_EQ(ReasonCodes(*twin), (std::vector<std::string>{"folder-named-cab", "not-a-cabinet", "no-setup-file",
                                                          "no-service-pack", "box", "cab-failed", "box-at-every-start"}));
  const Json& run = (*twin)["runs"].items[0];
  EXPECT_EQ(run["outcome"].text, "install-error");
  EXPECT_EQ(run["box"]["text"].text, TextFor(Ending::kInstallError, "en"));
  EXPECT_EQ(Fates(run), (std::vector<std::string>{"Patch10.cab=installed", "Patch2.cab=installed", "Broken.cab=failed",
                                                  "Folder.cab=not-reached-error", "notes.cab=not-reached-error"}));
  const Json& broken = run["cabs"].items[2];
  EXPECT_EQ(broken["exit_code"].number, 7);
  EXPECT_NE(broken["reason"].text.find("no setup file"), std::string::npos) << broken["reason"].text;
}

TEST(Rehearse, TwoPatchesOfOneApplicationInstallOneTwiceAndLoop) {
  // Each installation takes the other's registration: the general pass installs
  // Patch11.cab again, and every start installs one of them again.
  const std::string& sameApplication = installrun::ApplicationCabinet("Tool");
  installrun::SetupTerminal source;
  source.PutEntries({Cab("Patch11.cab", sameApplication), Cab("Patch12.cab", sameApplication)});
  const Rehearsal rehearsal = Rehearse(source, {"--kinds", "LM320-ja", "--runs", "3"});
  EXPECT_EQ(rehearsal.exitCode, 1) << rehearsal.err;
  const Json* twin = TwinNamed(rehearsal, "LM320-ja");
  ASSERT_NE(twin, nullptr);
  ASSERT_EQ((*twin)["runs"].items.size(), 3u);
  const Json& first = (*twin)["runs"].items[0];
  EXPECT_EQ(Fates(first), (std::vector<std::string>{"Patch11.cab=installed-twice", "Patch12.cab=installed"}));
  const Json& twice = first["cabs"].items[0];
  EXPECT_EQ(twice["exit_codes"].items.size(), 2u);
  EXPECT_EQ(twice["application"].text, "KORVA Tool");
  EXPECT_NE(twice["reason"].text.find("Patch12.cab registers the same application (KORVA Tool)"), std::string::npos)
      << twice["reason"].text;
  // Once the rehearsal knows both register one application, it explains the next runs:
  // Patch12.cab takes the registration, the other pass installs Patch11.cab again.
  for (size_t run = 1; run < 3; ++run)
    EXPECT_EQ(Fates((*twin)["runs"].items[run]), (std::vector<std::string>{"Patch11.cab=installed", "Patch12.cab=installed"}));
  EXPECT_EQ(ReasonCodes(*twin),
            (std::vector<std::string>{"same-application", "no-service-pack", "installed-twice", "loop", "loop"}));
  // The loop names its cause.
  const Json& loop = (*twin)["reasons"].items[3];
  EXPECT_NE(loop["text"].text.find("Patch11.cab and Patch12.cab register one application (KORVA Tool)"), std::string::npos)
      << loop["text"].text;
}

// termsim check: one pass names every problem, each with its kind and file; the device
// it checks against is set as `create` sets it.
TEST(Rehearse, CheckNamesEveryProblemOfTheFolderInOnePass) {
  installrun::SetupTerminal source;
  const auto setup = [](const std::string& appName, uint32_t processor, uint32_t minMajor) {
    cabinets::Setup ce{.provider = "KORVA", .appName = appName, .processor = processor, .minMajor = minMajor};
    ce.files = {{1, "%InstallDir%", "driver.txt"}};
    return ce;
  };
  const std::string arm920 = cabinets::MakeCe({.setup = setup("Arm920", 2336, 0), .fileBytes = {"d"}});
  std::string truncated = installrun::ApplicationCabinet("Cut");
  truncated.resize(truncated.size() / 2);
  source.PutEntries({Cab("Mips.cab", cabinets::MakeCe({.setup = setup("Mips", 4000, 0), .fileBytes = {"m"}})),
                     Cab("Ce5.cab", cabinets::MakeCe({.setup = setup("Ce5", 0, 5), .fileBytes = {"5"}})),
                     Cab("Arm920.cab", arm920), Cab("Cut.cab", truncated), Cab("Text.cab", "not a cabinet"),
                     Cab("Bare.cab", cabinets::MakeCe({.setup = setup("Bare", 0, 0), .fileBytes = {"b"}, .withSetupFile = false})),
                     Cab("Dll.cab", cabinets::MakeCe({.setup = setup("Dll", 0, 0), .fileBytes = {"x"}, .setupDll = "MZ"})),
                     Cab("Tool.cab", installrun::ApplicationCabinet("Tool")),
                     Cab("TOOL.CAB", installrun::ApplicationCabinet("Tool")),
                     Cab("Star*.cab", installrun::ApplicationCabinet("Star")), Cab("Tab\t.cab", "")});
  const auto check = [&](const std::vector<std::string>& options) {
    std::vector<std::string> arguments = {"check", source.FsPath("FlashDisk/SP"), "--json"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const e2e::Result result = e2e::Termsim(arguments);
    size_t at = 0;
    return std::make_pair(result.exitCode, result.out.empty() ? Json() : ParseJson(result.out, at));
  };
  const auto [exitCode, report] = check({});
  EXPECT_EQ(exitCode, 1);
  std::vector<std::string> problems;
  for (const auto& warning : report["warnings"].items) {
    if (warning["fails"].text == "true") problems.push_back(warning["kind"].text + " " + warning["cab"].text);
  }
  std::sort(problems.begin(), problems.end());
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "damaged Cut.cab", "device-mismatch Arm920.cab", "device-mismatch Ce5.cab",
                          "device-mismatch Mips.cab", "no-setup-file Bare.cab", "not-a-cabinet Text.cab",
                          "same-application Tool.cab", "same-name TOOL.CAB", "setup-dll Dll.cab",
                          "unusable-name Star*.cab", "unusable-name Tab\t.cab"}));
  EXPECT_EQ(report["device"]["assumed"].items.size(), 4u);
  // Told the terminals' processor, the ARM920 cabinet is no problem, and the device says so.
  const auto [armExit, arm] = check({"--processor", "ARM920", "--ce-version", "4.20"});
  EXPECT_EQ(armExit, 1);
  EXPECT_EQ(arm["device"]["processor_name"].text, "ARM920");
  EXPECT_EQ(arm["device"]["ce_version"].text, "4.20");
  EXPECT_EQ(arm["device"]["assumed"].items.size(), 2u);
  for (const auto& warning : arm["warnings"].items) EXPECT_NE(warning["cab"].text, "Arm920.cab") << warning["text"].text;
}

// A Windows program as far as a look at its headers goes: "MZ", and e_lfanew pointing
// at "PE\0\0". Never run.
std::string WindowsProgram(const std::string& mark) {
  std::string bytes(0x40, '\0');
  bytes.replace(0, 2, "MZ");
  bytes[0x3C] = 0x40;
  return bytes + std::string("PE\0\0", 4) + mark;
}

TEST(Rehearse, WindowsSetupInTheFolderIsRunByTheHostBuildWhoseMarkItMustCarry) {
  installrun::SetupTerminal source;
  source.PutEntries(kTypicalFolder);
  fs::remove(source.FsPath("FlashDisk/SP/Setup.exe"));
  const std::string folderSetup = source.FsPath("FlashDisk/SP/SETUP.EXE");
  e2e::WriteFile(folderSetup, WindowsProgram(""));
  const Rehearsal unmarked = Rehearse(source, {"--kinds", "LM310-ja"});
  EXPECT_EQ(unmarked.exitCode, 1) << unmarked.err;
  const Json& setup = unmarked.report["setup"];
  EXPECT_EQ(setup["folder_file"].text, "SETUP.EXE");
  EXPECT_EQ(setup["windows_program"].text, "true");
  EXPECT_TRUE(fs::equivalent(setup["ran"].text, SETUP_PATH)) << setup["ran"].text;
  EXPECT_EQ(setup["mark"].text, "missing");
  EXPECT_NE(unmarked.html.find("in place of the folder's SETUP.EXE, a Windows program, which carries no mark."),
            std::string::npos);
  const Json* twin = TwinNamed(unmarked, "LM310-ja");
  ASSERT_NE(twin, nullptr);
  // The host build ran, under the folder's own name for the program.
  EXPECT_EQ((*twin)["runs"].items[0]["outcome"].text, "completed");
  EXPECT_TRUE(fs::exists(unmarked.out + "/twins/LM310-ja/fs/FlashDisk/SP/SETUP.EXE"));
  EXPECT_EQ(ReasonCodes(*twin), std::vector<std::string>{"foreign-setup"});
  EXPECT_NE((*twin)["reasons"].items[0]["text"].text.find("SETUP.EXE (a Windows program) carries no mark"), std::string::npos);

  // Another build's mark, allowed: nothing else fails the twin.
  e2e::WriteFile(folderSetup, WindowsProgram("KORVA-SETUP-SOURCE:0123456789abcdef"));
  const Rehearsal allowed = Rehearse(source, {"--kinds", "LM310-ja", "--allow", "foreign-setup"});
  EXPECT_EQ(allowed.exitCode, 0) << allowed.err;
  EXPECT_EQ(allowed.report["setup"]["mark"].text, "differs");
  twin = TwinNamed(allowed, "LM310-ja");
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(ReasonCodes(*twin), std::vector<std::string>{"foreign-setup (allowed)"});
  EXPECT_NE((*twin)["reasons"].items[0]["text"].text.find("carries the mark of other sources (KORVA-SETUP-SOURCE:0123456789abcdef)"),
            std::string::npos);
}

TEST(Rehearse, BadInputIsOneLineAndMakesNothing) {
  installrun::SetupTerminal source;
  const std::string scratch = source.image().scratch();
  fs::create_directories(scratch + "/empty");
  fs::create_directories(scratch + "/no-exports");
  e2e::WriteFile(scratch + "/no-exports/a.count", "3\n");
  fs::create_directories(scratch + "/no-setup");
  e2e::WriteFile(scratch + "/no-setup/a.cab", installrun::ApplicationCabinet("a"));
  // Neither a Windows program nor one the terminal runs.
  fs::create_directories(scratch + "/no-program");
  e2e::WriteFile(scratch + "/no-program/setup.exe", "MZ but no more");
  // What a terminal's folder cannot hold, and must never be opened or followed.
  const std::string folder = source.FsPath("FlashDisk/SP");
  for (const char* hostile : {"linked", "fifo"}) fs::copy(folder, scratch + "/" + hostile);
  fs::create_symlink("/etc/hostname", scratch + "/linked/Patch99.cab");
  ASSERT_EQ(::mkfifo((scratch + "/fifo/x.cab").c_str(), 0644), 0);
  const std::vector<std::vector<std::string>> commandLines = {
      {scratch + "/linked"}, {scratch + "/fifo"}, {folder, "--out", folder + "/out"}, {folder, "--out", ""},
      {folder, "--at", "\\a:b"}, {folder, "--at", "\\" + std::string(250, 'x')},
      {scratch + "/missing"}, {scratch + "/empty"},        {scratch + "/no-setup"}, {scratch + "/no-program"},
      {folder, "-j", "0"},    {folder, "--kinds", "LM330-en"}, {folder, "--kinds", "none"},
      {folder, "--runs", "0"}, {folder, "--at", "FlashDisk"},
      {folder, "--allow", "box,nothing"}, {folder, "--fleet", scratch + "/no-exports"},
      {folder, "--reg-encoding", "klingon"}, {folder, "--processor", "Z80"}, {folder, "--file-times", "ntfs"},
  };
  for (auto arguments : commandLines) {
    arguments.insert(arguments.begin(), "rehearse");
    if (std::find(arguments.begin(), arguments.end(), "--out") == arguments.end())
      arguments.insert(arguments.end(), {"--out", scratch + "/out"});
    const e2e::Result result = e2e::Termsim(arguments);
    EXPECT_EQ(result.exitCode, 2) << arguments[1] << " " << result.err;
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(fs::exists(scratch + "/out"));
    EXPECT_FALSE(fs::exists(folder + "/out"));
  }
}

// The processes on the host that still name `out` in their command line or environment
// (the rehearsal's workers, and every program of its twins), one line each.
std::string ProcessesOf(const std::string& out) {
  std::string found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(::getpid())) continue;
    std::string cmdline = e2e::ReadFile(entry.path().string() + "/cmdline");
    if (cmdline.find(out) == std::string::npos && e2e::ReadFile(entry.path().string() + "/environ").find(out) == std::string::npos)
      continue;
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    found += pid + " " + cmdline + "\n";
  }
  return found;
}

// A rehearsal ended by a signal, or killed outright, leaves no process behind within a
// second, and its folder says the rehearsal did not finish.
TEST(Rehearse, InterruptedRehearsalLeavesNoProcessAndSaysItDidNotFinish) {
  installrun::SetupTerminal source;
  source.PutEntries(kTypicalFolder);
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(::strsignal(signal));
    const std::string out = source.image().scratch() + "/cut" + std::to_string(signal);
    // At real time, Setup waits five seconds before its reset: time to cut it short.
    e2e::Process rehearsal(TERMSIM_PATH, {"rehearse", source.FsPath("FlashDisk/SP"), "--kinds", "LM310-ja,LM320-ja",
                                          "--time-scale", "1", "--out", out}, {});
    ASSERT_TRUE(e2e::WaitUntil(30, [&] { return !ProcessesOf(out + "/twins/").empty(); }));
    ::kill(rehearsal.pid(), signal);
    const e2e::Result result = rehearsal.Finish();
    EXPECT_EQ(result.exitCode, signal == SIGTERM ? 130 : 128 + SIGKILL) << result.err;
    EXPECT_TRUE(e2e::WaitUntil(1, [&] { return ProcessesOf(out).empty(); })) << ProcessesOf(out);
    EXPECT_TRUE(fs::exists(out + "/.rehearsal"));
    EXPECT_NE(e2e::ReadFile(out + "/report.html").find("did not finish"), std::string::npos);
  }
  // A new rehearsal into that folder says what it holds.
  const e2e::Result again = e2e::Termsim({"rehearse", source.FsPath("FlashDisk/SP"), "--out",
                                          source.image().scratch() + "/cut" + std::to_string(SIGTERM)});
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_NE(again.err.find("a rehearsal that did not finish"), std::string::npos) << again.err;
}

// Of two rehearsals started together into one --out, one wins, every time.
TEST(Rehearse, TwoRehearsalsIntoOneOutOneWins) {
  installrun::SetupTerminal source;
  source.PutEntries({Cab("ServicePackHQ40.CAB")});
  for (int round = 0; round < 20; ++round) {
    const std::string out = source.image().scratch() + "/race" + std::to_string(round);
    const std::vector<std::string> arguments = {"rehearse", source.FsPath("FlashDisk/SP"), "--kinds", "LM310-ja",
                                                "--runs", "1", "--out", out};
    e2e::Process first(TERMSIM_PATH, arguments, {}), second(TERMSIM_PATH, arguments, {});
    const e2e::Result results[] = {first.Finish(), second.Finish()};
    EXPECT_EQ((results[0].exitCode == 2) + (results[1].exitCode == 2), 1) << results[0].err << results[1].err;
    for (const auto& result : results) {
      if (result.exitCode == 2) {
        EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
      }
    }
    EXPECT_TRUE(fs::exists(out + "/report.html"));
    EXPECT_FALSE(fs::exists(out + "/.rehearsal"));
  }
}

}  // namespace
