// A program of the terminal that the process tests start, and the scenario tests run
// through termsim. The first word of its command line says what it does; what it sees
// it records under HKLM\ProcessTest.
//
//   record ...            records its command line and module name, exits 7
//   exit CODE             exits with CODE (32 bits)
//   kill                  ends by SIGKILL
//   sleep MS [CODE]       sleeps, then exits with CODE (0)
//   spawn CMDLINE         starts itself with CMDLINE, records ChildPid, exits with its code
//   hold NAME             creates the mutex NAME owned, records NAME = last error, sleeps
//   holdsetup S [CEPATH]  owns the mutex Setup owns (exits 4 when another holds it),
//                         starts CEPATH, waits S seconds, exits 0
//   race NAME             waits for the value Go, creates NAME owned, holds it a second,
//                         exits 1 when it created the mutex, 2 when it existed
//   reset                 resets the terminal through QDV1:; exits 0x10000|error when the
//                         device does not open, 0x20000|result when the call comes back
//   box                   shows a message box, exits 5
//   boxsleep              shows a box in a thread of its own and sleeps 5000 ms meanwhile
//   write CEPATH          creates CEPATH and writes "probe" into it; exits 0 or the error
//   echo TEXT             prints TEXT (UTF-8) and the CE path it was started as, exits 0
#include "platform/coredll.h"
#include "platform/host/Text.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

namespace {

const WCHAR kKey[] = u"ProcessTest";

void RecordText(LPCWSTR name, LPCWSTR text) {
  HKEY key = NULL;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, NULL, 0, 0, NULL, &key, NULL) != ERROR_SUCCESS) return;
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
}

void RecordDword(LPCWSTR name, DWORD value) {
  HKEY key = NULL;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, NULL, 0, 0, NULL, &key, NULL) != ERROR_SUCCESS) return;
  RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(key);
}

bool ValueExists(LPCWSTR name) {
  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, 0, &key) != ERROR_SUCCESS) return false;
  const LONG result = RegQueryValueExW(key, name, NULL, NULL, NULL, NULL);
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// The text after `verb` and one blank when the command line starts with it.
LPCWSTR Argument(LPCWSTR commandLine, LPCWSTR verb) {
  const size_t length = wcslen(verb);
  if (wcsncmp(commandLine, verb, length) != 0) return NULL;
  if (commandLine[length] == 0) return commandLine + length;
  return commandLine[length] == u' ' ? commandLine + length + 1 : NULL;
}

DWORD Number(LPCWSTR text, LPCWSTR* end) {
  DWORD value = 0;
  while (*text >= u'0' && *text <= u'9') value = value * 10 + static_cast<DWORD>(*text++ - u'0');
  while (*text == u' ') ++text;
  if (end) *end = text;
  return value;
}

DWORD WINAPI BoxThread(LPVOID) {
  MessageBoxW(NULL, u"Installation has finished.", u"Setup", MB_OK | MB_TOPMOST);
  ExitThread(1);
  return 0;
}

int Spawn(LPCWSTR commandLine) {
  WCHAR module[MAX_PATH];
  GetModuleFileNameW(NULL, module, MAX_PATH);
  PROCESS_INFORMATION info;
  if (!CreateProcessW(module, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &info)) return 0x10000;
  RecordDword(u"ChildPid", info.dwProcessId);
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(info.hThread, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

int Reset() {
  HANDLE device = CreateFileW(u"QDV1:", 0, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (device == INVALID_HANDLE_VALUE) return static_cast<int>(0x10000 | GetLastError());
  DWORD returned = 0;
  const BOOL result = DeviceIoControl(device, IOCTL_QDV_RESET, NULL, 0, NULL, 0, &returned, NULL);
  CloseHandle(device);
  return 0x20000 | result;
}

int Write(LPCWSTR path) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD written = 0;
  const BOOL ok = WriteFile(file, "probe", 5, &written, NULL);
  const DWORD error = ok ? 0 : GetLastError();
  CloseHandle(file);
  return static_cast<int>(error);
}

int HoldSetupMutex(LPCWSTR argument) {
  HANDLE mutex = CreateMutexW(NULL, TRUE, u"Setup");
  if (mutex == NULL) return static_cast<int>(GetLastError());
  if (GetLastError() == ERROR_ALREADY_EXISTS) return 4;
  LPCWSTR program = NULL;
  const DWORD seconds = Number(argument, &program);
  if (*program != 0) {
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program, NULL, NULL, NULL, FALSE, 0, NULL, NULL, NULL, &started))
      return static_cast<int>(GetLastError());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
  Sleep(seconds * 1000);
  ReleaseMutex(mutex);
  return 0;
}

int Echo(LPCWSTR text) {
  WCHAR module[MAX_PATH];
  module[0] = 0;
  GetModuleFileNameW(NULL, module, MAX_PATH);
  printf("[%s] [%s]\n", host::ToUtf8(text).c_str(), host::ToUtf8(module).c_str());
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int) {
  LPCWSTR argument = NULL;
  if ((argument = Argument(lpCmdLine, u"record")) != NULL) {
    WCHAR module[MAX_PATH];
    module[0] = 0;
    GetModuleFileNameW(NULL, module, MAX_PATH);
    RecordText(u"CmdLine", lpCmdLine);
    RecordText(u"Module", module);
    return 7;
  }
  if ((argument = Argument(lpCmdLine, u"exit")) != NULL) return static_cast<int>(Number(argument, NULL));
  if (Argument(lpCmdLine, u"kill") != NULL) ::kill(::getpid(), SIGKILL);
  if ((argument = Argument(lpCmdLine, u"sleep")) != NULL) {
    const DWORD ms = Number(argument, &argument);
    Sleep(ms);
    return static_cast<int>(Number(argument, NULL));
  }
  if ((argument = Argument(lpCmdLine, u"spawn")) != NULL) return Spawn(argument);
  if ((argument = Argument(lpCmdLine, u"holdsetup")) != NULL) return HoldSetupMutex(argument);
  if ((argument = Argument(lpCmdLine, u"hold")) != NULL) {
    CreateMutexW(NULL, TRUE, argument);
    RecordDword(argument, GetLastError());
    for (;;) Sleep(100000);
  }
  if ((argument = Argument(lpCmdLine, u"race")) != NULL) {
    while (!ValueExists(u"Go")) Sleep(1);
    HANDLE mutex = CreateMutexW(NULL, TRUE, argument);
    const DWORD error = GetLastError();
    Sleep(1000);
    if (mutex) CloseHandle(mutex);
    return error == ERROR_SUCCESS ? 1 : error == ERROR_ALREADY_EXISTS ? 2 : 3;
  }
  if (Argument(lpCmdLine, u"reset") != NULL) return Reset();
  if (Argument(lpCmdLine, u"box") != NULL) {
    MessageBoxW(NULL, u"Waiting", u"Setup", MB_OK);
    return 5;
  }
  if (Argument(lpCmdLine, u"boxsleep") != NULL) {
    DWORD id = 0;
    CreateThread(NULL, 0, BoxThread, NULL, 0, &id);
    Sleep(5000);
    return 0;
  }
  if ((argument = Argument(lpCmdLine, u"write")) != NULL) return Write(argument);
  if ((argument = Argument(lpCmdLine, u"echo")) != NULL) return Echo(argument);
  fprintf(stderr, "probe: unknown command line\n");
  return 99;
}
