// .reg import and export against real images.
#include "terminal/regfile/RegFile.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

namespace {

std::string Value(const char16_t* key, const char16_t* name, DWORD* type = nullptr) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, 0, &handle) != ERROR_SUCCESS) return "<no key>";
  char data[512];
  DWORD size = sizeof data;
  const LONG result = RegQueryValueExW(handle, name, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(handle);
  return result == ERROR_SUCCESS ? std::string(data, size) : "<no value>";
}

void Set(const char16_t* key, const char16_t* name, DWORD type, std::string_view bytes) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, 0, nullptr, &handle, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(handle, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
  RegCloseKey(handle);
}

std::string Export(std::u16string_view key = u"") {
  std::string error;
  std::string text = regfile::ExportRegistry(key, &error);
  EXPECT_EQ(error, "");
  return text;
}

TEST(RegFileImport, EveryFormOfLineMerges) {
  TestImage image;
  Set(u"SOFTWARE\\Keep", u"Old", REG_BINARY, "kept");
  Set(u"SOFTWARE\\Gone\\Deep", u"x", REG_BINARY, "1");
  const std::string file =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\r\n"
      "\"Text\"=\"say \\\"hi\\\" C:\\\\x\"\r\n"
      "@=\"unnamed\"\r\n"
      "  \"Number\" = dword:00000409  \r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "  03,ff\r\n"
      "\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
      "\"Empty\"=hex(0):\r\n"
      "[hklm\\software\\KEEP]\r\n"
      "\"Old\"=-\r\n"
      "\"NeverThere\"=-\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverThere]\r\n";
  std::string error;
  ASSERT_TRUE(regfile::ImportRegFile(file, &error)) << error;
  DWORD type = 0;
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Text", &type), std::string("s\0a\0y\0 \0\"\0h\0i\0\"\0 \0C\0:\0\\\0x\0\0\0", 28));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u""), std::string("u\0n\0n\0a\0m\0e\0d\0\0\0", 16));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Number", &type), std::string("\x09\x04\0\0", 4));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Bytes", &type), "\x01\x02\x03\xff");
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Multi", &type), std::string("a\0\0\0\0\0", 6));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Empty", &type), "");
  EXPECT_EQ(type, static_cast<DWORD>(REG_NONE));
  EXPECT_EQ(Value(u"SOFTWARE\\Keep", u"Old"), "<no value>");
  EXPECT_EQ(Value(u"SOFTWARE\\Gone\\Deep", u"x"), "<no key>");
  EXPECT_EQ(Value(u"nls", u"DefaultLCID"), std::string("\x09\x04\0\0", 4));  // untouched by the merge
}

TEST(RegFileImport, Utf16AndUtf8BomsAndRegedit4) {
  TestImage image;
  const std::u16string text = u"REGEDIT4\r\n[HKLM\\\u65E5\u672C]\r\n\"\u540D\"=\"\u8A9E\"\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char16_t unit : text) {
    utf16 += static_cast<char>(unit & 0xFF);
    utf16 += static_cast<char>(unit >> 8);
  }
  std::string error;
  ASSERT_TRUE(regfile::ImportRegFile(utf16, &error)) << error;
  EXPECT_EQ(Value(u"\u65E5\u672C", u"\u540D"), std::string("\x9E\x8A\0\0", 4));
  ASSERT_TRUE(regfile::ImportRegFile("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKLM\\u8]\n@=dword:1\n", &error))
      << error;
  EXPECT_EQ(Value(u"u8", nullptr), std::string("\1\0\0\0", 4));
}

TEST(RegFileImport, MalformedLineNamesItsNumberAndImportsNothing) {
  const struct {
    std::string file;
    std::string error;
    std::string encoding = "";
  } cases[] = {
      {"REGEDIT5\n", "line 1:"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "line 2:"},
      {"REGEDIT4\n[HKCC\\A]\n\"v\"=dword:x\n", "line 3:"},  // a skipped root is read as strictly
      {"REGEDIT4\n[-HKEY_CLASSES_ROOT]\n", "line 2:"},
      {"REGEDIT4\n[HKLM\\A\n", "line 2:"},
      {"REGEDIT4\n[-HKLM]\n", "line 2:"},
      {"REGEDIT4\n[HKLM\\A\\\\B]\n", "line 2:"},
      {"REGEDIT4\n\"v\"=\"x\"\n", "line 2:"},  // no key yet
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=\"bad \\n escape\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=\"open\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=dword:123456789\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:01,\\\n02,\\\n0g\n", "line 3:"},  // first line of the statement
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=hex:01,\\\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=hex(1ffffffff):00\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=word:1\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"v\"\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n[-HKLM\\A]\n\"v\"=-\n", "line 4:"},
      {"REGEDIT4\n[HKLM\\A]\nstray\n", "line 3:"},
      {"REGEDIT4\n[HKLM\\A]\n\"\xC3\x28\"=\"x\"\n", "line 3:"},  // invalid UTF-8
      {"\xFF\xFEx", "line 1:"},                                 // odd UTF-16
      {"REGEDIT4\n[HKLM\\A]\n\"v\"=\"\x81\x7f\"\n", "line 3: text is not valid cp932", "cp932"},
      {std::string("R\0E\0G\0", 6), "line 1: UTF-16 without a byte-order mark: save it as UTF-16LE with BOM or UTF-8"},
      {std::string("\xFE\xFF\0R\0E", 6), "line 1: UTF-16 big-endian: save it as UTF-16LE with BOM or UTF-8"},
      {std::string("\0R\0E\0G", 6),
       "line 1: UTF-16 big-endian without a byte-order mark: save it as UTF-16LE with BOM or UTF-8"},
  };
  TestImage image;
  const std::string before = Export();
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(regfile::ImportRegFile(c.file, &error, nullptr, c.encoding)) << c.file;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.file << " -> " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
  EXPECT_EQ(Export(), before);
}

TEST(RegFileExport, RoundTripsEveryValueExactly) {
  const struct {
    const char16_t* name;
    DWORD type;
    std::string data;
  } values[] = {
      {u"Plain", REG_SZ, std::string("o\0k\0\0\0", 6)},
      {u"Quote \"and\" \\slash", REG_SZ, std::string("\"\0\\\0\0\0", 6)},
      {u"Unterminated", REG_SZ, std::string("a\0b\0", 4)},
      {u"Inner NUL", REG_SZ, std::string("a\0\0\0b\0\0\0", 8)},
      {u"Line break", REG_SZ, std::string("a\0\n\0\0\0", 6)},
      {u"Odd", REG_SZ, std::string("a", 1)},
      {u"Short dword", REG_DWORD, std::string("\1\2\3", 3)},
      {u"Dword", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
      {u"Long", REG_BINARY, std::string(100, '\x5a')},
      {u"Odd type", 0x12345678, "z"},
      {u"", REG_EXPAND_SZ, std::string("%\0\0\0", 4)},
      {u"\u00C4rger", REG_NONE, ""},
  };
  std::string exported;
  {
    TestImage image;
    for (const auto& v : values) Set(u"SOFTWARE\\Mix \"]\\\u65E5", v.name, v.type, v.data);
    Set(u"SOFTWARE\\Empty Key\\Child", u"x", REG_BINARY, "");
    exported = Export();
    EXPECT_NE(exported.find("\n\"Dword\"=dword:12345678\n"), std::string::npos) << exported;
    EXPECT_NE(exported.find("\n\"Plain\"=\"ok\"\n"), std::string::npos);
    EXPECT_NE(exported.find("\n\"Unterminated\"=hex(1):61,00,62,00\n"), std::string::npos);
    EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty Key]\n\n"), std::string::npos);
    // One key alone, named in any case and with either root name.
    const std::string one = Export(u"HKLM\\software\\empty key");
    EXPECT_EQ(one, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty Key]\n\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty Key\\Child]\n\"x\"=hex:\n\n");
    std::string error;
    EXPECT_EQ(regfile::ExportRegistry(u"SOFTWARE\\Missing", &error), "");
    EXPECT_EQ(error, "no such key: HKEY_LOCAL_MACHINE\\SOFTWARE\\Missing");
    // A name no .reg line can carry is refused, not written wrongly.
    Set(u"Bad", u"two\nlines", REG_BINARY, "");
    EXPECT_EQ(regfile::ExportRegistry(u"Bad", &error), "");
    EXPECT_NE(error, "");
  }
  TestImage fresh;
  std::string error;
  ASSERT_TRUE(regfile::ImportRegFile(exported, &error)) << error;
  EXPECT_EQ(Export(), exported);
  for (const auto& v : values) {
    DWORD type = 0;
    EXPECT_EQ(Value(u"SOFTWARE\\Mix \"]\\\u65E5", v.name, &type), v.data);
    EXPECT_EQ(type, v.type);
  }
}

}  // namespace
