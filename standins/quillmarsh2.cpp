// Stand-in for the Quillmarsh2 application: holds the mutex "VantorelAppMutex" while it
// runs. Usage: quillmarsh2.exe [READY-EVENT QUIT-EVENT]
// With event names it sets READY-EVENT once it holds the mutex and ends when QUIT-EVENT is
// set; without them it runs until its window station closes or ten minutes pass.
#include <windows.h>

int main(int argc, char** argv)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "VantorelAppMutex");
    if (!mutex)
        return 1;
    DWORD waited;
    if (argc == 3) {
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
        HANDLE quit = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
        if (ready)
            SetEvent(ready);
        waited = quit ? WaitForSingleObject(quit, 10 * 60 * 1000) : WAIT_FAILED;
        if (ready)
            CloseHandle(ready);
        if (quit)
            CloseHandle(quit);
    } else {
        Sleep(10 * 60 * 1000);
        waited = WAIT_TIMEOUT;
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}
