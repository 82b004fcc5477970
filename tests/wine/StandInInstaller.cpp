// The CAB installer stand-in for desktop runs under Wine, at C:\Windows\wceload.exe:
// it appends its command line (the cabinet's path) to wceload.log beside itself, reads
// the cabinet's setup file (the ".000" member) for the application's name, registers
// SOFTWARE\Apps\<Provider> <AppName> with Instl = 1 and CabFile = the path as given,
// and exits 0, as the emulated installer does. It installs no file and reads only
// uncompressed cabinets (no decompressor here): a file that is no such cabinet, or a
// cabinet without a setup file, which a terminal refuses, registers nothing and exits 1.
#include <windows.h>

#include <cstdint>
#include <string>

namespace {

constexpr int kRefused = 1;
constexpr int kRegistryFailed = 2;
constexpr DWORD kMaxCabinetBytes = 64u << 20;
constexpr size_t kSetupHeaderBytes = 100;
constexpr uint16_t kReservePresent = 0x0004;  // CFHEADER flags
constexpr uint16_t kPreviousCabinet = 0x0001;
constexpr uint16_t kNextCabinet = 0x0002;
constexpr uint16_t kCompressionMask = 0x000F;  // CFFOLDER typeCompress; 0 is none

// The whole command line: Setup passes the cabinet's path alone, without a program
// name in front, as CE wants it.
std::wstring CabinetPath() { return GetCommandLineW(); }

void AppendToLog(const std::wstring& line) {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring logPath = module;
  logPath.replace(logPath.size() - 3, 3, L"log");
  const std::wstring text = line + L"\n";
  char utf8[4 * MAX_PATH];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), utf8, sizeof(utf8), nullptr, nullptr);
  HANDLE log = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, utf8, (DWORD)bytes, &written, nullptr);
  CloseHandle(log);
}

bool ReadWholeFile(const std::wstring& path, std::string* bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(file, nullptr);
  DWORD read = 0;
  bool ok = size != INVALID_FILE_SIZE && size <= kMaxCabinetBytes;
  if (ok) {
    bytes->resize(size);
    ok = size == 0 || (ReadFile(file, bytes->data(), size, &read, nullptr) && read == size);
  }
  CloseHandle(file);
  return ok;
}

// Little-endian reads that fail, rather than read, past the end.
struct Bytes {
  const std::string& data;
  bool U16(size_t at, uint16_t* value) const {
    if (at > data.size() || data.size() - at < 2) return false;
    *value = (uint16_t)((uint8_t)data[at] | (uint8_t)data[at + 1] << 8);
    return true;
  }
  bool U32(size_t at, uint32_t* value) const {
    uint16_t low = 0, high = 0;
    if (!U16(at, &low) || !U16(at + 2, &high)) return false;
    *value = (uint32_t)low | (uint32_t)high << 16;
    return true;
  }
  // The NUL-terminated string at `at`, within `end`.
  bool Text(size_t at, size_t end, std::string* text) const {
    if (end > data.size() || at >= end) return false;
    const size_t nul = data.find('\0', at);
    if (nul == std::string::npos || nul >= end) return false;
    *text = data.substr(at, nul - at);
    return true;
  }
};

bool EndsWithSetupFileExtension(const std::string& name) {
  return name.size() >= 4 && name.compare(name.size() - 4, 4, ".000") == 0;
}

// The bytes of the first member named "*.000", from its uncompressed folder's data blocks.
bool ReadSetupFile(const std::string& cabinet, std::string* setupFile) {
  const Bytes cab{cabinet};
  uint32_t signature = 0, filesAt = 0;
  uint16_t folders = 0, files = 0, flags = 0;
  if (!cab.U32(0, &signature) || signature != 0x4643534D || !cab.U32(16, &filesAt) || !cab.U16(26, &folders) ||
      !cab.U16(28, &files) || !cab.U16(30, &flags))
    return false;
  size_t at = 36;
  uint16_t headerReserve = 0;
  size_t folderReserve = 0, dataReserve = 0;
  if (flags & kReservePresent) {
    if (!cab.U16(at, &headerReserve) || at + 4 > cabinet.size()) return false;
    folderReserve = (uint8_t)cabinet[at + 2];
    dataReserve = (uint8_t)cabinet[at + 3];
    at += 4 + headerReserve;
  }
  // The names of the cabinets before and after this one in a set.
  const int names = (flags & kPreviousCabinet ? 2 : 0) + (flags & kNextCabinet ? 2 : 0);
  for (int i = 0; i < names; ++i) {
    std::string skipped;
    if (!cab.Text(at, cabinet.size(), &skipped)) return false;
    at += skipped.size() + 1;
  }
  const size_t foldersAt = at;
  at = filesAt;
  for (uint16_t i = 0; i < files; ++i) {
    uint32_t size = 0, offset = 0;
    uint16_t folder = 0;
    std::string name;
    if (!cab.U32(at, &size) || !cab.U32(at + 4, &offset) || !cab.U16(at + 8, &folder) ||
        !cab.Text(at + 16, cabinet.size(), &name))
      return false;
    at += 16 + name.size() + 1;
    if (!EndsWithSetupFileExtension(name)) continue;
    const size_t folderAt = foldersAt + (size_t)folder * (8 + folderReserve);
    uint32_t blocksAt = 0;
    uint16_t blocks = 0, compression = 0;
    if (folder >= folders || !cab.U32(folderAt, &blocksAt) || !cab.U16(folderAt + 4, &blocks) ||
        !cab.U16(folderAt + 6, &compression) || (compression & kCompressionMask) != 0)
      return false;
    std::string stream;
    for (size_t block = 0, blockAt = blocksAt; block < blocks && stream.size() < (size_t)offset + size; ++block) {
      uint16_t stored = 0;
      const size_t dataAt = blockAt + 8 + dataReserve;
      if (!cab.U16(blockAt + 4, &stored) || dataAt > cabinet.size() || cabinet.size() - dataAt < stored) return false;
      stream.append(cabinet, dataAt, stored);
      blockAt = dataAt + stored;
    }
    if (stream.size() < (size_t)offset + size) return false;
    *setupFile = stream.substr(offset, size);
    return true;
  }
  return false;
}

// "Provider AppName" from the setup file's header: offset and length of the
// application's name at 84 and 86, of the provider at 88 and 90, single-byte texts.
bool ApplicationName(const std::string& setupFile, std::wstring* application) {
  const Bytes setup{setupFile};
  uint16_t appAt = 0, appLength = 0, providerAt = 0, providerLength = 0;
  std::string appName, provider;
  if (setupFile.size() < kSetupHeaderBytes || setupFile.compare(0, 4, "MSCE") != 0 || !setup.U16(84, &appAt) ||
      !setup.U16(86, &appLength) || !setup.U16(88, &providerAt) || !setup.U16(90, &providerLength) ||
      !setup.Text(appAt, (size_t)appAt + appLength, &appName) ||
      !setup.Text(providerAt, (size_t)providerAt + providerLength, &provider))
    return false;
  const std::string name = provider + " " + appName;
  wchar_t wide[MAX_PATH] = {};
  const int length = MultiByteToWideChar(CP_ACP, 0, name.c_str(), (int)name.size(), wide, MAX_PATH - 1);
  if (length <= 0) return false;
  application->assign(wide, (size_t)length);
  return true;
}

bool Register(const std::wstring& application, const std::wstring& path) {
  const std::wstring keyPath = L"SOFTWARE\\Apps\\" + application;
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const DWORD installed = 1;
  const bool ok =
      RegSetValueExW(key, L"Instl", 0, REG_DWORD, (const BYTE*)&installed, sizeof(installed)) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"CabFile", 0, REG_SZ, (const BYTE*)path.c_str(), (DWORD)((path.size() + 1) * sizeof(wchar_t))) ==
          ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  const std::wstring path = CabinetPath();
  AppendToLog(path);
  std::string cabinet, setupFile;
  std::wstring application;
  if (!ReadWholeFile(path, &cabinet) || !ReadSetupFile(cabinet, &setupFile) || !ApplicationName(setupFile, &application))
    return kRefused;
  return Register(application, path) ? 0 : kRegistryFailed;
}
