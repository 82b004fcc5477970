// The process's handle table. Every handle knows its kind; values are never reused,
// so a closed handle stays invalid (ERROR_INVALID_HANDLE).
#include "platform/host/HostInternal.h"

#include <unordered_map>

namespace host {

namespace {

std::mutex g_handleLock;
std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> g_handles;
uintptr_t g_nextHandle = 0x1000;

}  // namespace

HANDLE AddHandle(std::shared_ptr<HandleObject> object) {
  std::lock_guard guard(g_handleLock);
  const uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> FindHandle(HANDLE handle) {
  std::lock_guard guard(g_handleLock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_handles.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle) {
  std::lock_guard guard(g_handleLock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end()) return nullptr;
  auto object = std::move(it->second);
  g_handles.erase(it);
  return object;
}

}  // namespace host

BOOL CloseHandle(HANDLE hObject) {
  auto object = host::FindHandle(hObject);
  // Searches close with FindClose and keys with RegCloseKey, never here.
  if (!object || object->Kind() == host::HandleKind::Find || object->Kind() == host::HandleKind::Key)
    return host::Fail(ERROR_INVALID_HANDLE, FALSE);
  host::RemoveHandle(hObject);
  return TRUE;
}
