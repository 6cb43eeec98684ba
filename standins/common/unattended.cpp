#include "unattended.h"

#include <cstring>
#include <mutex>

namespace {

struct UnseenWork {
    const std::function<void()>* work;
    HDESK desktop;
};

DWORD WINAPI runOnDesktop(void* context)
{
    auto* unseen = static_cast<UnseenWork*>(context);
    if (!SetThreadDesktop(unseen->desktop))
        return 1;
    (*unseen->work)();
    return 0;
}

// CreateDesktop makes its desktop on the process's window station.
HDESK createUnseenDesktop(HWINSTA station)
{
    HWINSTA original = GetProcessWindowStation();
    if (!station || !SetProcessWindowStation(station))
        return nullptr;
    HDESK desktop = CreateDesktopA("qmunseen", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(original);
    return desktop;
}

} // namespace

const char* unseenDesktop()
{
    static HDESK kept = createUnseenDesktop(
        CreateWindowStationA("qmunseen-kept", 0, WINSTA_ALL_ACCESS, nullptr));
    return kept ? "qmunseen-kept\\qmunseen" : nullptr;
}

// A station of its own each time: with one station kept for several runs, a later run that
// wrote debug output while a watch collected it was seen to block for good under Wine 8.
bool runUnseen(const std::function<void()>& work, DWORD timeoutMs)
{
    HWINSTA original = GetProcessWindowStation();
    HWINSTA station = CreateWindowStationA("qmunseen", 0, WINSTA_ALL_ACCESS, nullptr);
    UnseenWork unseen = {&work, createUnseenDesktop(station)};
    if (!unseen.desktop || !SetProcessWindowStation(station)) {
        if (station)
            CloseWindowStation(station);
        return false;
    }
    HANDLE thread = CreateThread(nullptr, 0, runOnDesktop, &unseen, 0, nullptr);
    DWORD status = 1;
    bool finished = thread && WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0 &&
                    GetExitCodeThread(thread, &status) && status == 0;
    SetProcessWindowStation(original);
    if (thread && !finished)
        return false; // the thread still uses the station and the desktop
    if (thread)
        CloseHandle(thread);
    CloseDesktop(unseen.desktop);
    CloseWindowStation(station);
    return finished;
}

namespace {

std::mutex watchLock;
std::string* watched;

} // namespace

DebugOutputWatch::DebugOutputWatch()
{
    std::lock_guard<std::mutex> hold(watchLock);
    watched = new std::string;
    handler = AddVectoredExceptionHandler(1, onException);
}

DebugOutputWatch::~DebugOutputWatch()
{
    RemoveVectoredExceptionHandler(handler);
    std::lock_guard<std::mutex> hold(watchLock);
    delete watched;
    watched = nullptr;
}

std::string DebugOutputWatch::text() const
{
    std::lock_guard<std::mutex> hold(watchLock);
    return *watched;
}

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text's length (its NUL counted)
// and address, and carries on when no debugger takes it.
LONG CALLBACK DebugOutputWatch::onException(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
        record->ExceptionInformation[0] > 0) {
        std::lock_guard<std::mutex> hold(watchLock);
        if (watched)
            watched->append(reinterpret_cast<const char*>(record->ExceptionInformation[1]),
                            record->ExceptionInformation[0] - 1);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The protocol of OutputDebugString without a debugger: it waits for DBWIN_BUFFER_READY,
// writes its process id and text into DBWIN_BUFFER and sets DBWIN_DATA_READY.
SystemDebugOutputWatch::SystemDebugOutputWatch()
{
    InitializeCriticalSection(&lock);
    bufferReady = CreateEventA(nullptr, FALSE, TRUE, "DBWIN_BUFFER_READY");
    dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                 "DBWIN_BUFFER");
    view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096) : nullptr;
    if (bufferReady && dataReady && stop && view)
        thread = CreateThread(nullptr, 0, listen, this, 0, nullptr);
}

SystemDebugOutputWatch::~SystemDebugOutputWatch()
{
    if (thread) {
        SetEvent(stop);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (view)
        UnmapViewOfFile(view);
    for (HANDLE handle : {mapping, stop, dataReady, bufferReady})
        if (handle)
            CloseHandle(handle);
    DeleteCriticalSection(&lock);
}

std::string SystemDebugOutputWatch::text() const
{
    EnterCriticalSection(&lock);
    std::string copy = collected;
    LeaveCriticalSection(&lock);
    return copy;
}

DWORD WINAPI SystemDebugOutputWatch::listen(void* context)
{
    auto* watch = static_cast<SystemDebugOutputWatch*>(context);
    HANDLE events[] = {watch->stop, watch->dataReady};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        const char* text = static_cast<const char*>(watch->view) + sizeof(DWORD);
        EnterCriticalSection(&watch->lock);
        watch->collected.append(text, strnlen(text, 4096 - sizeof(DWORD)));
        LeaveCriticalSection(&watch->lock);
        SetEvent(watch->bufferReady);
    }
    return 0;
}
