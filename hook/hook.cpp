#include "hook.h"
#include "stages.h"

HINSTANCE moduleInstance;

namespace {

const WORD bannerBitmapId = 102;

bool isWindows60(const OSVERSIONINFOA& version)
{
    return version.dwMajorVersion == 6 && version.dwMinorVersion == 0;
}

} // namespace

// Unattended installations skip their post-install launch: started from a window station
// nobody sees, the launcher would run unseen and hold the application's mutex, vetoing every
// later installation. The administrator learns of it from the event log.
PostInstall postInstall()
{
    if (isWindows60(queryVersion()))
        return SkippedOnWindows60;
    if (nobodyCanAnswer()) {
        EventText entry;
        entry.add(L"Quillmarsh2 is installed, but Tovelgate.exe was not started: nobody can "
                  L"see this installation's window station.");
        reportEvent(EVENTLOG_WARNING_TYPE, EventLaunchSkipped, entry.text());
        return SkippedUnseen;
    }
    launchAfterInstall();
    return Launched;
}

OSVERSIONINFOA queryVersion()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    return version;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID)
{
    moduleInstance = instance;
    return TRUE;
}

extern "C" int WINAPI ClearInstallerHook(HookStage stage, void*, void** out)
{
    switch (stage) {
    case HookStageBanner:
        if (out)
            *out = LoadBitmapA(moduleInstance, MAKEINTRESOURCEA(bannerBitmapId));
        return 1;
    case HookStagePreInstall:
        return preInstallCheck() ? 1 : 0;
    case HookStagePostInstall:
        postInstall();
        return 1;
    case 4:
    case 6:
        return 1;
    default:
        return 0;
    }
}
