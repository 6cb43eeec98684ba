// Starts the Quillmarsh2 stand-in (quillmarsh2.exe beside the calling program) and stops
// it again. The application holds the mutex "VantorelAppMutex" while it runs.
#ifndef QMHOOK_STANDINS_APPLICATION_H
#define QMHOOK_STANDINS_APPLICATION_H

#include <windows.h>

#include <string>

// The directory of the running program, with a trailing backslash.
std::string programDirectory();

class RunningApplication {
public:
    RunningApplication() = default;
    ~RunningApplication();
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

    // Returns once the application holds its mutex; false if it could not be started. With
    // a session number it runs as in that session (see quillmarsh2.cpp).
    bool start(long session = -1);
    // The event that ends it, as the WTSAPI32 double's QMDOUBLE_CLOSE_EVENT wants it.
    const std::string& quitEvent() const { return quitName; }
    // Asks the application to end and waits until its process is gone.
    void stop();

private:
    PROCESS_INFORMATION process = {};
    HANDLE quit = nullptr;
    std::string quitName;
};

#endif
