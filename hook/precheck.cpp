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
typedef BOOL(WINAPI* WTSSendMessageWFn)(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD,
                                        DWORD*, BOOL);
typedef BOOL(WINAPI* WTSQuerySessionInformationWFn)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*,
                                                    DWORD*);

// The asks of one installation, and how long each waits for its answer (the platform takes
// 1 to 120 seconds).
const int maxAsks = 3;
const DWORD askSeconds = 60;

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

// WTSAPI32, loaded from the system directory for one check: the list of sessions, their
// accounts, and the session message that asks a session's user to close the application.
// The installer's own session id comes from ProcessIdToSessionId (2000 and later).
class SessionServices {
public:
    SessionServices()
    {
        if (!Tarn::isNtFamily())
            return;
        auto sessionOf =
            Tarn::lookUp<ProcessIdToSessionIdFn>("kernel32.dll", "ProcessIdToSessionId");
        if (sessionOf && !sessionOf(GetCurrentProcessId(), &own))
            own = unknownSession;
        module = Tarn::loadSystemLibrary("WTSAPI32.DLL");
        enumerate = Tarn::procedure<WTSEnumerateSessionsAFn>(module, "WTSEnumerateSessionsA");
        freeMemory = Tarn::procedure<WTSFreeMemoryFn>(module, "WTSFreeMemory");
        sendMessage = Tarn::procedure<WTSSendMessageWFn>(module, "WTSSendMessageW");
        query = Tarn::procedure<WTSQuerySessionInformationWFn>(module,
                                                               "WTSQuerySessionInformationW");
        if (!freeMemory)
            enumerate = nullptr, query = nullptr;
    }
    ~SessionServices()
    {
        if (module)
            FreeLibrary(module);
    }
    SessionServices(const SessionServices&) = delete;
    SessionServices& operator=(const SessionServices&) = delete;

    static const DWORD unknownSession = ~0u;
    DWORD ownSession() const { return own; }
    bool canAsk() const { return sendMessage != nullptr; }

    // Calls found(id) for each session of the platform's list but session 0 and this one.
    template <typename Found>
    void forEachOtherSession(Found found) const
    {
        PWTS_SESSION_INFOA sessions = nullptr;
        DWORD count = 0;
        if (!enumerate || !enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count) ||
            !sessions)
            return;
        for (DWORD i = 0; i < count; ++i)
            if (sessions[i].SessionId != 0 && sessions[i].SessionId != own)
                found(sessions[i].SessionId);
        freeMemory(sessions);
    }

    // The session message: caption "Error", the running text, Retry and Cancel, waiting at
    // most askSeconds for the answer. The button pressed, IDTIMEOUT, or 0 when it failed.
    DWORD askToClose(DWORD session) const
    {
        WCHAR title[] = L"Error";
        WCHAR text[sizeof applicationRunningText]; // the text is ASCII: a unit a byte
        int units = MultiByteToWideChar(CP_ACP, 0, applicationRunningText, -1, text,
                                        sizeof text / sizeof *text);
        DWORD response = 0;
        if (units <= 1 ||
            !sendMessage(WTS_CURRENT_SERVER_HANDLE, session, title, sizeof title - sizeof *title,
                         text, (units - 1) * sizeof *text, MB_RETRYCANCEL, askSeconds,
                         &response, TRUE))
            return 0;
        return response;
    }

    // "DOMAIN\user" of a session's account, or a word that says it is unknown.
    void addAccount(EventText& text, DWORD session) const
    {
        LPWSTR user = nullptr, domain = nullptr;
        DWORD bytes = 0;
        if (query && query(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user, &bytes) &&
            user && *user) {
            if (query(WTS_CURRENT_SERVER_HANDLE, session, WTSDomainName, &domain, &bytes) &&
                domain && *domain)
                text.add(domain).add(L"\\");
            text.add(user);
        } else {
            text.add(L"no account known");
        }
        if (user)
            freeMemory(user);
        if (domain)
            freeMemory(domain);
    }

private:
    DWORD own = unknownSession;
    HMODULE module = nullptr;
    WTSEnumerateSessionsAFn enumerate = nullptr;
    WTSFreeMemoryFn freeMemory = nullptr;
    WTSSendMessageWFn sendMessage = nullptr;
    WTSQuerySessionInformationWFn query = nullptr;
};

// What a holder's user was asked and answered, as the event entry tells it.
enum Outcome { NotAsked, Retried, Cancelled, NoAnswerInTime, CouldNotAsk, OtherAnswer };

const wchar_t* describe(Outcome outcome)
{
    switch (outcome) {
    case Retried:
        return L"Retry";
    case Cancelled:
        return L"Cancel";
    case NoAnswerInTime:
        return L"no answer in time";
    case CouldNotAsk:
        return L"could not be asked";
    case OtherAnswer:
        return L"another answer";
    default:
        return L"not asked";
    }
}

Outcome outcomeOf(DWORD response)
{
    switch (response) {
    case IDRETRY:
        return Retried;
    case IDCANCEL:
        return Cancelled;
    case IDTIMEOUT:
        return NoAnswerInTime;
    case 0:
        return CouldNotAsk;
    default:
        return OtherAnswer;
    }
}

// Where the application's mutex is: in the installer's own namespace, in session 0's
// (Global\), and in which other listed sessions. The 9x family has one namespace.
// Quillmarsh2 may run in another session than the installer: the user's own while a
// deployment service runs the installer in session 0, or session 0's while the installer
// runs in a user's session.
struct Holders {
    static const DWORD most = 16; // sessions named in the event entry; more still count
    bool own = false, sessionZero = false, others = false;
    DWORD count = 0;
    DWORD session[most];
    Outcome outcome[most];

    bool any() const { return own || sessionZero || others; }
    // Only users of other sessions hold it, and one of them is known by number.
    bool askable() const { return !own && !sessionZero && count > 0; }

    void find(const SessionServices& services)
    {
        own = heldIn("");
        sessionZero = others = false;
        count = 0;
        if (!Tarn::isNtFamily())
            return;
        sessionZero = heldIn("Global\\");
        services.forEachOtherSession([&](DWORD id) {
            char prefix[32];
            wsprintfA(prefix, "Session\\%lu\\", id);
            if (!heldIn(prefix))
                return;
            others = true;
            if (count < most) {
                session[count] = id;
                outcome[count++] = NotAsked;
            }
        });
    }
};

// Asks the users of other sessions that hold the application, one at a time, to close it:
// Retry looks again everywhere, and ends the asking once nothing holds it any more. At
// most maxAsks asks in all; any other answer, or an ask that fails, ends them. Returns
// how many were asked; asked records each one's last answer, holders what holds it now.
int askHolders(const SessionServices& services, Holders& holders, Holders& asked)
{
    int asks = 0;
    while (holders.askable() && services.canAsk() && asks < maxAsks) {
        DWORD session = holders.session[0];
        Outcome outcome = outcomeOf(services.askToClose(session));
        ++asks;
        DWORD i = 0;
        while (i < asked.count && asked.session[i] != session)
            ++i;
        if (i == asked.count && i < Holders::most) {
            asked.session[i] = session;
            ++asked.count;
        }
        if (i < Holders::most)
            asked.outcome[i] = outcome;
        if (outcome != Retried)
            break;
        holders.find(services);
    }
    return asks;
}

// One line per session: "Session 2 (CORP\alice): Cancel."
void addSessionLines(EventText& text, const SessionServices& services, const Holders& holders,
                     const Holders& asked)
{
    auto line = [&](DWORD session, const wchar_t* note, Outcome outcome) {
        text.add(L"\r\nSession ");
        if (session == SessionServices::unknownSession)
            text.add(L"of this installation");
        else
            text.addNumber(session);
        text.add(note).add(L" (");
        services.addAccount(text, session);
        text.add(L"): ").add(describe(outcome)).add(L".");
    };
    if (holders.sessionZero)
        line(0, L"", NotAsked);
    if (holders.own && services.ownSession() != 0)
        line(services.ownSession(), L", this installation's own", NotAsked);
    for (DWORD i = 0; i < holders.count; ++i) {
        Outcome outcome = NotAsked;
        for (DWORD j = 0; j < asked.count; ++j)
            if (asked.session[j] == holders.session[i])
                outcome = asked.outcome[j];
        line(holders.session[i], L"", outcome);
    }
    if (holders.others && holders.count == Holders::most)
        text.add(L"\r\n(and perhaps more sessions)");
}
} // namespace

bool userIsAdministrator()
{
    if (queryVersion().dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return true;

    // NETAPI32 stays loaded once loaded.
    HMODULE netapi = Tarn::loadSystemLibrary("NETAPI32.DLL");
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

// Where nobody can press OK, the box would wait for good: the text goes to the debug output,
// where deployment tools look, and the answer is the one the box would have led to.
void showErrorBox(const char* text, void*)
{
    if (nobodyCanAnswer()) {
        char line[160]; // the longest text is 78 characters
        wsprintfA(line, "qmhook: %s\n", text);
        OutputDebugStringA(line);
        return;
    }
    MessageBoxA(nullptr, text, "Error", MB_OK);
}

bool preInstallCheck(ShowError show, void* context)
{
    EventText entry;
    if (!userIsAdministrator()) {
        reportEvent(EVENTLOG_WARNING_TYPE, EventNotAdministrator,
                    entry.addAnsi(notAdministratorText).text());
        show(notAdministratorText, context);
        return false;
    }
    SessionServices services;
    Holders holders, asked;
    holders.find(services);
    int asks = askHolders(services, holders, asked);
    if (!holders.any()) {
        if (asks > 0) {
            entry.add(L"Quillmarsh2 was running; its user closed it when asked, and the "
                      L"installation went on.");
            addSessionLines(entry, services, asked, asked);
            reportEvent(EVENTLOG_INFORMATION_TYPE, EventClosedWhenAsked, entry.text());
        }
        return true;
    }
    entry.addAnsi(applicationRunningText);
    addSessionLines(entry, services, holders, asked);
    reportEvent(EVENTLOG_WARNING_TYPE, EventApplicationRunning, entry.text());
    show(applicationRunningText, context);
    return false;
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
