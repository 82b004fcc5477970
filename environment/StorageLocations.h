// Where things are on the terminal: the flash-disk folder, the start folder of Setup,
// and whether a file exists.
#ifndef KORVA_ENVIRONMENT_STORAGELOCATIONS_H
#define KORVA_ENVIRONMENT_STORAGELOCATIONS_H

#include "platform/coredll.h"

// The bare name of the flash-disk folder in the root, terminator included.
const size_t FLASH_FOLDER_NAME_CHARS = 64;
// A full path and its terminator.
const size_t PATH_BUFFER_CHARS = MAX_PATH + 1;

// Copies source with its terminator into target when it fits into capacity WCHARs and
// returns 1; else copies nothing and returns 0.
int CopyWhole(WCHAR* target, size_t capacity, const WCHAR* source);

// Empty until FindFlashDiskFolder has found the folder.
extern WCHAR g_flashFolderName[FLASH_FOLDER_NAME_CHARS];

// Copies into name (capacity WCHARs) the whole name of the first folder of the root that
// the platform lists as a mounted volume (directory and temporary attributes) and whose
// name begins with "FlashDisk" (case-sensitive). A name that does not fit is passed
// over. Returns non-zero when name holds a non-empty string afterwards; when no entry
// qualifies, name keeps what the caller put in it.
int FindFlashDiskFolder(WCHAR* name, size_t capacity);

// Returns 1 when a search for path finds an entry (a folder, or any match of a
// wildcard, counts), 0 otherwise.
int FileExists(LPCWSTR path);

// Appends to directory (capacity WCHARs, terminated on entry) the folder of the running
// executable, as AppendPathFolder does with its path. Returns what AppendPathFolder
// returns: 1, or 0 only when the folder would not fit (never with an empty buffer of
// PATH_BUFFER_CHARS).
int GetModuleDirectory(WCHAR* directory, size_t capacity);

// Appends to directory (capacity WCHARs, terminated on entry) every character of path
// before its last backslash, so a path in the root, or one without a backslash, appends
// nothing. Returns 1; 0 when the folder would not fit behind what directory holds,
// which is then left unchanged.
int AppendPathFolder(WCHAR* directory, size_t capacity, LPCWSTR path);

#endif  // KORVA_ENVIRONMENT_STORAGELOCATIONS_H
