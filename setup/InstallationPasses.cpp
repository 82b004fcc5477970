#include "setup/InstallationPasses.h"

#include "environment/DeviceProfile.h"
#include "registry/RegistryValues.h"

namespace {

const WCHAR PATCH_PATTERN[] = TEXT("Patch*.cab");
const WCHAR CAB_PATTERN[] = TEXT("*.cab");
const WCHAR DATE_TIME_VALUE[] = TEXT("DateTime");
// A FILETIME as stored in DateTime: the low half, then the high half, little-endian.
const DWORD DATE_TIME_BYTES = 8;

// The counters that the steps hand on to each other.
struct PassProgress {
    int installedThisRun;
    int addedSinceLoad;  // CABs added to the registered set since the last load
};

// Names and paths are the same when the system locale says so, ignoring case.
int IsSameName(LPCWSTR a, LPCWSTR b)
{
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

// Only the stored entries are compared, even when more applications were counted.
int IsCabRegistered(LPCWSTR path)
{
    int stored = g_installedCabCount < MAX_CABS ? g_installedCabCount : MAX_CABS;

    for (int i = 0; i < stored; ++i) {
        if (IsSameName(path, g_installedCabs[i])) {
            return 1;
        }
    }
    return 0;
}

int IsLimitReached(const PassProgress* progress)
{
    return g_installedCabCount + progress->addedSinceLoad > MAX_CABS;
}

// Formats "directory\name" into path (PATH_BUFFER_CHARS units). Returns 0, writing nothing,
// when it would not fit.
int BuildCabPath(WCHAR* path, LPCWSTR directory, LPCWSTR name)
{
    if (wcslen(directory) + 1 + wcslen(name) >= PATH_BUFFER_CHARS) {
        return 0;
    }
    // The check above leaves room for the terminator, which _snwprintf then writes.
    _snwprintf(path, PATH_BUFFER_CHARS, TEXT("%s\\%s"), directory, name);
    return 1;
}

// The full path of a CAB that may be installed, as BuildCabPath gives it. Returns 0 for
// a path that could never stand registered: one that does not fit an inventory slot
// would be installed again on every run, with a reset each time, and one of MAX_PATH
// characters or more cannot even be opened.
int BuildInstallableCabPath(WCHAR* path, LPCWSTR directory, LPCWSTR name)
{
    if (wcslen(directory) + 1 + wcslen(name) >= INSTALLED_CAB_CHARS) {
        return 0;
    }
    return BuildCabPath(path, directory, name);
}

// Writes time into bytes (DATE_TIME_BYTES) in the layout of DateTime, whatever the
// processor's byte order.
void FileTimeToBytes(const FILETIME* time, BYTE* bytes)
{
    for (DWORD i = 0; i < 4; ++i) {
        bytes[i] = (BYTE)(time->dwLowDateTime >> (8 * i));
        bytes[4 + i] = (BYTE)(time->dwHighDateTime >> (8 * i));
    }
}

// Reads the last-write time of path into bytes (DATE_TIME_BYTES). Returns 0 when the
// file cannot be opened (a folder, or a file held open elsewhere) or its time read.
int ReadLastWriteTime(LPCWSTR path, BYTE* bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    FILETIME lastWrite = {0, 0};
    int read = 0;

    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    if (GetFileTime(file, NULL, NULL, &lastWrite)) {
        FileTimeToBytes(&lastWrite, bytes);
        read = 1;
    }
    CloseHandle(file);
    return read;
}

// A DateTime that is missing, unreadable or shorter than a FILETIME differs.
int IsStoredDateTime(const BYTE* lastWrite)
{
    BYTE stored[DATE_TIME_BYTES];
    DWORD size = DATE_TIME_BYTES;

    if (!RegReadBinary(HKEY_LOCAL_MACHINE, SERVICE_PACK_KEY, DATE_TIME_VALUE, stored, &size)) {
        return 0;
    }
    return size == DATE_TIME_BYTES && memcmp(stored, lastWrite, DATE_TIME_BYTES) == 0;
}

// Installs the service-pack CAB found at path unless it is registered and its
// last-write time equals the stored DateTime, and stores that time afterwards.
InstallStatus InstallServicePackIfChanged(LPCWSTR path, PassProgress* progress)
{
    BYTE lastWrite[DATE_TIME_BYTES];
    int registered = IsCabRegistered(path);
    int timeKnown = 0;

    if (!registered) {
        progress->addedSinceLoad = 1;
    }
    timeKnown = ReadLastWriteTime(path, lastWrite);
    if (registered && timeKnown && IsStoredDateTime(lastWrite)) {
        return OUTCOME_COMPLETED;
    }
    if (IsLimitReached(progress)) {
        return OUTCOME_LIMIT_REACHED;
    }
    if (!RunCabInstaller(path)) {
        return OUTCOME_INSTALL_ERROR;
    }
    progress->installedThisRun = 1;
    // Without a known time the old DateTime stays: anything written would be a guess.
    if (timeKnown) {
        RegWriteBinary(HKEY_LOCAL_MACHINE, SERVICE_PACK_KEY, DATE_TIME_VALUE, lastWrite, DATE_TIME_BYTES);
    }
    return OUTCOME_COMPLETED;
}

// The service-pack step. A terminal without a model row, or a folder without the
// model's CAB, has nothing to install here.
InstallStatus InstallServicePackCab(LPCWSTR directory, PassProgress* progress)
{
    LPCWSTR name = ServicePackCabName();
    WCHAR path[PATH_BUFFER_CHARS];
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    InstallStatus status = OUTCOME_COMPLETED;

    if (name == NULL || !BuildInstallableCabPath(path, directory, name)) {
        return OUTCOME_COMPLETED;
    }
    search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return OUTCOME_COMPLETED;
    }
    status = InstallServicePackIfChanged(path, progress);
    FindClose(search);
    return status;
}

// Admits one found entry of a pass into pending unless it is the service pack, its
// path does not fit, or it is registered. Returns 0 when the limit refuses it, which
// ends the search; every other entry returns 1.
int AdmitFoundCab(LPCWSTR directory, LPCWSTR foundName, PendingCabList* pending, PassProgress* progress)
{
    LPCWSTR servicePackName = ServicePackCabName();
    WCHAR path[PATH_BUFFER_CHARS];
    int registered = 0;

    if (servicePackName != NULL && IsSameName(foundName, servicePackName)) {
        return 1;
    }
    if (!BuildInstallableCabPath(path, directory, foundName)) {
        return 1;
    }
    registered = IsCabRegistered(path);
    if (!registered) {
        ++progress->addedSinceLoad;
    }
    // Registered entries count against the limit too.
    if (IsLimitReached(progress) || (!registered && pending->count >= MAX_CABS)) {
        return 0;
    }
    if (!registered) {
        memcpy(pending->entries[pending->count], path, sizeof(path));
        ++pending->count;
    }
    return 1;
}

// Adds the entries of directory that match pattern to pending, in the order the file
// system lists them. Returns 1 when the limit ended the search.
int CollectPendingCabs(LPCWSTR directory, LPCWSTR pattern, PendingCabList* pending, PassProgress* progress)
{
    WCHAR searchPath[PATH_BUFFER_CHARS];
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    int limitReached = 0;

    if (!BuildCabPath(searchPath, directory, pattern)) {
        return 0;
    }
    search = FindFirstFileW(searchPath, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        limitReached = !AdmitFoundCab(directory, found.cFileName, pending, progress);
    } while (!limitReached && FindNextFileW(search, &found));
    FindClose(search);
    return limitReached;
}

// One pass: collects, sorts and installs. What the pass admitted before the limit is
// installed before the limit is reported; the first failed installation ends it.
InstallStatus RunCabPass(LPCWSTR directory, LPCWSTR pattern, PendingCabList* pending, PassProgress* progress)
{
    int limitReached = 0;

    pending->count = 0;
    limitReached = CollectPendingCabs(directory, pattern, pending, progress);
    if (pending->count > 1) {
        qsort(pending->entries, (size_t)pending->count, sizeof(pending->entries[0]), CompareCabNames);
    }
    for (int i = 0; i < pending->count; ++i) {
        if (!RunCabInstaller(pending->entries[i])) {
            return OUTCOME_INSTALL_ERROR;
        }
        ++progress->installedThisRun;
    }
    return limitReached ? OUTCOME_LIMIT_REACHED : OUTCOME_COMPLETED;
}

// Reads the inventory afresh, so that the general pass passes over what the earlier
// steps registered.
InstallStatus ReloadInventory(PassProgress* progress)
{
    g_installedCabCount = 0;
    progress->addedSinceLoad = 0;
    return LoadInstalledCabList() ? OUTCOME_COMPLETED : OUTCOME_INSTALL_ERROR;
}

}  // namespace

InstallOutcome RunInstallationPasses(LPCWSTR moduleDirectory)
{
    PendingCabList pending;
    PassProgress progress = {0, 0};
    InstallStatus status = OUTCOME_COMPLETED;

    memset(&pending, 0, sizeof(pending));
    status = InstallServicePackCab(moduleDirectory, &progress);
    if (status == OUTCOME_COMPLETED) {
        status = RunCabPass(moduleDirectory, PATCH_PATTERN, &pending, &progress);
    }
    if (status == OUTCOME_COMPLETED) {
        status = ReloadInventory(&progress);
    }
    if (status == OUTCOME_COMPLETED) {
        status = RunCabPass(moduleDirectory, CAB_PATTERN, &pending, &progress);
    }
    InstallOutcome outcome = {status, progress.installedThisRun};
    return outcome;
}

int CompareCabNames(const void* first, const void* second)
{
    const WCHAR* a = static_cast<const WCHAR*>(first);
    const WCHAR* b = static_cast<const WCHAR*>(second);

    // Entries are terminated inside their PATH_BUFFER_CHARS units; the bound is a guard.
    for (size_t i = 0; i < PATH_BUFFER_CHARS; ++i) {
        WORD unitA = (WORD)a[i];
        WORD unitB = (WORD)b[i];

        if (unitA != unitB) {
            return unitA < unitB ? -1 : 1;
        }
        if (unitA == 0) {
            return 0;
        }
    }
    return 0;
}
