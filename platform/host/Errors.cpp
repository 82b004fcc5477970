// Last error and the one table of error codes the terminal speaks.
#include "platform/host/HostInternal.h"

#include <cerrno>
#include <charconv>

namespace {

thread_local DWORD t_lastError = 0;

struct NamedError {
  const char* name;
  DWORD code;
};

constexpr NamedError kErrorNames[] = {
    {"ERROR_SUCCESS", ERROR_SUCCESS},
    {"ERROR_INVALID_FUNCTION", ERROR_INVALID_FUNCTION},
    {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
    {"ERROR_PATH_NOT_FOUND", ERROR_PATH_NOT_FOUND},
    {"ERROR_ACCESS_DENIED", ERROR_ACCESS_DENIED},
    {"ERROR_INVALID_HANDLE", ERROR_INVALID_HANDLE},
    {"ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY},
    {"ERROR_OUTOFMEMORY", ERROR_OUTOFMEMORY},
    {"ERROR_NO_MORE_FILES", ERROR_NO_MORE_FILES},
    {"ERROR_WRITE_PROTECT", ERROR_WRITE_PROTECT},
    {"ERROR_GEN_FAILURE", ERROR_GEN_FAILURE},
    {"ERROR_SHARING_VIOLATION", ERROR_SHARING_VIOLATION},
    {"ERROR_HANDLE_EOF", ERROR_HANDLE_EOF},
    {"ERROR_NOT_SUPPORTED", ERROR_NOT_SUPPORTED},
    {"ERROR_DEV_NOT_EXIST", ERROR_DEV_NOT_EXIST},
    {"ERROR_FILE_EXISTS", ERROR_FILE_EXISTS},
    {"ERROR_INVALID_PARAMETER", ERROR_INVALID_PARAMETER},
    {"ERROR_BROKEN_PIPE", ERROR_BROKEN_PIPE},
    {"ERROR_DISK_FULL", ERROR_DISK_FULL},
    {"ERROR_CALL_NOT_IMPLEMENTED", ERROR_CALL_NOT_IMPLEMENTED},
    {"ERROR_INSUFFICIENT_BUFFER", ERROR_INSUFFICIENT_BUFFER},
    {"ERROR_INVALID_NAME", ERROR_INVALID_NAME},
    {"ERROR_DIR_NOT_EMPTY", ERROR_DIR_NOT_EMPTY},
    {"ERROR_BAD_PATHNAME", ERROR_BAD_PATHNAME},
    {"ERROR_ALREADY_EXISTS", ERROR_ALREADY_EXISTS},
    {"ERROR_BAD_EXE_FORMAT", ERROR_BAD_EXE_FORMAT},
    {"ERROR_FILENAME_EXCED_RANGE", ERROR_FILENAME_EXCED_RANGE},
    {"ERROR_MORE_DATA", ERROR_MORE_DATA},
    {"ERROR_NO_MORE_ITEMS", ERROR_NO_MORE_ITEMS},
    {"ERROR_DIRECTORY", ERROR_DIRECTORY},
    {"ERROR_NOT_OWNER", ERROR_NOT_OWNER},
    {"ERROR_INVALID_FLAGS", ERROR_INVALID_FLAGS},
    {"ERROR_BADKEY", ERROR_BADKEY},
    {"ERROR_CANTOPEN", ERROR_CANTOPEN},
    {"ERROR_CANTREAD", ERROR_CANTREAD},
    {"ERROR_CANTWRITE", ERROR_CANTWRITE},
    {"ERROR_REGISTRY_CORRUPT", ERROR_REGISTRY_CORRUPT},
    {"ERROR_REGISTRY_IO_FAILED", ERROR_REGISTRY_IO_FAILED},
    {"ERROR_KEY_DELETED", ERROR_KEY_DELETED},
    {"ERROR_INVALID_WINDOW_HANDLE", ERROR_INVALID_WINDOW_HANDLE},
    {"ERROR_TIMEOUT", ERROR_TIMEOUT},
};

}  // namespace

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

namespace host {

DWORD ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ELOOP:
    case EXDEV: return ERROR_ACCESS_DENIED;  // a symlink or a way out of fs/
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ESRCH: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
  }
}

std::optional<DWORD> ErrorFromName(std::string_view name) {
  for (const auto& entry : kErrorNames) {
    if (name == entry.name) return entry.code;
  }
  DWORD code = 0;
  const char* end = name.data() + name.size();
  int base = 10;
  const char* begin = name.data();
  if (name.size() > 2 && name[0] == '0' && (name[1] == 'x' || name[1] == 'X')) {
    base = 16;
    begin += 2;
  }
  auto result = std::from_chars(begin, end, code, base);
  if (name.empty() || result.ec != std::errc() || result.ptr != end) return std::nullopt;
  return code;
}

std::string ErrorName(DWORD error) {
  for (const auto& entry : kErrorNames) {
    if (entry.code == error) return entry.name;
  }
  return std::to_string(error);
}

}  // namespace host
