// Times qmhook.dll against the platform calls it wraps: each row runs the DLL's operation
// and its peer alternately, several times in one process, and prints the medians, their
// ratio and the ratio's budget. The figures are only comparable within one run.
//
//   qmbench [--quick] [--reps R] [--only GROUP]
//
// GROUP is one of deletion, enumeration, values, stages, loading: the rows of that group
// alone, e.g. to compare the loading row of two builds of the DLL.
// --quick shrinks every N so that the whole table appears in seconds (the test suite's
// smoke run); the figures of such a run mean nothing.
#include "common/application.h"
#include "hook/hook.h"
#include "registry/registry.h"

#include <lm.h>
#include <shlwapi.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char benchKey[] = "Software\\QmhookBench";
const WORD bannerId = 102;

bool quick = false;
int reps = 5;
int overBudget = 0;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "qmbench: %s\n", what);
    std::exit(2);
}

// N for a full run, or a small one for --quick.
long count(long full, long small)
{
    return quick ? small : full;
}

double nowMs()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * now.QuadPart / frequency.QuadPart;
}

double median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

void printHeader()
{
    std::printf("median of %d runs each; within a run the DLL and its peer alternate (in ten "
                "slices where the operation is a series of calls); times in ms\n\n", reps);
    std::printf("%-47s %6s %10s %10s %7s %7s\n", "operation / peer", "N", "qmhook", "peer",
                "ratio", "budget");
}

void printRow(const char* operation, long n, double mine, double peer, double budget)
{
    double ratio = mine / peer;
    bool over = ratio > budget;
    overBudget += over;
    std::printf("%-47s %6ld %10.2f %10.2f %7.3f %7.2f%s\n", operation, n, mine, peer, ratio,
                budget, over ? "  OVER" : "");
    std::fflush(stdout);
}

// Runs prepare (untimed) then work, for the DLL and the peer in turn, reps times, the
// one going first changing from run to run.
template <typename PrepareMine, typename Mine, typename PreparePeer, typename Peer>
void compare(const char* operation, long n, double budget, PrepareMine prepareMine, Mine mine,
             PreparePeer preparePeer, Peer peer)
{
    std::vector<double> mineMs, peerMs;
    auto timeMine = [&] {
        prepareMine();
        double start = nowMs();
        mine();
        mineMs.push_back(nowMs() - start);
    };
    auto timePeer = [&] {
        preparePeer();
        double start = nowMs();
        peer();
        peerMs.push_back(nowMs() - start);
    };
    for (int run = 0; run < reps; ++run) {
        if (run % 2 == 0) {
            timeMine();
            timePeer();
        } else {
            timePeer();
            timeMine();
        }
    }
    printRow(operation, n, median(mineMs), median(peerMs), budget);
}

template <typename Mine, typename Peer>
void compare(const char* operation, long n, double budget, Mine mine, Peer peer)
{
    auto nothing = [] {};
    compare(operation, n, budget, nothing, mine, nothing, peer);
}

// For an operation that is a series of n calls: each run interleaves the two sides in ten
// slices, so that a slow spell of the machine falls on both.
template <typename Mine, typename Peer>
void compareCalls(const char* operation, long n, double budget, Mine mine, Peer peer)
{
    const long slices = std::min(10L, n);
    std::vector<double> mineMs, peerMs;
    for (int run = 0; run < reps; ++run) {
        double mineTotal = 0, peerTotal = 0;
        for (long slice = 0; slice < slices; ++slice) {
            long calls = n / slices + (slice < n % slices);
            auto time = [calls](auto& call) {
                double start = nowMs();
                for (long i = 0; i < calls; ++i)
                    call();
                return nowMs() - start;
            };
            if ((run + slice) % 2 == 0) {
                mineTotal += time(mine);
                peerTotal += time(peer);
            } else {
                peerTotal += time(peer);
                mineTotal += time(mine);
            }
        }
        mineMs.push_back(mineTotal);
        peerMs.push_back(peerTotal);
    }
    printRow(operation, n, median(mineMs), median(peerMs), budget);
}

// Registry fixtures, made with raw calls beneath HKCU\Software\QmhookBench.

HKEY createKey(HKEY parent, const std::string& name)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        fail(("cannot create key " + name).c_str());
    return key;
}

std::string numbered(const char* prefix, long i)
{
    return prefix + std::to_string(i);
}

void addChildren(HKEY parent, long children, bool withValue)
{
    for (long i = 0; i < children; ++i) {
        HKEY child = createKey(parent, numbered("child", i));
        DWORD one = 1;
        if (withValue)
            RegSetValueExA(child, "value", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
        RegCloseKey(child);
    }
}

enum class Shape { wide, bushy, deep };

// Builds bench\tree in the given shape.
void buildTree(HKEY bench, Shape shape)
{
    HKEY tree = createKey(bench, "tree");
    if (shape == Shape::wide)
        addChildren(tree, count(5000, 20), false);
    if (shape == Shape::bushy) {
        for (long i = 0, n = count(50, 3); i < n; ++i) {
            HKEY child = createKey(tree, numbered("branch", i));
            addChildren(child, count(100, 4), true);
            RegCloseKey(child);
        }
    }
    if (shape == Shape::deep) {
        HKEY level = createKey(tree, "level");
        for (long depth = 1, n = count(100, 5); depth < n; ++depth) {
            HKEY next = createKey(level, "level");
            RegCloseKey(level);
            level = next;
        }
        RegCloseKey(level);
    }
    RegCloseKey(tree);
}

void expectTreeGone(HKEY bench)
{
    HKEY tree = nullptr;
    if (RegOpenKeyExA(bench, "tree", 0, KEY_READ, &tree) == ERROR_SUCCESS) {
        RegCloseKey(tree);
        fail("a deletion left the tree behind");
    }
}

void benchDeletion(HKEY bench)
{
    struct {
        Shape shape;
        const char* name;
        long n;
    } shapes[] = {{Shape::wide, "wide", count(5000, 20)},
                  {Shape::bushy, "bushy", count(50 * 100, 3 * 4)},
                  {Shape::deep, "deep", count(100, 5)}};
    for (const auto& shape : shapes) {
        auto build = [&] { buildTree(bench, shape.shape); };
        auto deleteKey = [&] {
            Tarn::Registry registry;
            if (!registry.deleteKey(bench, "tree"))
                fail("deleteKey failed");
            expectTreeGone(bench);
        };
        // RegDeleteTreeA empties the key and, where the platform deletes the key itself
        // too (Wine does), the RegDeleteKeyA that follows answers 2.
        auto deleteTree = [&] {
            RegDeleteTreeA(bench, "tree");
            RegDeleteKeyA(bench, "tree");
            expectTreeGone(bench);
        };
        auto shDeleteKey = [&] {
            SHDeleteKeyA(bench, "tree");
            expectTreeGone(bench);
        };
        std::string row = "deleteKey " + std::string(shape.name);
        compare((row + " / RegDeleteTreeA+RegDeleteKeyA").c_str(), shape.n, 1.00, build,
                deleteKey, build, deleteTree);
        compare((row + " / SHDeleteKeyA").c_str(), shape.n, 1.00, build, deleteKey, build,
                shDeleteKey);
    }
}

void benchEnumeration(HKEY bench)
{
    const long n = count(5000, 20);
    HKEY list = createKey(bench, "list");
    addChildren(list, n, false);
    for (long i = 0; i < n; ++i) {
        DWORD number = static_cast<DWORD>(i);
        RegSetValueExA(list, numbered("value", i).c_str(), 0, REG_DWORD,
                       reinterpret_cast<BYTE*>(&number), 4);
    }
    // The object takes charge of the root handed to openKey: hand it the predefined one.
    Tarn::Registry registry;
    if (!registry.openKey(HKEY_CURRENT_USER, "Software\\QmhookBench\\list"))
        fail("cannot open the enumeration key");
    char name[256];
    unsigned char data[64];
    unsigned long type;
    long seen = 0;

    compare("enumerateChildKeys / RegEnumKeyExA", n, 1.05,
            [&] {
                while (registry.enumerateChildKeys(name, sizeof name) != -1)
                    ++seen;
            },
            [&] {
                FILETIME written;
                for (DWORD i = 0;; ++i) {
                    DWORD length = sizeof name;
                    if (RegEnumKeyExA(list, i, name, &length, nullptr, nullptr, nullptr,
                                      &written) != ERROR_SUCCESS)
                        break;
                    ++seen;
                }
            });
    compare("enumerateChildKeyValues / RegEnumValueA", n, 1.05,
            [&] {
                while (registry.enumerateChildKeyValues(name, sizeof name, &type, data,
                                                        sizeof data) != -1)
                    ++seen;
            },
            [&] {
                for (DWORD i = 0;; ++i) {
                    DWORD length = sizeof name;
                    DWORD size = sizeof data;
                    if (RegEnumValueA(list, i, name, &length, nullptr, &type, data, &size) !=
                        ERROR_SUCCESS)
                        break;
                    ++seen;
                }
            });
    if (seen != 4 * reps * n)
        fail("an enumeration missed items");
    RegCloseKey(list);
    registry.closeKey();
    if (!registry.deleteKey(bench, "list"))
        fail("cannot delete the enumeration key");
}

void benchValues(HKEY bench)
{
    const long n = count(20000, 50);
    HKEY raw = createKey(bench, "values");
    Tarn::Registry registry;
    if (!registry.openKey(HKEY_CURRENT_USER, "Software\\QmhookBench\\values"))
        fail("cannot open the values key");
    const char text[] = "C:\\Program Files\\Quillmarsh2";
    const char list[] = "first\0second\0";
    const unsigned char bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    int number = 20091;
    registry.writeValue("number", number);
    registry.writeValue("text", text, 0);
    registry.writeValue("data", bytes, sizeof bytes);

    auto query = [raw](const char* name, void* buffer, DWORD capacity) {
        DWORD type, size = capacity;
        if (RegQueryValueExA(raw, name, nullptr, &type, static_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS)
            fail("a raw read failed");
    };
    auto set = [raw](const char* name, DWORD type, const void* data, DWORD size) {
        if (RegSetValueExA(raw, name, 0, type, static_cast<const BYTE*>(data), size) !=
            ERROR_SUCCESS)
            fail("a raw write failed");
    };
    auto check = [](bool ok) {
        if (!ok)
            fail("a qmhook value call failed");
    };
    unsigned char scratch[1024];
    std::string out;
    int read = 0;

    compareCalls("readValue(int*) / RegQueryValueExA", n, 1.05,
            [&] { check(registry.readValue("number", &read)); },
            [&] { query("number", scratch, 255); });
    compareCalls("readValue(std::string&) / RegQueryValueExA", n, 1.05,
            [&] { check(registry.readValue("text", out)); },
            [&] { query("text", scratch, 1024); });
    compareCalls("readValue(void*, size) / RegQueryValueExA", n, 1.05,
            [&] { check(registry.readValue("data", static_cast<void*>(scratch), 260)); },
            [&] { query("data", scratch, 260); });
    compareCalls("readValue(char*, size) / RegQueryValueExA", n, 1.05,
            [&] {
                check(registry.readValue("text", reinterpret_cast<char*>(scratch), 260));
            },
            [&] { query("text", scratch, 260); });
    compareCalls("writeValue(string, string) / RegSetValueExA", n, 1.05,
            [&] { check(registry.writeValue(std::string("text"), std::string(text))); },
            [&] { set("text", REG_SZ, text, sizeof text); });
    compareCalls("writeValue(int) / RegSetValueExA", n, 1.05,
            [&] { check(registry.writeValue("number", number)); },
            [&] { set("number", REG_DWORD, &number, sizeof number); });
    compareCalls("writeValue(data, size) / RegSetValueExA", n, 1.05,
            [&] { check(registry.writeValue("data", bytes, sizeof bytes)); },
            [&] { set("data", REG_BINARY, bytes, sizeof bytes); });
    compareCalls("writeValue(text, 0) / RegSetValueExA", n, 1.05,
            [&] { check(registry.writeValue("text", text, 0)); },
            [&] { set("text", REG_SZ, text, std::strlen(text) + 1); });
    compareCalls("writeValue(list, size) / RegSetValueExA", n, 1.05,
            [&] { check(registry.writeValue("list", list, sizeof list)); },
            [&] { set("list", REG_MULTI_SZ, list, sizeof list); });
    if (read != number || out != text)
        fail("a qmhook read returned the wrong value");

    compareCalls("openKey+closeKey / RegOpenKeyExA+RegCloseKey", n, 1.05,
            [&] {
                Tarn::Registry object;
                check(object.openKey(HKEY_CURRENT_USER, benchKey));
                object.closeKey();
            },
            [&] {
                HKEY key;
                if (RegOpenKeyExA(HKEY_CURRENT_USER, benchKey, 0, 0x2001F, &key) !=
                    ERROR_SUCCESS)
                    fail("a raw open failed");
                RegCloseKey(key);
            });
    registry.closeKey();
    RegCloseKey(raw);
}

template <typename Function>
Function lookUp(const char* module, const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name)));
}

bool isNt()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

HMODULE loadFromSystem(const char* name)
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    wsprintfA(path + length, "\\%s", name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// What stage 3 does on its passing path on the NT family, call for call: the account, then
// the mutex in the installer's session, in session 0 and in each other session listed.
bool rawPreInstallCheck()
{
    typedef NET_API_STATUS(WINAPI * GetInfoFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
    typedef NET_API_STATUS(WINAPI * FreeFn)(LPVOID);
    typedef BOOL(WINAPI * SessionsFn)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOA*, DWORD*);
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    HMODULE netapi = loadFromSystem("NETAPI32.DLL");
    auto getInfo = reinterpret_cast<GetInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetUserGetInfo")));
    auto freeBuffer = reinterpret_cast<FreeFn>(
        reinterpret_cast<void*>(GetProcAddress(netapi, "NetApiBufferFree")));
    WCHAR name[UNLEN + 1];
    DWORD capacity = UNLEN + 1;
    lookUp<BOOL(WINAPI*)(LPWSTR, LPDWORD)>("advapi32.dll", "GetUserNameW")(name, &capacity);
    LPBYTE record = nullptr;
    NET_API_STATUS status = getInfo(nullptr, name, 1, &record);
    DWORD privilege = status == NERR_Success ? reinterpret_cast<USER_INFO_1*>(record)->usri1_priv : 0;
    if (record)
        freeBuffer(record);
    bool running = false;
    for (const char* mutex : {"VantorelAppMutex", "Global\\VantorelAppMutex"}) {
        if (HANDLE held = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, mutex)) {
            CloseHandle(held);
            running = true;
        }
        if (!isNt())
            break;
    }
    DWORD own = 0;
    lookUp<BOOL(WINAPI*)(DWORD, DWORD*)>("kernel32.dll", "ProcessIdToSessionId")(
        GetCurrentProcessId(), &own);
    HMODULE wts = loadFromSystem("WTSAPI32.DLL");
    auto sessions = reinterpret_cast<SessionsFn>(
        reinterpret_cast<void*>(GetProcAddress(wts, "WTSEnumerateSessionsA")));
    auto freeMemory = reinterpret_cast<void(WINAPI*)(PVOID)>(
        reinterpret_cast<void*>(GetProcAddress(wts, "WTSFreeMemory")));
    // Looked up for the asks, which a passing check never sends.
    GetProcAddress(wts, "WTSSendMessageW");
    GetProcAddress(wts, "WTSQuerySessionInformationW");
    PWTS_SESSION_INFOA listed = nullptr;
    DWORD count = 0;
    if (sessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count) && listed)
        freeMemory(listed);
    FreeLibrary(wts);
    return privilege == USER_PRIV_ADMIN && !running;
}

// What stage 5 does where the installation is in place but its launcher is missing, call
// for call: the version gate, the window station, both keys and values through the wide
// calls, the directory and the short path that fails.
void rawPostInstall()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    USEROBJECTFLAGS flags = {};
    lookUp<BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD)>("user32.dll",
        "GetUserObjectInformationA")(
        lookUp<HWINSTA(WINAPI*)()>("user32.dll", "GetProcessWindowStation")(), UOI_FLAGS,
        &flags, sizeof flags, nullptr);
    isNt();
    auto query = lookUp<LONG(WINAPI*)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)>(
        "advapi32.dll", "RegQueryValueExW");
    auto open = lookUp<LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)>("advapi32.dll",
                                                                          "RegOpenKeyExW");
    HKEY vendor, product;
    wchar_t name[MAX_PATH], directory[MAX_PATH], launcher[MAX_PATH], shortPath[MAX_PATH];
    DWORD type, size = sizeof name;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software", 0, 0x2001F, &vendor) ||
        query(vendor, L"InstallLaunchPath", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ||
        open(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Vantorel Software\\") + name).c_str(), 0,
             0x2001F, &product))
        fail("the raw stage 5 found no installation");
    size = sizeof directory;
    query(product, L"Install Path", nullptr, &type, reinterpret_cast<BYTE*>(directory), &size);
    UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(mode | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    lookUp<BOOL(WINAPI*)(LPCWSTR)>("kernel32.dll", "SetCurrentDirectoryW")(directory);
    wsprintfW(launcher, L"%s\\Tovelgate.exe", directory);
    if (lookUp<DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD)>("kernel32.dll", "GetShortPathNameW")(
            launcher, shortPath, MAX_PATH))
        fail("the raw stage 5 found a launcher");
    SetErrorMode(mode);
    RegCloseKey(product);
    RegCloseKey(vendor);
}

void benchStages(HMODULE module)
{
    auto hook = reinterpret_cast<ClearInstallerHookFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "ClearInstallerHook")));
    if (!hook)
        fail("qmhook.dll exports no ClearInstallerHook");
    const long banners = count(2000, 10);
    compareCalls("stage 1 / LoadBitmapA", banners, 1.05,
            [&] {
                void* bitmap = nullptr;
                if (hook(HookStageBanner, nullptr, &bitmap) != 1 || !bitmap)
                    fail("stage 1 handed over no bitmap");
                DeleteObject(static_cast<HBITMAP>(bitmap));
            },
            [&] {
                HBITMAP bitmap = LoadBitmapA(module, MAKEINTRESOURCEA(bannerId));
                if (!bitmap)
                    fail("LoadBitmapA failed");
                DeleteObject(bitmap);
            });
    compareCalls("stage 3 passing / the same calls raw", count(2000, 10), 1.05,
            [&] {
                if (hook(HookStagePreInstall, nullptr, nullptr) != 1)
                    fail("stage 3 did not pass: run with the NETAPI32 double");
            },
            [&] {
                if (!rawPreInstallCheck())
                    fail("the raw check did not pass");
            });
    // An installation whose launcher is missing: both sides read it all and start nothing.
    char here[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, here);
    std::string directory = std::string(here) + "\\qmbench-installed";
    CreateDirectoryA(directory.c_str(), nullptr);
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software", "InstallLaunchPath",
                    REG_SZ, "Quillmarsh2", 12);
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software\\Quillmarsh2",
                    "Install Path", REG_SZ, directory.c_str(), directory.size() + 1);
    compareCalls("stage 5 without a launcher / the same calls", count(2000, 10), 1.05,
            [&] {
                if (hook(HookStagePostInstall, nullptr, nullptr) != 1)
                    fail("stage 5 did not answer 1");
            },
            [&] { rawPostInstall(); });
    SetCurrentDirectoryA(here);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software");
    RemoveDirectoryA(directory.c_str());
}

// qmhook.dll itself is loaded by this program already; a copy of it under fresh\ is loaded
// afresh each time, as is a DLL that carries nothing but the same bitmap.
void benchLoading()
{
    const long n = count(200, 5);
    std::string directory = programDirectory() + "fresh\\";
    auto load = [](const std::string& path) {
        return [path] {
            HMODULE module = LoadLibraryA(path.c_str());
            if (!module || module == GetModuleHandleA("qmhook.dll"))
                fail(("cannot load a fresh " + path).c_str());
            FreeLibrary(module);
        };
    };
    compareCalls("LoadLibraryA+FreeLibrary / resource-only DLL", n, 1.5,
                 load(directory + "qmhook.dll"), load(directory + "banner.dll"));
}

// Code: the raw size of the sections that hold code.
void printSize(HMODULE module)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    std::ifstream file(std::string(path, length), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto image = reinterpret_cast<const BYTE*>(module);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    unsigned long code = 0;
    for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
        if (section->Characteristics & IMAGE_SCN_CNT_CODE)
            code += section->SizeOfRawData;
    HRSRC banner = FindResourceA(module, MAKEINTRESOURCEA(bannerId), RT_BITMAP);
    unsigned long bannerSize = banner ? SizeofResource(module, banner) : 0;
    bool over = bytes.size() > 256 * 1024;
    overBudget += over;
    std::printf("\nqmhook.dll: %lu bytes (%.1f KiB, budget 256 KiB)%s; code %lu bytes, "
                "banner %lu bytes\n",
                static_cast<unsigned long>(bytes.size()), bytes.size() / 1024.0,
                over ? "  OVER" : "", code, bannerSize);
}

} // namespace

int main(int argc, char** argv)
{
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick"))
            quick = true;
        else if (!std::strcmp(argv[i], "--reps") && i + 1 < argc)
            reps = std::max(5, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--only") && i + 1 < argc)
            only = argv[++i];
        else {
            std::fprintf(stderr, "usage: qmbench [--quick] [--reps R (at least 5)] "
                                 "[--only deletion|enumeration|values|stages|loading]\n");
            return 2;
        }
    }
    auto runs = [&only](const char* group) { return only.empty() || only == group; };
    HMODULE module = GetModuleHandleA("qmhook.dll");
    if (!module)
        fail("qmhook.dll is not loaded");

    RegDeleteTreeA(HKEY_CURRENT_USER, benchKey);
    HKEY bench = createKey(HKEY_CURRENT_USER, benchKey);
    printHeader();
    if (runs("deletion"))
        benchDeletion(bench);
    if (runs("enumeration"))
        benchEnumeration(bench);
    if (runs("values"))
        benchValues(bench);
    if (runs("stages"))
        benchStages(module);
    if (runs("loading"))
        benchLoading();
    printSize(module);
    RegCloseKey(bench);
    RegDeleteTreeA(HKEY_CURRENT_USER, benchKey);
    RegDeleteKeyA(HKEY_CURRENT_USER, benchKey);

    std::printf("rows over budget: %d\n", overBudget);
    return 0;
}
