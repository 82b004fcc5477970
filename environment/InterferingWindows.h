// Closing the windows of other programs that must not run while packages are installed.
#ifndef KORVA_ENVIRONMENT_INTERFERINGWINDOWS_H
#define KORVA_ENVIRONMENT_INTERFERINGWINDOWS_H

// Ends the welcome application: sends WM_DESTROY to its "WELCOME" window and, when its
// process can be opened, waits without a time-out until that process has ended. A
// process that cannot be opened leaves the window alone. Always returns 1.
int CloseWelcomeWindow(void);

// Posts WM_CLOSE to the owner-information and then the date/time property dialog,
// searched by their titles in the language of g_languageIndex; does not wait for them.
// The caller must have run DetectDeviceProfile.
void ClosePropertyDialogs(void);

#endif  // KORVA_ENVIRONMENT_INTERFERINGWINDOWS_H
