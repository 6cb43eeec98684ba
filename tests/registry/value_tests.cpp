// Typed values: what each writeValue stores and what each readValue returns, checked
// against the raw registry.
#include "registry/registry.h"
#include "support/scratch_key.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>

namespace {

using Bytes = std::string;

class RegistryValues : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(registry.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str()));
    }
    void expectStored(const char* name, DWORD type, const Bytes& bytes)
    {
        DWORD storedType;
        Bytes stored;
        ASSERT_TRUE(scratch.value("", name, storedType, stored)) << name;
        EXPECT_EQ(storedType, type) << name;
        EXPECT_EQ(stored, bytes) << name;
    }
    ScratchKey scratch;
    Tarn::Registry registry;
};

TEST_F(RegistryValues, EachWriteStoresItsTypeAndExactBytes)
{
    const unsigned char binary[] = {0, 1, 2, 0xFF, 0};
    EXPECT_TRUE(registry.writeValue(std::string("text"), std::string("hello")));
    EXPECT_TRUE(registry.writeValue(std::string(""), std::string("")));
    EXPECT_TRUE(registry.writeValue("seven", 7));
    EXPECT_TRUE(registry.writeValue("minus", -2));
    EXPECT_TRUE(registry.writeValue("binary", binary, 5));
    EXPECT_TRUE(registry.writeValue("nothing", binary, 0));
    EXPECT_TRUE(registry.writeValue("sz", "abc", 0));
    EXPECT_TRUE(registry.writeValue("empty", "", 0));
    EXPECT_TRUE(registry.writeValue("multi", "a\0bc\0\0", 6));
    EXPECT_TRUE(registry.writeValue("gap", "a\0\0b\0\0", 7));
    EXPECT_TRUE(registry.writeValue("eleven", "one\0two\0x\0\0", 11));

    expectStored("text", REG_SZ, Bytes("hello\0", 6));
    expectStored("", REG_SZ, Bytes("\0", 1));
    expectStored("seven", REG_DWORD, Bytes("\7\0\0\0", 4));
    expectStored("minus", REG_DWORD, Bytes("\xFE\xFF\xFF\xFF", 4));
    expectStored("binary", REG_BINARY, Bytes(reinterpret_cast<const char*>(binary), 5));
    expectStored("nothing", REG_BINARY, Bytes());
    expectStored("sz", REG_SZ, Bytes("abc\0", 4));
    expectStored("empty", REG_SZ, Bytes("\0", 1));
    expectStored("multi", REG_MULTI_SZ, Bytes("a\0bc\0\0", 6));
    expectStored("gap", REG_MULTI_SZ, Bytes("a\0\0b\0\0", 7));
    expectStored("eleven", REG_MULTI_SZ, Bytes("one\0two\0x\0\0", 11));

    EXPECT_FALSE(registry.writeValue("null", static_cast<const char*>(nullptr), 0));
    DWORD type;
    Bytes bytes;
    EXPECT_FALSE(scratch.value("", "null", type, bytes));
}

TEST_F(RegistryValues, NumbersReadByTypeAsAtolReadsText)
{
    struct Case {
        const char* what;
        DWORD type;
        Bytes data;
        bool result;
        int expected; // 99 stands for "left untouched"
    };
    const Case cases[] = {
        {"dword", REG_DWORD, Bytes("\7\0\0\0", 4), true, 7},
        {"negative dword", REG_DWORD, Bytes("\xF4\xFF\xFF\xFF", 4), true, -12},
        {"two-byte dword", REG_DWORD, Bytes("\x34\x12", 2), true, 0x1234},
        {"text", REG_SZ, Bytes("7\0", 2), true, 7},
        {"blank, sign, junk", REG_SZ, Bytes(" -12abc\0", 8), true, -12},
        {"tab and plus", REG_SZ, Bytes("\t+42\0", 5), true, 42},
        {"no digits", REG_SZ, Bytes("abc\0", 4), true, 0},
        {"empty text", REG_SZ, Bytes("\0", 1), true, 0},
        {"text without NUL", REG_SZ, Bytes("12", 2), true, 12},
        {"above the range", REG_SZ, Bytes("99999999999\0", 12), true, INT_MAX},
        {"below the range", REG_SZ, Bytes("-99999999999\0", 13), true, INT_MIN},
        {"binary", REG_BINARY, Bytes("\7\0\0\0", 4), true, 99},
        {"string list", REG_MULTI_SZ, Bytes("5\0\0", 3), true, 99},
        {"255 bytes", REG_SZ, Bytes("8") + Bytes(253, ' ') + Bytes(1, '\0'), true, 8},
        {"256 bytes", REG_SZ, Bytes("8") + Bytes(254, ' ') + Bytes(1, '\0'), false, 99},
        {"300 bytes", REG_SZ, Bytes(299, '5') + Bytes(1, '\0'), false, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Leave digits in the read's scratch space first: a read must not reach them.
        scratch.setText("", "filler", Bytes("4444444444\0", 11));
        scratch.setValue("", "wide", REG_DWORD, "\xFF\xFF\xFF\xFF", 4);
        int ignored;
        registry.readValue("filler", &ignored);
        registry.readValue("wide", &ignored);

        scratch.setValue("", "n", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        int number = 99;
        EXPECT_EQ(registry.readValue("n", &number), c.result);
        EXPECT_EQ(number, c.expected);
    }
    int number = 99;
    EXPECT_FALSE(registry.readValue("missing", &number));
    EXPECT_EQ(number, 99);
    ASSERT_TRUE(registry.writeValue("written", 7));
    EXPECT_TRUE(registry.readValue("written", &number));
    EXPECT_EQ(number, 7);
}

TEST_F(RegistryValues, TextReadStopsAtTheFirstNulOrTheBytesReturned)
{
    struct Case {
        const char* what;
        DWORD type;
        Bytes data;
        bool result;
        std::string expected; // "unchanged" when the read fails
    };
    const Case cases[] = {
        {"text", REG_SZ, Bytes("hello\0", 6), true, "hello"},
        {"empty text", REG_SZ, Bytes("\0", 1), true, ""},
        {"300 bytes", REG_SZ, Bytes(299, 'x') + Bytes(1, '\0'), true, std::string(299, 'x')},
        {"without NUL", REG_SZ, Bytes("xyz"), true, "xyz"},
        {"1024 bytes", REG_SZ, Bytes(1023, 'y') + Bytes(1, '\0'), true, std::string(1023, 'y')},
        {"1025 bytes", REG_SZ, Bytes(1025, 'y'), false, "unchanged"},
        {"embedded NUL", REG_SZ, Bytes("ab\0cd\0", 6), true, "ab"},
        {"dword", REG_DWORD, Bytes("CBA\0", 4), true, "CBA"},
        {"binary", REG_BINARY, Bytes("bin"), true, "bin"},
        {"string list", REG_MULTI_SZ, Bytes("one\0two\0\0", 9), true, "one"},
        {"zero bytes", REG_BINARY, Bytes(), true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        scratch.setText("", "filler", Bytes(1024, 'z'));
        std::string ignored;
        registry.readValue("filler", ignored);

        scratch.setValue("", "t", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        std::string text = "unchanged";
        EXPECT_EQ(registry.readValue("t", text), c.result);
        EXPECT_EQ(text, c.expected);
    }
    std::string text = "unchanged";
    EXPECT_FALSE(registry.readValue("missing", text));
    EXPECT_EQ(text, "unchanged");
}

TEST_F(RegistryValues, CallerBufferReadsTakeTheRawBytes)
{
    scratch.setValue("", "raw", REG_BINARY, "0123456789", 10);
    char buffer[16] = {};
    EXPECT_TRUE(registry.readValue("raw", buffer, 10L));
    EXPECT_EQ(Bytes(buffer, 10), "0123456789");
    unsigned char bytes[16] = {};
    EXPECT_TRUE(registry.readValue("raw", static_cast<void*>(bytes), 16L));
    EXPECT_EQ(bytes[9], '9');
    EXPECT_FALSE(registry.readValue("raw", buffer, 9L));
    EXPECT_FALSE(registry.readValue("raw", buffer, -1L));
    EXPECT_FALSE(registry.readValue("missing", buffer, 16L));
}

TEST_F(RegistryValues, DeleteValue)
{
    scratch.setText("", "doomed", Bytes("x\0", 2));
    EXPECT_TRUE(registry.deleteValue("doomed"));
    DWORD type;
    Bytes bytes;
    EXPECT_FALSE(scratch.value("", "doomed", type, bytes));
    EXPECT_FALSE(registry.deleteValue("doomed"));
}

TEST(RegistryWithoutKey, EveryValueOperationFails)
{
    ScratchKey scratch;
    scratch.setText("", "v", Bytes("1\0", 2));
    Tarn::Registry fresh, closed, failed;
    closed.openKey(HKEY_LOCAL_MACHINE, scratch.path().c_str());
    closed.closeKey();
    failed.openKey(HKEY_LOCAL_MACHINE, scratch.path("missing").c_str());
    for (Tarn::Registry* registry : {&fresh, &closed, &failed}) {
        int number = 0;
        std::string text;
        char buffer[8];
        unsigned long type;
        EXPECT_FALSE(registry->writeValue(std::string("v"), std::string("x")));
        EXPECT_FALSE(registry->writeValue("v", 1));
        EXPECT_FALSE(registry->writeValue("v", buffer, 1ul));
        EXPECT_FALSE(registry->writeValue("v", "x", 0));
        EXPECT_FALSE(registry->readValue("v", &number));
        EXPECT_FALSE(registry->readValue("v", text));
        EXPECT_FALSE(registry->readValue("v", buffer, 8L));
        EXPECT_FALSE(registry->deleteValue("v"));
        EXPECT_EQ(registry->enumerateChildKeys(buffer, sizeof buffer), -1);
        EXPECT_EQ(registry->enumerateChildKeyValues(buffer, sizeof buffer, &type, nullptr, 0), -1);
    }
}

} // namespace
