#include "install/CabInstaller.h"

#include "registry/RegistryValues.h"

namespace {

const WCHAR INSTALLER_PATH[] = TEXT("\\Windows\\wceload.exe");
const WCHAR RESET_VALUE[] = TEXT("Reset");
const WCHAR INSTALLER_SETTINGS_KEY[] = TEXT("SOFTWARE\\Apps\\Microsoft Application Installer");
const WCHAR ASK_DESTINATION_VALUE[] = TEXT("fAskDest");

// Any value but 0: the installer's exit code stays a failure unless it can be read.
const DWORD INSTALLER_EXIT_UNKNOWN = 1;

// Writes Reset and then, only when that succeeded, fAskDest. Returns 0 only when Reset
// was written and fAskDest was not.
int WriteInstallerFlags(DWORD value)
{
    if (!RegWriteDword(HKEY_LOCAL_MACHINE, SERVICE_PACK_KEY, RESET_VALUE, value)) {
        return 1;
    }
    return RegWriteDword(HKEY_LOCAL_MACHINE, INSTALLER_SETTINGS_KEY, ASK_DESTINATION_VALUE, value);
}

}  // namespace

int RunCabInstaller(LPCWSTR cabPath)
{
    WCHAR commandLine[PATH_BUFFER_CHARS];
    PROCESS_INFORMATION installer;
    DWORD exitCode = INSTALLER_EXIT_UNKNOWN;

    // The platform's process creation may write into the command line, so it gets a copy.
    if (!CopyWhole(commandLine, PATH_BUFFER_CHARS, cabPath)) {
        return 0;
    }
    if (!WriteInstallerFlags(0)) {
        return 0;
    }
    memset(&installer, 0, sizeof(installer));
    if (!CreateProcessW(INSTALLER_PATH, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &installer)) {
        // Both flags go back to 1, whatever the first write does.
        RegWriteDword(HKEY_LOCAL_MACHINE, SERVICE_PACK_KEY, RESET_VALUE, 1);
        RegWriteDword(HKEY_LOCAL_MACHINE, INSTALLER_SETTINGS_KEY, ASK_DESTINATION_VALUE, 1);
        return 0;
    }
    WaitForSingleObject(installer.hProcess, INFINITE);
    // The primary thread has ended with the process and carries its exit code.
    GetExitCodeThread(installer.hThread, &exitCode);
    CloseHandle(installer.hThread);
    CloseHandle(installer.hProcess);
    if (!WriteInstallerFlags(1)) {
        return 0;
    }
    return exitCode == 0 ? 1 : 0;
}
