// Stand-in for the installer host: loads qmhook.dll and calls its stages in the order an
// installation does, printing each answer and every message box the DLL shows.
#include "common/application.h"
#include "common/dialogs.h"
#include "netapi32/double.h"

#include "hook/hook.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string dll;
    std::string banner = "banner.bmp";
    const char* privilege = "2";
    bool applicationRunning = false;
    bool interactive = false;
};

void usage(FILE* to)
{
    std::fputs(
        "Usage: qmhost.exe [OPTION...]\n"
        "Simulates an installation of Quillmarsh2 driving qmhook.dll through stages 1 to 6;\n"
        "stops after stage 3 when that answers 0. Prints every answer and message box.\n"
        "\n"
        "  --account admin|user|guest  privilege the account reports (default admin);\n"
        "                              needs the NETAPI32 double chosen with\n"
        "                              WINEDLLOVERRIDES=netapi32=n, as scripts/simulate-install does\n"
        "  --app-running               Quillmarsh2 runs during the installation\n"
        "  --banner FILE               where to save the banner of stage 1 (default banner.bmp)\n"
        "  --dll PATH                  the hook DLL (default: qmhook.dll beside qmhost.exe)\n"
        "  --interactive               leave message boxes to the user instead of pressing OK\n"
        "  --help                      this text\n",
        to);
}

bool parse(int argc, char** argv, Options& options)
{
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
        } else if (option == "--banner" && hasValue) {
            options.banner = argv[++i];
        } else if (option == "--dll" && hasValue) {
            options.dll = argv[++i];
        } else if (option == "--interactive") {
            options.interactive = true;
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

void reportDialogs(HookStage stage, DialogWatch& watch)
{
    for (const SeenDialog& dialog : watch.seen())
        std::printf("stage %lu: message box \"%s\": %s\n", stage, dialog.caption.c_str(),
                    dialog.text.c_str());
    watch.clear();
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options options;
    if (!parse(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    SetEnvironmentVariableA(QMDOUBLE_PRIV_VARIABLE, options.privilege);

    RunningApplication application;
    if (options.applicationRunning) {
        if (!application.start()) {
            std::fprintf(stderr, "qmhost: could not start quillmarsh2.exe\n");
            return 1;
        }
        std::puts("Quillmarsh2 is running (it holds the mutex VantorelAppMutex)");
    }

    HMODULE hook = LoadLibraryA(options.dll.c_str());
    auto clearInstallerHook = reinterpret_cast<ClearInstallerHookFn>(
        reinterpret_cast<void*>(hook ? GetProcAddress(hook, "ClearInstallerHook") : nullptr));
    if (!clearInstallerHook) {
        std::fprintf(stderr, "qmhost: cannot load ClearInstallerHook from %s (error %lu)\n",
                     options.dll.c_str(), GetLastError());
        return 1;
    }
    std::printf("loaded %s\n", options.dll.c_str());

    DialogWatch watch(!options.interactive);
    int status = 0;
    for (HookStage stage = 1; stage <= 6; ++stage) {
        void* out = nullptr;
        int answer = clearInstallerHook(stage, nullptr, &out);
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
