// qmhook.dll: the installer hook of Quillmarsh2.
//
// The installer host loads the DLL and calls ClearInstallerHook at each stage of the
// installation. The DLL keeps no state between calls; every call does its work again.
//
//   stage  what the DLL does                                            answer
//   1      loads the banner bitmap (resource 102) into *out             1
//   2      nothing                                                      0
//   3      pre-install checks: administrator account, application       1 = go on,
//          not running; a failed check shows a message box              0 = stop
//   4      nothing                                                      1
//   5      starts the installed launcher (except on Windows 6.0)        1
//   6      nothing                                                      1
//   other  nothing                                                      0
//
// `reserved` is never read. `out` is written only by stage 1, and only when it is not
// null; the bitmap handle then belongs to the host, which frees it with DeleteObject.
// Message boxes are modal: stage 3 returns when the user has pressed OK. Where Quillmarsh2
// runs only in other users' sessions, stage 3 first asks them to close it (the session
// message, waiting at most a minute for each answer). Every veto, and every launch skipped
// because nobody could see it, is written to the Application event log.
//
// A Windows Installer package calls the same checks and launch as custom actions of type 1
// (the DLL in its Binary table): PreInstallCheck before InstallInitialize answers
// ERROR_SUCCESS or ERROR_INSTALL_FAILURE; PostInstallLaunch after InstallFinalize starts
// the launcher after a full-UI installation only and always answers ERROR_SUCCESS.
#ifndef QMHOOK_HOOK_H
#define QMHOOK_HOOK_H

#include <windows.h>

#include <msi.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD HookStage;

enum {
    HookStageBanner = 1,
    HookStagePreInstall = 3,
    HookStagePostInstall = 5
};

// Exported under its plain name "ClearInstallerHook" (no underscore, no @12).
typedef int(WINAPI* ClearInstallerHookFn)(HookStage stage, void* reserved, void** out);
int WINAPI ClearInstallerHook(HookStage stage, void* reserved, void** out);

// Exported under their plain names, as installer packages name them (DllEntry).
UINT WINAPI PreInstallCheck(MSIHANDLE install);
UINT WINAPI PostInstallLaunch(MSIHANDLE install);

#ifdef __cplusplus
}
#endif

#endif
