#include "environment/InterferingWindows.h"

#include "environment/DeviceProfile.h"
#include "platform/coredll.h"
#include "texts/Texts.h"

namespace {

const WCHAR WELCOME_CLASS[] = TEXT("WELCOME");
const WCHAR DIALOG_CLASS[] = TEXT("Dialog");

// Posting to a NULL window would reach this thread's own queue, so nothing is posted
// when no window was found.
void PostToWindow(HWND window, UINT message)
{
    if (window != NULL) {
        PostMessageW(window, message, 0, 0);
    }
}

// The process that owns the welcome window, or 0 when there is none.
DWORD FindWelcomeProcess(void)
{
    DWORD processId = 0;
    HWND window = FindWindowW(WELCOME_CLASS, NULL);

    if (window != NULL) {
        GetWindowThreadProcessId(window, &processId);
    }
    return processId;
}

}  // namespace

int CloseWelcomeWindow(void)
{
    DWORD processId = FindWelcomeProcess();
    HANDLE process = NULL;

    if (processId == 0) {
        // The window may still exist with an owner that cannot be learned.
        PostToWindow(FindWindowW(WELCOME_CLASS, NULL), WM_DESTROY);
        return 1;
    }
    process = OpenProcess(PROCESS_SET_INFORMATION, FALSE, processId);
    if (process == NULL) {
        return 1;
    }
    // The window is searched anew: the first one may have gone meanwhile.
    PostToWindow(FindWindowW(WELCOME_CLASS, NULL), WM_DESTROY);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
    return 1;
}

void ClosePropertyDialogs(void)
{
    PostToWindow(FindWindowW(DIALOG_CLASS, g_texts[TextOwnerTitle][g_languageIndex]), WM_CLOSE);
    PostToWindow(FindWindowW(DIALOG_CLASS, g_texts[TextDateTimeTitle][g_languageIndex]), WM_CLOSE);
}
