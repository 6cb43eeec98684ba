// Stage 3: the account check through the NETAPI32 double, the running application, and
// the message boxes, each on the real user32, mutexes and processes of Wine.
#include "common/dialogs.h"
#include "common/event_log.h"
#include "common/unattended.h"
#include "common/utf.h"
#include "support/hook_module.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>

namespace {

const char notAdministrator[] =
    "Quillmarsh2 must be installed using an account with administrative access.";
const char applicationRunning[] =
    "Quillmarsh2 is currently running. Please close Quillmarsh2 before installing.";

struct Stage3 {
    int answer;
    std::vector<SeenDialog> dialogs;
    std::vector<EventEntry> events;
};

Stage3 runStage3()
{
    DialogWatch watch;
    EventLogWatch events;
    EXPECT_TRUE(events.available()) << "no event entry could be seen";
    Stage3 result;
    result.answer = loadHook()(HookStagePreInstall, nullptr, nullptr);
    result.dialogs = watch.seen();
    result.events = events.entries();
    return result;
}

// Exactly one entry in the Application event log, of the type and ID given, whose text is
// firstLine, then the lines given (each after CR LF).
void expectEvent(const Stage3& result, WORD type, DWORD id, const std::string& firstLine,
                 const std::string& lines = "")
{
    ASSERT_EQ(result.events.size(), 1u);
    const EventEntry& entry = result.events[0];
    EXPECT_EQ(entry.source, "Quillmarsh2 Setup");
    EXPECT_EQ(entry.type, type);
    EXPECT_EQ(entry.id, id);
    EXPECT_EQ(entry.text, firstLine + lines);
}

// Exactly one box, showing text with the caption "Error", an OK button only, no icon and
// no owner window.
void expectOnlyMessage(const Stage3& result, const char* text)
{
    ASSERT_EQ(result.dialogs.size(), 1u);
    const SeenDialog& box = result.dialogs[0];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, "Error");
    EXPECT_TRUE(box.okButton);
    EXPECT_EQ(box.otherButtons, 0);
    EXPECT_FALSE(box.icon);
    EXPECT_FALSE(box.hasOwner);
}

// The expected answer, with the veto's message on 0 and no box at all on 1.
void expectAnswer(const Stage3& result, int answer, const char* vetoMessage)
{
    EXPECT_EQ(result.answer, answer);
    if (answer == 0)
        expectOnlyMessage(result, vetoMessage);
    else
        EXPECT_TRUE(result.dialogs.empty());
}

// The same, and every veto's entry in the event log: the message, and for a running
// Quillmarsh2 where it runs (holders: the lines that follow).
void expectAnswerAndEvent(const Stage3& result, int answer, const char* vetoMessage,
                          const std::string& holders = "")
{
    expectAnswer(result, answer, vetoMessage);
    if (answer == 1)
        EXPECT_TRUE(result.events.empty());
    else
        expectEvent(result, EVENTLOG_WARNING_TYPE, vetoMessage == notAdministrator ? 1 : 2,
                    vetoMessage, holders);
}

std::wstring accountName()
{
    WCHAR name[256];
    DWORD size = 256;
    return GetUserNameW(name, &size) ? name : L"";
}

TEST(MessageBoxes, TheWatchTellsButtonsIconsAndOwnersApart)
{
    // The checks below would pass vacuously if the watch could not see these.
    HWND owner = CreateWindowA("STATIC", "owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
    DialogWatch watch;
    MessageBoxA(owner, "text", "caption", MB_OKCANCEL | MB_ICONHAND);
    MessageBoxA(nullptr, "plain", "Error", MB_OK);
    DestroyWindow(owner);
    ASSERT_EQ(watch.seen().size(), 2u);
    const SeenDialog& loud = watch.seen()[0];
    EXPECT_EQ(loud.text, "text");
    EXPECT_EQ(loud.caption, "caption");
    EXPECT_TRUE(loud.hasOwner);
    EXPECT_EQ(loud.otherButtons, 1);
    EXPECT_TRUE(loud.icon);
    const SeenDialog& plain = watch.seen()[1];
    EXPECT_FALSE(plain.hasOwner);
    EXPECT_EQ(plain.otherButtons, 0);
    EXPECT_FALSE(plain.icon);
}

struct AccountCase {
    const char* what;
    unsigned long status;
    unsigned long privilege;
    int answer;
};

TEST(Accounts, EachOutcomeOfNetUserGetInfo)
{
    ASSERT_NE(loadHook(), nullptr);
    const AccountCase cases[] = {
        {"administrator", NERR_Success, USER_PRIV_ADMIN, 1},
        {"user", NERR_Success, USER_PRIV_USER, 0},
        {"guest", NERR_Success, USER_PRIV_GUEST, 0},
        {"unknown account", NERR_UserNotFound, USER_PRIV_USER, 1},
        {"access denied", ERROR_ACCESS_DENIED, USER_PRIV_GUEST, 1},
    };
    for (const AccountCase& c : cases) {
        SCOPED_TRACE(c.what);
        configureDouble(c.status, c.privilege);
        resetDoubleStats();
        expectAnswerAndEvent(runStage3(), c.answer, notAdministrator);

        QmDoubleStats stats;
        ASSERT_TRUE(readDoubleStats(stats)) << "the NETAPI32 double is not loaded";
        EXPECT_STREQ(stats.variant, "full");
        EXPECT_EQ(stats.getInfoCalls, 1);
        EXPECT_EQ(stats.lastLevel, 1u);
        EXPECT_TRUE(stats.lastServerNull);
        EXPECT_EQ(std::wstring(stats.lastName), accountName());
        EXPECT_EQ(stats.freeCalls, c.status == NERR_Success ? 1 : 0);
        EXPECT_EQ(stats.strayFrees, 0);
        EXPECT_EQ(stats.outstanding, 0);
    }
}

TEST(Accounts, NetapiComesFromTheSystemDirectoryNotBesideTheProgram)
{
    // A planted netapi32.dll that reports an administrator lies beside this program.
    ASSERT_NE(GetFileAttributesA((programDirectory() + "netapi32.dll").c_str()),
              INVALID_FILE_ATTRIBUTES);
    configureDouble(NERR_Success, USER_PRIV_USER);
    Stage3 result = runStage3();
    EXPECT_EQ(result.answer, 0);
    HMODULE netapi = loadedNetapi();
    ASSERT_NE(netapi, nullptr);
    char path[MAX_PATH];
    std::string loaded(path, GetModuleFileNameA(netapi, path, MAX_PATH));
    std::string expected = systemDirectory() + "\\netapi32.dll";
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    EXPECT_EQ(lower(loaded), lower(expected));
    QmDoubleStats stats;
    ASSERT_TRUE(readDoubleStats(stats));
    EXPECT_STRNE(stats.variant, "planted");
}

TEST(RunningApplication, DetectedOnlyWhileItRuns)
{
    configureDouble(NERR_Success, USER_PRIV_ADMIN);
    RunningApplication application;
    ASSERT_TRUE(application.start());
    Stage3 running = runStage3();
    EXPECT_EQ(running.answer, 0);
    expectOnlyMessage(running, applicationRunning);
    // Asking twice must not keep the mutex alive.
    EXPECT_EQ(runStage3().answer, 0);

    application.stop();
    Stage3 ended = runStage3();
    EXPECT_EQ(ended.answer, 1);
    EXPECT_TRUE(ended.dialogs.empty());
}

TEST(RunningApplication, OnlyTheAdministratorMessageWhenBothChecksFail)
{
    configureDouble(NERR_Success, USER_PRIV_USER);
    RunningApplication application;
    ASSERT_TRUE(application.start());
    Stage3 result = runStage3();
    EXPECT_EQ(result.answer, 0);
    expectOnlyMessage(result, notAdministrator);
}

// Whatever else may hold the application's mutex name, for an administrator. Only a
// mutex counts as running, whether or not it lets this account open it fully.
TEST(RunningApplication, EachAnswerOfOpenMutex)
{
    const char name[] = "VantorelAppMutex";
    PSECURITY_DESCRIPTOR waitOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &waitOnly, nullptr));
    SECURITY_ATTRIBUTES everyoneMayOnlyWait = {sizeof everyoneMayOnlyWait, waitOnly, FALSE};
    const struct {
        const char* what;
        std::function<HANDLE()> create;
        DWORD openError; // of OpenMutexA(MUTEX_ALL_ACCESS); 0: it opens
        int answer;
    } cases[] = {
        {"a mutex granting Everyone only SYNCHRONIZE",
         [&] { return CreateMutexA(&everyoneMayOnlyWait, TRUE, name); }, ERROR_ACCESS_DENIED, 0},
        {"a mutex with default security", [&] { return CreateMutexA(nullptr, TRUE, name); }, 0,
         0},
        {"nothing", [] { return nullptr; }, ERROR_FILE_NOT_FOUND, 1},
        {"an event", [&] { return CreateEventA(nullptr, TRUE, FALSE, name); },
         ERROR_INVALID_HANDLE, 1},
        {"an event granting Everyone only SYNCHRONIZE",
         [&] { return CreateEventA(&everyoneMayOnlyWait, TRUE, FALSE, name); },
         ERROR_INVALID_HANDLE, 1},
        {"a semaphore", [&] { return CreateSemaphoreA(nullptr, 0, 1, name); },
         ERROR_INVALID_HANDLE, 1},
        {"a file mapping",
         [&] { return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                         name); },
         ERROR_INVALID_HANDLE, 1},
    };
    configureDouble(NERR_Success, USER_PRIV_ADMIN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE object = c.create();
        ASSERT_EQ(object == nullptr, c.openError == ERROR_FILE_NOT_FOUND);
        // The case holds only if a plain full-access open meets the expected answer.
        HANDLE opened = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name);
        DWORD error = opened ? 0 : GetLastError();
        if (opened)
            CloseHandle(opened);
        EXPECT_EQ(error, c.openError);
        if (error == c.openError) {
            expectAnswerAndEvent(runStage3(), c.answer, applicationRunning,
                                 "\r\nSession 1, this installation's own (no account known): "
                                 "not asked.");
        }
        if (object)
            CloseHandle(object);
    }
    LocalFree(waitOnly);
}

// The suites below run in processes of their own, started by CTest with the platform
// answer they need (see tests/CMakeLists.txt); each first checks that it got it.

void expectPassUnlessApplicationRuns()
{
    Stage3 alone = runStage3();
    EXPECT_EQ(alone.answer, 1);
    EXPECT_TRUE(alone.dialogs.empty());
    RunningApplication application;
    ASSERT_TRUE(application.start());
    Stage3 running = runStage3();
    EXPECT_EQ(running.answer, 0);
    expectOnlyMessage(running, applicationRunning);
    // The 9x family has no event log.
    EXPECT_EQ(running.events.size(), GetVersion() & 0x80000000 ? 0u : 1u);
}

TEST(Win9xFamily, NoAccountIsLookedUpButTheApplicationIsStillFound)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    ASSERT_EQ(version.dwPlatformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    configureDouble(NERR_Success, USER_PRIV_GUEST);
    expectPassUnlessApplicationRuns();
    QmDoubleStats stats;
    if (readDoubleStats(stats)) {
        EXPECT_EQ(stats.getInfoCalls, 0);
    }
}

TEST(NetapiUnavailable, TheCheckPassesAndOnlyTheApplicationDecides)
{
    ASSERT_EQ(LoadLibraryA((systemDirectory() + "\\netapi32.dll").c_str()), nullptr);
    expectPassUnlessApplicationRuns();
}

TEST(WineOwnNetapi, ItsGuestPrivilegeStopsTheInstallation)
{
    Stage3 result = runStage3();
    QmDoubleStats stats;
    ASSERT_NE(loadedNetapi(), nullptr);
    ASSERT_FALSE(readDoubleStats(stats)) << "expected Wine's own NETAPI32";
    EXPECT_EQ(result.answer, 0);
    expectOnlyMessage(result, notAdministrator);
}

TEST(NoNetUserGetInfo, TheCheckPasses)
{
    configureDouble(NERR_Success, USER_PRIV_GUEST);
    expectPassUnlessApplicationRuns();
    QmDoubleStats stats;
    ASSERT_TRUE(readDoubleStats(stats));
    EXPECT_STREQ(stats.variant, "noinfo");
}

TEST(NoNetApiBufferFree, TheCheckPassesWithoutAskingForARecord)
{
    configureDouble(NERR_Success, USER_PRIV_GUEST);
    expectPassUnlessApplicationRuns();
    QmDoubleStats stats;
    ASSERT_TRUE(readDoubleStats(stats));
    EXPECT_STREQ(stats.variant, "nofree");
    EXPECT_EQ(stats.getInfoCalls, 0);
}

} // namespace

// Stage 3 where unattended installations run it: from a window station nobody sees, beside
// a Quillmarsh2 of another session, under an account whose name the ANSI code page lacks.
// The sessions beyond the installer's own come from the WTSAPI32 double (Wine lists none);
// session 4's namespace is made as the platform makes a session's, a directory that
// "Session\4\" leads to.
TEST(Unattended, WhereNobodyAnswersInOtherSessionsAndUnderAnyName)
{
    const wchar_t dmitri[] = L"\x0414\x043C\x0438\x0442\x0440\x0438\x0439";
    const struct {
        const char* what;
        bool unseen;
        unsigned long privilege;
        const wchar_t* account; // the account's name, known to the double by it alone
        const char* mutex;      // where Quillmarsh2 holds its mutex; null: not running
        bool refusing;          // the mutex lets nobody open it fully
        const char* sessions;   // the platform's list; null: none
        int answer;
        const char* message;
    } cases[] = {
        {"unseen, administrator", true, USER_PRIV_ADMIN, nullptr, nullptr, false, nullptr, 1, nullptr},
        {"unseen, running", true, USER_PRIV_ADMIN, nullptr, "", false, nullptr, 0, applicationRunning},
        {"unseen, user", true, USER_PRIV_USER, nullptr, nullptr, false, nullptr, 0, notAdministrator},
        {"running in session 0", false, USER_PRIV_ADMIN, nullptr, "Global\\", false, nullptr, 0,
         applicationRunning},
        {"running in listed session 4", false, USER_PRIV_ADMIN, nullptr, "Session\\4\\", false,
         "0,1,4", 0, applicationRunning},
        {"refusing, in listed session 4", false, USER_PRIV_ADMIN, nullptr, "Session\\4\\", true,
         "0,1,4", 0, applicationRunning},
        {"session 4 not listed", false, USER_PRIV_ADMIN, nullptr, "Session\\4\\", false, "0,1", 1,
         nullptr},
        {"a listed session that has ended", false, USER_PRIV_ADMIN, nullptr, nullptr, false,
         "0,1,5", 1, nullptr},
        {"user named in Cyrillic", false, USER_PRIV_USER, dmitri, nullptr, false, nullptr, 0,
         notAdministrator},
    };
    PSECURITY_DESCRIPTOR waitOnly = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &waitOnly, nullptr));
    SECURITY_ATTRIBUTES everyoneMayOnlyWait = {sizeof everyoneMayOnlyWait, waitOnly, FALSE};
    typedef LONG(NTAPI * CreateDirectoryFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    auto createDirectory = reinterpret_cast<CreateDirectoryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateDirectoryObject")));
    wchar_t name[] = L"\\Sessions\\BNOLINKS\\4";
    UNICODE_STRING path = {sizeof name - sizeof *name, sizeof name, name};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, 0, nullptr, nullptr);
    HANDLE session4 = nullptr;
    ASSERT_EQ(createDirectory(&session4, 0xF000F, &attributes), 0); // DIRECTORY_ALL_ACCESS
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        configureDouble(NERR_Success, c.privilege);
        SetEnvironmentVariableA("QMDOUBLE_SESSIONS", c.sessions);
        SetEnvironmentVariableW(QMDOUBLE_ACCOUNT_VARIABLE, c.account);
        std::wstring account = accountName();
        if (c.account) {
            ASSERT_TRUE(outsideCodePage(c.account)) << "the ANSI name would do as well";
            SetEnvironmentVariableW(L"WINEUSERNAME", c.account);
        }
        HANDLE mutex = c.mutex ? CreateMutexA(c.refusing ? &everyoneMayOnlyWait : nullptr, TRUE,
                                              (std::string(c.mutex) + "VantorelAppMutex").c_str())
                               : nullptr;
        DebugOutputWatch debug;
        Stage3 result;
        if (c.unseen) {
            DWORD began = GetTickCount();
            if (!runUnseen([&] { result = runStage3(); })) {
                ADD_FAILURE() << "stage 3 did not return where nobody can answer";
                TerminateProcess(GetCurrentProcess(), 1);
            }
            EXPECT_LT(GetTickCount() - began, 10000u);
            EXPECT_TRUE(result.dialogs.empty());
            EXPECT_EQ(result.answer, c.answer);
            EXPECT_EQ(debug.text(), c.message ? "qmhook: " + std::string(c.message) + "\n" : "");
        } else {
            result = runStage3();
            expectAnswer(result, c.answer, c.message);
            EXPECT_EQ(debug.text(), "");
        }
        EXPECT_EQ(result.events.size(), c.answer ? 0u : 1u);
        SetEnvironmentVariableW(L"WINEUSERNAME", account.c_str());
        if (mutex)
            CloseHandle(mutex);
    }
    SetEnvironmentVariableW(QMDOUBLE_ACCOUNT_VARIABLE, nullptr);
    CloseHandle(session4);
    LocalFree(waitOnly);
}

// Quillmarsh2 open in another user's session: that user is asked to close it with the
// session message, where the installer's own box would not be seen. The WTSAPI32 double
// plays the users (QMDOUBLE_ANSWERS) and lists sessions 0, 1 (the installer's) and 4.
TEST(SessionMessage, TheHolderIsAskedAndTheAdministratorTold)
{
    const std::string user4 = "\r\nSession 4 (QMDOMAIN\\user4): ";
    const std::string wentOn =
        "Quillmarsh2 was running; its user closed it when asked, and the installation went on.";
    const char *closes = "closes Quillmarsh2, then Retry", *retry = "Retry";
    const struct {
        const char* what;
        const char* runsIn;  // the listed sessions ("4", "4,5"), or "Global\" or "" (own)
        const char* answers; // of the users, in turn
        bool unseen;
        std::vector<std::pair<int, const char*>> asked; // each ask's session and answer
        int answer;
        std::string lines; // of the event entry, after its first
    } cases[] = {
        {"closed when asked", "4", "close", false, {{4, closes}}, 1, user4 + "Retry."},
        {"Cancel", "4", "cancel", false, {{4, "Cancel"}}, 0, user4 + "Cancel."},
        {"no answer in time, unseen", "4", "none", true, {{4, "no answer in time"}}, 0,
         user4 + "no answer in time."},
        {"the message fails", "4", "fail", false, {{4, "not delivered"}}, 0,
         user4 + "could not be asked."},
        {"an answer that is neither", "4", "ok", false, {{4, "OK"}}, 0, user4 + "another answer."},
        {"Retry three times, left open", "4", "retry,retry,retry,close", false,
         {{4, retry}, {4, retry}, {4, retry}}, 0, user4 + "Retry."},
        {"Retry, then closed, unseen", "4", "retry,close", true, {{4, retry}, {4, closes}}, 1,
         user4 + "Retry."},
        {"two holders: one closes, the next cancels", "4,5", "close,cancel", false,
         {{4, closes}, {5, "Cancel"}}, 0, "\r\nSession 5 (QMDOMAIN\\user5): Cancel."},
        {"session 0 is never asked", "Global\\", "close", false, {}, 0,
         "\r\nSession 0 (no account known): not asked."},
        {"nor the installer's own", "", "close", false, {}, 0,
         "\r\nSession 1, this installation's own (QMDOMAIN\\user1): not asked."},
    };
    configureDouble(NERR_Success, USER_PRIV_ADMIN);
    SetEnvironmentVariableA("QMDOUBLE_SESSIONS", "0,1,4,5");
    // In the prefix's own temporary folder: the other prefix's entry runs beside this one.
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    const std::string log = std::string(temp) + "qmhook-asks.txt";
    SetEnvironmentVariableA("QMDOUBLE_ASK_LOG", log.c_str());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(log.c_str());
        SetEnvironmentVariableA("QMDOUBLE_ANSWERS", c.answers);
        RunningApplication inSession[2];
        HANDLE mutex = nullptr;
        if (std::isdigit(static_cast<unsigned char>(c.runsIn[0]))) {
            int started = 0;
            for (const char* digit = c.runsIn; *digit; ++digit) {
                if (*digit != ',') {
                    ASSERT_TRUE(inSession[started++].start(*digit - '0'));
                }
            }
            // A user who closes Quillmarsh2 closes the first session's.
            SetEnvironmentVariableA("QMDOUBLE_CLOSE_EVENT", inSession[0].quitEvent().c_str());
        } else {
            mutex = CreateMutexA(nullptr, TRUE, (std::string(c.runsIn) + "VantorelAppMutex").c_str());
        }
        Stage3 result;
        if (c.unseen)
            ASSERT_TRUE(runUnseen([&] { result = runStage3(); }));
        else
            result = runStage3();
        if (mutex)
            CloseHandle(mutex);
        EXPECT_EQ(result.answer, c.answer);
        if (c.answer == 0 && !c.unseen)
            expectOnlyMessage(result, applicationRunning);
        else
            EXPECT_TRUE(result.dialogs.empty());
        expectEvent(result, c.answer ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_WARNING_TYPE,
                    c.answer ? 4 : 2, c.answer ? wentOn : applicationRunning, c.lines);
        std::vector<std::string> asks, expected;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            asks.push_back(line);
        for (const auto& ask : c.asked)
            expected.push_back("session " + std::to_string(ask.first) + ": \"Error\" \"" +
                               applicationRunning + "\" style 5, 60 s, wait 1: " + ask.second);
        EXPECT_EQ(asks, expected);
    }
    SetEnvironmentVariableA("QMDOUBLE_SESSIONS", nullptr);
    SetEnvironmentVariableA("QMDOUBLE_ASK_LOG", nullptr);
}
