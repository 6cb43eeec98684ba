// The work behind the stage codes, shared by the files of hook/.
#ifndef QMHOOK_STAGES_H
#define QMHOOK_STAGES_H

#include <windows.h>

extern HINSTANCE moduleInstance;

// The platform version record, zero-filled first so that a failed query reads as zeros.
OSVERSIONINFOA queryVersion();

// True when the installation may go on; shows the reason in a message box otherwise.
bool preInstallCheck();

// True when the account is an administrator, or when its privilege cannot be learnt.
bool userIsAdministrator();

// Starts the installed launcher; silent about every failure.
void launchAfterInstall();

#endif
