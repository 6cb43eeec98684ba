// Stand-in for the installer host: loads qmhook.dll and calls its stages in the order an
// installation does, printing each answer and every message box the DLL shows. With
// --installer it runs the real NSIS installer, Quillmarsh2-setup.exe, instead and reports
// what that did.
#include "common/application.h"
#include "common/dialogs.h"
#include "common/event_log.h"
#include "common/unattended.h"
#include "common/utf.h"
#include "netapi32/double.h"

#include "hook/hook.h"
#include "common/setup_driver.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string dll;
    std::string banner = "stage1-banner.bmp";
    const char* privilege = "2";
    bool applicationRunning = false;
    long applicationSession = -1; // another session where Quillmarsh2 runs
    std::string holderAnswers;    // the WTSAPI32 double's words
    bool msi = false;
    bool interactive = false;
    bool installer = false;
    bool unattended = false;
    bool installDirectoryGiven = false;
    std::string windows = "win7";
    std::string product = "Quillmarsh2";
    std::string installDirectory = "C:\\Program Files\\Quillmarsh2";
};

// The Windows version Wine reports to a program is chosen by the program's name (see
// tests/wine/make-prefixes); --windows re-runs this program under such a name.
const struct {
    const char* option;
    const char* name;
} versions[] = {{"6.0", "vista"}, {"5.1", "winxp"}, {"6.1", "win7"}, {"6.2", "win10"},
                {"9x", "win98"}};

// The options are those of scripts/simulate-install, which documents them (--help there).
void usage(FILE* to)
{
    std::fputs("Usage: qmhost.exe [OPTION...]: see scripts/simulate-install --help\n", to);
}

// The arguments in UTF-8, from the wide command line: the ANSI one turns every letter
// outside the code page into '?'.
std::vector<std::string> arguments()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 0; wide && i < count; ++i)
        result.push_back(utf8(wide[i]));
    LocalFree(wide);
    return result;
}

bool parse(const std::vector<std::string>& argv, Options& options)
{
    const int argc = static_cast<int>(argv.size());
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (option == "--account" && hasValue) {
            std::string account = argv[++i];
            if (account == "admin")
                options.privilege = "2";
            else if (account == "user")
                options.privilege = "1";
            else if (account == "guest")
                options.privilege = "0";
            else
                return false;
        } else if (option == "--app-running") {
            options.applicationRunning = true;
        } else if (option == "--app-running-in-session" && hasValue) {
            options.applicationSession = std::strtol(argv[++i].c_str(), nullptr, 10);
            if (options.applicationSession < 2)
                return false;
        } else if (option == "--holder-answers" && hasValue) {
            std::string words = argv[++i] + ",";
            for (size_t start = 0, comma; (comma = words.find(',', start)) != std::string::npos;
                 start = comma + 1) {
                std::string word = words.substr(start, comma - start);
                if (word == "retry")
                    word = "close";
                else if (word == "retry-open")
                    word = "retry";
                else if (word != "cancel" && word != "none")
                    return false;
                options.holderAnswers += (options.holderAnswers.empty() ? "" : ",") + word;
            }
        } else if (option == "--msi") {
            options.msi = true;
        } else if (option == "--banner" && hasValue) {
            options.banner = argv[++i];
        } else if (option == "--dll" && hasValue) {
            options.dll = argv[++i];
        } else if (option == "--interactive") {
            options.interactive = true;
        } else if (option == "--installer") {
            options.installer = true;
        } else if (option == "--unattended") {
            options.unattended = true;
        } else if (option == "--install-dir" && hasValue) {
            options.installDirectory = argv[++i];
            options.installDirectoryGiven = true;
        } else if (option == "--product" && hasValue) {
            options.product = argv[++i];
        } else if (option == "--windows" && hasValue) {
            std::string wanted = argv[++i];
            options.windows.clear();
            for (const auto& version : versions)
                if (wanted == version.option)
                    options.windows = version.name;
            if (options.windows.empty())
                return false;
        } else {
            return false;
        }
    }
    if (options.dll.empty())
        options.dll = programDirectory() + "qmhook.dll";
    return true;
}

// Writes the bitmap as a 24-bit .bmp file; false if it is not a bitmap or cannot be saved.
bool saveBitmap(HBITMAP bitmap, const std::string& path, BITMAP& shape)
{
    if (!bitmap || !GetObjectA(bitmap, sizeof shape, &shape))
        return false;
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = shape.bmWidth;
    info.biHeight = shape.bmHeight;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD rowBytes = (shape.bmWidth * 3 + 3) & ~3u;
    std::vector<unsigned char> pixels(rowBytes * shape.bmHeight);
    HDC screen = GetDC(nullptr);
    int rows = GetDIBits(screen, bitmap, 0, shape.bmHeight, pixels.data(),
                         reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (rows != shape.bmHeight)
        return false;
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + pixels.size();
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    bool written = std::fwrite(&file, sizeof file, 1, out) == 1 &&
                   std::fwrite(&info, sizeof info, 1, out) == 1 &&
                   std::fwrite(pixels.data(), pixels.size(), 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

// Runs this program again as qmhost-<version>.exe, unless it already is that program.
// Returns -1 when this process is the right one.
int rerunAs(const std::string& version)
{
    char self[MAX_PATH];
    std::string path(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
    std::string wanted = programDirectory() + "qmhost-" + version + ".exe";
    if (lstrcmpiA(path.c_str(), wanted.c_str()) == 0)
        return -1;
    if (!CopyFileA(path.c_str(), wanted.c_str(), FALSE))
        return 1;
    std::wstring arguments = GetCommandLineW();
    // drop this program's own name, quoted or not
    size_t end = arguments[0] == L'"' ? arguments.find(L'"', 1) + 1 : arguments.find(L' ');
    std::wstring command = L"\"" + utf16(wanted) + L"\"" +
                           (end == std::wstring::npos ? L"" : arguments.substr(end));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(status);
}

// A text value written as a Unicode installer writes it, in UTF-16.
bool setText(const std::string& key, const wchar_t* name, const std::string& text)
{
    std::wstring wide = utf16(text);
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, utf16(key).c_str(), name, REG_SZ, wide.c_str(),
                           static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))) ==
           ERROR_SUCCESS;
}

// What an installation leaves before stage 5: the two registry values and the launcher.
bool installProduct(const Options& options, std::string& record)
{
    const std::string vendor = "Software\\Vantorel Software";
    std::wstring directory;
    for (wchar_t c : utf16(options.installDirectory + "\\")) {
        if (c == L'\\' && !directory.empty())
            CreateDirectoryW(directory.c_str(), nullptr);
        directory += c;
    }
    record = options.installDirectory + "\\tovelgate-record.txt";
    DeleteFileW(utf16(record).c_str());
    SetEnvironmentVariableW(L"QMTOVELGATE_RECORD", utf16(record).c_str());
    return setText(vendor, L"InstallLaunchPath", options.product) &&
           setText(vendor + "\\" + options.product, L"Install Path", options.installDirectory) &&
           CopyFileW(utf16(programDirectory() + "tovelgate.exe").c_str(),
                     utf16(options.installDirectory + "\\Tovelgate.exe").c_str(), FALSE);
}

// Prints what the launcher recorded, waiting for it a while: the launch is not waited for,
// and the launcher's file exists before its last line ("directory: ...") is in it.
void reportLaunch(const std::string& record)
{
    std::string lines;
    for (int waited = 0; waited < 300; ++waited, Sleep(100)) {
        lines.clear();
        if (FILE* in = _wfopen(utf16(record).c_str(), L"r")) {
            char line[1024];
            while (std::fgets(line, sizeof line, in))
                lines += std::string("launcher ") + line;
            std::fclose(in);
        }
        if (lines.find("\nlauncher directory: ") != std::string::npos) {
            std::fputs(lines.c_str(), stdout);
            return;
        }
    }
    std::fputs(lines.c_str(), stdout);
    std::puts(lines.empty() ? "launcher: not started" : "launcher: record incomplete");
}

std::string registryText(const std::string& key, const wchar_t* name)
{
    wchar_t text[MAX_PATH] = L"";
    DWORD size = sizeof text - sizeof *text;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, utf16(key).c_str(), name, RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS)
        return "(none)";
    return utf8(text);
}


std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

std::wstring temporaryFile(const char* name)
{
    wchar_t directory[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, directory);
    return std::wstring(directory) + utf16(name);
}

// What the hook tells besides its answers: the asks the WTSAPI32 double received (it logs
// them to QMDOUBLE_ASK_LOG), its entries in the event log and its debug output.
class HookVoices {
public:
    HookVoices() : asks(temporaryFile("qmhost-asks.txt"))
    {
        DeleteFileW(asks.c_str());
        SetEnvironmentVariableW(L"QMDOUBLE_ASK_LOG", asks.c_str());
    }
    // Prints what has come since the last call, and the debug output given, each line
    // after prefix.
    void print(const std::string& prefix, const std::string& debugOutput)
    {
        std::string asked;
        if (FILE* in = _wfopen(asks.c_str(), L"rb")) {
            char chunk[1024];
            for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
                asked.append(chunk, n);
            std::fclose(in);
        }
        for (const std::string& line : lines(asked.substr(asksSeen)))
            std::printf("%sasked %s\n", prefix.c_str(), line.c_str());
        asksSeen = asked.size();
        for (const EventEntry& entry : events.entries()) {
            std::string text = describe(entry);
            for (size_t start = 0, end; start < text.size(); start = end + 2) {
                end = text.find("\r\n", start);
                end = end == std::string::npos ? text.size() : end;
                std::printf("%sevent log: %s%s\n", prefix.c_str(), start ? "  " : "",
                            text.substr(start, end - start).c_str());
            }
        }
        for (const std::string& line : lines(debugOutput))
            std::printf("%sdebug output: %s\n", prefix.c_str(), line.c_str());
    }

private:
    std::wstring asks;
    size_t asksSeen = 0;
    EventLogWatch events;
};

// What an installer left: its registry values, its files, how the launcher was started.
void reportInstallation(std::initializer_list<const char*> files, const std::string& record)
{
    const char vendor[] = "Software\\Vantorel Software";
    std::string product = registryText(vendor, L"InstallLaunchPath");
    std::string directory =
        registryText(std::string(vendor) + "\\" + product, L"Install Path");
    std::printf("InstallLaunchPath: %s\nInstall Path: %s\n", product.c_str(), directory.c_str());
    if (!directory.empty() && directory.back() == '\\')
        directory.pop_back();
    for (const char* file : files)
        if (GetFileAttributesW(utf16(directory + "\\" + file).c_str()) != INVALID_FILE_ATTRIBUTES)
            std::printf("installed %s\\%s\n", directory.c_str(), file);
    if (GetFileAttributesA(record.c_str()) != INVALID_FILE_ATTRIBUTES)
        reportLaunch(record);
    else
        std::puts("launcher: not started");
}

// Where an installer's launcher records how it was started: a file in the temporary folder,
// emptied first, named to it through the environment it inherits.
std::string freshLauncherRecord()
{
    char temp[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, temp);
    std::string record = std::string(temp) + "tovelgate-record.txt";
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA("QMTOVELGATE_RECORD", record.c_str());
    return record;
}

// Runs an installer's command line as the options say (answering its boxes or leaving them
// to the user, on a desktop nobody sees if unattended) and prints its boxes and its exit
// code; false when it did not finish in time. The debug output watch must exist already.
bool runInstallerProcess(const std::string& commandLine, const Options& options,
                         const char* name, SetupRun& run)
{
    run = runSetup(commandLine, !options.interactive, nullptr,
                   options.interactive ? INFINITE : 120000,
                   options.unattended ? unseenDesktop() : nullptr);
    for (const SetupMessageBox& box : run.messageBoxes)
        std::printf("message box \"%s\": %s\n", box.caption.c_str(), box.text.c_str());
    if (!run.finished) {
        std::printf("%s did not finish in time\n", name);
        return false;
    }
    std::printf("%s exit code: %lu\n", name, run.exitCode);
    return true;
}

// Runs Quillmarsh2-setup.exe under the name that makes Wine report the chosen Windows
// version, and reports what it did. Returns the installer's exit code.
int runInstaller(const Options& options, HookVoices& voices)
{
    std::string setup = programDirectory() + "Quillmarsh2-setup.exe";
    std::string named = programDirectory() + "Quillmarsh2-setup-" + options.windows + ".exe";
    if (!CopyFileA(setup.c_str(), named.c_str(), FALSE)) {
        std::fprintf(stderr, "qmhost: no %s (the build makes it where makensis is installed)\n",
                     setup.c_str());
        return 1;
    }
    std::string record = freshLauncherRecord();
    std::string arguments = options.interactive ? "" : " /S";
    if (options.installDirectoryGiven)
        arguments += " /D=" + options.installDirectory; // NSIS: last, without quotes
    std::printf("running %s%s\n", named.substr(named.find_last_of('\\') + 1).c_str(),
                arguments.c_str());
    SystemDebugOutputWatch debug;
    SetupRun run;
    if (!runInstallerProcess("\"" + named + "\"" + arguments, options, "installer", run))
        return 1;
    voices.print("", debug.text());
    reportInstallation({"Tovelgate.exe", "Uninstall.exe"}, record);
    if (run.exitCode == 3)
        std::puts("installation stopped by stage 3");
    else if (run.exitCode == 0)
        std::puts("installation complete");
    return static_cast<int>(run.exitCode);
}

// The lines of the MSI log from the start of each of the package's custom actions to its
// end: what they logged and decided, and their return values.
void printCustomActionLines(const std::wstring& log)
{
    std::string text;
    if (FILE* in = _wfopen(log.c_str(), L"rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
            text.append(chunk, n);
        std::fclose(in);
    }
    bool inside = false;
    for (std::string line : lines(text)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool ours = line.find(": PreInstallCheck.") != std::string::npos ||
                    line.find(": PostInstallLaunch.") != std::string::npos;
        if (ours && line.compare(0, 13, "Action start ") == 0)
            inside = true;
        if (inside)
            std::printf("log: %s\n", line.c_str());
        if (ours && line.compare(0, 13, "Action ended ") == 0)
            inside = false;
    }
}

// Runs Quillmarsh2.msi with msiexec, quietly or at full UI, and reports what it did.
// Returns msiexec's exit code.
int runMsi(const Options& options, HookVoices& voices)
{
    std::string package = programDirectory() + "Quillmarsh2.msi";
    std::wstring log = temporaryFile("Quillmarsh2-msi.log");
    DeleteFileW(log.c_str());
    std::string record = freshLauncherRecord();
    std::string arguments = std::string(options.interactive ? "" : " /qn") + " /l*v \"" +
                            utf8(log) + "\"";
    if (options.installDirectoryGiven)
        arguments += " INSTALLDIR=\"" + options.installDirectory + "\"";
    std::printf("running msiexec /i Quillmarsh2.msi%s\n", arguments.c_str());
    SystemDebugOutputWatch debug;
    SetupRun run;
    if (!runInstallerProcess("msiexec /i \"" + package + "\"" + arguments, options, "msiexec",
                             run))
        return 1;
    printCustomActionLines(log);
    voices.print("", debug.text());
    reportInstallation({"Tovelgate.exe"}, record);
    if (run.exitCode == ERROR_INSTALL_FAILURE)
        std::puts("installation stopped (1603)");
    else if (run.exitCode == 0)
        std::puts("installation complete");
    return static_cast<int>(run.exitCode);
}

void reportDialogs(HookStage stage, DialogWatch& watch)
{
    for (const SeenDialog& dialog : watch.seen())
        std::printf("stage %lu: message box \"%s\": %s\n", stage, dialog.caption.c_str(),
                    dialog.text.c_str());
    watch.clear();
}

} // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!parse(arguments(), options)) {
        usage(stderr);
        return 2;
    }
    if (!options.installer) {
        int rerun = rerunAs(options.windows);
        if (rerun != -1)
            return rerun;
    }
    SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, options.privilege);

    RunningApplication application, otherSession;
    if (options.applicationRunning) {
        if (!application.start()) {
            std::fprintf(stderr, "qmhost: could not start quillmarsh2.exe\n");
            return 1;
        }
        std::puts("Quillmarsh2 is running (it holds the mutex VantorelAppMutex)");
    }
    // The WTSAPI32 double lists session 0, this one (1 under Wine) and the user's.
    SetEnvironmentVariableA("QMDOUBLE_ANSWERS",
                            options.holderAnswers.empty() ? nullptr : options.holderAnswers.c_str());
    if (options.applicationSession >= 0) {
        std::string session = std::to_string(options.applicationSession);
        if (!otherSession.start(options.applicationSession)) {
            std::fprintf(stderr, "qmhost: could not start quillmarsh2.exe in session %s\n",
                         session.c_str());
            return 1;
        }
        SetEnvironmentVariableA("QMDOUBLE_SESSIONS", ("0,1," + session).c_str());
        SetEnvironmentVariableA("QMDOUBLE_CLOSE_EVENT", otherSession.quitEvent().c_str());
        std::printf("Quillmarsh2 is running in session %s, user%s's (it holds the mutex "
                    "Session\\%s\\VantorelAppMutex)\n",
                    session.c_str(), session.c_str(), session.c_str());
    }
    HookVoices voices;
    if (options.installer)
        return runInstaller(options, voices);
    if (options.msi)
        return runMsi(options, voices);

    HMODULE hook = LoadLibraryA(options.dll.c_str());
    auto clearInstallerHook = reinterpret_cast<ClearInstallerHookFn>(
        reinterpret_cast<void*>(hook ? GetProcAddress(hook, "ClearInstallerHook") : nullptr));
    if (!clearInstallerHook) {
        std::fprintf(stderr, "qmhost: cannot load ClearInstallerHook from %s (error %lu)\n",
                     options.dll.c_str(), GetLastError());
        return 1;
    }
    std::printf("loaded %s\n", options.dll.c_str());
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    std::printf("Windows reports %lu.%lu%s\n", version.dwMajorVersion, version.dwMinorVersion,
                version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? " (9x family)" : "");

    DialogWatch watch(!options.interactive);
    int status = 0;
    for (HookStage stage = 1; stage <= 6; ++stage) {
        std::string record;
        if (stage == HookStagePostInstall) {
            if (!installProduct(options, record)) {
                std::fprintf(stderr, "qmhost: could not install into %s\n",
                             options.installDirectory.c_str());
                return 1;
            }
            std::printf("installed %s into %s\n", options.product.c_str(),
                        options.installDirectory.c_str());
        }
        void* out = nullptr;
        int answer = 0;
        std::string said = "stage " + std::to_string(stage) + ": ";
        if (options.unattended) {
            DebugOutputWatch debug;
            if (!runUnseen([&] { answer = clearInstallerHook(stage, nullptr, &out); })) {
                std::printf("stage %lu: did not return: it waits where nobody can answer\n", stage);
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 4);
            }
            voices.print(said, debug.text());
        } else {
            answer = clearInstallerHook(stage, nullptr, &out);
            voices.print(said, "");
        }
        reportDialogs(stage, watch);
        std::printf("stage %lu: answer %d\n", stage, answer);
        if (stage == HookStageBanner) {
            HBITMAP banner = static_cast<HBITMAP>(out);
            BITMAP shape = {};
            if (saveBitmap(banner, options.banner, shape))
                std::printf("stage 1: banner %ldx%ld saved to %s\n", shape.bmWidth,
                            shape.bmHeight, options.banner.c_str());
            else
                std::printf("stage 1: no banner to save\n");
            if (banner)
                DeleteObject(banner);
        }
        if (stage == HookStagePostInstall) {
            reportLaunch(record);
            wchar_t directory[MAX_PATH] = L"";
            GetCurrentDirectoryW(MAX_PATH, directory);
            std::printf("host directory after stage 5: %s\n", utf8(directory).c_str());
        }
        if (stage == HookStagePreInstall && answer == 0) {
            std::puts("installation stopped by stage 3");
            status = 3;
            break;
        }
    }
    if (status == 0)
        std::puts("installation complete");
    FreeLibrary(hook);
    return status;
}
