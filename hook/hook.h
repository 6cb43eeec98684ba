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
// Message boxes are modal: stage 3 returns when the user has pressed OK.
#ifndef QMHOOK_HOOK_H
#define QMHOOK_HOOK_H

#include <windows.h>

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

#ifdef __cplusplus
}
#endif

#endif
