// Stand-in for the Quillmarsh2 application: holds the mutex "VantorelAppMutex" while it
// runs. Usage: quillmarsh2.exe [READY-EVENT QUIT-EVENT [SESSION]]
// With event names it sets READY-EVENT once it holds the mutex and ends when QUIT-EVENT is
// set; without them it runs until its window station closes or ten minutes pass. With a
// SESSION number it runs as in that session: it makes the session's namespace, as the
// platform does for each session ("Session\<id>\" then leads there), and holds the mutex in
// it. The namespace goes when the last program holding it ends.
#include <windows.h>

#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HANDLE makeSessionNamespace(unsigned long session)
{
    typedef LONG(NTAPI * CreateDirectoryFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES);
    auto createDirectory = reinterpret_cast<CreateDirectoryFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateDirectoryObject")));
    std::wstring name = L"\\Sessions\\BNOLINKS\\" + std::to_wstring(session);
    UNICODE_STRING path = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                           static_cast<USHORT>(name.size() * sizeof(wchar_t)), &name[0]};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, 0x80 /* OBJ_OPENIF */, nullptr, nullptr);
    HANDLE directory = nullptr;
    // DIRECTORY_ALL_ACCESS
    if (!createDirectory || createDirectory(&directory, 0xF000F, &attributes) < 0)
        return nullptr;
    return directory;
}

} // namespace

int main(int argc, char** argv)
{
    std::string name = "VantorelAppMutex";
    HANDLE session = nullptr;
    if (argc == 4) {
        unsigned long id = std::strtoul(argv[3], nullptr, 10);
        session = makeSessionNamespace(id);
        if (!session)
            return 1;
        name = "Session\\" + std::to_string(id) + "\\" + name;
    }
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    if (!mutex)
        return 1;
    DWORD waited;
    if (argc >= 3) {
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
    if (session)
        CloseHandle(session);
    return waited == WAIT_OBJECT_0 ? 0 : 2;
}
