// A careless or hostile host: random stage codes with pointers that fault when touched,
// the DLL loaded and freed a thousand times, and several threads at once. In the emulated
// machine: 20,000 codes and 200 loads, where a lost handle or TLS index shows as well and
// a lost critical section (64 bytes a load under Wine 8) still passes a page.
#include "support/hook_module.h"
#include "support/process_probe.h"

#include "registry/registry.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

const long loads = runSize(1000, 200);

int expectedAnswer(HookStage stage)
{
    return stage == 1 || stage == 3 || stage == 4 || stage == 5 || stage == 6 ? 1 : 0;
}

class HostileHost : public ::testing::Test {
protected:
    // Stage 3 passes (an administrator, no application) and stage 5 finds nothing to start.
    void SetUp() override
    {
        configureDouble(0, USER_PRIV_ADMIN);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Vantorel Software");
    }
};

// reserved faults when read; out faults when written, except for stage 1, which gets a
// real slot. A touch ends the process, and with it the test.
TEST_F(HostileHost, RandomStageCodesAnswerByTheTableAndTouchNothingTheyMayNot)
{
    auto hook = loadHook();
    ASSERT_NE(hook, nullptr);
    void* reserved = pageWithProtection(PAGE_NOACCESS);
    void** readOnlyOut = static_cast<void**>(pageWithProtection(PAGE_READONLY));
    std::mt19937 rng(20261209);
    int wrong = 0;
    for (long call = 0, calls = runSize(100000, 20000); call < calls; ++call) {
        HookStage stage = rng() % 2 ? rng() % 8 : rng();
        void* slot = nullptr;
        int answer = hook(stage, reserved, stage == 1 ? &slot : readOnlyOut);
        wrong += answer != expectedAnswer(stage);
        if (stage == 1) {
            wrong += slot == nullptr;
            DeleteObject(static_cast<HBITMAP>(slot));
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(HostileHost, AThousandLoadsCallsAndFreesLeaveNothingBehind)
{
    // A copy under another path, so that each LoadLibraryA maps and starts it anew.
    const std::string path = programDirectory() + "fresh\\qmhook.dll";
    auto round = [&path] {
        HMODULE module = LoadLibraryA(path.c_str());
        if (!module)
            return false;
        auto hook = reinterpret_cast<ClearInstallerHookFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "ClearInstallerHook")));
        bool right = hook != nullptr;
        for (HookStage stage = 0; right && stage <= 7; ++stage) {
            void* slot = nullptr;
            right = hook(stage, nullptr, &slot) == expectedAnswer(stage);
            DeleteObject(static_cast<HBITMAP>(slot));
        }
        return FreeLibrary(module) && right;
    };
    for (int warmUp = 0; warmUp < 10; ++warmUp)
        ASSERT_TRUE(round());
    ProcessProbe before = probeProcess();
    int failed = 0;
    for (long i = 0; i < loads; ++i)
        failed += !round();
    ProcessProbe after = probeProcess();
    printProbes("load, stages 0-7, free", loads, before, after);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr);
    EXPECT_EQ(after.nextHandle, before.nextHandle);
    EXPECT_LE(after.privateKiB, before.privateKiB + 256 * loads / 1000);
}

// The class's members as a module that loads the DLL by path reaches them.
struct RegistryMembers {
    typedef void(__attribute__((thiscall)) * Construct)(void* self, unsigned long access);
    typedef bool(__attribute__((thiscall)) * DeleteKey)(void* self, HKEY parent, const char* subKey);
    typedef void(__attribute__((thiscall)) * Destroy)(void* self);
    Construct construct;
    DeleteKey deleteKey;
    Destroy destroy;
};

RegistryMembers registryMembers(HMODULE module)
{
    auto member = [module](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(module, name));
    };
    return {reinterpret_cast<RegistryMembers::Construct>(member("_ZN4Tarn8RegistryC1Em")),
            reinterpret_cast<RegistryMembers::DeleteKey>(
                member("_ZN4Tarn8Registry9deleteKeyEP6HKEY__PKc")),
            reinterpret_cast<RegistryMembers::Destroy>(member("_ZN4Tarn8RegistryD1Ev"))};
}

// The next TLS index this process would get: indexes are handed out lowest first, so one
// that a workload took and never gave back makes this higher afterwards.
DWORD nextTlsIndex()
{
    DWORD index = TlsAlloc();
    TlsFree(index);
    return index;
}

// Each failed deleteKey throws inside the DLL: the first throw of a load sets up the
// runtime's per-thread exception state, which the unload must give back.
TEST_F(HostileHost, AThousandLoadsWithAFailingDeleteKeyLeaveNothingBehind)
{
    const std::string path = programDirectory() + "fresh\\qmhook.dll";
    const std::string missing =
        "Software\\QmhookTest\\missing-" + std::to_string(GetCurrentProcessId());
    auto round = [&] {
        HMODULE module = LoadLibraryA(path.c_str());
        if (!module)
            return false;
        RegistryMembers registry = registryMembers(module);
        bool right = registry.construct && registry.deleteKey && registry.destroy;
        if (right) {
            alignas(4) unsigned char object[28];
            registry.construct(object, 0x2001F);
            right = !registry.deleteKey(object, HKEY_LOCAL_MACHINE, missing.c_str());
            unsigned long lastError;
            std::memcpy(&lastError, object, sizeof lastError);
            right = right && lastError == ERROR_FILE_NOT_FOUND;
            registry.destroy(object);
        }
        return FreeLibrary(module) && right;
    };
    for (int warmUp = 0; warmUp < 10; ++warmUp)
        ASSERT_TRUE(round());
    ProcessProbe before = probeProcess();
    DWORD tlsBefore = nextTlsIndex();
    int failed = 0;
    for (long i = 0; i < loads; ++i)
        failed += !round();
    ProcessProbe after = probeProcess();
    DWORD tlsAfter = nextTlsIndex();
    printProbes("load, failing deleteKey, free", loads, before, after);
    std::printf("next TLS index %lu -> %lu\n", tlsBefore, tlsAfter);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(tlsAfter, tlsBefore);
    EXPECT_EQ(after.nextHandle, before.nextHandle);
    EXPECT_LE(after.privateKiB, before.privateKiB + 4) << "more than a page";
}

// Starts the workers together and waits for all of them.
template <typename Work>
void runTogether(int threads, Work work)
{
    std::atomic<int> waiting(threads);
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back([&, i] {
            for (--waiting; waiting > 0;)
                std::this_thread::yield();
            work(i);
        });
    for (std::thread& worker : workers)
        worker.join();
}

TEST_F(HostileHost, TwoThreadsRunStages1And3AtOnce)
{
    auto hook = loadHook();
    ASSERT_NE(hook, nullptr);
    std::atomic<int> wrong(0);
    runTogether(2, [&](int) {
        for (int i = 0; i < 300; ++i) {
            void* slot = nullptr;
            BITMAP bitmap = {};
            wrong += hook(HookStageBanner, nullptr, &slot) != 1;
            wrong += GetObjectA(slot, sizeof bitmap, &bitmap) != sizeof bitmap ||
                     bitmap.bmWidth != 340 || bitmap.bmHeight != 159;
            DeleteObject(static_cast<HBITMAP>(slot));
            wrong += hook(HookStagePreInstall, nullptr, nullptr) != 1;
        }
    });
    EXPECT_EQ(wrong, 0);
}

// Each thread's object creates, fills, reads, walks and deletes its own key; any value or
// child of another thread's key seen by it is a failure.
TEST_F(HostileHost, FourThreadsEachWorkTheirOwnRegistryObject)
{
    const std::string root = "Software\\QmhookThreads";
    std::atomic<int> wrong(0);
    runTogether(4, [&](int thread) {
        const std::string mine = "thread" + std::to_string(thread);
        const std::string path = root + "\\" + mine;
        Tarn::Registry registry;
        for (int i = 0; i < 100; ++i) {
            const std::string text = mine + "-" + std::to_string(i);
            if (!registry.openKey(HKEY_LOCAL_MACHINE, "Software") ||
                !registry.createKey(path + "\\child") ||
                !registry.openKey(HKEY_LOCAL_MACHINE, path.c_str())) {
                ++wrong;
                continue;
            }
            registry.writeValue(std::string("text"), text);
            registry.writeValue("number", thread * 1000 + i);
            std::string readText;
            int readNumber = -1;
            wrong += !registry.readValue("text", readText) || readText != text;
            wrong += !registry.readValue("number", &readNumber) || readNumber != thread * 1000 + i;
            char name[256];
            unsigned long type;
            long values = 0, keys = 0;
            while (registry.enumerateChildKeyValues(name, sizeof name, &type, nullptr, 0) != -1)
                ++values;
            while (registry.enumerateChildKeys(name, sizeof name) != -1)
                wrong += std::string(name) != "child" || ++keys > 1;
            wrong += values != 2 || keys != 1;
            wrong += !registry.deleteKey(HKEY_LOCAL_MACHINE, path.c_str());
        }
    });
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, root.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, root.c_str());
    EXPECT_EQ(wrong, 0);
}

} // namespace
