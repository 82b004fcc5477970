// CE's CreateProcessW takes no start-up information, so Setup passes none; desktop
// Windows reads the structure and faults on a null pointer. The program's calls go
// through the import pointer __imp_CreateProcessW: this file defines that pointer, so
// the linker takes it before the platform's import library, and the program's source
// stays as CE wants it. The platform's own function is looked up at the first call.
#include "platform/coredll.h"

namespace {

typedef BOOL(WINAPI* CreateProcessFunction)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                            DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

CreateProcessFunction g_platformCreateProcess = NULL;

CreateProcessFunction PlatformCreateProcess(void)
{
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC function = kernel != NULL ? GetProcAddress(kernel, "CreateProcessW") : NULL;

    // Through the generic function type, which the compiler accepts in a cast.
    return reinterpret_cast<CreateProcessFunction>(reinterpret_cast<void (*)(void)>(function));
}

// CreateProcessW with a zeroed STARTUPINFOW, its size set, where the caller gave none.
BOOL WINAPI CreateProcessWithStartupInfo(LPCWSTR imageName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                                         LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                                         LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                         LPPROCESS_INFORMATION processInformation)
{
    STARTUPINFOW zeroedStartupInfo;

    // Set at the first call; no guarded static, which would bring in the C++ runtime.
    if (g_platformCreateProcess == NULL) {
        g_platformCreateProcess = PlatformCreateProcess();
    }
    if (g_platformCreateProcess == NULL) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    if (startupInfo == NULL) {
        memset(&zeroedStartupInfo, 0, sizeof(zeroedStartupInfo));
        zeroedStartupInfo.cb = sizeof(zeroedStartupInfo);
        startupInfo = &zeroedStartupInfo;
    }
    return g_platformCreateProcess(imageName, commandLine, processAttributes, threadAttributes, inheritHandles,
                                 creationFlags, environment, currentDirectory, startupInfo, processInformation);
}

}  // namespace

extern "C" {
CreateProcessFunction __imp_CreateProcessW = CreateProcessWithStartupInfo;
}
