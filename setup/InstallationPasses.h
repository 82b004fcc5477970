// Which CABs of the start folder are installed, in which order, and where the run stops
// so that no more than MAX_CABS installations stand registered.
#ifndef KORVA_SETUP_INSTALLATIONPASSES_H
#define KORVA_SETUP_INSTALLATIONPASSES_H

#include "install/CabInstaller.h"
#include "install/CabInventory.h"
#include "platform/coredll.h"

enum InstallStatus {
    OUTCOME_COMPLETED,      // every step ran to its end
    OUTCOME_INSTALL_ERROR,  // an installation or the reload of the inventory failed
    OUTCOME_LIMIT_REACHED   // a CAB was refused because of the limit
};

struct InstallOutcome {
    InstallStatus status;
    int installedThisRun;  // successful installations in this run, in every step
};

// The full paths admitted by one pass; entries below count are valid.
struct PendingCabList {
    WCHAR entries[MAX_CABS][PATH_BUFFER_CHARS];
    int count;
};

// Installs, from moduleDirectory (no trailing backslash; empty for the root): the
// detected model's service-pack CAB when it is not registered or its last-write time
// differs from the stored DateTime; then every Patch*.cab; then, after reloading the
// inventory, every other *.cab. Each pass is sorted, skips registered CABs and the
// service-pack name, and stops at the first CAB that would pass MAX_CABS. Writes
// DateTime after installing the service pack. The caller must have loaded the inventory.
InstallOutcome RunInstallationPasses(LPCWSTR moduleDirectory);

// qsort ordering of two PendingCabList entries: plain unsigned code-unit order, no case
// folding, a prefix before the longer string. Returns -1, 0 or 1.
int CompareCabNames(const void* first, const void* second);

#endif  // KORVA_SETUP_INSTALLATIONPASSES_H
