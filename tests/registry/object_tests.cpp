// The key object: access masks, opening and creating, lastError, and its handles.
#include "registry/registry.h"
#include "support/scratch_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <type_traits>

namespace {

static_assert(!std::is_copy_constructible<Tarn::Registry>::value, "not copyable");
static_assert(!std::is_copy_assignable<Tarn::Registry>::value, "not assignable");

TEST(RegistryObject, LastErrorIsTheFirstFieldAndReadable)
{
    Tarn::Registry registry;
    registry.lastError = 0xABCD;
    unsigned long first;
    std::memcpy(&first, &registry, sizeof first);
    EXPECT_EQ(first, 0xABCDu);
}

TEST(RegistryObject, AccessMaskDecidesWhatTheOpenedKeyAllows)
{
    ScratchKey scratch;
    scratch.setText("", "v", std::string("1\0", 2));
    struct Case {
        const char* what;
        bool setAccess;
        unsigned long access;
        bool canRead, canWrite;
    };
    const Case cases[] = {
        {"default", false, 0, true, true},
        {"KEY_READ", true, KEY_READ, true, false},
        {"KEY_WRITE", true, KEY_WRITE, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Tarn::Registry registry;
        if (c.setAccess)
            registry.setAccess(c.access);
        ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
        std::string text;
        EXPECT_EQ(registry.readValue("v", text), c.canRead);
        EXPECT_EQ(registry.writeValue("w", 5), c.canWrite);
    }
    // The constructor's argument is the mask too.
    Tarn::Registry readOnly(KEY_READ);
    ASSERT_TRUE(readOnly.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    EXPECT_FALSE(readOnly.writeValue("w", 5));
}

TEST(RegistryObject, FailedOpenRecordsTheCodeAndTheRootForCreateKey)
{
    ScratchKey scratch;
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    registry.lastError = 77;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    EXPECT_EQ(registry.lastError, 77u) << "a successful open keeps lastError";

    std::string missing = scratch.path("missing");
    EXPECT_FALSE(registry.openKey(HKEY_LOCAL_MACHINE, missing.c_str()));
    EXPECT_EQ(registry.lastError, unsigned(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(registry.writeValue("v", 1)) << "a failed open leaves no key held";

    registry.lastError = 77;
    ASSERT_TRUE(registry.createKey(missing));
    EXPECT_EQ(registry.lastError, 77u);
    EXPECT_TRUE(scratch.exists("missing"));
    ASSERT_TRUE(registry.writeValue("v", 1));
    DWORD type;
    std::string bytes;
    EXPECT_TRUE(scratch.value("missing", "v", type, bytes)) << "the created key is held";
}

TEST(RegistryObject, CreateKeyIsBeneathTheRootNotTheHeldKey)
{
    ScratchKey scratch;
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    ASSERT_TRUE(registry.createKey(scratch.path("a\\b")));
    EXPECT_TRUE(scratch.exists("a\\b"));
}

TEST(RegistryObject, CreateKeyWithoutARootFailsAndRecordsNothing)
{
    Tarn::Registry fresh;
    fresh.lastError = 77;
    EXPECT_FALSE(fresh.createKey("Software\\QmhookTest\\never"));
    EXPECT_EQ(fresh.lastError, 77u);
    Tarn::Registry closed;
    EXPECT_TRUE(closed.closeKey());
    EXPECT_FALSE(closed.createKey("Software\\QmhookTest\\never"));
    HKEY key;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\QmhookTest\\never", 0, KEY_READ, &key),
              ERROR_SUCCESS);
}

TEST(RegistryHandles, NoWorkloadLeavesAHandleBehind)
{
    ScratchKey scratch;
    scratch.createKey("a\\b");
    const std::string path = scratch.path();
    const std::string child = scratch.path("a");
    struct Workload {
        const char* what;
        std::function<void(Tarn::Registry&)> run;
    };
    const Workload workloads[] = {
        {"open, destructor", [&](Tarn::Registry& r) { r.openKey(HKEY_LOCAL_MACHINE, path.c_str()); }},
        {"open twice", [&](Tarn::Registry& r) {
             r.openKey(HKEY_LOCAL_MACHINE, path.c_str());
             r.openKey(HKEY_LOCAL_MACHINE, child.c_str());
         }},
        {"open, failed open", [&](Tarn::Registry& r) {
             r.openKey(HKEY_LOCAL_MACHINE, path.c_str());
             r.openKey(HKEY_LOCAL_MACHINE, (path + "\\none").c_str());
         }},
        {"open, create twice", [&](Tarn::Registry& r) {
             r.openKey(HKEY_LOCAL_MACHINE, path.c_str());
             r.createKey(child);
             r.createKey(path + "\\c");
         }},
        {"open, close, close", [&](Tarn::Registry& r) {
             r.openKey(HKEY_LOCAL_MACHINE, path.c_str());
             r.closeKey();
             r.closeKey();
         }},
        {"enumerate, delete", [&](Tarn::Registry& r) {
             r.openKey(HKEY_LOCAL_MACHINE, path.c_str());
             char name[256];
             while (r.enumerateChildKeys(name, sizeof name) != -1) {
             }
             r.createKey(path + "\\d\\e\\f");
             r.deleteKey("d");
         }},
    };
    for (const Workload& workload : workloads) {
        SCOPED_TRACE(workload.what);
        unsigned long before = nextHandleValue();
        {
            Tarn::Registry registry;
            workload.run(registry);
        }
        EXPECT_EQ(nextHandleValue(), before);
    }
}

// A handle value freed by the object is handed to the next opening; releasing it again
// would close that other key.
TEST(RegistryHandles, NoHandleIsReleasedTwice)
{
    ScratchKey scratch;
    scratch.createKey("a");
    const std::string path = scratch.path();
    const std::function<void(Tarn::Registry&)> replacements[] = {
        [&](Tarn::Registry& r) { r.closeKey(); },
        [&](Tarn::Registry& r) { r.openKey(HKEY_LOCAL_MACHINE, scratch.path("a").c_str()); },
        [&](Tarn::Registry& r) { r.createKey(scratch.path("a")); },
        [&](Tarn::Registry& r) { r.openKey(HKEY_LOCAL_MACHINE, scratch.path("x").c_str()); },
    };
    for (size_t i = 0; i < sizeof replacements / sizeof replacements[0]; ++i) {
        SCOPED_TRACE(i);
        HKEY other = nullptr;
        {
            Tarn::Registry registry;
            ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, path.c_str()));
            replacements[i](registry);
            ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &other),
                      ERROR_SUCCESS);
            registry.closeKey();
        }
        DWORD subKeys = 0;
        EXPECT_EQ(RegQueryInfoKeyA(other, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(other);
    }
}

} // namespace
