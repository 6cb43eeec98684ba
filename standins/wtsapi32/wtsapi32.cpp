// A WTSAPI32 of our own: Wine's lists no session at all, and its session message is a stub
// that fails. Installed as wtsapi32.dll in a Wine prefix's system directory and chosen with
// WINEDLLOVERRIDES=wtsapi32=n. Its environment, read at every call:
//   QMDOUBLE_SESSIONS     the sessions it lists, numbers separated by commas ("0,1,4")
//   QMDOUBLE_ANSWERS      how the users answer the session message, one word per message
//                         in turn, separated by commas; each message takes its word off:
//                         retry (Retry, Quillmarsh2 left open), close (the user closes
//                         Quillmarsh2, then presses Retry), cancel, none (no answer in time),
//                         ok (an answer the box never offers), fail (the message cannot be
//                         sent); no word left: cancel
//   QMDOUBLE_CLOSE_EVENT  the event that tells the application stand-in to end ("close")
//   QMDOUBLE_ASK_LOG      a file that gets one UTF-8 line per message: 'session 2: "Error"
//                         "<text>" style 5, 60 s, wait 1: Retry' (or: closes Quillmarsh2,
//                         then Retry; Cancel; no answer in time; not delivered)
// A listed session's account is QMDOMAIN\user<id>; session 0 has none.
#include <windows.h>

#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// Plain C calls only: C++ strings would link the thread layer, which loses two handles at
// every load and unload of this DLL, and the DLL under test loads WTSAPI32 at every check.
namespace {

bool listed(DWORD session)
{
    char list[256] = "";
    GetEnvironmentVariableA("QMDOUBLE_SESSIONS", list, sizeof list);
    for (char* item = std::strtok(list, ","); item; item = std::strtok(nullptr, ","))
        if (std::strtoul(item, nullptr, 10) == session)
            return true;
    return false;
}

// The next word of QMDOUBLE_ANSWERS, taken off the list; "cancel" when none is left.
void nextAnswer(char (&word)[32])
{
    char list[256] = "";
    GetEnvironmentVariableA("QMDOUBLE_ANSWERS", list, sizeof list);
    char* comma = std::strchr(list, ',');
    if (comma)
        *comma = 0;
    std::snprintf(word, sizeof word, "%s", *list ? list : "cancel");
    SetEnvironmentVariableA("QMDOUBLE_ANSWERS", comma ? comma + 1 : nullptr);
}

// The user closes the application: its stand-in ends, and with it its mutex in the session.
void closeApplication(DWORD session)
{
    char name[128] = "";
    GetEnvironmentVariableA("QMDOUBLE_CLOSE_EVENT", name, sizeof name);
    HANDLE quit = OpenEventA(EVENT_MODIFY_STATE, FALSE, name);
    if (!quit)
        return;
    SetEvent(quit);
    CloseHandle(quit);
    char mutex[64];
    std::snprintf(mutex, sizeof mutex, "Session\\%lu\\VantorelAppMutex", session);
    for (int waited = 0; waited < 300; ++waited, Sleep(100)) {
        HANDLE held = OpenMutexA(SYNCHRONIZE, FALSE, mutex);
        if (!held)
            return;
        CloseHandle(held);
    }
}

void logAsk(DWORD session, LPCWSTR title, DWORD titleBytes, LPCWSTR text, DWORD textBytes,
            DWORD style, DWORD timeout, BOOL wait, const char* answer)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"QMDOUBLE_ASK_LOG", path, MAX_PATH);
    char titleUtf8[64] = "", textUtf8[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, title, titleBytes / sizeof(wchar_t), titleUtf8,
                        sizeof titleUtf8 - 1, nullptr, nullptr);
    WideCharToMultiByte(CP_UTF8, 0, text, textBytes / sizeof(wchar_t), textUtf8,
                        sizeof textUtf8 - 1, nullptr, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return;
    if (FILE* out = _wfopen(path, L"ab")) {
        std::fprintf(out, "session %lu: \"%s\" \"%s\" style %lu, %lu s, wait %d: %s\n", session,
                     titleUtf8, textUtf8, style, timeout, wait, answer);
        std::fclose(out);
    }
}

} // namespace

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

__declspec(dllexport) BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD session,
                                                              WTS_INFO_CLASS what,
                                                              LPWSTR* buffer, DWORD* bytes)
{
    if (!buffer || !bytes || !listed(session) || (what != WTSUserName && what != WTSDomainName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    wchar_t text[32] = L"";
    if (session != 0 && what == WTSDomainName)
        std::wcscpy(text, L"QMDOMAIN");
    else if (session != 0)
        std::swprintf(text, 32, L"user%lu", session);
    *bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    *buffer = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, *bytes));
    if (!*buffer)
        return FALSE;
    std::memcpy(*buffer, text, *bytes);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSSendMessageW(HANDLE, DWORD session, LPWSTR title,
                                                  DWORD titleBytes, LPWSTR text,
                                                  DWORD textBytes, DWORD style, DWORD timeout,
                                                  DWORD* response, BOOL wait)
{
    char answer[32];
    nextAnswer(answer);
    auto is = [&answer](const char* word) { return std::strcmp(answer, word) == 0; };
    const char* told = is("close")   ? "closes Quillmarsh2, then Retry"
                       : is("retry") ? "Retry"
                       : is("none")  ? "no answer in time"
                       : is("ok")    ? "OK"
                       : is("fail")  ? "not delivered"
                                     : "Cancel";
    logAsk(session, title, titleBytes, text, textBytes, style, timeout, wait, told);
    if (is("fail") || !listed(session) || !response) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (is("close"))
        closeApplication(session);
    *response = is("retry") || is("close") ? IDRETRY
                : is("none")               ? IDTIMEOUT
                : is("ok")                 ? IDOK
                                           : IDCANCEL;
    return TRUE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory)
{
    HeapFree(GetProcessHeap(), 0, memory);
}

} // extern "C"
