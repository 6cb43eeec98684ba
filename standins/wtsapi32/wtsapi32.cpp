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
#include "common/utf.h"

#include <windows.h>

#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// The next word of QMDOUBLE_ANSWERS, taken off the list.
std::string nextAnswer()
{
    char list[256] = "";
    GetEnvironmentVariableA("QMDOUBLE_ANSWERS", list, sizeof list);
    std::string words = list;
    size_t comma = words.find(',');
    SetEnvironmentVariableA("QMDOUBLE_ANSWERS",
                            comma == std::string::npos ? nullptr : words.substr(comma + 1).c_str());
    std::string word = words.substr(0, comma);
    return word.empty() ? "cancel" : word;
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

void logAsk(DWORD session, const std::wstring& title, const std::wstring& text, DWORD style,
            DWORD timeout, BOOL wait, const std::string& answer)
{
    wchar_t path[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"QMDOUBLE_ASK_LOG", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    if (FILE* out = _wfopen(path, L"ab")) {
        std::fprintf(out, "session %lu: \"%s\" \"%s\" style %lu, %lu s, wait %d: %s\n", session,
                     utf8(title).c_str(), utf8(text).c_str(), style, timeout, wait,
                     answer.c_str());
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
    std::wstring text = session == 0             ? L""
                        : what == WTSDomainName ? L"QMDOMAIN"
                                                 : L"user" + std::to_wstring(session);
    *bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    *buffer = static_cast<LPWSTR>(HeapAlloc(GetProcessHeap(), 0, *bytes));
    if (!*buffer)
        return FALSE;
    std::memcpy(*buffer, text.c_str(), *bytes);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSSendMessageW(HANDLE, DWORD session, LPWSTR title,
                                                  DWORD titleBytes, LPWSTR text,
                                                  DWORD textBytes, DWORD style, DWORD timeout,
                                                  DWORD* response, BOOL wait)
{
    std::string answer = nextAnswer();
    const char* told = answer == "close"   ? "closes Quillmarsh2, then Retry"
                       : answer == "retry" ? "Retry"
                       : answer == "none"  ? "no answer in time"
                       : answer == "ok"    ? "OK"
                       : answer == "fail"  ? "not delivered"
                                           : "Cancel";
    logAsk(session, std::wstring(title, titleBytes / sizeof(wchar_t)),
           std::wstring(text, textBytes / sizeof(wchar_t)), style, timeout, wait, told);
    if (answer == "fail" || !listed(session) || !response) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (answer == "close")
        closeApplication(session);
    *response = answer == "retry" || answer == "close" ? IDRETRY
                : answer == "none"                     ? IDTIMEOUT
                : answer == "ok"                       ? IDOK
                                                       : IDCANCEL;
    return TRUE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory)
{
    HeapFree(GetProcessHeap(), 0, memory);
}

} // extern "C"
