// The shipped qmhook.dll as a file: what it imports, what it exports, and its header flags.
#include "hook/oldest_exports.h"
#include "support/hook_module.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace {

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return text;
}

class ShippedDll : public ::testing::Test {
protected:
    // Mapped as an image without running or binding it, apart from the module the other
    // tests load; the handle's low bits mark such a mapping.
    void SetUp() override
    {
        module = LoadLibraryExA((programDirectory() + "qmhook.dll").c_str(), nullptr,
                                LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
        image = reinterpret_cast<const BYTE*>(reinterpret_cast<uintptr_t>(module) & ~uintptr_t(3));
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
        nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image + dos->e_lfanew);
    }
    const IMAGE_DATA_DIRECTORY& directory(int index) const
    {
        return nt->OptionalHeader.DataDirectory[index];
    }
    void TearDown() override { FreeLibrary(module); }
    HMODULE module = nullptr;
    const BYTE* image = nullptr;
    const IMAGE_NT_HEADERS32* nt = nullptr;
};

TEST_F(ShippedDll, ImportsOnlyWindowsOwnDllsAndNeverNetapi32)
{
    const std::set<std::string> allowed = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL",
                                           "USER32.DLL"};
    auto import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        image + directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    int count = 0;
    for (; import->Name; ++import, ++count) {
        std::string name = upper(reinterpret_cast<const char*>(image + import->Name));
        EXPECT_TRUE(allowed.count(name)) << name;
    }
    EXPECT_GE(count, 4);
}

// Windows 98, ME, NT 4.0 and 2000 refuse the whole DLL over a single import they lack.
TEST_F(ShippedDll, ImportsOnlyWhatWindows98AndNt4Export)
{
    std::set<std::string> known;
    for (const OldestExport& entry : oldestExports)
        known.insert(std::string(entry.dll) + "!" + entry.name);
    std::vector<std::string> unknown;
    int imports = 0;
    auto import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        image + directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    for (; import->Name; ++import) {
        std::string dll = upper(reinterpret_cast<const char*>(image + import->Name));
        auto thunk = reinterpret_cast<const IMAGE_THUNK_DATA32*>(
            image + (import->OriginalFirstThunk ? import->OriginalFirstThunk : import->FirstThunk));
        for (; thunk->u1.AddressOfData; ++thunk, ++imports) {
            if (IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) {
                unknown.push_back(dll + "!#" + std::to_string(IMAGE_ORDINAL32(thunk->u1.Ordinal)));
                continue;
            }
            auto byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(image + thunk->u1.AddressOfData);
            std::string name = dll + "!" + reinterpret_cast<const char*>(byName->Name);
            if (!known.count(name))
                unknown.push_back(name);
        }
    }
    EXPECT_GT(imports, 40);
    EXPECT_TRUE(unknown.empty()) << ::testing::PrintToString(unknown)
                                 << ": not exported by Windows 98 or NT 4.0 (tests/hook/oldest_exports.h)";
    EXPECT_EQ(directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).Size, 0u);
}

// Both loaders refuse a subsystem version above 4.0.
TEST_F(ShippedDll, AsksForSubsystemVersion40)
{
    EXPECT_EQ(nt->OptionalHeader.MajorSubsystemVersion, 4);
    EXPECT_EQ(nt->OptionalHeader.MinorSubsystemVersion, 0);
    EXPECT_LE(nt->OptionalHeader.MajorOperatingSystemVersion, 4);
}

TEST_F(ShippedDll, ExportsTheHookAndCustomActionsUndecoratedAndTheRegistryClassAndNothingElse)
{
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
        image + directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        exported.insert(reinterpret_cast<const char*>(image + names[i]));
    const std::string str = "NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
    const std::set<std::string> expected = {
        "ClearInstallerHook", "PreInstallCheck", "PostInstallLaunch",
        "_ZN4Tarn8RegistryC1Em", "_ZN4Tarn8RegistryC2Em",
        "_ZN4Tarn8RegistryD1Ev", "_ZN4Tarn8RegistryD2Ev",
        "_ZN4Tarn8Registry7openKeyEP6HKEY__PKc",
        "_ZN4Tarn8Registry9createKeyE" + str,
        "_ZN4Tarn8Registry8closeKeyEv",
        "_ZN4Tarn8Registry9setAccessEm",
        "_ZN4Tarn8Registry10writeValueE" + str + "S6_",
        "_ZN4Tarn8Registry10writeValueEPKci",
        "_ZN4Tarn8Registry10writeValueEPKcPKvm",
        "_ZN4Tarn8Registry10writeValueEPKcS2_m",
        "_ZN4Tarn8Registry9readValueEPKcPi",
        "_ZN4Tarn8Registry9readValueEPKcR" + str,
        "_ZN4Tarn8Registry9readValueEPKcPvl",
        "_ZN4Tarn8Registry9readValueEPKcPcl",
        "_ZN4Tarn8Registry11deleteValueEPKc",
        "_ZN4Tarn8Registry18enumerateChildKeysEPcm",
        "_ZN4Tarn8Registry23enumerateChildKeyValuesEPcmPmPhm",
        "_ZN4Tarn8Registry19resetKeyEnumerationEv",
        "_ZN4Tarn8Registry21resetValueEnumerationEv",
        "_ZN4Tarn8Registry9deleteKeyEP6HKEY__PKc",
        "_ZN4Tarn8Registry9deleteKeyEPKc",
    };
    EXPECT_EQ(exported, expected);
}

TEST_F(ShippedDll, IsA32BitDllMarkedForDepAndAslr)
{
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
    EXPECT_TRUE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL);
    EXPECT_TRUE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
    EXPECT_TRUE(nt->OptionalHeader.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE);
    EXPECT_NE(directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
}

// Read as a file: the banner alone is 162 KB, so the code has about 100 KB of room.
TEST_F(ShippedDll, StaysWithin256KiBAndCarriesTheStackProtector)
{
    std::ifstream file(programDirectory() + "qmhook.dll", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 162222u);
    EXPECT_LE(bytes.size(), 256u * 1024);
    EXPECT_NE(bytes.find("stack smashing detected"), std::string::npos);
}

} // namespace
