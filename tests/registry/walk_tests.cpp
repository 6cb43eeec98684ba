// Enumeration cursors and recursive deletion on the real registry.
#include "registry/registry.h"
#include "support/scratch_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

std::set<std::string> childKeys(Tarn::Registry& registry)
{
    std::set<std::string> names;
    char name[256];
    long length;
    while ((length = registry.enumerateChildKeys(name, sizeof name)) != -1) {
        EXPECT_EQ(length, long(std::strlen(name)));
        names.insert(name);
    }
    return names;
}

TEST(RegistryEnumeration, ChildKeysInTurnThenMinusOneThenFromTheStart)
{
    ScratchKey scratch;
    scratch.createKey("A");
    scratch.createKey("BB");
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    EXPECT_EQ(childKeys(registry), (std::set<std::string>{"A", "BB"}));
    char name[256];
    long first = registry.enumerateChildKeys(name, sizeof name);
    EXPECT_EQ(first, long(std::strlen(name))) << "the cursor starts again after -1";
    EXPECT_TRUE(first == 1 || first == 2);
}

TEST(RegistryEnumeration, ANameLongerThanTheCapacityEndsAndRewinds)
{
    ScratchKey scratch;
    const std::string longest(255, 'k');
    scratch.createKey(longest);
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    char name[300];
    EXPECT_EQ(registry.enumerateChildKeys(name, 255), -1) << "the capacity counts the NUL";
    EXPECT_EQ(registry.enumerateChildKeys(name, 256), 255) << "rewound to the first child";
    EXPECT_EQ(std::string(name), longest);
    EXPECT_EQ(registry.enumerateChildKeys(name, 256), -1);

    const std::string value(16, 'v');
    scratch.setText("", value.c_str(), std::string("x\0", 2));
    unsigned long type = 0;
    EXPECT_EQ(registry.enumerateChildKeyValues(name, 16, &type, nullptr, 0), -1);
    EXPECT_EQ(registry.enumerateChildKeyValues(name, 17, &type, nullptr, 0), 2);
}

TEST(RegistryEnumeration, ValuesReportTheirTypeAndDataSize)
{
    ScratchKey scratch;
    scratch.setValue("", "only", REG_DWORD, "\x2A\0\0\0", 4);
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    char name[32];
    unsigned long type = 0;
    unsigned char data[16] = {};
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, &type, data, sizeof data), 4);
    EXPECT_STREQ(name, "only");
    EXPECT_EQ(type, unsigned(REG_DWORD));
    EXPECT_EQ(data[0], 0x2A);
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, &type, data, sizeof data), -1);
    // A null data asks for the size alone; a short data buffer fails and rewinds.
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, nullptr, nullptr, 0), 4);
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, &type, data, 2), -1);
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, &type, data, 4), 4);
}

TEST(RegistryEnumeration, CursorsAreIndependentAndSurviveOpenKey)
{
    ScratchKey scratch;
    for (const char* child : {"x\\a", "x\\b", "x\\c", "y\\p", "y\\q", "y\\r"})
        scratch.createKey(child);
    scratch.setText("x", "v1", std::string("1\0", 2));
    scratch.setText("x", "v2", std::string("2\0", 2));
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path("x").c_str()));
    char name[256];
    ASSERT_EQ(registry.enumerateChildKeys(name, sizeof name), 1);
    // The value cursor has not moved: both values are still ahead of it.
    unsigned long type;
    EXPECT_NE(registry.enumerateChildKeyValues(name, sizeof name, &type, nullptr, 0), -1);
    EXPECT_NE(registry.enumerateChildKeyValues(name, sizeof name, &type, nullptr, 0), -1);
    EXPECT_EQ(registry.enumerateChildKeyValues(name, sizeof name, &type, nullptr, 0), -1);

    // Moving to y keeps the key cursor at 1: two of y's three children are left.
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path("y").c_str()));
    EXPECT_EQ(childKeys(registry).size(), 2u);
    registry.enumerateChildKeys(name, sizeof name);
    registry.resetKeyEnumeration();
    EXPECT_EQ(childKeys(registry).size(), 3u);
}

TEST(RegistryDeletion, ATwoLevelTreeBeneathHklm)
{
    ScratchKey scratch;
    for (const char* key : {"t\\a\\x", "t\\a\\y", "t\\b\\z", "keep"})
        scratch.createKey(key);
    scratch.setText("t\\a\\x", "v", std::string("1\0", 2));
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path("keep").c_str()));
    registry.lastError = 77;
    EXPECT_TRUE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("t").c_str()));
    EXPECT_FALSE(scratch.exists("t"));
    EXPECT_TRUE(scratch.exists(""));
    EXPECT_EQ(registry.lastError, 77u);
    EXPECT_TRUE(registry.writeValue("still", 1)) << "the object keeps its key";
}

TEST(RegistryDeletion, AChildOfTheHeldKeyWithAMaximalName)
{
    ScratchKey scratch;
    const std::string longest(255, 'n');
    scratch.createKey("k\\child\\" + longest + "\\leaf");
    scratch.createKey("k\\sibling");
    Tarn::Registry registry;
    ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path("k").c_str()));
    EXPECT_TRUE(registry.deleteKey("child"));
    EXPECT_FALSE(scratch.exists("k\\child"));
    EXPECT_TRUE(scratch.exists("k\\sibling"));
    EXPECT_TRUE(registry.writeValue("still", 1));
    DWORD type;
    std::string bytes;
    EXPECT_TRUE(scratch.value("k", "still", type, bytes));
}

TEST(RegistryDeletion, WideAndDeepTreesLeaveNoHandleAndTheParentUsable)
{
    ScratchKey scratch;
    for (int i = 0; i < 200; ++i)
        scratch.createKey("wide\\" + std::to_string(i));
    std::string deep = "deep";
    for (int i = 0; i < 40; ++i)
        deep += "\\" + std::to_string(i);
    scratch.createKey(deep);
    HKEY parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, scratch.path().c_str(), 0, KEY_ALL_ACCESS, &parent),
              ERROR_SUCCESS);
    unsigned long before = nextHandleValue();
    for (const char* tree : {"wide", "deep"}) {
        Tarn::Registry registry;
        EXPECT_TRUE(registry.deleteKey(parent, tree)) << tree;
        EXPECT_FALSE(scratch.exists(tree));
    }
    EXPECT_EQ(nextHandleValue(), before);
    DWORD subKeys = 99;
    EXPECT_EQ(RegQueryInfoKeyA(parent, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 0u);
    RegCloseKey(parent);
}

TEST(RegistryDeletion, AMissingKeyGivesTwo)
{
    ScratchKey scratch;
    Tarn::Registry registry;
    EXPECT_FALSE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("none").c_str()));
    EXPECT_EQ(registry.lastError, unsigned(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(registry.deleteKey(HKEY_LOCAL_MACHINE, nullptr));
    EXPECT_TRUE(scratch.exists(""));
}

// A key the walk cannot delete ends the deletion deep in the tree: the failure comes back as
// false and its code, with what went before still deleted. On the NT family that is a key
// that may be deleted but not listed and has a child; on the 9x family, whose walk goes by
// ANSI name, one named in characters the code page cannot spell, listed as a name that
// opens nothing.
TEST(RegistryDeletion, AFailureDeepInTheTreeStopsTheWholeDeletion)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    const bool nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    ScratchKey scratch;
    scratch.createKey("t\\a\\done");
    scratch.createKey("t\\m\\x");
    if (nt)
        scratch.createSecured("t\\m", L"D:P(A;;0x50000;;;WD)");
    else
        scratch.createSecured("t\\m\\\xE4\xB8\xAD\xE6\x96\x87", nullptr);

    Tarn::Registry registry;
    EXPECT_FALSE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("t").c_str()));
    EXPECT_EQ(registry.lastError, unsigned(nt ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(scratch.exists("t\\a")) << "deleted before the failure";
    EXPECT_TRUE(scratch.exists("t"));
}

} // namespace
