// What a deployment service gives the installer: a window station that nobody sees (as in
// session 0), where a message box waits for good and a started program runs unseen. Also
// the debug output, where a program tells what it would have shown there.
#ifndef QMHOOK_STANDINS_UNATTENDED_H
#define QMHOOK_STANDINS_UNATTENDED_H

#include <windows.h>

#include <functional>
#include <string>

// The window station nobody sees, with one desktop, as "station\desktop" for a program to
// be started there (STARTUPINFO's lpDesktop). Made at the first call; it lasts as long as
// this process.
const char* unseenDesktop();

// Runs work on a thread of its own on that desktop, with this process switched meanwhile
// to that window station. False when work had not returned after timeoutMs: it is then
// left blocked where it is, and the process should end.
bool runUnseen(const std::function<void()>& work, DWORD timeoutMs = 30000);

// Collects what this process writes with OutputDebugString while it lives: the text a
// program gives deployment tools, and debuggers, instead of a message box. One at a time.
class DebugOutputWatch {
public:
    DebugOutputWatch();
    ~DebugOutputWatch();
    DebugOutputWatch(const DebugOutputWatch&) = delete;
    DebugOutputWatch& operator=(const DebugOutputWatch&) = delete;

    std::string text() const;

private:
    static LONG CALLBACK onException(EXCEPTION_POINTERS* exception);
    void* handler;
};

// Collects what other programs write with OutputDebugString while it lives, as a debug
// output viewer does: the system-wide buffer ("DBWIN_BUFFER") that OutputDebugString fills
// when no debugger takes the text. Lines are "<text>" as the programs wrote them. One at a
// time per session.
class SystemDebugOutputWatch {
public:
    SystemDebugOutputWatch();
    ~SystemDebugOutputWatch();
    SystemDebugOutputWatch(const SystemDebugOutputWatch&) = delete;
    SystemDebugOutputWatch& operator=(const SystemDebugOutputWatch&) = delete;

    std::string text() const;

private:
    static DWORD WINAPI listen(void* self);
    HANDLE bufferReady = nullptr, dataReady = nullptr, stop = nullptr, mapping = nullptr;
    HANDLE thread = nullptr;
    void* view = nullptr;
    mutable CRITICAL_SECTION lock;
    std::string collected;
};

#endif
