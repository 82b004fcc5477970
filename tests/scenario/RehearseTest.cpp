// termsim rehearse end to end: folders of real cabinets on twins of every kind and of
// device exports, read back from its JSON document and its HTML page.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string_view>

#include "platform/host/Image.h"
#include "terminal/rehearsal/JsonReader.h"
#include "tests/scenario/SetupRunSupport.h"

namespace {

namespace fs = std::filesystem;
using installrun::Cab;
using installrun::Ending;
using installrun::Folder;
using installrun::TextFor;

using Json = rehearsal::JsonValue;

// A document termsim printed; a test failure unless it is JSON.
Json ReadJson(const std::string& text) {
  std::string why;
  auto document = rehearsal::ParseJson(text, &why);
  EXPECT_TRUE(document) << why;
  return document ? std::move(*document) : Json();
}

struct Rehearsal {
  int exitCode = -1;
  std::string json;  // the document as printed
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
  rehearsal.json = result.out;
  if (!result.out.empty()) rehearsal.report = ReadJson(result.out);
  if (fs::exists(rehearsal.out + "/report.html")) rehearsal.html = ReadHostFile(rehearsal.out + "/report.html");
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
    codes.push_back(reason["code"].text + (reason["allowed"].boolean ? " (allowed)" : ""));
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

// An HTML fragment's text, without its tags.
std::string TextOf(std::string_view html) {
  std::string text;
  bool inTag = false;
  for (const char c : html) {
    if (c == '<' || c == '>') inTag = c == '<';
    else if (!inTag) text += c;
  }
  return text;
}

// The value of the attribute `name` of the tag that begins at `at`; "" without it.
std::string Attribute(const std::string& html, size_t at, const std::string& name) {
  const size_t found = html.find(" " + name + "=\"", at);
  if (found > html.find('>', at)) return "";
  const size_t start = found + name.size() + 3;
  return html.substr(start, html.find('"', start) - start);
}

// A cell of report.html's matrix: the fate it is coloured by, and its text.
struct Cell {
  std::string fate, text;
};

// The matrix of report.html: "twin/run/cab" -> its cell, "twin/run/" -> the run's own cell.
// Rows and CAB cells are read as outside readers take them: a row is one line opening
// with `<tr data-twin="T" data-run="N">`, a CAB cell opens with `<td class="fate-F" data-cab="C"`.
std::map<std::string, Cell> HtmlMatrix(const std::string& html) {
  std::map<std::string, Cell> cells;
  for (size_t row = html.find("<tr data-twin="); row != std::string::npos; row = html.find("<tr data-twin=", row + 1)) {
    const std::string twin = Attribute(html, row, "data-twin"), run = Attribute(html, row, "data-run");
    const size_t rowEnd = html.find("</tr>", row);
    EXPECT_EQ(html.substr(row, html.find('>', row) + 1 - row), "<tr data-twin=\"" + twin + "\" data-run=\"" + run + "\">");
    EXPECT_GT(html.find('\n', row), rowEnd) << twin << " " << run;
    for (size_t cell = html.find("<td", row); cell < rowEnd; cell = html.find("<td", cell + 1)) {
      const std::string fate = Attribute(html, cell, "class"), cab = Attribute(html, cell, "data-cab");
      const std::string text = TextOf(html.substr(cell, html.find("</td>", cell) - cell));
      if (fate.rfind("fate-", 0) != 0) {
        cells[twin + "/" + run + "/"] = {"", text};
        continue;
      }
      EXPECT_EQ(html.substr(cell, fate.size() + cab.size() + 24), "<td class=\"" + fate + "\" data-cab=\"" + cab + "\"");
      if (fate != "fate-none") cells[twin + "/" + run + "/" + cab] = {fate.substr(5), text};
    }
  }
  return cells;
}

// The matrix's CAB columns, in order.
std::vector<std::string> HtmlColumns(const std::string& html) {
  std::vector<std::string> columns;
  for (size_t at = html.find("<th data-cab="); at != std::string::npos; at = html.find("<th data-cab=", at + 1))
    columns.push_back(Attribute(html, at, "data-cab"));
  return columns;
}

// A group of report.html: its summary's text and its twins.
struct HtmlGroup {
  std::string summary;
  std::vector<std::string> twins;
};
std::vector<HtmlGroup> HtmlGroups(const std::string& html) {
  std::vector<HtmlGroup> groups;
  for (size_t at = html.find("<details class=\"group "); at != std::string::npos;
       at = html.find("<details class=\"group ", at + 1)) {
    const size_t summary = html.find("<summary>", at), end = html.find("</details>", at);
    HtmlGroup group{TextOf(html.substr(summary, html.find("</summary>", at) - summary)), {}};
    for (size_t twin = html.find("data-twin=", at); twin < end; twin = html.find("data-twin=", twin + 1))
      group.twins.push_back(Attribute(html, twin - 1, "data-twin"));
    groups.push_back(group);
  }
  return groups;
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
  EXPECT_EQ(rehearsal.err, "");  // no progress line where standard error is no terminal
  const std::map<std::string, Cell> matrix = HtmlMatrix(rehearsal.html);
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
    EXPECT_TRUE(first["reset"].boolean);
    EXPECT_EQ(first["exit_code"].kind, Json::Kind::Null);
    EXPECT_EQ(first["box"]["text"].text, TextFor(Ending::kReset, expected.language));
    EXPECT_EQ(first["box"]["style"].number, installrun::kNoticeStyle);
    EXPECT_EQ(Fates(first), expected.first);
    EXPECT_EQ(first["cabs"].items[0]["exit_code"].number, 0);
    EXPECT_EQ(second["outcome"].text, "silent");
    EXPECT_EQ(second["exit_code"].number, 1);
    EXPECT_EQ(second["box"].kind, Json::Kind::Null);
    EXPECT_EQ(Fates(second), expected.second);
    EXPECT_TRUE((*twin)["passed"].boolean);
    const std::vector<std::string> reasons = {"no-service-pack", "other-model-service-pack (allowed)"};
    EXPECT_EQ(ReasonCodes(*twin), expected.kind == "LM310-ja" ? std::vector<std::string>() : reasons);
    // The page colours each cell by the fate the document gives, and marks the service
    // pack the twin's kind installs first.
    for (size_t run = 0; run < 2; ++run) {
      for (const auto& cab : (*twin)["runs"].items[run]["cabs"].items) {
        const std::string key = expected.kind + "/" + std::to_string(run + 1) + "/" + cab["name"].text;
        const Cell cell = matrix.count(key) ? matrix.at(key) : Cell{"<no cell>", ""};
        EXPECT_EQ(cell.fate, cab["fate"].text) << key;
        const bool own = expected.kind == "LM310-ja" && cab["name"].text == "ServicePackHQ40.CAB";
        EXPECT_EQ(cell.text.find("its service pack, taken first") != std::string::npos, own) << key;
      }
    }
  }
  EXPECT_EQ(matrix.size(), 4u * 2u * (3u + 1u));
  // In words, in one column order for every twin, though LM310-en meets Patch01.cab first.
  EXPECT_EQ(matrix.at("LM310-ja/2/ServicePackHQ40.CAB").text,
            "its service pack, taken firstskipped: the service pack is unchanged (DateTime)");
  EXPECT_EQ(matrix.at("LM310-en/1/ServicePackHQ40.CAB").text.rfind(
                "installed as an application: it is another model's service pack", 0),
            0u);
  // What an installation wrote is in its cell.
  EXPECT_NE(matrix.at("LM310-en/1/Tool.cab").text.find("1 file\\Program Files\\KORVA Tool\\readme.txt"), std::string::npos)
      << matrix.at("LM310-en/1/Tool.cab").text;
  EXPECT_EQ(HtmlColumns(rehearsal.html),
            (std::vector<std::string>{"ServicePackHQ40.CAB", "Patch01.cab", "Tool.cab"}));
  EXPECT_NE(rehearsal.html.find("<body>\n<header>\n<p id=\"verdict\" class=\"passed\">Passed: all 4 twins pass.</p>\n"
                                "<p id=\"allowed\">Allowed: other-model-service-pack.</p>"),
            std::string::npos);
  // The twins whose runs end alike, largest group first.
  const std::vector<HtmlGroup> groups = HtmlGroups(rehearsal.html);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].twins, (std::vector<std::string>{"LM310-en", "LM320-en", "LM320-ja"}));
  EXPECT_EQ(groups[0].summary.rfind("✓ passed 3 terminals in 3 twins (LM310-en, LM320-en, LM320-ja): completion notice", 0), 0u)
      << groups[0].summary;
  EXPECT_EQ(groups[1].twins, std::vector<std::string>{"LM310-ja"});
  EXPECT_NE(groups[1].summary.find("1 terminal in 1 twin (LM310-ja)"), std::string::npos) << groups[1].summary;
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
  const std::string userCab = ReadHostFile(source.FsPath("FlashDisk/SP/Tool.cab"));
  const std::string twinCab = rehearsal.out + "/twins/LM310-en/fs/FlashDisk/SP/Tool.cab";
  EXPECT_EQ(fs::hard_link_count(twinCab), 1u);
  e2e::WriteFile(twinCab, "written on the twin");
  EXPECT_EQ(ReadHostFile(source.FsPath("FlashDisk/SP/Tool.cab")), userCab);
  EXPECT_EQ(ReadHostFile(rehearsal.out + "/twins/LM320-en/fs/FlashDisk/SP/Tool.cab"), userCab);
  // The processes a rehearsal cannot do without: at each of two boots the welcome
  // window's owner and Setup, and the installer for each of the three CABs.
  EXPECT_EQ(rehearsal.report["time_scale"].number, 0.001);
  for (const auto& twin : rehearsal.report["twins"].items) EXPECT_EQ(twin["processes"].number, 2 * 2 + 3);
  EXPECT_EQ(summary["processes"].number, 4 * 7);
  // A twin is made again, never recovered: not synced to disk, unlike termsim create's.
  ASSERT_NO_THROW(host::AttachImage(rehearsal.out + "/twins/LM310-ja"));
  EXPECT_EQ(host::Setting("durable"), "no");
  host::DetachImage();

  // Not allowed, the other model's service pack fails the kind that installs it.
  const Rehearsal strict = Rehearse(source, {"--kinds", "LM320-en"});
  EXPECT_EQ(strict.exitCode, 1) << strict.err;
  const Json* twin = TwinNamed(strict, "LM320-en");
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ((*twin)["passed"].kind, Json::Kind::Bool);
  EXPECT_FALSE((*twin)["passed"].boolean);
  EXPECT_EQ(ReasonCodes(*twin), (std::vector<std::string>{"no-service-pack", "other-model-service-pack"}));
}

TEST(Rehearse, FleetExportsNearTheLimitWithUnchangedAndChangedServicePacksAndRefusals) {
  installrun::SetupTerminal source;
  // Two kinds of the fleet each install their own service pack first.
  source.PutEntries({Cab("ServicePackHQ20.CAB"), Cab("ServicePackHQ40.CAB"), Cab("Patch01.cab"), Cab("Tool.cab")});
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
       {"ServicePackHQ40.CAB=installed", "Patch01.cab=installed", "ServicePackHQ20.CAB=not-reached-limit",
        "Tool.cab=not-reached-limit"}},
      {"unchanged.reg", PlatformLines("LM310") + kJapanese + registeredPack + dateTimeKey + DateTimeHex(1700000002, 0) + "\n",
       "3", "LM310-ja", "completed, then silent",
       {"ServicePackHQ40.CAB=skipped-unchanged", "Patch01.cab=installed", "ServicePackHQ20.CAB=installed-other-model",
        "Tool.cab=installed"}},
      // The host's time to 100 ns, which no FAT volume reports.
      {"changed.reg", PlatformLines("LM310") + kJapanese + registeredPack + dateTimeKey +
                          DateTimeHex(1700000001, 123456789) + "\n",
       "", "LM310-ja", "completed, then silent",
       {"ServicePackHQ40.CAB=installed", "Patch01.cab=installed", "ServicePackHQ20.CAB=installed-other-model",
        "Tool.cab=installed"}},
      // No DefaultLCID: the terminal reads English.
      {"english.reg", PlatformLines("LM310"), "", "LM310-en", "completed, then silent",
       {"ServicePackHQ20.CAB=installed", "Patch01.cab=installed", "ServicePackHQ40.CAB=installed-other-model",
        "Tool.cab=installed"}},
      // A platform of no model: no service pack of its own, the rest installed.
      {"Osaka.REG", PlatformLines("LM330"), "5\r\n", "unknown-en", "completed, then silent",
       {"Patch01.cab=installed", "ServicePackHQ20.CAB=installed-other-model", "ServicePackHQ40.CAB=installed-other-model",
        "Tool.cab=installed"}},
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
  const std::map<std::string, Cell> matrix = HtmlMatrix(rehearsal.html);
  const size_t refusedList = rehearsal.html.find("<ul id=\"refused\"");
  const std::string refusedHtml = rehearsal.html.substr(refusedList, rehearsal.html.find("\n</ul>", refusedList) - refusedList);
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
      // The page lists them apart, and not as rows of the matrix.
      EXPECT_NE(refusedHtml.find("data-twin=\"" + (*twin)["name"].text + "\""), std::string::npos);
      EXPECT_EQ(matrix.count((*twin)["name"].text + "/1/"), 0u);
      continue;
    }
    EXPECT_EQ((*twin)["kind"].text, device.kind);
    EXPECT_EQ(Fates((*twin)["runs"].items[0]), device.fates);
    const std::string own = device.kind == "LM310-en" ? "ServicePackHQ20.CAB" : device.kind == "LM310-ja" ? "ServicePackHQ40.CAB" : "";
    for (const auto& cab : (*twin)["runs"].items[0]["cabs"].items) {
      const std::string key = (*twin)["name"].text + "/1/" + cab["name"].text;
      EXPECT_EQ(matrix.count(key) && matrix.at(key).text.find("taken first") != std::string::npos, cab["name"].text == own) << key;
    }
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
  // One column order for both kinds: the service packs in the model table's order first.
  EXPECT_EQ(HtmlColumns(rehearsal.html),
            (std::vector<std::string>{"ServicePackHQ20.CAB", "ServicePackHQ40.CAB", "Patch01.cab", "Tool.cab"}));
  // The failed group of the most terminals first, a box at every start said so.
  const std::vector<HtmlGroup> groups = HtmlGroups(rehearsal.html);
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups[0].twins, std::vector<std::string>{"near-limit"});
  EXPECT_NE(groups[0].summary.find("✗ failed 40 terminals in 1 twin (LM310-ja): over 30 CABs after installing some: a "
                                   "manual reset is asked for; then a box at every start: over 30 CABs: nothing installed again"),
            std::string::npos)
      << groups[0].summary;
}

TEST(Rehearse, CabinetWithoutSetupFileAndSurprisingNamesAreWarnedAboutAndEndTheRun) {
  installrun::SetupTerminal source;
  // A terminal refuses a cabinet without a setup file: so must the rehearsal.
  const std::string bare = cabinets::MakeCe(
      {.setup = {.files = {{1, "%InstallDir%", "readme.txt"}}}, .fileBytes = {"r"}, .withSetupFile = false});
  // Names of wide (two columns) and halfwidth (one) characters, for the table's columns.
  const std::map<std::string, size_t> widths = {{"Patch10.cab", 11}, {"Patch2.cab", 10}, {"Broken.cab", 10},
                                                {"Folder.cab", 10},  {"notes.cab", 9},   {"在庫ツール.cab", 14},
                                                {"ﾒﾓ.cab", 6}};
  source.PutEntries({Cab("Patch10.cab"), Cab("Patch2.cab"), Cab("Broken.cab", bare), Folder("Folder.cab"),
                     Cab("notes.cab", "not a cabinet"), Cab("在庫ツール.cab"), Cab("ﾒﾓ.cab")});
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
                                      "Folder.cab=not-reached-error", "notes.cab=not-reached-error",
                                      "在庫ツール.cab=not-reached-error", "ﾒﾓ.cab=not-reached-error"}));
  // The folder's problems come first, then what the runs showed.
  EXPECT_EQ(ReasonCodes(*twin), (std::vector<std::string>{"folder-named-cab", "not-a-cabinet", "no-setup-file",
                                                          "no-service-pack", "box", "cab-failed", "box-at-every-start"}));
  const Json& run = (*twin)["runs"].items[0];
  EXPECT_EQ(run["outcome"].text, "install-error");
  EXPECT_EQ(run["box"]["text"].text, TextFor(Ending::kInstallError, "en"));
  EXPECT_EQ(Fates(run), (std::vector<std::string>{"Patch10.cab=installed", "Patch2.cab=installed", "Broken.cab=failed",
                                                  "Folder.cab=not-reached-error", "notes.cab=not-reached-error",
                                                  "在庫ツール.cab=not-reached-error", "ﾒﾓ.cab=not-reached-error"}));
  const Json& broken = run["cabs"].items[2];
  EXPECT_EQ(broken["exit_code"].number, 7);
  EXPECT_NE(broken["reason"].text.find("no setup file"), std::string::npos) << broken["reason"].text;
  // The page says why, without hovering, and that the box comes at every start.
  const std::map<std::string, Cell> matrix = HtmlMatrix(rehearsal.html);
  EXPECT_EQ(matrix.at("LM310-en/1/Folder.cab").text, "not reached: after Broken.cab failed");
  EXPECT_EQ(matrix.at("LM310-en/2/").text.rfind("2. a box at every start: install error again", 0), 0u)
      << matrix.at("LM310-en/2/").text;

  // The table: the verdict and the groups before the twins, counts in their number, and
  // each CAB's words at one column, however wide the characters of its name.
  const e2e::Result table =
      e2e::Termsim({"rehearse", source.FsPath("FlashDisk/SP"), "--kinds", "LM310-en", "--out", rehearsal.out + "-table"});
  EXPECT_EQ(table.exitCode, 1) << table.err;
  EXPECT_EQ(table.out.rfind("Failed: the twin fails. Nothing allowed.\n", 0), 0u) << table.out;
  const size_t groups = table.out.find("\nThe twins: 1 terminal in 1 twin\n  failed  1 terminal   install error; then a box "
                                       "at every start: install error again\n");
  EXPECT_LT(groups, table.out.find("\nLM310-en (LM310-en, 1 terminal): failed\n")) << table.out;
  std::set<size_t> wordsColumns;
  for (size_t line = table.out.find("\n    "); line != std::string::npos; line = table.out.find("\n    ", line + 1)) {
    const size_t name = line + 5, blank = table.out.find(' ', name);
    const auto width = widths.find(table.out.substr(name, blank - name));
    if (width != widths.end()) wordsColumns.insert(4 + width->second + (table.out.find_first_not_of(' ', blank) - blank));
  }
  EXPECT_EQ(wordsColumns.size(), 1u) << table.out;
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
  // The page's row says it is a loop.
  const std::string row = HtmlMatrix(rehearsal.html).at("LM320-ja/3/").text;
  EXPECT_EQ(row.rfind("3. a loop: completion notice, then the reset, again at every start", 0), 0u) << row;
}

// A rehearsal in a pipeline: JUnit XML for CI, what changed between two versions of a
// folder, and a rehearsal cut into parts that merge into the same report.
TEST(Rehearse, JunitCompareAndShardsMergedAsOne) {
  installrun::SetupTerminal source;
  source.PutEntries(kTypicalFolder);
  installrun::SetLastWriteTime(source.FsPath("FlashDisk/SP/ServicePackHQ40.CAB"), 1700000002, 0);
  const std::string scratch = source.image().scratch(), fleet = scratch + "/fleet";
  fs::create_directories(fleet);
  e2e::WriteFile(fleet + "/stored.reg", std::string(kRegHead) + PlatformLines("LM310") + kJapanese +
                                            AppLines("KORVA ServicePackHQ40", "\\\\FlashDisk\\\\SP\\\\ServicePackHQ40.CAB") +
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KORVA\\Service Pack]\n\"DateTime\"=hex:" +
                                            DateTimeHex(1700000002, 0) + "\n");
  e2e::WriteFile(fleet + "/broken.reg", std::string(kRegHead) + "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:zz\n");
  const std::vector<std::string> twins = {"--fleet", fleet, "--kinds", "LM310-ja,LM320-en"};
  const auto rehearse = [&](std::vector<std::string> options) {
    options.insert(options.end(), twins.begin(), twins.end());
    return Rehearse(source, options);
  };
  const std::string junit = scratch + "/junit.xml";
  std::vector<std::string> options = {"--junit", junit};
  const Rehearsal before = rehearse(options);
  ASSERT_EQ(before.exitCode, 1) << before.err;
  // One test case per twin: LM320-en fails by its reasons, the refused export is an error.
  const std::string xml = ReadHostFile(junit);
  EXPECT_NE(xml.find("<testsuite name=\"termsim rehearse "), std::string::npos) << xml;
  EXPECT_NE(xml.find("tests=\"4\" failures=\"1\" errors=\"1\" skipped=\"0\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<testcase classname=\"LM310-ja\" name=\"LM310-ja\">\n    <properties><property name=\"terminals\" "
                     "value=\"1\"/></properties>\n  </testcase>"),
            std::string::npos) << xml;
  EXPECT_NE(xml.find("<testcase classname=\"LM320-en\" name=\"LM320-en\">"), std::string::npos);
  EXPECT_NE(xml.find("<failure type=\"verdict\" message=\"other-model-service-pack: "), std::string::npos);
  EXPECT_NE(xml.find("<testcase classname=\"fleet\" name=\"broken\">"), std::string::npos);
  EXPECT_NE(xml.find("<error type=\"refused\" message=\"broken.reg: line 4"), std::string::npos);
  EXPECT_EQ(xml.find("skipped>"), std::string::npos);

  const auto compare = [&](const Rehearsal& a, const Rehearsal& b) {
    e2e::WriteFile(scratch + "/a.json", a.json);
    e2e::WriteFile(scratch + "/b.json", b.json);
    return e2e::Termsim({"compare", scratch + "/a.json", scratch + "/b.json"});
  };
  const e2e::Result same = compare(before, before);
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_EQ(same.out, "Nothing changed.\n");
  // The next version of the folder: one patch more, the service pack made anew.
  source.PutEntries({Cab("Patch02.cab")});
  installrun::SetLastWriteTime(source.FsPath("FlashDisk/SP/ServicePackHQ40.CAB"), 1700000100, 0);
  const Rehearsal after = rehearse({});
  const e2e::Result changed = compare(before, after);
  EXPECT_EQ(changed.exitCode, 1) << changed.err;
  for (const char* line : {"LM310-ja run 1: Patch02.cab: installed (new in the folder)\n",
                           "stored run 1: ServicePackHQ40.CAB: skipped-unchanged \u2192 installed\n"})
    EXPECT_NE(changed.out.find(line), std::string::npos) << line << changed.out;

  // Three parts, each rehearsed apart, merge into the report of one rehearsal.
  std::vector<std::string> parts;
  for (int k = 1; k <= 3; ++k) {
    const Rehearsal part = rehearse({"--shard", std::to_string(k) + "/3"});
    parts.push_back(scratch + "/part" + std::to_string(k) + ".json");
    e2e::WriteFile(parts.back(), part.json);
  }
  std::vector<std::string> merge = {"merge"};
  merge.insert(merge.end(), parts.begin(), parts.end());
  merge.push_back("--json");
  const e2e::Result merged = e2e::Termsim(merge);
  EXPECT_EQ(merged.exitCode, 1) << merged.err;
  const std::regex outPaths("/out[0-9]*");
  EXPECT_EQ(std::regex_replace(merged.out, outPaths, "/OUT"), std::regex_replace(after.json, outPaths, "/OUT"));
  const e2e::Result missing = e2e::Termsim({"merge", parts[0], parts[2]});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("part 2 of 3 is missing"), std::string::npos) << missing.err;
}

// termsim check: one pass names every problem, each with its kind and file; the device
// it checks against is set as `create` sets it.
// A shell command line's words, as the report quotes them: 'single-quoted' or bare.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\'') {
      const size_t end = line.find('\'', i + 1);
      word += line.substr(i + 1, end - i - 1);
      i = end;
      inWord = true;
    } else if (line[i] == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += line[i];
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

// "number api target torn" of a damaged point, as a sample and the full sweep must agree.
std::string PointKey(const Json& point) {
  return std::to_string(static_cast<int>(point["point"].number)) + " " + point["api"].text + " " + point["target"].text +
         " " + point["torn"].text;
}

TEST(Rehearse, PowerCutsFindTheTornCalibrationRecordAndSamplesDrawFromTheSweep) {
  installrun::SetupTerminal source;
  source.PutEntries({Cab("Patch01.cab")});
  const std::string scratch = source.image().scratch(), fleet = scratch + "/fleet";
  fs::create_directories(fleet);
  // Patch01 registered, and an empty calibration that Setup makes no record of: a run
  // that writes nothing but what the touch driver does, wherever the power goes.
  e2e::WriteFile(fleet + "/settled.reg", std::string(kRegHead) + PlatformLines("LM310") + kJapanese +
                                             AppLines("KORVA Patch01", "\\\\FlashDisk\\\\SP\\\\Patch01.cab") +
                                             "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n\"CalibrationData\"=\"\"\n");
  const std::string junit = scratch + "/junit.xml";
  const Rehearsal full = Rehearse(source, {"--kinds", "LM310-ja", "--fleet", fleet, "--power-cuts", "all", "--junit", junit});
  ASSERT_EQ(full.exitCode, 1) << full.err;
  EXPECT_EQ(full.report["power_cuts"]["mode"].text, "all");
  const Json* clean = TwinNamed(full, "LM310-ja");
  const Json* settled = TwinNamed(full, "settled");
  ASSERT_TRUE(clean && settled);

  // The clean twin calibrates and stores its record: a torn copy of it is never repaired.
  const Json& cuts = (*clean)["power_cuts"];
  EXPECT_EQ(cuts["points"].number, cuts["of"].number);
  EXPECT_EQ(cuts["recovered"].number + static_cast<double>(cuts["damaged"].items.size()), cuts["points"].number);
  const Json* torn = nullptr;
  for (const auto& point : cuts["damaged"].items) {
    if (point["api"].text == "CopyFileW" && point["target"].text == "\\FlashDisk\\Calibrate.dat" && point["torn"].boolean)
      torn = &point;
  }
  ASSERT_NE(torn, nullptr) << full.json;
  EXPECT_EQ((*torn)["class"].text, "calibration");
  EXPECT_EQ((*torn)["caller"].text, "\\FlashDisk\\SP\\Setup.exe");
  std::smatch bytes;
  const std::string difference = (*torn)["differences"].items.at(0).text;
  ASSERT_TRUE(std::regex_match(difference, bytes, std::regex(R"(\\FlashDisk\\Calibrate\.dat: (\d+) of (\d+) bytes, torn)")))
      << difference;
  EXPECT_TRUE(Contains(ReasonCodes(*clean), "power-cut-calibration"));
  EXPECT_NE(full.html.find("leave a difference"), std::string::npos);

  // Its repeat rule, on a copy of the twin before its rehearsal, leaves the same record;
  // so does the rule of the last flag Setup restores, a call its program made before.
  const Json* flag = nullptr;
  for (const auto& point : cuts["damaged"].items) {
    if (point["api"].text == "RegSetValueExW" && point["target"].text.ends_with(":fAskDest")) flag = &point;
  }
  ASSERT_NE(flag, nullptr) << full.json;
  EXPECT_EQ((*flag)["class"].text, "setup");
  EXPECT_GT((*flag)["after"].number, 0);
  const auto repeat = [&](const Json& point, const std::string& copy) {
    fs::copy(full.out + "/twins/LM310-ja.before", copy, fs::copy_options::recursive);
    std::vector<std::string> rule = ShellWords(point["repeat"].text);
    ASSERT_GE(rule.size(), 3u);
    ASSERT_EQ(rule[2], "IMAGE");
    rule[2] = copy;
    const e2e::Result added = e2e::Termsim(std::vector<std::string>(rule.begin() + 1, rule.end()));
    ASSERT_EQ(added.exitCode, 0) << added.err;
    EXPECT_EQ(e2e::Termsim({"run", copy, "\\FlashDisk\\SP\\Setup.exe"}).exitCode, 101);
  };
  repeat(*torn, scratch + "/repeat");
  EXPECT_EQ(fs::file_size(scratch + "/repeat/fs/FlashDisk/Calibrate.dat"), std::stoul(bytes[1].str()));
  repeat(*flag, scratch + "/repeat-flag");
  EXPECT_NE(e2e::Termsim({"reg", "export", scratch + "/repeat-flag", "SOFTWARE\\Apps\\Microsoft Application Installer"})
                .out.find("\"fAskDest\"=dword:00000000"),
            std::string::npos);

  // The settled twin recovers from every cut, and says so.
  const Json& settledCuts = (*settled)["power_cuts"];
  EXPECT_GT(settledCuts["points"].number, 0);
  EXPECT_EQ(settledCuts["recovered"].number, settledCuts["points"].number);
  EXPECT_TRUE(settledCuts["damaged"].items.empty());
  EXPECT_TRUE((*settled)["passed"].boolean);
  const std::string words = std::to_string(static_cast<int>(settledCuts["points"].number)) + " cuts, " +
                            std::to_string(static_cast<int>(settledCuts["points"].number)) + " recover, 0 leave a difference";
  EXPECT_NE(full.html.find(words), std::string::npos);
  EXPECT_NE(ReadHostFile(junit).find("<property name=\"power_cuts\" value=\"" + words + "\"/>"), std::string::npos);

  // A seed draws the same points again, another seed others: all of them the sweep's.
  const auto sample = [&](const std::string& seed) {
    return Rehearse(source, {"--kinds", "LM310-ja", "--power-cuts", "sample:3", "--seed", seed});
  };
  const Rehearsal first = sample("7"), again = sample("7"), other = sample("8");
  const auto numbers = [](const Rehearsal& r) {
    std::vector<int> list;
    for (const auto& n : r.report["twins"].items.at(0)["power_cuts"]["sample"].items) list.push_back(static_cast<int>(n.number));
    return list;
  };
  ASSERT_EQ(numbers(first).size(), 3u) << first.err;
  EXPECT_EQ(numbers(first), numbers(again));
  EXPECT_NE(numbers(first), numbers(other));
  EXPECT_EQ(first.report["power_cuts"]["seed"].number, 7);
  for (const Rehearsal* drawn : {&first, &other}) {
    const Json& drawnCuts = drawn->report["twins"].items.at(0)["power_cuts"];
    EXPECT_EQ(drawnCuts["of"].number, cuts["of"].number);
    for (const int n : numbers(*drawn)) EXPECT_LE(n, cuts["of"].number);
    for (const auto& point : drawnCuts["damaged"].items) {
      const bool inSweep = std::any_of(cuts["damaged"].items.begin(), cuts["damaged"].items.end(),
                                       [&](const Json& p) { return PointKey(p) == PointKey(point); });
      EXPECT_TRUE(inSweep) << PointKey(point);
    }
  }
  // compare tells a sweep from a sample.
  e2e::WriteFile(scratch + "/full.json", full.json);
  e2e::WriteFile(scratch + "/first.json", first.json);
  const e2e::Result compared = e2e::Termsim({"compare", scratch + "/full.json", scratch + "/first.json"});
  EXPECT_NE(compared.out.find("LM310-ja: power cuts: "), std::string::npos) << compared.out;
  EXPECT_NE(compared.out.find(" 3 cuts of "), std::string::npos) << compared.out;
}

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
    return std::make_pair(result.exitCode, result.out.empty() ? Json() : ReadJson(result.out));
  };
  const auto [exitCode, report] = check({});
  EXPECT_EQ(exitCode, 1);
  std::vector<std::string> problems;
  for (const auto& warning : report["warnings"].items) {
    if (warning["fails"].boolean) problems.push_back(warning["kind"].text + " " + warning["cab"].text);
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
  EXPECT_TRUE(setup["windows_program"].boolean);
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

  // A mark across two of the megabyte pieces the program is read in is found whole.
  std::string large = WindowsProgram("");
  large.resize((size_t{1} << 20) - 8, '\0');
  e2e::WriteFile(folderSetup, large + "KORVA-SETUP-SOURCE:0123456789abcdef");
  EXPECT_EQ(Rehearse(source, {"--kinds", "LM310-ja", "--allow", "foreign-setup"}).report["setup"]["mark"].text, "differs");
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
      {folder, "--seed", "7"}, {folder, "--power-cuts", "sample:0"}, {folder, "--power-cuts", "most"},
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
    std::string cmdline = ReadHostFile(entry.path().string() + "/cmdline");
    if (cmdline.find(out) == std::string::npos && ReadHostFile(entry.path().string() + "/environ").find(out) == std::string::npos)
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
  // The last is interrupted among its power cuts, each on its own copy of the twin.
  for (const auto& [signal, cuts] : {std::pair{SIGTERM, false}, std::pair{SIGKILL, false}, std::pair{SIGTERM, true}}) {
    SCOPED_TRACE(::strsignal(signal));
    const std::string out = source.image().scratch() + "/cut" + std::to_string(signal) + (cuts ? "-cuts" : "");
    // At real time, Setup waits five seconds before its reset: time to cut it short.
    std::vector<std::string> arguments = {"rehearse", source.FsPath("FlashDisk/SP"), "--kinds", "LM310-ja,LM320-ja",
                                          "--time-scale", "1", "--out", out};
    if (cuts) arguments.insert(arguments.end(), {"--power-cuts", "sample:2", "--seed", "1"});
    e2e::Process rehearsal(TERMSIM_PATH, arguments, {});
    const std::string running = out + (cuts ? "/.work/cuts/" : "/twins/");
    ASSERT_TRUE(e2e::WaitUntil(60, [&] { return !ProcessesOf(running).empty(); }));
    ::kill(rehearsal.pid(), signal);
    const e2e::Result result = rehearsal.Finish();
    EXPECT_EQ(result.exitCode, signal == SIGTERM ? 130 : 128 + SIGKILL) << result.err;
    // A loaded machine may take the twins' workers more than a second to end them; Setup
    // would end by itself only after its five seconds.
    EXPECT_TRUE(e2e::WaitUntil(3, [&] { return ProcessesOf(out).empty(); })) << ProcessesOf(out);
    EXPECT_TRUE(fs::exists(out + "/.rehearsal"));
    EXPECT_NE(ReadHostFile(out + "/report.html").find("did not finish"), std::string::npos);
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
  // Rounds run five at a time, each into its own folder: the race is within a round, and
  // the sanitizer build needs the overlap to end within its time-out.
  constexpr int kRounds = 20, kAtOnce = 5;
  for (int batch = 0; batch < kRounds; batch += kAtOnce) {
    std::vector<std::unique_ptr<e2e::Process>> racers;
    std::vector<std::string> outs;
    for (int round = batch; round < batch + kAtOnce; ++round) {
      outs.push_back(source.image().scratch() + "/race" + std::to_string(round));
      const std::vector<std::string> arguments = {"rehearse", source.FsPath("FlashDisk/SP"), "--kinds", "LM310-ja",
                                                  "--runs", "1", "--out", outs.back()};
      racers.push_back(std::make_unique<e2e::Process>(TERMSIM_PATH, arguments, std::vector<std::string>{}));
      racers.push_back(std::make_unique<e2e::Process>(TERMSIM_PATH, arguments, std::vector<std::string>{}));
    }
    for (size_t i = 0; i < outs.size(); ++i) {
      const e2e::Result results[] = {racers[2 * i]->Finish(), racers[2 * i + 1]->Finish()};
      EXPECT_EQ((results[0].exitCode == 2) + (results[1].exitCode == 2), 1) << results[0].err << results[1].err;
      for (const auto& result : results) {
        if (result.exitCode == 2) {
          EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
        }
      }
      EXPECT_TRUE(fs::exists(outs[i] + "/report.html"));
      EXPECT_FALSE(fs::exists(outs[i] + "/.rehearsal"));
    }
  }
}

}  // namespace
