// Writing the planned folders, files and shortcuts through the CE file API (so fault
// rules and power cuts apply to them), and taking back what was created when a write
// fails.
#include "terminal/wceload/Installer.h"

#include "platform/host/Paths.h"
#include "platform/host/Text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace wceload {

namespace {

constexpr DWORD kWriteChunk = 1u << 20;

std::string Failure(const char* what, const std::u16string& path, DWORD error) {
  return std::string(what) + " " + host::ToUtf8(path) + Because(error);
}

// Creates `path` unless a folder of that name exists.
bool EnsureFolder(const std::u16string& path, Undo* undo, std::string* why) {
  if (CreateDirectoryW(path.c_str(), nullptr)) {
    undo->CreatedFolder(path);
    return true;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  }
  *why = Failure("cannot create the folder", path, error);
  return false;
}

bool WriteMemberFile(const std::u16string& path, const std::string& data, Undo* undo, std::string* why) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = Failure("cannot create", path, GetLastError());
    return false;
  }
  // A file that existed (an earlier installation) is replaced in place, and stays
  // replaced when a later write fails: only what this run created can be taken back.
  if (GetLastError() != ERROR_ALREADY_EXISTS) undo->CreatedFile(path);
  bool written = true;
  for (size_t done = 0; written && done < data.size();) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(kWriteChunk, data.size() - done));
    DWORD count = 0;
    written = WriteFile(file, data.data() + done, chunk, &count, nullptr) && count == chunk;
    if (!written) *why = Failure("cannot write", path, GetLastError());
    done += chunk;
  }
  if (!CloseHandle(file) && written) {
    *why = Failure("cannot close", path, GetLastError());
    written = false;
  }
  return written;
}

// NOTES: the platform header offers no RemoveDirectoryW, so an empty folder this run
// created is removed on the host, beneath fs/ like every other access.
void RemoveEmptyFolder(const std::u16string& path) {
  auto resolved = host::ResolvePath(path);
  if (resolved && resolved->exists) ::unlinkat(resolved->parentFd.Get(), resolved->hostName.c_str(), AT_REMOVEDIR);
}

// Whether the setup file's flags keep the file already at `file.path`; `why` says so.
bool KeptByFlags(const InstallFile& file, std::string* why) {
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW(file.path.c_str(), &found);
  const bool exists = find != INVALID_HANDLE_VALUE;
  if (exists) FindClose(find);
  const uint64_t existingTime =
      static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32 | found.ftLastWriteTime.dwLowDateTime;
  if (!exists && (file.flags & kCopyReplaceOnly)) {
    *why = "not written: its flags copy it only over an existing file";
  } else if (exists && (file.flags & kCopyNoOverwrite)) {
    *why = "kept: its flags do not overwrite an existing file";
  } else if (exists && (file.flags & kCopyKeepNewer) && existingTime > file.writeTime) {
    *why = "kept: the file there is newer and its flags keep a newer file";
  } else {
    return false;
  }
  return true;
}

}  // namespace

void Undo::Run() {
  for (auto value = values_.rbegin(); value != values_.rend(); ++value) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(RootHandle(value->first.root), value->first.path.c_str(), 0, KEY_ALL_ACCESS, &key) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(key, value->second.c_str());
      RegCloseKey(key);
    }
  }
  for (auto key = keys_.rbegin(); key != keys_.rend(); ++key) RegDeleteKeyW(RootHandle(key->root), key->path.c_str());
  for (auto file = files_.rbegin(); file != files_.rend(); ++file) DeleteFileW(file->c_str());
  for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) RemoveEmptyFolder(*folder);
  files_.clear();
  folders_.clear();
  keys_.clear();
  values_.clear();
}

bool WriteFiles(const InstallPlan& plan, const std::u16string& cabPath, Undo* undo, std::string* why) {
  for (const auto& folder : plan.folders) {
    if (!EnsureFolder(folder, undo, why)) return false;
  }
  for (const auto& file : plan.files) {
    std::string kept;
    if (file.flags != 0 && KeptByFlags(file, &kept)) {
      ReportLine(cabPath, host::ToUtf8(file.path) + " " + kept);
      continue;
    }
    if (!WriteMemberFile(file.path, *file.data, undo, why)) return false;
    Record(cabPath, "installer-file", {{"cab", cabPath}, {"path", file.path}});
  }
  for (const auto& shortcut : plan.shortcuts) {
    if (!WriteMemberFile(shortcut.path, shortcut.data, undo, why)) return false;
    Record(cabPath, "installer-shortcut", {{"cab", cabPath}, {"path", shortcut.path}, {"target", shortcut.target}});
  }
  return true;
}

}  // namespace wceload
