// Installing one CAB package through the platform's CAB installer.
#ifndef KORVA_INSTALL_CABINSTALLER_H
#define KORVA_INSTALL_CABINSTALLER_H

#include "environment/StorageLocations.h"
#include "platform/coredll.h"

// The terminal maker's service-pack key: Reset here, and the service pack's DateTime.
const WCHAR SERVICE_PACK_KEY[] = TEXT("SOFTWARE\\KORVA\\Service Pack");

// Runs \Windows\wceload.exe with cabPath as its whole command line and waits, without a
// time-out, until it has ended. Reset (service-pack key) and fAskDest (the installer's
// key) are 0 while it runs and 1 afterwards; when Reset = 0 was written but fAskDest = 0
// was not, the installer is not started and Reset stays 0.
// Returns 1 when the installer ended with exit code 0 and the flags were restored as
// far as the rules allow; 0 otherwise. A cabPath of PATH_BUFFER_CHARS units or more fails
// before anything is written.
int RunCabInstaller(LPCWSTR cabPath);

#endif  // KORVA_INSTALL_CABINSTALLER_H
