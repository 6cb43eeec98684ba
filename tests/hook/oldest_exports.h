// What Windows 98 and Windows NT 4.0, the oldest systems qmhook.dll loads on, both export
// by name: a loader refuses a DLL whose import it lacks. The DLL may import only these;
// anything newer is looked up at run time. Each entry names where that fact comes from.
#ifndef QMHOOK_TESTS_OLDEST_EXPORTS_H
#define QMHOOK_TESTS_OLDEST_EXPORTS_H

struct OldestExport {
    const char* dll;
    const char* name;
    const char* since; // the first systems of each family that export it
    const char* source;
};

namespace oldest {

const char kernel32Base[] = "mingw-w64-crt lib32/kernel32.def, symbols before its first "
                            "version note";
const char advapi32Base[] = "mingw-w64-crt lib32/advapi32.def, symbols before its first "
                            "version note";
const char advapi32Crypto[] = "mingw-w64-crt lib32/advapi32.def, under the Windows 95 OSR2 / "
                              "NT 4.0 note; CryptoAPI 1.0 documentation";
const char msvcrt42[] = "mingw-w64-crt lib-common/msvcrt.def.in, the Visual C++ 4.2 set that "
                        "NT 4.0's own msvcrt.dll exports";
const char oleaut32Ole2[] = "OLE 2 Automation: oleaut32.dll of Windows 95 and NT 3.51, "
                            "BSTR functions of its first release";
const char user32Core[] = "Win32 USER core: Windows 95 and NT 3.1 documentation";

} // namespace oldest

const OldestExport oldestExports[] = {
    {"KERNEL32.DLL", "CloseHandle", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "CreateSemaphoreA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "DeleteCriticalSection", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "EnterCriticalSection", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "FreeLibrary", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetCurrentProcessId", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetCurrentThreadId", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetLastError", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetModuleHandleA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetProcAddress", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetShortPathNameA", "95, NT 3.5", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetSystemDirectoryA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "GetVersionExA", "95, NT 3.5", oldest::kernel32Base},
    {"KERNEL32.DLL", "InitializeCriticalSection", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "LeaveCriticalSection", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "LoadLibraryExA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "MultiByteToWideChar", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "OpenMutexA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "OutputDebugStringA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "ReleaseSemaphore", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "SetCurrentDirectoryA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "SetErrorMode", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "SetLastError", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "Sleep", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "TlsAlloc", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "TlsFree", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "TlsGetValue", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "TlsSetValue", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "VirtualProtect", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "VirtualQuery", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "WaitForSingleObject", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "lstrcpyA", "95, NT 3.1", oldest::kernel32Base},
    {"KERNEL32.DLL", "lstrlenA", "95, NT 3.1", oldest::kernel32Base},

    {"ADVAPI32.DLL", "GetUserNameA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegCloseKey", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegCreateKeyExA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegDeleteKeyA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegDeleteValueA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegEnumKeyExA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegEnumValueA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegOpenKeyExA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegQueryInfoKeyA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegQueryValueExA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "RegSetValueExA", "95, NT 3.1", oldest::advapi32Base},
    {"ADVAPI32.DLL", "CryptAcquireContextA", "95 OSR2, NT 4.0", oldest::advapi32Crypto},
    {"ADVAPI32.DLL", "CryptGenRandom", "95 OSR2, NT 4.0", oldest::advapi32Crypto},
    {"ADVAPI32.DLL", "CryptReleaseContext", "95 OSR2, NT 4.0", oldest::advapi32Crypto},

    {"MSVCRT.DLL", "_amsg_exit", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_close", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_exit", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_initterm", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_iob", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_lock", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_open", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_spawnl", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_unlock", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "_write", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "abort", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "calloc", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "free", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "getenv", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "fwrite", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "malloc", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "memchr", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "memcmp", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "memcpy", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "memmove", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "memset", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "realloc", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strchr", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strcmp", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strlen", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strncmp", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strpbrk", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strspn", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "strtoul", "VC++ 4.2", oldest::msvcrt42},
    {"MSVCRT.DLL", "vfprintf", "VC++ 4.2", oldest::msvcrt42},

    {"OLEAUT32.DLL", "SysAllocStringLen", "95, NT 3.51", oldest::oleaut32Ole2},
    {"OLEAUT32.DLL", "SysFreeString", "95, NT 3.51", oldest::oleaut32Ole2},

    {"USER32.DLL", "LoadBitmapA", "95, NT 3.1", oldest::user32Core},
    {"USER32.DLL", "MessageBoxA", "95, NT 3.1", oldest::user32Core},
    {"USER32.DLL", "wsprintfA", "95, NT 3.1", oldest::user32Core},
};

#endif
