// Quillmarsh2-setup.exe, the NSIS installer, run as a user runs it: silently and through its
// pages, as an administrator, as a standard user, with Quillmarsh2 running and on Windows
// 6.0, then its uninstaller. The installer loads the real qmhook.dll; the account's
// privilege comes from the NETAPI32 double (WINEDLLOVERRIDES=netapi32=n).
#include "common/setup_driver.h"
#include "common/application.h"
#include "netapi32/double.h"
#include "support/launch_oracle.h"

#include <gtest/gtest.h>

#include <msi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

const char vendorKey[] = "Software\\Vantorel Software";
const char productKey[] = "Software\\Vantorel Software\\Quillmarsh2";
const char uninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmarsh2";
const char adminMessage[] =
    "Quillmarsh2 must be installed using an account with administrative access.";
const char runningMessage[] =
    "Quillmarsh2 is currently running. Please close Quillmarsh2 before installing.";
const DWORD vetoExitCode = 3, hookFailedExitCode = 4;

// Paths are UTF-8: an installation directory may hold any letter.
std::string fileBytes(const std::string& path)
{
    std::string bytes;
    if (FILE* in = _wfopen(utf16(path).c_str(), L"rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
            bytes.append(chunk, n);
        std::fclose(in);
    }
    return bytes;
}

bool exists(const std::string& path)
{
    return GetFileAttributesW(utf16(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void removeTree(const std::string& path)
{
    std::wstring from = utf16(path) + L'\0'; // the list ends with a second NUL
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    if (exists(path))
        SHFileOperationW(&operation);
}

// The installer is 32-bit: on 64-bit Windows its HKLM\Software is the 32-bit view, which
// is where the 32-bit DLL reads. Asked for explicitly here.
HKEY openKey(const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
        ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool keyExists(const char* path)
{
    HKEY key = openKey(path);
    if (key)
        RegCloseKey(key);
    return key != nullptr;
}

// The REG_SZ text of a value in UTF-8, or "<missing>".
std::string text(const char* path, const char* name)
{
    wchar_t data[512];
    DWORD size = sizeof data - sizeof *data, type = 0;
    HKEY key = openKey(path);
    bool read = key && RegQueryValueExW(key, utf16(name).c_str(), nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    if (!read || type != REG_SZ)
        return "<missing>";
    data[size / sizeof *data] = L'\0';
    return utf8(data);
}

// Whether Windows Installer has Quillmarsh2.msi's product (installer/quillmarsh2.wxs)
// installed.
bool productRegistered()
{
    return MsiQueryProductStateA("{6B1F6C4E-3C39-4B52-9A0B-2A8D2F0C5E11}") ==
           INSTALLSTATE_DEFAULT;
}

int recordsIn(const std::string& file)
{
    std::ifstream in(file);
    int records = 0;
    for (std::string line; std::getline(in, line);)
        records += line.rfind("command line: ", 0) == 0;
    return records;
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The default directory, $PROGRAMFILES\Quillmarsh2: a 32-bit process on 64-bit
        // Windows is given "Program Files (x86)" as %ProgramFiles%.
        char programFiles[MAX_PATH] = "";
        ASSERT_GT(GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH), 0u);
        installDirectory = std::string(programFiles) + "\\Quillmarsh2";
        scratch = "C:\\qminstaller-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(scratch.c_str(), nullptr);
        record = scratch + "\\launcher-record.txt";
        SetEnvironmentVariableA("QMTOVELGATE_RECORD", record.c_str());
        removeInstallation();
    }
    void TearDown() override
    {
        removeInstallation();
        removeTree(scratch);
    }
    void removeInstallation()
    {
        removeTree(installDirectory);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendorKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, vendorKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, uninstallKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, uninstallKey);
        DeleteFileA(record.c_str());
    }
    static std::string setup(const char* suffix = "")
    {
        return "\"" + programDirectory() + "Quillmarsh2-setup" + suffix + ".exe\"";
    }
    void expectInstalled()
    {
        EXPECT_EQ(fileBytes(installDirectory + "\\Tovelgate.exe"),
                  fileBytes(programDirectory() + "tovelgate.exe"));
        EXPECT_TRUE(exists(installDirectory + "\\Uninstall.exe"));
        EXPECT_EQ(text(vendorKey, "InstallLaunchPath"), "Quillmarsh2");
        EXPECT_EQ(text(productKey, "Install Path"), installDirectory);
        EXPECT_TRUE(keyExists(uninstallKey));
    }
    void expectNothingInstalled()
    {
        EXPECT_FALSE(exists(installDirectory));
        EXPECT_FALSE(keyExists(vendorKey));
        EXPECT_FALSE(keyExists(uninstallKey));
    }
    // The launcher ran exactly once, from the installation directory, with its own 8.3
    // path, "/path" and the product key's name. The short path is judged by its form and
    // by opening it, not by asking the platform for it as the DLL does.
    void expectOneLaunch()
    {
        ASSERT_EQ(recordsIn(record), 1) << fileBytes(record);
        LauncherRecord launch = readLauncherRecord(record);
        ASSERT_TRUE(launch.complete);
        ASSERT_EQ(launch.argv.size(), 3u) << launch.commandLine;
        EXPECT_TRUE(isShortFormPath(launch.argv[0])) << launch.argv[0];
        EXPECT_TRUE(sameFile(launch.argv[0], installDirectory + "\\Tovelgate.exe"))
            << launch.argv[0];
        EXPECT_EQ(launch.argv[1], "/path");
        EXPECT_EQ(launch.argv[2], "Quillmarsh2");
        EXPECT_EQ(launch.commandLine, launch.argv[0] + " /path Quillmarsh2");
        EXPECT_EQ(launch.directory, installDirectory);
    }
    void uninstallAndExpectNothingLeft()
    {
        SetupRun run = runSetup("\"" + installDirectory + "\\Uninstall.exe\" /S");
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.messageBoxes.empty());
        expectNothingInstalled();
    }

    std::string installDirectory, scratch, record;
};

TEST_F(Installer, SilentRuns)
{
    const struct {
        const char* name;
        const char* suffix; // the program's name chooses the Windows version Wine reports
        const char* privilege;
        bool applicationRunning;
        DWORD exitCode;
        const char* message; // shown by the DLL, answered by the test; null for none
        bool launches;
        const char* directory; // given with /D= (UTF-8); null: the default
    } scenarios[] = {
        {"administrator", "", "2", false, 0, nullptr, true, nullptr},
        {"standard user", "", "1", false, vetoExitCode, adminMessage, false, nullptr},
        {"guest", "", "0", false, vetoExitCode, adminMessage, false, nullptr},
        {"Quillmarsh2 running", "", "2", true, vetoExitCode, runningMessage, false, nullptr},
        {"Windows 6.0", "-vista", "2", false, 0, nullptr, false, nullptr},
        {"a Cyrillic directory", "", "2", false, 0, nullptr, true,
         "C:\\\xD0\x9A\xD0\xB2\xD0\xB8\xD0\xBB\xD0\xBB\xD0\xBC\xD0\xB0\xD1\x80\xD1\x88"},
        // Its own exit code, told apart from a veto; silent, its box is not shown.
        {"a hook that cannot be called", "-damaged", "2", false, hookFailedExitCode, nullptr,
         false, nullptr},
    };
    const std::string defaultDirectory = installDirectory;
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        removeInstallation();
        installDirectory = scenario.directory ? scenario.directory : defaultDirectory;
        SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, scenario.privilege);
        RunningApplication application;
        if (scenario.applicationRunning) {
            ASSERT_TRUE(application.start());
        }
        SetupRun run = runSetup(setup(scenario.suffix) + " /S" +
                                (scenario.directory ? std::string(" /D=") + scenario.directory : ""));
        application.stop();
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, scenario.exitCode);
        if (scenario.message) {
            ASSERT_EQ(run.messageBoxes.size(), 1u);
            EXPECT_EQ(run.messageBoxes[0].caption, "Error");
            EXPECT_EQ(run.messageBoxes[0].text, scenario.message);
        } else {
            for (const auto& box : run.messageBoxes)
                ADD_FAILURE() << "message box \"" << box.caption << "\": " << box.text;
        }
        if (scenario.exitCode == 0)
            expectInstalled();
        else
            expectNothingInstalled();
        if (scenario.launches) {
            expectOneLaunch();
        } else {
            EXPECT_FALSE(exists(record)) << fileBytes(record);
        }
        if (scenario.exitCode == 0)
            uninstallAndExpectNothingLeft();
    }
    installDirectory = defaultDirectory;
}

// Quillmarsh2.msi under msiexec, with its verbose log: quiet (/qn), basic UI (/qb) and full
// UI, then msiexec /x. Its custom actions call the real qmhook.dll from the package.
TEST_F(Installer, WindowsInstallerPackage)
{
    const struct {
        const char* name;
        const char* privilege;
        bool applicationRunning;
        const char* ui; // msiexec's option; "" for full UI
        const char* directory; // INSTALLDIR (UTF-8); null: the default
        DWORD exitCode;
        const char* logged; // the veto's message, which the log must hold
        bool launches;
    } cases[] = {
        {"quiet, standard user", "1", false, "/qn", nullptr, 1603, adminMessage, false},
        {"quiet, Quillmarsh2 running", "2", true, "/qn", nullptr, 1603, runningMessage, false},
        {"quiet, administrator", "2", false, "/qn", nullptr, 0, nullptr, false},
        {"basic UI", "2", false, "/qb", nullptr, 0, nullptr, false},
        {"full UI", "2", false, "", nullptr, 0, nullptr, true},
        {"full UI, a Cyrillic directory", "2", false, "",
         "C:\\\xD0\x9A\xD0\xB2\xD0\xB8\xD0\xBB\xD0\xBB\xD0\xBC\xD0\xB0\xD1\x80\xD1\x88", 0, nullptr, true},
    };
    const std::string defaultDirectory = installDirectory, log = scratch + "\\msi.log";
    ASSERT_TRUE(exists(programDirectory() + "Quillmarsh2.msi"))
        << "no Quillmarsh2.msi: the build makes it with wixl, msibuild and faketime";
    const std::string package = "\"" + programDirectory() + "Quillmarsh2.msi\" ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        removeInstallation();
        installDirectory = c.directory ? c.directory : defaultDirectory;
        SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, c.privilege);
        RunningApplication application;
        if (c.applicationRunning) {
            ASSERT_TRUE(application.start());
        }
        SetupRun run = runSetup("msiexec /i " + package + c.ui + " /l*v \"" + log + "\"" +
                                (c.directory ? std::string(" INSTALLDIR=") + c.directory : ""));
        application.stop();
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.messageBoxes.empty()) << run.messageBoxes[0].text;
        std::string written = fileBytes(log);
        EXPECT_EQ(productRegistered(), c.exitCode == 0);
        if (c.logged) {
            EXPECT_NE(written.find(c.logged), std::string::npos) << "not in " << log;
            // Stopped before the engine began, not rolled back after.
            EXPECT_EQ(written.find(": InstallInitialize."), std::string::npos);
            expectNothingInstalled();
        } else {
            EXPECT_EQ(fileBytes(installDirectory + "\\Tovelgate.exe"),
                      fileBytes(programDirectory() + "tovelgate.exe"));
            EXPECT_EQ(text(vendorKey, "InstallLaunchPath"), "Quillmarsh2");
            EXPECT_EQ(text(productKey, "Install Path"), installDirectory + "\\");
        }
        if (c.launches) {
            expectOneLaunch();
        } else {
            EXPECT_FALSE(exists(record)) << fileBytes(record);
        }
        if (c.exitCode == 0) {
            SetupRun removal = runSetup("msiexec /x " + package + "/qn");
            EXPECT_EQ(removal.exitCode, 0u);
            expectNothingInstalled();
            EXPECT_FALSE(productRegistered());
        }
    }
    installDirectory = defaultDirectory;
}

// How many of the banner's rows differ between resources/banner.bmp (bottom-up, 24 bits,
// 340 x 159) and the screen at the picture control: all of them when one cannot be read.
LONG differingRows(HWND picture, const std::string& bmpFile)
{
    const LONG width = 340, height = 159, stride = width * 3;
    std::string file = fileBytes(bmpFile);
    if (file.size() < 54 + size_t(stride) * height)
        return height;
    const char* pixels = file.data() + *reinterpret_cast<const DWORD*>(file.data() + 10);
    BITMAPINFO info = {};
    // A negative height: the capture's rows run top-down, the file's bottom-up.
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* shown = nullptr;
    POINT origin = {0, 0};
    ClientToScreen(picture, &origin);
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP capture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &shown, nullptr, 0);
    LONG differing = height;
    if (capture) {
        HGDIOBJ old = SelectObject(memory, capture);
        BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
        GdiFlush();
        differing = 0;
        for (LONG y = 0; y < height; ++y)
            differing += std::memcmp(static_cast<const char*>(shown) + stride * y,
                                     pixels + stride * (height - 1 - y), stride) != 0;
        SelectObject(memory, old);
        DeleteObject(capture);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return differing;
}

// The first visible control on the page shown in NSIS's main window that `wanted` accepts.
HWND pageControl(HWND main, const std::function<bool(HWND)>& wanted)
{
    HWND page = FindWindowExA(main, nullptr, "#32770", nullptr);
    for (HWND child = page ? GetWindow(page, GW_CHILD) : nullptr; child;
         child = GetWindow(child, GW_HWNDNEXT))
        if (IsWindowVisible(child) && wanted(child))
            return child;
    return nullptr;
}

bool isBitmapStatic(HWND window)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    return lstrcmpiA(name, "Static") == 0 &&
           (GetWindowLongA(window, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
}

// Walks the pages as a user does: the banner page, Next, the directory page, Install, and
// Close once the installation has completed. The banner's control is made 0 x 0: its size
// is the bitmap's.
TEST_F(Installer, InteractiveRunWalksThePagesAndShowsTheBanner)
{
    SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, "2");
    enum Page { Banner, Directory, Installing, Done } page = Banner;
    RECT bannerSize = {};
    bool bannerImage = false;
    LONG differing = -1;
    DWORD bannerSince = 0;
    auto walk = [&](HWND main) {
        HWND next = GetDlgItem(main, IDOK);
        auto click = [&] {
            PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(next));
            page = static_cast<Page>(page + 1);
        };
        if (page == Banner) {
            HWND picture = pageControl(main, isBitmapStatic);
            if (!picture)
                return;
            GetClientRect(picture, &bannerSize);
            bannerImage = SendMessageA(picture, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
            // Windows of tests running beside this one may cover it for a moment.
            differing = differingRows(picture, programDirectory() + "banner.bmp");
            bannerSince = bannerSince ? bannerSince : GetTickCount();
            if (differing == 0 || GetTickCount() - bannerSince > 20000)
                click();
        } else if (page == Directory) {
            if (pageControl(main, [](HWND c) { return GetDlgCtrlID(c) == 1019; }) &&
                IsWindowEnabled(next))
                click();
        } else if (page == Installing) {
            // NSIS enables the button again, as Close, once the installation has completed.
            if (pageControl(main, [](HWND c) { return GetDlgCtrlID(c) == 1016; }) &&
                IsWindowEnabled(next) && setup_driver::windowText(next) == "&Close")
                click();
        }
    };
    SetupRun run = runSetup(setup(), true, walk);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(page, Done);
    EXPECT_EQ(bannerSize.right, 340);
    EXPECT_EQ(bannerSize.bottom, 159);
    EXPECT_TRUE(bannerImage);
    EXPECT_EQ(differing, 0) << "rows of 159 that differ from banner.bmp on the screen";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messageBoxes.empty());
    expectInstalled();
    expectOneLaunch();
    uninstallAndExpectNothingLeft();
}

} // namespace
