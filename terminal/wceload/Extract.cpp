// Writing the decompressed members under the application folder through the CE file
// API, and taking back what was created when a write fails.
#include "terminal/wceload/Installer.h"

#include "platform/host/HostInternal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace wceload {

namespace {

constexpr DWORD kWriteChunk = 1u << 20;

std::string Failure(const char* what, const std::u16string& path, DWORD error) {
  return std::string(what) + " " + host::ToUtf8(path) + " (error " + std::to_string(error) + ")";
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
  if (resolved && resolved->exists) ::unlinkat(resolved->parentFd, resolved->hostName.c_str(), AT_REMOVEDIR);
}

}  // namespace

void Undo::Run() {
  for (auto file = files_.rbegin(); file != files_.rend(); ++file) DeleteFileW(file->c_str());
  for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) RemoveEmptyFolder(*folder);
  files_.clear();
  folders_.clear();
}

bool WritePlan(const std::u16string& folder, const Plan& plan, Undo* undo, std::string* why) {
  for (size_t slash = folder.find(u'\\', 1); slash != std::u16string::npos; slash = folder.find(u'\\', slash + 1)) {
    if (!EnsureFolder(folder.substr(0, slash), undo, why)) return false;
  }
  if (!EnsureFolder(folder, undo, why)) return false;
  for (const auto& relative : plan.folders) {
    if (!EnsureFolder(folder + u"\\" + relative, undo, why)) return false;
  }
  for (const auto& file : plan.files) {
    if (!WriteMemberFile(folder + u"\\" + file.relativePath, *file.data, undo, why)) return false;
  }
  return true;
}

}  // namespace wceload
