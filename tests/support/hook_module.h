// The hook DLL as a host sees it: loaded by path from the test program's directory and
// called through GetProcAddress.
#ifndef QMHOOK_TESTS_HOOK_MODULE_H
#define QMHOOK_TESTS_HOOK_MODULE_H

#include "common/application.h"
#include "hook/hook.h"
#include "netapi32/double.h"

#include <lm.h>

#include <gtest/gtest.h>

#include <string>

inline HMODULE hookModule()
{
    static HMODULE module = LoadLibraryA((programDirectory() + "qmhook.dll").c_str());
    return module;
}

inline ClearInstallerHookFn loadHook()
{
    HMODULE module = hookModule();
    return reinterpret_cast<ClearInstallerHookFn>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, "ClearInstallerHook") : nullptr));
}

inline std::string systemDirectory()
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    return std::string(path, length);
}

// The netapi32 module of this process, or null when none is loaded.
inline HMODULE loadedNetapi()
{
    return GetModuleHandleA("netapi32.dll");
}

// A page holding `fill` whose protection is then set: PAGE_NOACCESS makes a pointer that
// faults when read, PAGE_READONLY one that faults when written.
inline void* pageWithProtection(DWORD protection, uintptr_t fill = 0)
{
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    *static_cast<uintptr_t*>(page) = fill;
    DWORD old;
    VirtualProtect(page, 4096, protection, &old);
    return page;
}

// What the NETAPI32 double has recorded; false when the loaded NETAPI32 is not the double.
inline bool readDoubleStats(QmDoubleStats& stats)
{
    HMODULE netapi = loadedNetapi();
    auto read = reinterpret_cast<QmDoubleReadStatsFn>(
        reinterpret_cast<void*>(netapi ? GetProcAddress(netapi, "QmDoubleReadStats") : nullptr));
    if (!read)
        return false;
    read(&stats);
    return true;
}

inline void resetDoubleStats()
{
    HMODULE netapi = loadedNetapi();
    auto reset = reinterpret_cast<QmDoubleResetFn>(
        reinterpret_cast<void*>(netapi ? GetProcAddress(netapi, "QmDoubleReset") : nullptr));
    if (reset)
        reset();
}

// Sets the double's answer for the next NetUserGetInfo calls of this process.
inline void configureDouble(unsigned long status, unsigned long privilege)
{
    SetEnvironmentVariableA(QMDOUBLE_STATUS_VARIABLE, std::to_string(status).c_str());
    SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, std::to_string(privilege).c_str());
}

#endif
