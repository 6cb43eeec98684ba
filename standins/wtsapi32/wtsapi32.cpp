// A WTSAPI32 of our own: Wine's WTSEnumerateSessions lists no session at all. Installed as
// wtsapi32.dll in a Wine prefix's system directory and chosen with
// WINEDLLOVERRIDES=wtsapi32=n. It lists the sessions named in QMDOUBLE_SESSIONS, a list of
// numbers separated by commas ("0,1,4"), read at every call; none when it is not set.
#include <windows.h>

#include <wtsapi32.h>

#include <cstdlib>
#include <cstring>

extern "C" {

__declspec(dllexport) BOOL WINAPI WTSEnumerateSessionsA(HANDLE, DWORD, DWORD version,
                                                        PWTS_SESSION_INFOA* sessions,
                                                        DWORD* count)
{
    if (version != 1 || !sessions || !count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char list[256] = "";
    GetEnvironmentVariableA("QMDOUBLE_SESSIONS", list, sizeof list);
    const int most = 32;
    auto* info = static_cast<PWTS_SESSION_INFOA>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, most * sizeof(WTS_SESSION_INFOA)));
    if (!info)
        return FALSE;
    DWORD listed = 0;
    for (char* item = std::strtok(list, ","); item && listed < most;
         item = std::strtok(nullptr, ","), ++listed) {
        info[listed].SessionId = std::strtoul(item, nullptr, 10);
        info[listed].pWinStationName = const_cast<char*>(listed ? "RDP-Tcp" : "Console");
        info[listed].State = WTSActive;
    }
    *sessions = info;
    *count = listed;
    return TRUE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory)
{
    HeapFree(GetProcessHeap(), 0, memory);
}

} // extern "C"
