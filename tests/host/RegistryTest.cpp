// The registry calls against a real image: Windows' answers, shared state between
// processes, and a reference model under random operations.
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"
#include "tests/support/TestImage.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>

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
