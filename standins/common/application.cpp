#include "application.h"

#include <cstdio>

std::string programDirectory()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of('\\') + 1);
}

RunningApplication::~RunningApplication()
{
    stop();
}

bool RunningApplication::start(long session)
{
    char ready[64], leave[64];
    std::snprintf(ready, sizeof ready, "qmapp-ready-%lu-%p", GetCurrentProcessId(),
                  static_cast<void*>(this));
    std::snprintf(leave, sizeof leave, "qmapp-quit-%lu-%p", GetCurrentProcessId(),
                  static_cast<void*>(this));
    HANDLE readyEvent = CreateEventA(nullptr, TRUE, FALSE, ready);
    quit = CreateEventA(nullptr, TRUE, FALSE, leave);
    quitName = leave;
    std::string command = "\"" + programDirectory() + "quillmarsh2.exe\" " + ready + " " + leave;
    if (session >= 0)
        command += " " + std::to_string(session);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    bool started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process) != 0;
    HANDLE waitFor[] = {readyEvent, process.hProcess};
    bool holding = started &&
                   WaitForMultipleObjects(2, waitFor, FALSE, 60000) == WAIT_OBJECT_0;
    CloseHandle(readyEvent);
    if (!holding)
        stop();
    return holding;
}

void RunningApplication::stop()
{
    if (quit)
        SetEvent(quit);
    if (process.hProcess) {
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    if (quit)
        CloseHandle(quit);
    process = PROCESS_INFORMATION();
    quit = nullptr;
}
