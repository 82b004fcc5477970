#include "completion/Completion.h"

#include "environment/DeviceProfile.h"
#include "texts/Texts.h"

namespace {

const WCHAR SYSTEM_DRIVER_DEVICE[] = TEXT("QDV1:");
const DWORD NOTICE_THREAD_EXIT_CODE = 1;

}  // namespace

DWORD WINAPI CompletionNoticeThread(LPVOID)
{
    MessageBoxW(NULL, g_texts[TextInstallDone][g_languageIndex], SETUP_NAME, MB_OK | MB_TOPMOST);
    ExitThread(NOTICE_THREAD_EXIT_CODE);
    return NOTICE_THREAD_EXIT_CODE;
}

void ResetDevice(void)
{
    // Access 0: the driver is only sent a control code, nothing is read or written.
    HANDLE device = CreateFileW(SYSTEM_DRIVER_DEVICE, 0, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD bytesReturned = 0;

    if (device == INVALID_HANDLE_VALUE) {
        return;
    }
    // In the ordinary case the terminal resets inside this call.
    DeviceIoControl(device, IOCTL_QDV_RESET, NULL, 0, NULL, 0, &bytesReturned, NULL);
    CloseHandle(device);
}
