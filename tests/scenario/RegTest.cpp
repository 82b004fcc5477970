// termsim reg import / export: .reg files in, .reg files out, through the command line.
#include "platform/host/Image.h"
#include "platform/host/Text.h"
#include "tests/support/Termsim.h"

#include <gtest/gtest.h>

namespace {

using e2e::Termsim;

std::string Utf16LeWithBom(const std::string& utf8) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : host::FromUtf8(utf8)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// The value's type and bytes, read in this process through the terminal's registry.
std::pair<DWORD, std::string> QueryValue(const std::string& image, const std::u16string& key,
                                         const std::u16string& name) {
  EXPECT_NO_THROW(host::AttachImage(image));
  std::pair<DWORD, std::string> result = {0xdeadbeef, "<absent>"};
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, 0, &handle) == ERROR_SUCCESS) {
    BYTE data[512];
    DWORD type = 0, size = sizeof data;
    if (RegQueryValueExW(handle, name.c_str(), nullptr, &type, data, &size) == ERROR_SUCCESS)
      result = {type, std::string(reinterpret_cast<char*>(data), size)};
    RegCloseKey(handle);
  }
  host::DetachImage();
  return result;
}

// A whole export, imported into a terminal that had no Platform key, exports the same.
void ExpectImportsBack(const std::string& exported) {
  e2e::ImageFolder fresh;
  fresh.Create({"--no-platform"});
  const std::string copy = fresh.scratch() + "/copy.reg";
  e2e::WriteFile(copy, exported);
  const auto imported = Termsim({"reg", "import", fresh.path(), copy});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(fresh.Export(), exported);
}

std::string Sz(const std::u16string& text) {
  std::string bytes(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
  return bytes;
}

const char* const kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KORVA\\Service Pack]\r\n"
    "\"Version\"=\"1.2 \\\"beta\\\" C:\\\\SP\"\r\n"
    "@=\"既定の値\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Blob\"=hex:01,02,03,ff,\\\r\n"
    "  00,7f\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
    "\"Gone\"=\"x\"\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[HKLM\\SOFTWARE\\Apps\\Tool]\r\n"
    "\"Instl\"=dword:00000001\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Temp\\Child]\r\n"
    "\"A\"=\"b\"\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Temp]\r\n";

TEST(RegTest, ImportMergesAndExportRoundTrips) {
  e2e::ImageFolder first;
  first.Create({"--language", "ja"});
  const std::string file = first.scratch() + "/sample.reg";
  e2e::WriteFile(file, Utf16LeWithBom(kSample));
  const auto imported = Termsim({"reg", "import", first.path(), file});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(imported.out, "");
  EXPECT_EQ(imported.err, "");

  const std::u16string sp = u"SOFTWARE\\KORVA\\Service Pack";
  EXPECT_EQ(QueryValue(first.path(), sp, u"Version"), std::make_pair(DWORD{REG_SZ}, Sz(u"1.2 \"beta\" C:\\SP")));
  EXPECT_EQ(QueryValue(first.path(), sp, u""), std::make_pair(DWORD{REG_SZ}, Sz(u"既定の値")));
  EXPECT_EQ(QueryValue(first.path(), sp, u"Count"), std::make_pair(DWORD{REG_DWORD}, std::string("\x2a\0\0\0", 4)));
  EXPECT_EQ(QueryValue(first.path(), sp, u"Blob"),
            std::make_pair(DWORD{REG_BINARY}, std::string("\x01\x02\x03\xff\x00\x7f", 6)));
  EXPECT_EQ(QueryValue(first.path(), sp, u"Multi"),
            std::make_pair(DWORD{REG_MULTI_SZ}, std::string("a\0\0\0b\0\0\0\0\0", 10)));
  EXPECT_EQ(QueryValue(first.path(), sp, u"Gone").second, "<absent>");
  // The import merged: what the new image held is still there.
  EXPECT_EQ(QueryValue(first.path(), u"nls", u"DefaultLCID"),
            std::make_pair(DWORD{REG_DWORD}, std::string("\x11\x04\0\0", 4)));

  const std::string all = first.Export();
  EXPECT_EQ(all.rfind("Windows Registry Editor Version 5.00", 0), 0u) << all;
  EXPECT_NE(all.find("\"Count\"=dword:0000002a"), std::string::npos) << all;
  EXPECT_NE(all.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Tool]"), std::string::npos) << all;
  EXPECT_EQ(all.find("Temp"), std::string::npos) << all;

  // One key, named either way, gives that key and what is below it only.
  const std::string one = first.Export("HKLM\\SOFTWARE\\Apps");
  EXPECT_NE(one.find("\"Instl\"=dword:00000001"), std::string::npos) << one;
  EXPECT_EQ(one.find("Service Pack"), std::string::npos) << one;
  EXPECT_EQ(first.Export("SOFTWARE\\Apps"), one);

  // What one image exports, another imports to the same registry.
  ExpectImportsBack(all);
}

// A device export holds every root a terminal has: each is imported and exported back,
// alone or all together; a desktop's HKEY_CURRENT_CONFIG is left out with one warning.
TEST(RegTest, DeviceExportKeepsEveryRoot) {
  e2e::ImageFolder image;
  image.Create();
  const std::string file = image.scratch() + "/device.reg";
  e2e::WriteFile(file, Utf16LeWithBom("REGEDIT4\r\n"
                                      "[HKEY_CURRENT_USER\\ControlPanel\\Volume]\r\n\"Key\"=dword:00000005\r\n"
                                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Tool]\r\n\"Instl\"=dword:00000001\r\n"
                                      "[HKEY_CLASSES_ROOT\\.cab]\r\n@=\"cabfile\"\r\n"
                                      "[HKU\\Default\\Software]\r\n\"Theme\"=\"blue\"\r\n"
                                      "[HKEY_CURRENT_CONFIG\\System]\r\n\"Display\"=\"vga\"\r\n"
                                      "[hkcu\\CONTROLPANEL\\volume]\r\n\"Twice\"=\"the same key\"\r\n"));
  const auto imported = Termsim({"reg", "import", image.path(), file});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(imported.err, "termsim reg import: warning: " + file +
                              ": skipped 1 key of HKEY_CURRENT_CONFIG: Windows CE has no such root\n");
  EXPECT_EQ(image.Export("HKCU\\ControlPanel"),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\ControlPanel]\n\n"
            "[HKEY_CURRENT_USER\\ControlPanel\\Volume]\n\"Key\"=dword:00000005\n\"Twice\"=\"the same key\"\n\n");
  const std::string all = image.Export();
  for (const char* section : {"[HKEY_CLASSES_ROOT]\n\n[HKEY_CLASSES_ROOT\\.cab]\n@=\"cabfile\"\n",
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\Tool]\n\"Instl\"=dword:00000001\n",
                              "[HKEY_USERS\\Default\\Software]\n\"Theme\"=\"blue\"\n"})
    EXPECT_NE(all.find(section), std::string::npos) << section << all;
  EXPECT_LT(all.find("[HKEY_CURRENT_USER]"), all.find("[HKEY_LOCAL_MACHINE]")) << all;
  EXPECT_EQ(all.find("Display"), std::string::npos) << all;

  // The whole export builds the same registry, every root, in a terminal that had none.
  ExpectImportsBack(all);
}

// A Japanese terminal's REGEDIT4 export is in Shift-JIS: read when its encoding is named,
// refused by name otherwise.
TEST(RegTest, ExportInItsCodePage) {
  e2e::ImageFolder image;
  image.Create();
  const std::string file = image.scratch() + "/ja.reg";
  // "[HKEY_LOCAL_MACHINE\SOFTWARE\Apps\ツール]" with "Name"="日本語", in code page 932.
  e2e::WriteFile(file, "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apps\\\x83\x63\x81\x5b\x83\x8b]\r\n"
                       "\"Name\"=\"\x93\xfa\x96\x7b\x8c\xea\"\r\n");
  const auto refused = Termsim({"reg", "import", image.path(), file});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("line 2: text is not valid UTF-8: name the file's encoding (--reg-encoding cp932"),
            std::string::npos) << refused.err;
  const auto imported = Termsim({"reg", "import", image.path(), file, "--reg-encoding", "cp932"});
  ASSERT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(QueryValue(image.path(), u"SOFTWARE\\Apps\\ツール", u"Name"), std::make_pair(DWORD{REG_SZ}, Sz(u"日本語")));
  // A byte-order mark wins over the named encoding.
  e2e::WriteFile(file, Utf16LeWithBom("REGEDIT4\r\n[HKLM\\SOFTWARE\\Apps\\ツール]\r\n\"Bom\"=\"日本\"\r\n"));
  ASSERT_EQ(Termsim({"reg", "import", image.path(), file, "--reg-encoding=cp932"}).exitCode, 0);
  EXPECT_EQ(QueryValue(image.path(), u"SOFTWARE\\Apps\\ツール", u"Bom"), std::make_pair(DWORD{REG_SZ}, Sz(u"日本")));
}

// The parser's refusals, line by line, are the .reg file tests'; here, how the command
// line reports one and that it leaves the registry as it was.
TEST(RegTest, MalformedFileImportsNothingAndNamesTheLine) {
  e2e::ImageFolder image;
  image.Create();
  const std::string before = image.Export();
  struct Case {
    std::string text;
    std::string line;  // named in the refusal
  };
  const Case cases[] = {
      {"REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n[HKEY_LOCAL_MACHINE\\New]\n\"Broken\"=dwrd:1\n", "line 5"},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"unterminated\r\n", "line 3"},
      {"Windows Registry Editor Version 5.00\n[HKEY_DYN_DATA\\Software]\n", "line 2"},
      {"REGEDIT4\n[HKCU\\\x82\xa0]\n", "line 2"},  // no encoding named: not UTF-8
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:01,zz\n", "line 3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string file = image.scratch() + "/bad.reg";
    e2e::WriteFile(file, c.text);
    const auto result = Termsim({"reg", "import", image.path(), file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_NE(result.err.find(c.line), std::string::npos) << result.err;
    EXPECT_EQ(image.Export(), before);
  }
}

TEST(RegTest, RefusalsOfTheCommandLine) {
  e2e::ImageFolder image;
  image.Create();
  const std::string before = image.Export();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{"reg", "import", image.path()}, 2},
      {{"reg", "import", image.path(), image.scratch() + "/absent.reg"}, 1},
      {{"reg", "import", image.path(), image.scratch()}, 1},
      {{"reg", "import", image.path(), "a.reg", "b.reg"}, 2},
      {{"reg", "export"}, 2},
      {{"reg", "export", image.path(), "SOFTWARE\\Absent"}, 1},
      {{"reg", "export", image.path(), "HKEY_CURRENT_USER\\Software"}, 1},  // absent
      {{"reg", "export", image.path(), "HKEY_CURRENT_CONFIG"}, 1},
      {{"reg", "import", image.path(), image.scratch() + "/absent.reg", "--reg-encoding", "klingon"}, 2},
      {{"reg", "export", image.path(), "SOFTWARE", "--json"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const auto result = Termsim(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_TRUE(e2e::IsOneLine(result.err)) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(image.Export(), before);
}

}  // namespace
