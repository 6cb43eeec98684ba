// deleteKey deletes what its caller named and nothing else: not the parent of an empty
// name, not what a registry link inside the tree points to, not the other registry view.
#include "registry/registry.h"
#include "support/scratch_key.h"

#include <gtest/gtest.h>

#include "support/import_slot.h"
#include "common/utf.h"

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

TEST(DeletionSafety, AnEmptySubKeyDeletesNothingThroughEitherForm)
{
    ScratchKey scratch;
    scratch.createKey("parent\\child\\grandchild");
    scratch.setText("parent", "kept", std::string("1\0", 2));
    HKEY parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, scratch.path("parent").c_str(), 0, KEY_ALL_ACCESS,
                            &parent),
              ERROR_SUCCESS);
    const struct {
        const char* what;
        std::function<bool(Tarn::Registry&)> call;
    } cases[] = {
        {"deleteKey(parent, \"\")", [&](Tarn::Registry& r) { return r.deleteKey(parent, ""); }},
        // Below a plain key the platform refuses these itself (161); the DLL must not ask.
        {"deleteKey(parent, \"\\\")", [&](Tarn::Registry& r) { return r.deleteKey(parent, "\\"); }},
        {"deleteKey(parent, \"\\\\\")", [&](Tarn::Registry& r) { return r.deleteKey(parent, "\\\\"); }},
        {"deleteKey(\"\") on the held key",
         [&](Tarn::Registry& r) {
             return r.openKey(HKEY_LOCAL_MACHINE, scratch.path("parent").c_str()) && r.deleteKey("");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Tarn::Registry registry;
        EXPECT_FALSE(c.call(registry));
        EXPECT_EQ(registry.lastError, unsigned(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(scratch.exists("parent\\child\\grandchild"));
        DWORD type;
        std::string bytes;
        EXPECT_TRUE(scratch.value("parent", "kept", type, bytes));
    }
    RegCloseKey(parent);
}

// Each case builds a tree holding links, deletes it and checks that the tree and its links
// are gone while everything the links point to is whole. The targets lie beside the tree.
TEST(DeletionSafety, LinksAreDeletedAsLinksAndNeverFollowed)
{
    const struct {
        const char* what;
        std::vector<std::pair<const char*, const char*>> links; // link, target
        const char* deleted;                                    // beneath the scratch key
        std::vector<const char*> gone;
    } cases[] = {
        {"a link among the children", {{"tree\\link", "target"}}, "tree", {"tree", "tree\\link"}},
        {"a link deep in the tree", {{"tree\\a\\b\\link", "target"}}, "tree",
         {"tree\\a\\b\\link", "tree\\a", "tree"}},
        {"the named key is a link", {{"link", "target"}}, "link", {"link"}},
        {"a dangling link", {{"tree\\dangling", "nothing"}}, "tree", {"tree\\dangling", "tree"}},
        {"a link back to the tree's parent", {{"tree\\up", ""}}, "tree", {"tree\\up", "tree"}},
        {"two links to one target", {{"tree\\one", "target"}, {"tree\\two\\x", "target\\t1"}},
         "tree", {"tree\\one", "tree\\two", "tree"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchKey scratch;
        scratch.createKey("tree\\plain\\leaf");
        scratch.createKey("target\\t1\\deep");
        scratch.createKey("target\\t2");
        scratch.setText("target", "kept", std::string("1\0", 2));
        for (const auto& link : c.links) {
            if (std::string(link.first).find('\\') != std::string::npos)
                scratch.createKey(std::string(link.first).substr(0, std::string(link.first).rfind('\\')));
            scratch.createLink(link.first, link.second);
        }
        Tarn::Registry registry;
        EXPECT_TRUE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path(c.deleted).c_str()))
            << registry.lastError;
        for (const char* key : c.gone)
            EXPECT_FALSE(scratch.existsAsItself(key)) << key;
        for (const char* key : {"target\\t1\\deep", "target\\t2"})
            EXPECT_TRUE(scratch.exists(key)) << key;
        DWORD type;
        std::string bytes;
        EXPECT_TRUE(scratch.value("target", "kept", type, bytes));
    }
}

// The path the caller names is the platform's to resolve: a link in it is followed.
TEST(DeletionSafety, ALinkInTheNamedPathIsFollowed)
{
    ScratchKey scratch;
    scratch.createKey("target\\t1\\deep");
    scratch.createKey("target\\t2");
    scratch.createLink("via", "target");
    Tarn::Registry registry;
    EXPECT_TRUE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("via\\t1").c_str()));
    EXPECT_FALSE(scratch.exists("target\\t1"));
    EXPECT_TRUE(scratch.exists("target\\t2"));
    EXPECT_TRUE(scratch.existsAsItself("via"));
    HKEY via;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, scratch.path("via").c_str(), REG_OPTION_OPEN_LINK,
                            KEY_ALL_ACCESS, &via),
              ERROR_SUCCESS);
    auto deleteLink = reinterpret_cast<LONG(NTAPI*)(HANDLE)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDeleteKey")));
    EXPECT_EQ(deleteLink(via), 0);
    RegCloseKey(via);
}

// Trees as a Unicode program and a careful administrator leave them: children named outside
// the ANSI code page, keys whose access list grants deletion and little else, and a child
// that really refuses: it may be deleted but not listed, and it has a child of its own.
TEST(DeletionSafety, AnyNameAndOnlyTheRightsDeletionNeeds)
{
    const wchar_t readAndDelete[] = L"D:P(A;;0x30019;;;WD)", deleteOnly[] = L"D:P(A;;0x50000;;;WD)";
    const std::string long256(256, 'n');
    const struct {
        const char* what;
        std::vector<std::pair<std::string, const wchar_t*>> keys; // beneath tree (UTF-8), list
        DWORD error;                                              // 0: all deleted
        std::vector<std::wstring> left; // the tree ("") and its children, if it is left
    } cases[] = {
        {"Cyrillic and CJK children",
         {{"a", nullptr}, {"\xD0\x94\xD0\xBC\xD0\xB8\xD1\x82\xD1\x80\xD0\xB8\xD0\xB9", nullptr},
          {"\xE4\xB8\xAD\xE6\x96\x87", nullptr}, {"\xE4\xB8\xAD\xE6\x96\x87\\\xE7\x9B\xAE", nullptr},
          {"z", nullptr}},
         0, {}},
        {"a leaf granting read and delete", {{"leaf", readAndDelete}}, 0, {}},
        {"a leaf granting delete alone", {{"leaf", deleteOnly}}, 0, {}},
        {"a child that refuses", {{"a", nullptr}, {"m\\x", nullptr}, {"m", deleteOnly}, {"z", nullptr}},
         ERROR_ACCESS_DENIED, {L"", L"m", L"z"}},
        // 256 characters, which Wine and Windows take, and a 255-unit buffer does not.
        {"a child named with 256 characters", {{"a", nullptr}, {long256 + "\\x", nullptr}, {"z", nullptr}},
         0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchKey scratch;
        scratch.createKey("tree");
        for (const auto& key : c.keys)
            scratch.createSecured("tree\\" + key.first, key.second);
        for (const auto& key : c.keys) // ASCII, or else letters the ANSI walk cannot spell
            ASSERT_TRUE(utf16(key.first).size() == key.first.size() || outsideCodePage(utf16(key.first)));
        Tarn::Registry registry;
        EXPECT_EQ(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("tree").c_str()), !c.error);
        EXPECT_EQ(registry.lastError, c.error);
        std::vector<std::wstring> left;
        HKEY tree;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, utf16(scratch.path("tree")).c_str(), 0, KEY_READ,
                          &tree) == ERROR_SUCCESS) {
            wchar_t name[256];
            left.push_back(L"");
            for (DWORD i = 0, size = 256; RegEnumKeyExW(tree, i, name, &size, nullptr, nullptr,
                                                        nullptr, nullptr) == ERROR_SUCCESS;
                 ++i, size = 256)
                left.push_back(name);
            RegCloseKey(tree);
        }
        EXPECT_EQ(left, c.left);
    }
}

// How Windows answers for a key that may be listed but not queried; Wine never refuses.
LONG WINAPI refuseQueryInfo(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                            LPDWORD, LPDWORD, LPDWORD, PFILETIME)
{
    return ERROR_ACCESS_DENIED;
}

// Any answer of the listing but a child or the end stops the walk with its code before
// anything more goes: here a name longer than the buffer, whose length cannot be learnt.
TEST(DeletionSafety, AListingThatFailsStopsTheWalkWithItsCode)
{
    ScratchKey scratch;
    for (const std::string& key : {std::string("tree\\a"), "tree\\" + std::string(256, 'n') + "\\x",
                                   std::string("tree\\z")})
        scratch.createSecured(key, nullptr);
    LookupPatch refuse(GetModuleHandleA("qmhook.dll"), "RegQueryInfoKeyW",
                       reinterpret_cast<void*>(&refuseQueryInfo));
    Tarn::Registry registry;
    EXPECT_FALSE(registry.deleteKey(HKEY_LOCAL_MACHINE, scratch.path("tree").c_str()));
    EXPECT_EQ(registry.lastError, unsigned(ERROR_MORE_DATA));
    EXPECT_FALSE(scratch.exists("tree\\a"));
    EXPECT_TRUE(scratch.exists("tree\\z"));
}

// A tree of the same name in each registry view, told apart by a value.
class Views : public ::testing::Test {
protected:
    const std::string root = "Software\\QmhookTest\\views-" + std::to_string(GetCurrentProcessId());
    void SetUp() override
    {
        // Under a 32-bit prefix the cases below hold vacuously: make sure of the prefix.
        if (const char* arch = std::getenv("QMHOOK_WINE_ARCH")) {
            ASSERT_EQ(runsUnderWow64(), std::strcmp(arch, "win64") == 0) << arch;
        }
        for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
            HKEY key;
            ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (root + "\\tree\\child").c_str(), 0,
                                      nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            RegCloseKey(key);
        }
    }
    void TearDown() override
    {
        for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_ALL_ACCESS | view, &key) ==
                ERROR_SUCCESS) {
                RegDeleteTreeA(key, nullptr);
                RegCloseKey(key);
                RegDeleteKeyExA(HKEY_LOCAL_MACHINE, root.c_str(), view, 0);
            }
        }
    }
    static bool existsIn(REGSAM view, const std::string& path)
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) !=
            ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
};

// On 32-bit Windows there is one view and the bits change nothing; under WoW64 an object
// without view bits acts in the 32-bit view, like every call of this process.
const struct ViewCase {
    const char* what;
    REGSAM bits;
    bool in64; // acts in the 64-bit view under WoW64
} viewCases[] = {
    {"no view bits", 0, false},
    {"KEY_WOW64_64KEY", KEY_WOW64_64KEY, true},
    {"KEY_WOW64_32KEY", KEY_WOW64_32KEY, false},
};

TEST_F(Views, CreateKeyActsInTheObjectsView)
{
    const bool wow64 = runsUnderWow64();
    for (const ViewCase& c : viewCases) {
        SCOPED_TRACE(c.what);
        const std::string made = root + "\\made";
        Tarn::Registry registry(0x2001F | c.bits);
        ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, root.c_str()));
        ASSERT_TRUE(registry.createKey(made));
        EXPECT_EQ(existsIn(KEY_WOW64_64KEY, made), !wow64 || c.in64);
        EXPECT_EQ(existsIn(KEY_WOW64_32KEY, made), !wow64 || !c.in64);
        for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)})
            RegDeleteKeyExA(HKEY_LOCAL_MACHINE, made.c_str(), view, 0);
    }
}

TEST_F(Views, DeleteKeyActsInTheObjectsViewOnly)
{
    const bool wow64 = runsUnderWow64();
    for (const ViewCase& c : viewCases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const std::string tree = root + "\\tree";
        Tarn::Registry registry(0x2001F | c.bits);
        EXPECT_TRUE(registry.deleteKey(HKEY_LOCAL_MACHINE, tree.c_str())) << registry.lastError;
        EXPECT_EQ(existsIn(KEY_WOW64_64KEY, tree), wow64 && !c.in64);
        EXPECT_EQ(existsIn(KEY_WOW64_32KEY, tree), wow64 && c.in64);
        // The held-key form, beneath a key opened in the object's view.
        SetUp();
        ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, root.c_str()));
        EXPECT_TRUE(registry.deleteKey("tree")) << registry.lastError;
        EXPECT_EQ(existsIn(KEY_WOW64_64KEY, tree), wow64 && !c.in64);
        EXPECT_EQ(existsIn(KEY_WOW64_32KEY, tree), wow64 && c.in64);
        registry.closeKey();
    }
}

// An advapi32 that does not know REG_OPTION_OPEN_LINK answers 87 to it (an answer Wine
// cannot be made to give: the DLL's lookup of RegOpenKeyExW is handed one that does).
// The walk then goes by name, as on the 9x family, in the object's view.
int refusedLinkOpenings;

LONG WINAPI openKeyRefusingLinks(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result)
{
    if (options & REG_OPTION_OPEN_LINK) {
        ++refusedLinkOpenings;
        return ERROR_INVALID_PARAMETER;
    }
    return RegOpenKeyExW(parent, subKey, options, access, result);
}

TEST_F(Views, WhereOpeningALinkIsRefusedTheWalkGoesByNameInTheObjectsView)
{
    LookupPatch patch(GetModuleHandleA("qmhook.dll"), "RegOpenKeyExW",
                      reinterpret_cast<void*>(openKeyRefusingLinks));
    ASSERT_NE(patch.where(), nullptr);
    const bool wow64 = runsUnderWow64();
    for (const ViewCase& c : viewCases) {
        SCOPED_TRACE(c.what);
        SetUp();
        refusedLinkOpenings = 0;
        const std::string tree = root + "\\tree";
        Tarn::Registry registry(0x2001F | c.bits);
        EXPECT_TRUE(registry.deleteKey(HKEY_LOCAL_MACHINE, tree.c_str())) << registry.lastError;
        EXPECT_EQ(refusedLinkOpenings, 1) << "asked once, then by name";
        EXPECT_EQ(existsIn(KEY_WOW64_64KEY, tree), wow64 && !c.in64);
        EXPECT_EQ(existsIn(KEY_WOW64_32KEY, tree), wow64 && c.in64);
        EXPECT_FALSE(registry.deleteKey(HKEY_LOCAL_MACHINE, tree.c_str()));
        EXPECT_EQ(registry.lastError, unsigned(ERROR_FILE_NOT_FOUND));
    }
}

} // namespace
