// Stage answers, what stage 1 hands out, and the banner resource as the DLL file holds it.
#include "common/dialogs.h"
#include "support/hook_module.h"

#include <cstring>
#include <vector>

namespace {

// A host's reserved pointer must never be read, and out must not be written by stages
// other than 1: both point into pages that fault.
const uintptr_t untouched = 0x5EED5EED;

TEST(Stages, AnswerEachCodeAndWriteOutOnlyForStage1)
{
    auto hook = loadHook();
    ASSERT_NE(hook, nullptr);
    configureDouble(0, USER_PRIV_ADMIN); // stage 3 passes: administrator, no application
    DialogWatch watch;
    void* reserved = pageWithProtection(PAGE_NOACCESS, 0);
    void** readOnlyOut = static_cast<void**>(pageWithProtection(PAGE_READONLY, untouched));

    struct Case {
        HookStage stage;
        int answer;
    };
    const Case cases[] = {{0, 0}, {2, 0}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 0}, {8, 0},
                          {100, 0}, {0x80000001, 0}, {0xFFFFFFFF, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stage);
        EXPECT_EQ(hook(c.stage, reserved, readOnlyOut), c.answer);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(*readOnlyOut), untouched);
    }

    void* slot = reinterpret_cast<void*>(untouched);
    EXPECT_EQ(hook(HookStageBanner, reserved, &slot), 1);
    EXPECT_NE(reinterpret_cast<uintptr_t>(slot), untouched);
    DeleteObject(static_cast<HBITMAP>(slot));
    EXPECT_EQ(hook(HookStageBanner, reserved, nullptr), 1);
    EXPECT_TRUE(watch.seen().empty());
}

TEST(Stages, Stage1HandsOverANewBannerBitmapEachCall)
{
    auto hook = loadHook();
    ASSERT_NE(hook, nullptr);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(hook(HookStageBanner, nullptr, &first), 1);
    ASSERT_EQ(hook(HookStageBanner, nullptr, &second), 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    for (void* handle : {first, second}) {
        BITMAP shape = {};
        ASSERT_EQ(GetObjectA(static_cast<HBITMAP>(handle), sizeof shape, &shape),
                  int(sizeof shape));
        EXPECT_EQ(shape.bmWidth, 340);
        EXPECT_EQ(shape.bmHeight, 159);
        EXPECT_TRUE(DeleteObject(static_cast<HBITMAP>(handle)));
    }
}

// Resource types and names as numbers; a name given as text reads as a pointer value.
BOOL CALLBACK collectType(HMODULE, LPSTR type, LONG_PTR list)
{
    reinterpret_cast<std::vector<uintptr_t>*>(list)->push_back(reinterpret_cast<uintptr_t>(type));
    return TRUE;
}

BOOL CALLBACK collectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR list)
{
    reinterpret_cast<std::vector<uintptr_t>*>(list)->push_back(reinterpret_cast<uintptr_t>(name));
    return TRUE;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

TEST(Banner, TheOnlyResourceIsBitmap102InUsEnglishLaidOutAsADib)
{
    HMODULE file = LoadLibraryExA((programDirectory() + "qmhook.dll").c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(file, nullptr);
    std::vector<uintptr_t> types, names;
    std::vector<WORD> languages;
    EnumResourceTypesA(file, collectType, reinterpret_cast<LONG_PTR>(&types));
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(types[0], reinterpret_cast<uintptr_t>(RT_BITMAP));
    EnumResourceNamesA(file, RT_BITMAP, collectName, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], 102u);
    EnumResourceLanguagesA(file, RT_BITMAP, MAKEINTRESOURCEA(102), collectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    ASSERT_EQ(languages.size(), 1u);
    EXPECT_EQ(languages[0], 1033);

    HRSRC resource = FindResourceExA(file, RT_BITMAP, MAKEINTRESOURCEA(102), 1033);
    ASSERT_NE(resource, nullptr);
    ASSERT_EQ(SizeofResource(file, resource), 162222u);
    auto bytes = static_cast<const unsigned char*>(LockResource(LoadResource(file, resource)));
    BITMAPINFOHEADER header;
    std::memcpy(&header, bytes, sizeof header);
    struct Field {
        const char* name;
        long long actual, expected;
    };
    const Field fields[] = {
        {"biSize", header.biSize, 40},
        {"biWidth", header.biWidth, 340},
        {"biHeight", header.biHeight, 159},
        {"biPlanes", header.biPlanes, 1},
        {"biBitCount", header.biBitCount, 24},
        {"biCompression", header.biCompression, BI_RGB},
        {"biSizeImage", header.biSizeImage, 0},
        {"biXPelsPerMeter", header.biXPelsPerMeter, 2834},
        {"biYPelsPerMeter", header.biYPelsPerMeter, 2834},
        {"biClrUsed", header.biClrUsed, 0},
        {"biClrImportant", header.biClrImportant, 0},
    };
    for (const Field& field : fields)
        EXPECT_EQ(field.actual, field.expected) << field.name;
    // 40 + 159 rows of 1020 bytes, then two zero bytes
    EXPECT_EQ(bytes[162220], 0);
    EXPECT_EQ(bytes[162221], 0);
    // artwork, not a flat fill: many distinct colours
    std::vector<bool> seen(1 << 15);
    int colours = 0;
    for (size_t i = 40; i + 3 <= 40 + 159 * 1020; i += 3) {
        size_t key = (bytes[i] >> 3) | (bytes[i + 1] >> 3) << 5 | (bytes[i + 2] >> 3) << 10;
        colours += !seen[key];
        seen[key] = true;
    }
    EXPECT_GT(colours, 200);
    FreeLibrary(file);
}

} // namespace
