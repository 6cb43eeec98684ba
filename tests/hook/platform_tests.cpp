// Each test entry runs in the prefix it claims: 32-bit Windows, or 64-bit Windows where
// this 32-bit program runs under WoW64 with the file system and registry redirected.
#include "support/hook_module.h"

#include <cstdlib>
#include <cstring>

namespace {

bool keyExists(const std::string& path, REGSAM view)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST(Prefix, IsTheWindowsItsTestEntryNames)
{
    const char* arch = std::getenv("QMHOOK_WINE_ARCH");
    ASSERT_NE(arch, nullptr) << "CTest names the prefix's architecture";
    const bool win64 = std::strcmp(arch, "win64") == 0;

    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 != FALSE, win64);
    char directory[MAX_PATH];
    EXPECT_EQ(GetSystemWow64DirectoryA(directory, MAX_PATH) != 0, win64);
    std::string programFiles(directory, GetEnvironmentVariableA("ProgramFiles", directory, MAX_PATH));
    EXPECT_EQ(programFiles.find("(x86)") != std::string::npos, win64) << programFiles;

    // A key this program makes beneath HKLM\Software lies in the 32-bit view.
    const std::string name = "QmhookViewProbe-" + std::to_string(GetCurrentProcessId());
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("Software\\" + name).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(keyExists("Software\\Wow6432Node\\" + name, KEY_WOW64_64KEY), win64);
    EXPECT_EQ(keyExists("Software\\" + name, KEY_WOW64_64KEY), !win64);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("Software\\" + name).c_str()), ERROR_SUCCESS);
}

} // namespace
