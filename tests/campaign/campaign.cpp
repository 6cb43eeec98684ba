// A bad-input campaign against the hardened qmhook.dll, reproducible from its seed:
//  - generated registry states for stage 5, each judged by an oracle of this file's own,
//    which says whether the launcher must start and with which command line;
//  - random values and key names through every readValue form and both enumerations,
//    each result checked against the platform's own answer to the same call.
//
//   campaign [--seed S] [--cases N]      (N states and N values; default 5000 each)
// Without --cases, QMHOOK_CAMPAIGN_CASES sets N where it is given (scripts/campaign: 5000);
// in the emulated machine of scripts/wine-vm (QMHOOK_EMULATED) N is smaller, see main.
#include "common/application.h"
#include "hook/hook.h"
#include "registry/registry.h"
#include "tests/support/launch_oracle.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const char vendor[] = "Software\\Vantorel Software";
const char scratchKey[] = "Software\\QmhookCampaign";
const size_t textBuffer = 260;  // the launch's working buffers, NUL included

std::mt19937 rng;
int failures = 0;

void failure(const std::string& what)
{
    if (++failures <= 20)
        std::printf("FAIL %s\n", what.c_str());
}

int uniform(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(rng);
}

bool chance(int percent)
{
    return uniform(1, 100) <= percent;
}

template <typename T, size_t N>
const T& pick(const T (&items)[N])
{
    return items[uniform(0, N - 1)];
}

// Lengths crowd the edges of the 260- and 520-byte limits.
size_t edgyLength()
{
    const size_t edges[] = {0, 1, 2, 258, 259, 260, 261, 262, 519, 520, 521};
    return chance(75) ? pick(edges) : uniform(0, 2000);
}

std::string randomBytes(size_t length)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        int kind = uniform(0, 19);
        byte = kind == 0 ? '\0' : kind == 1 ? ' ' : kind <= 3 ? char(uniform(0x80, 0xFF))
                                                              : char(uniform(0x21, 0x7E));
    }
    return bytes;
}

const DWORD valueTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};

std::string escaped(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, c < 0x20 || c > 0x7E ? "\\x%02X" : "%c", c);
        out += hex;
    }
    return out;
}

// Keys are made with the wide call, which takes paths of any length, from the name the ANSI
// calls would see; values with the ANSI call (exact bytes).
HKEY createKey(const std::string& path)
{
    std::wstring wide(path.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], wide.size()));
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    return key;
}

bool setValue(HKEY key, const char* name, DWORD type, const std::string& bytes)
{
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          bytes.size()) == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------
// Stage 5

struct Value {
    bool present = false;
    DWORD type = REG_SZ;
    std::string bytes;
};

struct State {
    bool vendorKey = true;
    Value launchPath;            // InstallLaunchPath, beneath the vendor key
    std::string productKey;      // created beneath the vendor key unless empty
    Value installPath;           // Install Path, beneath the product key
};

// Installation directories, absolute: two with the launcher (one with blanks), one without,
// and one with the launcher whose launcher path is exactly 259 characters long.
std::vector<std::string> launcherDirectories;
std::string emptyDirectory;
std::string campaignRoot;

void makeDirectories()
{
    campaignRoot = "C:\\qmcampaign-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(campaignRoot.c_str(), nullptr);
    CreateDirectoryA((campaignRoot + "\\records").c_str(), nullptr);
    auto make = [](const std::string& path, bool launcher) {
        CreateDirectoryA(path.c_str(), nullptr);
        if (launcher && !CopyFileA((programDirectory() + "tovelgate.exe").c_str(),
                                   (path + "\\Tovelgate.exe").c_str(), FALSE))
            failure("cannot copy the launcher to " + path);
    };
    std::string programs = campaignRoot + "\\Program Files";
    make(programs, false);
    launcherDirectories.push_back(programs + "\\Quillmarsh2");
    launcherDirectories.push_back(programs + "\\Vantorel Quill marsh");
    std::string deep = campaignRoot + "\\" + std::string(120, 'd');
    make(deep, false);
    deep += "\\" + std::string(259 - 14 - deep.size() - 1, 'e');
    launcherDirectories.push_back(deep);
    for (const std::string& directory : launcherDirectories)
        make(directory, true);
    emptyDirectory = programs + "\\NoLauncher";
    make(emptyDirectory, false);
}

Value textValue(const std::string& text)
{
    const DWORD textTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY};
    Value value{true, pick(textTypes), text + '\0'};
    if (value.type == REG_MULTI_SZ)
        value.bytes += '\0';
    return value;
}

Value randomValue(const std::string& usefulText)
{
    Value value;
    value.present = !chance(10);
    value.type = pick(valueTypes);
    int shape = uniform(0, 3);
    if (shape == 0)  // a useful text with no NUL, or with garbage after it
        value.bytes = usefulText + (chance(50) ? randomBytes(edgyLength()) : "");
    else if (shape == 1)
        value.bytes = textValue(usefulText).bytes;
    else
        value.bytes = randomBytes(edgyLength());
    return value;
}

std::string randomProductName(int number)
{
    std::string name = "Product" + std::to_string(number);
    if (chance(20))
        name += " with blanks";
    if (chance(10))
        name += "\xE9t\xE9";
    return name;
}

const std::string& pick(const std::string* items, int count)
{
    return items[uniform(0, count - 1)];
}

State randomState(int number, bool valid)
{
    State state;
    std::string product = randomProductName(number);
    std::string directory = chance(90) ? pick(launcherDirectories.data(), 3) : emptyDirectory;
    if (valid) {
        state.launchPath = textValue(product);
        state.productKey = product;
        state.installPath = textValue(pick(launcherDirectories.data(), 3));
        return state;
    }
    state.vendorKey = !chance(5);
    state.launchPath = randomValue(chance(90) ? product : std::string(uniform(225, 240), 'p'));
    if (chance(85))
        state.productKey = product;
    state.installPath = randomValue(chance(80) ? directory : randomBytes(uniform(0, 30)));
    return state;
}

void applyState(const State& state)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, vendor);
    if (!state.vendorKey)
        return;
    HKEY key = createKey(vendor);
    if (state.launchPath.present)
        setValue(key, "InstallLaunchPath", state.launchPath.type, state.launchPath.bytes);
    RegCloseKey(key);
    if (state.productKey.empty())
        return;
    key = createKey(std::string(vendor) + "\\" + state.productKey);
    if (key && state.installPath.present)
        setValue(key, "Install Path", state.installPath.type, state.installPath.bytes);
    if (key)
        RegCloseKey(key);
}

// A value read as the launch reads it: into a 260-byte buffer whose bytes are all non-NUL
// before the read; the text ends at the first NUL, and without one there is no text.
bool readText(HKEY key, const char* name, std::string& text)
{
    char buffer[textBuffer];
    std::memset(buffer, 'x', sizeof buffer);
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    const char* end = static_cast<const char*>(std::memchr(buffer, '\0', sizeof buffer));
    if (!end)
        return false;
    text.assign(buffer, end - buffer);
    return true;
}

struct Expected {
    int number;
    std::string launcher, name;  // the launcher's long path, the product key's name
};

// The oracle: whether the launcher must start, and if so which file with which name.
// The launch opens the vendor key, reads the product key's name, opens the product key,
// reads the installation directory, makes it the current directory and starts
// "<short path of directory\Tovelgate.exe> /path <name>". Texts that would not fit a
// 260-byte buffer once joined (the directory in its short form where it is longer), and a
// missing launcher, start nothing.
bool expectedLaunch(Expected& expected)
{
    std::string name, directory;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, vendor, 0, 0x2001F, &key) != ERROR_SUCCESS)
        return false;
    bool named = readText(key, "InstallLaunchPath", name);
    RegCloseKey(key);
    std::string productPath = std::string(vendor) + "\\" + name;
    if (!named || productPath.size() + 1 > textBuffer)
        return false;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, productPath.c_str(), 0, 0x2001F, &key) !=
        ERROR_SUCCESS)
        return false;
    bool located = readText(key, "Install Path", directory);
    RegCloseKey(key);
    std::string launcher = directory + "\\Tovelgate.exe";
    if (located && launcher.size() + 1 > textBuffer) {
        // A directory of 246 to 259 characters: its short form leaves room for the name.
        char shortDirectory[textBuffer];
        DWORD length = GetShortPathNameA(directory.c_str(), shortDirectory, textBuffer);
        launcher = std::string(shortDirectory, length < textBuffer ? length : 0) + "\\Tovelgate.exe";
    }
    if (!located || launcher.size() + 1 > textBuffer || launcher[0] == '\\')
        return false;
    SetCurrentDirectoryA(directory.c_str());
    DWORD attributes = GetFileAttributesA(launcher.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    expected.launcher = launcher;
    expected.name = name;
    return true;
}

// What is wrong with a recorded launch, or "": its own name must be an 8.3 path of the
// expected launcher, and the command line exactly that name, "/path" and the product key's
// name, joined by blanks.
std::string launchFault(const LauncherRecord& record, const Expected& expected)
{
    std::string self = record.argv.empty() ? "" : record.argv[0];
    if (!isShortFormPath(self) || !sameFile(self, expected.launcher))
        return "started as \"" + escaped(self) + "\", not the 8.3 path of " +
               escaped(expected.launcher);
    // The launcher records in UTF-8; the name was written in the ANSI code page.
    std::string commandLine = self + " /path " + utf8(utf16(expected.name, CP_ACP));
    if (record.commandLine != commandLine)
        return "launched with \"" + escaped(record.commandLine) + "\", expected \"" +
               escaped(commandLine) + "\"";
    return "";
}

std::string recordFile(int number)
{
    return campaignRoot + "\\records\\" + std::to_string(number) + ".txt";
}

// Waits until at most `left` expected launches are still unrecorded, checking each record.
void collectLaunches(std::vector<Expected>& pending, size_t left, int& seen)
{
    DWORD start = GetTickCount();
    while (pending.size() > left) {
        for (size_t i = 0; i < pending.size();) {
            LauncherRecord record = readLauncherRecord(recordFile(pending[i].number));
            if (!record.complete) {
                ++i;
                continue;
            }
            ++seen;
            std::string fault = launchFault(record, pending[i]);
            if (!fault.empty())
                failure("state " + std::to_string(pending[i].number) + ": " + fault);
            pending.erase(pending.begin() + i);
        }
        if (pending.size() <= left)
            break;
        if (GetTickCount() - start > 60000) {
            for (const Expected& missing : pending)
                failure("state " + std::to_string(missing.number) + ": launcher never started");
            pending.clear();
            break;
        }
        Sleep(20);
    }
}

void runStage5Campaign(ClearInstallerHookFn hook, int cases, int& expectedLaunches, int& seen)
{
    makeDirectories();
    std::vector<Expected> pending;
    std::vector<bool> mayLaunch(cases);
    for (int number = 0; number < cases; ++number) {
        State state = randomState(number, number % 5 == 0);
        applyState(state);
        Expected expected{number, "", ""};
        bool launches = expectedLaunch(expected);
        SetCurrentDirectoryA(campaignRoot.c_str());
        SetEnvironmentVariableA("QMTOVELGATE_RECORD", recordFile(number).c_str());
        DeleteFileA(recordFile(number).c_str());  // left by an earlier run in this prefix
        int answer = hook(HookStagePostInstall, nullptr, nullptr);
        if (answer != 1)
            failure("state " + std::to_string(number) + ": stage 5 answered " +
                    std::to_string(answer));
        if (launches) {
            ++expectedLaunches;
            mayLaunch[number] = true;
            pending.push_back(expected);
            collectLaunches(pending, 6, seen);  // a few launchers at a time
        }
    }
    collectLaunches(pending, 0, seen);
    // Every launcher has written its record once it has ended, however late it started.
    if (!waitForChildProcesses())
        failure("a launcher is still running");
    for (int number = 0; number < cases; ++number) {
        LauncherRecord record = readLauncherRecord(recordFile(number));
        if (!mayLaunch[number] && record.exists)
            failure("state " + std::to_string(number) + ": launched \"" +
                    escaped(record.commandLine) + "\" though nothing may start");
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, vendor);
}

// ---------------------------------------------------------------------------------------
// Values and names

// Reads text as atol does, clamped to the 32-bit range.
int textNumber(const std::string& bytes)
{
    std::string text(bytes.c_str());
    long long number = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int>(std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, number)));
}

int dwordNumber(const unsigned char* bytes, DWORD size)
{
    unsigned number = 0;
    for (DWORD i = 0; i < size && i < 4; ++i)
        number |= unsigned(bytes[i]) << (8 * i);
    return static_cast<int>(number);
}

void checkNumberRead(Tarn::Registry& registry, HKEY raw, const std::string& name,
                     const std::string& label)
{
    unsigned char bytes[256];
    DWORD size = 255, type = REG_NONE;
    bool ok = RegQueryValueExA(raw, name.c_str(), nullptr, &type, bytes, &size) == ERROR_SUCCESS;
    int expected = 12345;
    if (ok && type == REG_SZ)
        expected = textNumber(std::string(reinterpret_cast<char*>(bytes), size));
    else if (ok && type == REG_DWORD)
        expected = dwordNumber(bytes, size);
    int got = 12345;
    if (registry.readValue(name.c_str(), &got) != ok || got != expected)
        failure(label + ": readValue(int*) gave " + std::to_string(got) + ", expected " +
                std::to_string(expected) + (ok ? "" : " (a failed read)"));
}

void checkStringRead(Tarn::Registry& registry, HKEY raw, const std::string& name,
                     const std::string& label)
{
    char bytes[1024];
    DWORD size = sizeof bytes;
    bool ok = RegQueryValueExA(raw, name.c_str(), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(bytes), &size) == ERROR_SUCCESS;
    std::string expected = "untouched";
    if (ok)
        expected.assign(bytes, std::find(bytes, bytes + size, '\0'));
    std::string got = "untouched";
    if (registry.readValue(name.c_str(), got) != ok || got != expected)
        failure(label + ": readValue(std::string&) gave \"" + escaped(got) + "\"");
}

// Both buffer forms against the raw call with the same capacity; the whole buffer compared,
// so a byte written past the capacity shows.
void checkBufferReads(Tarn::Registry& registry, HKEY raw, const std::string& name,
                      size_t length, const std::string& label)
{
    const long sizes[] = {-1, 0, 1, 4, long(length) - 1, long(length), long(length) + 1, 260};
    long size = pick(sizes);
    std::vector<unsigned char> expected(2200, 0xCD), mine(2200, 0xCD), text(2200, 0xCD);
    bool ok = false;
    if (size >= 0) {
        DWORD capacity = size;
        ok = RegQueryValueExA(raw, name.c_str(), nullptr, nullptr, expected.data(),
                              &capacity) == ERROR_SUCCESS;
    }
    bool mineOk = registry.readValue(name.c_str(), static_cast<void*>(mine.data()), size);
    bool textOk = registry.readValue(name.c_str(), reinterpret_cast<char*>(text.data()), size);
    if (mineOk != ok || mine != expected || textOk != ok || text != expected)
        failure(label + ": a buffer read of capacity " + std::to_string(size) +
                " differs from the platform's");
}

// Every value of the key through the class's cursor and the raw call, with random capacities.
void checkValueEnumeration(Tarn::Registry& registry, HKEY raw, const std::string& label)
{
    for (DWORD index = 0;; ++index) {
        unsigned long nameSize = chance(80) ? 256 : uniform(0, 40);
        unsigned long dataSize = chance(80) ? 2100 : uniform(0, 600);
        std::vector<char> name(400, 'n'), rawName(400, 'n');
        std::vector<unsigned char> data(2200, 0xCD), rawData(2200, 0xCD);
        unsigned long type = 99;
        DWORD rawType = 99, rawNameSize = nameSize, rawDataSize = dataSize;
        LONG status = RegEnumValueA(raw, index, rawName.data(), &rawNameSize, nullptr, &rawType,
                                    rawData.data(), &rawDataSize);
        long got = registry.enumerateChildKeyValues(name.data(), nameSize, &type, data.data(),
                                                    dataSize);
        long expected = status == ERROR_SUCCESS ? long(rawDataSize) : -1;
        if (got != expected || (got != -1 && (name != rawName || data != rawData ||
                                              type != rawType)))
            failure(label + ": value enumeration at " + std::to_string(index) + " gave " +
                    std::to_string(got) + ", expected " + std::to_string(expected));
        if (got == -1) {
            if (status == ERROR_NO_MORE_ITEMS)
                return;
            registry.resetValueEnumeration();  // skip past an item that did not fit
            for (DWORD skip = 0; skip <= index; ++skip)
                registry.enumerateChildKeyValues(name.data(), 400, nullptr, nullptr, 0);
        }
    }
}

void checkKeyEnumeration(Tarn::Registry& registry, HKEY raw, const std::string& label)
{
    for (DWORD index = 0;; ++index) {
        unsigned long nameSize = chance(70) ? 256 : uniform(0, 40);
        std::vector<char> name(400, 'n'), rawName(400, 'n');
        DWORD rawSize = nameSize;
        LONG status = RegEnumKeyExA(raw, index, rawName.data(), &rawSize, nullptr, nullptr,
                                    nullptr, nullptr);
        long got = registry.enumerateChildKeys(name.data(), nameSize);
        long expected = status == ERROR_SUCCESS ? long(rawSize) : -1;
        if (got != expected || name != rawName)
            failure(label + ": key enumeration at " + std::to_string(index) + " gave " +
                    std::to_string(got) + ", expected " + std::to_string(expected));
        if (got == -1) {
            if (status == ERROR_NO_MORE_ITEMS)
                return;
            for (DWORD skip = 0; skip <= index; ++skip)
                registry.enumerateChildKeys(name.data(), 400);
        }
    }
}

std::string randomName()
{
    std::string name = randomBytes(chance(70) ? uniform(0, 24) : uniform(250, 300));
    name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
    return name;
}

void runValueCampaign(int cases)
{
    const int batch = 50;
    for (int first = 0; first < cases; first += batch) {
        std::string label = "values " + std::to_string(first) + "+";
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, scratchKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, scratchKey);
        HKEY raw = createKey(scratchKey);
        Tarn::Registry registry;
        if (!raw || !registry.openKey(HKEY_LOCAL_MACHINE, scratchKey)) {
            failure(label + ": cannot open the scratch key");
            return;
        }
        for (int number = first; number < std::min(cases, first + batch); ++number) {
            std::string name = randomName();
            std::string data = randomBytes(edgyLength());
            setValue(raw, name.c_str(), pick(valueTypes), data);
            if (chance(10)) {  // a child key of the same random name
                HKEY child;
                if (RegCreateKeyExA(raw, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &child, nullptr) == ERROR_SUCCESS)
                    RegCloseKey(child);
            }
            std::string valueLabel = "value " + std::to_string(number) + " \"" +
                                     escaped(name.substr(0, 40)) + "\"";
            checkNumberRead(registry, raw, name, valueLabel);
            checkStringRead(registry, raw, name, valueLabel);
            checkBufferReads(registry, raw, name, data.size(), valueLabel);
        }
        checkValueEnumeration(registry, raw, label);
        checkKeyEnumeration(registry, raw, label);
        RegCloseKey(raw);
        registry.closeKey();
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, scratchKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, scratchKey);
}

} // namespace

int main(int argc, char** argv)
{
    unsigned seed = 20261209;
    // In the emulated machine every launch is a Wine process of about a second: 400 cases,
    // and under 64-bit Windows, where the same code runs through WoW64, 150.
    const char* arch = std::getenv("QMHOOK_WINE_ARCH");
    int cases = !std::getenv("QMHOOK_EMULATED") ? 5000
                : arch && std::strcmp(arch, "win64") == 0 ? 150
                                                          : 400;
    if (const char* given = std::getenv("QMHOOK_CAMPAIGN_CASES"))
        cases = std::atoi(given);
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seed"))
            seed = std::strtoul(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--cases"))
            cases = std::atoi(argv[i + 1]);
    }
    if (cases <= 0) {
        std::printf("campaign: no cases to run (--cases or QMHOOK_CAMPAIGN_CASES)\n");
        return 1;
    }
    std::printf("campaign: seed %u, %d registry states and %d values "
                "(others: --seed S --cases N)\n", seed, cases, cases);
    std::fflush(stdout);
    rng.seed(seed);

    HMODULE module = GetModuleHandleA("qmhook.dll");
    auto hook = reinterpret_cast<ClearInstallerHookFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "ClearInstallerHook")));
    if (!hook) {
        std::printf("qmhook.dll exports no ClearInstallerHook\n");
        return 1;
    }
    int expectedLaunches = 0, seen = 0;
    runStage5Campaign(hook, cases, expectedLaunches, seen);
    runValueCampaign(cases);
    std::printf("cases run: %d, launches expected: %d, launches seen: %d, failures: %d\n",
                2 * cases, expectedLaunches, seen, failures);
    // Every fifth state is a valid installation: a run that expects no launch proves nothing.
    return failures == 0 && expectedLaunches > 0 && seen == expectedLaunches ? 0 : 1;
}
