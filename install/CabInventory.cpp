#include "install/CabInventory.h"

#include "registry/RegistryValues.h"

namespace {

const WCHAR APPS_KEY[] = TEXT("SOFTWARE\\Apps");
const WCHAR INSTALLED_VALUE[] = TEXT("Instl");
const WCHAR CAB_FILE_VALUE[] = TEXT("CabFile");

// The longest key name the registry allows, and its terminator.
const DWORD SUBKEY_NAME_CHARS = 255 + 1;
// "SOFTWARE\Apps", a backslash and any subkey name, with the terminator.
const size_t APP_KEY_PATH_CHARS = sizeof(APPS_KEY) / sizeof(WCHAR) + SUBKEY_NAME_CHARS;

// Appends path to the inventory. Every installed application is counted, so the limit
// sees them all, but none is stored past the last slot.
void AppendInstalledCab(const WCHAR* path)
{
    if (g_installedCabCount >= 0 && g_installedCabCount < MAX_CABS) {
        memcpy(g_installedCabs[g_installedCabCount], path, (wcslen(path) + 1) * sizeof(WCHAR));
    }
    ++g_installedCabCount;
}

// Reads Instl and CabFile of one application subkey and appends its CAB when it is
// installed. An application without a non-zero Instl, or whose CabFile is missing or
// does not fit a slot, is passed over.
void AddApplication(const WCHAR* subkeyName)
{
    WCHAR keyPath[APP_KEY_PATH_CHARS];
    WCHAR cabFile[INSTALLED_CAB_CHARS];
    DWORD installed = 0;

    memset(keyPath, 0, sizeof(keyPath));
    // The last unit stays 0: _snwprintf writes no terminator when the text fills its count.
    _snwprintf(keyPath, APP_KEY_PATH_CHARS - 1, TEXT("%s\\%s"), APPS_KEY, subkeyName);
    RegReadDword(HKEY_LOCAL_MACHINE, keyPath, INSTALLED_VALUE, &installed);
    if (installed == 0) {
        return;
    }
    memset(cabFile, 0, sizeof(cabFile));
    if (!RegReadString(HKEY_LOCAL_MACHINE, keyPath, CAB_FILE_VALUE, cabFile, INSTALLED_CAB_CHARS)) {
        return;
    }
    AppendInstalledCab(cabFile);
}

// Enumerates the subkeyCount subkeys of the open apps key. Returns 0 at the first
// index that cannot be enumerated.
int AddApplications(HKEY appsKey, DWORD subkeyCount)
{
    WCHAR subkeyName[SUBKEY_NAME_CHARS];

    for (DWORD index = 0; index < subkeyCount; ++index) {
        DWORD nameChars = SUBKEY_NAME_CHARS;

        memset(subkeyName, 0, sizeof(subkeyName));
        if (RegEnumKeyExW(appsKey, index, subkeyName, &nameChars, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            return 0;
        }
        AddApplication(subkeyName);
    }
    return 1;
}

}  // namespace

WCHAR g_installedCabs[MAX_CABS][INSTALLED_CAB_CHARS];
int g_installedCabCount = 0;

int LoadInstalledCabList(void)
{
    HKEY appsKey = NULL;
    DWORD subkeyCount = 0;
    DWORD valueCount = 0;
    int loaded = 0;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, APPS_KEY, 0, KEY_ALL_ACCESS, &appsKey) != ERROR_SUCCESS) {
        return 0;
    }
    // Counted once: a subkey removed during the walk makes its last index fail.
    if (RegQueryInfoKeyW(appsKey, NULL, NULL, NULL, &subkeyCount, NULL, NULL, &valueCount, NULL, NULL, NULL,
                         NULL) == ERROR_SUCCESS) {
        loaded = AddApplications(appsKey, subkeyCount);
    }
    RegCloseKey(appsKey);
    return loaded;
}
