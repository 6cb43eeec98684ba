#include "scratch_key.h"

#include "common/utf.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <vector>

ScratchKey::ScratchKey()
    : root("Software\\QmhookTest\\" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount()))
{
    createKey("");
}

static void setAccessList(HKEY key, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    LocalFree(descriptor);
}

ScratchKey::~ScratchKey()
{
    for (const std::wstring& key : secured) {
        HKEY handle;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, WRITE_DAC, &handle) == ERROR_SUCCESS) {
            setAccessList(handle, L"D:P(A;;KA;;;WD)");
            RegCloseKey(handle);
        }
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, root.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, root.c_str());
}

std::string ScratchKey::path(const std::string& below) const
{
    return below.empty() ? root : root + "\\" + below;
}

// Wine's ANSI registry calls take a path of at most 255 characters, so a path is walked one
// key at a time: a 255-character name is then reachable beneath a deep scratch key.
static HKEY walk(const std::string& path, bool create)
{
    HKEY current = HKEY_LOCAL_MACHINE;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        std::string name = path.substr(start, end == std::string::npos ? end : end - start);
        HKEY next = nullptr;
        LONG status = create ? RegCreateKeyExA(current, name.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &next, nullptr)
                             : RegOpenKeyExA(current, name.c_str(), 0, KEY_ALL_ACCESS, &next);
        if (current != HKEY_LOCAL_MACHINE)
            RegCloseKey(current);
        if (status != ERROR_SUCCESS)
            return nullptr;
        current = next;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return current;
}

void ScratchKey::createKey(const std::string& below) const
{
    HKEY key = walk(path(below), true);
    ASSERT_NE(key, nullptr) << below;
    RegCloseKey(key);
}

bool ScratchKey::exists(const std::string& below) const
{
    HKEY key = walk(path(below), false);
    if (key)
        RegCloseKey(key);
    return key != nullptr;
}

void ScratchKey::setValue(const std::string& key, const char* name, DWORD type,
                          const void* data, DWORD size) const
{
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, path(key).c_str(), name, type, data, size),
              ERROR_SUCCESS);
}

bool ScratchKey::value(const std::string& key, const char* name, DWORD& type,
                       std::string& bytes) const
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path(key).c_str(), 0, KEY_READ, &handle) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool found = RegQueryValueExA(handle, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    std::vector<char> data(size + 1);
    found = found && RegQueryValueExA(handle, name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS;
    RegCloseKey(handle);
    if (found)
        bytes.assign(data.data(), size);
    return found;
}

unsigned long nextHandleValue()
{
    HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(probe);
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(probe));
}

bool runsUnderWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// A link's target is a path of the native registry, where a 32-bit process's
// HKLM\Software lies beneath Wow6432Node on 64-bit Windows.
void ScratchKey::createLink(const std::string& below, const std::string& target) const
{
    std::string native = path(target);
    if (runsUnderWow64())
        native.insert(native.find('\\') + 1, "Wow6432Node\\");
    native = "\\Registry\\Machine\\" + native;
    const std::string linkPath = path(below);
    const std::wstring at(linkPath.begin(), linkPath.end());
    const std::wstring to(native.begin(), native.end());
    HKEY link;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, at.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                              KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &link, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(link, L"SymbolicLinkValue", 0, REG_LINK,
                             reinterpret_cast<const BYTE*>(to.data()), to.size() * sizeof(wchar_t)),
              ERROR_SUCCESS);
    RegCloseKey(link);
}

bool ScratchKey::existsAsItself(const std::string& below) const
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path(below).c_str(), REG_OPTION_OPEN_LINK, KEY_READ,
                      &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Wine's RegCreateKeyExW leaves out the security attributes it is given: the list is set on
// the key once made.
void ScratchKey::createSecured(const std::string& below, const wchar_t* sddl)
{
    std::wstring key = utf16(path(below));
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    if (sddl) {
        secured.push_back(key);
        setAccessList(handle, sddl);
    }
    RegCloseKey(handle);
}
