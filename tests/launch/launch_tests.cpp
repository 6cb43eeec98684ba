// Stage 5: the launch of Tovelgate.exe from what the installation wrote in the registry, on
// the real registry, file system, short paths and processes of Wine.
#include "common/event_log.h"
#include "common/unattended.h"
#include "support/hook_module.h"
#include "support/import_slot.h"
#include "support/launch_oracle.h"

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <memory>

namespace {

const char vendor[] = "Software\\Vantorel Software";

struct Launch {
    int answer = -1;
    LauncherRecord record;
    std::string hostDirectory;
    std::vector<EventEntry> events;
};

// An installation directory with a blank in its path, the launcher copied into it, and the
// vendor key removed before and after each case.
class Stage5 : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = "C:\\qmtest-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(base.c_str(), nullptr);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        directory = makeDirectory("Program Files");
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor); }

    // base\name (or parent\name) with the launcher in it, unless withLauncher is false.
    std::string makeDirectory(const std::string& name, bool withLauncher = true,
                              const std::string& parent = "")
    {
        // Through the wide calls, which take paths longer than MAX_PATH.
        std::string path = (parent.empty() ? base : parent) + "\\" + name;
        CreateDirectoryW(utf16(path).c_str(), nullptr);
        if (withLauncher) {
            EXPECT_TRUE(CopyFileW(utf16(programDirectory() + "tovelgate.exe").c_str(),
                                  utf16(path + "\\Tovelgate.exe").c_str(), FALSE));
        }
        return path;
    }
    // The key is created through the wide call, which takes paths longer than 255 characters;
    // the ANSI call stores exactly these bytes for every type.
    static void setValue(const std::string& key, const char* name, DWORD type,
                         const std::string& bytes)
    {
        std::wstring wideKey(key.begin(), key.end());
        HKEY handle;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, wideKey.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &handle, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(handle, name, 0, type,
                                 reinterpret_cast<const BYTE*>(bytes.data()), bytes.size()),
                  ERROR_SUCCESS);
        RegCloseKey(handle);
    }
    void install(const std::string& product, const std::string& path)
    {
        setValue(vendor, "InstallLaunchPath", REG_SZ, product + '\0');
        setValue(std::string(vendor) + "\\" + product, "Install Path", REG_SZ, path + '\0');
    }
    // Each call records into a file of its own, read only once every launcher has ended.
    Launch runStage5()
    {
        static int calls = 0;
        std::string record = base + "\\record-" + std::to_string(++calls) + ".txt";
        DeleteFileA(record.c_str());
        SetEnvironmentVariableA("QMTOVELGATE_RECORD", record.c_str());
        SetCurrentDirectoryA(base.c_str());
        // Stage 5 turns the critical-error boxes off while it works: the host's mode comes back.
        const UINT hostMode = SEM_NOGPFAULTERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT;
        SetErrorMode(hostMode);
        Launch launch;
        EventLogWatch events;
        launch.answer = loadHook()(HookStagePostInstall, nullptr, nullptr);
        launch.events = events.entries();
        EXPECT_EQ(SetErrorMode(0), hostMode);
        char cwd[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, cwd);
        launch.hostDirectory = cwd;
        EXPECT_TRUE(waitForChildProcesses()) << "a launcher is still running";
        launch.record = readLauncherRecord(record);
        return launch;
    }
    // argv: the launcher's path in 8.3 form (the long one on a volume without short names),
    // "/path", the name's words; the command line exactly these joined by blanks, the name
    // as it was stored.
    void expectLaunch(const std::string& dir, const std::string& product, bool shortNames = true)
    {
        Launch launch = runStage5();
        EXPECT_EQ(launch.answer, 1);
        ASSERT_TRUE(launch.record.complete);
        const std::vector<std::string>& argv = launch.record.argv;
        ASSERT_FALSE(argv.empty());
        EXPECT_TRUE(shortNames ? isShortFormPath(argv[0]) : argv[0] == dir + "\\Tovelgate.exe")
            << argv[0];
        EXPECT_TRUE(sameFile(argv[0], dir + "\\Tovelgate.exe")) << argv[0];
        std::vector<std::string> expected = {argv[0], "/path"};
        for (const std::string& word : words(product))
            expected.push_back(word);
        EXPECT_EQ(argv, expected);
        EXPECT_EQ(launch.record.commandLine, argv[0] + " /path " + product);
        EXPECT_EQ(launch.record.directory, dir);
        EXPECT_EQ(launch.hostDirectory, dir);
    }
    // Unless the installation directory holds no launcher, the host's directory stays too.
    void expectNoLaunch(bool directoryKept = true)
    {
        Launch launch = runStage5();
        EXPECT_EQ(launch.answer, 1);
        EXPECT_FALSE(launch.record.exists) << launch.record.commandLine;
        if (directoryKept) {
            EXPECT_EQ(launch.hostDirectory, base);
        }
    }

    std::string base, directory;
};

TEST_F(Stage5, StartsTheLauncherWithItsShortPathAndTheProductKeysName)
{
    // The oracle must tell the installed launcher from the file it was copied from.
    ASSERT_FALSE(sameFile(directory + "\\Tovelgate.exe", programDirectory() + "tovelgate.exe"));
    install("Quillmarsh2", directory);
    expectLaunch(directory, "Quillmarsh2");
}

DWORD attributesOf(const char* path)
{
    return GetFileAttributesA(path);
}

DWORD attributesOf(const wchar_t* path)
{
    return GetFileAttributesW(path);
}

// GetShortPathName as a volume without 8.3 names answers: the path itself, once found.
template <typename Char>
DWORD WINAPI withoutShortNames(const Char* path, Char* buffer, DWORD capacity)
{
    if (attributesOf(path) == INVALID_FILE_ATTRIBUTES)
        return 0;
    DWORD length = std::char_traits<Char>::length(path);
    if (length >= capacity)
        return length + 1;
    std::char_traits<Char>::copy(buffer, path, length + 1);
    return length;
}

// What the DLL asked CreateProcessW to start, and from where, instead of starting it.
struct Start {
    std::string program, commandLine, directory;
} started;

BOOL WINAPI recordStart(LPCWSTR program, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                        LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                        LPSTARTUPINFOW, LPPROCESS_INFORMATION)
{
    wchar_t directory[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, directory);
    started = {utf8(program), utf8(commandLine), utf8(directory)};
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// The same for the 9x family's _spawnl: the arguments joined by blanks, as it joins them.
intptr_t __cdecl recordSpawn(int, const char* program, const char* self, ...)
{
    std::string commandLine = self;
    va_list words;
    va_start(words, self);
    while (const char* word = va_arg(words, const char*))
        commandLine += std::string(" ") + word;
    va_end(words);
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, directory);
    started = {program, commandLine, directory};
    return -1;
}

TEST_F(Stage5, WithoutShortNamesTheLaunchersPathStaysOneArgument)
{
    // The 9x family's launch calls the ANSI function, the NT family's looks the wide one up.
    ImportSlotPatch ansi(hookModule(), "KERNEL32.dll", "GetShortPathNameA",
                         reinterpret_cast<void*>(&withoutShortNames<char>));
    LookupPatch wide(hookModule(), "GetShortPathNameW", reinterpret_cast<void*>(&withoutShortNames<wchar_t>));
    ASSERT_NE(ansi.where(), nullptr);
    ASSERT_NE(wide.where(), nullptr);
    makeDirectory("qma safe", false);
    const struct {
        const char* directory;
        const char* product;
        std::vector<std::string> arguments;  // after the launcher's path
        bool quoted;
    } cases[] = {
        {"qma safe\\Quill Marsh", "Quillmarsh2", {"/path", "Quillmarsh2"}, true},
        {"qma safe\\Quill Marsh", "Quill marsh Two", {"/path", "Quill", "marsh", "Two"}, true},
        {"QuillMarsh", "Quillmarsh2", {"/path", "Quillmarsh2"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.directory) + " / " + c.product);
        std::string dir = makeDirectory(c.directory);
        std::string launcher = dir + "\\Tovelgate.exe";
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        install(c.product, dir);
        Launch launch = runStage5();
        EXPECT_EQ(launch.answer, 1);
        ASSERT_TRUE(launch.record.complete);
        std::vector<std::string> argv = {launcher};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(launch.record.argv, argv);
        EXPECT_EQ(launch.record.commandLine,
                  (c.quoted ? '"' + launcher + '"' : launcher) + " /path " + c.product);
        EXPECT_EQ(launch.record.directory, dir);
    }
}

TEST_F(Stage5, AProductNameWithBlanksArrivesAsSeveralWords)
{
    install("Quill marsh Two", directory);
    expectLaunch(directory, "Quill marsh Two");
}

TEST_F(Stage5, EmbeddedNulEndsTheText)
{
    setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Quillmarsh2\0junk\0", 17));
    setValue(std::string(vendor) + "\\Quillmarsh2", "Install Path", REG_SZ, directory + '\0');
    expectLaunch(directory, "Quillmarsh2");
}

TEST_F(Stage5, NothingStartsWithoutWhatTheInstallationWrites)
{
    const std::string product = std::string(vendor) + "\\Quillmarsh2";
    const std::function<void()> setups[] = {
        [] {},
        [&] { setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Missing\0", 8)); },
        [&] { setValue(product, "Install Path", REG_SZ, directory + '\0'); },
        [&] { setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Quillmarsh2\0", 12));
              setValue(product, "Other", REG_SZ, directory + '\0'); },
        [&] { setValue(vendor, "InstallLaunchPath", REG_DWORD, std::string("\7\0\0\0", 4));
              setValue(product, "Install Path", REG_SZ, directory + '\0'); },
        [&] { install("Quillmarsh2", makeDirectory("Empty Dir", false)); },
        // No absolute path: an empty value would lead to \Tovelgate.exe at the root of the
        // host's drive, a relative one into base\qmrel and then to qmrel\Tovelgate.exe there.
        [&] { install("Quillmarsh2", ""); },
        [&] { setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Quillmarsh2\0", 12));
              setValue(product, "Install Path", REG_DWORD, std::string(4, '\0')); },
        [&] { install("Quillmarsh2", "qmrel"); },
        // The long-path and device prefixes: absolute in form, but no directory to start in.
        [&] { install("Quillmarsh2", "\\\\?\\" + directory); },
        [&] { install("Quillmarsh2", "\\\\.\\" + directory); },
        [&] { install("Quillmarsh2", "//?/" + directory); },
    };
    makeDirectory("qmrel");
    makeDirectory("qmrel\\qmrel");
    struct AtTheRoot {
        AtTheRoot() { CopyFileA((programDirectory() + "tovelgate.exe").c_str(), path, FALSE); }
        ~AtTheRoot() { DeleteFileA(path); }
        const char* path = "C:\\Tovelgate.exe";
    } atTheRoot;
    for (size_t i = 0; i < sizeof setups / sizeof setups[0]; ++i) {
        SCOPED_TRACE(i);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        setups[i]();
        expectNoLaunch(i != 5);
    }
}

// Texts at the 260-byte limit of the working buffers, with and without their NUL.
TEST_F(Stage5, ValuesAndJoinsAtTheBufferLimit)
{
    const std::string product = std::string(vendor) + "\\Quillmarsh2";
    for (size_t length : {258, 259, 260, 261}) {
        for (bool nul : {true, false}) {
            SCOPED_TRACE(std::to_string(length) + (nul ? " with NUL" : " without NUL"));
            std::string text(nul ? length - 1 : length, 'p');
            if (nul)
                text += '\0';
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
            setValue(vendor, "InstallLaunchPath", REG_SZ, text);
            setValue(product, "Install Path", REG_SZ, directory + '\0');
            expectNoLaunch(); // the key's path would not fit: 27 + 257 > 259
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
            setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Quillmarsh2\0", 12));
            setValue(product, "Install Path", REG_BINARY, text);
            expectNoLaunch(); // the directory with \Tovelgate.exe would not fit
        }
    }
    // "Software\Vantorel Software\" is 27 characters: a name of 232 fits, 233 does not.
    for (size_t length : {232, 233}) {
        SCOPED_TRACE(length);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        std::string name(length, 'n');
        install(name, directory);
        if (length == 232)
            expectLaunch(directory, name);
        else
            expectNoLaunch();
    }
    // "\Tovelgate.exe" is 14 characters: a directory of 245 fits; from 246 to 259 its short
    // form does (also as the directory to start in), where the volume keeps short names.
    // Wine starts no program whose long path passes MAX_PATH (it answers 2 or 123, as the
    // hashed names fall): there the start the DLL asks for is recorded instead.
    for (size_t length : {245, 246, 259}) {
        for (bool shortNames : {true, false}) {
            SCOPED_TRACE(std::to_string(length) + (shortNames ? "" : ", no 8.3 names"));
            std::string longDirectory = makeDirectory(std::string(length - base.size() - 1, 'd'));
            ASSERT_EQ(longDirectory.size(), length);
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
            install("Quillmarsh2", longDirectory);
            // The 9x family's launch imports its calls, the NT family's looks them up.
            std::unique_ptr<ImportSlotPatch> ansi;
            std::unique_ptr<LookupPatch> wide;
            if (!shortNames) {
                ansi.reset(new ImportSlotPatch(hookModule(), "KERNEL32.dll", "GetShortPathNameA",
                                               reinterpret_cast<void*>(&withoutShortNames<char>)));
                wide.reset(new LookupPatch(hookModule(), "GetShortPathNameW",
                                           reinterpret_cast<void*>(&withoutShortNames<wchar_t>)));
            } else if (length > 245) {
                ansi.reset(new ImportSlotPatch(hookModule(), "msvcrt.dll", "_spawnl",
                                               reinterpret_cast<void*>(&recordSpawn)));
                wide.reset(new LookupPatch(hookModule(), "CreateProcessW",
                                           reinterpret_cast<void*>(&recordStart)));
            }
            if (length == 245) {
                expectLaunch(longDirectory, "Quillmarsh2", shortNames);
            } else if (!shortNames) {
                expectNoLaunch();
            } else {
                started = {};
                Launch launch = runStage5();
                EXPECT_TRUE(isShortFormPath(started.program) &&
                            sameFile(started.program, longDirectory + "\\Tovelgate.exe"))
                    << started.program;
                EXPECT_EQ(started.commandLine, started.program + " /path Quillmarsh2");
                EXPECT_TRUE(isShortFormPath(started.directory) &&
                            sameFile(started.directory, longDirectory)) << started.directory;
                EXPECT_EQ(launch.hostDirectory, started.directory);
            }
        }
    }
}

// Install Path as Win32 takes it: forward slashes, a separator at the end as [INSTALLDIR] has.
TEST_F(Stage5, EitherSeparatorAndOneAtTheEnd)
{
    std::string forward = directory;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    for (const std::string& written : {forward, directory + "\\", forward + "/"}) {
        SCOPED_TRACE(written);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        install("Quillmarsh2", written);
        expectLaunch(directory, "Quillmarsh2");
    }
}

// Runs in processes named for the version Wine reports (see tests/CMakeLists.txt).
TEST_F(Stage5, VersionGate)
{
    char self[MAX_PATH];
    std::string name(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    const struct {
        const char* suffix;
        DWORD major, minor;
        bool launches;
    } versions[] = {{"-vista.exe", 6, 0, false}, {"-winxp.exe", 5, 1, true},
                    {"-win7.exe", 6, 1, true},   {"-win10.exe", 6, 2, true},
                    {"-win98.exe", 4, 10, true}};
    for (const auto& version : versions) {
        if (name.size() < strlen(version.suffix) ||
            name.compare(name.size() - strlen(version.suffix), std::string::npos,
                         version.suffix) != 0)
            continue;
        OSVERSIONINFOA reported = {};
        reported.dwOSVersionInfoSize = sizeof reported;
        ASSERT_TRUE(GetVersionExA(&reported));
        ASSERT_EQ(reported.dwMajorVersion, version.major);
        ASSERT_EQ(reported.dwMinorVersion, version.minor);
        install("Quillmarsh2", directory);
        if (version.launches)
            expectLaunch(directory, "Quillmarsh2");
        else
            expectNoLaunch();
        return;
    }
    FAIL() << name << " is not named for a Windows version";
}

} // namespace

namespace {

// Installation directories as a Unicode installer writes them (UTF-16), on volumes with and
// without 8.3 names; the same from a window station nobody sees, where nothing may start.
TEST_F(Stage5, AnyDirectoryAUnicodeInstallerWrites)
{
    const std::wstring cyrillic = L"\x041A\x0432\x0438\x043B\x043B\x043C\x0430\x0440\x0448";
    const std::wstring cjk = L"\x4E2D\x6587 \x76EE\x5F55";
    const std::wstring latin = L"Quillmarsh2 \x00DCn\x00EFcode";
    const std::wstring wideBase = utf16(base);
    const struct {
        const char* what;
        std::wstring name; // of the directory, made with the launcher in it
        DWORD type;
        bool shortNames, unseen;
    } cases[] = {
        {"Latin-1", latin, REG_SZ, true, false},
        {"Cyrillic", cyrillic, REG_SZ, true, false},
        {"CJK with a blank", cjk, REG_EXPAND_SZ, true, false},
        {"Latin-1, no 8.3 names", latin, REG_SZ, false, false},
        {"Cyrillic, no 8.3 names", cyrillic, REG_SZ, false, false},
        {"CJK with a blank, no 8.3 names", cjk, REG_SZ, false, false},
        {"unseen", cyrillic, REG_SZ, true, true},
    };
    const std::wstring launcherFile = utf16(programDirectory() + "tovelgate.exe");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Else the ANSI calls would do as well, and the row would prove nothing.
        ASSERT_TRUE(c.name == latin || outsideCodePage(c.name));
        const std::wstring made = wideBase + L"\\" + c.name;
        CreateDirectoryW(made.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(launcherFile.c_str(), (made + L"\\Tovelgate.exe").c_str(), FALSE));
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        setValue(vendor, "InstallLaunchPath", REG_SZ, std::string("Quillmarsh2\0", 12));
        HKEY product;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantorel Software\\Quillmarsh2",
                                  0, nullptr, 0, KEY_SET_VALUE, nullptr, &product, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(product, L"Install Path", 0, c.type,
                       reinterpret_cast<const BYTE*>(made.c_str()), (made.size() + 1) * sizeof(wchar_t));
        RegCloseKey(product);
        std::unique_ptr<LookupPatch> noShortNames(
            c.shortNames ? nullptr
                         : new LookupPatch(hookModule(), "GetShortPathNameW",
                                           reinterpret_cast<void*>(&withoutShortNames<wchar_t>)));
        Launch launch;
        if (c.unseen)
            ASSERT_TRUE(runUnseen([&] { launch = runStage5(); }));
        else
            launch = runStage5();
        EXPECT_EQ(launch.answer, 1);
        ASSERT_EQ(launch.record.complete, !c.unseen) << launch.record.commandLine;
        // A launch nobody could see is skipped, and the administrator told.
        ASSERT_EQ(launch.events.size(), c.unseen ? 1u : 0u);
        if (c.unseen) {
            EXPECT_EQ(launch.events[0].id, 3u);
            EXPECT_EQ(launch.events[0].type, EVENTLOG_WARNING_TYPE);
            EXPECT_NE(launch.events[0].text.find("Tovelgate.exe was not started"), std::string::npos);
            continue;
        }
        std::string launcher = utf8(made) + "\\Tovelgate.exe";
        const std::vector<std::string>& argv = launch.record.argv;
        ASSERT_EQ(argv.size(), 3u);
        EXPECT_EQ(argv[1] + " " + argv[2], "/path Quillmarsh2");
        EXPECT_EQ(launch.record.directory, utf8(made));
        if (c.shortNames) {
            EXPECT_TRUE(isShortFormPath(argv[0]) && sameFile(argv[0], launcher)) << argv[0];
        } else {
            EXPECT_EQ(argv[0], launcher);
            bool blank = launcher.find(' ') != std::string::npos;
            EXPECT_EQ(launch.record.commandLine,
                      (blank ? '"' + launcher + '"' : launcher) + " /path Quillmarsh2");
        }
    }
}

} // namespace
