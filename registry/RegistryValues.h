// Registry value helpers: each call opens (or creates) one key, makes one value call
// and closes the key again. No key handle is cached between calls.
#ifndef KORVA_REGISTRY_REGISTRYVALUES_H
#define KORVA_REGISTRY_REGISTRYVALUES_H

#include "platform/coredll.h"

// The most that any string read offers the platform, whatever the caller's buffer.
const DWORD REG_STRING_MAX_BYTES = 2048;

// Reads a string value into buffer, which holds capacity WCHARs. Offers the platform
// no more than the buffer holds (and no more than REG_STRING_MAX_BYTES); a value that
// does not fit, or that fills the buffer without a terminator, fails. The value's type
// is not examined. On success the buffer is terminated right after the data read.
// Returns 1 on success, 0 when the key or value is missing or unreadable (the buffer
// then holds whatever the platform left in it).
int RegReadString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, WCHAR* buffer, DWORD capacity);

// Reads a value of at most 4 bytes into *value; missing high bytes of a shorter value
// read as 0. *value is written only on success. Returns 1 on success, else 0.
int RegReadDword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* value);

// Stores value as REG_DWORD, creating every missing key along subKey.
// Returns 1 on success, else 0.
int RegWriteDword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD value);

// Reads a value of any type into buffer. On entry *size is the buffer's capacity in
// bytes; on success it becomes the number of bytes read, so that a shorter value can be
// told apart. A larger value fails. *size is written only on success.
// Returns 1 on success, else 0.
int RegReadBinary(HKEY root, LPCWSTR subKey, LPCWSTR valueName, BYTE* buffer, DWORD* size);

// Stores size bytes from data as REG_BINARY, replacing a value of any old type and
// creating every missing key along subKey. Returns 1 on success, else 0.
int RegWriteBinary(HKEY root, LPCWSTR subKey, LPCWSTR valueName, const BYTE* data, DWORD size);

#endif  // KORVA_REGISTRY_REGISTRYVALUES_H
