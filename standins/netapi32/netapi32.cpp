// A NETAPI32 of our own for the tests and the simulated installation: Wine's own
// NetUserGetInfo always reports privilege 0. Installed as netapi32.dll in a Wine prefix's
// system directory and chosen with WINEDLLOVERRIDES=netapi32=n.
//
// Build variants: QMDOUBLE_NO_GETINFO and QMDOUBLE_NO_FREE leave out one export;
// QMDOUBLE_PLANTED is the copy an attacker would drop beside an installer: it always
// reports an administrator.
#include "double.h"

#include <lm.h>

#include <cstdlib>
#include <cstring>

namespace {

QmDoubleStats stats;
const int maxRecords = 64;
void* records[maxRecords];

#if defined(QMDOUBLE_PLANTED)
const char variantName[] = "planted";
#elif defined(QMDOUBLE_NO_GETINFO)
const char variantName[] = "noinfo";
#elif defined(QMDOUBLE_NO_FREE)
const char variantName[] = "nofree";
#else
const char variantName[] = "full";
#endif

[[maybe_unused]] DWORD configured(const char* variable, DWORD fallback)
{
    char text[32];
    DWORD length = GetEnvironmentVariableA(variable, text, sizeof text);
    if (length == 0 || length >= sizeof text)
        return fallback;
    return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
}

[[maybe_unused]] bool remember(void* record)
{
    for (void*& slot : records)
        if (!slot) {
            slot = record;
            return true;
        }
    return false;
}

[[maybe_unused]] bool forget(void* record)
{
    for (void*& slot : records)
        if (record && slot == record) {
            slot = nullptr;
            return true;
        }
    return false;
}

} // namespace

extern "C" {

#ifndef QMDOUBLE_NO_GETINFO
__declspec(dllexport) NET_API_STATUS WINAPI NetUserGetInfo(LPCWSTR server, LPCWSTR name,
                                                           DWORD level, LPBYTE* record)
{
    ++stats.getInfoCalls;
    stats.lastLevel = level;
    stats.lastServerNull = server == nullptr;
    lstrcpynW(stats.lastName, name ? name : L"", 256);
    *record = nullptr;

    // Where QMDOUBLE_ACCOUNT names the one account this computer knows, by its real name,
    // every other name is unknown.
    WCHAR known[256];
    DWORD length = GetEnvironmentVariableW(QMDOUBLE_ACCOUNT_VARIABLE, known, 256);
    if (length > 0 && length < 256 && lstrcmpiW(known, name ? name : L"") != 0)
        return NERR_UserNotFound;
    NET_API_STATUS status = configured(QMDOUBLE_STATUS_VARIABLE, NERR_Success);
    if (status != NERR_Success)
        return status;
    auto info = static_cast<USER_INFO_1*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                    sizeof(USER_INFO_1)));
    if (!info || !remember(info))
        return ERROR_NOT_ENOUGH_MEMORY;
#ifdef QMDOUBLE_PLANTED
    info->usri1_priv = USER_PRIV_ADMIN;
#else
    info->usri1_priv = configured(QMDOUBLE_PRIV_VARIABLE, USER_PRIV_ADMIN);
#endif
    ++stats.outstanding;
    *record = reinterpret_cast<LPBYTE>(info);
    return NERR_Success;
}
#endif

#ifndef QMDOUBLE_NO_FREE
__declspec(dllexport) NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    if (!forget(buffer)) {
        ++stats.strayFrees;
        return ERROR_INVALID_PARAMETER;
    }
    ++stats.freeCalls;
    --stats.outstanding;
    HeapFree(GetProcessHeap(), 0, buffer);
    return NERR_Success;
}
#endif

__declspec(dllexport) void WINAPI QmDoubleReadStats(QmDoubleStats* out)
{
    *out = stats;
    lstrcpynA(out->variant, variantName, sizeof out->variant);
}

__declspec(dllexport) void WINAPI QmDoubleReset()
{
    LONG outstanding = stats.outstanding;
    stats = QmDoubleStats();
    stats.outstanding = outstanding;
}

} // extern "C"
