#include "registry/RegistryValues.h"

namespace {

// Opens subKey for one read; returns NULL when it is missing (nothing is created).
HKEY OpenKeyForRead(HKEY root, LPCWSTR subKey)
{
    HKEY key = NULL;

    if (RegOpenKeyExW(root, subKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return NULL;
    }
    return key;
}

// Opens or creates subKey with its whole path; returns NULL when the platform refuses.
HKEY OpenKeyForWrite(HKEY root, LPCWSTR subKey)
{
    WCHAR emptyClass[1] = {0};
    HKEY key = NULL;
    DWORD disposition = 0;

    if (RegCreateKeyExW(root, subKey, 0, emptyClass, 0, KEY_ALL_ACCESS, NULL, &key, &disposition) !=
        ERROR_SUCCESS) {
        return NULL;
    }
    return key;
}

// Reads valueName of subKey into data; *size holds the capacity on entry and the bytes
// read afterwards. Returns 1 on success, else 0.
int QueryValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, BYTE* data, DWORD* size)
{
    HKEY key = OpenKeyForRead(root, subKey);
    DWORD type = REG_NONE;
    int read = 0;

    if (key == NULL) {
        return 0;
    }
    if (RegQueryValueExW(key, valueName, NULL, &type, data, size) == ERROR_SUCCESS) {
        read = 1;
    }
    RegCloseKey(key);
    return read;
}

// Stores size bytes of the given type as valueName of subKey. Returns 1 on success.
int SetValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD type, const BYTE* data, DWORD size)
{
    HKEY key = OpenKeyForWrite(root, subKey);
    int written = 0;

    if (key == NULL) {
        return 0;
    }
    if (RegSetValueExW(key, valueName, 0, type, data, size) == ERROR_SUCCESS) {
        written = 1;
    }
    RegCloseKey(key);
    return written;
}

// Returns 1 when one of the first count units of text is a terminator.
int HasTerminator(const WCHAR* text, DWORD count)
{
    for (DWORD i = 0; i < count; ++i) {
        if (text[i] == 0) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int RegReadString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, WCHAR* buffer, DWORD capacity)
{
    // Sizes stay far below the DWORD range: the byte offer is capped before it is used.
    DWORD offered = capacity < REG_STRING_MAX_BYTES / sizeof(WCHAR) ? capacity * (DWORD)sizeof(WCHAR)
                                                                      : REG_STRING_MAX_BYTES;
    DWORD size = offered;
    DWORD unitsRead = 0;

    if (capacity == 0) {
        return 0;
    }
    if (!QueryValue(root, subKey, valueName, (BYTE*)buffer, &size)) {
        return 0;
    }
    // The platform adds no terminator, and an odd byte count leaves half a unit.
    unitsRead = (size + 1) / (DWORD)sizeof(WCHAR);
    if (unitsRead < capacity) {
        buffer[unitsRead] = 0;
        return 1;
    }
    return HasTerminator(buffer, capacity);
}

int RegReadDword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* value)
{
    DWORD local = 0;
    DWORD size = sizeof(local);

    if (!QueryValue(root, subKey, valueName, (BYTE*)&local, &size)) {
        return 0;
    }
    *value = local;
    return 1;
}

int RegWriteDword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD value)
{
    return SetValue(root, subKey, valueName, REG_DWORD, (const BYTE*)&value, sizeof(value));
}

int RegReadBinary(HKEY root, LPCWSTR subKey, LPCWSTR valueName, BYTE* buffer, DWORD* size)
{
    DWORD read = *size;

    if (!QueryValue(root, subKey, valueName, buffer, &read)) {
        return 0;
    }
    *size = read;
    return 1;
}

int RegWriteBinary(HKEY root, LPCWSTR subKey, LPCWSTR valueName, const BYTE* data, DWORD size)
{
    return SetValue(root, subKey, valueName, REG_BINARY, data, size);
}
