#include "stages.h"

#include "registry/access.h"
#include "registry/lookup.h"
#include "registry/registry.h"

#include <process.h>

#include <cstring>

namespace {

const char vendorKey[] = "Software\\Vantorel Software";

template <typename Char>
size_t length(const Char* text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

template <typename Char>
const Char* findNul(const Char* text, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (!text[i])
            return text + i;
    return nullptr;
}

// first + second into a MAX_PATH buffer; false, and nothing written, when it would not fit.
template <typename Char, size_t Size>
bool join(Char (&out)[Size], const Char* first, const Char* second)
{
    size_t a = length(first), b = length(second);
    if (a + b + 1 > Size)
        return false;
    std::memcpy(out, first, a * sizeof(Char));
    std::memcpy(out + a, second, (b + 1) * sizeof(Char));
    return true;
}

// Win32 takes '/' for '\\': from here on one separator, as the launcher's path and its
// command line show it.
template <typename Char>
void useBackslashes(Char* path)
{
    for (; *path; ++path)
        if (*path == '/')
            *path = '\\';
}

// A drive letter with its backslash, or a UNC path (\\server\share). Anything else would be
// taken relative to the host's current drive or directory: an empty value would start
// \Tovelgate.exe from the root of the host's drive. The long-path and device prefixes (\\?\,
// \\.\) look like UNC but are not: the launcher would get the prefix in its own name, or
// nothing would start after the directory had changed.
template <typename Char>
bool isAbsolute(const Char* path)
{
    bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    if (letter && path[1] == ':' && path[2] == '\\')
        return true;
    if (path[0] != '\\' || path[1] != '\\' || !path[2] || path[2] == '\\')
        return false;
    bool prefix = (path[2] == '?' || path[2] == '.') && (path[3] == '\\' || !path[3]);
    return !prefix;
}

// The launcher's own name as its runtime will split it. A short path holds no blank,
// except on a volume without 8.3 names, where it is the long path: only then is it quoted,
// so that it stays one argument; every other command line is left exactly as it was.
template <typename Char, size_t Size>
const Char* programName(const Char* shortPath, Char (&quoted)[Size])
{
    static_assert(Size >= MAX_PATH + 2, "room for the quotes");
    size_t n = length(shortPath); // below MAX_PATH
    bool blank = false;
    for (size_t i = 0; i < n; ++i)
        blank = blank || shortPath[i] == ' ' || shortPath[i] == '\t';
    if (!blank)
        return shortPath;
    quoted[0] = '"';
    std::memcpy(quoted + 1, shortPath, n * sizeof(Char));
    quoted[n + 1] = '"';
    quoted[n + 2] = 0;
    return quoted;
}

// A path on a removable drive without a medium would raise the system's critical-error box,
// which nobody may be there to answer: while this lives, such a path simply fails.
class CriticalErrorBoxesOff {
public:
    CriticalErrorBoxesOff() : previous(SetErrorMode(SEM_FAILCRITICALERRORS))
    {
        SetErrorMode(previous | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    }
    ~CriticalErrorBoxesOff() { SetErrorMode(previous); }
    CriticalErrorBoxesOff(const CriticalErrorBoxesOff&) = delete;
    CriticalErrorBoxesOff& operator=(const CriticalErrorBoxesOff&) = delete;

private:
    UINT previous;
};

// The 9x family: the ANSI calls, values read as the bytes the ANSI call returns.
struct AnsiCalls {
    typedef char Char;
    const char* productKeyPrefix = "Software\\Vantorel Software\\";
    const char* launcherName = "\\Tovelgate.exe";
    const char* launchPathValue = "InstallLaunchPath";
    const char* installPathValue = "Install Path";

    // The buffer is filled with non-NUL bytes first, so a value that ends without a NUL
    // inside the buffer is refused rather than read on into bytes the platform never wrote.
    bool readText(Tarn::Registry& key, const char* name, char (&text)[MAX_PATH]) const
    {
        std::memset(text, 0x01, sizeof text);
        return key.readValue(name, text, static_cast<long>(sizeof text)) &&
               findNul(text, MAX_PATH);
    }
    bool openKey(Tarn::Registry& registry, const char* path) const
    {
        return registry.openKey(HKEY_LOCAL_MACHINE, path);
    }
    void setDirectory(const char* directory) const { SetCurrentDirectoryA(directory); }
    DWORD shortPath(const char* path, char* out) const
    {
        return GetShortPathNameA(path, out, MAX_PATH);
    }
    // The runtime joins the arguments with single blanks and adds no quotes: a product name
    // with blanks reaches the launcher as several words.
    void start(const char* program, const char* self, const char* product) const
    {
        intptr_t process = _spawnl(_P_NOWAIT, program, self, "/path", product, nullptr);
        if (process != -1)
            CloseHandle(reinterpret_cast<HANDLE>(process));
    }
};

// The NT family: the wide calls, looked up at run time, so that a directory or a product
// name outside the ANSI code page, as a Unicode installer writes it, works too.
struct WideCalls {
    typedef wchar_t Char;
    const wchar_t* productKeyPrefix = L"Software\\Vantorel Software\\";
    const wchar_t* launcherName = L"\\Tovelgate.exe";
    const wchar_t* launchPathValue = L"InstallLaunchPath";
    const wchar_t* installPathValue = L"Install Path";

    BOOL(WINAPI* setCurrentDirectory)(LPCWSTR) = nullptr;
    DWORD(WINAPI* getShortPathName)(LPCWSTR, LPWSTR, DWORD) = nullptr;
    BOOL(WINAPI* createProcess)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                LPPROCESS_INFORMATION) = nullptr;

    WideCalls()
    {
        using Tarn::lookUp;
        setCurrentDirectory = lookUp<decltype(setCurrentDirectory)>("kernel32.dll",
                                                                    "SetCurrentDirectoryW");
        getShortPathName = lookUp<decltype(getShortPathName)>("kernel32.dll",
                                                              "GetShortPathNameW");
        createProcess = lookUp<decltype(createProcess)>("kernel32.dll", "CreateProcessW");
    }
    bool found() const { return setCurrentDirectory && getShortPathName && createProcess; }

    // As the ANSI read reads a value: the string types as text, which the wide call hands
    // over in UTF-16 instead of turning each letter outside the code page into '?'; any
    // other type as the bytes of an ANSI text, at most MAX_PATH of them. Without a NUL
    // inside the buffer there is no text.
    bool readText(Tarn::Registry& key, const wchar_t* name, wchar_t (&text)[MAX_PATH]) const
    {
        union {
            BYTE bytes[sizeof text];
            wchar_t units[MAX_PATH];
        } data;
        std::memset(&data, 0x01, sizeof data);
        DWORD type = REG_NONE, size = sizeof data;
        if (Tarn::RegistryAccess::queryValueWide(key, name, &type, data.bytes, &size) !=
            ERROR_SUCCESS)
            return false;
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            const wchar_t* end = findNul(data.units, MAX_PATH);
            if (!end)
                return false;
            std::memcpy(text, data.units, (end - data.units + 1) * sizeof(wchar_t));
            return true;
        }
        const char* bytes = reinterpret_cast<const char*>(data.bytes);
        return size <= MAX_PATH && findNul(bytes, MAX_PATH) &&
               MultiByteToWideChar(CP_ACP, 0, bytes, -1, text, MAX_PATH) > 0;
    }
    bool openKey(Tarn::Registry& registry, const wchar_t* path) const
    {
        return Tarn::RegistryAccess::openKeyWide(registry, HKEY_LOCAL_MACHINE, path);
    }
    void setDirectory(const wchar_t* directory) const { setCurrentDirectory(directory); }
    DWORD shortPath(const wchar_t* path, wchar_t* out) const
    {
        return getShortPathName(path, out, MAX_PATH);
    }
    // The command line the runtime's spawn would make: the words joined by single blanks,
    // no quotes added; the handles the host lets its children inherit are inherited.
    void start(const wchar_t* program, const wchar_t* self, const wchar_t* product) const
    {
        wchar_t commandLine[2 * MAX_PATH + 16]; // self < MAX_PATH + 2, product < MAX_PATH
        wchar_t* end = commandLine;
        for (const wchar_t* word : {self, L" /path ", product}) {
            size_t n = length(word);
            std::memcpy(end, word, n * sizeof(wchar_t));
            end += n;
        }
        *end = 0;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (createProcess(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
};

// directory\Tovelgate.exe with one separator, however the directory ends ([INSTALLDIR] ends
// with one). A directory of 246 to 259 characters leaves no room for the name; the
// platform then starts no program from it either (Wine refuses with 123). Where the volume
// keeps short names, the directory's short form serves as the directory, for both.
template <typename Calls, typename Char>
bool placeLauncher(const Calls& calls, Char (&directory)[MAX_PATH], Char (&launcher)[MAX_PATH])
{
    auto joinName = [&]() {
        size_t n = length(directory);
        return join(launcher, directory, calls.launcherName + (directory[n - 1] == '\\'));
    };
    if (joinName())
        return true;
    Char shortDirectory[MAX_PATH];
    DWORD shortLength = calls.shortPath(directory, shortDirectory);
    if (shortLength == 0 || shortLength >= MAX_PATH)
        return false;
    std::memcpy(directory, shortDirectory, (shortLength + 1) * sizeof(Char));
    return joinName();
}

// One object serves both keys: the second openKey replaces the first.
template <typename Calls>
void launchWith(const Calls& calls, Tarn::Registry& registry)
{
    typedef typename Calls::Char Char;
    Char product[MAX_PATH];
    Char productKey[MAX_PATH];
    if (!registry.openKey(HKEY_LOCAL_MACHINE, vendorKey) ||
        !calls.readText(registry, calls.launchPathValue, product) ||
        !join(productKey, calls.productKeyPrefix, product) || !calls.openKey(registry, productKey))
        return;

    Char directory[MAX_PATH];
    Char launcher[MAX_PATH];
    Char shortPath[MAX_PATH];
    if (!calls.readText(registry, calls.installPathValue, directory))
        return;
    useBackslashes(directory);
    if (!isAbsolute(directory))
        return;
    DWORD shortLength = 0;
    {
        CriticalErrorBoxesOff quiet;
        if (!placeLauncher(calls, directory, launcher))
            return;
        calls.setDirectory(directory);
        shortLength = calls.shortPath(launcher, shortPath);
    }
    if (shortLength == 0 || shortLength >= MAX_PATH)
        return;

    Char quoted[MAX_PATH + 2];
    calls.start(shortPath, programName(shortPath, quoted), product);
}

} // namespace

void launchAfterInstall()
{
    // Read and write access, although only reading is needed: an account that may not write
    // the product's keys gets no launch.
    Tarn::Registry registry;
    if (Tarn::isNtFamily()) {
        WideCalls wide;
        if (wide.found()) {
            launchWith(wide, registry);
            return;
        }
    }
    launchWith(AnsiCalls(), registry);
}
