#include "stages.h"

#include <lm.h>
#include <oleauto.h>

namespace {

const char applicationMutex[] = "VantorelAppMutex";
const char notAdministratorText[] =
    "Quillmarsh2 must be installed using an account with administrative access.";
const char applicationRunningText[] =
    "Quillmarsh2 is currently running. Please close Quillmarsh2 before installing.";

typedef NET_API_STATUS(WINAPI* NetUserGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetApiBufferFreeFn)(LPVOID);

void showError(const char* text)
{
    MessageBoxA(nullptr, text, "Error", MB_OK);
}

// Loads NETAPI32 from the system directory only. An installer runs elevated, often from a
// download folder; a NETAPI32.dll planted there must never be loaded by the search path.
// NETAPI32 stays loaded once loaded.
HMODULE loadSystemNetapi()
{
    const char name[] = "\\NETAPI32.DLL";
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof name > MAX_PATH)
        return nullptr;
    lstrcpyA(path + length, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The account name as an OLE string, or null when it cannot be had. The caller frees it.
BSTR currentUserName()
{
    char name[128];
    DWORD capacity = sizeof name;
    if (!GetUserNameA(name, &capacity))
        return nullptr;
    int units = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (units <= 0)
        return nullptr;
    BSTR wide = SysAllocStringLen(nullptr, units - 1);
    if (!wide)
        return nullptr;
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, units) != units) {
        SysFreeString(wide);
        return nullptr;
    }
    return wide;
}

// A mutex that refuses this account full access exists all the same: typically the user of
// the session started the application and an administrator runs the installer elevated.
// Any other failure (no such name, another kind of object under it) means not running.
bool applicationIsRunning()
{
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, applicationMutex);
    if (!mutex)
        return GetLastError() == ERROR_ACCESS_DENIED;
    // Holding the handle would keep the mutex alive after the application ends.
    CloseHandle(mutex);
    return true;
}

} // namespace

bool userIsAdministrator()
{
    if (queryVersion().dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return true;

    HMODULE netapi = loadSystemNetapi();
    if (!netapi)
        return true;
    auto getInfo = reinterpret_cast<NetUserGetInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetUserGetInfo")));
    auto freeBuffer = reinterpret_cast<NetApiBufferFreeFn>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetApiBufferFree")));
    // Without NetApiBufferFree a returned record could not be released: do not ask.
    if (!getInfo || !freeBuffer)
        return true;

    BSTR name = currentUserName();
    if (!name)
        return true;

    LPBYTE record = nullptr;
    NET_API_STATUS status = getInfo(nullptr, name, 1, &record);
    SysFreeString(name);
    if (status != NERR_Success || !record) {
        if (record)
            freeBuffer(record);
        return true;
    }
    DWORD privilege = reinterpret_cast<USER_INFO_1*>(record)->usri1_priv;
    freeBuffer(record);
    return privilege == USER_PRIV_ADMIN;
}

bool preInstallCheck()
{
    if (!userIsAdministrator()) {
        showError(notAdministratorText);
        return false;
    }
    if (applicationIsRunning()) {
        showError(applicationRunningText);
        return false;
    }
    return true;
}
