// Runs Quillmarsh2-setup.exe (or its uninstaller) as a child process the way a user at the
// screen would, from another process: it answers the message boxes that the installer's
// process shows, lets a caller walk the pages of its main window, and waits until every
// process it started has ended (the launcher of stage 5, the uninstaller's copy of itself).
// Used by qmhost --installer and by the installer's tests.
#ifndef QMHOOK_STANDINS_SETUP_DRIVER_H
#define QMHOOK_STANDINS_SETUP_DRIVER_H

#include "common/utf.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct SetupMessageBox {
    std::string caption, text;
};

struct SetupRun {
    bool started = false;
    bool finished = false; // the process and everything it started ended in time
    DWORD exitCode = 0;
    std::vector<SetupMessageBox> messageBoxes; // in the order they appeared
};

namespace setup_driver {

// NSIS's main window holds the page area, control 1018; its buttons are IDOK (Next,
// Install, Close), IDCANCEL and 3 (Back).
const int pageArea = 1018;
// The control id user32 gives a message box's text.
const int messageText = 0xFFFF;

inline std::string windowText(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

inline bool isDialog(HWND window)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    return lstrcmpA(name, "#32770") == 0;
}

struct TopWindows {
    DWORD process;
    std::vector<HWND> found;
};

inline BOOL CALLBACK collect(HWND window, LPARAM context)
{
    auto* windows = reinterpret_cast<TopWindows*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == windows->process && IsWindowVisible(window) && isDialog(window))
        windows->found.push_back(window);
    return TRUE;
}

inline bool jobIsEmpty(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    return QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info,
                                     sizeof info, nullptr) &&
           info.ActiveProcesses == 0;
}

} // namespace setup_driver

// Runs the command line to its end. Message boxes of the process are recorded and, when
// answerBoxes is set, dismissed with OK; onMainWindow, if given, is called every 50 ms with
// the installer's main window while one is shown. The process runs in a job, so that the
// run ends only when every process it started has ended as well; after timeoutMs
// everything still running is stopped and finished stays false. The command line is UTF-8;
// desktop, if given, is the "station\desktop" the installer runs on.
inline SetupRun runSetup(const std::string& commandLine, bool answerBoxes = true,
                         const std::function<void(HWND)>& onMainWindow = nullptr,
                         DWORD timeoutMs = 120000, const char* desktop = nullptr)
{
    using namespace setup_driver;
    SetupRun run;
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    std::wstring station = desktop ? utf16(desktop) : L"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop ? &station[0] : nullptr;
    PROCESS_INFORMATION process = {};
    std::wstring command = utf16(commandLine);
    if (!job || !CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                nullptr, nullptr, &startup, &process)) {
        if (job)
            CloseHandle(job);
        return run;
    }
    run.started = true;
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);

    std::vector<HWND> answered;
    DWORD begin = GetTickCount();
    bool exited = false;
    while (GetTickCount() - begin < timeoutMs) {
        exited = WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0;
        if (exited) {
            if (jobIsEmpty(job))
                break;
            continue;
        }
        for (size_t i = answered.size(); i-- > 0;)
            if (!IsWindow(answered[i]))
                answered.erase(answered.begin() + i); // gone: its handle may come back
        TopWindows windows = {process.dwProcessId, {}};
        EnumWindows(collect, reinterpret_cast<LPARAM>(&windows));
        for (HWND window : windows.found) {
            if (GetDlgItem(window, pageArea)) {
                if (onMainWindow)
                    onMainWindow(window);
                continue;
            }
            bool known = false;
            for (HWND seen : answered)
                known = known || seen == window;
            if (known)
                continue;
            answered.push_back(window);
            run.messageBoxes.push_back(
                {windowText(window), windowText(GetDlgItem(window, messageText))});
            if (answerBoxes)
                PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    run.finished = exited && jobIsEmpty(job);
    if (!run.finished)
        TerminateJobObject(job, 1);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(job);
    return run;
}

#endif
