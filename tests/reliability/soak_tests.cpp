// Long runs: 10,000 cycles of each workload (1,000 in the emulated machine). Every cycle
// must leave the next handle where it was, and the whole run private bytes flat, within
// 256 KiB for 10,000 cycles (26 bytes a cycle) and as much less for fewer; the figures are
// printed.
#include "support/hook_module.h"
#include "support/process_probe.h"

#include "registry/registry.h"

#include <fstream>
#include <functional>

namespace {

const char vendor[] = "Software\\Vantorel Software";
const long cycles = runSize(10000, 1000);
const unsigned long slackKiB = 256 * cycles / 10000;

// Runs a cycle `count` times after a warm-up, counting the cycles that moved the next
// handle and the ones whose work went wrong.
void soak(const char* workload, long count, const std::function<bool(long)>& cycle)
{
    for (long i = 0; i < 20; ++i)
        ASSERT_TRUE(cycle(i)) << workload << ": warm-up cycle " << i;
    ProcessProbe before = probeProcess();
    long moved = 0, wrong = 0;
    for (long i = 0; i < count; ++i) {
        wrong += !cycle(i);
        moved += nextHandleValue() != before.nextHandle;
    }
    ProcessProbe after = probeProcess();
    printProbes(workload, count, before, after);
    EXPECT_EQ(wrong, 0) << workload;
    EXPECT_EQ(moved, 0) << workload << ": cycles that left a handle open";
    EXPECT_LE(after.privateKiB, before.privateKiB + slackKiB) << workload;
    if (after.gdiObjects || before.gdiObjects) {
        EXPECT_EQ(after.gdiObjects, before.gdiObjects) << workload;
    }
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override
    {
        hook = loadHook();
        ASSERT_NE(hook, nullptr);
        configureDouble(0, USER_PRIV_ADMIN);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
    }
    void TearDown() override
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, vendor);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, vendor);
    }
    static void setText(const std::string& key, const char* name, const std::string& text)
    {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, text.c_str(),
                        text.size() + 1);
    }
    ClearInstallerHookFn hook = nullptr;
};

TEST_F(Soak, Stage1WithTheHostDeletingEachBitmap)
{
    soak("stage 1", cycles, [this](long) {
        void* bitmap = nullptr;
        bool right = hook(HookStageBanner, nullptr, &bitmap) == 1 && bitmap;
        return DeleteObject(static_cast<HBITMAP>(bitmap)) && right;
    });
}

TEST_F(Soak, Stage3OnItsPassingPath)
{
    soak("stage 3", cycles,
         [this](long) { return hook(HookStagePreInstall, nullptr, nullptr) == 1; });
}

// The launch reads both keys and finds no launcher in the installation directory.
TEST_F(Soak, Stage5WithNothingToStartThenWithALaunch)
{
    std::string directory = "C:\\qmsoak-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(directory.c_str(), nullptr);
    setText(vendor, "InstallLaunchPath", "Quillmarsh2");
    setText(std::string(vendor) + "\\Quillmarsh2", "Install Path", directory);
    soak("stage 5, no launcher", cycles,
         [this](long) { return hook(HookStagePostInstall, nullptr, nullptr) == 1; });

    // Each launch records into a file of its own; a few run at a time.
    ASSERT_TRUE(CopyFileA((programDirectory() + "tovelgate.exe").c_str(),
                          (directory + "\\Tovelgate.exe").c_str(), FALSE));
    auto record = [&directory](long i) { return directory + "\\record-" + std::to_string(i); };
    auto recorded = [&record](long i) {
        std::ifstream in(record(i));
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("directory: ") != std::string::npos;
    };
    auto waitFor = [&recorded](long i) {
        for (int waited = 0; waited < 60000 && !recorded(i); waited += 20)
            Sleep(20);
        return recorded(i);
    };
    long launched = 0;
    const long launches = runSize(100, 20);
    soak("stage 5, launching", launches, [&](long) {
        static long next = 0;
        long cycle = next++;
        SetEnvironmentVariableA("QMTOVELGATE_RECORD", record(cycle).c_str());
        bool right = hook(HookStagePostInstall, nullptr, nullptr) == 1;
        if (cycle >= 4 && waitFor(cycle - 4))
            ++launched;
        return right;
    });
    for (long cycle = launches + 20 - 4; cycle < launches + 20; ++cycle)
        launched += waitFor(cycle);
    EXPECT_EQ(launched, launches + 20);
}

// open, create, the four writes, the four reads, both enumerations and deleteKey.
TEST_F(Soak, RegistryObjectWorkingAKeyFromOpenToDelete)
{
    const std::string key = "Software\\QmhookSoak";
    soak("Tarn::Registry", cycles, [&key](long i) {
        Tarn::Registry registry;
        const unsigned char bytes[] = {1, 2, 3, 4};
        char text[64] = "";
        std::string string;
        int number = 0;
        bool right = registry.openKey(HKEY_LOCAL_MACHINE, "Software") &&
                     registry.createKey(key + "\\child") &&
                     registry.openKey(HKEY_LOCAL_MACHINE, key.c_str()) &&
                     registry.writeValue(std::string("string"), std::to_string(i)) &&
                     registry.writeValue("number", int(i)) &&
                     registry.writeValue("bytes", bytes, sizeof bytes) &&
                     registry.writeValue("list", "a\0b\0", 5) &&
                     registry.readValue("string", string) && string == std::to_string(i) &&
                     registry.readValue("number", &number) && number == i &&
                     registry.readValue("bytes", static_cast<void*>(text), sizeof text) &&
                     registry.readValue("list", text, sizeof text);
        char name[256];
        unsigned long type;
        unsigned char data[64];
        int values = 0, keys = 0;
        while (registry.enumerateChildKeyValues(name, sizeof name, &type, data, sizeof data) != -1)
            ++values;
        while (registry.enumerateChildKeys(name, sizeof name) != -1)
            ++keys;
        return right && values == 4 && keys == 1 &&
               registry.deleteKey(HKEY_LOCAL_MACHINE, key.c_str());
    });
}

} // namespace
