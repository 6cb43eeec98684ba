// Uses the class across the DLL boundary, std::string arguments included, and checks each
// answer against the raw registry. Prints "N passed, N failed".
#include <registry/registry.h>

#include <cstdio>
#include <string>

namespace {

int passed, failed;

void check(bool ok, const char* what)
{
    ++(ok ? passed : failed);
    if (!ok)
        std::printf("FAILED: %s\n", what);
}

std::string rawText(const std::string& key, const char* name)
{
    char data[64] = "";
    DWORD size = sizeof data - 1;
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return "<no key>";
    LONG status = RegQueryValueExA(handle, name, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(data) : "<no value>";
}

} // namespace

int main()
{
    const std::string root = "Software\\QmhookTest\\client-" + std::to_string(GetCurrentProcessId());
    const std::string product = root + "\\Quillmarsh2";
    {
        Tarn::Registry registry;
        check(!registry.openKey(HKEY_LOCAL_MACHINE, product.c_str()), "open of a missing key fails");
        check(registry.lastError == ERROR_FILE_NOT_FOUND, "lastError is readable and 2");
        check(registry.createKey(product), "createKey(std::string) beneath the recorded root");
        check(registry.writeValue(std::string("Install Path"),
                                  std::string("C:\\Program Files\\Quillmarsh2")),
              "writeValue(std::string, std::string)");
        check(rawText(product, "Install Path") == "C:\\Program Files\\Quillmarsh2",
              "the text landed in the registry");
        std::string text = "before";
        check(registry.readValue("Install Path", text), "readValue(name, std::string&)");
        check(text == "C:\\Program Files\\Quillmarsh2", "the text came back across the boundary");
        // A string long enough to live on the heap, allocated in the DLL and freed here.
        std::string longText(600, 'q');
        check(registry.writeValue(std::string("long"), longText), "a long text is written");
        check(registry.readValue("long", text) && text == longText, "and read back whole");
        check(registry.writeValue("count", 42), "writeValue(const char*, int)");
        int number = 0;
        check(registry.readValue("count", &number) && number == 42, "readValue(name, int*)");
        char name[256];
        unsigned long type = 0;
        int values = 0;
        while (registry.enumerateChildKeyValues(name, sizeof name, &type, nullptr, 0) != -1)
            ++values;
        check(values == 3, "three values enumerated");
        check(registry.deleteKey(HKEY_LOCAL_MACHINE, root.c_str()), "deleteKey of the whole tree");
        HKEY gone;
        check(RegOpenKeyExA(HKEY_LOCAL_MACHINE, root.c_str(), 0, KEY_READ, &gone) ==
                  ERROR_FILE_NOT_FOUND,
              "the tree is gone");
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
