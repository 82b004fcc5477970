// The notice that a run installed its packages, and the reset that follows it.
#ifndef KORVA_COMPLETION_COMPLETION_H
#define KORVA_COMPLETION_COMPLETION_H

#include "platform/coredll.h"

// The wait between starting the notice and the reset; the notice text names it.
const DWORD RESET_DELAY_MS = 5000;

// Thread routine: shows TextInstallDone in the language of g_languageIndex, topmost and
// without an icon, and ends the thread with exit code 1 once the box is dismissed.
// The parameter is not used. g_languageIndex must no longer change.
DWORD WINAPI CompletionNoticeThread(LPVOID parameter);

// Asks the terminal maker's system driver (device QDV1:) to reset the terminal. Returns
// when the device cannot be opened or the request comes back without a reset.
void ResetDevice(void);

#endif  // KORVA_COMPLETION_COMPLETION_H
