// Stage 5: the launch of Tovelgate.exe from what the installation wrote in the registry, on
// the real registry, file system, short paths and processes of Wine.
#include "support/hook_module.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

const char vendor[] = "Software\\Vantorel Software";

struct Launch {
    int answer = -1;
    bool started = false;
    std::string commandLine, launcherDirectory, hostDirectory;
};

// An installation directory with a blank in its path, the launcher copied into it, and the
// vendor key removed before and after each case.
class Stage5 : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = "C:\\qmtest-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(base.c_str(), nullptr);
        record = base + "\\record.txt";
        SetEnvironmentVariableA("QMTOVELGATE_RECORD", record.c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        directory = makeDirectory("Program Files");
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor); }

    // base\name with the launcher in it, unless withLauncher is false.
    std::string makeDirectory(const std::string& name, bool withLauncher = true)
    {
        std::string path = base + "\\" + name;
        CreateDirectoryA(path.c_str(), nullptr);
        if (withLauncher) {
            EXPECT_TRUE(CopyFileA((programDirectory() + "tovelgate.exe").c_str(),
                                  (path + "\\Tovelgate.exe").c_str(), FALSE));
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
    Launch runStage5(int waitMs)
    {
        DeleteFileA(record.c_str());
        SetCurrentDirectoryA(base.c_str());
        Launch launch;
        launch.answer = loadHook()(HookStagePostInstall, nullptr, nullptr);
        char cwd[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, cwd);
        launch.hostDirectory = cwd;
        for (int waited = 0; waited < waitMs && !launch.started; waited += 100) {
            std::ifstream in(record);
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("command line: ", 0) == 0)
                    launch.commandLine = line.substr(14);
                if (line.rfind("directory: ", 0) == 0) {
                    launch.launcherDirectory = line.substr(11);
                    launch.started = true;
                }
            }
            if (!launch.started)
                Sleep(100);
        }
        return launch;
    }
    static std::string shortPath(const std::string& path)
    {
        char result[MAX_PATH];
        DWORD length = GetShortPathNameA(path.c_str(), result, MAX_PATH);
        return std::string(result, length);
    }
    void expectLaunch(const std::string& dir, const std::string& product)
    {
        Launch launch = runStage5(30000);
        EXPECT_EQ(launch.answer, 1);
        ASSERT_TRUE(launch.started);
        EXPECT_EQ(launch.commandLine, shortPath(dir + "\\Tovelgate.exe") + " /path " + product);
        EXPECT_EQ(launch.launcherDirectory, dir);
        EXPECT_EQ(launch.hostDirectory, dir);
    }
    void expectNoLaunch()
    {
        Launch launch = runStage5(2500);
        EXPECT_EQ(launch.answer, 1);
        EXPECT_FALSE(launch.started) << launch.commandLine;
    }

    std::string base, record, directory;
};

TEST_F(Stage5, StartsTheLauncherWithItsShortPathAndTheProductKeysName)
{
    install("Quillmarsh2", directory);
    expectLaunch(directory, "Quillmarsh2");
    EXPECT_NE(shortPath(directory + "\\Tovelgate.exe"), directory + "\\Tovelgate.exe");
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
    };
    for (size_t i = 0; i < sizeof setups / sizeof setups[0]; ++i) {
        SCOPED_TRACE(i);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        setups[i]();
        expectNoLaunch();
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
    // "\Tovelgate.exe" is 14 characters: a directory of 245 fits, 246 does not.
    for (size_t length : {245, 246}) {
        SCOPED_TRACE(length);
        std::string name(length - base.size() - 1, 'd');
        std::string longDirectory = makeDirectory(name);
        ASSERT_EQ(longDirectory.size(), length);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        install("Quillmarsh2", longDirectory);
        if (length == 245)
            expectLaunch(longDirectory, "Quillmarsh2");
        else
            expectNoLaunch();
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
