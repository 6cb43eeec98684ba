// What the NETAPI32 double records, read by tests through QmDoubleReadStats.
#ifndef QMHOOK_NETAPI32_DOUBLE_H
#define QMHOOK_NETAPI32_DOUBLE_H

#include <windows.h>

struct QmDoubleStats {
    LONG getInfoCalls;     // NetUserGetInfo calls
    LONG freeCalls;        // NetApiBufferFree calls on records this double handed out
    LONG strayFrees;       // NetApiBufferFree calls on anything else, or a second time
    LONG outstanding;      // records handed out and not yet freed
    DWORD lastLevel;       // level of the last NetUserGetInfo
    BOOL lastServerNull;   // whether its server name was null
    WCHAR lastName[256];   // the account name it was asked about
    char variant[16];      // "full", "noinfo", "nofree" or "planted"
};

typedef void(WINAPI* QmDoubleReadStatsFn)(QmDoubleStats*);
typedef void(WINAPI* QmDoubleResetFn)();

// Environment read at every NetUserGetInfo call: QMDOUBLE_STATUS (the status to answer,
// default 0) and QMDOUBLE_PRIV (usri1_priv of the record, default 2, administrator).
#define QMDOUBLE_STATUS_VARIABLE "QMDOUBLE_STATUS"
#define QMDOUBLE_PRIV_VARIABLE "QMDOUBLE_PRIV"
// QMDOUBLE_ACCOUNT, where set: the only account name NetUserGetInfo knows; any other is
// answered NERR_UserNotFound.
#define QMDOUBLE_ACCOUNT_VARIABLE L"QMDOUBLE_ACCOUNT"

#endif
