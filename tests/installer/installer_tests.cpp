// Quillmarsh2-setup.exe, the NSIS installer, run as a user runs it: silently and through its
// pages, as an administrator, as a standard user, with Quillmarsh2 running and on Windows
// 6.0, then its uninstaller. The installer loads the real qmhook.dll; the account's
// privilege comes from the NETAPI32 double (WINEDLLOVERRIDES=netapi32=n).
#include "installer/drive_setup.h"
#include "common/application.h"
#include "netapi32/double.h"
#include "support/launch_oracle.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <fstream>
#include <iterator>

namespace {

const char vendorKey[] = "Software\\Vantorel Software";
const char productKey[] = "Software\\Vantorel Software\\Quillmarsh2";
const char uninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmarsh2";
const char adminMessage[] =
    "Quillmarsh2 must be installed using an account with administrative access.";
const char runningMessage[] =
    "Quillmarsh2 is currently running. Please close Quillmarsh2 before installing.";
const DWORD vetoExitCode = 3;

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void removeTree(const std::string& path)
{
    std::string from = path + '\0'; // the list ends with a second NUL
    SHFILEOPSTRUCTA operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    if (exists(path))
        SHFileOperationA(&operation);
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

// The REG_SZ text of a value, or "<missing>".
std::string text(const char* path, const char* name)
{
    char data[1024];
    DWORD size = sizeof data - 1, type = 0;
    HKEY key = openKey(path);
    bool read = key && RegQueryValueExA(key, name, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    if (!read || type != REG_SZ)
        return "<missing>";
    data[size] = '\0';
    return data;
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
    } scenarios[] = {
        {"administrator", "", "2", false, 0, nullptr, true},
        {"standard user", "", "1", false, vetoExitCode, adminMessage, false},
        {"guest", "", "0", false, vetoExitCode, adminMessage, false},
        {"Quillmarsh2 running", "", "2", true, vetoExitCode, runningMessage, false},
        {"Windows 6.0", "-vista", "2", false, 0, nullptr, false},
    };
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        removeInstallation();
        SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, scenario.privilege);
        RunningApplication application;
        if (scenario.applicationRunning)
            ASSERT_TRUE(application.start());
        SetupRun run = runSetup(setup(scenario.suffix) + " /S");
        application.stop();
        ASSERT_TRUE(run.started);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, scenario.exitCode);
        if (scenario.message) {
            ASSERT_EQ(run.messageBoxes.size(), 1u);
            EXPECT_EQ(run.messageBoxes[0].caption, "Error");
            EXPECT_EQ(run.messageBoxes[0].text, scenario.message);
            expectNothingInstalled();
        } else {
            for (const auto& box : run.messageBoxes)
                ADD_FAILURE() << "message box \"" << box.caption << "\": " << box.text;
            expectInstalled();
        }
        if (scenario.launches) {
            expectOneLaunch();
        } else {
            EXPECT_FALSE(exists(record)) << fileBytes(record);
        }
        if (!scenario.message)
            uninstallAndExpectNothingLeft();
    }
}

// The banner as 24-bit rows, top row first, from a bottom-up .bmp file.
std::vector<std::string> bannerRows(const std::string& file, LONG& width, LONG& height)
{
    std::string bytes = fileBytes(file);
    std::vector<std::string> rows;
    if (bytes.size() < 54)
        return rows;
    const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(bytes.data() + 14);
    width = info->biWidth;
    height = info->biHeight;
    DWORD offset = *reinterpret_cast<const DWORD*>(bytes.data() + 10);
    size_t stride = (width * 3 + 3) & ~3;
    if (info->biBitCount != 24 || height <= 0 || offset + stride * height > bytes.size())
        return rows;
    for (LONG y = height - 1; y >= 0; --y)
        rows.push_back(bytes.substr(offset + stride * y, width * 3));
    return rows;
}

// The pixels on screen at a window's client area, as 24-bit rows, top row first.
std::vector<std::string> screenRows(HWND window, LONG width, LONG height)
{
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP capture = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<std::string> rows;
    if (capture) {
        HGDIOBJ old = SelectObject(memory, capture);
        BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
        GdiFlush();
        size_t stride = (width * 3 + 3) & ~3;
        for (LONG y = 0; y < height; ++y)
            rows.emplace_back(static_cast<const char*>(bits) + stride * y, width * 3);
        SelectObject(memory, old);
        DeleteObject(capture);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rows;
}

struct FoundControl {
    int id;
    const char* className; // null: any class
    DWORD staticType;      // for statics: the SS_ type wanted, or ~0u for any
    HWND window;
};

BOOL CALLBACK findControl(HWND window, LPARAM context)
{
    auto* wanted = reinterpret_cast<FoundControl*>(context);
    char name[32] = "";
    GetClassNameA(window, name, sizeof name);
    if ((wanted->id < 0 || GetDlgCtrlID(window) == wanted->id) &&
        (!wanted->className || lstrcmpiA(name, wanted->className) == 0) &&
        (wanted->staticType == ~0u ||
         (static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)) & SS_TYPEMASK) ==
             wanted->staticType) &&
        IsWindowVisible(window)) {
        wanted->window = window;
        return FALSE;
    }
    return TRUE;
}

HWND control(HWND main, int id, const char* className = nullptr, DWORD staticType = ~0u)
{
    FoundControl wanted = {id, className, staticType, nullptr};
    EnumChildWindows(main, findControl, reinterpret_cast<LPARAM>(&wanted));
    return wanted.window;
}

// Walks the pages as a user does: the banner page (checked against resources/banner.bmp,
// pixel for pixel on the screen), Next, the directory page, Install, and Close once the
// installation has completed.
TEST_F(Installer, InteractiveRunWalksThePagesAndShowsTheBanner)
{
    SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, "2");
    LONG width = 0, height = 0;
    std::vector<std::string> banner = bannerRows(programDirectory() + "banner.bmp", width, height);
    ASSERT_EQ(width, 340);
    ASSERT_EQ(height, 159);

    enum Page { Banner, Directory, Installing, Done };
    Page page = Banner;
    RECT bannerSize = {};
    bool bannerImage = false, bannerMatched = false;
    size_t differingRows = 0;
    auto click = [](HWND main, int id) {
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(main, id)));
    };
    DWORD bannerSince = 0;
    auto walk = [&](HWND main) {
        HWND next = GetDlgItem(main, IDOK);
        switch (page) {
        case Banner:
            if (HWND picture = control(main, -1, "Static", SS_BITMAP)) {
                GetClientRect(picture, &bannerSize);
                bannerImage = SendMessageA(picture, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
                // Windows of tests running beside this one may cover it for a moment.
                std::vector<std::string> shown = screenRows(picture, width, height);
                differingRows = 0;
                for (LONG y = 0; y < height && y < static_cast<LONG>(shown.size()); ++y)
                    differingRows += shown[y] != banner[y];
                bannerMatched = shown.size() == banner.size() && differingRows == 0;
                if (!bannerSince)
                    bannerSince = GetTickCount();
                if (bannerMatched || GetTickCount() - bannerSince > 20000) {
                    click(main, IDOK);
                    page = Directory;
                }
            }
            break;
        case Directory:
            if (control(main, 1019, "Edit") && IsWindowEnabled(next)) {
                click(main, IDOK);
                page = Installing;
            }
            break;
        case Installing:
            // NSIS enables the button again, as Close, when the installation has completed.
            if (control(main, 1016) && IsWindowEnabled(next) &&
                setup_driver::windowText(next) == "&Close") {
                click(main, IDOK);
                page = Done;
            }
            break;
        case Done:
            break;
        }
    };
    SetupRun run = runSetup(setup(), true, walk);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(page, Done);
    EXPECT_EQ(bannerSize.right, 340);
    EXPECT_EQ(bannerSize.bottom, 159);
    EXPECT_TRUE(bannerImage);
    EXPECT_TRUE(bannerMatched) << differingRows << " of 159 rows differ from banner.bmp";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.messageBoxes.empty());
    expectInstalled();
    expectOneLaunch();
    uninstallAndExpectNothingLeft();
}

} // namespace
