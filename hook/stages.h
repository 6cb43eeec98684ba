// The work behind the stage codes, shared by the files of hook/.
#ifndef QMHOOK_STAGES_H
#define QMHOOK_STAGES_H

#include <windows.h>

extern HINSTANCE moduleInstance;

// The platform version record, zero-filled first so that a failed query reads as zeros.
OSVERSIONINFOA queryVersion();

// How stage 3 tells the user why it stops: by default a message box, or the debug output
// where nobody can answer one; under Windows Installer, the engine's own message.
typedef void (*ShowError)(const char* text, void* context);
void showErrorBox(const char* text, void* context);

// True when the installation may go on. Where only users of other sessions hold
// Quillmarsh2, they are asked to close it first. A veto is shown with show and written to
// the event log.
bool preInstallCheck(ShowError show = showErrorBox, void* context = nullptr);

// True when the account is an administrator, or when its privilege cannot be learnt.
bool userIsAdministrator();

// Whether nobody can answer a message box or see a program start: the process's window
// station is not visible, as where a deployment service runs the installer in session 0.
bool nobodyCanAnswer();

// Starts the installed launcher; silent about every failure.
void launchAfterInstall();

// Stage 5: the version gate, then the launch, or where nobody could see it, an event entry.
enum PostInstall { SkippedOnWindows60, SkippedUnseen, Launched };
PostInstall postInstall();

// The Application event log's entries, under the source "Quillmarsh2 Setup": one ID per
// reason (docs/deployment.md lists them).
enum EventReason : DWORD {
    EventNotAdministrator = 1,   // warning: stage 3 stopped, no administrator
    EventApplicationRunning = 2, // warning: stage 3 stopped, Quillmarsh2 runs (and where)
    EventLaunchSkipped = 3,      // warning: nobody could have seen the launcher start
    EventClosedWhenAsked = 4,    // information: its user closed Quillmarsh2 when asked
};

// An entry's text, built in place and cut short where it would not fit.
class EventText {
public:
    EventText& add(const wchar_t* text);
    EventText& addAnsi(const char* text);
    EventText& addNumber(DWORD number);
    const wchar_t* text() const { return chars; }

private:
    static const size_t capacity = 2048;
    wchar_t chars[capacity] = {};
    size_t used = 0;
};

// One entry (EVENTLOG_WARNING_TYPE or EVENTLOG_INFORMATION_TYPE) on the NT family.
void reportEvent(WORD type, EventReason reason, const wchar_t* text);

#endif
