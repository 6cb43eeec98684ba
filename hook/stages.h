// The work behind the stage codes, shared by the files of hook/.
#ifndef QMHOOK_STAGES_H
#define QMHOOK_STAGES_H

#include <windows.h>

extern HINSTANCE moduleInstance;

// The platform version record, zero-filled first so that a failed query reads as zeros.
OSVERSIONINFOA queryVersion();

// True when the installation may go on; otherwise tells the reason: in a message box, or in
// the debug output where nobody can answer one.
bool preInstallCheck();

// True when the account is an administrator, or when its privilege cannot be learnt.
bool userIsAdministrator();

// Whether nobody can answer a message box or see a program start: the process's window
// station is not visible, as where a deployment service runs the installer in session 0.
bool nobodyCanAnswer();

// Starts the installed launcher; silent about every failure.
void launchAfterInstall();

#endif
