// The registry calls against a real image: the answers of each call, row by row
// (optional outputs, buffer sizes in characters and bytes, access masks, and the codes
// returned, never the last error), then state shared between processes and a reference
// model under random operations.

#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"
#include "tests/host/ConformanceTable.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

using namespace conformance;

namespace {

// Every registry call returns its code and leaves the last error alone.
#define EXPECT_REG(call, code)                    \
  do {                                            \
    SetLastError(kSentinel);                      \
    EXPECT_EQ((call), static_cast<LONG>(code));   \
    EXPECT_EQ(GetLastError(), kSentinel) << #call; \
  } while (0)

HKEY Create(const char16_t* path, DWORD* disposition = nullptr) {
  HKEY key = nullptr;
  EXPECT_REG(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
             ERROR_SUCCESS);
  return key;
}

LONG Open(HKEY base, const char16_t* path, HKEY* key) { return RegOpenKeyExW(base, path, 0, KEY_ALL_ACCESS, key); }

LONG SetBytes(HKEY key, const char16_t* name, DWORD type, std::string_view bytes) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
}

std::u16string EnumKey(HKEY key, DWORD index) {
  WCHAR name[256];
  DWORD chars = 256;
  if (RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return u"<none>";
  return std::u16string(name, chars);
}

// A value as "type/size/bytes in hex", or "missing".
std::string Stored(HKEY key, const char16_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return "missing";
  std::string data(size, '\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
    return "unreadable";
  std::string text = std::to_string(type) + "/" + std::to_string(size) + "/";
  for (unsigned char c : data.substr(0, 16)) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x.", c);
    text += byte;
  }
  return text;
}

std::string Dword(DWORD value) { return value == kSentinel ? "untouched" : std::to_string(value); }

class RegistryConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    conf_ = Create(u"Conf");
    for (const std::u16string& name : {std::u16string(u"1"), std::u16string(255, u'k'), std::u16string(u"\U0001F600x")})
      RegCloseKey(Create((u"Conf\\" + name).c_str()));
    ASSERT_EQ(SetBytes(conf_, u"Text", REG_SZ, std::string("a\0b\0c\0\0\0", 8)), ERROR_SUCCESS);
    ASSERT_EQ(SetBytes(conf_, u"Reset", REG_DWORD, std::string("\x07\0\0\0", 4)), ERROR_SUCCESS);
    empty_ = Create(u"ConfEmpty");
  }
  void TearDown() override {
    RegCloseKey(conf_);
    RegCloseKey(empty_);
  }

  TestImage image_{Bounded()};
  HKEY conf_ = nullptr;
  HKEY empty_ = nullptr;
};

}  // namespace

TEST_F(RegistryConformance, OpenAndCreateAcceptAnyMaskAndReportDisposition) {
  const std::vector<Row> rows = {
      {"§1.1", "a handle opened for KEY_QUERY_VALUE still writes: CE has no registry security",
       [] {
         HKEY key = nullptr;
         LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Conf", 0, KEY_QUERY_VALUE, &key);
         SetLastError(kSentinel);
         if (result == ERROR_SUCCESS) result = SetBytes(key, u"Written", REG_BINARY, "w");
         const DWORD error = GetLastError();
         const std::string stored = Stored(key, u"Written");
         RegCloseKey(key);
         return Answer{result, error, stored};
       },
       Returns(ERROR_SUCCESS, "3/1/77.")},
      {"§1.1", "RegOpenKeyExW with every access bit set",
       [] {
         HKEY key = nullptr;
         return Ask([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"CONF", 0, 0xFFFFFFFF, &key); },
                    [&] { return std::to_string(RegCloseKey(key)); });
       },
       Returns(ERROR_SUCCESS, "0")},
      {"§1.4", "RegCreateKeyExW as the program calls it: class \"\", KEY_ALL_ACCESS, an existing key",
       [] {
         WCHAR emptyClass[] = u"";
         HKEY key = nullptr;
         DWORD disposition = kSentinel;
         return Ask(
             [&] {
               return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Conf", 0, emptyClass, 0, KEY_ALL_ACCESS, nullptr, &key,
                                      &disposition);
             },
             [&] { return Dword(disposition) + " " + std::to_string(RegCloseKey(key)); });
       },
       Returns(ERROR_SUCCESS, "2 0")},
      {"§1.4", "RegCreateKeyExW without a subkey opens the key itself",
       [this] {
         HKEY key = nullptr;
         DWORD disposition = kSentinel;
         return Ask([&] { return RegCreateKeyExW(conf_, nullptr, 0, nullptr, 0, 0, nullptr, &key, &disposition); },
                    [&] {
                      const std::string text = Dword(disposition) + " " + Stored(key, u"Reset");
                      RegCloseKey(key);
                      return text;
                    });
       },
       Returns(ERROR_SUCCESS, "2 4/4/07.00.00.00.")},
      {"§1.4", "a new key created directly below HKEY_LOCAL_MACHINE, the disposition optional",
       [] {
         HKEY key = nullptr;
         return Ask([&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Brand New", 0, nullptr, 0, 0, nullptr, &key, nullptr); },
                    [&] { return std::to_string(RegCloseKey(key)); });
       },
       Returns(ERROR_SUCCESS, "0")},
      // NOTES: CE forbids a leading backslash without naming the code; the desktop's is kept.
      {"§1.2", "a leading backslash: a bad path name, the disposition alone and the handle NULL",
       [] {
         HKEY key = reinterpret_cast<HKEY>(uintptr_t{kSentinel});
         DWORD disposition = kSentinel;
         return Ask(
             [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\Conf", 0, nullptr, 0, 0, nullptr, &key, &disposition); },
             [&] { return Dword(disposition) + (key ? " handle" : " NULL"); });
       },
       Returns(ERROR_BAD_PATHNAME, "untouched NULL")},
      {"§1.2", "RegOpenKeyExW with a leading backslash",
       [] {
         HKEY key = reinterpret_cast<HKEY>(uintptr_t{kSentinel});
         return Ask([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Conf", 0, 0, &key); },
                    [&] { return std::string(key ? "handle" : "NULL"); });
       },
       Returns(ERROR_BAD_PATHNAME, "NULL")},
      {"§1.2", "repeated trailing backslashes name the key itself",
       [] {
         HKEY key = nullptr;
         return Ask([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Conf\\\\\\", 0, 0, &key); },
                    [&] {
                      const std::string text = Stored(key, u"Reset");
                      RegCloseKey(key);
                      return text;
                    });
       },
       Returns(ERROR_SUCCESS, "4/4/07.00.00.00.")},
      // NOTES: CE documents no code for a missing result pointer; the desktop's is kept.
      {"§1.4", "RegCreateKeyExW without a result pointer creates nothing",
       [] {
         DWORD disposition = kSentinel;
         return Ask(
             [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Never", 0, nullptr, 0, 0, nullptr, nullptr, &disposition); },
             [&] {
               HKEY key = nullptr;
               const LONG open = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Never", 0, 0, &key);
               return Dword(disposition) + " " + std::to_string(open);
             });
       },
       Returns(ERROR_BADKEY, "untouched 2")},
  };
  CheckRows(rows);
}

TEST_F(RegistryConformance, KeyNamesAndArgumentsThatOpenAndCreateRefuse) {
  auto open = [](HKEY base, const std::u16string& path, DWORD options) {
    return [=] {
      HKEY key = reinterpret_cast<HKEY>(uintptr_t{kSentinel});
      return Ask([&] { return RegOpenKeyExW(base, path.c_str(), options, 0, &key); },
                 [&] {
                   if (!key || key == reinterpret_cast<HKEY>(uintptr_t{kSentinel})) return std::string(key ? "untouched" : "NULL");
                   RegCloseKey(key);
                   return std::string("handle");
                 });
    };
  };
  auto create = [](HKEY base, const std::u16string& path, DWORD reserved) {
    return [=] {
      HKEY key = nullptr;
      return Ask([&] { return RegCreateKeyExW(base, path.c_str(), reserved, nullptr, 0, 0, nullptr, &key, nullptr); },
                 [&] { return std::string(key && RegCloseKey(key) == ERROR_SUCCESS ? "handle" : "none"); });
    };
  };
  const std::u16string longName(256, u'x'), deep = u"1\\2\\3\\4\\5\\6\\7\\8\\9\\10\\11\\12\\13\\14\\15\\16";
  std::vector<Row> rows = {
      {"§1.3", "no result pointer", [] { return Ask([] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"nls", 0, 0, nullptr); }); },
       Returns(ERROR_INVALID_PARAMETER)},
      {"§1.3", "a handle that is no key: the result NULL", open(reinterpret_cast<HKEY>(uintptr_t{0x1234}), u"nls", 0),
       Returns(ERROR_INVALID_HANDLE, "NULL")},
      {"§1.3", "options must be 0", open(HKEY_LOCAL_MACHINE, u"nls", 1), Returns(ERROR_INVALID_PARAMETER, "NULL")},
      {"§1.4", "reserved must be 0", create(HKEY_LOCAL_MACHINE, u"a", 1), Returns(ERROR_INVALID_PARAMETER, "none")},
      {"§1.2", "a name of 255 characters", create(HKEY_LOCAL_MACHINE, std::u16string(255, u'x'), 0), Returns(ERROR_SUCCESS, "handle")},
      {"§1.2", "16 levels", create(HKEY_LOCAL_MACHINE, deep, 0), Returns(ERROR_SUCCESS, "handle")},
      {"§1.1", "a predefined key CE does not have: HKEY_CURRENT_CONFIG",
       open(reinterpret_cast<HKEY>(static_cast<uintptr_t>(static_cast<LONG>(0x80000005))), u"nls", 0),
       Returns(ERROR_INVALID_HANDLE, "NULL")},
  };
  for (const auto& [what, path] : {std::pair<const char*, std::u16string>{"an empty level", u"a\\\\b"},
                                   {"a name of 256 characters", longName},
                                   {"17 levels", deep + u"\\17"}}) {
    rows.push_back({"§1.2", std::string("RegOpenKeyExW: ") + what, open(HKEY_LOCAL_MACHINE, path, 0),
                    Returns(ERROR_INVALID_PARAMETER, "NULL")});
    rows.push_back({"§1.2", std::string("RegCreateKeyExW: ") + what, create(HKEY_LOCAL_MACHINE, path, 0),
                    Returns(ERROR_INVALID_PARAMETER, "none")});
  }
  CheckRows(rows);
}

// Each root holds keys of its own, made, read, listed and deleted as HKEY_LOCAL_MACHINE's
// are; no path below one reaches another.
TEST_F(RegistryConformance, EveryRootHoldsKeysOfItsOwn) {
  auto open = [](HKEY root, const char16_t* path) {
    return [=] {
      HKEY key = nullptr;
      return Ask([&] { return RegOpenKeyExW(root, path, 0, 0, &key); },
                 [&] { return std::string(key && RegCloseKey(key) == ERROR_SUCCESS ? "handle" : "NULL"); });
    };
  };
  auto firstSubKey = [](HKEY root) {
    return [=] {
      WCHAR name[8] = {kGuard, kGuard, kGuard, kGuard, kGuard, kGuard, kGuard, kGuard};
      DWORD chars = 8;
      return Ask([&] { return RegEnumKeyExW(root, 0, name, &chars, nullptr, nullptr, nullptr, nullptr); },
                 [&] { return Units(name, 5); });
    };
  };
  std::vector<Row> rows;
  for (const auto& [name, root] : {std::pair<std::string, HKEY>{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                                   {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                   {"HKEY_USERS", HKEY_USERS}}) {
    rows.push_back({"§1.1", name + ": empty at first", firstSubKey(root), Returns(ERROR_NO_MORE_ITEMS, "#####")});
    rows.push_back({"§1.1", name + ": HKEY_LOCAL_MACHINE's keys are not there", open(root, u"Conf"),
                    Returns(ERROR_FILE_NOT_FOUND, "NULL")});
    rows.push_back({"§1.4", name + ": a key made with its whole path, a value written, read through another handle",
                    [root] {
                      HKEY made = nullptr, opened = nullptr;
                      EXPECT_EQ(RegCreateKeyExW(root, u"Conf\\Sub", 0, nullptr, 0, 0, nullptr, &made, nullptr), ERROR_SUCCESS);
                      const LONG set = SetBytes(made, u"Reset", REG_DWORD, std::string("\x2a\0\0\0", 4));
                      RegCloseKey(made);
                      return Ask([&] { return RegOpenKeyExW(root, u"CONF\\sub", 0, 0, &opened); },
                                 [&] {
                                   const std::string text = std::to_string(set) + " " + Stored(opened, u"reset");
                                   RegCloseKey(opened);
                                   return text;
                                 });
                    },
                    Returns(ERROR_SUCCESS, "0 4/4/2a.00.00.00.")});
    rows.push_back({"§1.8", name + ": its subkeys enumerate", firstSubKey(root), Returns(ERROR_SUCCESS, "Conf\\0")});
    rows.push_back({"§1.2", name + ": \"..\" is a name, not a way out", open(root, u"Conf\\..\\..\\nls"),
                    Returns(ERROR_FILE_NOT_FOUND, "NULL")});
    rows.push_back({"§1.2", name + ": another root's name is a name too", open(root, u"HKEY_LOCAL_MACHINE\\nls"),
                    Returns(ERROR_FILE_NOT_FOUND, "NULL")});
    rows.push_back({"§1.3", name + ": the root itself cannot be deleted",
                    [root] { return Ask([&] { return RegDeleteKeyW(root, u""); }); }, Returns(ERROR_ACCESS_DENIED)});
    rows.push_back({"§1.3", name + ": a key goes with its tree",
                    [root, open] {
                      const LONG removed = RegDeleteKeyW(root, u"conf");
                      Answer answer = open(root, u"Conf\\Sub")();
                      answer.outputs = std::to_string(removed) + " " + answer.outputs;
                      return answer;
                    },
                    Returns(ERROR_FILE_NOT_FOUND, "0 NULL")});
  }
  rows.push_back({"§1.1", "HKEY_LOCAL_MACHINE's key of the same name kept its value",
                  [this] { return Answer{ERROR_SUCCESS, kSentinel, Stored(conf_, u"Reset")}; },
                  Returns(ERROR_SUCCESS, "4/4/07.00.00.00.")});
  CheckRows(rows);
}

TEST_F(RegistryConformance, QueryAndSetValues) {
  const std::vector<Row> rows = {
      {"§1.5", "a missing value writes neither type nor size",
       [this] {
         DWORD type = kSentinel, size = kSentinel;
         return Ask([&] { return RegQueryValueExW(conf_, u"Absent", nullptr, &type, nullptr, &size); },
                    [&] { return Dword(type) + " " + Dword(size); });
       },
       Returns(ERROR_FILE_NOT_FOUND, "untouched untouched")},
      {"§1.5", "a buffer of exactly the value's size",
       [this] {
         WCHAR data[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
         DWORD type = kSentinel, size = 8;
         return Ask([&] { return RegQueryValueExW(conf_, u"text", nullptr, &type, reinterpret_cast<BYTE*>(data), &size); },
                    [&] { return Dword(type) + " " + Dword(size) + " " + Units(data, 5); });
       },
       Returns(ERROR_SUCCESS, "1 8 abc\\0#")},
      {"§1.5", "the size alone, without the type",
       [this] {
         DWORD size = kSentinel;
         return Ask([&] { return RegQueryValueExW(conf_, u"Text", nullptr, nullptr, nullptr, &size); },
                    [&] { return Dword(size); });
       },
       Returns(ERROR_SUCCESS, "8")},
      {"§1.5", "a REG_DWORD into four bytes",
       [this] {
         DWORD value = kSentinel, type = kSentinel, size = sizeof value;
         return Ask(
             [&] { return RegQueryValueExW(conf_, u"RESET", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size); },
             [&] { return Dword(type) + " " + Dword(size) + " " + Dword(value); });
       },
       Returns(ERROR_SUCCESS, "4 4 7")},
      {"§1.5", "a REG_DWORD into three bytes: the size and type, the buffer untouched",
       [this] {
         DWORD value = kSentinel, type = kSentinel, size = 3;
         return Ask(
             [&] { return RegQueryValueExW(conf_, u"Reset", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size); },
             [&] { return Dword(type) + " " + Dword(size) + " " + Dword(value); });
       },
       Returns(ERROR_MORE_DATA, "4 4 untouched")},
      {"§1.5", "lpReserved must be NULL",
       [this] {
         DWORD reserved = 0, type = kSentinel, size = 8;
         BYTE data[8];
         return Ask([&] { return RegQueryValueExW(conf_, u"Text", &reserved, &type, data, &size); },
                    [&] { return Dword(type) + " " + Dword(size); });
       },
       Returns(ERROR_INVALID_PARAMETER, "untouched 8")},
      {"§1.5", "a buffer without its size",
       [this] {
         DWORD type = kSentinel;
         BYTE data[8];
         return Ask([&] { return RegQueryValueExW(conf_, u"Text", nullptr, &type, data, nullptr); },
                    [&] { return Dword(type); });
       },
       Returns(ERROR_INVALID_PARAMETER, "untouched")},
      {"§1.5", "no outputs at all: whether the value exists, by any case",
       [this] { return Ask([&] { return RegQueryValueExW(conf_, u"TEXT", nullptr, nullptr, nullptr, nullptr); }); },
       Returns(ERROR_SUCCESS)},
      {"§1.5", "a string stored without its terminator comes back as stored",
       [this] {
         EXPECT_EQ(SetBytes(conf_, u"Bare", REG_SZ, std::string("a\0b\0c\0", 6)), ERROR_SUCCESS);
         WCHAR data[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
         DWORD size = sizeof data;
         return Ask([&] { return RegQueryValueExW(conf_, u"Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size); },
                    [&] { return Dword(size) + " " + Units(data, 5); });
       },
       Returns(ERROR_SUCCESS, "6 abc##")},
      {"§1.5", "NULL names the unnamed value, which a key lacks until written",
       [this] {
         DWORD size = kSentinel;
         return Ask([&] { return RegQueryValueExW(empty_, nullptr, nullptr, nullptr, nullptr, &size); },
                    [&] { return Dword(size); });
       },
       Returns(ERROR_FILE_NOT_FOUND, "untouched")},
      {"§1.5", "the unnamed value written as \"\" is read as NULL",
       [this] {
         EXPECT_EQ(SetBytes(empty_, u"", REG_BINARY, ""), ERROR_SUCCESS);
         DWORD size = kSentinel;
         return Ask([&] { return RegQueryValueExW(empty_, nullptr, nullptr, nullptr, nullptr, &size); },
                    [&] { return Dword(size); });
       },
       Returns(ERROR_SUCCESS, "0")},
      {"§1.5", "a closed handle",
       [] {
         HKEY key = Create(u"Conf");
         RegCloseKey(key);
         DWORD size = kSentinel;
         return Ask([&] { return RegQueryValueExW(key, u"Text", nullptr, nullptr, nullptr, &size); },
                    [&] { return Dword(size); });
       },
       Returns(ERROR_INVALID_HANDLE, "untouched")},
      {"§1.6", "no data at all: an empty value, read back into a zero-sized buffer",
       [this] {
         EXPECT_EQ(RegSetValueExW(conf_, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
         BYTE data = 0xAB;
         DWORD size = 0;
         return Ask([&] { return RegQueryValueExW(conf_, u"Empty", nullptr, nullptr, &data, &size); },
                    [&] { return Dword(size) + " " + Hex(data) + " " + Stored(conf_, u"Empty"); });
       },
       Returns(ERROR_SUCCESS, "0 0xab 3/0/")},
      // NOTES: CE documents no code for data missing for its size; the desktop's is kept.
      {"§1.6", "no data for a size of four bytes: nothing stored",
       [this] {
         return Ask([&] { return RegSetValueExW(conf_, u"Reset", 0, REG_DWORD, nullptr, 4); },
                    [&] { return Stored(conf_, u"Reset"); });
       },
       Returns(ERROR_NOACCESS, "4/4/07.00.00.00.")},
      {"§1.6", "a type the platform does not define is kept as given",
       [this] {
         return Ask([&] { return SetBytes(conf_, u"Odd", 0x12345678, "xy"); }, [&] { return Stored(conf_, u"Odd"); });
       },
       Returns(ERROR_SUCCESS, "305419896/2/78.79.")},
      {"§1.2", "a value name may hold a backslash; it names no key",
       [this] {
         return Ask([&] { return SetBytes(conf_, u"1\\Inner", REG_BINARY, "v"); },
                    [&] {
                      HKEY sub = nullptr;
                      RegOpenKeyExW(conf_, u"1", 0, 0, &sub);
                      const std::string text = Stored(conf_, u"1\\inner") + " " + Stored(sub, u"Inner");
                      RegCloseKey(sub);
                      return text;
                    });
       },
       Returns(ERROR_SUCCESS, "3/1/76. missing")},
      {"§1.6", "a value of 64 KiB comes back whole",
       [this] {
         std::string big(65536, '\0');
         for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
         EXPECT_EQ(SetBytes(conf_, u"Big", REG_BINARY, big), ERROR_SUCCESS);
         std::string back(big.size() + 2, '#');
         DWORD size = static_cast<DWORD>(back.size());
         return Ask([&] { return RegQueryValueExW(conf_, u"Big", nullptr, nullptr, reinterpret_cast<BYTE*>(back.data()), &size); },
                    [&] { return Dword(size) + (back.substr(0, big.size()) == big ? " same" : " differs") + back.substr(big.size()); });
       },
       Returns(ERROR_SUCCESS, "65536 same##")},
  };
  CheckRows(rows);
}

// On a full terminal a new key or value, or data that grows, fails with
// ERROR_NOT_ENOUGH_MEMORY (CE names no code); what takes no room still works, and room
// freed is there at once.
TEST_F(RegistryConformance, AFullTerminalRefusesWhatWouldTakeRoom) {
  FillStorage(image_, "FlashDisk/photos.bin");
  auto set = [this](const char16_t* name, std::string bytes) {
    return [=, this] {
      return Ask([&] { return SetBytes(conf_, name, REG_BINARY, bytes); }, [&] { return Stored(conf_, name); });
    };
  };
  auto create = [](const char16_t* path) {
    return [=] {
      HKEY key = nullptr;
      DWORD disposition = kSentinel;
      return Ask([&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, 0, nullptr, &key, &disposition); },
                 [&] {
                   RegCloseKey(key);
                   const bool there = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key) == ERROR_SUCCESS;
                   if (there) RegCloseKey(key);
                   return Dword(disposition) + (there ? " there" : " absent");
                 });
    };
  };
  const std::vector<Row> rows = {
      {"§1.6", "a new value", set(u"New", "n"), Returns(ERROR_NOT_ENOUGH_MEMORY, "missing")},
      {"§1.6", "a value's data grown", set(u"Reset", "12345"), Returns(ERROR_NOT_ENOUGH_MEMORY, "4/4/07.00.00.00.")},
      {"§1.6", "a value's data shrunk, its type changed", set(u"Reset", "1"), Returns(ERROR_SUCCESS, "3/1/31.")},
      {"§1.4", "a new key", create(u"Conf\\New"), Returns(ERROR_NOT_ENOUGH_MEMORY, "untouched absent")},
      {"§1.4", "a key that exists", create(u"Conf\\1"), Returns(ERROR_SUCCESS, "2 there")},
      {"§1.2", "a value deleted",
       [this] { return Ask([&] { return RegDeleteValueW(conf_, u"Text"); }, [&] { return Stored(conf_, u"Text"); }); },
       Returns(ERROR_SUCCESS, "missing")},
      {"§1.6", "a new value once the user's file is deleted",
       [&] {
         DeleteFileW(u"\\FlashDisk\\photos.bin");
         return set(u"New", "n")();
       },
       Returns(ERROR_SUCCESS, "3/1/6e.")},
  };
  CheckRows(rows);
}

TEST_F(RegistryConformance, QueryInfoKeyOutputsAreEachOptional) {
  // Every output preset to the sentinel, and shown as written or untouched.
  struct Outputs {
    WCHAR classText[3] = {kGuard, kGuard, kGuard};
    DWORD classChars = kSentinel, subKeys = kSentinel, maxSubKey = kSentinel, maxClass = kSentinel,
          values = kSentinel, maxValueName = kSentinel, maxValue = kSentinel, security = kSentinel;
    FILETIME written{kSentinel, kSentinel};
    std::string Shown() const {
      return Units(classText, 3) + " class " + Dword(classChars) + " subkeys " + Dword(subKeys) + "/" +
             Dword(maxSubKey) + "/" + Dword(maxClass) + " values " + Dword(values) + "/" + Dword(maxValueName) + "/" +
             Dword(maxValue) + " security " + Dword(security) + " time " + Dword(written.dwLowDateTime) + "," +
             Dword(written.dwHighDateTime);
    }
  };
  auto everything = [](HKEY key, DWORD classChars) {
    Outputs out;
    out.classChars = classChars;
    return Ask(
        [&] {
          return RegQueryInfoKeyW(key, out.classText, &out.classChars, nullptr, &out.subKeys, &out.maxSubKey,
                                  &out.maxClass, &out.values, &out.maxValueName, &out.maxValue, &out.security,
                                  &out.written);
        },
        [&] { return out.Shown(); });
  };
  const std::string untouched = "### class untouched subkeys untouched/untouched/untouched values "
                                "untouched/untouched/untouched security untouched time untouched,untouched";
  const std::vector<Row> rows = {
      {"§1.7", "every output at once: lengths in characters without the terminator, data in bytes, no class, "
               "no security, no write time",
       [&] { return everything(conf_, 3); },
       Returns(ERROR_SUCCESS, "\\0## class 0 subkeys 3/255/0 values 2/5/8 security 0 time 0,0")},
      {"§1.7", "a subkey name outside the BMP counts its UTF-16 units",
       [&] {
         HKEY key = Create(u"Conf\\\U0001F600x");
         RegCloseKey(Create(u"Conf\\\U0001F600x\\\U0001F600\U0001F600"));
         const Answer answer = everything(key, 3);
         RegCloseKey(key);
         return answer;
       },
       Returns(ERROR_SUCCESS, "\\0## class 0 subkeys 1/4/0 values 0/0/0 security 0 time 0,0")},
      {"§1.7", "an empty key",
       [&] { return everything(empty_, 3); },
       Returns(ERROR_SUCCESS, "\\0## class 0 subkeys 0/0/0 values 0/0/0 security 0 time 0,0")},
      {"§1.7", "a class buffer of no characters: no room for the terminator, the buffer untouched",
       [&] {
         WCHAR classText[2] = {kGuard, kGuard};
         DWORD classChars = 0;
         return Ask(
             [&] {
               return RegQueryInfoKeyW(conf_, classText, &classChars, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
             },
             [&] { return Units(classText, 2) + " " + Dword(classChars); });
       },
       Returns(ERROR_MORE_DATA, "## 0")},
      {"§1.7", "no outputs at all",
       [&] {
         return Ask([&] {
           return RegQueryInfoKeyW(conf_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
         });
       },
       Returns(ERROR_SUCCESS)},
      {"§1.7", "the class length without a class buffer, as the program's counts alone",
       [&] {
         Outputs out;
         return Ask(
             [&] {
               return RegQueryInfoKeyW(conf_, nullptr, &out.classChars, nullptr, &out.subKeys, nullptr, nullptr,
                                       &out.values, nullptr, nullptr, nullptr, nullptr);
             },
             [&] { return out.Shown(); });
       },
       Returns(ERROR_SUCCESS, "### class 0 subkeys 3/untouched/untouched values 2/untouched/untouched security "
                              "untouched time untouched,untouched")},
      {"§1.7", "a class buffer without its size",
       [&] {
         WCHAR classText[2] = {kGuard, kGuard};
         return Ask(
             [&] {
               return RegQueryInfoKeyW(conf_, classText, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
             },
             [&] { return Units(classText, 2); });
       },
       Returns(ERROR_INVALID_PARAMETER, "##")},
      {"§1.7", "lpReserved must be NULL",
       [&] {
         Outputs out;
         DWORD reserved = 0;
         return Ask(
             [&] {
               return RegQueryInfoKeyW(conf_, nullptr, nullptr, &reserved, &out.subKeys, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
             },
             [&] { return out.Shown(); });
       },
       Returns(ERROR_INVALID_PARAMETER, untouched)},
      {"§1.9", "a handle that is no key",
       [&] { return everything(reinterpret_cast<HKEY>(uintptr_t{0x4242}), kSentinel); },
       Returns(ERROR_INVALID_HANDLE, untouched)},
  };
  CheckRows(rows);
}

TEST_F(RegistryConformance, EnumKeyNeedsRoomForTheTerminatorAndKeepsTheSize) {
  // Subkeys of Conf in enumeration order: "1", 255 times "k", "😀x".
  auto enumerate = [](HKEY key, DWORD index, DWORD chars) {
    std::vector<WCHAR> name(260, kGuard);
    DWORD size = chars;
    return Ask([&] { return RegEnumKeyExW(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr); },
               [&] {
                 const size_t shown = std::min<size_t>(chars + 1, 6);
                 return Dword(size) + " " + Units(name.data(), shown) + (name[chars] == kGuard ? "" : " past!");
               });
  };
  const std::vector<Row> rows = {
      {"§1.8", "\"1\" into 0 characters", [&] { return enumerate(conf_, 0, 0); }, Returns(ERROR_MORE_DATA, "0 #")},
      {"§1.8", "\"1\" into 1 character: no room for the terminator, the size stays",
       [&] { return enumerate(conf_, 0, 1); }, Returns(ERROR_MORE_DATA, "1 ##")},
      {"§1.8", "\"1\" into 2 characters", [&] { return enumerate(conf_, 0, 2); }, Returns(ERROR_SUCCESS, "1 1\\0#")},
      {"§1.8", "a 255-character name into 255", [&] { return enumerate(conf_, 1, 255); },
       Returns(ERROR_MORE_DATA, "255 ######")},
      {"§1.8", "a 255-character name into 256", [&] { return enumerate(conf_, 1, 256); },
       Returns(ERROR_SUCCESS, "255 kkkkkk")},
      {"§1.8", "a surrogate pair is two characters: \"😀x\" into 3", [&] { return enumerate(conf_, 2, 3); },
       Returns(ERROR_MORE_DATA, "3 ####")},
      {"§1.8", "\"😀x\" into 4", [&] { return enumerate(conf_, 2, 4); }, Returns(ERROR_SUCCESS, "3 😀x\\0#")},
      {"§1.8", "one past the last", [&] { return enumerate(conf_, 3, 10); }, Returns(ERROR_NO_MORE_ITEMS, "10 ######")},
      {"§1.8", "the largest index", [&] { return enumerate(conf_, 0xFFFFFFFF, 10); },
       Returns(ERROR_NO_MORE_ITEMS, "10 ######")},
      {"§1.8", "the predefined root itself, in case-insensitive order",
       [&] { return enumerate(HKEY_LOCAL_MACHINE, 0, 10); }, Returns(ERROR_SUCCESS, "4 Conf\\0#")},
      {"§1.8", "an empty key", [&] { return enumerate(empty_, 0, 10); }, Returns(ERROR_NO_MORE_ITEMS, "10 ######")},
      {"§1.8", "the class and write time a caller may ask for: none",
       [&] {
         WCHAR name[4], classText[2] = {kGuard, kGuard};
         DWORD chars = 4, classChars = 2;
         FILETIME written{kSentinel, kSentinel};
         return Ask([&] { return RegEnumKeyExW(conf_, 0, name, &chars, nullptr, classText, &classChars, &written); },
                    [&] {
                      return Units(classText, 2) + " " + Dword(classChars) + " " + Dword(written.dwLowDateTime) + "," +
                             Dword(written.dwHighDateTime);
                    });
       },
       Returns(ERROR_SUCCESS, "\\0# 0 0,0")},
      {"§1.8", "lpReserved must be NULL",
       [&] {
         WCHAR name[4] = {kGuard, kGuard, kGuard, kGuard};
         DWORD chars = 4, reserved = 0;
         return Ask([&] { return RegEnumKeyExW(conf_, 0, name, &chars, &reserved, nullptr, nullptr, nullptr); },
                    [&] { return Dword(chars) + " " + Units(name, 4); });
       },
       Returns(ERROR_INVALID_PARAMETER, "4 ####")},
      {"§1.8", "subkeys come in case-insensitive order",
       [] {
         HKEY key = Create(u"Order");
         for (const char16_t* name : {u"b", u"C", u"A", u"12"}) RegCloseKey(Create((std::u16string(u"Order\\") + name).c_str()));
         std::string names;
         WCHAR name[8];
         DWORD chars = 8;
         for (DWORD index = 0; RegEnumKeyExW(key, index, name, &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
              ++index, chars = 8)
           names += Units(name, chars) + " ";
         RegCloseKey(key);
         return Answer{ERROR_SUCCESS, kSentinel, names};
       },
       Returns(ERROR_SUCCESS, "12 A b C ")},
      {"§1.8", "the name buffer is required",
       [&] {
         DWORD chars = 4;
         return Ask([&] { return RegEnumKeyExW(conf_, 0, nullptr, &chars, nullptr, nullptr, nullptr, nullptr); },
                    [&] { return Dword(chars); });
       },
       Returns(ERROR_INVALID_PARAMETER, "4")},
      {"§1.8", "the size pointer is required",
       [&] {
         WCHAR name[4] = {kGuard, kGuard, kGuard, kGuard};
         return Ask([&] { return RegEnumKeyExW(conf_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr); },
                    [&] { return Units(name, 4); });
       },
       Returns(ERROR_INVALID_PARAMETER, "####")},
  };
  CheckRows(rows);
}

TEST_F(RegistryConformance, EnumValueGivesTheNameEvenWhenTheDataDoesNotFit) {
  // Values of Conf in the order written: "Text" (REG_SZ, 8 bytes), "Reset" (REG_DWORD, 4 bytes).
  auto enumerate = [this](DWORD index, DWORD chars, DWORD bytes) {
    WCHAR name[8];
    BYTE data[12];
    std::fill(std::begin(name), std::end(name), kGuard);
    std::fill(std::begin(data), std::end(data), 0xEE);
    DWORD type = kSentinel, size = bytes;
    return Ask([&] { return RegEnumValueW(conf_, index, name, &chars, nullptr, &type, data, &size); },
               [&] {
                 return Units(name, 6) + " " + Dword(chars) + " type " + Dword(type) + " size " + Dword(size) +
                        " data " + Hex(data[0]) + "," + Hex(data[bytes]);
               });
  };
  const std::vector<Row> rows = {
      {"§1.8", "data of 8 bytes into 7: the name and its length written, the data alone",
       [&] { return enumerate(0, 8, 7); }, Returns(ERROR_MORE_DATA, "Text\\0# 4 type 1 size 8 data 0xee,0xee")},
      {"§1.8", "data into 0 bytes", [&] { return enumerate(1, 8, 0); },
       Returns(ERROR_MORE_DATA, "Reset\\0 5 type 4 size 4 data 0xee,0xee")},
      {"§1.8", "neither fits: the name's size stays and both buffers are left alone",
       [&] { return enumerate(0, 4, 2); }, Returns(ERROR_MORE_DATA, "###### 4 type 1 size 8 data 0xee,0xee")},
      {"§1.8", "the name does not fit though the data would: neither is written",
       [&] { return enumerate(0, 4, 8); }, Returns(ERROR_MORE_DATA, "###### 4 type 1 size 8 data 0xee,0xee")},
      {"§1.8", "one past the last value", [&] { return enumerate(2, 8, 8); },
       Returns(ERROR_NO_MORE_ITEMS, "###### 8 type untouched size 8 data 0xee,0xee")},
      {"§1.8", "both fit", [&] { return enumerate(1, 6, 4); },
       Returns(ERROR_SUCCESS, "Reset\\0 5 type 4 size 4 data 0x7,0xee")},
  };
  CheckRows(rows);
}

TEST_F(RegistryConformance, CloseKey) {
  const std::vector<Row> rows = {
      {"§1.9", "NULL", [] { return Ask([] { return RegCloseKey(nullptr); }); }, Returns(ERROR_INVALID_HANDLE)},
      {"§1.9", "a predefined key: nothing to close", [] { return Ask([] { return RegCloseKey(HKEY_CURRENT_USER); }); },
       Returns(ERROR_SUCCESS)},
      {"§1.9", "a file handle is no key",
       [] {
         HANDLE file = CreateFileW(u"\\k.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
         const Answer answer = Ask([&] { return RegCloseKey(reinterpret_cast<HKEY>(file)); });
         CloseHandle(file);
         return answer;
       },
       Returns(ERROR_INVALID_HANDLE)},
  };
  CheckRows(rows);
}

namespace {

TEST(RegistryOpenCreate, CreatesWholePathCaseInsensitivelyAndPreservesCase) {
  TestImage image;
  HKEY key = reinterpret_cast<HKEY>(kSentinel);
  EXPECT_REG(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Korva\\Service Pack", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  DWORD disposition = kSentinel;
  HKEY created = Create(u"SOFTWARE\\Korva\\Service Pack\\", &disposition);  // trailing backslash accepted
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(Create(u"software\\KORVA\\service pack", &disposition));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_REG(Open(HKEY_LOCAL_MACHINE, u"sOfTwArE\\kOrVa", &key), ERROR_SUCCESS);
  EXPECT_EQ(EnumKey(key, 0), u"Service Pack");  // as first written
  HKEY same = nullptr;
  EXPECT_REG(Open(key, nullptr, &same), ERROR_SUCCESS);  // a new handle to the key itself
  EXPECT_NE(same, key);
  EXPECT_REG(RegCloseKey(same), ERROR_SUCCESS);
  // Full case folding: "STRASSE" and "straße" are one name.
  RegCloseKey(Create(u"Stra\u00DFe"));
  EXPECT_REG(Open(HKEY_LOCAL_MACHINE, u"STRASSE", &same), ERROR_SUCCESS);
  RegCloseKey(same);
  RegCloseKey(key);
  RegCloseKey(created);
}

TEST(RegistryValues, SetReplacesTypeAndKeepsNameCase) {
  TestImage image;
  HKEY key = Create(u"A");
  const DWORD number = 7;
  EXPECT_REG(RegSetValueExW(key, u"Reset", 1, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
             ERROR_INVALID_PARAMETER);
  EXPECT_REG(SetBytes(key, std::u16string(256, u'v').c_str(), REG_BINARY, "x"), ERROR_INVALID_PARAMETER);
  EXPECT_REG(SetBytes(key, std::u16string(255, u'v').c_str(), REG_BINARY, "x"), ERROR_SUCCESS);
  EXPECT_REG(RegSetValueExW(key, u"Reset", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4), ERROR_SUCCESS);
  EXPECT_REG(SetBytes(key, u"RESET", REG_SZ, std::string("1\0\0\0", 4)), ERROR_SUCCESS);
  WCHAR name[8];
  DWORD chars = 8, type = 0, size = 0;
  EXPECT_REG(RegEnumValueW(key, 1, name, &chars, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, chars), u"Reset");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 4u);
  EXPECT_REG(RegDeleteValueW(key, u"reset"), ERROR_SUCCESS);
  EXPECT_REG(RegDeleteValueW(key, u"reset"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST(RegistryDelete, TreesHandlesAndRoots) {
  TestImage image;
  HKEY parent = Create(u"P");
  HKEY child = Create(u"P\\Child\\Grandchild");
  EXPECT_REG(SetBytes(child, u"v", REG_BINARY, "1"), ERROR_SUCCESS);
  EXPECT_REG(RegDeleteKeyW(parent, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_REG(RegDeleteKeyW(parent, u"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_REG(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  EXPECT_REG(RegDeleteKeyW(parent, u"CHILD"), ERROR_SUCCESS);  // the whole tree, as CE does
  // A handle to a deleted key fails every call but its close.
  DWORD size = 0;
  HKEY reopened = nullptr;
  WCHAR name[8];
  DWORD chars = 8;
  EXPECT_REG(RegQueryValueExW(child, u"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
  EXPECT_REG(SetBytes(child, u"v", REG_BINARY, "2"), ERROR_KEY_DELETED);
  EXPECT_REG(RegEnumKeyExW(child, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
  EXPECT_REG(RegQueryInfoKeyW(child, nullptr, nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr),
             ERROR_KEY_DELETED);
  EXPECT_REG(Open(child, nullptr, &reopened), ERROR_KEY_DELETED);
  EXPECT_REG(RegCreateKeyExW(child, u"x", 0, nullptr, 0, 0, nullptr, &reopened, nullptr), ERROR_KEY_DELETED);
  EXPECT_REG(Open(HKEY_LOCAL_MACHINE, u"P\\Child", &reopened), ERROR_FILE_NOT_FOUND);
  EXPECT_REG(RegCloseKey(child), ERROR_SUCCESS);
  EXPECT_REG(RegCloseKey(child), ERROR_INVALID_HANDLE);
  EXPECT_REG(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  SetLastError(kSentinel);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(parent)));  // keys close only with RegCloseKey
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_REG(RegCloseKey(parent), ERROR_SUCCESS);
}

TEST(RegistryFaults, RuleFailsTheCallBeforeItsEffect) {
  TestImage image;
  host::AddFaultRule({.api = "RegSetValueExW", .pattern = u"software\\korva\\*:Reset", .error = "ERROR_WRITE_PROTECT"});
  // A pattern may name its root; one without means HKEY_LOCAL_MACHINE's keys alone.
  host::AddFaultRule({.api = "RegSetValueExW", .pattern = u"HKCU\\software\\*:Reset", .error = "ERROR_DISK_FULL"});
  host::AddFaultRule({.api = "RegSetValueExW", .pattern = u"HKEY_LOCAL_MACHINE\\*:Late", .error = "ERROR_DISK_FULL"});
  RegCloseKey(Create(u"SOFTWARE\\KORVA"));
  HKEY key = Create(u"software\\korva\\Service Pack");
  EXPECT_REG(SetBytes(key, u"Reset", REG_BINARY, "1"), ERROR_WRITE_PROTECT);
  EXPECT_REG(RegQueryValueExW(key, u"Reset", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_REG(SetBytes(key, u"Other", REG_BINARY, "1"), ERROR_SUCCESS);
  RegCloseKey(key);
  // The target names the key as stored, however the caller spelled it.
  EXPECT_REG(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\korva\\SERVICE PACK", &key), ERROR_SUCCESS);
  EXPECT_REG(SetBytes(key, u"Reset", REG_BINARY, "1"), ERROR_WRITE_PROTECT);
  EXPECT_REG(SetBytes(key, u"Late", REG_BINARY, "1"), ERROR_DISK_FULL);
  HKEY user = nullptr;
  EXPECT_REG(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\KORVA\\Service Pack", 0, nullptr, 0, 0, nullptr, &user, nullptr),
             ERROR_SUCCESS);
  EXPECT_REG(SetBytes(user, u"Reset", REG_BINARY, "1"), ERROR_DISK_FULL);
  EXPECT_REG(SetBytes(user, u"Late", REG_BINARY, "1"), ERROR_SUCCESS);
  std::vector<std::u16string> targets;
  for (const auto& fault : JournalEvents("fault")) targets.push_back(fault.Text("target"));
  EXPECT_EQ(targets, (std::vector<std::u16string>{u"SOFTWARE\\KORVA\\Service Pack:Reset", u"SOFTWARE\\KORVA\\Service Pack:Reset",
                                                   u"SOFTWARE\\KORVA\\Service Pack:Late",
                                                   u"HKEY_CURRENT_USER\\Software\\KORVA\\Service Pack:Reset"}));
  RegCloseKey(key);
  RegCloseKey(user);
}

TEST(RegistryProcesses, ChangesOfAnotherProcessAreSeenAtOnce) {
  TestImage image;
  HKEY key = Create(u"Shared");
  HKEY doomed = Create(u"Shared\\Doomed");
  RegCloseKey(Create(u"Shared\\A"));
  EXPECT_EQ(EnumKey(key, 0), u"A");  // an enumeration under way while the child works
  HKEY opened = nullptr;  // this process knows the image has no fault rules
  EXPECT_REG(Open(key, u"A", &opened), ERROR_SUCCESS);
  RegCloseKey(opened);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child opens the image afresh, as a process of the terminal does.
    int code = host::Guarded(10, [&] { return host::AttachImage(image.root()), 0; });
    HKEY own = nullptr;
    if (!code && Open(HKEY_LOCAL_MACHINE, u"SHARED", &own) != ERROR_SUCCESS) code = 11;
    if (!code && SetBytes(own, u"FromChild", REG_BINARY, "42") != ERROR_SUCCESS) code = 12;
    if (!code && RegDeleteKeyW(own, u"Doomed") != ERROR_SUCCESS) code = 13;
    HKEY added = nullptr;
    if (!code && RegCreateKeyExW(own, u"B", 0, nullptr, 0, 0, nullptr, &added, nullptr) != ERROR_SUCCESS) code = 14;
    if (!code) host::AddFaultRule({.api = "RegOpenKeyExW", .pattern = u"Shared\\A", .error = "ERROR_ACCESS_DENIED"});
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_REG(Open(key, u"A", &opened), ERROR_ACCESS_DENIED);  // the child's rule
  char data[4] = {};
  DWORD size = sizeof data;
  EXPECT_REG(RegQueryValueExW(key, u"FromChild", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string(data, size), "42");
  EXPECT_REG(SetBytes(doomed, u"v", REG_BINARY, "1"), ERROR_KEY_DELETED);
  EXPECT_EQ(EnumKey(key, 1), u"B");
  EXPECT_EQ(EnumKey(key, 2), u"<none>");
  RegCloseKey(doomed);
  RegCloseKey(key);
}

// A call reads one snapshot; a write it makes (a fault rule's count, the journal) must
// still succeed when another process committed since that snapshot began.
TEST(RegistryProcesses, WriteInsideACallAfterAnotherProcessCommitted) {
  TestImage image;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    const bool ready = read(go[0], &byte, 1) == 1 && host::Guarded(false, [&] { return host::AttachImage(image.root()), true; });
    _exit(ready && host::RegistryCreateKey(host::RegistryRoot::LocalMachine, u"FromChild") > 0 ? 0 : 10);
  }
  {
    host::ReadSnapshot call;
    EXPECT_FALSE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"FromChild"));  // the snapshot begins here
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"FromChild"));  // still the call's snapshot
    EXPECT_NO_THROW(host::Journal("sleep", {{"ms", int64_t{1}}}));
    EXPECT_TRUE(host::RegistryFindKey(host::RegistryRoot::LocalMachine, u"FromChild"));  // a new one after the write
  }
  close(go[0]);
  close(go[1]);
}

// Random operations on a handful of keys and values, against a map of what the
// registry must hold. Names differ only in case to exercise matching.
TEST(RegistryModel, AgreesWithReferenceUnderRandomOperations) {
  TestImage image;
  const std::u16string keys[] = {u"M\\k1", u"M\\K1\\sub", u"M\\k2"};
  const std::u16string names[] = {u"a", u"A", u"b", u""};
  std::map<std::pair<int, std::u16string>, std::string> model;  // (key index, folded name) -> data
  std::mt19937 random(20240611);
  for (int step = 0; step < 600; ++step) {
    const int k = static_cast<int>(random() % 3);
    const std::u16string& name = names[random() % 4];
    const std::u16string folded = host::FoldCase(name);
    HKEY key = Create(keys[k].c_str());
    switch (random() % 4) {
      case 0:
      case 1: {
        const std::string data(random() % 5, static_cast<char>('0' + step % 10));
        ASSERT_EQ(SetBytes(key, name.c_str(), REG_BINARY, data), ERROR_SUCCESS);
        model[{k, folded}] = data;
        break;
      }
      case 2:
        ASSERT_EQ(RegDeleteValueW(key, name.c_str()), model.erase({k, folded}) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
        break;
      case 3:
        if (k == 0 && random() % 8 == 0) {  // the whole subtree of k1, k1\sub included
          RegCloseKey(key);
          key = nullptr;
          ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, keys[0].c_str()), ERROR_SUCCESS);
          std::erase_if(model, [](const auto& entry) { return entry.first.first <= 1; });
        }
        break;
    }
    if (key) RegCloseKey(key);
    for (int check = 0; check < 3; ++check) {
      HKEY probe = Create(keys[check].c_str());
      DWORD values = 0;
      ASSERT_EQ(RegQueryInfoKeyW(probe, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr),
                ERROR_SUCCESS);
      DWORD expected = 0;
      for (const auto& [where, data] : model) {
        if (where.first != check) continue;
        ++expected;
        char buffer[8];
        DWORD size = sizeof buffer;
        ASSERT_EQ(RegQueryValueExW(probe, where.second.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
                  ERROR_SUCCESS);
        ASSERT_EQ(std::string(buffer, size), data) << "step " << step;
      }
      ASSERT_EQ(values, expected) << "step " << step;
      RegCloseKey(probe);
    }
  }
}

}  // namespace
