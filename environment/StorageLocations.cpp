#include "environment/StorageLocations.h"

namespace {

const WCHAR ROOT_PATTERN[] = TEXT("\\*.*");
const WCHAR FLASH_FOLDER_PREFIX[] = TEXT("FlashDisk");
const size_t FLASH_FOLDER_PREFIX_CHARS = 9;
// The platform lists a mounted storage volume in the root with both of these.
const DWORD MOUNTED_VOLUME_ATTRIBUTES = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

int IsFlashDiskVolume(const WIN32_FIND_DATAW* entry)
{
    return (entry->dwFileAttributes & MOUNTED_VOLUME_ATTRIBUTES) == MOUNTED_VOLUME_ATTRIBUTES &&
           wcsncmp(entry->cFileName, FLASH_FOLDER_PREFIX, FLASH_FOLDER_PREFIX_CHARS) == 0;
}

}  // namespace

int CopyWhole(WCHAR* target, size_t capacity, const WCHAR* source)
{
    size_t length = wcslen(source);

    if (length >= capacity) {
        return 0;
    }
    memcpy(target, source, (length + 1) * sizeof(WCHAR));
    return 1;
}

WCHAR g_flashFolderName[FLASH_FOLDER_NAME_CHARS];

int FindFlashDiskFolder(WCHAR* name, size_t capacity)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(ROOT_PATTERN, &entry);

    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (IsFlashDiskVolume(&entry) && CopyWhole(name, capacity, entry.cFileName)) {
                break;
            }
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    return capacity > 0 && name[0] != 0;
}

int FileExists(LPCWSTR path)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);

    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    FindClose(search);
    return 1;
}

int GetModuleDirectory(WCHAR* directory, size_t capacity)
{
    // One unit more than the platform may fill, so a path it cut off without a
    // terminator still ends inside the buffer.
    WCHAR modulePath[PATH_BUFFER_CHARS];

    memset(modulePath, 0, sizeof(modulePath));
    GetModuleFileNameW(NULL, modulePath, MAX_PATH);
    return AppendPathFolder(directory, capacity, modulePath);
}

int AppendPathFolder(WCHAR* directory, size_t capacity, LPCWSTR path)
{
    size_t existing = wcslen(directory);
    size_t cut = 0;

    for (size_t i = 0; path[i] != 0; ++i) {
        if (path[i] == '\\') {
            cut = i;
        }
    }
    if (existing + cut >= capacity) {
        return 0;
    }
    memcpy(directory + existing, path, cut * sizeof(WCHAR));
    directory[existing + cut] = 0;
    return 1;
}
