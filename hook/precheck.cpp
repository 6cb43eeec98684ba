#include "stages.h"

#include "registry/lookup.h"

#include <lm.h>
#include <wtsapi32.h>

namespace {

const char applicationMutex[] = "VantorelAppMutex";
// A name nobody holds, asked for in a namespace that refused the application's mutex.
const char unheldMutex[] = "qmhook-namespace-probe";
const char notAdministratorText[] =
    "Quillmarsh2 must be installed using an account with administrative access.";
const char applicationRunningText[] =
    "Quillmarsh2 is currently running. Please close Quillmarsh2 before installing.";

typedef NET_API_STATUS(WINAPI* NetUserGetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
typedef NET_API_STATUS(WINAPI* NetApiBufferFreeFn)(LPVOID);
typedef BOOL(WINAPI* GetUserNameWFn)(LPWSTR, LPDWORD);
typedef BOOL(WINAPI* WTSEnumerateSessionsAFn)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOA*, DWORD*);
typedef void(WINAPI* WTSFreeMemoryFn)(PVOID);
typedef BOOL(WINAPI* ProcessIdToSessionIdFn)(DWORD, DWORD*);

// Where nobody can press OK, the box would wait for good: the text goes to the debug output,
// where deployment tools look, and the answer is the one the box would have led to.
void showError(const char* text)
{
    if (nobodyCanAnswer()) {
        char line[160]; // the longest text is 78 characters
        wsprintfA(line, "qmhook: %s\n", text);
        OutputDebugStringA(line);
        return;
    }
    MessageBoxA(nullptr, text, "Error", MB_OK);
}

// Loads a DLL from the system directory only. An installer runs elevated, often from a
// download folder; a copy planted there must never be loaded by the search path.
HMODULE loadSystemLibrary(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenA(name) + 1 > MAX_PATH)
        return nullptr;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The account's name as the platform keeps it, in UTF-16: read through the ANSI call, a
// name outside the code page turns into question marks, which no account is called.
bool currentUserName(WCHAR (&name)[UNLEN + 1])
{
    auto getUserName = Tarn::lookUp<GetUserNameWFn>("advapi32.dll", "GetUserNameW");
    DWORD capacity = UNLEN + 1;
    return getUserName && getUserName(name, &capacity);
}

// Whether the application's mutex exists in the namespace that prefix names: "" the
// installer's own session, "Global\" session 0, "Session\<id>\" another session. A mutex
// that refuses this account full access exists all the same: typically the user of the
// session started the application and an administrator runs the installer elevated. A
// namespace that refuses this account is no evidence: a name nobody holds tells the two
// refusals apart. Any other failure (no such name, another kind of object under it) means
// not running.
bool heldIn(const char* prefix)
{
    char name[64]; // prefixes are at most "Session\4294967295\"
    wsprintfA(name, "%s%s", prefix, applicationMutex);
    HANDLE mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
    if (mutex) {
        // Holding the handle would keep the mutex alive after the application ends.
        CloseHandle(mutex);
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    if (!*prefix)
        return true;
    wsprintfA(name, "%s%s", prefix, unheldMutex);
    HANDLE probe = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (probe)
        CloseHandle(probe);
    return probe || GetLastError() != ERROR_ACCESS_DENIED;
}

// The other sessions' namespaces, from the platform's list of sessions where it has one;
// session 0 and the installer's own are asked about by the caller.
bool heldInListedSessions()
{
    DWORD own = ~0u;
    auto sessionOf = Tarn::lookUp<ProcessIdToSessionIdFn>("kernel32.dll", "ProcessIdToSessionId");
    if (sessionOf && !sessionOf(GetCurrentProcessId(), &own))
        own = ~0u;
    HMODULE wts = loadSystemLibrary("WTSAPI32.DLL");
    if (!wts)
        return false;
    auto enumerate = Tarn::procedure<WTSEnumerateSessionsAFn>(wts, "WTSEnumerateSessionsA");
    auto freeMemory = Tarn::procedure<WTSFreeMemoryFn>(wts, "WTSFreeMemory");
    PWTS_SESSION_INFOA sessions = nullptr;
    DWORD count = 0;
    bool held = false;
    if (enumerate && freeMemory &&
        enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count) && sessions) {
        for (DWORD i = 0; i < count && !held; ++i) {
            DWORD id = sessions[i].SessionId;
            if (id == 0 || id == own)
                continue;
            char prefix[32];
            wsprintfA(prefix, "Session\\%lu\\", id);
            held = heldIn(prefix);
        }
        freeMemory(sessions);
    }
    FreeLibrary(wts);
    return held;
}

// Quillmarsh2 may run in another session than the installer: the user's own while a
// deployment service runs the installer in session 0, or session 0's while the installer
// runs in a user's session. The 9x family has one namespace.
bool applicationIsRunning()
{
    if (heldIn(""))
        return true;
    if (!Tarn::isNtFamily())
        return false;
    return heldIn("Global\\") || heldInListedSessions();
}

} // namespace

bool userIsAdministrator()
{
    if (queryVersion().dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return true;

    // NETAPI32 stays loaded once loaded.
    HMODULE netapi = loadSystemLibrary("NETAPI32.DLL");
    if (!netapi)
        return true;
    auto getInfo = Tarn::procedure<NetUserGetInfoFn>(netapi, "NetUserGetInfo");
    auto freeBuffer = Tarn::procedure<NetApiBufferFreeFn>(netapi, "NetApiBufferFree");
    // Without NetApiBufferFree a returned record could not be released: do not ask.
    if (!getInfo || !freeBuffer)
        return true;

    WCHAR name[UNLEN + 1];
    if (!currentUserName(name))
        return true;

    LPBYTE record = nullptr;
    NET_API_STATUS status = getInfo(nullptr, name, 1, &record);
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

// The 9x family has no window stations: someone is at the screen.
bool nobodyCanAnswer()
{
    typedef HWINSTA(WINAPI * GetStationFn)();
    typedef BOOL(WINAPI * GetInformationFn)(HANDLE, int, PVOID, DWORD, LPDWORD);
    if (!Tarn::isNtFamily())
        return false;
    auto station = Tarn::lookUp<GetStationFn>("user32.dll", "GetProcessWindowStation");
    auto information =
        Tarn::lookUp<GetInformationFn>("user32.dll", "GetUserObjectInformationA");
    HWINSTA handle = station ? station() : nullptr;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    return handle && information &&
           information(handle, UOI_FLAGS, &flags, sizeof flags, &needed) &&
           !(flags.dwFlags & WSF_VISIBLE);
}
