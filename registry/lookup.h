// Platform functions that not every Windows qmhook.dll loads on exports: a loader refuses a
// DLL that imports a function its system lacks, so these are looked up when they are needed.
// Internal to the DLL; not installed.
#ifndef QMHOOK_REGISTRY_LOOKUP_H
#define QMHOOK_REGISTRY_LOOKUP_H

#include <windows.h>

namespace Tarn {

// module!name, or null.
template <typename Function>
Function procedure(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, name) : nullptr));
}

// module!name from a module the process has loaded already, or null.
template <typename Function>
Function lookUp(const char* module, const char* name)
{
    return procedure<Function>(GetModuleHandleA(module), name);
}

// Loads a DLL from the system directory only. An installer runs elevated, often from a
// download folder; a copy planted there must never be loaded by the search path.
inline HMODULE loadSystemLibrary(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenA(name) + 1 > MAX_PATH)
        return nullptr;
    path[length] = '\\';
    lstrcpyA(path + length + 1, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The NT family, where the wide functions work; on the 9x family they are stubs at best.
inline bool isNtFamily()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

} // namespace Tarn

#endif
