// The Windows Installer custom actions (type 1: the DLL in the package's Binary table):
// PreInstallCheck runs stage 3's checks before InstallInitialize, PostInstallLaunch stage 5's
// launch after InstallFinalize. Each reads what it needs from the engine, logs what it
// decided, and leaves the work to the stage's own code. msi.dll's functions are looked up
// when a custom action runs: a host that never calls these never loads msi.dll.
#include "hook.h"
#include "stages.h"

#include "registry/lookup.h"

#include <msiquery.h>

namespace {

// The installation's engine, as a custom action reaches it through its handle.
class Engine {
public:
    explicit Engine(MSIHANDLE install)
        : install(install), module(Tarn::loadSystemLibrary("MSI.DLL"))
    {
        createRecord = Tarn::procedure<CreateRecordFn>(module, "MsiCreateRecord");
        setString = Tarn::procedure<SetStringFn>(module, "MsiRecordSetStringW");
        processMessage = Tarn::procedure<ProcessMessageFn>(module, "MsiProcessMessage");
        getProperty = Tarn::procedure<GetPropertyFn>(module, "MsiGetPropertyW");
        closeHandle = Tarn::procedure<CloseHandleFn>(module, "MsiCloseHandle");
    }
    ~Engine()
    {
        if (module)
            FreeLibrary(module);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool found() const
    {
        return createRecord && setString && processMessage && getProperty && closeHandle;
    }

    // INSTALLMESSAGE_ERROR | MB_OK: a box at full or basic UI, a line of the log at /qn, and
    // in the log always. INSTALLMESSAGE_INFO: the log alone.
    void message(int type, const wchar_t* text) const
    {
        MSIHANDLE record = createRecord(1);
        if (!record)
            return;
        setString(record, 0, L"[1]");
        setString(record, 1, text);
        processMessage(install, static_cast<INSTALLMESSAGE>(type), record);
        closeHandle(record);
    }
    void log(const char* text) const
    {
        wchar_t wide[256];
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 256);
        message(INSTALLMESSAGE_INFO, wide);
    }

    // The UI level: 2 for /qn, 3 basic, 4 reduced, 5 full; 0 when it cannot be read.
    int uiLevel() const
    {
        wchar_t value[16] = L"";
        DWORD length = 16;
        if (getProperty(install, L"UILevel", value, &length) != ERROR_SUCCESS)
            return 0;
        int level = 0;
        for (const wchar_t* digit = value; *digit >= L'0' && *digit <= L'9'; ++digit)
            level = level * 10 + (*digit - L'0');
        return level;
    }

private:
    typedef MSIHANDLE(WINAPI* CreateRecordFn)(UINT);
    typedef UINT(WINAPI* SetStringFn)(MSIHANDLE, UINT, LPCWSTR);
    typedef int(WINAPI* ProcessMessageFn)(MSIHANDLE, INSTALLMESSAGE, MSIHANDLE);
    typedef UINT(WINAPI* GetPropertyFn)(MSIHANDLE, LPCWSTR, LPWSTR, DWORD*);
    typedef UINT(WINAPI* CloseHandleFn)(MSIHANDLE);

    MSIHANDLE install;
    HMODULE module;
    CreateRecordFn createRecord = nullptr;
    SetStringFn setString = nullptr;
    ProcessMessageFn processMessage = nullptr;
    GetPropertyFn getProperty = nullptr;
    CloseHandleFn closeHandle = nullptr;
};

// Stage 3's message through the engine, which shows it or only logs it by the UI level.
// Where nobody could answer a box, it goes to the log and the debug output alone.
void showThroughEngine(const char* text, void* context)
{
    const Engine& engine = *static_cast<const Engine*>(context);
    wchar_t wide[160]; // the longest text is 78 characters
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 160);
    if (nobodyCanAnswer()) {
        engine.message(INSTALLMESSAGE_INFO, wide);
        showErrorBox(text, nullptr);
        return;
    }
    engine.message(INSTALLMESSAGE_ERROR | MB_OK, wide);
}

} // namespace

extern "C" UINT WINAPI PreInstallCheck(MSIHANDLE install)
{
    Engine engine(install);
    if (!engine.found())
        return preInstallCheck() ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    if (!preInstallCheck(showThroughEngine, &engine)) {
        engine.log("qmhook PreInstallCheck: the installation stops (1603).");
        return ERROR_INSTALL_FAILURE;
    }
    engine.log("qmhook PreInstallCheck: the checks passed; the installation goes on.");
    return ERROR_SUCCESS;
}

// Packages start their application from their finishing dialog: only after a full-UI
// installation, never after a quiet or basic one.
extern "C" UINT WINAPI PostInstallLaunch(MSIHANDLE install)
{
    Engine engine(install);
    if (!engine.found())
        return ERROR_SUCCESS;
    int level = engine.uiLevel();
    if ((level & 7) != INSTALLUILEVEL_FULL) {
        char line[128];
        wsprintfA(line, "qmhook PostInstallLaunch: UILevel %d, not a full-UI installation: "
                        "Tovelgate.exe is not started.", level);
        engine.log(line);
        return ERROR_SUCCESS;
    }
    switch (postInstall()) {
    case SkippedOnWindows60:
        engine.log("qmhook PostInstallLaunch: Windows 6.0: Tovelgate.exe is not started.");
        break;
    case SkippedUnseen:
        engine.log("qmhook PostInstallLaunch: nobody can see this window station: "
                   "Tovelgate.exe is not started.");
        break;
    case Launched:
        engine.log("qmhook PostInstallLaunch: starting Tovelgate.exe from Install Path.");
        break;
    }
    return ERROR_SUCCESS;
}
