// The entry point: the whole service-pack installation, once, on the main thread.
#include "calibration/CalibrationRecord.h"
#include "completion/Completion.h"
#include "environment/DeviceProfile.h"
#include "environment/InterferingWindows.h"
#include "environment/StorageLocations.h"
#include "install/CabInventory.h"
#include "platform/coredll.h"
#include "setup/InstallationPasses.h"
#include "setup/VersionMark.h"
#include "texts/Texts.h"

namespace {

// A run that ended without a message box.
const int NO_REPORT = -1;

// Stores the touch calibration when the flash folder holds no record yet and the user
// has just calibrated the panel. Without a flash folder the record is looked for in the
// root. Nothing here stops the run.
void StoreCalibrationIfMissing(void)
{
    WCHAR calibrationPath[PATH_BUFFER_CHARS];

    memset(calibrationPath, 0, sizeof(calibrationPath));
    FindFlashDiskFolder(g_flashFolderName, FLASH_FOLDER_NAME_CHARS);
    // At most 63 + 1 + 13 characters: it always fits.
    // The last unit stays 0: _snwprintf writes no terminator when the text fills its count.
    _snwprintf(calibrationPath, PATH_BUFFER_CHARS - 1, TEXT("%s\\%s"), g_flashFolderName, CALIBRATION_FILE_NAME);
    if (FileExists(calibrationPath)) {
        return;
    }
    if (TouchCalibrate()) {
        SaveTouchCalibration();
    }
}

// Shows the completion notice in its own thread, so that the reset does not wait for
// the user, and resets the terminal once the notice's five seconds have passed.
void NotifyAndReset(void)
{
    DWORD threadId = 0;
    HANDLE notice = CreateThread(NULL, 0, CompletionNoticeThread, NULL, 0, &threadId);

    // The thread runs on without its handle; a notice that failed to start is not missed.
    if (notice != NULL) {
        CloseHandle(notice);
    }
    Sleep(RESET_DELAY_MS);
    ResetDevice();
}

// Runs every step after the single-instance guard. Returns the text pair that ends the
// run with a message box, or NO_REPORT when it ran to its end (after the reset request
// when something was installed).
int RunSetup(void)
{
    WCHAR moduleDirectory[PATH_BUFFER_CHARS];
    InstallOutcome outcome;

    if (!DetectDeviceProfile()) {
        return TextInstallError;
    }
    CloseWelcomeWindow();
    ClosePropertyDialogs();
    StoreCalibrationIfMissing();
    if (!LoadInstalledCabList()) {
        return TextInstallError;
    }
    memset(moduleDirectory, 0, sizeof(moduleDirectory));
    GetModuleDirectory(moduleDirectory, PATH_BUFFER_CHARS);
    outcome = RunInstallationPasses(moduleDirectory);
    if (outcome.status == OUTCOME_INSTALL_ERROR) {
        return TextInstallError;
    }
    if (outcome.status == OUTCOME_LIMIT_REACHED) {
        return outcome.installedThisRun > 0 ? TextTooManyCabsReset : TextTooManyCabs;
    }
    if (outcome.installedThisRun > 0) {
        NotifyAndReset();
    }
    return NO_REPORT;
}

}  // namespace

// Refuses to run beside another copy (returns 0, shows nothing), runs the installation
// and reports its end: 0 after an error or limit message box, 1 when the run reached its
// end. The mutex "Setup" is held for the whole run and released last.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    HANDLE mutex = CreateMutexW(NULL, TRUE, SETUP_NAME);
    int report = NO_REPORT;
    // Storing the mark's address keeps the mark in the binary, where termsim looks for it.
    const char* volatile versionMark = SETUP_VERSION_MARK;

    (void)versionMark;

    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        // The handle opens the other copy's mutex without owning it.
        CloseHandle(mutex);
        return 0;
    }
    report = RunSetup();
    if (report != NO_REPORT) {
        MessageBoxW(NULL, g_texts[report][g_languageIndex], SETUP_NAME, MB_TOPMOST | MB_ICONHAND);
    }
    // A mutex that could not be created leaves nothing to release.
    if (mutex != NULL) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    return report == NO_REPORT ? 1 : 0;
}
