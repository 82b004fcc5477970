// The CAB files that the applications now installed on the terminal came from.
#ifndef KORVA_INSTALL_CABINVENTORY_H
#define KORVA_INSTALL_CABINVENTORY_H

#include "platform/coredll.h"

// The most CAB installations that may stand registered at once, and the slots of the
// inventory.
const int MAX_CABS = 30;
// One registered CAB path and its terminator.
const DWORD INSTALLED_CAB_CHARS = 256;

// Entry k holds the CabFile string of the k-th installed application, for k below
// both g_installedCabCount and MAX_CABS.
extern WCHAR g_installedCabs[MAX_CABS][INSTALLED_CAB_CHARS];
// The number of installed applications found, which may exceed MAX_CABS: it counts
// every one of them, while only the first MAX_CABS are stored.
extern int g_installedCabCount;

// Walks the subkeys of SOFTWARE\Apps and, for each whose Instl is non-zero and whose
// CabFile fits a slot, appends CabFile at g_installedCabCount and raises the count.
// Appends: a caller that wants a fresh list sets g_installedCabCount to 0 first.
// Returns 1 when every subkey was enumerated; 0 when the key cannot be opened, its
// subkeys cannot be counted or the enumeration fails (entries appended before stay).
int LoadInstalledCabList(void);

#endif  // KORVA_INSTALL_CABINVENTORY_H
